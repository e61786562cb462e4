"""The compositing engine's Python face: blend, composite and Layer.

Every argument is checked here, before anything is written, and reported in
the caller's terms; the native engine (``zarvel._engine``) then runs the job
with the interpreter lock released.
"""

from __future__ import annotations

import numbers
import os
from dataclasses import dataclass
from typing import Any, Iterable, Optional, Sequence, Tuple

import numpy as np

from . import _engine

MODES = tuple(name for name, _ in _engine.modes())
_MODE_INDEX = {name: i for i, name in enumerate(MODES)}
KERNEL_NAMES = ("auto", "scalar", "sse42", "avx2")
_DTYPES = (np.dtype(np.uint8), np.dtype(np.float32))
# Bytes of output per band of work; 0 lets the engine choose (tests use tiny bands).
_BAND_BYTES = 0


@dataclass(frozen=True, init=False, eq=False)
class Layer:
    """One layer of a stack for :func:`composite`.

    ``image`` is h x w x C (or n x h x w x C with one frame per background
    frame, or n = 1), ``mode`` one of :data:`zarvel.MODES`, ``opacity`` a
    number (not clamped). ``mask`` (h x w or n x h x w; uint8 0..255 or
    float32 0..1) scales the image's alpha; ``offset`` = (y, x) places the
    image's top-left corner on the background (negative values and overhangs
    are clipped).
    """

    image: Any
    mode: str
    opacity: float
    mask: Any
    offset: Tuple[int, int]

    def __init__(self, image: Any, mode: str = "normal", opacity: float = 1.0, *, mask: Any = None,
                 offset: Tuple[int, int] = (0, 0)) -> None:
        object.__setattr__(self, "image", image)
        object.__setattr__(self, "mode", mode)
        object.__setattr__(self, "opacity", opacity)
        object.__setattr__(self, "mask", mask)
        object.__setattr__(self, "offset", offset)


def blend(background, foreground, mode: str = "normal", opacity: float = 1.0, *, mask=None,
          offset: Tuple[int, int] = (0, 0), out: Optional[np.ndarray] = None, threads: Optional[int] = None,
          kernel: str = "auto") -> np.ndarray:
    """Blend ``foreground`` onto ``background`` with a blend mode.

    ``background``: H x W x C or a batch N x H x W x C, uint8 (0..255) or
    float32 (on the same 0..255 scale), C = 3 (RGB) or 4 (RGBA, straight
    alpha). ``foreground``: h x w x C' (laid over every frame) or n x h x w x C'
    with n = N; its element type and channel count may differ from the
    background's. The result has the background's shape and element type.

    - ``mode``: one of :data:`zarvel.MODES`; ``opacity`` scales the
      foreground's alpha and is not clamped (0 or less leaves the background
      as it is).
    - ``offset=(y, x)``: where the foreground's top-left corner lands on the
      background. Negative values and parts past the edges are clipped; a
      foreground entirely outside leaves the background as it is.
    - ``mask``: h x w (or n x h x w) in foreground coordinates, uint8 (0..255)
      or float32 (0..1). It scales the foreground's alpha (255 for RGB) like
      an editor's layer mask: the foreground becomes float32 RGBA with alpha
      ``(alpha * m) / 255`` for a uint8 mask and ``alpha * m`` for a float32
      one, computed in float32.
    - ``out``: None returns a new array; ``out=background`` blends in place;
      any other array must have the background's shape and dtype, C-contiguous
      rows and no memory shared with the inputs. Pixels outside the
      foreground are the background's.
    - ``threads``: None uses every CPU this process may run on; 1 runs on the
      calling thread. ``kernel``: "auto", "scalar", "sse42", "avx2" or a
      :class:`zarvel.KernelKind` (a kernel this processor lacks runs the
      scalar kernel, as in the module-level functions).

    The result equals, bit for bit, the module-level function (for example
    ``zarvel.multiply``) called with the same kernel on C-contiguous copies of
    the covered part of the background and the visible part of the
    foreground, whatever the thread count, offset, batch or ``out``.

    Raises TypeError or ValueError, naming the argument, before anything is
    written.
    """
    names = _Names("foreground", "mode", "opacity", "mask", "offset")
    return _run(background, [(foreground, mode, opacity, mask, offset, names)], out, threads, kernel)


def composite(background, layers: Iterable[Layer], *, out: Optional[np.ndarray] = None,
              threads: Optional[int] = None, kernel: str = "auto") -> np.ndarray:
    """Composite a stack of :class:`Layer` onto ``background`` in one pass.

    The layers apply in order, each onto the result of the ones before, and
    every intermediate result is stored in the background's element type: the
    result equals, bit for bit, the chain of :func:`blend` calls (and so of
    module-level calls on contiguous copies), but reads and writes the image
    once. ``background``, ``out``, ``threads`` and ``kernel`` are as for
    :func:`blend`.
    """
    if isinstance(layers, Layer) or not isinstance(layers, Iterable):
        raise TypeError(f"layers must be a sequence of zarvel.Layer, got {type(layers).__name__}")
    jobs = []
    for i, layer in enumerate(layers):
        if not isinstance(layer, Layer):
            raise TypeError(f"layers[{i}] must be a zarvel.Layer, got {type(layer).__name__}")
        names = _Names(*(f"layers[{i}].{field}" for field in ("image", "mode", "opacity", "mask", "offset")))
        jobs.append((layer.image, layer.mode, layer.opacity, layer.mask, layer.offset, names))
    return _run(background, jobs, out, threads, kernel)


@dataclass(frozen=True)
class _Names:
    image: str
    mode: str
    opacity: str
    mask: str
    offset: str


def _image(value, name: str, ndims: Sequence[int]) -> np.ndarray:
    """An image argument as an array, checked before anything is copied."""
    array = value if isinstance(value, np.ndarray) else np.asarray(value)
    if array.ndim not in ndims:
        shapes = " or ".join({3: "H x W x C", 4: "N x H x W x C"}[n] for n in ndims)
        raise ValueError(f"{name} must be {shapes}, got shape {array.shape}")
    if array.dtype not in _DTYPES and not (array.dtype.kind == "f" and array.dtype.itemsize == 4):
        raise TypeError(f"{name} must be uint8 or float32, got {array.dtype}")
    if array.shape[-1] not in (3, 4):
        raise ValueError(f"{name} must have 3 or 4 channels, got {array.shape[-1]}")
    return array


def _native(array: np.ndarray, image: bool = True) -> np.ndarray:
    """Native byte order (a swapped float32 image is converted, not misread) and, for
    images, the elements of each pixel adjacent; any other layout is read where it lies."""
    if not array.dtype.isnative:
        return np.ascontiguousarray(array, array.dtype.newbyteorder("="))
    if image and array.strides[-1] != array.itemsize:
        return np.ascontiguousarray(array)
    return array


def _frames(count: int, frames: int, name: str) -> None:
    if count not in (1, frames):
        raise ValueError(f"{name} has {count} frames; the background has {frames} (use 1 or {frames})")


def _check_layer(image, mode, opacity, mask, offset, names: _Names, frames: int):
    image = _image(image, names.image, (3, 4))
    if image.ndim == 4:
        _frames(image.shape[0], frames, names.image)
    if not isinstance(mode, str) or mode not in _MODE_INDEX:
        raise ValueError(f"{names.mode} must be one of zarvel.MODES, got {mode!r}")
    if isinstance(opacity, (bool, np.bool_)) or not isinstance(opacity, numbers.Real):
        raise TypeError(f"{names.opacity} must be a real number, got {type(opacity).__name__}")
    opacity = float(opacity)
    height, width = image.shape[-3], image.shape[-2]
    if mask is not None:
        mask = mask if isinstance(mask, np.ndarray) else np.asarray(mask)
        if mask.ndim not in (2, 3):
            raise ValueError(f"{names.mask} must be h x w or n x h x w, got shape {mask.shape}")
        if mask.dtype not in _DTYPES and not (mask.dtype.kind == "f" and mask.dtype.itemsize == 4):
            raise TypeError(f"{names.mask} must be uint8 or float32, got {mask.dtype}")
        if mask.shape[-2:] != (height, width):
            raise ValueError(f"{names.mask} has size {mask.shape[-2:]}; the image has {(height, width)}")
        if mask.ndim == 3:
            _frames(mask.shape[0], frames, names.mask)
    if (not isinstance(offset, (tuple, list)) or len(offset) != 2 or
            not all(isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_)) for v in offset)):
        raise TypeError(f"{names.offset} must be a pair of integers (y, x), got {offset!r}")
    return image, mode, opacity, mask, (int(offset[0]), int(offset[1]))


def _visible(start: int, size: int, extent: int) -> Tuple[int, int, int]:
    """(position on the background, length, position in the image) of an interval."""
    first, last = max(start, 0), min(start + size, extent)
    if last <= first:
        return 0, 0, 0
    return first, last - first, first - start


def _threads(threads) -> int:
    if threads is None:
        try:
            return max(len(os.sched_getaffinity(0)), 1)
        except (AttributeError, OSError):
            return os.cpu_count() or 1
    if isinstance(threads, (bool, np.bool_)) or not isinstance(threads, (int, np.integer)):
        raise TypeError(f"threads must be None or an integer, got {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    return min(int(threads), 1024)


def _kernel(kernel) -> str:
    name = getattr(kernel, "value", kernel)
    if not isinstance(name, str) or name not in KERNEL_NAMES:
        raise ValueError(f"kernel must be one of {', '.join(KERNEL_NAMES)} or a zarvel.KernelKind, got {kernel!r}")
    return name


def _same_view(a: np.ndarray, b: np.ndarray) -> bool:
    return (a.__array_interface__["data"][0] == b.__array_interface__["data"][0] and a.shape == b.shape
            and a.strides == b.strides and a.dtype == b.dtype)


_TooHardError = getattr(getattr(np, "exceptions", np), "TooHardError")


def _overlaps(a: np.ndarray, b: np.ndarray) -> bool:
    """Whether two arrays share memory (assumed so where that is too costly to decide)."""
    try:
        return bool(np.shares_memory(a, b, max_work=10_000))
    except _TooHardError:
        return True


def _check_out(out, background: np.ndarray, inputs) -> np.ndarray:
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a NumPy array, got {type(out).__name__}")
    if out.shape != background.shape or out.dtype != background.dtype:
        raise ValueError(f"out must have the background's shape {background.shape} and dtype {background.dtype}, "
                         f"got {out.shape} {out.dtype}")
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    if not out.dtype.isnative:
        raise ValueError("out must be in native byte order")
    item, channels = out.itemsize, out.shape[-1]
    rows_apart = out.ndim < 3 or out.shape[-3] <= 1 or out.strides[-3] >= out.shape[-2] * channels * item
    frames_apart = out.ndim < 4 or out.shape[0] <= 1 or out.strides[0] >= out.shape[1] * out.strides[1]
    if out.strides[-1] != item or out.strides[-2] != channels * item or not (rows_apart and frames_apart):
        raise ValueError("out must have C-contiguous rows that do not overlap")
    in_place = out is background or _same_view(out, background)
    if not in_place and _overlaps(out, background):
        raise ValueError("out overlaps the background without being it")
    for name, array in inputs:
        if _overlaps(out, array):
            raise ValueError(f"out overlaps {name}")
    return out


def _run(background, layer_args, out, threads, kernel) -> np.ndarray:
    bg = _image(background, "background", (3, 4))
    frames = bg.shape[0] if bg.ndim == 4 else 1
    layers = [_check_layer(*args, frames) for args in layer_args]
    threads = _threads(threads)
    kernel = _kernel(kernel)
    if out is not None:
        inputs = [(names.image, layer[0]) for layer, (*_, names) in zip(layers, layer_args)]
        inputs += [(names.mask, layer[3]) for layer, (*_, names) in zip(layers, layer_args) if layer[3] is not None]
        out = _check_out(out, bg, inputs)
    # Everything is checked; from here on only conversions and the work.
    bg_native = _native(bg)
    if out is None:
        out = np.empty(bg.shape, bg_native.dtype)
    height, width = bg.shape[-3], bg.shape[-2]
    native_layers = []
    for image, mode, opacity, mask, (oy, ox) in layers:
        ih, iw = image.shape[-3], image.shape[-2]
        top, rows, image_top = _visible(oy, ih, height)
        left, cols, image_left = _visible(ox, iw, width)
        if rows == 0 or cols == 0:
            continue
        image4 = _native(image if image.ndim == 4 else image[None])
        mask3 = None if mask is None else _native(mask if mask.ndim == 3 else mask[None])
        native_layers.append((_MODE_INDEX[mode], opacity, image4, mask3, top, left, rows, cols, image_top,
                              image_left))
    bg4 = bg_native if bg.ndim == 4 else bg_native[None]
    out4 = out if out.ndim == 4 else out[None]
    _engine.composite(bg4, out4, tuple(native_layers), kernel, threads, _BAND_BYTES)
    return out
