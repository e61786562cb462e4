"""The W3C family: the blend modes and Porter-Duff operators of W3C Compositing and
Blending Level 1 and the Photoshop-family modes, by their CSS spellings.

The canonical names are the OpenRaster ``composite-op`` names, ``"svg:multiply"``,
``"svg:src-in"`` ... (:data:`MODES`); :func:`zarvel.blend`, :func:`zarvel.composite`,
:class:`zarvel.Layer`, :mod:`zarvel.dask` and :mod:`zarvel.xarray` take them wherever
they take a mode. :func:`canonical` maps the CSS ``mix-blend-mode`` and compositing
operator spellings (``"color-dodge"``, ``"plus-lighter"``, ``"copy"``,
``"destination-in"``), the ORA names and the bare names (``"src-atop"``,
``"linear-light"``) to canonical ones; :func:`blend` and :func:`composite` here take
any of them (a bare ``"multiply"`` is this family's here and the editor mode at the
top level). Formulas and compositing: docs/w3c.md.
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, Optional, Tuple

import numpy as np

from . import _compose
from ._arguments import Layer
from ._registry import W3C_CSS, W3C_GALLERY_GROUPS, W3C_KINDS, W3C_MODES

#: The canonical names, in the family's order.
MODES: Tuple[str, ...] = W3C_MODES
#: Each mode's kind: "separable", "whole" (whole colours by Lum) or "porter_duff".
KINDS: Dict[str, str] = dict(W3C_KINDS)
#: The CSS spelling of each mode that has one.
CSS_NAMES: Dict[str, str] = dict(W3C_CSS)
#: The gallery sheet's rows: (heading, what the modes are for, the modes).
GALLERY_GROUPS = W3C_GALLERY_GROUPS

_ALIASES: Dict[str, str] = {}
for _name in MODES:
    _ALIASES[_name] = _name
    _ALIASES[_name[len("svg:") :]] = _name
for _name, _css in CSS_NAMES.items():
    _ALIASES[_css] = _name
_ALIASES["lighter"] = "svg:plus"  # the canvas spelling of plus-lighter
_ALIASES["source"] = "svg:src"
_ALIASES["plus"] = "svg:plus"


def canonical(name: str) -> str:
    """The canonical "svg:" name of a mode given by its canonical, CSS or bare name
    (case-insensitive); ValueError naming the choices for anything else."""
    key = name.strip().lower() if isinstance(name, str) else None
    if key is None or key not in _ALIASES:
        raise ValueError(f"unknown W3C mode {name!r}; the modes are: {', '.join(MODES)}")
    return _ALIASES[key]


def blend(background, foreground, mode: str = "normal", opacity: float = 1.0, **options: Any):
    """:func:`zarvel.blend` with ``mode`` given by any spelling :func:`canonical` takes."""
    return _compose.blend(background, foreground, canonical(mode), opacity, **options)


def composite(
    background,
    layers: Iterable[Layer],
    *,
    out: Optional[np.ndarray] = None,
    threads: Optional[int] = None,
    kernel: str = "auto",
    scale: float = 255.0,
    premultiplied: bool = False,
):
    """:func:`zarvel.composite` with each layer's mode given by any spelling
    :func:`canonical` takes."""
    renamed = []
    for i, layer in enumerate(layers):
        if not isinstance(layer, Layer):
            raise TypeError(f"layers[{i}] must be a zarvel.Layer, got {type(layer).__name__}")
        renamed.append(
            Layer(
                layer.image,
                canonical(layer.mode),
                layer.opacity,
                mask=layer.mask,
                offset=layer.offset,
                linear=layer.linear,
            )
        )
    return _compose.composite(
        background, renamed, out=out, threads=threads, kernel=kernel, scale=scale, premultiplied=premultiplied
    )


__all__ = ["CSS_NAMES", "GALLERY_GROUPS", "KINDS", "MODES", "blend", "canonical", "composite"]
