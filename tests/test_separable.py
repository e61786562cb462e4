"""The 19 separable modes against the reference model, on every kernel."""
import numpy as np
import pytest

import _zarvel
import reference as R
from conftest import COMBO_IDS, COMBOS, OPACITIES, make_image, same

MODES = R.SEPARABLE
INT_MODES = [m for m in MODES if R.MODES[m].u8 is not None]
SPECIAL = np.array([np.nan, np.inf, -np.inf, -40.0, 0.0, 0.5, 3.0, 127.5, 255.0, 300.0, 1e30],
                   np.float32)


def run(mode, bg, fg, opacity, kernel):
    return getattr(_zarvel, mode)(bg, fg, opacity, kernel)


def check(mode, bg, fg, opacity, kernel, aligned=None):
    got = run(mode, bg, fg, opacity, kernel)
    want = R.separable(mode, bg, fg, opacity, kernel, aligned)
    try:
        same(got, want)
    except AssertionError as e:
        raise AssertionError(f"{mode} opacity={opacity} kernel={kernel}: {e}") from None


@pytest.mark.parametrize("combo", COMBOS, ids=COMBO_IDS)
@pytest.mark.parametrize("mode", MODES)
def test_random_images(mode, kernel, combo, images):
    """39 pixels: 8-pixel, 4-pixel and scalar stages, or a flat run with a tail."""
    bd, fd, cb, cf = combo
    bg, fg = images(3, 13, cb, bd), images(3, 13, cf, fd)
    for op in OPACITIES:
        check(mode, bg, fg, op, kernel)


@pytest.mark.parametrize("mode", MODES)
def test_8bit_per_pixel_stages_on_misaligned_view(mode, kernel, images):
    """A foreground one byte into its buffer keeps two 3-channel 8-bit images off the flat stage."""
    bg = images(2, 9, 3, np.uint8)
    buf = np.empty(2 * 9 * 3 + 16, np.uint8)
    start = (16 - buf.ctypes.data % 16) % 16 + 1
    fg = buf[start:start + 54].reshape(2, 9, 3)
    fg[...] = images(2, 9, 3, np.uint8)
    assert not R.buffer_aligned(fg) and R.buffer_aligned(bg)
    for op in OPACITIES:
        check(mode, bg, fg, op, kernel)
        check(mode, bg, np.ascontiguousarray(fg), op, kernel)


@pytest.mark.parametrize("combo", [c for c in COMBOS if np.float32 in c[:2]],
                         ids=[i for c, i in zip(COMBOS, COMBO_IDS) if np.float32 in c[:2]])
@pytest.mark.parametrize("mode", MODES)
def test_special_float_values(mode, kernel, combo, images):
    """NaN, infinities and values outside 0..255 are read as they are."""
    bd, fd, cb, cf = combo
    rng = np.random.default_rng(5)
    bg, fg = images(3, 11, cb, bd), images(3, 11, cf, fd)
    for img in (bg, fg):
        if img.dtype == np.float32:
            img[...] = rng.choice(SPECIAL, img.shape)
    for op in (0.5, 1.0, 1.5, float("nan")):
        check(mode, bg, fg, op, kernel)


@pytest.mark.parametrize("combo", COMBOS, ids=COMBO_IDS)
@pytest.mark.parametrize("mode", ["multiply", "overlay", "addition"])
def test_stage_boundaries(mode, kernel, combo):
    """1 x N images for N = 0..40 cover every split between the stages."""
    bd, fd, cb, cf = combo
    rng = np.random.default_rng(11)
    for n in range(41):
        bg, fg = make_image(rng, 1, n, cb, bd), make_image(rng, 1, n, cf, fd)
        check(mode, bg, fg, 0.5, kernel)


def three(n, value, dtype, channels=3):
    img = np.full((1, n, channels), value, dtype)
    if channels == 4:
        img[..., 3] = 255
    return img


@pytest.mark.parametrize("bd, fd, channels, pixels, kernel, vector_elements", [
    (np.float32, np.float32, 3, 5, "avx2", 8),      # 8-lane flat loop, scalar tail 8..14
    (np.float32, np.float32, 3, 2, "avx2", 4),      # only the 4-lane flat loop fits
    (np.float32, np.float32, 3, 1, "avx2", 0),      # no flat loop: scalar stage
    (np.float32, np.float32, 3, 5, "sse42", 12),
    (np.float32, np.uint8, 3, 5, "avx2", 12),       # 15 elements < 16: pixels 0..3, then scalar
    (np.float32, np.uint8, 3, 6, "avx2", 16),       # one 16-element flat step
    (np.float32, np.uint8, 3, 6, "sse42", 12),      # no mixed flat loop on 4 lanes
    (np.float32, np.float32, 4, 9, "avx2", 32),     # pixels 0..7, 4-pixel stage idle, pixel 8
    (np.float32, np.float32, 4, 7, "avx2", 16),
])
def test_worked_stage_splits(bd, fd, channels, pixels, kernel, vector_elements):
    """3.0 read by a vector load and stored back is 3.0000002; the scalar stage keeps 3.0."""
    if not _zarvel.kernel_available(kernel):
        pytest.skip(kernel)
    bg, fg = three(pixels, 3, bd, channels), three(pixels, 255, fd, channels)
    got = _zarvel.darken_only(bg, fg, 1.0, kernel)[..., :3].reshape(-1)
    want = np.full(got.shape, 3.0, np.float32)
    want[:vector_elements] = np.float32(3.0000002)
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("offset, want", [
    (0, [2] * 16 + [3] * 2),        # flat stage: 16 elements, then two by the scalar tail
    (1, [2] * 12 + [3] * 6),        # misaligned: pixels 0..3 by the 4-pixel stage
])
@pytest.mark.parametrize("vk", ["sse42", "avx2"])
def test_8bit_flat_stage_alignment(vk, offset, want):
    """2.5 rounds to 2 in the vector stores and to 3 in the scalar writes."""
    if not _zarvel.kernel_available(vk):
        pytest.skip(vk)
    buf = np.empty(64, np.uint8)
    start = (16 - buf.ctypes.data % 16) % 16 + offset
    fg = buf[start:start + 18].reshape(1, 6, 3)
    fg[...] = 5
    bg = np.zeros((1, 6, 3), np.uint8)
    assert _zarvel.addition(bg, fg, 0.5, vk).reshape(-1).tolist() == want
    assert (_zarvel.addition(bg, fg, 0.5, "scalar") == 3).all()


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("bg_alpha, fg_alpha", [(0, 255), (0, 0), (200, 0)])
def test_transparent_pixels_pass_the_background(mode, kernel, bg_alpha, fg_alpha, images):
    bg, fg = images(1, 13, 4, np.uint8), images(1, 13, 4, np.uint8)
    bg[..., 3], fg[..., 3] = bg_alpha, fg_alpha
    np.testing.assert_array_equal(run(mode, bg, fg, 1.0, kernel), bg)


@pytest.mark.parametrize("channels", [3, 4])
def test_opaque_half_opacity_rounds_127_5_up(kernel, channels):
    bg, fg = three(9, 0, np.uint8, channels), three(9, 255, np.uint8, channels)
    out = _zarvel.screen(bg, fg, 0.5, kernel)
    assert (out[..., :3] == 128).all() and (out[..., 3:] == 255).all()


@pytest.mark.parametrize("dtype", [np.uint8, np.float32])
@pytest.mark.parametrize("channels", [3, 4])
def test_subtract_is_unit_scale_and_clipped(kernel, dtype, channels):
    bg = three(13, 200, dtype, channels)
    bg[0, 1::2, :3] = 50
    fg = three(13, 50, dtype, channels)
    fg[0, 1::2, :3] = 200
    out = _zarvel.subtract(bg, fg, 1.0, kernel)[0, :, :3].astype(np.float64)
    np.testing.assert_allclose(out[0::2], 150, atol=1e-3)
    assert (out[1::2] == 0).all()


@pytest.mark.parametrize("dtype", [np.uint8, np.float32])
def test_opacity_two_extrapolates(kernel, dtype):
    """out = 2*comp - in: clamped on 8-bit output, kept on float output unless clipped."""
    bg, fg = three(9, 100, dtype), three(9, 200, dtype)
    lighten = _zarvel.lighten_only(bg, fg, 2.0, kernel).astype(np.float64)
    darken = _zarvel.darken_only(fg, bg, 2.0, kernel).astype(np.float64)
    added = _zarvel.addition(bg, fg, 2.0, kernel)
    if dtype == np.uint8:
        assert (lighten == 255).all() and (darken == 0).all()
    else:
        np.testing.assert_allclose(lighten, 300, rtol=1e-6)
        np.testing.assert_allclose(darken, 0, atol=1e-4)
        darken = _zarvel.darken_only(fg, three(9, 50, dtype), 2.0, kernel)
        np.testing.assert_allclose(darken, -100, rtol=1e-6)
    assert (added == 255).all()


@pytest.mark.parametrize("mode", INT_MODES)
def test_integer_forms_reach_the_output(mode, kernel):
    """Every byte pair through the integer blocks (4-channel, so no flat stage)."""
    a, b = np.meshgrid(np.arange(256, dtype=np.uint8), np.arange(256, dtype=np.uint8))
    bg = np.dstack([a, b, a, np.full_like(a, 255)])
    fg = np.dstack([b, a, a, np.full_like(a, 255)])
    check(mode, bg, fg, 1.0, kernel)
    check(mode, bg[..., :3].copy(), fg[..., :3].copy(), 0.75, kernel)
