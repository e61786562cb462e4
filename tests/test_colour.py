"""The eight colour modes (HSV, HSL, LCH) against the NumPy model, on every kernel."""

import numpy as np
import pytest

import _zarvel
import colour_reference as C
from images import make_image

F = np.float32
LCH = [m for m in C.NAMES if m.startswith("lch")]
COMBOS = [(bd, fd, cb, cf) for bd in (np.uint8, F) for fd in (np.uint8, F) for cb in (3, 4) for cf in (3, 4)]
IDS = [f"{np.dtype(bd).name}{cb}-{np.dtype(fd).name}{cf}" for bd, fd, cb, cf in COMBOS]
SPECIAL = np.array([np.nan, np.inf, -np.inf, -40, 0, 0.5, 127.5, 255, 300, 1e30], F)


def image(rng, n, c, dtype, special=False):
    """One row of n pixels; with `special`, floats at every edge (NaN, infinities, out of range)."""
    return make_image(rng, 1, n, c, dtype, halves=0, special=0.3 if special else 0.0, specials=SPECIAL, opaque=0.3)


def same(got, want, what=""):
    assert got.dtype == want.dtype and got.shape == want.shape
    bad = ~((got == want) | (np.isnan(got) & np.isnan(want)) if got.dtype == F else got == want)
    if bad.any():
        i = tuple(np.argwhere(bad)[0])
        raise AssertionError(f"{what}: {bad.sum()} differ, first {i}: got {got[i]!r}, model {want[i]!r}")


def pair(bg, fg, n=13):
    """n pixels of one colour pair (float32, 0..255): 8 + 4 + 1 on avx2."""
    return np.tile(np.array(bg, F), (1, n, 1)), np.tile(np.array(fg, F), (1, n, 1))


@pytest.mark.parametrize("combo", COMBOS, ids=IDS)
@pytest.mark.parametrize("mode", C.NAMES)
def test_model(mode, combo, kernel):
    """39 pixels: all three stages on avx2; every opacity rule."""
    bd, fd, cb, cf = combo
    rng = np.random.default_rng(C.NAMES.index(mode) * 16 + COMBOS.index(combo))
    bg, fg = image(rng, 39, cb, bd), image(rng, 39, cf, fd)
    for op in (0.5, 1.0, 2.0, np.nan, 0.0, -1.0):
        same(getattr(_zarvel, mode)(bg, fg, op, kernel), C.composite(mode, bg, fg, op, kernel), f"{mode} op={op}")


@pytest.mark.parametrize("bg_type", [np.uint8, F])
@pytest.mark.parametrize("mode", C.NAMES)
def test_special_values(mode, bg_type, kernel):
    """NaN, infinities and values beyond 0..255 in colours and alphas: the forms
    differ there (NaN ordering of the 8-lane form, the lane clamps) as modelled."""
    rng = np.random.default_rng(5)
    bg, fg = image(rng, 45, 4, bg_type, True), image(rng, 45, 4, F, True)
    for op in (0.75, np.inf):
        same(getattr(_zarvel, mode)(bg, fg, op, kernel), C.composite(mode, bg, fg, op, kernel), mode)


@pytest.mark.parametrize("n", [7, 13])
@pytest.mark.parametrize("mode", C.NAMES)
def test_stage_split(mode, n):
    """avx2: 13 pixels go 8 + 4 + 1 and 7 pixels 4 + 3. A colour pair on which
    the lane and scalar forms differ shows which form each pixel took."""
    if not _zarvel.kernel_available("avx2"):
        pytest.skip("avx2 not available")
    rng = np.random.default_rng(11)
    cand = tuple(rng.random((2, 3, 4000)).astype(F))
    lane, scalar = (np.array(C.blend_colour(mode, f, tuple(cand[0]), tuple(cand[1]))) for f in (C.SSE, C.SCALAR))
    k = np.flatnonzero((lane != scalar).any(axis=0))[0]
    bg, fg = pair(cand[0][:, k] * 255, cand[1][:, k] * 255, n)
    got = getattr(_zarvel, mode)(bg, fg, 1.0, "avx2")[0]
    vector = 12 if n == 13 else 4
    assert all(C.plan("avx2", n)[i][1] == stop for i, stop in enumerate((8 if n == 13 else 0, vector, n)))
    same(got[:vector], np.tile(lane[:, k] * F(255), (vector, 1)), "vector pixels")
    same(got[vector:], np.tile(scalar[:, k] * F(255), (n - vector, 1)), "scalar pixels")


@pytest.mark.parametrize("mode", C.NAMES)
def test_kernels_agree_in_range(mode, kernel):
    """In-range images: last bits for HSV; for LCH the polynomial powers, which the
    hue and chroma modes amplify near grey; 8-bit results within one step."""
    rng = np.random.default_rng(2)
    tol = 3e-3 * 255 if mode in LCH else 1e-6 * 255
    for dtype in (np.uint8, F):
        bg, fg = image(rng, 2000, 3, dtype), image(rng, 2000, 4, dtype)
        got, ref = (getattr(_zarvel, mode)(bg, fg, 0.8, k).astype(float) for k in (kernel, "scalar"))
        assert np.abs(got - ref).max() <= (1 if dtype == np.uint8 else tol)


def test_polynomial_powers():
    """Within 2e-5 of the exact powers over the inputs they receive, densely."""
    x = np.linspace(0, 1, 2**22, dtype=F)
    decode = x >= (F(0.04045) + F(0.055)) / F(1.055)
    assert np.abs(C.pow_2_4(x[decode]) - x[decode].astype(float) ** 2.4).max() < 2e-5
    assert np.abs(C.pow_5_12(x) - x.astype(float) ** (5 / 12)).max() < 2e-5
    assert C.pow_5_12(F(0)) == 0 and C.pow_5_12(F(1)) == 1 and C.pow_2_4(F(1)) == 1


def test_lab_round_trip_and_greys():
    rng = np.random.default_rng(4)
    rgb = tuple(rng.random((3, 100000)).astype(F))
    for form, tol in ((C.SCALAR, 1e-5), (C.AVX, 1e-4)):
        assert np.abs(np.array(C.lab_to_rgb(form, *C.rgb_to_lab(form, *rgb))) - rgb).max() < tol
        greys = np.arange(256, dtype=F) / F(255)
        l, a, b = C.rgb_to_lab(form, greys, greys, greys)
        assert abs(l[0]) < 1e-6 and a[0] == b[0] == 0 and abs(l[-1] - 100) < 1e-4
        residual = (a != 0) | (b != 0)
        assert 50 < residual.sum() < 200 and np.abs(a).max() < 1e-4 and np.abs(b).max() < 1e-4
    # an sRGB value exactly at the decode threshold takes the linear segment in both forms
    t = F(0.04045)
    assert C.SCALAR.decode(t) == C.AVX.decode(t) == t / F(12.92)
    assert C.SCALAR.decode(F(1.2)) > 1 and C.AVX.decode(F(1.2)) == 1


W, K, GREY = (255, 255, 255), (0, 0, 0), (128, 128, 128)
EDGES = [  # mode, background, foreground, expected (None: the background), tolerance
    ("hsv_hue", (200, 100, 50), GREY, None, 1e-3),
    ("hsv_hue", (200, 100, 50), W, None, 1e-3),
    ("hsv_hue", (200, 100, 50), K, None, 1e-3),
    ("hsv_hue", (90, 90, 90), (0, 0, 255), None, 1e-3),
    ("hsv_hue", (255, 0, 0), (255, 255, 0), (255, 255, 0), 1e-3),  # two maxima: hue 1/6
    ("hsv_saturation", (127.5, 127.5, 127.5), (0, 0, 255), (127.5, 0, 0), 0),
    ("hsv_value", (200, 100, 50), K, K, 0),
    ("hsv_value", (127.5, 63.75, 0), W, (255, 127.5, 0), 1e-3),
    ("hsl_color", (200, 100, 50), (90, 90, 90), (125, 125, 125), 1e-3),
    ("hsl_color", K, (30, 200, 90), K, 0),
    ("hsl_color", W, (30, 200, 90), W, 1e-3),
    ("lch_hue", (200, 100, 50), K, None, 0.05),
    ("lch_hue", K, (30, 200, 90), K, 1e-3),
    ("lch_color", (200, 100, 50), K, (128.114, 128.114, 128.114), 0.01),  # grey at L* of bg
] + [(m, c, c, None, 0.05) for m in C.NAMES for c in ((200, 100, 50), (20, 30, 240), GREY)]


@pytest.mark.parametrize("mode,bg,fg,want,tol", EDGES)
def test_worked_numbers(mode, bg, fg, want, tol, kernel):
    b, f = pair(bg, fg)
    got = getattr(_zarvel, mode)(b, f, 1.0, kernel)
    assert np.abs(got - np.array(bg if want is None else want, F)).max() <= tol


def test_colour_edges(kernel):
    run = lambda mode, bg, fg: getattr(_zarvel, mode)(*pair(bg, fg), 1.0, kernel)[0]
    # a red-sector hue rounding up to 1.0 wraps to red
    tiny_blue = np.array([255, 0, 1e-5], F)
    assert C.SCALAR.rgb_to_hsv(*(tiny_blue / 255))[0] == 1 == C.AVX.rgb_to_hsv(*(tiny_blue / 255))[0]
    same(run("hsv_hue", (50, 200, 100), tiny_blue), run("hsv_hue", (50, 200, 100), (255, 0, 0)), "hue 1.0")
    # float inputs beyond 255 still give HSV colours in range
    for mode in C.NAMES[:4]:
        out = run(mode, (300, 1000, -50), (400, 20, 600))
        assert ((out >= 0) & (out <= 255)).all()
    # a grey with residual chroma lends its residual direction to lch_hue
    g = F(119) / F(255)
    (_, ga, gb), (_, la, lb) = (C.rgb_to_lab(form, g, g, g) for form in (C.SCALAR, C.AVX))
    assert ga == la != 0 and gb == lb != 0
    out = run("lch_hue", (150, 120, 110), (119, 119, 119))
    l, a, b = C.rgb_to_lab(C.SCALAR, *(out.T / F(255)))
    l0, a0, b0 = C.rgb_to_lab(C.SCALAR, *(np.array([150, 120, 110], F) / F(255)))
    assert np.all(abs(l - l0) < 1) and np.all(abs(np.hypot(a, b) - np.hypot(a0, b0)) < 2)
    assert np.all(np.cos(np.arctan2(b, a) - np.arctan2(gb, ga)) > 0.999)
    # white (a* = b* = 0) under lch_chroma: chroma placed on +a*, a red-magenta tint
    r, gr, bl = run("lch_chroma", W, (0, 160, 0)).T
    assert np.all(r > 254.99) and np.all(gr < bl)
    # lch_lightness: black over red keeps a dark red; white over red clips, not white
    r, gr, bl = run("lch_lightness", (255, 0, 0), K).T
    assert np.all(r > 20) and np.all(gr == 0) and np.all(bl == 0)
    out = run("lch_lightness", (255, 0, 0), W)
    assert out.max() > 254.99 and out.min() < 250
    # out of gamut: a large chroma on a dark background is clipped per channel
    out = run("lch_chroma", (40, 30, 35), (0, 255, 0))
    assert out.min() == 0 and out.max() <= 255


@pytest.mark.parametrize("mode", ["hsv_value", "lch_color"])
def test_half_transparent_background(mode, kernel):
    """bg alpha 0.5, opaque fg, opacity 1: new alpha 0.75, ratio 2/3."""
    bg = np.tile(np.array([200, 100, 50, 127.5], F), (1, 13, 1))
    fg = np.tile(np.array([10, 20, 250], F), (1, 13, 1))
    full = getattr(_zarvel, mode)(bg[..., :3], fg, 1.0, kernel)
    got = getattr(_zarvel, mode)(bg, fg, 1.0, kernel)
    assert np.all(got[..., 3] == 191.25)
    assert np.abs(got[..., :3] - (full * 2 + bg[..., :3]) / 3).max() < 1e-3
    same(getattr(_zarvel, mode)(np.zeros((0, 5, 4), F), np.zeros((0, 5, 3), F), 1.0, kernel), np.zeros((0, 5, 4), F))
