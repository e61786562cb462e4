"""This build of the module against another build of the same source, bit for bit.

A wheel is compiled by another compiler, with another C++ runtime and for an
older C library than a build from source on the machine, yet every kernel
must give the same bits. ZARVEL_OTHER_PYTHON names an interpreter that
imports the other build (for example the environment a source build went
into); it runs every mode on every kernel this processor has, through the
module's functions and through the engine (bands on threads, offsets, masks,
16-bit and batched images), on inputs written here, and these tests compare
its results with this process's. ZARVEL_OTHER_REQUIRED=1 turns the skip
without such an interpreter into a failure.
"""

import json
import os
import subprocess
import textwrap
from pathlib import Path

import numpy as np
import pytest

import _zarvel
import zarvel

OTHER = os.environ.get("ZARVEL_OTHER_PYTHON")
REQUIRED = os.environ.get("ZARVEL_OTHER_REQUIRED") == "1"
if OTHER is None and REQUIRED:
    raise RuntimeError("ZARVEL_OTHER_REQUIRED=1 but ZARVEL_OTHER_PYTHON names no interpreter")
pytestmark = pytest.mark.skipif(OTHER is None, reason="ZARVEL_OTHER_PYTHON not set: no other build to compare")

MODES = tuple(zarvel.MODES)
KERNELS = tuple(k for k in ("scalar", "sse42", "avx2", "avx512", "neon") if zarvel.kernel_available(k))
MODULE_KERNELS = tuple(k for k in ("scalar", "sse42", "avx2", "auto") if _zarvel.kernel_available(k))
DTYPES = (np.uint8, np.float32)
COMBOS = [(bd, fd, cb, cf) for bd in DTYPES for fd in DTYPES for cb in (3, 4) for cf in (3, 4)]
SIZES = (0, 1, 3, 4, 5, 7, 8, 15, 16, 17, 31, 33, 40, 67, 130)
OPACITIES = (0.5, 1.0, 1.7, 0.0, float("nan"))
SPECIAL = np.array([np.nan, np.inf, -np.inf, -40.0, 0.0, 0.5, 127.5, 254.5, 255.0, 300.0, 1e30], np.float32)

CHILD = textwrap.dedent("""
    import json, sys
    import numpy as np
    import _zarvel, zarvel
    work = sys.argv[1]
    job = json.load(open(work + "/job.json"))
    inputs = np.load(work + "/inputs.npz")
    def run(call):
        kind, mode, bg, fg, opacity, kernel, extra = call
        if kind == "module":
            return getattr(_zarvel, mode)(inputs[bg], inputs[fg], opacity, kernel)
        return zarvel.blend(inputs[bg], inputs[fg], mode, opacity, kernel=kernel, offset=tuple(extra["offset"]),
                            mask=None if extra["mask"] is None else inputs[extra["mask"]], threads=extra["threads"])
    out = [run(call).reshape(-1).view(np.uint8) for call in job["calls"]]
    np.save(work + "/results.npy", np.concatenate(out))
    available = {k: zarvel.kernel_available(k) for k in ("scalar", "sse42", "avx2", "avx512", "neon")}
    print(json.dumps({"module": _zarvel.__file__, "engine": zarvel._engine.__file__, "available": available}))
""")


def image(rng, shape, dtype):
    if np.dtype(dtype) == np.uint8:
        return rng.integers(0, 256, shape, dtype=np.uint8)
    if np.dtype(dtype) == np.uint16:
        return rng.integers(0, 65536, shape, dtype=np.uint16)
    img = rng.uniform(-10, 265, shape).astype(np.float32)
    whole = rng.random(shape) < 0.3  # exact integers and halves: rounding ties
    img[whole] = np.round(img[whole] * 2) / 2
    pick = rng.random(shape) < 0.05
    img[pick] = rng.choice(SPECIAL, int(pick.sum()))
    return img


def build_job():
    rng = np.random.default_rng(19)
    inputs, calls = {}, []
    for bd, fd, cb, cf in COMBOS:
        for n in SIZES:
            bg, fg = (
                f"b{np.dtype(bd).name}{cb}-{np.dtype(fd).name}{cf}-{n}",
                f"f{np.dtype(bd).name}{cb}-{np.dtype(fd).name}{cf}-{n}",
            )
            inputs[bg], inputs[fg] = image(rng, (1, n, cb), bd), image(rng, (1, n, cf), fd)
            calls += [["module", m, bg, fg, op, k, None] for m in MODES for op in OPACITIES for k in MODULE_KERNELS]
    # The engine: a layer across the frame's edges, masked or not, on 8-bit, float,
    # 16-bit and batched backgrounds, in bands on two threads, with every kernel.
    inputs["e-fg"] = image(rng, (23, 41, 4), np.uint8)
    inputs["e-mask"] = image(rng, (23, 41), np.uint8)
    for dtype, shape in (
        (np.uint8, (37, 53, 3)),
        (np.float32, (37, 53, 4)),
        (np.uint16, (37, 53, 4)),
        (np.uint8, (2, 19, 29, 4)),
    ):
        name = f"e-bg-{np.dtype(dtype).name}-{len(shape)}"
        inputs[name] = image(rng, shape, dtype)
        for offset, mask in (((-5, 20), None), ((3, -7), "e-mask")):
            calls += [
                ["engine", m, name, "e-fg", 0.7, k, {"offset": offset, "mask": mask, "threads": 2}]
                for m in MODES
                for k in KERNELS
            ]
    return inputs, calls


def run_here(inputs, call):
    kind, mode, bg, fg, opacity, kernel, extra = call
    if kind == "module":
        return getattr(_zarvel, mode)(inputs[bg], inputs[fg], opacity, kernel)
    return zarvel.blend(
        inputs[bg],
        inputs[fg],
        mode,
        opacity,
        kernel=kernel,
        offset=tuple(extra["offset"]),
        mask=None if extra["mask"] is None else inputs[extra["mask"]],
        threads=extra["threads"],
    )


@pytest.fixture(scope="module")
def other_run(tmp_path_factory):
    work = tmp_path_factory.mktemp("other-build")
    inputs, calls = build_job()
    np.savez(work / "inputs.npz", **inputs)
    (work / "job.json").write_text(json.dumps({"calls": calls}))
    (work / "child.py").write_text(CHILD)
    env = {k: v for k, v in os.environ.items() if not k.startswith("PYTHON")}
    proc = subprocess.run(
        [OTHER, "-B", str(work / "child.py"), str(work)],
        cwd=str(work),
        env=env,
        capture_output=True,
        text=True,
        timeout=900,
    )
    assert proc.returncode == 0, f"the other build's interpreter failed:\n{proc.stderr[-4000:]}"
    report = json.loads(proc.stdout.strip().splitlines()[-1])
    return {"inputs": inputs, "calls": calls, "report": report, "flat": np.load(work / "results.npy")}


def test_the_other_interpreter_runs_another_build_with_the_same_kernels(other_run):
    report = other_run["report"]
    here = Path(_zarvel.__file__).resolve()
    assert Path(report["module"]).resolve() != here, "both interpreters import the same module file"
    assert Path(report["engine"]).resolve() != Path(zarvel._engine.__file__).resolve()
    assert report["available"] == {k: zarvel.kernel_available(k) for k in report["available"]}
    assert len(KERNELS) >= 1 and "scalar" in KERNELS


def identical(got, want):
    """Same bits; two NaNs count as equal whatever their payload."""
    if want.dtype.kind != "f":
        return np.array_equal(got, want)
    nan = np.isnan(got) & np.isnan(want)
    return np.array_equal(got.view(np.uint32)[~nan], want.view(np.uint32)[~nan])


@pytest.mark.parametrize("kind", ["module", "engine"])
def test_every_mode_and_kernel_gives_the_other_builds_bits(other_run, kind):
    flat, offset, bad, compared = other_run["flat"], 0, [], 0
    for call in other_run["calls"]:
        want = run_here(other_run["inputs"], call)
        got = flat[offset : offset + want.nbytes].view(want.dtype).reshape(want.shape)
        offset += want.nbytes
        if call[0] == kind:
            compared += 1
            if not identical(got, want):
                bad.append(f"{call[1]} kernel={call[5]} on {call[2]} opacity={call[4]}")
    assert offset == flat.size, "the other build's results do not add up to the expected sizes"
    assert compared > 0
    assert not bad, f"{len(bad)} of {compared} calls differ from the other build, e.g. {bad[:8]}"
