"""The module on 64-bit ARM: its results against this machine's, bit for bit.

scripts/aarch64.sh cross-compiles the module for aarch64 and unpacks an
aarch64 Python with NumPy into a sysroot; these tests run that interpreter
under qemu-aarch64 on inputs written here and compare what it returns with
what the x86 module on this machine returns for the same inputs:

- ARM "neon" and "auto" against x86 "sse42" (the two 4-lane kernels), every
  mode, the LCH modes included: their lane form calls no library function
  (the cube root and the powers are Zarvel's own arithmetic);
- ARM "scalar" against x86 "scalar", except the LCH modes, whose scalar form
  calls the C library's powf and hypotf: there the ARM and x86 libraries may
  round differently, and the cases that differ are reported, not failed;
- ARM "sse42" and "avx2", which do not exist there, against x86 "scalar".

Every mode, element type and channel mix, images of 0 to 40 pixels and a few
larger ones, so that every stage runs (the flat runs of two RGB images,
aligned or not, the 4-pixel stage, the scalar tail). Inputs travel as one .npz,
results as one flat .npy of bytes per kernel. NaN payloads are not compared.

Without the sysroot and the cross build (ZARVEL_AARCH64_SYSROOT and
ZARVEL_AARCH64_MODULE, default build/aarch64/...) or qemu-aarch64 the tests
skip; scripts/aarch64.sh sets ZARVEL_AARCH64_REQUIRED, which turns that skip
into a failure.
"""

import os
import platform
import shutil
import time
from pathlib import Path

import numpy as np
import pytest

import _zarvel
import emulated
import images
from emulated import identical
import zarvel

ROOT = Path(__file__).resolve().parent.parent
SYSROOT = Path(os.environ.get("ZARVEL_AARCH64_SYSROOT", ROOT / "build/aarch64/sysroot"))
# An importable tree: the ARM _zarvel at the top, the package with the ARM engine.
MODULE_DIR = Path(os.environ.get("ZARVEL_AARCH64_MODULE", ROOT / "build/aarch64/module/site"))
QEMU = shutil.which("qemu-aarch64")
QEMU_CPU = os.environ.get("ZARVEL_QEMU_CPU", "cortex-a72")
PYTHON_ARM = SYSROOT / "usr/bin/python3.11"
REQUIRED = os.environ.get("ZARVEL_AARCH64_REQUIRED") == "1"


def missing():
    if platform.machine() not in ("x86_64", "AMD64"):
        return f"the expected results come from the x86-64 module; this is {platform.machine()}"
    if QEMU is None:
        return "qemu-aarch64 not installed (Debian package qemu-user)"
    if not PYTHON_ARM.is_file():
        return f"no aarch64 sysroot at {SYSROOT} (bash scripts/aarch64.sh prepare)"
    if not list(MODULE_DIR.glob("_zarvel*.so")) or not list(MODULE_DIR.glob("zarvel/_engine*.so")):
        return f"no aarch64 build of the module in {MODULE_DIR} (bash scripts/aarch64.sh prepare)"
    if not all(_zarvel.kernel_available(k) for k in ("sse42", "avx2")):
        return "this machine runs no 4-lane x86 kernel to compare with"
    return None


REASON = missing()
if REASON is None and emulated.asan_runtime() is not None:
    REASON = "module built with AddressSanitizer; these tests run against the ordinary build"
if REASON is not None and REQUIRED:
    raise RuntimeError(f"aarch64 comparison required but cannot run: {REASON}")
pytestmark = pytest.mark.skipif(REASON is not None, reason=str(REASON))

MODES = tuple(zarvel.MODES)
LCH = tuple(m for m in MODES if m.startswith("lch_"))
DTYPES = (np.uint8, np.float32)
COMBOS = [(bd, fd, cb, cf) for bd in DTYPES for fd in DTYPES for cb in (3, 4) for cf in (3, 4)]
SIZES = tuple(range(41)) + (67, 130, 257)
OPACITIES = (0.3, 0.5, 1.0, 1.7)
# Opacities that take shortcuts (<= 0) or whose handling differs between the
# scalar and the vector kernels (non-finite ones), on a few sizes.
EXTRA_OPACITIES = (0.0, -0.5, float("nan"), float("inf"))
EXTRA_SIZES = (1, 5, 16, 23, 40, 67)

# kernel asked for on ARM -> kernel on this machine that must give the same bits
EXPECTED_FROM = {"neon": "sse42", "auto": "sse42", "scalar": "scalar", "sse42": "scalar", "avx2": "scalar"}

CHILD = emulated.child_script(
    """
    inputs = np.load(work + "/inputs.npz")
    arrays = {}
    for name in inputs.files:
        a = inputs[name]
        if name.endswith("_off"):          # the same bytes one byte past an aligned address
            buf = np.empty(a.nbytes + 16, np.uint8)
            a = buf[1:1 + a.nbytes].view(a.dtype).reshape(a.shape)
            a[...] = inputs[name]
        arrays[name] = a
    report = {
        "machine": __import__("platform").machine(),
        "module": _zarvel.__file__,
        "module_available": {k: _zarvel.kernel_available(k) for k in ("scalar", "sse42", "avx2", "auto")},
        "package_available": {k: zarvel.kernel_available(k) for k in ("scalar", "sse42", "avx2", "neon", "auto")},
        "neon_kind": zarvel.kernel_available(zarvel.KernelKind.NEON),
        "seconds": {},
    }
    try:
        _zarvel.kernel_available("neon")
        report["module_rejects_neon"] = False
    except ValueError as e:
        report["module_rejects_neon"] = str(e) == "unknown kernel kind"
    import time
    for kernel in job["kernels"]:
        start = time.perf_counter()
        chunks = []
        for mode, bg, fg, opacity in job["cases"]:
            out = getattr(_zarvel, mode)(arrays[bg], arrays[fg], opacity, kernel)
            chunks.append(out.reshape(-1).view(np.uint8))
        np.save(f"{work}/out-{kernel}.npy", np.concatenate(chunks) if chunks else np.zeros(0, np.uint8))
        report["seconds"][kernel] = time.perf_counter() - start
    chunks = []
    for mode, bg, fg, opacity, offset, mask in job["engine_cases"]:
        out = zarvel.blend(arrays[bg], arrays[fg], mode, opacity, offset=tuple(offset),
                           mask=None if mask is None else arrays[mask], kernel="neon", threads=2)
        chunks.append(out.reshape(-1).view(np.uint8))
    np.save(f"{work}/engine-neon.npy", np.concatenate(chunks))
    print(json.dumps(report))
""",
    modules="_zarvel, zarvel",
)


def make_image(rng, n, c, dtype):
    """One row of n pixels; floats beyond 0..255, ties of 8-bit rounding and special values."""
    return images.make_image(rng, 1, n, c, dtype, low=-10, high=265, special=0.08, opaque=0.2)


def build_cases():
    """Inputs by name and the calls: [mode, background name, foreground name, opacity]."""
    rng = np.random.default_rng(20241111)
    inputs, cases = {}, []
    for bd, fd, cb, cf in COMBOS:
        kind = f"{np.dtype(bd).name}{cb}-{np.dtype(fd).name}{cf}"
        for n in SIZES:
            bg, fg = f"bg-{kind}-{n}", f"fg-{kind}-{n}"
            inputs[bg], inputs[fg] = make_image(rng, n, cb, bd), make_image(rng, n, cf, fd)
            pairs = [(bg, fg)]
            if bd == fd == np.uint8 and cb == cf == 3:
                # The same 8-bit RGB pixels at unaligned addresses: no flat run.
                inputs[bg + "_off"], inputs[fg + "_off"] = inputs[bg], inputs[fg]
                pairs.append((bg + "_off", fg + "_off"))
            for b, f in pairs:
                opacities = OPACITIES + (EXTRA_OPACITIES if n in EXTRA_SIZES else ())
                cases += [[mode, b, f, op] for mode in MODES for op in opacities]
    return inputs, cases


def build_engine_cases(inputs):
    """zarvel.blend calls: a layer across the edge of a frame, with and without a mask, on
    8-bit, float and 16-bit backgrounds, in every mode of both families:
    [mode, background, layer, opacity, offset, mask]."""
    rng = np.random.default_rng(77)
    inputs["e-mask"] = rng.integers(0, 256, (9, 20), dtype=np.uint8)
    inputs["e-fg"] = make_image(rng, 9 * 20, 4, np.uint8).reshape(9, 20, 4)
    cases = []
    for dtype, c in ((np.uint8, 3), (np.float32, 4), (np.uint16, 4)):
        name = f"e-bg-{np.dtype(dtype).name}{c}"
        if dtype == np.uint16:
            inputs[name] = rng.integers(0, 65536, (13, 37, c), dtype=np.uint16)
        else:
            inputs[name] = make_image(rng, 13 * 37, c, dtype).reshape(13, 37, c)
        for offset in ((-3, 25), (2, 3)):
            for mask in (None, "e-mask"):
                cases += [[mode, name, "e-fg", 0.7, offset, mask] for mode in (*MODES, *zarvel.w3c.MODES)]
    return cases


def emulated_environment():
    """The child's own import path (the ARM build first, the package from the checkout) and
    OpenBLAS settings for the emulated processor, not the host's."""
    # generic ARMv8 kernels: right on any AArch64 processor
    return emulated.child_environment(str(MODULE_DIR), "ARMV8", 1024 * 1024)


@pytest.fixture(scope="module")
def arm_run(tmp_path_factory):
    """Runs every case on every kernel under qemu-aarch64 once for this module's tests."""
    work = tmp_path_factory.mktemp("aarch64")
    inputs, cases = build_cases()
    engine_cases = build_engine_cases(inputs)
    np.savez(work / "inputs.npz", **inputs)
    kernels = tuple(EXPECTED_FROM)
    start = time.perf_counter()
    report = emulated.run(
        [QEMU, "-cpu", QEMU_CPU, "-L", str(SYSROOT), str(PYTHON_ARM)],
        work,
        emulated_environment(),
        CHILD,
        {"cases": cases, "kernels": kernels, "engine_cases": engine_cases},
        "aarch64 child",
        timeout=3600,
    )
    report["wall"] = time.perf_counter() - start
    return {
        "work": work,
        "cases": cases,
        "engine_cases": engine_cases,
        "inputs": {name: placed(name, a) for name, a in inputs.items()},
        "report": report,
    }


def placed(name, a):
    """An input as the child places it: names ending in _off one byte past an aligned address."""
    if not name.endswith("_off"):
        return a
    buf = np.empty(a.nbytes + 16, np.uint8)
    out = buf[1 : 1 + a.nbytes].view(a.dtype).reshape(a.shape)
    out[...] = a
    return out


def host_results(run, kernel):
    inputs = run["inputs"]
    return [getattr(_zarvel, mode)(inputs[bg], inputs[fg], op, kernel) for mode, bg, fg, op in run["cases"]]


def differing(run, arm_kernel):
    """(case, got, want) for every call whose ARM result differs from its x86 counterpart."""
    flat = np.load(run["work"] / f"out-{arm_kernel}.npy")
    bad, offset = [], 0
    for case, want in zip(run["cases"], host_results(run, EXPECTED_FROM[arm_kernel])):
        got = flat[offset : offset + want.nbytes].view(want.dtype).reshape(want.shape)
        offset += want.nbytes
        if not identical(got, want):
            bad.append((case, got, want))
    assert offset == flat.size, "the ARM results do not add up to the expected sizes"
    return bad


def describe(bad):
    return [f"{case[0]} {case[1][3:]} opacity={case[3]}" for case, _, _ in bad[:8]]


def test_the_child_is_an_aarch64_python_with_the_cross_built_module(arm_run):
    report = arm_run["report"]
    assert report["machine"] == "aarch64"
    assert Path(report["module"]).resolve().parent == MODULE_DIR.resolve()
    print(
        f"\naarch64 under qemu ({QEMU_CPU}): {len(arm_run['cases'])} calls per kernel, seconds "
        + ", ".join(f"{k} {s:.1f}" for k, s in report["seconds"].items())
        + f"; wall {report['wall']:.0f}"
    )


def test_kernel_names_on_aarch64(arm_run):
    report = arm_run["report"]
    # The module keeps its four names; the x86 kernels are absent, as on an old x86 processor.
    assert report["module_available"] == {"scalar": True, "sse42": False, "avx2": False, "auto": True}
    assert report["module_rejects_neon"]
    assert report["package_available"] == {"scalar": True, "sse42": False, "avx2": False, "neon": True, "auto": True}
    assert report["neon_kind"] is True


def test_neon_lch_equals_the_x86_four_lane_kernel(arm_run):
    """The LCH modes on their own, so that a difference there is named as such."""
    bad = [b for b in differing(arm_run, "neon") if b[0][0] in LCH]
    calls = sum(1 for c in arm_run["cases"] if c[0] in LCH)
    assert calls and not bad, (
        f"ARM 'neon' LCH differs from x86 'sse42' in {len(bad)} of {calls} calls, e.g. {describe(bad)}"
    )


@pytest.mark.parametrize("arm_kernel", ["neon", "auto"])
def test_neon_equals_the_x86_four_lane_kernel(arm_run, arm_kernel):
    bad = differing(arm_run, arm_kernel)
    assert not bad, (
        f"ARM {arm_kernel!r} differs from x86 'sse42' in {len(bad)} of {len(arm_run['cases'])} "
        f"calls, e.g. {describe(bad)}"
    )


def test_the_engine_forces_neon(arm_run):
    """zarvel.blend(..., kernel="neon") on ARM gives what kernel="sse42" gives here."""
    flat = np.load(arm_run["work"] / "engine-neon.npy")
    inputs, bad, offset = arm_run["inputs"], [], 0
    for mode, bg, fg, opacity, at, mask in arm_run["engine_cases"]:
        want = zarvel.blend(
            inputs[bg],
            inputs[fg],
            mode,
            opacity,
            offset=tuple(at),
            mask=None if mask is None else inputs[mask],
            kernel="sse42",
        )
        got = flat[offset : offset + want.nbytes].view(want.dtype).reshape(want.shape)
        offset += want.nbytes
        if not identical(got, want):
            bad.append(f"{mode} on {bg} at {at} mask={mask}")
    assert offset == flat.size
    assert not bad, f"{len(bad)} of {len(arm_run['engine_cases'])} engine calls differ, e.g. {bad[:5]}"


def test_neon_is_not_the_scalar_kernel(arm_run):
    """The cases tell the 4-lane kernel from the scalar one (8-bit ties round to
    even there, away from zero in the scalar kernel), so a NEON kernel that
    silently ran scalar code would show."""
    arm = np.load(arm_run["work"] / "out-neon.npy")
    scalar = np.load(arm_run["work"] / "out-scalar.npy")
    assert arm.shape == scalar.shape and not np.array_equal(arm, scalar)


@pytest.mark.parametrize("arm_kernel", ["scalar", "sse42", "avx2"])
def test_scalar_equals_the_x86_scalar_kernel(arm_run, arm_kernel):
    bad = differing(arm_run, arm_kernel)
    other = [b for b in bad if b[0][0] not in LCH]
    assert not other, (
        f"ARM {arm_kernel!r} differs from x86 'scalar' in {len(other)} calls outside the LCH "
        f"modes, e.g. {describe(other)}"
    )
    if arm_kernel == "scalar":
        report_libm_differences(arm_run, bad)


def report_libm_differences(run, bad):
    """The LCH modes' scalar form on the two C libraries (powf, hypotf): which calls differ,
    and by how much."""
    per_mode = {}
    for (mode, _bg, _fg, _op), got, want in bad:
        entry = per_mode.setdefault(mode, {"calls": 0, "elements": 0, "max_u8_step": 0, "max_f32_rel": 0.0})
        entry["calls"] += 1
        if want.dtype == np.uint8:
            diff = np.abs(got.astype(int) - want.astype(int))
            entry["elements"] += int((diff != 0).sum())
            entry["max_u8_step"] = max(entry["max_u8_step"], int(diff.max()))
        else:
            finite = np.isfinite(got) & np.isfinite(want)
            mismatch = ~((got == want) | (np.isnan(got) & np.isnan(want)))
            entry["elements"] += int(mismatch.sum())
            scale = np.maximum(np.abs(want[finite]), 1e-30)
            rel = np.abs(got[finite] - want[finite]) / scale
            entry["max_f32_rel"] = max(entry["max_f32_rel"], float(rel.max()) if rel.size else 0.0)
    lch_calls = sum(1 for c in run["cases"] if c[0] in LCH)
    lines = [f"LCH scalar, aarch64 C library vs x86-64 C library: {len(bad)} of {lch_calls} calls differ"]
    lines += [f"  {m}: {e}" for m, e in sorted(per_mode.items())]
    text = "\n".join(lines)
    (ROOT / "build").mkdir(exist_ok=True)
    (ROOT / "build" / "aarch64-libm-report.txt").write_text(text + "\n")
    print("\n" + text)
