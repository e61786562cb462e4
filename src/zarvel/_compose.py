"""The compositing engine's Python face: blend and composite (and Layer, from
:mod:`zarvel._arguments`).

Every argument is checked (by :mod:`zarvel._arguments`) before anything is
written, and reported in the caller's terms; the native engine
(``zarvel._engine``) then runs the job with the interpreter lock released.
"""

from __future__ import annotations

from typing import Iterable, Optional, Tuple

import numpy as np

from . import _engine
from ._arguments import (
    BLEND_NAMES,
    Layer,
    check_image,
    check_kernel,
    check_layer,
    check_linear,
    check_out,
    check_premultiplied,
    check_scale,
    check_threads,
    engine_layer,
    is_pil,
    layer_jobs,
    native,
    pil_pixels,
)


# Bytes of output per band of work; 0 lets the engine choose (tests use tiny bands).
_BAND_BYTES = 0


def blend(
    background,
    foreground,
    mode: str = "normal",
    opacity: float = 1.0,
    *,
    mask=None,
    offset: Tuple[int, int] = (0, 0),
    out: Optional[np.ndarray] = None,
    threads: Optional[int] = None,
    kernel: str = "auto",
    scale: float = 255.0,
    premultiplied: bool = False,
    linear: bool = False,
):
    """Blend ``foreground`` onto ``background`` with a blend mode.

    ``background``: H x W x C or a batch N x H x W x C with C = 3 (RGB) or 4
    (RGBA). ``foreground``: h x w x C' (laid over every frame) or
    n x h x w x C' with n = N; its element type and channel count may differ
    from the background's. The result has the background's shape and element
    type. Either may be a PIL image: RGB and RGBA directly, L and LA through
    RGB(A), 16-bit grey (I;16, and I within 0..65535) as uint16 and F as
    float32; a layer of another mode goes through Pillow's conversion to
    RGB(A). A PIL background gives a PIL result of the same mode (grey modes
    keep every grey value; a coloured result becomes its luma); a background
    in a mode that cannot hold the result without loss (P, 1, CMYK, YCbCr,
    LAB, HSV, ...) raises ValueError naming the conversion to make.

    Element types: uint8 (0..255) and float32 on 0..255 (or 0..1 with
    ``scale=1.0``) are what the kernels compute in; uint16 and float64 are
    converted to float32 on the way in and back on the way out:

    - uint16 in: ``float32(v) / 257`` (0..65535 onto 0..255); out:
      ``x * 257`` in float32, clamped to 0..65535 (NaN to 0) and rounded to
      nearest, ties to even. Every 16-bit value survives the round trip.
    - floats with ``scale=1.0``: in ``v * 255``, out ``x / 255`` (float32);
      float64 is rounded to float32 first and the result is exact in float64.
    - ``premultiplied=True``: RGBA images hold colour multiplied by alpha.
      In: colour / (alpha / 255), and colour 0 where alpha is 0 (or not a
      positive number): a fully transparent pixel has no colour to recover;
      out: colour * (alpha / 255). An 8-bit premultiplied background is then
      processed in float32 and rounded like uint16 (ties to even).

    Arguments:

    - ``mode``: one of :data:`zarvel.MODES`, or of the W3C family
      :data:`zarvel.w3c.MODES` ("svg:multiply", "svg:src-in", ...; see
      :mod:`zarvel.w3c`); ``opacity`` scales the foreground's alpha and is not
      clamped (0 or less leaves the background as it is; the W3C family clamps
      the scaled alpha to 0..1).
    - ``linear``: blend in linear light. The colour channels of both images
      (not alpha) are decoded from sRGB (IEC 61966-2-1, on c = v / 255:
      ``c <= 0.04045 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4``), blended
      and composited there in float32, and encoded back
      (``c <= 0.0031308 ? 12.92 c : 1.055 c ** (1 / 2.4) - 0.055``); each step
      is evaluated in double and rounded once to float32, and 8-bit results
      are rounded once, at the end (to nearest, ties to even). False (the
      default) leaves every result as it is without the option.
    - ``offset=(y, x)``: where the foreground's top-left corner lands on the
      background. Negative values and parts past the edges are clipped; a
      foreground entirely outside leaves the background as it is.
    - ``mask``: h x w (or n x h x w) in foreground coordinates, uint8 (0..255)
      or float (0..1). It scales the foreground's alpha (255 for RGB) like an
      editor's layer mask: the foreground becomes float32 RGBA with alpha
      ``(alpha * m) / 255`` for a uint8 mask and ``alpha * m`` for a float
      one, computed in float32.
    - ``out``: None returns a new array; ``out=background`` blends in place;
      any other array must have the background's shape and dtype (in native
      byte order: a byte-swapped background takes an out of its type in native
      order), C-contiguous rows that do not overlap one another and no memory
      shared with the inputs. Pixels outside the foreground keep the
      background's bits.
    - ``threads``: None uses every CPU this process may run on; 1 runs on the
      calling thread. A call runs on at most max(4, 2 x CPUs) threads; more
      share them. ``kernel``: "auto", "scalar", "sse42", "avx2", "avx512", "neon" or a
      :class:`zarvel.KernelKind` (a kernel this processor lacks runs the
      scalar kernel, as in the module-level functions).

    The result equals, bit for bit, the module-level function (for example
    ``zarvel.multiply``) called with the same kernel on C-contiguous copies of
    the covered part of the background and the visible part of the foreground
    (converted as above), whatever the thread count, offset, batch or ``out``.
    Pixels no layer changes (outside the foreground, or all of them at an
    opacity of 0 or less) keep the background's bits, unconverted.

    Raises TypeError or ValueError, naming the argument, before anything is
    written.
    """
    if mask is None and linear is False:
        # The common call is checked and run by the engine in one step; anything it
        # does not take as plain (including every mistake) is checked here and reported.
        result = _plain(
            background, ((foreground, mode, opacity, offset),), out, threads, kernel, scale, premultiplied, _BAND_BYTES
        )
        if result is not NotImplemented:
            return result
    return _run(
        background,
        [(foreground, mode, opacity, mask, offset, BLEND_NAMES, linear)],
        out,
        threads,
        kernel,
        scale,
        premultiplied,
    )


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
    """Composite a stack of :class:`Layer` onto ``background`` in one pass.

    The layers apply in order, each onto the result of the ones before, and
    every intermediate result is stored in the background's element type: the
    result equals, bit for bit, the chain of :func:`blend` calls (and so of
    module-level calls on contiguous copies), but reads and writes the image
    once. The other arguments are as for :func:`blend`.
    """
    if type(layers) is list or type(layers) is tuple:
        plain = []
        for layer in layers:
            if type(layer) is not Layer or layer.mask is not None or layer.linear is not False:
                break
            plain.append((layer.image, layer.mode, layer.opacity, layer.offset))
        else:
            result = _plain(background, tuple(plain), out, threads, kernel, scale, premultiplied, _BAND_BYTES)
            if result is not NotImplemented:
                return result
    return _run(background, layer_jobs(layers, with_linear=True), out, threads, kernel, scale, premultiplied)


_plain = _engine.plain


def _run(background, layer_args, out, threads, kernel, scale, premultiplied):
    to_pil = None
    if is_pil(background):
        if out is not None:
            raise TypeError("out cannot be given with a PIL background (the result is a new PIL image)")
        background, to_pil = pil_pixels(background, "background", background=True)
    bg = check_image(background, "background", (3, 4))
    frames = bg.shape[0] if bg.ndim == 4 else 1
    layers = [(*check_layer(*args[:6], frames), check_linear(args[6], args[5].linear)) for args in layer_args]
    threads = check_threads(threads)
    kernel = check_kernel(kernel)
    unit_scale = check_scale(scale)
    premultiplied = check_premultiplied(premultiplied)
    result = out
    if out is not None:
        inputs = [(args[5].image, layer[0]) for layer, args in zip(layers, layer_args)]
        inputs += [(args[5].mask, layer[3]) for layer, args in zip(layers, layer_args) if layer[3] is not None]
        out = check_out(out, bg, inputs)
    # Everything is checked; from here on only conversions and the work.
    bg_native = native(bg)
    if out is None:
        out = result = np.empty(bg.shape, bg_native.dtype)
    height, width = bg.shape[-3], bg.shape[-2]
    placed = (engine_layer(*layer[:5], height, width, layer[5]) for layer in layers)
    engine_layers = tuple(layer for layer in placed if layer is not None)
    bg4 = bg_native if bg.ndim == 4 else bg_native[None]
    out4 = out if out.ndim == 4 else out[None]
    _engine.composite(bg4, out4, engine_layers, kernel, threads, unit_scale, premultiplied, _BAND_BYTES)
    return to_pil(out) if to_pil is not None else result
