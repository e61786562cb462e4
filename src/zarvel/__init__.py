"""Zarvel: layer compositing with an editor's blend modes on NumPy images.

Every blend function takes ``(background, foreground[, opacity[, kernel]])``:
two images of shape (height, width, 3 or 4), ``uint8`` or ``float32`` on a
0..255 scale, an opacity (default 1.0, not clamped) and a compute kernel. The
result is a new array with the background's channel count and element type.
"""

from __future__ import annotations

import enum

from _zarvel import (
    addition,
    burn,
    darken_only,
    difference,
    divide,
    dodge,
    exclusion,
    grain_extract,
    grain_merge,
    hard_light,
    kernel_available,
    lighten_only,
    linear_burn,
    multiply,
    normal,
    overlay,
    pin_light,
    screen,
    soft_light,
    subtract,
    vivid_light,
)


class KernelKind(str, enum.Enum):
    """The compute kernel of a blend call ("auto" picks the widest available)."""

    AUTO = "auto"
    SCALAR = "scalar"
    SSE42 = "sse42"
    AVX2 = "avx2"

    def __str__(self) -> str:
        return self.value


SEPARABLE_MODES = (
    "soft_light", "lighten_only", "screen", "dodge", "addition", "darken_only", "multiply",
    "hard_light", "difference", "subtract", "grain_extract", "grain_merge", "divide", "overlay",
    "burn", "linear_burn", "exclusion", "vivid_light", "pin_light",
)
MODES = ("normal",) + SEPARABLE_MODES

__all__ = ["KernelKind", "MODES", "SEPARABLE_MODES", "kernel_available", *MODES]
