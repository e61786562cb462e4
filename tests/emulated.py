"""A child Python under qemu-user: its script, its environment, its run and its report.

The child is given a work folder holding cases.json; it prints a mark on
stderr once NumPy and once the module are imported (so a child that dies tells
how far it got) and its report, as JSON, as the last line on stdout. Arrays
travel as .npy/.npz files in the work folder.
"""

import json
import os
import subprocess
import textwrap

import numpy as np
import pytest

_PREAMBLE = """\
import json, sys
import numpy as np
print("child: numpy imported", file=sys.stderr, flush=True)
import {modules}
print("child: module imported", file=sys.stderr, flush=True)
work = sys.argv[1]
with open(work + "/cases.json") as f:
    job = json.load(f)
"""


def child_script(body, modules="_zarvel"):
    """The child's source: the common preamble (`work`, `job` and the imports), then `body`."""
    return _PREAMBLE.format(modules=modules) + textwrap.dedent(body)


def asan_runtime():
    """Path of the AddressSanitizer runtime loaded into this process, if any. A sanitized
    module needs its runtime preloaded, and the sanitizer's shadow memory does not fit
    into qemu-user's emulated address space, so these tests run on the ordinary build."""
    with open("/proc/self/maps") as f:
        for line in f:
            fields = line.split()
            if len(fields) >= 6 and ("libasan" in fields[5] or "clang_rt.asan" in fields[5]):
                return fields[5]
    return None


def child_environment(pythonpath, openblas_core, openblas_l2_bytes):
    """This environment without its Python and OpenBLAS settings, then the child's import
    path and OpenBLAS settings for the emulated processor: a host's own OPENBLAS_CORETYPE
    (say Haswell) would make a child on an emulated Nehalem run AVX2 code at `import numpy`."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("PYTHON", "OPENBLAS_"))}
    env["PYTHONPATH"] = pythonpath
    env["PYTHONNOUSERSITE"] = "1"
    env["OPENBLAS_CORETYPE"] = openblas_core
    env["OPENBLAS_L2_SIZE"] = str(openblas_l2_bytes)
    return env


def run(command, work, env, script, cases, what, timeout):
    """Writes cases.json and child.py into `work`, runs `command + [child.py, work]` there and
    returns the child's report; fails the test, saying how far the child got, if it dies."""
    (work / "cases.json").write_text(json.dumps(cases))
    (work / "child.py").write_text(script)
    proc = subprocess.run(
        [*command, "-B", str(work / "child.py"), str(work)],
        env=env,
        cwd=str(work),
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    stderr = "\n".join(line for line in proc.stderr.splitlines() if "TCG doesn't support" not in line)
    if proc.returncode != 0:
        reached = [stage for stage in ("numpy imported", "module imported") if f"child: {stage}" in stderr]
        where = (
            f"after '{reached[-1]}'"
            if reached
            else "before NumPy was imported: the interpreter or NumPy could not start on this processor"
        )
        how = f"signal {-proc.returncode}" if proc.returncode < 0 else f"status {proc.returncode}"
        pytest.fail(f"{what} died with {how} {where}:\n{stderr[-4000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def identical(got, want):
    """Same dtype, shape and bits; two NaNs count as equal whatever their payload."""
    if got.dtype != want.dtype or got.shape != want.shape:
        return False
    if want.dtype.kind != "f":
        return np.array_equal(got, want)
    nan = np.isnan(got) & np.isnan(want)
    return np.array_equal(got.view(np.uint32)[~nan], want.view(np.uint32)[~nan])
