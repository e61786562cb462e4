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
    (np.uint16, np.uint16, 255), (np.uint16, np.uint8, 255), (np.uint8, np.uint16, 255),
    (np.float32, np.float32, 1), (np.float64, np.float64, 1), (np.float64, np.uint16, 255),
    (np.float32, np.uint16, 1), (np.uint16, np.float64, 1),
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
@pytest.mark.parametrize("bd, fd, scale", FORMATS, ids=[f"{np.dtype(b).name}-{np.dtype(f).name}-scale{s}"
                                                         for b, f, s in FORMATS])
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
            layers.append((fg, str(rng.choice(zarvel.MODES)), float(rng.choice([0.5, 1.0, 0.8])), mask,
                           (offset_for(rng, lh, h), offset_for(rng, lw, w))))
        want = ref.composite(bg, layers, kernel, unit, premultiplied)
        stack = [zarvel.Layer(f, m, o, mask=k, offset=x) for f, m, o, k, x in layers]
        got = zarvel.composite(bg, stack, kernel=kernel, scale=scale, premultiplied=premultiplied,
                               threads=1 + trial % 3)
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
        result = zarvel.blend(Image.fromarray(array, mode), Image.fromarray(layer, "RGBA"), "screen", 0.7,
                              mask=Image.fromarray(mask, "L"), offset=(4, 25))
        assert isinstance(result, Image.Image) and result.mode == mode and result.size == (30, 20)
        identical(np.asarray(result), zarvel.blend(array, layer, "screen", 0.7, mask=mask, offset=(4, 25)))
    grey = Image.fromarray(rgb[..., 0], "L")
    result = zarvel.blend(grey, rgb, "multiply")
    assert result.mode == "L"
    identical(np.asarray(result), np.asarray(Image.fromarray(
        zarvel.blend(np.asarray(grey.convert("RGB")), rgb, "multiply")).convert("L")))
    with pytest.raises(TypeError, match="out cannot be given with a PIL background"):
        zarvel.blend(grey, rgb, out=rgb.copy())
