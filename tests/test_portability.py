"""The installed module on other processors, emulated with qemu-user.

The module is built without a global -mavx2/-march, so it must load and run
its scalar kernel on a processor without AVX or FMA, report the vector
kernels it cannot run as unavailable, and fall back to the scalar kernel when
one of them is forced. Under an emulated Haswell the AVX2 kernel must give
bit for bit what it gives on this machine.

The same interpreter binary runs under ``qemu-x86_64 -cpu MODEL`` with this
process's import path, so the child imports exactly the module under test.
Arrays travel as .npy files (the results as one .npz per kernel) through
tmp_path. qemu is slow, so the images are
tiny; the shapes still reach every stage (8- and 4-pixel groups, the flat
run of two 3-channel images, the scalar tail).
"""

import os
import shutil
import sys

import numpy as np
import pytest

import _zarvel
import emulated
import images
from emulated import identical

try:
    import zarvel

    MODES = tuple(zarvel.MODES)
except (ImportError, AttributeError):
    MODES = tuple(n for n in dir(_zarvel) if not n.startswith("_") and n != "kernel_available")

QEMU = shutil.which("qemu-x86_64")
pytestmark = [
    pytest.mark.skipif(QEMU is None, reason="qemu-x86_64 not installed (Debian package qemu-user)"),
    # A sanitized module needs its runtime preloaded, and the sanitizer's shadow
    # memory does not fit into qemu-user's emulated address space.
    pytest.mark.skipif(
        emulated.asan_runtime() is not None,
        reason="module built with AddressSanitizer; these tests run against the ordinary build",
    ),
]

DTYPES = (np.uint8, np.float32)
COMBOS = [(bd, fd, cb, cf) for bd in DTYPES for fd in DTYPES for cb in (3, 4) for cf in (3, 4)]
SHAPES = ((1, 1), (3, 7), (2, 19))  # 1, 21 and 38 pixels
OPACITIES = (0.5, 1.0)
SPECIAL = np.array([np.nan, np.inf, -np.inf, -7.0, 0.0, 0.5, 127.5, 255.0, 300.0], np.float32)

CHILD = emulated.child_script("""
    avail = {k: _zarvel.kernel_available(k) for k in ("scalar", "sse42", "avx2", "auto")}
    inputs = {}
    for name in {n for case in job["cases"] for n in case[1:3]}:
        inputs[name] = np.load(f"{work}/{name}.npy")
    for kernel in job["kernels"]:
        out = {}
        for i, (mode, bg, fg, opacity) in enumerate(job["cases"]):
            out[f"c{i}"] = getattr(_zarvel, mode)(inputs[bg], inputs[fg], opacity, kernel)
        np.savez(f"{work}/out-{kernel}.npz", **out)
    print(json.dumps({"available": avail, "module": _zarvel.__file__}))
""")


def make_image(rng, h, w, c, dtype):
    return images.make_image(rng, h, w, c, dtype, halves=0, special=0.15, specials=SPECIAL, opaque=0.2)


def python_binary():
    """The interpreter's real binary: qemu-user runs an ELF file, not a symlink chain."""
    return os.path.realpath(sys.executable)


# What OpenBLAS (inside NumPy) is told about the emulated processor. A host may
# export its own OPENBLAS_CORETYPE (say Haswell); a child on an emulated Nehalem
# that inherited it would run AVX2 code at `import numpy` and die.
OPENBLAS_CORES = {"Nehalem": "Nehalem", "SandyBridge": "Sandybridge", "Haswell": "Haswell"}
OPENBLAS_L2_BYTES = 256 * 1024  # the L2 cache of all three


def run_emulated(cpu, work, cases, kernels):
    env = emulated.child_environment(
        os.pathsep.join(p for p in sys.path if p and os.path.isdir(p)), OPENBLAS_CORES[cpu], OPENBLAS_L2_BYTES
    )
    report = emulated.run(
        [QEMU, "-cpu", cpu, python_binary()],
        work,
        env,
        CHILD,
        {"cases": cases, "kernels": list(kernels)},
        f"child under -cpu {cpu}",
        timeout=1500,
    )
    assert os.path.realpath(report["module"]) == os.path.realpath(_zarvel.__file__), (
        f"child imported another module: {report['module']}"
    )
    return report


def write_cases(work):
    """Inputs as .npy files; one case per mode, combination, shape and opacity."""
    rng = np.random.default_rng(1357)
    pairs = []
    for bd, fd, cb, cf in COMBOS:
        for h, w in SHAPES:
            name = f"{np.dtype(bd).name}{cb}-{np.dtype(fd).name}{cf}-{h}x{w}"
            np.save(work / f"bg-{name}.npy", make_image(rng, h, w, cb, bd))
            np.save(work / f"fg-{name}.npy", make_image(rng, h, w, cf, fd))
            pairs.append(name)
    return [[mode, f"bg-{p}", f"fg-{p}", op] for mode in MODES for p in pairs for op in OPACITIES]


def host_result(work, case, kernel):
    mode, bg, fg, opacity = case
    return getattr(_zarvel, mode)(np.load(work / f"{bg}.npy"), np.load(work / f"{fg}.npy"), opacity, kernel)


def compare(work, cases, emulated_kernel, host_kernel, cpu):
    bad = []
    results = np.load(work / f"out-{emulated_kernel}.npz")
    for i, case in enumerate(cases):
        got = results[f"c{i}"]
        want = host_result(work, case, host_kernel)
        if not identical(got, want):
            bad.append(f"{case[0]} {case[1][3:]} opacity={case[3]}")
    assert not bad, (
        f"-cpu {cpu}, kernel {emulated_kernel!r} differs from this machine's {host_kernel!r} "
        f"in {len(bad)} of {len(cases)} calls, e.g. {bad[:5]}"
    )


@pytest.mark.parametrize("cpu", ["Nehalem", "SandyBridge"])
def test_without_fma_vector_kernels_fall_back_to_scalar(cpu, tmp_path):
    """Nehalem: SSE4.2 without AVX; SandyBridge: AVX without FMA. Only the scalar kernel runs."""
    cases = write_cases(tmp_path)
    kernels = ("scalar", "sse42", "avx2", "auto")
    report = run_emulated(cpu, tmp_path, cases, kernels)
    assert report["available"] == {"scalar": True, "sse42": False, "avx2": False, "auto": True}
    for kernel in kernels:
        compare(tmp_path, cases, kernel, "scalar", cpu)
    # The cases tell the kernels apart (vector stores round ties to even, the
    # scalar writes away from zero), so a fallback to a vector kernel would show.
    for kernel in ("sse42", "avx2"):
        if _zarvel.kernel_available(kernel):
            assert any(
                not identical(host_result(tmp_path, c, kernel), host_result(tmp_path, c, "scalar")) for c in cases
            ), f"no case tells {kernel} from scalar"


def test_haswell_runs_the_same_vector_kernels(tmp_path):
    if not (_zarvel.kernel_available("avx2") and _zarvel.kernel_available("sse42")):
        pytest.skip("this machine has no AVX2 kernel to compare with")
    cases = write_cases(tmp_path)
    kernels = ("scalar", "sse42", "avx2", "auto")
    report = run_emulated("Haswell", tmp_path, cases, kernels)
    assert report["available"] == {"scalar": True, "sse42": True, "avx2": True, "auto": True}
    for kernel in kernels:
        compare(tmp_path, cases, kernel, "avx2" if kernel == "auto" else kernel, "Haswell")
