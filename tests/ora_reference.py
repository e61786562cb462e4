"""The float64 model of the svg: family (w3c_reference) as a compositor of the signature
zarvel.ora.flatten takes: each layer onto the canvas inside its rectangle, clipped.

It lets the OpenRaster tests check the reader's handling of the layer tree, and measure an
editor's images, against the published formulas rather than against the engine.
"""

from __future__ import annotations

import numpy as np

from w3c_reference import composite


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
