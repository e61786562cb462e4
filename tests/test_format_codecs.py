"""Converted pixel formats through the engine's vector conversions, against the
original one-pixel-at-a-time conversions (kept in the engine as the reference).

Both run the same blend kernel, so any difference is the conversion's. The
images hold every kind of value a conversion meets: NaN, infinities, values
past either end of the range, negative zeros, every 8-bit and many 16-bit
alphas (0 and full included), premultiplied colour above its alpha.
"""

import contextlib

import numpy as np
import pytest

import zarvel
from test_engine import identical, misaligned
from zarvel import _compose, _engine

SPECIALS = np.array(
    [np.nan, np.inf, -np.inf, -0.0, 0.0, -1.0, 1e-40, 0.5, 1.0, 1.5, 127.5, 254.5, 255.0, 256.0, 65535.0, 1e30, -1e30],
    np.float64,
)
# (dtype, scale, premultiplied): every stored layout that converts, and the
# kernels' own formats next to converted ones.
LAYOUTS = [
    (np.uint16, 255, False),
    (np.uint16, 255, True),
    (np.uint8, 255, True),
    (np.float32, 1, False),
    (np.float32, 1, True),
    (np.float32, 255, True),
    (np.float64, 1, False),
    (np.float64, 255, False),
    (np.float64, 1, True),
    (np.float64, 255, True),
]
LAYOUT_IDS = [f"{np.dtype(d).name}-scale{s}{'-premultiplied' if p else ''}" for d, s, p in LAYOUTS]


@contextlib.contextmanager
def pixel_by_pixel():
    before = _engine._pixel_by_pixel_formats(True)
    try:
        yield
    finally:
        _engine._pixel_by_pixel_formats(before)


def stored(rng, shape, c, dtype, unit):
    """Random pixels with the values that test a conversion: full ranges, all alphas, specials for floats."""
    dtype = np.dtype(dtype)
    if dtype.kind == "u":
        top = np.iinfo(dtype).max
        img = rng.integers(0, top + 1, shape + (c,), dtype=dtype)
        if c == 4:
            pick = rng.random(shape)
            img[..., 3][pick < 0.15] = 0
            img[..., 3][pick > 0.85] = top
        return img
    scale = 1 / 255 if unit else 1
    img = rng.uniform(-0.1, 1.1, shape + (c,)) * 255 * scale
    pick = rng.random(img.shape) < 0.15
    img[pick] = rng.choice(SPECIALS * scale, int(pick.sum()))
    if c == 4:
        pick = rng.random(shape)
        img[..., 3][pick < 0.1] = 0
        img[..., 3][pick > 0.9] = 255 * scale
    return img.astype(dtype)


def both_ways(fn):
    """fn() through the vector conversions and through the per-pixel reference."""
    got = fn()
    with pixel_by_pixel():
        want = fn()
    return got, want


@pytest.mark.parametrize("dtype, scale, premultiplied", LAYOUTS, ids=LAYOUT_IDS)
def test_conversions_equal_the_per_pixel_code(dtype, scale, premultiplied, kernel):
    """Backgrounds and layers in every converting layout, both channel counts, sizes 0..40 at every
    offset past the borders, with masks, in place, into out, on several threads."""
    rng = np.random.default_rng(abs(hash((np.dtype(dtype).name, scale, premultiplied, kernel))) % 2**32)
    unit = scale == 1
    for cb in (3, 4):
        bg = stored(rng, (9, 45), cb, dtype, unit)
        for cf in (3, 4):
            for n in range(0, 41):
                fd = dtype if n % 3 else rng.choice([np.uint8, np.uint16, np.float32, np.float64])
                fg = stored(rng, (1 + n % 4, n), cf, fd, unit)
                offset = [(0, 0), (2, 45 - n), (-1, -n // 2), (8, 40), (-3, 50)][n % 5]
                mode = ["multiply", "normal", "screen", "overlay", "hsv_hue", "subtract"][n % 6]
                mask = None if n % 4 else rng.integers(0, 256, fg.shape[:2], dtype=np.uint8)
                opacity = [1.0, 0.5, 0.8][n % 3]

                def run():
                    return zarvel.blend(
                        bg,
                        fg,
                        mode,
                        opacity,
                        mask=mask,
                        offset=offset,
                        kernel=kernel,
                        scale=scale,
                        premultiplied=premultiplied,
                        threads=1 + n % 3,
                    )

                identical(*both_ways(run))

                def in_place():
                    out = bg.copy()
                    zarvel.blend(
                        out,
                        fg,
                        mode,
                        opacity,
                        offset=offset,
                        out=out,
                        kernel=kernel,
                        scale=scale,
                        premultiplied=premultiplied,
                    )
                    return out

                identical(*both_ways(in_place))


@pytest.mark.parametrize("dtype, scale, premultiplied", LAYOUTS, ids=LAYOUT_IDS)
def test_whole_images_in_bands(dtype, scale, premultiplied, kernel, monkeypatch):
    """Images large enough for many pieces per band, in the engine's bands and in tiny ones."""
    rng = np.random.default_rng(7)
    unit = scale == 1
    bg = stored(rng, (2, 67, 301), 4, dtype, unit)
    fg = stored(rng, (67, 301), 4, dtype, unit)
    for band_bytes in (0, 1, 5000):
        monkeypatch.setattr(_compose, "_BAND_BYTES", band_bytes)
        for mode in ("multiply", "normal", "lch_color"):
            identical(
                *both_ways(
                    lambda: zarvel.blend(
                        bg, fg, mode, 0.7, kernel=kernel, scale=scale, premultiplied=premultiplied, threads=3
                    )
                )
            )


def test_every_stored_value_converts_as_the_per_pixel_code(kernel):
    """All 65,536 16-bit values, all 8-bit colour and alpha pairs premultiplied, both ways."""
    values = np.arange(65536, dtype=np.uint16).reshape(256, 256)
    layer = np.stack([values, values.T, values[::-1], values[:, ::-1]], axis=-1)
    bg = np.zeros((256, 256, 4), np.uint16)
    for premultiplied in (False, True):
        for mode, opacity in (("normal", 1.0), ("multiply", 0.6)):
            identical(
                *both_ways(lambda: zarvel.blend(bg, layer, mode, opacity, kernel=kernel, premultiplied=premultiplied))
            )
    pairs = np.stack(np.meshgrid(np.arange(256), np.arange(256), indexing="ij"), axis=-1).astype(np.uint8)
    rgba = np.concatenate([pairs, pairs], axis=-1)  # colour (c, a, c) and alpha a for every pair
    rgba[..., 2] = pairs[..., 0]
    rgba[..., 3] = pairs[..., 1]
    for mode in ("normal", "screen"):
        identical(*both_ways(lambda: zarvel.blend(rgba, rgba[::-1], mode, 0.9, kernel=kernel, premultiplied=True)))


def test_strided_and_misaligned_pixels(kernel):
    """Views with gaps between pixels and elements off their natural alignment take the same values."""
    rng = np.random.default_rng(9)
    for dtype, scale in ((np.uint16, 255), (np.float64, 1), (np.float32, 1)):
        unit = scale == 1
        wide = stored(rng, (20, 70), 4, dtype, unit)
        bg = stored(rng, (20, 35), 4, dtype, unit)
        for fg in (wide[:, ::2], wide[:, 1::2, :3], misaligned(wide, 3)):
            identical(
                *both_ways(
                    lambda: zarvel.blend(
                        bg, fg, "multiply", 0.5, offset=(2, -3), kernel=kernel, scale=scale, premultiplied=True
                    )
                )
            )
        out = misaligned(np.zeros_like(bg), 5)
        src = misaligned(bg, 1)
        identical(
            *both_ways(
                lambda: zarvel.blend(src, wide[:, ::2], "screen", 0.5, out=out, kernel=kernel, scale=scale).copy()
            )
        )


def test_the_reference_switch_reports_its_setting():
    assert _engine._pixel_by_pixel_formats(True) is False
    assert _engine._pixel_by_pixel_formats(False) is True


def test_16_bit_values_enter_as_their_exact_quotients(kernel):
    """A 16-bit RGB layer laid with normal at opacity 1 over a float32 background is copied as it
    enters: float32(v) / 257, correctly rounded, for every one of the 65,536 values."""
    values = np.arange(65536, dtype=np.uint16).reshape(256, 256)
    layer = np.stack([values, values.T, values[::-1]], axis=-1)
    for bg in (np.zeros((256, 256, 3), np.float32), np.zeros((256, 256, 4), np.float32)):
        got = zarvel.blend(bg, layer, "normal", 1.0, kernel=kernel)
        np.testing.assert_array_equal(got[..., :3], layer.astype(np.float32) / np.float32(257))
        with pixel_by_pixel():
            identical(got, zarvel.blend(bg, layer, "normal", 1.0, kernel=kernel))


def direct_layouts():
    """(dtype, unit, premultiplied, channels) of every stored layout, the kernels' own included."""
    for dtype in (np.uint8, np.uint16, np.float32, np.float64):
        for unit in (False, True) if np.dtype(dtype).kind == "f" else (False,):
            for premultiplied in (False, True):
                for channels in (3, 4):
                    yield dtype, unit, premultiplied, channels


def every_value(dtype, channels, premultiplied):
    """All 8-bit (colour, alpha) pairs or all 16-bit values, in a 256 x 256 image."""
    y, x = np.meshgrid(np.arange(256), np.arange(256), indexing="ij")
    if np.dtype(dtype) == np.uint8:
        planes = [y, x, 255 - y, x]  # colour y with alpha x, ...
    else:
        v = y * 256 + x
        planes = [v, v.T, v[::-1], v if not premultiplied else v[:, ::-1]]
    return np.stack(planes[:channels], axis=-1).astype(dtype)


@pytest.mark.parametrize("dtype, unit, premultiplied, channels", list(direct_layouts()))
def test_the_conversions_on_their_own(dtype, unit, premultiplied, channels, kernel):
    """Stored pixels in, working pixels out, against the per-pixel code: random values with specials,
    every 8-bit pair and 16-bit value, rows of 0..40 pixels, strided and misaligned views."""
    rng = np.random.default_rng(channels + 10 * premultiplied + 100 * unit)
    images = [stored(rng, (3, 77), channels, dtype, unit)[None]]
    if np.dtype(dtype).kind == "u":
        images.append(every_value(dtype, channels, premultiplied)[None])
    images += [stored(rng, (2, n), channels, dtype, unit)[None] for n in range(0, 41)]
    wide = stored(rng, (5, 60), channels, dtype, unit)
    images += [wide[None, :, ::2], misaligned(wide, 3)[None]]
    for img in images:
        got, want = both_ways(lambda: _engine._working_pixels(img, kernel, unit, premultiplied))
        identical(got, want)
        # ...and back, from working pixels with every special value in them.
        working = stored(rng, img.shape[1:3], channels, np.float32, False)[None]
        working[..., ::5, :] = want[..., ::5, :]
        outs = []
        for reference in (False, True):
            out = np.zeros(img.shape, dtype)
            before = _engine._pixel_by_pixel_formats(reference)
            try:
                _engine._stored_pixels(working, out, kernel, unit, premultiplied)
            finally:
                _engine._pixel_by_pixel_formats(before)
            outs.append(out)
        identical(*outs)


def test_the_conversion_hooks_check_their_arguments():
    img = np.zeros((1, 2, 3, 4), np.uint16)
    with pytest.raises(ValueError, match="working pixels"):
        _engine._stored_pixels(np.zeros((1, 2, 3, 3), np.float32), img, "auto", False, False)
    with pytest.raises(ValueError, match="writable"):
        _engine._stored_pixels(
            np.zeros((1, 2, 3, 4), np.float32), np.broadcast_to(img, img.shape), "auto", False, False
        )
    with pytest.raises(ValueError, match="4-dimensional"):
        _engine._working_pixels(np.zeros((2, 3, 4), np.uint8), "auto", False, False)


def binade(exponent_bits, step=1):
    """Every float32 with these exponent bits (both signs), every `step`-th mantissa: a whole
    binade, or the subnormals for 0."""
    mantissas = np.arange(0, 1 << 23, step, dtype=np.uint32)
    bits = np.concatenate([mantissas | (exponent_bits << 23), mantissas | (exponent_bits << 23) | (1 << 31)])
    return bits.view(np.float32)


@pytest.mark.parametrize("exponent_bits", [0, 1, 127, 254])
def test_division_by_255_on_whole_binades(exponent_bits, kernel):
    """Floats on 0..1 leave as x / 255 and premultiplied alphas divide by 255 without a division
    instruction. The method scales with the binade, so one whole binade (1..2) stands for the
    normal range; the subnormals, the results going subnormal (sampled: their arithmetic is slow)
    and the largest values (sampled) are its edges. Each must give the true quotient's bits."""
    if kernel == "scalar":
        pytest.skip("the scalar code divides")
    values = binade(exponent_bits, {0: 61, 1: 61, 127: 1}.get(exponent_bits, 7))
    values = np.concatenate([values, np.array([np.inf, -np.inf, np.nan, 0.0, -0.0, 1.0, 255.0], np.float32)])
    values = values[: values.size // 4 * 4]
    working = values.reshape(1, 1, -1, 4)
    out = np.empty(working.shape, np.float32)
    _engine._stored_pixels(working, out, kernel, True, False)
    identical(out, working / np.float32(255))
    # Premultiplied: colour x (alpha / 255) with these alphas, on colours of 255.
    rgba = np.empty((1, 1, values.size, 4), np.float32)
    rgba[..., :3] = 255
    rgba[..., 3] = values
    want = rgba.copy()
    want[..., :3] = np.float32(255) * (values / np.float32(255))[:, None]
    _engine._stored_pixels(rgba, out := np.empty_like(rgba), kernel, False, True)
    identical(out, want)
