"""The modes and kernels of this build, as the native lists give them.

The C++ sources hold the one list of modes (``ZV_MODES`` in
``src/kernels/modes.hpp``: name, kind, gallery group and place) and the one
list of kernels (``ZV_KERNELS`` in ``src/kernels/image_view.hpp``);
``zarvel._engine`` exports both, and the W3C family (``ZV_W3C_MODES`` in
``src/kernels/w3c_modes.hpp``: canonical name, CSS spelling, kind and gallery
row). Everything in the package that names modes or
kernels derives from the tuples here.
"""

from __future__ import annotations

from typing import Dict, Tuple

from . import _engine

_MODE_ROWS: Tuple[Tuple[str, str, str, int], ...] = tuple(_engine.modes())
_KERNEL_ROWS: Tuple[Tuple[str, int, bool, str], ...] = tuple(_engine.kernels())

# The modes in the order of the module's functions, and by kind.
MODES: Tuple[str, ...] = tuple(name for name, _, _, _ in _MODE_ROWS)
MODE_KINDS: Dict[str, str] = {name: kind for name, kind, _, _ in _MODE_ROWS}
SEPARABLE_MODES: Tuple[str, ...] = tuple(name for name in MODES if MODE_KINDS[name] == "separable")
COLOUR_MODES: Tuple[str, ...] = tuple(name for name in MODES if MODE_KINDS[name] == "colour")

# The W3C family: canonical "svg:" names (the OpenRaster composite-op names) in
# the list's order, each one's CSS spelling ("" where CSS has none) and kind
# ("separable", "whole" or "porter_duff"), and the gallery sheet's rows.
_W3C_ROWS: Tuple[Tuple[str, str, str, int], ...] = tuple(_engine.w3c_modes())
W3C_MODES: Tuple[str, ...] = tuple(name for name, _, _, _ in _W3C_ROWS)
W3C_CSS: Dict[str, str] = {name: css for name, css, _, _ in _W3C_ROWS if css}
W3C_KINDS: Dict[str, str] = {name: kind for name, _, kind, _ in _W3C_ROWS}
W3C_GALLERY_GROUPS: Tuple[Tuple[str, str, Tuple[str, ...]], ...] = tuple(
    (heading, text, tuple(name for name, _, _, r in _W3C_ROWS if r == row)) for row, heading, text in _engine.w3c_rows()
)

# The gallery's rows: (heading, what the modes are for, the modes in their places).
GALLERY_GROUPS: Tuple[Tuple[str, str, Tuple[str, ...]], ...] = tuple(
    (heading, text, tuple(name for _, name in sorted((place, name) for name, _, g, place in _MODE_ROWS if g == group)))
    for group, heading, text in _engine.mode_groups()
)

# The kernels, "auto" (the widest this processor runs) first; the names the
# _zarvel module's functions know; pixels per widest step; and for each kernel
# the kernel whose results it gives bit for bit.
KERNELS: Tuple[str, ...] = tuple(name for name, _, _, _ in _KERNEL_ROWS)
KERNEL_NAMES: Tuple[str, ...] = ("auto", *KERNELS)
MODULE_KERNEL_NAMES: Tuple[str, ...] = ("auto", *(name for name, _, known, _ in _KERNEL_ROWS if known))
KERNEL_PIXELS: Dict[str, int] = {name: pixels for name, pixels, _, _ in _KERNEL_ROWS}
RESULTS_OF: Dict[str, str] = {name: twin for name, _, _, twin in _KERNEL_ROWS}

# No kernel's stage straddles a multiple of this pixel index: work split at
# multiples of it gives the results of one call.
PIXEL_GROUP: int = _engine.PIXEL_GROUP
