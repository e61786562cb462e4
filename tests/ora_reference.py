"""A float64 model of the svg: composite-ops for the OpenRaster tests: the W3C Compositing and
Blending Level 1 blend modes and Porter-Duff operators, and the published Photoshop formulas,
on straight-alpha 0..1 values, with source-over compositing and opacity scaling the source alpha.

It lets the OpenRaster tests measure an editor's images against the published formulas, and
check the reader's layer tree handling, whether or not the engine of this build has the svg:
family. ``compositor`` has the signature zarvel.ora.flatten takes.
"""

from __future__ import annotations

import numpy as np


def _dodge(cb, cs):
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(cb == 0, 0.0, np.where(cs >= 1, 1.0, np.minimum(1.0, cb / (1 - cs))))


def _burn(cb, cs):
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(cb >= 1, 1.0, np.where(cs <= 0, 0.0, 1 - np.minimum(1.0, (1 - cb) / cs)))


def _hard_light(cb, cs):
    return np.where(cs <= 0.5, cb * 2 * cs, cb + (2 * cs - 1) - cb * (2 * cs - 1))


def _soft_light(cb, cs):
    d = np.where(cb <= 0.25, ((16 * cb - 12) * cb + 4) * cb, np.sqrt(cb))
    return np.where(cs <= 0.5, cb - (1 - 2 * cs) * cb * (1 - cb), cb + (2 * cs - 1) * (d - cb))


def _lum(c):
    return 0.3 * c[..., 0] + 0.59 * c[..., 1] + 0.11 * c[..., 2]


def _clip_color(c):
    lum = _lum(c)[..., None]
    n = c.min(axis=-1, keepdims=True)
    x = c.max(axis=-1, keepdims=True)
    with np.errstate(divide="ignore", invalid="ignore"):
        c = np.where(n < 0, lum + (c - lum) * lum / (lum - n), c)
        c = np.where(x > 1, lum + (c - lum) * (1 - lum) / (x - lum), c)
    return c


def _set_lum(c, lum):
    return _clip_color(c + (lum - _lum(c))[..., None])


def _sat(c):
    return c.max(axis=-1) - c.min(axis=-1)


def _set_sat(c, s):
    n = c.min(axis=-1, keepdims=True)
    x = c.max(axis=-1, keepdims=True)
    with np.errstate(divide="ignore", invalid="ignore"):
        scaled = (c - n) * s[..., None] / (x - n)
    return np.where(x > n, scaled, 0.0)


SEPARABLE = {
    "svg:normal": lambda cb, cs: cs,
    "svg:src-over": lambda cb, cs: cs,
    "svg:multiply": lambda cb, cs: cb * cs,
    "svg:screen": lambda cb, cs: cb + cs - cb * cs,
    "svg:overlay": lambda cb, cs: _hard_light(cs, cb),
    "svg:darken": np.minimum,
    "svg:lighten": np.maximum,
    "svg:color-dodge": _dodge,
    "svg:color-burn": _burn,
    "svg:hard-light": _hard_light,
    "svg:soft-light": _soft_light,
    "svg:difference": lambda cb, cs: np.abs(cb - cs),
    "svg:exclusion": lambda cb, cs: cb + cs - 2 * cb * cs,
    "svg:linear-dodge": lambda cb, cs: np.minimum(1.0, cb + cs),
    "svg:linear-burn": lambda cb, cs: np.maximum(0.0, cb + cs - 1),
    "svg:vivid-light": lambda cb, cs: np.where(cs <= 0.5, _burn(cb, 2 * cs), _dodge(cb, 2 * cs - 1)),
    "svg:linear-light": lambda cb, cs: np.clip(cb + 2 * cs - 1, 0, 1),
    "svg:pin-light": lambda cb, cs: np.where(cs <= 0.5, np.minimum(cb, 2 * cs), np.maximum(cb, 2 * cs - 1)),
    "svg:hard-mix": lambda cb, cs: np.where(cb + cs >= 1, 1.0, 0.0),
    "svg:subtract": lambda cb, cs: np.maximum(0.0, cb - cs),
    "svg:divide": lambda cb, cs: np.where(
        cs > 0, np.minimum(1.0, cb / np.where(cs > 0, cs, 1)), np.where(cb > 0, 1, 0)
    ),
}

NON_SEPARABLE = {
    "svg:hue": lambda cb, cs: _set_lum(_set_sat(cs, _sat(cb)), _lum(cb)),
    "svg:saturation": lambda cb, cs: _set_lum(_set_sat(cb, _sat(cs)), _lum(cb)),
    "svg:color": lambda cb, cs: _set_lum(cs, _lum(cb)),
    "svg:luminosity": lambda cb, cs: _set_lum(cb, _lum(cs)),
    "svg:darker-color": lambda cb, cs: np.where((_lum(cs) < _lum(cb))[..., None], cs, cb),
    "svg:lighter-color": lambda cb, cs: np.where((_lum(cs) > _lum(cb))[..., None], cs, cb),
}

# Porter-Duff: (Fa, Fb) as functions of (as, ab).
PORTER_DUFF = {
    "svg:clear": (lambda a, b: 0 * a, lambda a, b: 0 * a),
    "svg:src": (lambda a, b: 1 + 0 * a, lambda a, b: 0 * a),
    "svg:dst": (lambda a, b: 0 * a, lambda a, b: 1 + 0 * a),
    "svg:dst-over": (lambda a, b: 1 - b, lambda a, b: 1 + 0 * a),
    "svg:src-in": (lambda a, b: b, lambda a, b: 0 * a),
    "svg:dst-in": (lambda a, b: 0 * a, lambda a, b: a),
    "svg:src-out": (lambda a, b: 1 - b, lambda a, b: 0 * a),
    "svg:dst-out": (lambda a, b: 0 * a, lambda a, b: 1 - a),
    "svg:src-atop": (lambda a, b: b, lambda a, b: 1 - a),
    "svg:dst-atop": (lambda a, b: 1 - b, lambda a, b: a),
    "svg:xor": (lambda a, b: 1 - b, lambda a, b: 1 - a),
    "svg:plus": (lambda a, b: 1 + 0 * a, lambda a, b: 1 + 0 * a),
}

MODES = tuple(SEPARABLE) + tuple(NON_SEPARABLE) + tuple(PORTER_DUFF)


def composite(mode, cb, ab, cs, as_, opacity=1.0):
    """(co, ao): straight colour and alpha of source (cs, as_) over backdrop (cb, ab), float64 0..1;
    colours ... x 3, alphas ... ."""
    as_ = as_ * opacity
    a, b = as_[..., None], ab[..., None]
    if mode in PORTER_DUFF:
        fa, fb = PORTER_DUFF[mode]
        premultiplied = a * fa(a, b) * cs + b * fb(a, b) * cb
        ao = as_ * fa(as_, ab) + ab * fb(as_, ab)
        if mode == "svg:plus":
            premultiplied, ao = np.minimum(premultiplied, 1), np.minimum(ao, 1)
    else:
        blended = SEPARABLE[mode](cb, cs) if mode in SEPARABLE else NON_SEPARABLE[mode](cb, cs)
        premultiplied = a * (1 - b) * cs + b * (1 - a) * cb + a * b * blended
        ao = as_ + ab * (1 - as_)
    with np.errstate(divide="ignore", invalid="ignore"):
        co = np.where(ao[..., None] > 0, premultiplied / ao[..., None], 0.0)
    return np.clip(co, 0, 1), np.clip(ao, 0, 1)


def _unit(image):
    if image.dtype == np.uint8:
        return image.astype(np.float64) / 255
    if image.dtype == np.uint16:
        return image.astype(np.float64) / 65535
    return image.astype(np.float64)


def compositor(canvas, layers):
    """zarvel.ora.flatten's compositor: each layer onto the canvas inside its rectangle (clipped)."""
    out = canvas.astype(np.float64)
    height, width = out.shape[:2]
    for image, op, opacity, (y, x) in layers:
        source = _unit(image)
        top, left = max(y, 0), max(x, 0)
        bottom, right = min(y + source.shape[0], height), min(x + source.shape[1], width)
        if bottom <= top or right <= left or opacity <= 0:
            continue
        s = source[top - y : bottom - y, left - x : right - x]
        d = out[top:bottom, left:right]
        co, ao = composite(op, d[..., :3], d[..., 3], s[..., :3], s[..., 3], opacity)
        d[..., :3], d[..., 3] = co, ao
    return out.astype(canvas.dtype)
