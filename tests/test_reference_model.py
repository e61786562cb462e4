"""Self-checks of the reference model: worked numbers, no extension needed."""

import ctypes
import ctypes.util

import numpy as np
import pytest

import reference as R
from reference import F, INV255

E = 2.0**-23


@pytest.mark.parametrize(
    "a, b, c, want",
    [
        # exact sum just below the midpoint 1 + 3*2^-24: double rounding would go up
        ((1 + E) / 4096, (1 - E) / 4096, 1 + E, 1 + E),
        # exact sum just above the midpoint 1 + 2^-24: double rounding would go down to 1
        (-(1 + E) / 4096, (1 - E) / 4096, 1 + E, 1 + E),
        (F(0.1), F(10), F(-1), float(F(0.1)) * 10 - 1),  # the product is not rounded first
        (np.inf, 0.0, 1.0, np.nan),
        (3.4e38, 2.0, -3.4e38, 3.4e38),  # intermediate beyond float32 range
    ],
)
def test_fma32_hand_cases(a, b, c, want):
    a, b, c = F(a), F(b), F(c)
    got = R.fma32(a, b, c)
    assert got.dtype == F
    np.testing.assert_array_equal(got, F(want))
    if abs(want - 1 - E) < 1e-12:  # the midpoint cases really defeat naive double rounding
        assert F(np.float64(a) * np.float64(b) + np.float64(c)) != got


def test_fma32_matches_libm_fmaf():
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    libm.fmaf.restype = ctypes.c_float
    libm.fmaf.argtypes = [ctypes.c_float] * 3
    rng = np.random.default_rng(7)
    # near-cancelling operands make the rounding of the sum matter
    a = rng.uniform(-2, 2, 3000).astype(F)
    b = rng.uniform(-2, 2, 3000).astype(F)
    c = (-(a.astype(np.float64) * b) * (1 + rng.normal(0, 1e-6, 3000))).astype(F)
    c[::3] = rng.uniform(-4, 4, 1000).astype(F)
    got = R.fma32(a, b, c)
    want = np.array([libm.fmaf(*map(float, t)) for t in zip(a, b, c)], F)
    np.testing.assert_array_equal(got, want)


def test_constants():
    assert INV255.view(np.uint32) == 0x3B808081
    assert F(255) * INV255 == 1.0
    assert R.K256 == F(256) * INV255
    assert R.comp("multiply", "u8", 255, 255) == F(1.0000001)


def test_vector_unit_conversion_differs_for_126_bytes():
    v = np.arange(256)
    diff = np.nonzero(R.read_vector(v) != R.read_scalar(v))[0]
    assert len(diff) == 126 and list(diff[:10]) == [3, 6, 7, 12, 13, 14, 15, 24, 25, 26]
    assert R.write_vector(R.read_vector(F(3)), False) == F(3.0000002)
    assert R.write_scalar(R.read_scalar(F(3)), False) == 3.0
    assert R.read_scalar(np.uint8(255)) == 1.0 and R.read_scalar(np.uint8(0)) == 0.0
    assert R.read_scalar(F(300)) == F(1.1764706)


@pytest.mark.parametrize(
    "u, scalar, vector",
    [
        (1.0, 255, 255),
        (1.5, 255, 255),
        (-0.2, 0, 0),
        (0.5, 128, 128),
        (0.999, 255, 255),
        (F(2.5) / F(255), 3, 2),
        (F(1.5) / F(255), 2, 2),
        (np.nan, 0, 0),
        (2.0, 255, 255),
        (-1.0, 0, 0),
        (1e30, 255, 255),
        (np.inf, 255, 255),
    ],
)
def test_8bit_writes(u, scalar, vector):
    assert R.write_scalar(F(u), True) == scalar
    assert R.write_vector(F(u), True) == vector


def test_float_writes_unclamped():
    assert R.write_scalar(F(1.5), False) == 382.5
    assert R.write_scalar(F(-0.2), False) == F(-51.0)


def test_clamps():
    assert R.clamp01(F(1.0000001)) == 1.0
    z = R.clamp01(F(-0.0))
    assert z == 0 and np.signbit(z)
    assert np.isnan(R.clamp01(F(np.nan)))
    assert R.clamp01_lanes(F(np.nan)) == 0


FORMS = ("scalar", "lanes")


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize(
    "mode, a, b, want",
    [
        ("addition", 0.8, 0.7, 1.5),
        ("linear_burn", 0.3, 0.5, 0.0),
        ("grain_extract", 0.3, 0.3, 0.5),
        ("grain_merge", 0.0, 0.0, 0.0),
        ("screen", 1.0, 0.3, 1.0),
        ("screen", 0.0, 0.75, 0.75),
        ("divide", 1 / 512, 0.0, 0.5),
        ("divide", 0.01, 0.0, 1.0),
        ("divide", 0.0, 0.4, 0.0),
        ("divide", 1.0, 1.0, 1.0),
        ("dodge", 0.0, 1.0, 0.0),
        ("dodge", 0.01, 1.0, 1.0),
        ("burn", 1.0, 0.0, 1.0),
        ("burn", 0.99, 0.0, 0.0),
        ("burn", 0.25, 1.0, 0.25),
        ("vivid_light", 0.0, 1.0, 1.0),
        ("vivid_light", 1.0, 0.0, 1.0),
        ("vivid_light", 0.7, 0.0, 0.0),
        ("vivid_light", 0.3, 0.5, 0.3),
        ("hard_light", 0.3, 0.5, 0.3),
        ("pin_light", 0.3, 0.5, 0.3),
        ("soft_light", 0.0, 0.6, 0.0),
        ("soft_light", 1.0, 0.6, 1.0),
        ("subtract", 0.75, 0.5, 0.25),
        ("subtract", 0.25, 0.5, -0.25),
    ],
)
def test_worked_blend_values(mode, form, a, b, want):
    assert R.comp(mode, form, F(a), F(b)) == F(want)


@pytest.mark.parametrize(
    "mode, a, b, want",
    [
        ("linear_burn", 100, 100, 0.0),
        ("difference", 10, 250, F(240) * INV255),
        ("multiply", 255, 255, 1.0000001),
        ("screen", 255, 17, 1.0),
        ("darken_only", 3, 200, F(3) * INV255),
        ("lighten_only", 3, 200, F(200) * INV255),
        ("addition", 200, 100, F(300) * INV255),
    ],
)
def test_integer_forms(mode, a, b, want):
    assert R.comp(mode, "u8", a, b) == F(want)


def test_forms_that_may_differ_in_the_last_bit():
    """The scalar and lane orders of these modes really are different."""
    rng = np.random.default_rng(3)
    a, b = rng.random((2, 20000)).astype(F)
    for mode in ("linear_burn", "exclusion", "overlay", "soft_light"):
        assert np.any(R.comp(mode, "scalar", a, b) != R.comp(mode, "lanes", a, b)), mode
    for mode in ("hard_light", "divide", "pin_light", "vivid_light", "screen"):
        np.testing.assert_array_equal(R.comp(mode, "scalar", a, b), R.comp(mode, "lanes", a, b))


@pytest.mark.parametrize(
    "mode, a, b, scalar, lanes",
    [
        ("darken_only", np.nan, 0.5, 0.5, 0.5),
        ("darken_only", 0.5, np.nan, 0.5, np.nan),
        ("lighten_only", 0.5, np.nan, 0.5, np.nan),
        ("grain_extract", np.nan, 0.5, np.nan, 0.0),
        ("grain_merge", 0.5, np.nan, np.nan, 0.0),
        ("linear_burn", np.nan, 0.5, 0.0, 0.0),
        ("divide", np.nan, 0.5, np.nan, 1.0),
        ("hard_light", np.nan, 0.2, np.nan, 1.0),
        ("dodge", np.nan, 0.5, np.nan, 1.0),
        ("dodge", np.nan, 1.0, 1.0, 1.0),
        ("burn", np.nan, 0.5, 0.0, np.nan),
        ("pin_light", 0.4, np.nan, 0.4, np.nan),
        ("pin_light", np.nan, 0.2, 0.4, 0.4),
    ],
)
def test_nan_semantics(mode, a, b, scalar, lanes):
    for form, want in (("scalar", scalar), ("lanes", lanes)):
        got = R.comp(mode, form, F(a), F(b))
        assert (np.isnan(got) and np.isnan(want)) or got == F(want), (form, got)


def test_normal_integer_weights_and_rounding():
    assert R.lround_weight(0.25) == 64 and R.lround_weight(0.5) == 128
    assert R.lround_weight(0.001) == 0 and R.lround_weight(np.nan) == 0
    assert R.lround_weight(1.5) == 255 and R.lround_weight(2.5 / 255) == 3
    assert R.normal_int(2, 0, 64) == 1
    s = np.arange(65026)
    t = s + 128
    assert np.array_equal((t + (t >> 8)) >> 8, np.floor(s / 255 + 0.5))


def test_normal_worked_case():
    bg = np.full((1, 7, 3), 2, np.uint8)
    fg = np.zeros((1, 7, 3), np.uint8)
    for k in R.VECTOR_KERNELS:
        assert R.normal(bg, fg, 0.25, k)[0, :, 0].tolist() == [1, 1, 1, 1, 2, 2, 2]
    assert (R.normal(bg, fg, 0.25, "scalar") == 2).all()
    assert (R.normal(bg, fg, 0.001, "avx2")[0, :4] == 2).all()


@pytest.mark.parametrize(
    "args, plan",
    [
        ((False, False, 3, 3, 5, "avx2"), ("flat", 8)),
        ((False, False, 3, 3, 2, "avx2"), ("flat", 4)),
        ((False, False, 3, 3, 1, "avx2"), ("pixel", 0)),
        ((False, False, 3, 3, 5, "sse42"), ("flat", 12)),
        ((True, False, 3, 3, 5, "avx2"), ("pixel", 4)),
        ((True, False, 3, 3, 6, "avx2"), ("flat", 16)),
        ((True, False, 3, 3, 6, "sse42"), ("pixel", 4)),
        ((True, True, 3, 3, 6, "avx2"), ("flat", 16)),
        ((True, True, 3, 3, 6, "sse42"), ("flat", 16)),
        ((True, True, 3, 3, 5, "avx2"), ("pixel", 4)),
        ((True, True, 4, 4, 9, "avx2"), ("pixel", 8)),
        ((True, True, 3, 3, 9, "scalar"), ("pixel", 0)),
    ],
)
def test_separable_plans(args, plan):
    assert R.separable_plan(*args) == plan


def test_separable_plan_needs_alignment_for_8bit_flat():
    assert R.separable_plan(True, True, 3, 3, 6, "avx2", aligned=False) == ("pixel", 4)
    base = np.zeros(64, np.uint8)
    assert R.buffer_aligned(base)
    assert not R.buffer_aligned(base[1:61].reshape(4, 5, 3))
    assert R.buffer_aligned(base[1:].reshape(9, 7)[:, ::2])  # copied by NumPy


def test_normal_plans():
    assert [R.normal_plan(n, "avx2") for n in (9, 7, 3)] == [8, 4, 0]
    assert R.normal_plan(9, "scalar") == 0


def test_separable_driver_worked_cases():
    bg = np.array([[[0, 0, 0, 255]]], np.uint8)
    fg = np.array([[[255, 255, 255, 255]]], np.uint8)
    for k in ("scalar", "avx2"):  # 127.5 rounds to 128 either way
        assert R.separable("screen", bg, fg, 0.5, k).tolist() == [[[128, 128, 128, 255]]]
    # a transparent background passes through unchanged
    bg = np.array([[[10, 20, 30, 0]]], np.uint8)
    assert (R.separable("multiply", bg, fg, 1.0) == bg).all()
    # opacity 2 with float output keeps 2*comp - in
    bgf = np.full((1, 1, 3), 100, F)
    fgf = np.full((1, 1, 3), 200, F)
    got = R.separable("lighten_only", bgf, fgf, 2.0)
    np.testing.assert_allclose(got, 300, rtol=1e-6)
    # addition clips to 255 (a unit result of 1.5 would be 382.5)
    assert (R.separable("addition", bgf + 100, fgf, 1.0) == 255).all()
