"""The 16-lane AVX-512 kernel gives the 8-lane AVX2 kernel's results, bit for bit.

It is the module's automatic choice where the processor has AVX-512 (the
module's functions have no name for it) and a kernel the engine can force.
Every mode, element type and channel mix, sizes that reach every stage (the
16-, 8- and 4-pixel groups, the flat runs and the scalar tail) and values that
reach every edge: NaN, infinities, out-of-range colours and alphas of 0 and 255.
"""
import itertools
import zlib

import numpy as np
import pytest

import _zarvel
import zarvel
from conftest import COMBO_IDS, COMBOS, SPECIAL, make_image

pytestmark = pytest.mark.skipif(not zarvel.kernel_available("avx512"), reason="no AVX-512 on this processor")

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
def test_automatic_choice_equals_avx2(mode, combo):
    rng = np.random.default_rng(zlib.crc32(f"{mode} {combo}".encode()))
    f = getattr(_zarvel, mode)
    for n, special in itertools.product(SIZES, (False, True)):
        bg, fg = images(rng, n, combo, special)
        for opacity in ((0.73,) if n % 8 else (0.5, 1.0, 0.25, 1.5, float("nan"))):
            want = f(bg, fg, opacity, "avx2")
            what = f"{mode} n={n} opacity={opacity} special={special}"
            same_bits(f(bg, fg, opacity), want, what)
            same_bits(zarvel.blend(bg, fg, mode, opacity, kernel="avx512", threads=1), want, what)


@pytest.mark.parametrize("mode", ["normal", "multiply", "screen", "overlay", "hsl_color", "lch_color"])
@pytest.mark.parametrize("dtype", [np.uint8, np.float32])
def test_larger_frames_in_bands_on_threads(mode, dtype):
    """Whole frames of several rows, split into bands over threads, in place."""
    rng = np.random.default_rng(7)
    for h, w, cb, cf in ((37, 53, 4, 4), (64, 40, 3, 3), (19, 129, 4, 3), (8, 300, 3, 4)):
        bg, fg = make_image(rng, h, w, cb, dtype), make_image(rng, h, w, cf, dtype)
        want = getattr(_zarvel, mode)(bg, fg, 0.6, "avx2")
        for threads in (1, 2, 3):
            in_place = bg.copy()
            zarvel.blend(in_place, fg, mode, 0.6, out=in_place, threads=threads, kernel=zarvel.KernelKind.AVX512)
            same_bits(in_place, want, f"{mode} {h}x{w} threads={threads}")
