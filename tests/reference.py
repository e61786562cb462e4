"""Pure-NumPy reference model of the separable and normal compositing kernels.

Everything is float32 with the same operation order as the C++ kernels, so the
scalar kernel is reproduced bit for bit and the vector kernels too, as long as
the model is told which pixels each stage covers.

Kernels are named "scalar", "sse42" (4 lanes) and "avx2" (8 lanes).  Both vector
kernels use the same per-lane arithmetic; they differ only in which stages run
(the AVX2 flat loops and their thresholds), which `separable_plan` captures.
The other kernels give one of these kernels' results bit for bit
(`SAME_RESULTS`): "avx512" (16 lanes) gives "avx2"'s, "neon" (4 lanes) "sse42"'s.

Assumption: the 8-bit flat stage needs the output buffer 16-byte aligned too.
The model cannot see the output pointer and takes it as aligned (NumPy's
allocations are 16-byte aligned on x86-64 Linux).
"""

from collections import namedtuple

import numpy as np

F = np.float32
F0, HALF, ONE, TWO, F255 = F(0), F(0.5), F(1), F(2), F(255)
INV255 = np.array(0x3B808081, np.uint32).view(F)[()]  # nearest float to 1/255
K256 = np.array(0x3F808081, np.uint32).view(F)[()]  # 256 * INV255
INV255_SQ = INV255 * INV255  # rounded once, as the u8 forms do
VECTOR_KERNELS = ("sse42", "avx2")
SAME_RESULTS = {"avx512": "avx2", "neon": "sse42"}


def results_of(kernel):
    """The modelled kernel whose results `kernel` gives."""
    return SAME_RESULTS.get(str(kernel), str(kernel))


def fma32(a, b, c):
    """Single-precision a*b + c with one rounding.

    The float64 product of two floats is exact; the float64 sum may round, and
    rounding that to float32 again is only wrong when it lands exactly on a
    float32 midpoint.  TwoSum gives the lost part e, which says which way the
    exact sum lies, so such a midpoint is nudged one float64 ulp toward it.
    """
    a, b, c = (np.asarray(x, F) for x in (a, b, c))
    with np.errstate(all="ignore"):
        p = a.astype(np.float64) * b.astype(np.float64)
        c64 = c.astype(np.float64)
        s = p + c64
        bv = s - p
        e = (p - (s - bv)) + (c64 - bv)
        r = s.astype(F)
        r64 = r.astype(np.float64)
        toward = np.where(s > r64, F(np.inf), F(-np.inf))
        mid = (r64 + np.nextafter(r, toward).astype(np.float64)) * 0.5
        tie = np.isfinite(s) & (e != 0) & (s != r64) & (s == mid)
        if np.any(tie):
            s = np.where(tie, np.nextafter(s, np.where(e > 0, np.inf, -np.inf)), s)
            r = s.astype(F)
    return r[()] if r.ndim == 0 else r


# Lane helpers: a compare-and-select returns its second operand when the
# comparison is false (equal operands or a NaN), unlike fminf/fmaxf.
def lmin(a, b):
    return np.where(a < b, a, b)


def lmax(a, b):
    return np.where(a > b, a, b)


def clamp01(x):
    """Scalar clamp: NaN passes through, -0.0 stays."""
    return np.where(x < F0, F0, np.where(ONE < x, ONE, x))


def clamp01_lanes(x):
    """Lane clamp, maximum first: NaN becomes 0."""
    return lmin(lmax(x, F0), ONE)


def cap_scalar(v):  # min(1, v): a NaN v survives
    return np.where(ONE < v, ONE, v)


def cap_lanes(v):  # min(v, 1): a NaN v becomes 1
    return np.where(v < ONE, v, ONE)


# ---------------------------------------------------------------------------
# Per-channel blend functions.  a = background ("in"), b = layer.
# u8 forms take int64 arrays holding 0..255.


def _screen(a, b):
    return fma32(-(ONE - a), ONE - b, ONE)


def _exclusion_s(a, b):
    return fma32(-(a * TWO), b, a + b)


def _exclusion_l(a, b):
    return fma32(-TWO, a * b, a + b)


def _divide(cap):
    return lambda a, b: cap((a * K256) / (b + INV255))


def _dodge(lanes):
    def f(a, b):
        denom = ONE - b
        value = (cap_lanes if lanes else cap_scalar)(a / denom)
        return np.where(denom <= F0, np.where(a <= F0, F0, ONE), value)

    return f


def _burn_s(a, b):
    return np.where(b == F0, np.where(a == ONE, ONE, F0), ONE - np.fmin((ONE - a) / b, ONE))


def _burn_l(a, b):
    return np.where(b == F0, np.where(a == ONE, ONE, F0), ONE - lmin(ONE, (ONE - a) / b))


def _hard_light(cap):
    def f(a, b):
        high_term = fma32(-TWO, b - HALF, ONE)
        high = fma32(-(ONE - a), high_term, ONE)
        low = (b + b) * a
        return cap(np.where(b > HALF, high, low))

    return f


def _overlay_s(a, b):
    high = fma32(-(TWO * (ONE - a)), ONE - b, ONE)
    return np.where(HALF > a, (a + a) * b, high)


def _overlay_l(a, b):
    high = fma32(-TWO, (ONE - b) * (ONE - a), ONE)
    return np.where(a < HALF, TWO * (a * b), high)


def _soft_light_s(a, b):
    inner = _screen(a, b)
    return fma32((ONE - a) * a, b, a * inner)


def _soft_light_l(a, b):
    inner = _screen(a, b)
    return fma32(a, inner, (a * (ONE - a)) * b)


def _vivid_s(a, b):
    bl = b + b
    burned = np.where(bl == F0, np.where(a == ONE, ONE, F0), ONE - np.fmin((ONE - a) / bl, ONE))
    dl = (b - HALF) * TWO
    dodged = np.where(dl == ONE, ONE, np.fmin(a / (ONE - dl), ONE))
    return np.where(HALF > b, burned, dodged)


def _vivid_l(a, b):
    bl = b + b
    burned = np.where(bl == F0, np.where(a == ONE, ONE, F0), ONE - lmin(ONE, (ONE - a) / bl))
    dl = bl - ONE
    dodged = np.where(dl == ONE, ONE, lmin(ONE, a / (ONE - dl)))
    return np.where(b < HALF, burned, dodged)


def _pin_s(a, b):
    d = b + b
    return np.where(HALF > b, np.fmin(a, d), np.fmax(d - ONE, a))


def _pin_l(a, b):
    d = b + b
    return np.where(b < HALF, lmin(a, d), lmax(a, d - ONE))


def _u8(fn):
    return lambda a, b: fn(a, b).astype(F) * INV255


Mode = namedtuple("Mode", "scalar lanes u8 clip")

MODES = {
    "soft_light": Mode(_soft_light_s, _soft_light_l, None, False),
    "lighten_only": Mode(np.fmax, lmax, _u8(np.maximum), False),
    "screen": Mode(_screen, _screen, lambda a, b: fma32(-INV255_SQ, ((255 - a) * (255 - b)).astype(F), ONE), False),
    "dodge": Mode(_dodge(False), _dodge(True), None, False),
    "addition": Mode(np.add, np.add, _u8(np.add), True),
    "darken_only": Mode(np.fmin, lmin, _u8(np.minimum), False),
    "multiply": Mode(np.multiply, np.multiply, lambda a, b: (a * b).astype(F) * INV255_SQ, False),
    "hard_light": Mode(_hard_light(cap_scalar), _hard_light(cap_lanes), None, False),
    "difference": Mode(lambda a, b: np.abs(a - b), lambda a, b: np.abs(a - b), _u8(lambda a, b: np.abs(a - b)), False),
    # Unit scale in every form; the driver clips it like addition.
    "subtract": Mode(np.subtract, np.subtract, None, True),
    "grain_extract": Mode(
        lambda a, b: clamp01((a - b) + HALF), lambda a, b: clamp01_lanes((a - b) + HALF), None, False
    ),
    "grain_merge": Mode(lambda a, b: clamp01((a + b) - HALF), lambda a, b: clamp01_lanes((a + b) - HALF), None, False),
    "divide": Mode(_divide(cap_scalar), _divide(cap_lanes), None, False),
    "overlay": Mode(_overlay_s, _overlay_l, None, False),
    "burn": Mode(_burn_s, _burn_l, None, False),
    "linear_burn": Mode(
        lambda a, b: np.fmax((a + b) - ONE, F0),
        lambda a, b: lmax((a - ONE) + b, F0),
        lambda a, b: lmax((a + b - 255).astype(F) * INV255, F0),
        False,
    ),
    "exclusion": Mode(_exclusion_s, _exclusion_l, None, False),
    "vivid_light": Mode(_vivid_s, _vivid_l, None, False),
    "pin_light": Mode(_pin_s, _pin_l, None, False),
}
SEPARABLE = tuple(MODES)


def comp(mode, form, a, b):
    """One blend function: form is "scalar", "lanes" or "u8"."""
    with np.errstate(all="ignore"):
        if form == "u8":
            return getattr(MODES[mode], form)(np.asarray(a, np.int64), np.asarray(b, np.int64))
        return getattr(MODES[mode], form)(np.asarray(a, F), np.asarray(b, F))


# ---------------------------------------------------------------------------
# Channel access.


def read_scalar(x):
    """Stored value -> unit float by true division."""
    return np.asarray(x).astype(F) / F255


def read_vector(x):
    """Vector loads multiply by the rounded reciprocal instead."""
    return np.asarray(x).astype(F) * INV255


def write_scalar(u, to_u8):
    """Scalar write: clamp, then round half away from zero; NaN stores 0."""
    s = np.asarray(u, F) * F255
    if not to_u8:
        return s
    s = np.where(s < F0, F0, np.where(F255 < s, F255, s)).astype(np.float64)
    r = np.floor(s + 0.5)  # exact in float64, s >= 0
    return np.where(np.isnan(r), 0, r).astype(np.uint8)


def write_vector(u, to_u8):
    """Vector store: clamp as float (NaN -> 0) and round half to even."""
    s = np.asarray(u, F) * F255
    if not to_u8:
        return s
    return np.rint(lmin(lmax(s, F0), F255)).astype(np.uint8)


def _native(a):
    a = np.asarray(a)
    return a if a.dtype.isnative else a.astype(a.dtype.newbyteorder("="))


def buffer_aligned(a):
    """Whether the module sees this input 16-byte aligned.

    A C-contiguous, aligned, native array is used in place; anything else is
    copied by NumPy into a fresh (aligned) buffer.
    """
    a = np.asarray(a)
    if a.flags.c_contiguous and a.flags.aligned and a.dtype.isnative:
        return a.ctypes.data % 16 == 0
    return True


# ---------------------------------------------------------------------------
# Stage plans.


def separable_plan(bg_u8, fg_u8, cb, cf, pixels, kernel, aligned=True):
    """("flat", elements done by vector loops) or ("pixel", pixels done by vector stages)."""
    kernel = results_of(kernel)
    if kernel not in VECTOR_KERNELS:
        return ("pixel", 0)
    if cb == 3 and cf == 3:
        n = 3 * pixels
        if bg_u8 and fg_u8:
            step = 16 if aligned and n >= 16 else 0
        elif not bg_u8 and not fg_u8:
            step = 8 if kernel == "avx2" and n >= 8 else 4 if n >= 4 else 0
        else:
            step = 16 if kernel == "avx2" and n >= 16 else 0
        if step:
            return ("flat", n // step * step)
    return ("pixel", pixels // 4 * 4)


def normal_plan(pixels, kernel):
    """Pixels done by the vector stages (8-pixel steps, then at most one 4-pixel step)."""
    kernel = results_of(kernel)
    return pixels // 4 * 4 if kernel in VECTOR_KERNELS else 0


# ---------------------------------------------------------------------------
# Separable driver.


def _flat(m, b, f, op, vector, u8u8, to_u8):
    rd = read_vector if vector else read_scalar
    a = rd(b)
    if vector and u8u8 and m.u8 is not None:
        c = m.u8(b.astype(np.int64), f.astype(np.int64))
    else:
        c = (m.lanes if vector else m.scalar)(a, rd(f))
    out = fma32(c, op, (ONE - op) * a)
    if m.clip:
        out = (clamp01_lanes if vector else clamp01)(out)
    return (write_vector if vector else write_scalar)(out, to_u8)


def _ratio_pixels(m, b, f, op, vector, u8u8, to_u8, out):
    rd = read_vector if vector else read_scalar
    n = len(b)
    in_a = rd(b[:, 3]) if b.shape[1] == 4 else np.full(n, ONE)
    layer_a = rd(f[:, 3]) if f.shape[1] == 4 else np.full(n, ONE)
    comp_alpha = (lmin if vector else np.fmin)(in_a, layer_a) * op
    new_alpha = fma32(comp_alpha, ONE - in_a, in_a)
    ratio = np.where(new_alpha > F0, comp_alpha / new_alpha, F0)
    keep = ONE - ratio
    for c in range(3):
        in_c = rd(b[:, c])
        if vector and u8u8 and m.u8 is not None:
            cv = m.u8(b[:, c].astype(np.int64), f[:, c].astype(np.int64))
        else:
            cv = (m.lanes if vector else m.scalar)(in_c, rd(f[:, c]))
        o = fma32(cv, ratio, keep * in_c)
        if m.clip:
            o = (clamp01_lanes if vector else clamp01)(o)
        out[:, c] = (write_vector if vector else write_scalar)(o, to_u8)
    if b.shape[1] == 4:
        out[:, 3] = (write_vector if vector else write_scalar)(new_alpha, to_u8)


def separable(mode, bg, fg, opacity=1.0, kernel="scalar", aligned=None):
    """Model of a separable blend call on the given kernel.

    aligned: whether the 8-bit flat stage may run; None derives it from the
    input arrays (the output is taken as aligned).
    """
    m = MODES[mode]
    if aligned is None:
        aligned = buffer_aligned(bg) and buffer_aligned(fg)
    bg, fg = _native(bg), _native(fg)
    op = F(opacity)
    if op <= F0:
        return bg.copy()
    h, w, cb = bg.shape
    cf = fg.shape[2]
    pixels = h * w
    b, f = bg.reshape(pixels, cb), fg.reshape(pixels, cf)
    bu, fu = bg.dtype == np.uint8, fg.dtype == np.uint8
    out = np.empty((pixels, cb), bg.dtype)
    kind, n = separable_plan(bu, fu, cb, cf, pixels, kernel, aligned)
    with np.errstate(all="ignore"):
        if kind == "flat":
            be, fe, oe = b.reshape(-1), f.reshape(-1), out.reshape(-1)
            oe[:n] = _flat(m, be[:n], fe[:n], op, True, bu and fu, bu)
            oe[n:] = _flat(m, be[n:], fe[n:], op, False, bu and fu, bu)
        else:
            _ratio_pixels(m, b[:n], f[:n], op, True, bu and fu, bu, out[:n])
            _ratio_pixels(m, b[n:], f[n:], op, False, bu and fu, bu, out[n:])
    return out.reshape(h, w, cb)


# ---------------------------------------------------------------------------
# Normal driver.


def lround_weight(opacity):
    """Integer-path weight: lroundf(opacity * 255) clamped to 0..255; NaN gives 0."""
    s = F(opacity) * F255
    if np.isnan(s):
        return 0
    r = np.floor(abs(float(s)) + 0.5) * (1 if s >= 0 else -1)
    return int(min(max(r, 0), 255))


def normal_int(in_u, layer_u, weight):
    """(in*(255-w) + layer*w) / 255 rounded, by the shift-and-add trick."""
    t = np.asarray(in_u, np.int64) * (255 - weight) + np.asarray(layer_u, np.int64) * weight + 128
    return ((t + (t >> 8)) >> 8).astype(np.uint8)


def _normal_pixels(b, f, op, vector, to_u8, out):
    rd = read_vector if vector else read_scalar
    n = len(b)
    in_a = rd(b[:, 3]) if b.shape[1] == 4 else np.full(n, ONE)
    layer_a = rd(f[:, 3]) if f.shape[1] == 4 else np.full(n, ONE)
    lo = layer_a * op
    keep = ONE - lo
    denom = fma32(in_a, keep, lo)
    for c in range(3):
        in_c, layer_c = rd(b[:, c]), rd(f[:, c])
        if vector:  # in_c * (in_a * keep), fused with the rounded layer term
            num = fma32(in_c, in_a * keep, layer_c * lo)
        else:  # (in_c * in_a) * keep, with layer_c * lo fused in
            num = fma32(layer_c, lo, (in_c * in_a) * keep)
        o = np.where(denom > F0, num / denom, F0)
        out[:, c] = (write_vector if vector else write_scalar)(o, to_u8)
    if b.shape[1] == 4:
        out[:, 3] = (write_vector if vector else write_scalar)(denom, to_u8)


def normal(bg, fg, opacity=1.0, kernel="scalar"):
    """Model of `normal` on the given kernel."""
    bg, fg = _native(bg), _native(fg)
    op = F(opacity)
    if op <= F0:
        return bg.copy()
    h, w, cb = bg.shape
    cf = fg.shape[2]
    pixels = h * w
    b, f = bg.reshape(pixels, cb), fg.reshape(pixels, cf)
    bu, fu = bg.dtype == np.uint8, fg.dtype == np.uint8
    out = np.empty((pixels, cb), bg.dtype)
    with np.errstate(all="ignore"):
        if op >= ONE and cf == 3:  # foreground shortcut: opaque copy
            if bu == fu:
                out[:, :3] = f
            elif bu:
                out[:, :3] = write_scalar(read_scalar(f), True)
            else:
                out[:, :3] = write_scalar(read_scalar(f), False)
            if cb == 4:
                out[:, 3] = 255
            return out.reshape(h, w, cb)
        n = normal_plan(pixels, kernel)
        if bu and fu and cb == 3 and cf == 3:
            out[:n] = normal_int(b[:n], f[:n], lround_weight(op))
        else:
            _normal_pixels(b[:n], f[:n], op, True, bu, out[:n])
        _normal_pixels(b[n:], f[n:], op, False, bu, out[n:])
    return out.reshape(h, w, cb)


def blend(mode, bg, fg, opacity=1.0, kernel="scalar", aligned=None):
    """Dispatch to the model of `normal` or of a separable mode."""
    if mode == "normal":
        return normal(bg, fg, opacity, kernel)
    return separable(mode, bg, fg, opacity, kernel, aligned)
