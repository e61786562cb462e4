import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(__file__))

# Tests of Linux itself: guard pages through libc's mmap and mprotect, /proc,
# the resource module, processors emulated by qemu-user. Elsewhere (the macOS
# and Windows wheels) the rest of the suite runs.
if not sys.platform.startswith("linux"):
    collect_ignore = ["test_memory_safety.py", "test_engine_memory.py", "test_hostile_inputs.py",
                      "test_portability.py", "test_aarch64.py"]

KERNELS = ("scalar", "sse42", "avx2")
DTYPES = (np.uint8, np.float32)
# (bg dtype, fg dtype, bg channels, fg channels) for every combination
COMBOS = [(bd, fd, cb, cf) for bd in DTYPES for fd in DTYPES for cb in (3, 4) for cf in (3, 4)]
COMBO_IDS = [f"{np.dtype(bd).name}{cb}-{np.dtype(fd).name}{cf}" for bd, fd, cb, cf in COMBOS]
FLOAT_COMBOS = [c for c in COMBOS if np.float32 in c[:2]]
FLOAT_IDS = [i for c, i in zip(COMBOS, COMBO_IDS) if np.float32 in c[:2]]
OPACITIES = (0.0, -0.5, 0.25, 0.5, 1.0, 1.5, float("nan"))
SPECIAL = np.array([np.nan, np.inf, -np.inf, -40, 0, 0.5, 3, 127.5, 254.5, 255, 300, 1e30], np.float32)


@pytest.fixture(params=KERNELS)
def kernel(request):
    """Every kernel the processor runs; an unavailable one would silently run scalar."""
    import _zarvel
    if not _zarvel.kernel_available(request.param):
        pytest.skip(f"kernel {request.param} not available")
    return request.param


def make_image(rng, h, w, c, dtype):
    """Random image; alphas are often exactly 0 or 255 to reach the alpha edge cases."""
    if np.dtype(dtype) == np.uint8:
        img = rng.integers(0, 256, (h, w, c), dtype=np.uint8)
    else:
        img = rng.uniform(0, 255, (h, w, c)).astype(np.float32)
        whole = rng.random((h, w, c)) < 0.3           # exact integers and halves too
        img[whole] = np.round(img[whole] * 2) / 2
    if c == 4:
        pick = rng.random((h, w))
        img[..., 3][pick < 0.2] = 0
        img[..., 3][(pick >= 0.2) & (pick < 0.45)] = 255
    return img


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
    bad = np.argwhere(~((got == want) | (np.isnan(got) & np.isnan(want))
                        if want.dtype.kind == "f" else got == want))
    idx = tuple(bad[0])
    raise AssertionError(f"{len(bad)} elements differ, first at {idx}: "
                         f"got {got[idx]!r}, model {want[idx]!r}")
