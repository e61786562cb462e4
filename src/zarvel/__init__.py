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

from . import _engine, w3c
from ._compose import Layer, blend, composite
from ._registry import COLOUR_MODES, KERNEL_NAMES, MODES, SEPARABLE_MODES

# The module's blend functions, one per mode of the native mode list.
globals().update({name: getattr(_zarvel, name) for name in MODES})


class _KernelName(str, enum.Enum):
    def __str__(self) -> str:
        return self.value


KernelKind = _KernelName("KernelKind", [(name.upper(), name) for name in KERNEL_NAMES], module=__name__)
KernelKind.__doc__ = """The compute kernel of a blend call ("auto" picks the widest available).

    The blend functions accept any string as a kernel and run an unknown name
    (for example "AVX2") with the automatic choice; a member of this enum
    cannot be misspelt.
    """


def kernel_available(name: str, /) -> bool:
    """Whether the named kernel runs on this processor: "auto", "scalar", "sse42",
    "avx2", "avx512" (x86-64 with AVX-512) or "neon" (aarch64); ValueError for
    any other name.

    The module-level blend functions know the first four names only and run
    "avx512" and "neon" as the automatic choice, which is the widest kernel
    this processor runs; zarvel.blend and zarvel.composite take all six.
    "avx512" gives the results of "avx2" bit for bit, 16 pixels at a time.
    """
    return _engine.kernel_available(name)


__all__ = [
    "COLOUR_MODES",
    "KernelKind",
    "Layer",
    "MODES",
    "SEPARABLE_MODES",
    "blend",
    "composite",
    "kernel_available",
    "w3c",
    *MODES,
]
