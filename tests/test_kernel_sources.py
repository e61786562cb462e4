"""The kernel sources stand on their own: every header compiles alone, every
per-target file compiles alone in the target passes of foreach_target.hpp
(after the drivers' headers, which a mode's source reads first), and a mode
source written as docs/development.md shows compiles as it stands. So a
header that leans on what another happened to include, a per-target file
that is not included in every pass, or a recipe that no longer matches the
macros, fails here rather than in the next mode's build."""

import platform
import re
import shutil
import subprocess
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
KERNELS = ROOT / "src" / "kernels"
DEVELOPMENT = ROOT / "docs" / "development.md"
COMPILER = shutil.which("g++") or shutil.which("clang++")

pytestmark = [
    pytest.mark.skipif(not KERNELS.is_dir(), reason="no source tree"),
    pytest.mark.skipif(COMPILER is None, reason="no C++ compiler"),
]


def compile_errors(source: str, folder: Path) -> str:
    """The compiler's complaints about `source` (a file in `folder`), or ''."""
    path = folder / "unit.cpp"
    path.write_text(source.replace("@SELF@", str(path)))
    command = [COMPILER, "-std=c++17", "-fsyntax-only", "-Wall", "-Wextra", "-Werror", f"-I{KERNELS}", str(path)]
    done = subprocess.run(command, capture_output=True, text=True)
    return "" if done.returncode == 0 else done.stderr[-3000:]


def all_compile(units: dict, tmp_path: Path) -> dict:
    """Compiles each named source in a folder of its own; the failures by name."""
    folders = {}
    for name in units:
        folders[name] = tmp_path / re.sub(r"\W", "_", name)
        folders[name].mkdir()
    with ThreadPoolExecutor(max_workers=2) as pool:
        errors = dict(zip(units, pool.map(compile_errors, units.values(), folders.values())))
    return {name: text for name, text in errors.items() if text}


def pass_unit(body: str) -> str:
    """A source whose per-target part is `body`, compiled in every target pass
    after the drivers' headers (what the per-target files may take as read)."""
    return (
        "#if defined(ZV_TARGET_PASS)\n"
        f"{body}\n"
        "#else\n"
        '#include "colour.hpp"\n'
        '#include "normal_driver.hpp"\n'
        '#include "separable.hpp"\n'
        '#include "w3c_modes.hpp"\n'
        '#define ZV_TARGET_INCLUDE "@SELF@"\n'
        '#include "foreach_target.hpp"\n'
        "#endif\n"
    )


# The vocabularies of the lane targets of other processors (lanes.hpp
# includes only this processor's).
X86, ARM = {"lanes_sse.hpp", "lanes_avx.hpp", "lanes_avx512.hpp"}, {"lanes_neon.hpp"}
MACHINE = platform.machine().lower()
OTHER_FAMILY = ARM if MACHINE in ("x86_64", "amd64") else X86 if MACHINE in ("aarch64", "arm64") else X86 | ARM


def test_every_header_compiles_alone(tmp_path):
    skip = OTHER_FAMILY | {"foreach_target.hpp"}
    headers = sorted(p.name for p in KERNELS.glob("*.hpp") if p.name not in skip)
    assert "separable.hpp" in headers and "colour.hpp" in headers
    assert all_compile({h: f'#include "{h}"\n' for h in headers}, tmp_path) == {}


def test_every_per_target_file_compiles_alone_in_every_pass(tmp_path):
    files = sorted(p.name for p in KERNELS.glob("*.inc"))
    assert {"separable_stages.inc", "lab.inc", "lane_pixels.inc"} <= set(files)
    # Twice in each pass: the second inclusion adds nothing.
    units = {f: pass_unit(f'#include "{f}"\n#include "{f}"') for f in files}
    assert all_compile(units, tmp_path) == {}


def test_a_file_left_out_of_a_pass_is_refused(tmp_path):
    # Included in the lane passes only, lab.inc misses its turn in zv_scalar
    # and is then skipped in the passes after: such a unit does not compile.
    probe = '#include "lab.inc"\nV probe(V x) { return cbrt_l(x); }'
    lanes_only = f"#if !ZV_TARGET_SCALAR\n{probe}\n#endif"
    failures = all_compile({"every pass": pass_unit(probe), "lanes only": pass_unit(lanes_only)}, tmp_path)
    assert list(failures) == ["lanes only"]
    assert "cbrt_l" in failures["lanes only"]


def test_the_documented_mode_source_compiles(tmp_path):
    text = DEVELOPMENT.read_text()
    blocks = re.findall(r"```cpp\n(.*?)```", text, re.S)
    recipe = next(block for block in blocks if "ZV_TARGET_INCLUDE" in block)
    # The recipe names its own file, as a mode's source does.
    source = recipe.replace('"multiply.cpp"', '"@SELF@"')
    assert source != recipe
    assert all_compile({"recipe": source}, tmp_path) == {}
