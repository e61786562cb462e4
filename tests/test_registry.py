"""What cannot derive from the native mode and kernel lists is held to them here.

The lists live in C++ (ZV_MODES in src/kernels/modes.hpp, ZV_KERNELS in
src/kernels/image_view.hpp) and reach Python through zarvel._engine. A mode
needs, besides its row there: a reference model of its formula, an entry in
the type stub, a row in the documentation's mode table and a place in the
list of gallery groups. A kernel needs a modelled result (the kernel whose
results it gives) and a member in the stub. Each check returns what is missing,
so the last tests can show that a mode or kernel the list gains is caught.
"""

import ast
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import _zarvel
import colour_reference
import reference
import zarvel
from zarvel import _engine, _registry

ROOT = Path(__file__).resolve().parent.parent
# The source tree's stub; a suite run against a wheel checks the installed copy.
STUB = ROOT / "src" / "zarvel" / "__init__.pyi"
if not STUB.is_file():
    STUB = Path(zarvel.__file__).with_name("__init__.pyi")
# Checks of the source tree's documents and configuration skip without them.
in_source_tree = pytest.mark.skipif(
    not (ROOT / "pyproject.toml").is_file(), reason="the documents and configuration live in the source tree"
)
# The documents whose mode table and list of groups the modes must appear in
# (Markdown or reStructuredText).
DOCUMENTS = [ROOT / "README.md", *sorted(p for p in (ROOT / "docs").rglob("*") if p.suffix in (".md", ".rst"))]
# A mode's table row: Markdown, or a reStructuredText grid or list table.
TABLE_ROW = re.compile(r"^\| `(\w+)` \||^\| ``(\w+)`` +\||^\s*\* - ``(\w+)``", re.M)


# ---- the checks ------------------------------------------------------------


def unmodelled_modes(modes, kinds):
    """Modes without a reference model of their kind (and models without a mode)."""
    modelled = {"normal": {"normal"}, "separable": set(reference.SEPARABLE), "colour": set(colour_reference.NAMES)}
    missing = [m for m in modes if m not in modelled.get(kinds[m], ())]
    stray = sorted(set().union(*modelled.values()) - set(modes))
    return missing + [f"model without a mode: {m}" for m in stray]


def unmodelled_kernels(kernels, results_of):
    """Kernels whose results no reference model gives, or whose twin the models disagree on."""
    modelled = ("scalar", *reference.VECTOR_KERNELS)
    return [k for k in kernels if reference.results_of(k) not in modelled or reference.results_of(k) != results_of[k]]


def _stub_tree():
    return ast.parse(STUB.read_text())


def _literal(tree, alias):
    """The strings of `alias = Literal[...]` (or a Union holding one) in the stub."""
    for node in tree.body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == alias for t in node.targets):
            return [
                c.value
                for c in ast.walk(node.value)
                if isinstance(c, ast.Constant) and isinstance(c.value, str) and c.value != "KernelKind"
            ]
    raise AssertionError(f"no {alias} in the stub")


def stub_gaps(modes, kernel_names):
    """Modes missing from the stub's ModeName or its functions; kernels missing from KernelKind or KernelName."""
    tree = _stub_tree()
    functions = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    enum_members = next(
        [t.id for s in n.body if isinstance(s, ast.Assign) for t in s.targets]
        for n in tree.body
        if isinstance(n, ast.ClassDef) and n.name == "KernelKind"
    )
    gaps = []
    if _literal(tree, "ModeName") != list(modes):
        gaps.append(f"ModeName lists {_literal(tree, 'ModeName')}")
    gaps += [f"no def {m}" for m in modes if m not in functions]
    if enum_members != [k.upper() for k in kernel_names]:
        gaps.append(f"KernelKind has {enum_members}")
    if _literal(tree, "KernelName") != list(kernel_names):
        gaps.append(f"KernelName lists {_literal(tree, 'KernelName')}")
    return gaps


def undocumented_modes(modes, gallery_groups):
    """Modes without a row in a mode table or a line in the list of groups, and gallery
    groups whose modes that list splits over several lines."""
    text = "\n".join(path.read_text() for path in DOCUMENTS if path.exists())
    rows = {name for found in TABLE_ROW.findall(text) for name in found if name}
    lines = [
        set(re.findall(r"`(\w+)`|^[-*] \*\*(\w+)\*\*", line))
        for line in text.splitlines()
        if line.startswith(("- **", "* **"))
    ]
    lines = [{name for pair in found for name in pair if name} for found in lines]
    gaps = [f"no table row: {m}" for m in modes if m not in rows]
    for heading, _, members in gallery_groups:
        unlisted = [m for m in members if not any(m in line for line in lines)]
        gaps += [f"not in the list of groups ({heading}): {m}" for m in unlisted]
        if not unlisted and not any(set(members) <= line for line in lines):
            gaps.append(f"group {heading!r} is split over several lines of the list")
    return gaps


def misplaced_modes(modes, rows, group_names):
    """Modes without a gallery group, in two, or with a place their group already gave."""
    gaps = [f"unknown group {g!r}: {name}" for name, _, g, _ in rows if g not in group_names]
    for group in group_names:
        places = sorted(place for _, _, g, place in rows if g == group)
        if places != list(range(len(places))):
            gaps.append(f"group {group!r} has places {places}, not 0, 1, 2, ...")
    return gaps


# ---- the build's lists -------------------------------------------------------


def test_modes_have_reference_models():
    assert unmodelled_modes(zarvel.MODES, _registry.MODE_KINDS) == []


def test_kernels_have_modelled_results():
    assert unmodelled_kernels(_registry.KERNELS, _registry.RESULTS_OF) == []


def test_stub_lists_every_mode_and_kernel():
    assert stub_gaps(zarvel.MODES, _registry.KERNEL_NAMES) == []


@in_source_tree
def test_documents_have_every_mode():
    assert undocumented_modes(zarvel.MODES, _registry.GALLERY_GROUPS) == []


def test_gallery_places_every_mode_once():
    assert misplaced_modes(zarvel.MODES, _engine.modes(), [g for g, _, _ in _engine.mode_groups()]) == []
    placed = [m for _, _, members in _registry.GALLERY_GROUPS for m in members]
    assert sorted(placed) == sorted(zarvel.MODES)


def test_derived_names_agree_with_the_modules():
    """The module's functions are the mode list; the package's kernel names are the kernel list."""
    assert [n for n in _zarvel.__dict__ if not n.startswith("_")] == [*zarvel.MODES, "kernel_available"]
    assert set(zarvel.SEPARABLE_MODES) | set(zarvel.COLOUR_MODES) | {"normal"} == set(zarvel.MODES)
    assert [k.value for k in zarvel.KernelKind] == list(_registry.KERNEL_NAMES)
    for name in _registry.KERNEL_NAMES:
        zarvel.kernel_available(name)  # every listed name is known
        if name in _registry.MODULE_KERNEL_NAMES:
            assert _zarvel.kernel_available(name) == zarvel.kernel_available(name)
        else:
            with pytest.raises(ValueError, match="unknown kernel kind"):
                _zarvel.kernel_available(name)
    # A run boundary holds every kernel's widest step.
    assert all(_registry.PIXEL_GROUP % pixels == 0 for pixels in _registry.KERNEL_PIXELS.values())


def test_cli_choices_and_count_follow_the_lists():
    cli = pytest.importorskip("zarvel.cli")
    assert cli.KERNELS == _registry.KERNEL_NAMES
    assert f" {len(zarvel.MODES)} blend modes" in cli.DESCRIPTION


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy not installed (the test extra has it)")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="mypy's compiled modules under the sanitizers; CI's lint step runs stubtest",
)
@in_source_tree
def test_stub_matches_the_runtime():
    """mypy's stubtest: every name, signature and member of the stub is the runtime's."""
    env = dict(os.environ, MYPYPATH="")
    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "mypy.stubtest",
            "zarvel",
            "--allowlist",
            "stubtest_allowlist.txt",
            "--mypy-config-file",
            str(ROOT / "pyproject.toml"),
        ],
        capture_output=True,
        text=True,
        timeout=600,
        env=env,
        cwd=ROOT / "tests",
    )
    assert proc.returncode == 0, proc.stdout[-6000:] + proc.stderr[-2000:]


# ---- a mode or kernel the list gains is caught --------------------------------

NEW = "colour_burn_2"


@pytest.mark.parametrize("kind", ["separable", "colour"])
def test_a_new_mode_without_its_companions_is_caught(kind):
    modes = (*zarvel.MODES, NEW)
    kinds = dict(_registry.MODE_KINDS, **{NEW: kind})
    assert unmodelled_modes(modes, kinds) == [NEW]
    assert f"no def {NEW}" in stub_gaps(modes, _registry.KERNEL_NAMES)
    groups = [(h, t, (*m, NEW) if h == "darken" else m) for h, t, m in _registry.GALLERY_GROUPS]
    gaps = undocumented_modes(modes, groups)
    assert f"no table row: {NEW}" in gaps and f"not in the list of groups (darken): {NEW}" in gaps
    rows = [*_engine.modes(), (NEW, kind, "darken", 0)]
    group_names = [g for g, _, _ in _engine.mode_groups()]
    assert misplaced_modes(modes, rows, group_names) == ["group 'darken' has places [0, 0, 1, 2, 3], not 0, 1, 2, ..."]
    assert misplaced_modes(modes, [*rows[:-1], (NEW, kind, "dark", 4)], group_names) == [f"unknown group 'dark': {NEW}"]


def test_a_new_kernel_without_a_model_is_caught():
    kernels = (*_registry.KERNELS, "sve")
    assert unmodelled_kernels(kernels, dict(_registry.RESULTS_OF, sve="sse42")) == ["sve"]
    assert unmodelled_kernels(_registry.KERNELS, dict(_registry.RESULTS_OF, avx512="sse42")) == ["avx512"]
    assert any("KernelKind" in gap for gap in stub_gaps(zarvel.MODES, (*_registry.KERNEL_NAMES, "sve")))
