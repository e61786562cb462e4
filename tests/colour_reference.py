"""NumPy model of the eight colour modes and their compositing driver.

All arithmetic is float32 in the kernels' order, fused multiply-adds emulated
exactly, so each form is reproduced bit for bit:

- the scalar form (`SCALAR`): fmaxf/fminf, fmodf, powf, hypotf;
- the lane forms (`SSE`, `AVX`): compare-and-select minima and maxima, the
  polynomial sRGB powers, the other matrix summation order and the fused
  chroma;
- both: the correctly rounded cube root (`cbrt_rounded`, from float64 with an
  exact decision near the midpoints between floats). The two lane widths differ only in `neq`: unordered (a NaN
  counts as non-zero) with 4 lanes, ordered with 8.

The C library's powf and hypotf are not guaranteed to be correctly rounded, so
they cannot be derived from float64 maths. NumPy's
float32 ufuncs call them on this platform; a probe against the library itself
(through ctypes) confirms that at import and otherwise calls it directly.
"""

import ctypes
import ctypes.util
from fractions import Fraction

import numpy as np

from reference import fma32 as fma
from reference import results_of

F = np.float32
INV255 = np.array(0x3B808081, np.uint32).view(F)[()]
NAMES = ("hsv_hue", "hsv_saturation", "hsv_value", "hsl_color", "lch_hue", "lch_chroma", "lch_color", "lch_lightness")
LCH_FLAGS = {"lch_hue": (0, 0, 1), "lch_chroma": (0, 1, 0), "lch_color": (0, 1, 1), "lch_lightness": (1, 0, 0)}


# ---- the C library -----------------------------------------------------------


def _library():
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    calls = {}
    for name, arity in (("powf", 2), ("hypotf", 2)):
        fn = getattr(libm, name)
        fn.restype, fn.argtypes = ctypes.c_float, [ctypes.c_float] * arity
        calls[name] = np.vectorize(lambda *a, fn=fn: fn(*(float(x) for x in a)), otypes=[F])
    ours = {"powf": np.power, "hypotf": np.hypot}
    rng = np.random.default_rng(7)
    x = np.concatenate([rng.random(3000), rng.random(1000) * 200 - 100, [0, -0.0, np.inf, -np.inf, np.nan]]).astype(F)
    probes = {"powf": [(np.abs(x), F(2.4)), (np.abs(x), F(0.41666666))], "hypotf": [(x, np.roll(x, 1))]}
    with np.errstate(all="ignore"):
        for name, fn in calls.items():
            if not all(np.array_equal(ours[name](*a), fn(*a), equal_nan=True) for a in probes[name]):
                ours[name] = fn
    return ours


LIB = _library()


def cbrt_rounded(x):
    """The cube root of float32 values, correctly rounded to float32 (ties cannot
    occur). float64's root is within about 2^-52 of the true one, so rounding it
    is right unless it lies within 2^-40 of a midpoint between two floats; those
    few are decided exactly (x against the midpoint's cube, in fractions)."""
    x = np.asarray(x, F)
    mag = np.abs(x)
    with np.errstate(all="ignore"):
        y = np.cbrt(mag.astype(np.float64))
        out = y.astype(F)
        fd = out.astype(np.float64)
        up = (fd + np.nextafter(out, F(np.inf)).astype(np.float64)) / 2
        down = (fd + np.nextafter(out, F(0)).astype(np.float64)) / 2
        usual = (mag > 0) & (mag < np.inf)
        near_up = usual & (np.abs(y - up) <= y * 2.0**-40)
        near_down = usual & (np.abs(y - down) <= y * 2.0**-40)
    out = np.array(out, F, ndmin=1)
    flat_mag, flat_up, flat_down = mag.reshape(-1), up.reshape(-1), down.reshape(-1)
    flat = out.reshape(-1)
    for i in np.flatnonzero(near_up.reshape(-1)):
        if Fraction(float(flat_mag[i])) > Fraction(float(flat_up[i])) ** 3:
            flat[i] = np.nextafter(flat[i], F(np.inf))
    for i in np.flatnonzero(near_down.reshape(-1)):
        if Fraction(float(flat_mag[i])) < Fraction(float(flat_down[i])) ** 3:
            flat[i] = np.nextafter(flat[i], F(0))
    out = np.copysign(out.reshape(np.shape(x)), x).astype(F)
    return out if np.ndim(x) else out[()]


def where(m, t, f):
    return np.where(m, t, f).astype(F)


def lmin(a, b):  # a < b ? a : b
    return where(a < b, a, b)


def lmax(a, b):  # a > b ? a : b
    return where(a > b, a, b)


def clamp_scalar(x):  # NaN passes
    return where(x < 0, F(0), where(F(1) < x, F(1), x))


def clamp_lanes(x):  # max with 0 first, so NaN -> 0
    return lmin(lmax(x, F(0)), F(1))


# ---- the forms ------------------------------------------------------------------


class Scalar:
    name = "scalar"
    clamp = staticmethod(clamp_scalar)

    @staticmethod
    def neq(a, b):
        return a != b

    @staticmethod
    def max3(r, g, b):
        return np.fmax(np.fmax(r, g), b)

    @staticmethod
    def min3(r, g, b):
        return np.fmin(np.fmin(r, g), b)

    def rgb_to_hsv(self, r, g, b):
        mx, mn = self.max3(r, g, b), self.min3(r, g, b)
        chroma = mx - mn
        hue = np.zeros_like(r)
        hue = where(mx == r, np.fmod((g - b) / chroma, F(6)), hue)
        hue = where(mx == g, (b - r) / chroma + F(2), hue)
        hue = where(mx == b, (r - g) / chroma + F(4), hue)
        hue = hue / F(6)
        hue = where(chroma != 0, where(hue < 0, hue + F(1), hue), F(0))
        return hue, where(mx != 0, chroma / mx, F(0)), mx

    def hsv_to_rgb(self, h, s, v):
        hue = np.fmod(h, F(1))
        hue = where(hue < 0, hue + F(1), hue) * F(6)
        s, v = self.clamp(s), self.clamp(v)
        c = v * s
        x = c * (F(1) - np.abs(np.fmod(hue, F(2)) - F(1)))
        z = np.zeros_like(c)
        conds = [hue < k for k in (1, 2, 3, 4, 5)]
        pick = lambda *vals: np.select(conds, vals[:5], vals[5]).astype(F)
        m = v - c
        return (pick(c, x, z, z, x, c) + m, pick(x, c, c, x, z, z) + m, pick(z, z, x, c, c, x) + m)

    @staticmethod
    def two_l_minus_1(l, fused):
        return fma(F(2), l, F(-1)) if fused else F(2) * l - F(1)

    @staticmethod
    def decode(v):
        return where(v <= F(0.04045), v / F(12.92), LIB["powf"]((v + F(0.055)) / F(1.055), F(2.4)))

    @staticmethod
    def encode(v):
        c = clamp_scalar(v)
        return where(c <= F(0.0031308), F(12.92) * c, fma(LIB["powf"](c, F(0.41666666)), F(1.055), F(-0.055)))

    @staticmethod
    def row(c0, c1, c2, v0, v1, v2):  # middle term, then first, then last
        return fma(F(c2), v2, fma(F(c0), v0, F(c1) * v1))

    @staticmethod
    def chroma(a, b):
        return LIB["hypotf"](a, b)


def pow_2_4(x):
    x = clamp_lanes(x)
    r = F(0.197935566)
    for c in (-0.826184988, 1.47074819, -1.53195202, 1.36161482, 0.334159791, -0.00636270363, 5.88486291e-05):
        r = fma(r, x, F(c))
    return clamp_lanes(r)


SCALE_TABLE = np.array([2.0 ** (5 * r / 12) for r in range(12)], F)


def pow_5_12(x):
    x = clamp_lanes(x)
    mant, exp = np.frexp(x)
    quot, rem = exp // 12, exp % 12  # floor division
    scale = where(x > 0, np.ldexp(SCALE_TABLE[rem], 5 * quot), F(0))
    r = F(-0.126586646)
    for c in (0.522863865, -0.940634012, 1.23491907, 0.309424162):
        r = fma(r, mant.astype(F), F(c))
    return clamp_lanes(r * scale)


class Lanes(Scalar):
    clamp = staticmethod(clamp_lanes)

    def __init__(self, name, ordered):
        self.name, self.ordered = name, ordered

    def neq(self, a, b):
        return ((a < b) | (a > b)) if self.ordered else (a != b)

    @staticmethod
    def max3(r, g, b):
        return lmax(lmax(r, g), b)

    @staticmethod
    def min3(r, g, b):
        return lmin(lmin(r, g), b)

    def rgb_to_hsv(self, r, g, b):
        mx, mn = self.max3(r, g, b), self.min3(r, g, b)
        chroma = mx - mn
        nz = self.neq(chroma, F(0))
        q = (g - b) / chroma
        red = fma(F(-6), np.floor(q / F(6)), q)
        hue = np.zeros_like(r)
        hue = where((mx == r) & nz, red, hue)
        hue = where((mx == g) & nz, (b - r) / chroma + F(2), hue)
        hue = where((mx == b) & nz, (r - g) / chroma + F(4), hue)
        return hue / F(6), where(self.neq(mx, F(0)), chroma / mx, F(0)), mx

    def hsv_to_rgb(self, h, s, v):
        hue = (h - np.floor(h)) * F(6)
        s, v = clamp_lanes(s), clamp_lanes(v)
        c = v * s
        x = c * (F(1) - np.abs(fma(F(-2), np.floor(hue * F(0.5)), hue) - F(1)))
        z = np.zeros_like(c)
        conds = [hue < 1] + [(hue >= k) & (hue < k + 1) for k in (1, 2, 3, 4)] + [hue >= 5]
        pick = lambda *vals: np.select(conds, vals, z).astype(F)  # a NaN hue picks nothing
        m = v - c
        return (pick(c, x, z, z, x, c) + m, pick(x, c, c, x, z, z) + m, pick(z, z, x, c, c, x) + m)

    @staticmethod
    def two_l_minus_1(l, fused):
        return (l + l) - F(1)

    @staticmethod
    def decode(v):
        return where(v > F(0.04045), pow_2_4((v + F(0.055)) / F(1.055)), v / F(12.92))

    @staticmethod
    def encode(v):
        c = clamp_lanes(v)
        curve = fma(pow_5_12(c), F(1.055), F(-0.055))
        return clamp_lanes(where(c > F(0.0031308), curve, c * F(12.92)))

    @staticmethod
    def row(c0, c1, c2, v0, v1, v2):  # last term, then middle, then first
        return fma(F(c0), v0, fma(F(c1), v1, F(c2) * v2))

    @staticmethod
    def chroma(a, b):
        return np.sqrt(fma(a, a, b * b))


SCALAR, SSE, AVX = Scalar(), Lanes("sse", False), Lanes("avx", True)


# ---- HSL and Lab over a form ------------------------------------------------------


def rgb_to_hsl(form, r, g, b):
    mx, mn = form.max3(r, g, b), form.min3(r, g, b)
    light, chroma = (mx + mn) * F(0.5), mx - mn
    h = form.rgb_to_hsv(r, g, b)[0]
    denom = F(1) - np.abs(form.two_l_minus_1(light, True))
    return h, where(form.neq(chroma, F(0)), chroma / denom, F(0)), light


def hsl_to_rgb(form, h, s, l):
    s, l = form.clamp(s), form.clamp(l)
    chroma = (F(1) - np.abs(form.two_l_minus_1(l, False))) * s
    value = fma(chroma, F(0.5), l)
    return form.hsv_to_rgb(h, where(form.neq(value, F(0)), chroma / value, F(0)), value)


EPS, KAPPA = F(0.008856452), F(903.2963)


def lab_f(v):
    with np.errstate(invalid="ignore"):
        return where(v > EPS, cbrt_rounded(v), fma(KAPPA, v, F(16)) / F(116))


def lab_f_inv(v):
    cube = (v * v) * v
    return where(cube > EPS, cube, fma(F(116), v, F(-16)) / KAPPA)


def rgb_to_lab(form, r, g, b):
    lin = [form.decode(c) for c in (r, g, b)]
    x = form.row(0.4124564, 0.3575761, 0.1804375, *lin) / F(0.95047)
    y = form.row(0.2126729, 0.7151522, 0.072175, *lin)
    z = form.row(0.0193339, 0.119192, 0.9503041, *lin) / F(1.08883)
    fx, fy, fz = lab_f(x), lab_f(y), lab_f(z)
    return fma(F(116), fy, F(-16)), (fx - fy) * F(500), (fy - fz) * F(200)


def lab_to_rgb(form, l, a, lb):
    fy = (l + F(16)) / F(116)
    fx, fz = a / F(500) + fy, fy - lb / F(200)
    xyz = lab_f_inv(fx) * F(0.95047), lab_f_inv(fy), lab_f_inv(fz) * F(1.08883)
    return (
        form.encode(form.row(3.2404542, -1.5371385, -0.4985314, *xyz)),
        form.encode(form.row(-0.969266, 1.8760108, 0.041556, *xyz)),
        form.encode(form.row(0.0556434, -0.2040259, 1.0572252, *xyz)),
    )


def lch(form, bg, fg, use_l, use_c, use_h):
    bl, ba, bb = rgb_to_lab(form, *bg)
    fl, fa, fb = rgb_to_lab(form, *fg)
    out_a, out_b = ba, bb
    bc, fc = form.chroma(ba, bb), form.chroma(fa, fb)
    if use_c and use_h:
        out_a, out_b = fa, fb
    elif use_c:
        ratio = fc / bc
        out_a, out_b = where(bc > 0, ba * ratio, fc), where(bc > 0, bb * ratio, F(0))
    elif use_h:
        ratio = bc / fc
        out_a, out_b = where(fc > 0, fa * ratio, ba), where(fc > 0, fb * ratio, bb)
    return lab_to_rgb(form, fl if use_l else bl, out_a, out_b)


def blend_colour(mode, form, bg, fg):
    """The mode's colour function: bg, fg are (r, g, b) tuples of unit arrays."""
    with np.errstate(all="ignore"):
        if mode in LCH_FLAGS:
            return lch(form, bg, fg, *LCH_FLAGS[mode])
        if mode == "hsl_color":
            (_, _, bl), (fh, fs, _) = rgb_to_hsl(form, *bg), rgb_to_hsl(form, *fg)
            return hsl_to_rgb(form, fh, fs, bl)
        (bh, bs, bv), (fh, fs, fv) = form.rgb_to_hsv(*bg), form.rgb_to_hsv(*fg)
        h, s, v = {
            "hsv_hue": (where(form.neq(fs, F(0)), fh, bh), bs, bv),
            "hsv_saturation": (bh, fs, bv),
            "hsv_value": (bh, bs, fv),
        }[mode]
        return form.hsv_to_rgb(h, s, v)


# ---- the driver -----------------------------------------------------------------


def plan(kernel, pixels):
    """[(start, stop, form)] of the stages: 8 pixels (avx2, at least 8 pixels),
    4 pixels (sse42 and what avx2 left), then scalar."""
    kernel = results_of(kernel)
    n8 = pixels // 8 * 8 if kernel == "avx2" and pixels >= 8 else 0
    n4 = n8 + (pixels - n8) // 4 * 4 if kernel in ("sse42", "avx2") else 0
    return [(0, n8, AVX), (n8, n4, SSE), (n4, pixels, SCALAR)]


def composite(mode, bg, fg, opacity, kernel):
    """The module's result for `mode(bg, fg, opacity, kernel)`."""
    opacity = F(opacity)
    if opacity <= 0:
        return bg.copy()
    h, w, cb = bg.shape
    b, f = bg.reshape(-1, cb), fg.reshape(-1, fg.shape[2])
    out = np.empty_like(b)
    for start, stop, form in plan(kernel, h * w):
        if start < stop:
            out[start:stop] = _pixels(mode, form, b[start:stop], f[start:stop], opacity)
    return out.reshape(bg.shape)


def _read(img, vector_colour):
    x = img.astype(F)
    with np.errstate(all="ignore"):
        colour = x[:, :3] * INV255 if vector_colour and img.dtype == np.uint8 else x[:, :3] / F(255)
        alpha = x[:, 3] / F(255) if img.shape[1] == 4 else np.ones(len(img), F)
    return tuple(colour.T), alpha


def _pixels(mode, form, bg, fg, opacity):
    vector = form is not SCALAR
    (bc, ba), (fc, fa) = _read(bg, vector), _read(fg, vector)
    with np.errstate(all="ignore"):
        comp_alpha = (lmin(ba, fa) if vector else np.fmin(ba, fa)) * opacity
        new_alpha = fma(comp_alpha, F(1) - ba, ba)
        if vector:
            ratio = where(new_alpha > 0, comp_alpha / new_alpha, F(0))
        else:
            ratio = where(new_alpha == 0, F(0), comp_alpha / new_alpha)
        comp = blend_colour(mode, form, bc, fc)
        cols = [fma(c, ratio, (F(1) - ratio) * x) for c, x in zip(comp, bc)]
        if bg.shape[1] == 4:
            cols.append(new_alpha)
        unit = np.stack(cols, axis=1)
        if bg.dtype != np.uint8:
            return unit * F(255)
        s = unit * F(255)
        if vector:  # clamp in float (NaN -> 0), round half to even
            return np.rint(lmin(lmax(s, F(0)), F(255))).astype(np.uint8)
        s = where(~(s >= 0), F(0), where(F(255) < s, F(255), s))  # clamp, NaN -> 0, halves away from 0
        return np.floor(s.astype(np.float64) + 0.5).astype(np.uint8)
