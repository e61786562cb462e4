"""A kernel that gives another kernel's results gives them bit for bit.

The kernel list names, for each kernel, the kernel whose results it gives:
the 16-lane AVX-512 kernel gives the 8-lane AVX2 kernel's, the 4-lane NEON
kernel the SSE4.2 kernel's. Where both kernels of a pair run here: every mode,
element type and channel mix, sizes that reach every stage (the 16-, 8- and
4-pixel groups, the flat runs and the scalar tail) and values that reach every
edge: NaN, infinities, out-of-range colours and alphas of 0 and 255. The
module's functions have no name for such a kernel and run it as their
automatic choice where it is the widest kernel here.
"""

import itertools
import zlib

import numpy as np
import pytest

import _zarvel
import zarvel
from conftest import COMBO_IDS, COMBOS, SPECIAL, make_image
from zarvel import _registry

PAIRS = [(kernel, twin) for kernel, twin in _registry.RESULTS_OF.items() if kernel != twin]


@pytest.fixture(params=PAIRS, ids=[f"{k}-as-{t}" for k, t in PAIRS])
def pair(request):
    kernel, twin = request.param
    if not (zarvel.kernel_available(kernel) and zarvel.kernel_available(twin)):
        pytest.skip(f"{kernel} and {twin} do not both run on this processor")
    return kernel, twin


def widest_here(kernel):
    """Whether `kernel` is the module's automatic choice here (the widest kernel that runs)."""
    running = [k for k in _registry.KERNELS if zarvel.kernel_available(k)]
    return max(running, key=lambda k: _registry.KERNEL_PIXELS[k]) == kernel


SIZES = list(range(0, 41)) + [47, 48, 63, 64, 65, 100, 257]


def same_bits(got, want, what):
    assert got.dtype == want.dtype and got.shape == want.shape, what
    assert got.tobytes() == want.tobytes(), what


def images(rng, n, combo, special):
    bd, fd, cb, cf = combo
    bg, fg = make_image(rng, 1, n, cb, bd), make_image(rng, 1, n, cf, fd)
    for image in (bg, fg):
        if special and image.dtype == np.float32 and image.size:
            flat = image.reshape(-1)
            flat[rng.integers(0, flat.size, max(1, flat.size // 5))] = rng.choice(SPECIAL, max(1, flat.size // 5))
    return bg, fg


@pytest.mark.parametrize("combo", COMBOS, ids=COMBO_IDS)
@pytest.mark.parametrize("mode", zarvel.MODES)
def test_results_equal_the_twin_kernels(mode, combo, pair):
    kernel, twin = pair
    rng = np.random.default_rng(zlib.crc32(f"{mode} {combo}".encode()))
    f = getattr(_zarvel, mode)
    automatic = widest_here(kernel)
    for n, special in itertools.product(SIZES, (False, True)):
        bg, fg = images(rng, n, combo, special)
        for opacity in (0.73,) if n % 8 else (0.5, 1.0, 0.25, 1.5, float("nan")):
            want = f(bg, fg, opacity, twin)
            what = f"{mode} n={n} opacity={opacity} special={special}"
            if automatic:
                same_bits(f(bg, fg, opacity), want, what)
            same_bits(zarvel.blend(bg, fg, mode, opacity, kernel=kernel, threads=1), want, what)


@pytest.mark.parametrize("mode", ["normal", "multiply", "screen", "overlay", "hsl_color", "lch_color"])
@pytest.mark.parametrize("dtype", [np.uint8, np.float32])
def test_larger_frames_in_bands_on_threads(mode, dtype, pair):
    """Whole frames of several rows, split into bands over threads, in place."""
    kernel, twin = pair
    rng = np.random.default_rng(7)
    for h, w, cb, cf in ((37, 53, 4, 4), (64, 40, 3, 3), (19, 129, 4, 3), (8, 300, 3, 4)):
        bg, fg = make_image(rng, h, w, cb, dtype), make_image(rng, h, w, cf, dtype)
        want = getattr(_zarvel, mode)(bg, fg, 0.6, twin)
        for threads in (1, 2, 3):
            in_place = bg.copy()
            zarvel.blend(in_place, fg, mode, 0.6, out=in_place, threads=threads, kernel=zarvel.KernelKind(kernel))
            same_bits(in_place, want, f"{mode} {h}x{w} threads={threads}")
