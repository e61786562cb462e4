import os
import sys

import numpy as np
import pytest

from zarvel import _registry as zarvel_registry

sys.path.insert(0, os.path.dirname(__file__))
from images import SPECIAL, make_image  # noqa: E402,F401  (the test modules take them from here)

# Every kernel of the build's kernel list; the fixture skips those this processor lacks.
KERNELS = zarvel_registry.KERNELS

# Tests of Linux itself: guard pages through libc's mmap and mprotect, /proc,
# the resource module, processors emulated by qemu-user. Elsewhere (the macOS
# and Windows wheels) the rest of the suite runs.
if not sys.platform.startswith("linux"):
    collect_ignore = [
        "test_memory_safety.py",
        "test_engine_memory.py",
        "test_w3c_memory.py",
        "test_hostile_inputs.py",
        "test_portability.py",
        "test_aarch64.py",
    ]
DTYPES = (np.uint8, np.float32)
# (bg dtype, fg dtype, bg channels, fg channels) for every combination
COMBOS = [(bd, fd, cb, cf) for bd in DTYPES for fd in DTYPES for cb in (3, 4) for cf in (3, 4)]
COMBO_IDS = [f"{np.dtype(bd).name}{cb}-{np.dtype(fd).name}{cf}" for bd, fd, cb, cf in COMBOS]
FLOAT_COMBOS = [c for c in COMBOS if np.float32 in c[:2]]
FLOAT_IDS = [i for c, i in zip(COMBOS, COMBO_IDS) if np.float32 in c[:2]]
OPACITIES = (0.0, -0.5, 0.25, 0.5, 1.0, 1.5, float("nan"))


@pytest.fixture(params=KERNELS)
def kernel(request):
    """Every kernel the processor runs; an unavailable one would silently run scalar.

    The module's functions run a kernel they have no name for ("avx512",
    "neon") as the automatic choice, which is that kernel wherever it runs:
    the widest one.
    """
    import zarvel

    if not zarvel.kernel_available(request.param):
        pytest.skip(f"kernel {request.param} not available")
    return request.param


@pytest.fixture
def images():
    """Factory of seeded random images: images(h, w, c, dtype)."""
    rng = np.random.default_rng(20240611)
    return lambda h, w, c, dtype: make_image(rng, h, w, c, dtype)


def with_specials(img, seed):
    """Float images get NaN, infinities and out-of-range values everywhere, alpha included."""
    if img.dtype == np.float32:
        img[...] = np.random.default_rng(seed).choice(SPECIAL, img.shape)
    return img


def check(mode, bg, fg, opacity, kernel):
    """The module's result equals the reference model's exactly."""
    import _zarvel
    from reference import blend

    got = getattr(_zarvel, mode)(bg, fg, opacity, kernel)
    try:
        same(got, blend(mode, bg, fg, opacity, kernel))
    except AssertionError as e:
        raise AssertionError(f"{mode} opacity={opacity} kernel={kernel}: {e}") from None


def same(got, want):
    """Exact comparison: dtype, shape and values (NaNs equal, ±0 equal)."""
    assert got.dtype == want.dtype and got.shape == want.shape
    if np.array_equal(got, want, equal_nan=want.dtype.kind == "f"):
        return
    bad = np.argwhere(~((got == want) | (np.isnan(got) & np.isnan(want)) if want.dtype.kind == "f" else got == want))
    idx = tuple(bad[0])
    raise AssertionError(f"{len(bad)} elements differ, first at {idx}: got {got[idx]!r}, model {want[idx]!r}")
