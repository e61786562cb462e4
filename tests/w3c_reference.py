"""A float64 model of the W3C family, in plain NumPy, written from W3C Compositing
and Blending Level 1 (the blend functions B(Cb, Cs), Lum/ClipColor/SetLum/Sat/
SetSat, source-over and the Porter-Duff Fa/Fb table) and the published Photoshop
formulas.

Every array is straight-alpha float64 on 0..1: ``cb``, ``cs`` are ... x 3 colours,
``ab``, ``as_`` their alphas (shape ``...``). :func:`composite` gives the straight
result colour and alpha, as the kernels compute them before they store them.
"""

from __future__ import annotations

from typing import Callable, Dict, Tuple

import numpy as np

# ---- separable blend functions B(cb, cs) -----------------------------------------


def _multiply(cb, cs):
    return cb * cs


def _screen(cb, cs):
    return cb + cs - cb * cs


def _hard_light(cb, cs):
    return np.where(cs <= 0.5, _multiply(cb, 2 * cs), _screen(cb, 2 * cs - 1))


def _color_dodge(cb, cs):
    with np.errstate(divide="ignore", invalid="ignore"):
        q = np.minimum(1.0, cb / (1 - cs))
    return np.where(cb == 0, 0.0, np.where(cs == 1, 1.0, q))


def _color_burn(cb, cs):
    with np.errstate(divide="ignore", invalid="ignore"):
        q = 1 - np.minimum(1.0, (1 - cb) / cs)
    return np.where(cb == 1, 1.0, np.where(cs == 0, 0.0, q))


def _soft_light(cb, cs):
    d = np.where(cb <= 0.25, ((16 * cb - 12) * cb + 4) * cb, np.sqrt(cb))
    return np.where(cs <= 0.5, cb - (1 - 2 * cs) * cb * (1 - cb), cb + (2 * cs - 1) * (d - cb))


def _vivid_light(cb, cs):
    return np.where(cs <= 0.5, _color_burn(cb, 2 * cs), _color_dodge(cb, 2 * cs - 1))


def _divide(cb, cs):
    with np.errstate(divide="ignore", invalid="ignore"):
        q = np.minimum(1.0, cb / cs)
    return np.where(cb == 0, 0.0, np.where(cs == 0, 1.0, q))


# hard-mix's threshold: half an 8-bit step below 1, so that 8-bit pairs that sum to
# 255 give 1 whatever the rounding of their sum.
HARD_MIX_THRESHOLD = 1 - 0.5 / 255

SEPARABLE: Dict[str, Callable[[np.ndarray, np.ndarray], np.ndarray]] = {
    "svg:normal": lambda cb, cs: cs,
    "svg:multiply": _multiply,
    "svg:screen": _screen,
    "svg:overlay": lambda cb, cs: _hard_light(cs, cb),
    "svg:darken": np.minimum,
    "svg:lighten": np.maximum,
    "svg:color-dodge": _color_dodge,
    "svg:color-burn": _color_burn,
    "svg:hard-light": _hard_light,
    "svg:soft-light": _soft_light,
    "svg:difference": lambda cb, cs: np.abs(cb - cs),
    "svg:exclusion": lambda cb, cs: cb + cs - 2 * cb * cs,
    "svg:linear-dodge": lambda cb, cs: np.minimum(cb + cs, 1.0),
    "svg:linear-burn": lambda cb, cs: np.maximum(cb + cs - 1, 0.0),
    "svg:vivid-light": _vivid_light,
    "svg:linear-light": lambda cb, cs: np.clip(cb + 2 * cs - 1, 0.0, 1.0),
    "svg:pin-light": lambda cb, cs: np.where(cs <= 0.5, np.minimum(cb, 2 * cs), np.maximum(cb, 2 * cs - 1)),
    "svg:hard-mix": lambda cb, cs: np.where(cb + cs >= HARD_MIX_THRESHOLD, 1.0, 0.0),
    "svg:subtract": lambda cb, cs: np.maximum(cb - cs, 0.0),
    "svg:divide": _divide,
}

# ---- non-separable: whole colours ---------------------------------------------------


def lum(c):
    return 0.3 * c[..., 0] + 0.59 * c[..., 1] + 0.11 * c[..., 2]


def _clip_color(c):
    l_ = lum(c)[..., None]
    n = c.min(axis=-1, keepdims=True)
    x = c.max(axis=-1, keepdims=True)
    with np.errstate(divide="ignore", invalid="ignore"):
        c = np.where(n < 0, l_ + (c - l_) * l_ / (l_ - n), c)
        c = np.where(x > 1, l_ + (c - l_) * (1 - l_) / (x - l_), c)
    return c


def _set_lum(c, l_):
    return _clip_color(c + (l_ - lum(c))[..., None])


def _sat(c):
    return c.max(axis=-1) - c.min(axis=-1)


def _set_sat(c, s):
    lo = c.min(axis=-1, keepdims=True)
    hi = c.max(axis=-1, keepdims=True)
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(hi > lo, (c - lo) * s[..., None] / (hi - lo), 0.0)


WHOLE: Dict[str, Callable[[np.ndarray, np.ndarray], np.ndarray]] = {
    "svg:hue": lambda cb, cs: _set_lum(_set_sat(cs, _sat(cb)), lum(cb)),
    "svg:saturation": lambda cb, cs: _set_lum(_set_sat(cb, _sat(cs)), lum(cb)),
    "svg:color": lambda cb, cs: _set_lum(cs, lum(cb)),
    "svg:luminosity": lambda cb, cs: _set_lum(cb, lum(cs)),
    "svg:darker-color": lambda cb, cs: np.where((lum(cs) < lum(cb))[..., None], cs, cb),
    "svg:lighter-color": lambda cb, cs: np.where((lum(cs) > lum(cb))[..., None], cs, cb),
}

# ---- Porter-Duff: (Fa, Fb) as functions of (as, ab) --------------------------------

PORTER_DUFF: Dict[str, Tuple[Callable, Callable]] = {
    "svg:clear": (lambda a_s, a_b: 0.0, lambda a_s, a_b: 0.0),
    "svg:src": (lambda a_s, a_b: 1.0, lambda a_s, a_b: 0.0),
    "svg:dst": (lambda a_s, a_b: 0.0, lambda a_s, a_b: 1.0),
    "svg:src-over": (lambda a_s, a_b: 1.0, lambda a_s, a_b: 1 - a_s),
    "svg:dst-over": (lambda a_s, a_b: 1 - a_b, lambda a_s, a_b: 1.0),
    "svg:src-in": (lambda a_s, a_b: a_b, lambda a_s, a_b: 0.0),
    "svg:dst-in": (lambda a_s, a_b: 0.0, lambda a_s, a_b: a_s),
    "svg:src-out": (lambda a_s, a_b: 1 - a_b, lambda a_s, a_b: 0.0),
    "svg:dst-out": (lambda a_s, a_b: 0.0, lambda a_s, a_b: 1 - a_s),
    "svg:src-atop": (lambda a_s, a_b: a_b, lambda a_s, a_b: 1 - a_s),
    "svg:dst-atop": (lambda a_s, a_b: 1 - a_b, lambda a_s, a_b: a_s),
    "svg:xor": (lambda a_s, a_b: 1 - a_b, lambda a_s, a_b: 1 - a_s),
}

MODES = tuple(SEPARABLE) + tuple(WHOLE) + tuple(PORTER_DUFF) + ("svg:plus",)

# ---- sRGB (IEC 61966-2-1) ------------------------------------------------------------


def srgb_to_linear(c):
    c = np.asarray(c, np.float64)
    return np.where(c <= 0.04045, c / 12.92, ((np.maximum(c, 0.04045) + 0.055) / 1.055) ** 2.4)


def linear_to_srgb(c):
    c = np.asarray(c, np.float64)
    return np.where(c <= 0.0031308, 12.92 * c, 1.055 * np.maximum(c, 0.0031308) ** (1 / 2.4) - 0.055)


# ---- compositing ---------------------------------------------------------------------


def composite(mode, cb, ab, cs, as_, opacity=1.0, linear=False):
    """(co, ao): the straight colour and alpha of ``cs``/``as_`` laid over
    ``cb``/``ab`` with ``mode``; opacity scales the source alpha (clamped to 0..1).
    Inputs are clamped to 0..1 first; with ``linear`` the colours are decoded from
    sRGB, composited and the result encoded back."""
    cb = np.clip(np.asarray(cb, np.float64), 0, 1)
    cs = np.clip(np.asarray(cs, np.float64), 0, 1)
    ab = np.clip(np.asarray(ab, np.float64), 0, 1)
    a_s = np.clip(np.clip(np.asarray(as_, np.float64), 0, 1) * opacity, 0, 1)
    if linear:
        cb, cs = srgb_to_linear(cb), srgb_to_linear(cs)
    A_s, A_b = a_s[..., None], ab[..., None]
    if mode in PORTER_DUFF:
        fa, fb = PORTER_DUFF[mode]
        fa_v = np.broadcast_to(np.asarray(fa(a_s, ab), np.float64), a_s.shape)
        fb_v = np.broadcast_to(np.asarray(fb(a_s, ab), np.float64), a_s.shape)
        co = A_s * fa_v[..., None] * cs + A_b * fb_v[..., None] * cb
        ao = a_s * fa_v + ab * fb_v
    elif mode == "svg:plus":
        co = np.minimum(A_s * cs + A_b * cb, 1.0)
        ao = np.minimum(a_s + ab, 1.0)
    else:
        b = SEPARABLE[mode](cb, cs) if mode in SEPARABLE else WHOLE[mode](cb, cs)
        co = A_s * (1 - A_b) * cs + A_b * (1 - A_s) * cb + A_s * A_b * b
        ao = a_s + ab * (1 - a_s)
    with np.errstate(divide="ignore", invalid="ignore"):
        out = np.where(ao[..., None] > 0, co / ao[..., None], 0.0)
    out = np.clip(out, 0, 1)
    if linear:
        out = linear_to_srgb(out)
    return out, ao
