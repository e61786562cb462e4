"""Zarvel: layer compositing with an editor's blend modes on NumPy images.

Every blend function takes ``(background, foreground[, opacity[, kernel]])``:
two images of shape (height, width, 3 or 4), ``uint8`` or ``float32`` on a
0..255 scale, an opacity (default 1.0, not clamped) and a compute kernel. The
result is a new array with the background's channel count and element type.

The kernels agree to the last bit or to one step of 8-bit rounding, with three
exceptions:

- a non-finite opacity (NaN, infinity, or a float beyond single precision such
  as 1e39) gives different results on the scalar and vector kernels;
- ``lch_hue`` over an exact grey foreground and ``lch_chroma`` over an exact
  grey background take the hue from rounding residues, which differ between
  the kernels (by up to 255 levels);
- an unknown kernel name (``"AVX2"``, ``"avx512"``) runs the automatic choice,
  and a lone string third argument is a kernel name: ``multiply(bg, fg, "0.5")``
  runs at opacity 1.
"""

from __future__ import annotations

import enum

import _zarvel
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
    hsl_color,
    hsv_hue,
    hsv_saturation,
    hsv_value,
    lch_chroma,
    lch_color,
    lch_hue,
    lch_lightness,
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
    """The compute kernel of a blend call ("auto" picks the widest available).

    The blend functions accept any string as a kernel and run an unknown name
    (for example "AVX2") with the automatic choice; a member of this enum
    cannot be misspelt.
    """

    AUTO = "auto"
    SCALAR = "scalar"
    SSE42 = "sse42"
    AVX2 = "avx2"
    AVX512 = "avx512"
    NEON = "neon"

    def __str__(self) -> str:
        return self.value


from ._compose import Layer, blend, composite
from . import _engine


def kernel_available(name: str, /) -> bool:
    """Whether the named kernel runs on this processor: "auto", "scalar", "sse42",
    "avx2", "avx512" (x86-64 with AVX-512) or "neon" (aarch64); ValueError for
    any other name.

    The module-level blend functions know the first four names only and run
    "avx512" and "neon" as the automatic choice, which is the widest kernel
    this processor runs; zarvel.blend and zarvel.composite take all six.
    "avx512" gives the results of "avx2" bit for bit, 16 pixels at a time.
    """
    if name in ("avx512", "neon"):
        return _engine.kernel_available(name)
    return _zarvel.kernel_available(name)


# The modes in the order of the module's functions, with their kinds, as the
# native mode list gives them.
MODES = tuple(name for name, _ in _engine.modes())
SEPARABLE_MODES = tuple(name for name, kind in _engine.modes() if kind == "separable")
COLOUR_MODES = tuple(name for name, kind in _engine.modes() if kind == "colour")

__all__ = ["COLOUR_MODES", "KernelKind", "Layer", "MODES", "SEPARABLE_MODES", "blend", "composite",
           "kernel_available", *MODES]
