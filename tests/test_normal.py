"""`normal` against the reference model, on every kernel."""

import numpy as np
import pytest

import _zarvel
import reference as R
from conftest import COMBO_IDS, COMBOS, FLOAT_COMBOS, FLOAT_IDS, OPACITIES, check, make_image, with_specials


@pytest.mark.parametrize("combo", COMBOS, ids=COMBO_IDS)
def test_random_images(kernel, combo, images):
    bd, fd, cb, cf = combo
    bg, fg = images(3, 13, cb, bd), images(3, 13, cf, fd)
    # 2.5/255: the integer-path weight is lroundf(2.5) = 3, not the even 2
    for op in OPACITIES + (0.001, 2.5 / 255, 0.999, 1e-50):
        check("normal", bg, fg, op, kernel)


@pytest.mark.parametrize("combo", FLOAT_COMBOS, ids=FLOAT_IDS)
def test_special_float_values(kernel, combo, images):
    bd, fd, cb, cf = combo
    bg, fg = with_specials(images(3, 11, cb, bd), 9), with_specials(images(3, 11, cf, fd), 10)
    for op in (0.5, 1.0, 2.0, float("nan")):
        check("normal", bg, fg, op, kernel)


@pytest.mark.parametrize("combo", COMBOS, ids=COMBO_IDS)
def test_stage_boundaries(kernel, combo):
    bd, fd, cb, cf = combo
    rng = np.random.default_rng(13)
    for n in range(41):
        bg, fg = make_image(rng, 1, n, cb, bd), make_image(rng, 1, n, cf, fd)
        for op in (0.25, 0.5):
            check("normal", bg, fg, op, kernel)


@pytest.mark.parametrize("pixels", range(1, 14))
def test_integer_path_quarter_opacity(kernel, pixels):
    """bg 2 under fg 0 at 0.25: 2*191/255 = 1.498 -> 1 on vector pixels; 1.5 -> 2 in the scalar stage."""
    bg = np.full((1, pixels, 3), 2, np.uint8)
    out = _zarvel.normal(bg, np.zeros_like(bg), 0.25, kernel)
    vector = R.normal_plan(pixels, kernel)
    assert (out[0, :vector] == 1).all() and (out[0, vector:] == 2).all()


def test_tiny_opacity_keeps_the_background_on_vector_pixels(kernel, images):
    bg, fg = images(1, 23, 3, np.uint8), images(1, 23, 3, np.uint8)
    n = R.normal_plan(23, kernel)
    np.testing.assert_array_equal(_zarvel.normal(bg, fg, 0.001, kernel)[:, :n], bg[:, :n])


def test_both_alphas_zero_give_zero(kernel, images):
    bg, fg = images(1, 11, 4, np.uint8), images(1, 11, 4, np.uint8)
    bg[..., 3] = fg[..., 3] = 0
    assert (_zarvel.normal(bg, fg, 0.7, kernel) == 0).all()


@pytest.mark.parametrize("bd", [np.uint8, np.float32])
@pytest.mark.parametrize("fd", [np.uint8, np.float32])
@pytest.mark.parametrize("cb", [3, 4])
@pytest.mark.parametrize("opacity", [1.0, 1.5, 1e9])
def test_opaque_foreground_is_copied(kernel, images, bd, fd, cb, opacity):
    bg, fg = images(2, 9, cb, bd), images(2, 9, 3, fd)
    bg[..., -1] = 0
    out = _zarvel.normal(bg, fg, opacity, kernel)
    assert out.dtype == bd and out.shape == bg.shape
    # an 8-bit output from a float foreground is rounded; every other copy is exact
    tol = 0.5 + 1e-4 if (bd, fd) == (np.uint8, np.float32) else 0
    np.testing.assert_allclose(out[..., :3], fg.astype(np.float64), rtol=0, atol=tol)
    if cb == 4:
        assert (out[..., 3] == 255).all()


def test_float_foreground_into_8bit_rounds_half_away(kernel):
    fg = np.array([[[2.5, 127.5, 254.5], [-3, 300, 0.49]]], np.float32)
    bg = np.zeros((1, 2, 4), np.uint8)
    out = _zarvel.normal(bg, fg, 1.0, kernel)
    assert out.tolist() == [[[3, 128, 255, 255], [0, 255, 0, 255]]]


@pytest.mark.parametrize("bd", [np.uint8, np.float32])
def test_opacity_two_over_opaque(kernel, bd):
    bg = np.full((1, 9, 4), 255, bd)
    bg[..., :3] = 100
    fg = np.full((1, 9, 4), 255, np.uint8)
    fg[..., :3] = [200, 20, 100]
    out = _zarvel.normal(bg, fg, 2.0, kernel).astype(np.float64)
    want = [300, -60, 100] if bd == np.float32 else [255, 0, 100]
    np.testing.assert_allclose(out[..., :3], np.broadcast_to(want, (1, 9, 3)), atol=1e-3)
    assert (out[..., 3] == 255).all()


def test_transparent_foreground_gives_background_back(kernel, images):
    bg, fg = images(1, 13, 4, np.uint8), images(1, 13, 4, np.uint8)
    bg[..., 3] = np.maximum(bg[..., 3], 1)
    fg[..., 3] = 0
    np.testing.assert_array_equal(_zarvel.normal(bg, fg, 0.6, kernel), bg)


def test_nan_opacity(kernel, images):
    """No shortcut: colours 0 where the float paths run; the integer path keeps the background."""
    bg, fg = images(1, 11, 3, np.uint8), images(1, 11, 3, np.uint8)
    out = _zarvel.normal(bg, fg, float("nan"), kernel)
    n = R.normal_plan(11, kernel)
    np.testing.assert_array_equal(out[:, :n], bg[:, :n])
    assert (out[:, n:] == 0).all()
    out = _zarvel.normal(bg.astype(np.float32), fg, float("nan"), kernel)
    assert (out == 0).all()


def test_integer_path_every_value_and_weight(kernel):
    """Every background/foreground byte pair at every quantised weight a: (b(255-a) + f a) / 255 to nearest."""
    if kernel == "scalar":
        pytest.skip("the integer path belongs to the vector kernels")
    b, f = (np.repeat(v.ravel(), 3) for v in np.meshgrid(np.arange(256), np.arange(256), indexing="ij"))
    bg = b.astype(np.uint8).reshape(1, -1, 3)  # 65536 pixels: all covered by the vector stages
    fg = f.astype(np.uint8).reshape(1, -1, 3)
    for a in range(1, 255):
        out = _zarvel.normal(bg, fg, np.float32(a) / np.float32(255), kernel)
        exact = (b * (255 - a) + f * a).reshape(1, -1, 3)
        np.testing.assert_array_equal(out, (2 * exact + 255) // 510, err_msg=f"weight {a}")
