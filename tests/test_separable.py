"""The 19 separable modes against the reference model, on every kernel."""

import numpy as np
import pytest

import _zarvel
import reference as R
from conftest import COMBO_IDS, COMBOS, FLOAT_COMBOS, FLOAT_IDS, OPACITIES, check, make_image, with_specials

MODES = R.SEPARABLE
INT_MODES = [m for m in MODES if R.MODES[m].u8 is not None]


@pytest.mark.parametrize("combo", COMBOS, ids=COMBO_IDS)
@pytest.mark.parametrize("mode", MODES)
def test_random_images(mode, kernel, combo, images):
    """39 pixels: 8-pixel, 4-pixel and scalar stages, or a flat run with a tail."""
    bd, fd, cb, cf = combo
    bg, fg = images(3, 13, cb, bd), images(3, 13, cf, fd)
    for op in OPACITIES:
        check(mode, bg, fg, op, kernel)


def at_offset(a, offset):
    """A C-contiguous copy of `a` starting `offset` bytes past a 32-byte boundary."""
    buf = np.empty(a.nbytes + 64, np.uint8)
    start = (32 - buf.ctypes.data % 32) % 32 + offset
    buf[start : start + a.nbytes] = a.reshape(-1).view(np.uint8)
    return np.frombuffer(buf, a.dtype, a.size, start).reshape(a.shape)


@pytest.mark.parametrize("mode", MODES)
def test_views_at_odd_offsets(mode, kernel, images):
    """The 8-bit flat stage needs every buffer 16-byte aligned; the float paths never care.
    A float view one byte in is unaligned and copied by NumPy."""
    for dtype in (np.uint8, np.float32):
        bg, fg = images(2, 9, 3, dtype), images(2, 9, 3, dtype)
        for bo, fo in ((0, 1), (1, 0), (8, 8), (4, 0), (0, 16)):
            b, f = at_offset(bg, bo), at_offset(fg, fo)
            if dtype == np.uint8:
                assert R.buffer_aligned(b) == (bo % 16 == 0) and R.buffer_aligned(f) == (fo % 16 == 0)
            for op in (0.5, 1.0, 1.5, float("nan")):
                check(mode, b, f, op, kernel)


@pytest.mark.parametrize("combo", FLOAT_COMBOS, ids=FLOAT_IDS)
@pytest.mark.parametrize("mode", MODES)
def test_special_float_values(mode, kernel, combo, images):
    """NaN, infinities and values outside 0..255 are read as they are."""
    bd, fd, cb, cf = combo
    bg, fg = with_specials(images(3, 11, cb, bd), 5), with_specials(images(3, 11, cf, fd), 6)
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


@pytest.mark.parametrize(
    "bd, fd, channels, pixels, kernel, vector_elements",
    [
        (np.float32, np.float32, 3, 5, "avx2", 8),  # 8-lane flat loop, scalar tail 8..14
        (np.float32, np.float32, 3, 2, "avx2", 4),  # only the 4-lane flat loop fits
        (np.float32, np.float32, 3, 1, "avx2", 0),  # no flat loop: scalar stage
        (np.float32, np.float32, 3, 5, "sse42", 12),
        (np.float32, np.uint8, 3, 5, "avx2", 12),  # 15 elements < 16: pixels 0..3, then scalar
        (np.float32, np.uint8, 3, 6, "avx2", 16),  # one 16-element flat step
        (np.float32, np.uint8, 3, 6, "sse42", 12),  # no mixed flat loop on 4 lanes
        (np.float32, np.float32, 4, 9, "avx2", 24),  # pixels 0..7, 4-pixel stage idle, pixel 8
        (np.float32, np.float32, 4, 7, "avx2", 12),
    ],
)
def test_worked_stage_splits(bd, fd, channels, pixels, kernel, vector_elements):
    """3.0 read by a vector load and stored back is 3.0000002; the scalar stage keeps 3.0."""
    if not _zarvel.kernel_available(kernel):
        pytest.skip(kernel)
    bg, fg = three(pixels, 3, bd, channels), three(pixels, 255, fd, channels)
    got = _zarvel.darken_only(bg, fg, 1.0, kernel)[..., :3].reshape(-1)
    want = np.full(got.shape, 3.0, np.float32)
    want[:vector_elements] = np.float32(3.0000002)
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize(
    "offset, want",
    [
        (0, [2] * 16 + [3] * 2),  # flat stage: 16 elements, then two by the scalar tail
        (1, [2] * 12 + [3] * 6),  # misaligned: pixels 0..3 by the 4-pixel stage
    ],
)
@pytest.mark.parametrize("vk", ["sse42", "avx2"])
def test_8bit_flat_stage_alignment(vk, offset, want):
    """2.5 rounds to 2 in the vector stores and to 3 in the scalar writes."""
    if not _zarvel.kernel_available(vk):
        pytest.skip(vk)
    buf = np.empty(64, np.uint8)
    start = (16 - buf.ctypes.data % 16) % 16 + offset
    fg = buf[start : start + 18].reshape(1, 6, 3)
    fg[...] = 5
    bg = np.zeros((1, 6, 3), np.uint8)
    assert _zarvel.addition(bg, fg, 0.5, vk).reshape(-1).tolist() == want
    assert (_zarvel.addition(bg, fg, 0.5, "scalar") == 3).all()


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("bg_alpha, fg_alpha", [(0, 255), (0, 0), (200, 0)])
def test_transparent_pixels_pass_the_background(mode, kernel, bg_alpha, fg_alpha, images):
    bg, fg = images(1, 13, 4, np.uint8), images(1, 13, 4, np.uint8)
    bg[..., 3], fg[..., 3] = bg_alpha, fg_alpha
    np.testing.assert_array_equal(getattr(_zarvel, mode)(bg, fg, 1.0, kernel), bg)


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


@pytest.mark.parametrize("channels", [3, 4])
def test_huge_values_store_255_in_8bit(kernel, channels):
    """A scaled value beyond the 32-bit integer range saturates in every 8-bit store."""
    bg = three(13, 10, np.uint8, channels)
    fg = three(13, 1e30, np.float32, 3)
    fg[0, 1::2] = np.inf
    out = _zarvel.lighten_only(bg, fg, 0.5, kernel)
    assert (out[..., :3] == 255).all() and (out[..., 3:] == 255).all()
    out = _zarvel.normal(np.full((1, 13, 4), 255, np.uint8), three(13, 1e30, np.float32, 4), 1.0, kernel)
    assert (out == 255).all()


@pytest.mark.parametrize("mode", INT_MODES)
def test_integer_forms_reach_the_output(mode, kernel):
    """Every byte pair through the integer blocks (4 channels) and the 8-bit flat stage (3)."""
    a, b = np.meshgrid(np.arange(256, dtype=np.uint8), np.arange(256, dtype=np.uint8))
    bg = np.dstack([a, b, a, np.full_like(a, 255)])
    fg = np.dstack([b, a, a, np.full_like(a, 255)])
    check(mode, bg, fg, 1.0, kernel)
    check(mode, bg[..., :3].copy(), fg[..., :3].copy(), 0.75, kernel)


@pytest.mark.parametrize("mode", ["normal", *MODES])
def test_vector_kernels_stay_close_to_scalar(mode, kernel, images):
    """Model-free bound: 8-bit results differ by at most one step (rounding of halves, the
    reciprocal in the loads, the quantised weight of `normal`); float results by the last-bit
    read difference, which divide-type modes amplify by up to about 0.003 on the 0..255 scale."""
    if kernel == "scalar":
        pytest.skip("the scalar kernel is the yardstick")
    f = getattr(_zarvel, mode)
    for bd, fd, cb, cf in COMBOS:
        bg, fg = images(5, 9, cb, bd), images(5, 9, cf, fd)
        for op in (0.25, 0.5, 1.0, 1.5):
            diff = np.abs(f(bg, fg, op, kernel).astype(np.float64) - f(bg, fg, op, "scalar").astype(np.float64))
            assert diff.max() <= (1 if bd == np.uint8 else 0.01), (bd, fd, cb, cf, op)
