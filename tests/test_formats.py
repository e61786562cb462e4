"""Pixel formats beyond the kernels' own: uint16, float64, 0..1 floats, premultiplied alpha, PIL.

Each is checked against the contract: the float32 module call on converted
copies, with the result converted back (tests/engine_reference.py).
"""

import numpy as np
import pytest

import engine_reference as ref
import zarvel
from test_engine import identical, image, mask_for, offset_for

FORMATS = [  # (background dtype, foreground dtype, scale)
    (np.uint16, np.uint16, 255),
    (np.uint16, np.uint8, 255),
    (np.uint8, np.uint16, 255),
    (np.float32, np.float32, 1),
    (np.float64, np.float64, 1),
    (np.float64, np.uint16, 255),
    (np.float32, np.uint16, 1),
    (np.uint16, np.float64, 1),
]


def stored(rng, shape, c, dtype, unit):
    """Random pixels in a format: full 16-bit range, 0..1 floats with scale 1."""
    dtype = np.dtype(dtype)
    if dtype == np.uint16:
        img = rng.integers(0, 65536, shape + (c,), dtype=np.uint16)
        if c == 4:
            img[..., 3][rng.random(shape) < 0.3] = rng.choice([0, 65535])
        return img
    img = image(rng, shape, c, np.uint8 if dtype == np.uint8 else np.float32)
    if dtype.kind == "f":
        img = (img / 255 if unit else img).astype(dtype)
    return img


@pytest.mark.parametrize("premultiplied", [False, True])
@pytest.mark.parametrize(
    "bd, fd, scale", FORMATS, ids=[f"{np.dtype(b).name}-{np.dtype(f).name}-scale{s}" for b, f, s in FORMATS]
)
def test_formats_equal_float32_calls_on_converted_copies(bd, fd, scale, premultiplied, kernel):
    rng = np.random.default_rng(hash((np.dtype(bd).name, np.dtype(fd).name, scale, premultiplied)) % 2**32)
    unit = scale == 1
    for trial in range(6):
        h, w = int(rng.integers(1, 60)), int(rng.integers(1, 70))
        bg = stored(rng, (h, w), int(rng.choice([3, 4])), bd, unit)
        layers = []
        for _ in range(int(rng.integers(1, 3))):
            lh, lw = int(rng.integers(1, 60)), int(rng.integers(1, 70))
            fg = stored(rng, (lh, lw), int(rng.choice([3, 4])), fd, unit)
            mask = mask_for(rng, (lh, lw), rng.choice([None, "u8", "f32"]))
            layers.append(
                (
                    fg,
                    str(rng.choice(zarvel.MODES)),
                    float(rng.choice([0.5, 1.0, 0.8])),
                    mask,
                    (offset_for(rng, lh, h), offset_for(rng, lw, w)),
                )
            )
        want = ref.composite(bg, layers, kernel, unit, premultiplied)
        stack = [zarvel.Layer(f, m, o, mask=k, offset=x) for f, m, o, k, x in layers]
        got = zarvel.composite(
            bg, stack, kernel=kernel, scale=scale, premultiplied=premultiplied, threads=1 + trial % 3
        )
        identical(got, want)


def test_every_16_bit_value_survives_the_round_trip():
    """normal at full opacity over an RGB layer copies the layer: in and out again, exactly."""
    values = np.arange(65536, dtype=np.uint16).reshape(256, 256)
    layer = np.stack([values, values[::-1], values.T], axis=-1)
    for bg in (np.zeros((256, 256, 3), np.uint16), np.zeros((256, 256, 4), np.uint16)):
        out = zarvel.blend(bg, layer, "normal", 1.0)
        np.testing.assert_array_equal(out[..., :3], layer)
    assert (zarvel.blend(np.zeros((1, 2, 4), np.float32), np.full((1, 2, 3), 65535, np.uint16))[..., :3] == 255).all()


def test_unit_scale_floats():
    bg = np.full((2, 2, 3), 0.5, np.float32)
    fg = np.full((2, 2, 3), 0.5, np.float32)
    np.testing.assert_allclose(zarvel.blend(bg, fg, "multiply", scale=1.0), 0.25, rtol=1e-6)
    np.testing.assert_allclose(zarvel.blend(bg * 255, fg * 255, "multiply"), 63.75, rtol=1e-6)
    for bad in (0.5, 100, "1", None):
        with pytest.raises(ValueError, match="scale must be 255"):
            zarvel.blend(bg, fg, scale=bad)


def test_premultiplied_zero_alpha_has_no_colour():
    """A transparent premultiplied pixel un-premultiplies to black; opaque pixels are unchanged by it."""
    bg = np.array([[[0, 0, 0, 0], [40, 80, 120, 255]]], np.uint8)
    fg = np.array([[[255, 255, 255, 255], [0, 0, 0, 0]]], np.uint8)
    out = zarvel.blend(bg, fg, "normal", 0.5, premultiplied=True)
    straight = zarvel.blend(np.array([[[0, 0, 0, 0], [40, 80, 120, 255]]], np.uint8), fg, "normal", 0.5)
    np.testing.assert_array_equal(out[0, 1], straight[0, 1])
    # 0.5 of white over nothing: alpha 127.5, colour white -> premultiplied 127.5 (rounded to even)
    np.testing.assert_array_equal(out[0, 0], [128, 128, 128, 128])
    with pytest.raises(TypeError, match="premultiplied must be True or False"):
        zarvel.blend(bg, fg, premultiplied="yes")


def test_pil_images():
    Image = pytest.importorskip("PIL.Image")
    rng = np.random.default_rng(3)
    rgb, rgba = image(rng, (20, 30), 3, np.uint8), image(rng, (20, 30), 4, np.uint8)
    layer = image(rng, (12, 9), 4, np.uint8)
    mask = rng.integers(0, 256, (12, 9), dtype=np.uint8)
    for array, mode in ((rgb, "RGB"), (rgba, "RGBA")):
        result = zarvel.blend(
            Image.fromarray(array, mode),
            Image.fromarray(layer, "RGBA"),
            "screen",
            0.7,
            mask=Image.fromarray(mask, "L"),
            offset=(4, 25),
        )
        assert isinstance(result, Image.Image) and result.mode == mode and result.size == (30, 20)
        identical(np.asarray(result), zarvel.blend(array, layer, "screen", 0.7, mask=mask, offset=(4, 25)))
    grey = Image.fromarray(rgb[..., 0], "L")
    result = zarvel.blend(grey, rgb, "multiply")
    assert result.mode == "L"
    identical(
        np.asarray(result),
        np.asarray(Image.fromarray(zarvel.blend(np.asarray(grey.convert("RGB")), rgb, "multiply")).convert("L")),
    )
    with pytest.raises(TypeError, match="out cannot be given with a PIL background"):
        zarvel.blend(grey, rgb, out=rgb.copy())


def pil_image(mode, rng, size=(23, 17)):
    """A PIL image of `mode` with random pixels over the mode's whole range."""
    Image = pytest.importorskip("PIL.Image")
    w, h = size
    if mode in ("I;16", "I;16L", "I;16B", "I;16N"):
        order = {"I;16B": ">", "I;16N": "="}.get(mode, "<")
        return Image.frombytes(mode, size, rng.integers(0, 65536, (h, w)).astype(f"{order}u2").tobytes())
    if mode == "I":
        return Image.frombytes(mode, size, rng.integers(0, 65536, (h, w)).astype("=i4").tobytes())
    if mode == "F":
        return Image.frombytes(mode, size, rng.uniform(0, 255, (h, w)).astype("=f4").tobytes())
    bands = len(Image.new(mode, (1, 1)).getbands())
    return Image.frombytes(mode, size, rng.integers(0, 256, (h, w, bands), dtype=np.uint8).tobytes())


KEPT_MODES = ["RGB", "RGBA", "L", "LA", "I;16", "I;16L", "I;16B", "I;16N", "I", "F"]
LOSSY_MODES = ["P", "PA", "1", "YCbCr", "LAB", "HSV", "CMYK", "RGBX", "RGBa"]


@pytest.mark.parametrize("mode", KEPT_MODES)
@pytest.mark.parametrize("blend_mode", ["normal", "multiply", "hsv_hue"])
def test_pil_backgrounds_keep_their_mode_and_every_value(mode, blend_mode):
    """Under a layer at opacity 0 the image comes back in its mode with the same bytes;
    under a fully transparent layer too, except where arrays of the same pixels change as
    well: colour under alpha 0 (the blend gives such pixels no colour) and float32
    samples (the float path is not an identity to the last bit)."""
    rng = np.random.default_rng(12)
    im = pil_image(mode, rng)
    samples = np.asarray(im)
    for layer, opacity in ((image(rng, (17, 23), 3, np.uint8), 0.0), (np.zeros((17, 23, 4), np.uint8), 1.0)):
        result = zarvel.blend(im, layer, blend_mode, opacity)
        assert result.mode == mode and result.size == im.size
        got = np.asarray(result)
        if opacity == 0:
            assert result.tobytes() == im.tobytes()
        elif mode == "F":
            grey = np.repeat(samples[..., None], 3, axis=2)
            identical(got, zarvel.blend(grey, layer, blend_mode, opacity)[..., 0])
        elif mode in ("RGBA", "LA"):
            visible = samples[..., -1] > 0
            identical(got[visible], samples[visible])
            identical(got[..., -1], samples[..., -1])
        else:
            assert result.tobytes() == im.tobytes()


@pytest.mark.parametrize("mode", ["I;16", "I;16B", "I", "F"])
def test_deep_grey_pil_images_blend_in_their_depth(mode):
    """16-bit grey is blended as uint16 RGB and 32-bit float grey as float32 RGB, not
    clipped to 8 bits; the result is grey again (luma where a coloured layer tints it)."""
    rng = np.random.default_rng(4)
    im = pil_image(mode, rng)
    samples = np.asarray(im)
    deep = samples.astype(np.float32 if mode == "F" else np.uint16)
    # RGBA: pixel by pixel, so the three samples of a grey pixel get the same arithmetic
    # (two RGB images are blended element by element, whose rounding may split a pixel).
    grey_layer = np.repeat(rng.integers(0, 256, (17, 23, 1), dtype=np.uint8), 4, axis=2)
    grey_layer[..., 3] = rng.integers(0, 256, (17, 23))
    result = zarvel.blend(im, grey_layer, "screen", 0.6)
    want = zarvel.blend(np.repeat(deep[..., None], 3, axis=2), grey_layer, "screen", 0.6)
    identical(np.asarray(result).astype(deep.dtype), want[..., 0])
    deeper = (lambda a: (a != np.round(a)).any()) if mode == "F" else (lambda a: a.max() > 255)  # noqa: E731
    assert deeper(np.asarray(result))
    tinted = zarvel.blend(im, image(rng, (17, 23), 3, np.uint8), "multiply", 0.8)
    assert tinted.mode == mode and deeper(np.asarray(tinted))
    # As a layer, too: the 16 bits (or floats) reach the engine.
    bg = rng.integers(0, 65536, (17, 23, 3)).astype(np.uint16)
    identical(zarvel.blend(bg, im, "difference"), zarvel.blend(bg, np.repeat(deep[..., None], 3, axis=2), "difference"))


@pytest.mark.parametrize("mode", LOSSY_MODES)
def test_pil_backgrounds_that_would_lose_data_are_refused(mode):
    rng = np.random.default_rng(8)
    im = pil_image(mode, rng)
    before = im.tobytes()
    want = "RGBA" if ("A" in im.getbands() or "a" in im.getbands()) else "RGB"
    with pytest.raises(ValueError, match=rf"background is a PIL image in mode {mode}, .*\.convert\('{want}'\)"):
        zarvel.blend(im, np.zeros((17, 23, 4), np.uint8), "normal", 0.0)
    assert im.tobytes() == before
    # The conversion it names works, and as a layer the mode is read through it.
    converted = im.convert(want)
    assert zarvel.blend(converted, np.zeros((17, 23, 4), np.uint8), "normal", 0.0).tobytes() == converted.tobytes()
    bg = rng.integers(0, 256, (17, 23, 4), dtype=np.uint8)
    identical(zarvel.blend(bg, im, "screen"), zarvel.blend(bg, np.asarray(converted), "screen"))


def test_pil_mode_i_outside_16_bits_is_refused():
    Image = pytest.importorskip("PIL.Image")
    for values in ([-1, 5], [0, 65536]):
        im = Image.frombytes("I", (2, 1), np.array(values, "=i4").tobytes())
        with pytest.raises(
            ValueError,
            match=rf"background is a PIL image in mode I holding {values[0]}\.\."
            rf"{values[1]}, .*\.convert\('F'\)",
        ):
            zarvel.blend(im, np.zeros((1, 2, 3), np.uint8))


@pytest.mark.parametrize(
    "dtype, scale, premultiplied",
    [(np.float64, 1, False), (np.float64, 255, False), (np.float32, 1, False), (np.uint8, 255, True)],
)
def test_pixels_no_layer_changes_keep_the_backgrounds_bits(dtype, scale, premultiplied):
    """Outside every layer and under layers at opacity 0 or less the result is the
    background as it is (no round trip through float32); inside, the converted rule."""
    rng = np.random.default_rng(6)
    bg = stored(rng, (13, 17), 4, dtype, scale == 1)
    if dtype != np.uint8:
        bg[0, 0] = [1 / 3, 1e-300 if dtype == np.float64 else 1e-30, 0.1, 0.7]  # not float32 / 255 exact
    fg = stored(rng, (13, 17), 4, dtype, scale == 1)
    layers = [
        (fg, "multiply", 0.0, None, (0, 0)),
        (fg[:4, :5], "screen", -1.0, None, (3, 3)),
        (fg[:5, :6], "overlay", 0.7, None, (6, 9)),
    ]
    stack = [zarvel.Layer(f, m, o, mask=k, offset=x) for f, m, o, k, x in layers]
    got = zarvel.composite(bg, stack, scale=scale, premultiplied=premultiplied)
    untouched = np.ones((13, 17), bool)
    untouched[6:11, 9:15] = False
    identical(got[untouched], bg[untouched])
    inside = ref.composite(
        bg[6:11, 9:15], [(fg[:5, :6], "overlay", 0.7, None, (0, 0))], "auto", scale == 1, premultiplied
    )
    identical(got[6:11, 9:15], inside)


@pytest.mark.parametrize("mode", ["I;16", "I;16B"])
def test_16_bit_pil_masks_keep_every_level(mode):
    rng = np.random.default_rng(14)
    levels = rng.integers(0, 65536, (17, 23)).astype(np.uint16)
    mask = pytest.importorskip("PIL.Image").frombytes(
        mode, (23, 17), levels.astype(">u2" if mode == "I;16B" else "<u2").tobytes()
    )
    bg, fg = image(rng, (30, 30), 4, np.uint8), image(rng, (17, 23), 4, np.uint8)
    identical(
        zarvel.blend(bg, fg, "screen", mask=mask, offset=(2, 3)),
        zarvel.blend(bg, fg, "screen", mask=levels.astype(np.float32) / np.float32(65535), offset=(2, 3)),
    )
