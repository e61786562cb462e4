"""Argument checking and format description shared by every entry point of the package.

:func:`zarvel.blend`, :func:`zarvel.composite`, :mod:`zarvel.dask` and
:mod:`zarvel.xarray` check their arguments here, so that each reports a
mistake in the same words, naming the argument, before anything is read or
written; the conversions a format needs on its way to the kernels are
described here once.
"""

from __future__ import annotations

import numbers
from dataclasses import dataclass
from typing import Any, Callable, Iterable, NamedTuple, Optional, Sequence, Tuple

import numpy as np

from . import _engine
from ._registry import KERNEL_NAMES, MODES, W3C_MODES

# The engine's mode numbers: the modes, then the W3C family ("svg:" names).
MODE_INDEX = {name: i for i, name in enumerate((*MODES, *W3C_MODES))}
# Element types (kind, size) of images (the kernels' own are uint8 and float32)
# and of masks, in either byte order.
_IMAGE_TYPES = {("u", 1), ("u", 2), ("f", 4), ("f", 8)}
_MASK_TYPES = {("u", 1), ("f", 4), ("f", 8)}


@dataclass(frozen=True, init=False, eq=False)
class Layer:
    """One layer of a stack for :func:`zarvel.composite`.

    ``image`` is h x w x C (or n x h x w x C with one frame per background
    frame, or n = 1), ``mode`` one of :data:`zarvel.MODES`, ``opacity`` a
    number (not clamped). ``mask`` (h x w or n x h x w; uint8 0..255 or
    float 0..1) scales the image's alpha; ``offset`` = (y, x) places the
    image's top-left corner on the background (negative values and overhangs
    are clipped). ``image`` and ``mask`` may also be PIL images (a mask in
    mode L as uint8, F as floats, I;16 as float32 v / 65535, other modes
    through Pillow's conversion to L). ``mode`` may also be one of the W3C
    family, :data:`zarvel.w3c.MODES` ("svg:multiply", ...); ``linear=True``
    blends the layer in linear light (see :func:`zarvel.blend`).
    """

    image: Any
    mode: str
    opacity: float
    mask: Any
    offset: Tuple[int, int]
    linear: bool

    def __init__(
        self,
        image: Any,
        mode: str = "normal",
        opacity: float = 1.0,
        *,
        mask: Any = None,
        offset: Tuple[int, int] = (0, 0),
        linear: bool = False,
    ) -> None:
        object.__setattr__(self, "image", image)
        object.__setattr__(self, "mode", mode)
        object.__setattr__(self, "opacity", opacity)
        object.__setattr__(self, "mask", mask)
        object.__setattr__(self, "offset", offset)
        object.__setattr__(self, "linear", linear)


def layer_jobs(layers, with_linear: bool = False) -> list:
    """A stack's layers as (image, mode, opacity, mask, offset, names) jobs (with
    ``with_linear``, (..., names, linear)), each argument named after its place in the
    stack; TypeError for anything but Layers."""
    if isinstance(layers, Layer) or not isinstance(layers, Iterable):
        raise TypeError(f"layers must be a sequence of zarvel.Layer, got {type(layers).__name__}")
    jobs = []
    for i, layer in enumerate(layers):
        if not isinstance(layer, Layer):
            raise TypeError(f"layers[{i}] must be a zarvel.Layer, got {type(layer).__name__}")
        names = Names(*(f"layers[{i}].{field}" for field in ("image", "mode", "opacity", "mask", "offset", "linear")))
        job = (layer.image, layer.mode, layer.opacity, layer.mask, layer.offset, names)
        jobs.append((*job, layer.linear) if with_linear else job)
    return jobs


@dataclass(frozen=True)
class Names:
    image: str
    mode: str
    opacity: str
    mask: str
    offset: str
    linear: str = "linear"


BLEND_NAMES = Names("foreground", "mode", "opacity", "mask", "offset", "linear")


# ---- PIL images ---------------------------------------------------------------


def is_pil(value) -> bool:
    """A PIL image, recognised without importing Pillow (which stays optional)."""
    return type(value).__module__.startswith("PIL.") and hasattr(value, "mode") and hasattr(value, "getbands")


# Grey modes of more than 8 bits: blended as 16-bit (I;16 and its byte orders,
# and I while it holds 0..65535) or float32 (F) RGB, and given back in their mode.
_PIL_DEEP_GREY = ("I;16", "I;16L", "I;16B", "I;16N", "I", "F")
# Modes whose pixels come back exactly through RGB or RGBA (L and LA through
# Pillow's conversions, which keep every grey level).
_PIL_THROUGH_RGB = ("RGB", "RGBA", "L", "LA")


def pil_pixels(image, name: str, background: bool = False) -> Tuple[np.ndarray, Optional[Callable[[np.ndarray], Any]]]:
    """The pixels of a PIL image as an RGB or RGBA array, and (for a background) how to
    turn a result back into an image of its mode.

    A background must come back in its mode without losing what the mode holds, so
    modes that a blended result cannot be stored in exactly (palettes, bilevel,
    YCbCr, LAB, HSV, CMYK, premultiplied alpha, ...) are refused with the conversion
    to make; a layer is only read, and any mode goes through Pillow's conversion."""
    mode = image.mode
    if mode in _PIL_DEEP_GREY:
        grey, stored = _pil_deep_grey(image, name)
        pixels = np.repeat(grey[..., None], 3, axis=2)

        def back_grey(result: np.ndarray):
            from PIL import Image

            return Image.frombytes(mode, image.size, _grey_of(result).astype(stored).tobytes())

        return pixels, back_grey
    has_alpha = "A" in image.getbands() or "a" in image.getbands() or "transparency" in image.info
    if mode not in _PIL_THROUGH_RGB:
        if background:
            to = "RGBA" if has_alpha else "RGB"
            raise ValueError(
                f"{name} is a PIL image in mode {mode}, which cannot hold a blended result without "
                f"loss; convert it first with .convert({to!r}) (the result is then {to})"
            )
        image = image.convert("RGBA" if has_alpha else "RGB")
    elif mode in ("L", "LA"):
        image = image.convert("RGBA" if has_alpha else "RGB")
    pixels = np.asarray(image)  # the array interface: one copy out of Pillow's storage

    def back(result: np.ndarray):
        from PIL import Image

        converted = Image.fromarray(result, "RGBA" if result.shape[-1] == 4 else "RGB")
        return converted if converted.mode == mode else converted.convert(mode)

    return pixels, back


def _pil_deep_grey(image, name: str) -> Tuple[np.ndarray, np.dtype]:
    """The samples of an I;16*, I or F image as uint16 (I only while it holds 0..65535) or
    float32, and the element type the image stores them in."""
    grey = np.asarray(image)
    if image.mode == "I":
        low, high = (int(grey.min()), int(grey.max())) if grey.size else (0, 0)
        if low < 0 or high > 65535:
            raise ValueError(
                f"{name} is a PIL image in mode I holding {low}..{high}, outside the 16 bits "
                f"(0..65535) it is blended in; convert it with .convert('F') or scale it first"
            )
        return grey.astype(np.uint16), grey.dtype
    return grey, grey.dtype


def _grey_of(result: np.ndarray) -> np.ndarray:
    """One grey sample per pixel of an RGB result: the sample itself where all three are
    equal (so a grey image under a grey or transparent layer keeps every value), else
    Pillow's luma (ITU-R 601-2: 0.299 R + 0.587 G + 0.114 B; rounded for integers)."""
    r, g, b = result[..., 0], result[..., 1], result[..., 2]
    if result.dtype.kind == "f":
        luma = (r.astype(np.float64) * 0.299 + g * 0.587 + b * 0.114).astype(result.dtype)
    else:
        luma = (
            (r.astype(np.int64) * 19595 + g.astype(np.int64) * 38470 + b.astype(np.int64) * 7471 + 0x8000) >> 16
        ).astype(result.dtype)
    return np.where((r == g) & (g == b), r, luma)


def _pil_mask(mask) -> np.ndarray:
    """A PIL mask as weights: F as its floats, 16-bit grey as float32 v / 65535 (every
    level kept), L as it is and other modes through Pillow's conversion to L."""
    if mask.mode == "F":
        return np.asarray(mask)
    if mask.mode in ("I;16", "I;16L", "I;16B", "I;16N"):
        return weights_of_16bit(np.asarray(mask))
    return np.asarray(mask if mask.mode == "L" else mask.convert("L"))


# ---- checks -------------------------------------------------------------------


def check_image(value, name: str, ndims: Sequence[int]) -> np.ndarray:
    """An image argument as an array, checked before anything is copied.

    The result is a view of its own: code that runs later in the call (an
    opacity's ``__float__``, a kernel's ``value``, ...) may reshape or retype
    the caller's array in place, and the call must go on with what was checked."""
    array = (value if isinstance(value, np.ndarray) else np.asarray(value)).view()
    if array.ndim not in ndims:
        shapes = " or ".join({3: "H x W x C", 4: "N x H x W x C"}[n] for n in ndims)
        raise ValueError(f"{name} must be {shapes}, got shape {array.shape}")
    if (array.dtype.kind, array.dtype.itemsize) not in _IMAGE_TYPES:
        raise TypeError(f"{name} must be uint8, uint16, float32 or float64, got {array.dtype}")
    if array.shape[-1] not in (3, 4):
        raise ValueError(f"{name} must have 3 or 4 channels, got {array.shape[-1]}")
    return array


def native(array: np.ndarray, image: bool = True) -> np.ndarray:
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


def check_layer(image, mode, opacity, mask, offset, names: Names, frames: int):
    if is_pil(image):
        image = pil_pixels(image, names.image)[0]
    image = check_image(image, names.image, (3, 4))
    if image.ndim == 4:
        _frames(image.shape[0], frames, names.image)
    if isinstance(mode, str) and mode.startswith("svg:") and mode not in MODE_INDEX:
        raise ValueError(f"{names.mode} must be one of zarvel.w3c.MODES ({', '.join(W3C_MODES)}), got {mode!r}")
    if not isinstance(mode, str) or mode not in MODE_INDEX:
        raise ValueError(f"{names.mode} must be one of zarvel.MODES, got {mode!r}")
    if isinstance(opacity, (bool, np.bool_)) or not isinstance(opacity, numbers.Real):
        raise TypeError(f"{names.opacity} must be a real number, got {type(opacity).__name__}")
    opacity = float(opacity)
    height, width = image.shape[-3], image.shape[-2]
    if mask is not None:
        mask = (_pil_mask(mask) if is_pil(mask) else mask if isinstance(mask, np.ndarray) else np.asarray(mask)).view()
        if mask.ndim not in (2, 3):
            raise ValueError(f"{names.mask} must be h x w or n x h x w, got shape {mask.shape}")
        if (mask.dtype.kind, mask.dtype.itemsize) not in _MASK_TYPES:
            raise TypeError(f"{names.mask} must be uint8 or float, got {mask.dtype}")
        if mask.shape[-2:] != (height, width):
            raise ValueError(f"{names.mask} has size {mask.shape[-2:]}; the image has {(height, width)}")
        if mask.ndim == 3:
            _frames(mask.shape[0], frames, names.mask)
    if (
        not isinstance(offset, (tuple, list))
        or len(offset) != 2
        or not all(isinstance(v, (int, np.integer)) and not isinstance(v, (bool, np.bool_)) for v in offset)
    ):
        raise TypeError(f"{names.offset} must be a pair of integers (y, x), got {offset!r}")
    return image, mode, opacity, mask, (int(offset[0]), int(offset[1]))


def check_linear(linear, name: str) -> bool:
    if not isinstance(linear, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {linear!r}")
    return bool(linear)


def visible(start: int, size: int, extent: int) -> Tuple[int, int, int]:
    """(position on the background, length, position in the image) of an interval."""
    first, last = max(start, 0), min(start + size, extent)
    if last <= first:
        return 0, 0, 0
    return first, last - first, first - start


def check_threads(threads) -> int:
    """The engine's thread count: 0 for every CPU this process may run on (the engine
    counts them only where the work could use more than one thread)."""
    if threads is None:
        return 0
    if isinstance(threads, (bool, np.bool_)) or not isinstance(threads, (int, np.integer)):
        raise TypeError(f"threads must be None or an integer, got {type(threads).__name__}")
    if threads < 1:
        raise ValueError(f"threads must be at least 1, got {threads}")
    return min(int(threads), 1024)


def check_kernel(kernel) -> str:
    name = getattr(kernel, "value", kernel)
    if not isinstance(name, str) or name not in KERNEL_NAMES:
        raise ValueError(f"kernel must be one of {', '.join(KERNEL_NAMES)} or a zarvel.KernelKind, got {kernel!r}")
    return name


def check_scale(scale) -> bool:
    """Whether float images are on 0..1."""
    if isinstance(scale, (bool, np.bool_)) or not isinstance(scale, numbers.Real) or scale not in (1, 255):
        raise ValueError(f"scale must be 255 (floats on 0..255) or 1 (floats on 0..1), got {scale!r}")
    return scale == 1


def _same_view(a: np.ndarray, b: np.ndarray) -> bool:
    return (
        a.shape == b.shape
        and a.strides == b.strides
        and a.dtype == b.dtype
        and a.__array_interface__["data"][0] == b.__array_interface__["data"][0]
    )


_TooHardError = getattr(np, "exceptions", np).TooHardError


def _overlaps(a: np.ndarray, b: np.ndarray) -> bool:
    """Whether two arrays share memory (assumed so where that is too costly to decide);
    NumPy's exact test only where the bytes they span meet."""
    if not _engine.spans_meet(a, b):
        return False
    try:
        return bool(np.shares_memory(a, b, max_work=10_000))  # type: ignore[arg-type]  # NumPy takes any bound
    except _TooHardError:
        return True


def _pixels_apart(out: np.ndarray) -> bool:
    """Whether every element of a 3- or 4-dimensional array with elements has memory of
    its own, laid out as the engine writes it: the channels of a pixel adjacent, the
    pixels of a row adjacent, each row past the end of the one before and each frame past
    the end of the one before (a zero or too small stride on any axis would make several
    pixels one)."""
    item, (height, width, channels) = out.itemsize, out.shape[-3:]
    frame_stride, row_stride, pixel_stride, channel_stride = (0,) * (4 - out.ndim) + out.strides
    row = width * channels * item
    if channel_stride != item or pixel_stride != channels * item:
        return False
    if height > 1 and row_stride < row:
        return False
    frames = out.shape[0] if out.ndim == 4 else 1
    return frames <= 1 or frame_stride >= (height - 1) * row_stride + row


def check_out(out, background: np.ndarray, inputs) -> np.ndarray:
    """The checked ``out``, as a view of its own (see :func:`check_image`)."""
    if not isinstance(out, np.ndarray):
        raise TypeError(f"out must be a NumPy array, got {type(out).__name__}")
    out = out.view()
    # A background in the other byte order is read by value; its result is in native order.
    native = background.dtype.newbyteorder("=")
    if out.shape != background.shape or (out.dtype != background.dtype and out.dtype != native):
        raise ValueError(
            f"out must have the background's shape {background.shape} and dtype {native}, got {out.shape} {out.dtype}"
        )
    if not out.flags.writeable:
        raise ValueError("out is read-only")
    if not out.dtype.isnative:
        raise ValueError(f"out must be in native byte order: a {native} array of shape {background.shape}")
    if out.size and not _pixels_apart(out):
        raise ValueError("out must have C-contiguous rows that do not overlap")
    in_place = _engine.spans_meet(out, background) and _same_view(out, background)
    if not in_place and _overlaps(out, background):
        raise ValueError("out overlaps the background without being it")
    for name, array in inputs:
        if _overlaps(out, array):
            raise ValueError(f"out overlaps {name}")
    return out


def check_premultiplied(premultiplied) -> bool:
    if not isinstance(premultiplied, (bool, np.bool_)):
        raise TypeError(f"premultiplied must be True or False, got {premultiplied!r}")
    return bool(premultiplied)


# ---- formats ------------------------------------------------------------------


def weights_of_16bit(samples: np.ndarray) -> np.ndarray:
    """16-bit mask samples (or their luma) as float32 weights on 0..1: v / 65535, which
    keeps every one of the 65,536 levels apart."""
    return samples.astype(np.float32) / np.float32(65535)


# ---- the engine's job ---------------------------------------------------------


class EngineLayer(NamedTuple):
    """One layer as the native engine takes it: the visible rectangle of a checked image
    (and mask), in native byte order, with a frame axis. Being a tuple, it is passed to
    the engine as it is."""

    mode: int  # the engine's number of the mode (MODE_INDEX)
    opacity: float
    image: np.ndarray  # n x h x w x C
    mask: Optional[np.ndarray]  # n x h x w, uint8 or float32, or None
    top: int  # where the visible part lands on the background
    left: int
    rows: int  # the visible part's size
    cols: int
    image_top: int  # where the visible part starts in the image
    image_left: int
    linear: bool = False  # blended in linear light


def engine_layer(
    image, mode, opacity, mask, offset, height: int, width: int, linear: bool = False
) -> Optional[EngineLayer]:
    """A checked layer (see :func:`check_layer`) placed on a height x width background as
    the engine takes it, or None when none of it is visible."""
    ih, iw = image.shape[-3], image.shape[-2]
    top, rows, image_top = visible(offset[0], ih, height)
    left, cols, image_left = visible(offset[1], iw, width)
    if rows == 0 or cols == 0:
        return None
    image4 = native(image if image.ndim == 4 else image[None])
    if mask is not None:
        mask = mask if mask.ndim == 3 else mask[None]
        mask = native(mask, image=False) if mask.dtype.itemsize < 8 else mask.astype(np.float32)
    return EngineLayer(MODE_INDEX[mode], opacity, image4, mask, top, left, rows, cols, image_top, image_left, linear)
