"""Zarvel on Dask arrays: lazy blending chunk by chunk, out of core and on clusters.

:func:`blend` and :func:`composite` take the arguments of :func:`zarvel.blend`
and :func:`zarvel.composite` with Dask arrays (or a mix of Dask and NumPy
arrays) and return a lazy Dask array with the background's shape, element type
and chunks. Each output chunk is one call of the in-memory engine, with
``threads=1`` (Dask runs the chunks in parallel; the engine releases the
interpreter lock while it works), on the background's chunk and the parts of
the layers and masks that fall on it.

What is rechunked:

- the channel axis of the background must be one chunk; a split one is merged
  with a warning (the output then has the background's chunks with the channel
  axis merged);
- each layer and mask is cut to its visible part and rechunked to the
  background's blocks, so a layer that spans four chunks lands in all four and
  a chunk no layer reaches is passed through;
- a NumPy background is split into chunks of whole rows from
  :func:`exact_chunks` (so the result equals the in-memory call).

Exactness. Every output chunk equals, bit for bit, ``zarvel.composite`` on that
chunk's pixels with the layers moved by the chunk's corner. It also equals the
in-memory call on the whole image when the chunking is *exact* for the layers
(:func:`is_exact` tells, :func:`exact_chunks` and :func:`rechunk_exact` make
one). A layer's visible rectangle (R rows x K columns on the background) is
blended as one row-major sequence of n = R x K pixels; a chunk's share of it,
rows and columns cut by the chunk, is read row by row and falls into runs of
consecutive positions of that sequence (one run when the share spans the
rectangle's full width or a single row, one run per row otherwise). The
chunking is exact when, for every layer and every chunk, every run

- starts at a position that is a multiple of 16, and
- ends at a multiple of 16, or at n, in which case the run is at least 16
  pixels long or is the whole sequence.

For chunks of whole rows and a layer that covers the background at (0, 0)
this reads: every boundary between chunks lies after a multiple of 16 pixels
(rows x width), and a last chunk shorter than 16 pixels is the only one. For
chunks that split the width, it needs K and the chunk's columns within the
rectangle to start and end at multiples of 16 (e.g. 2048 x 2048 chunks of a
20000 pixel wide image with a full-size layer are exact). Other chunkings stay
within the kernels' documented differences (docs/kernels.md, "How far the kernels agree").
"""

from __future__ import annotations

import math
import warnings
from functools import partial
from typing import Iterable, List, Optional, Sequence, Tuple

import numpy as np

try:
    import dask
    import dask.array as da
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph
except ImportError as error:  # pragma: no cover - exercised only without the extra
    raise ImportError("zarvel.dask needs Dask; install it with  pip install 'zarvel[dask]'") from error

from . import _arguments, _compose
from ._arguments import Layer
from ._registry import PIXEL_GROUP

__all__ = ["blend", "composite", "exact_chunks", "is_exact", "rechunk_exact"]

# Pixels of a run boundary: the module's stages never straddle a multiple of this.
RUN = PIXEL_GROUP


def blend(
    background,
    foreground,
    mode: str = "normal",
    opacity: float = 1.0,
    *,
    mask=None,
    offset: Tuple[int, int] = (0, 0),
    kernel: str = "auto",
    scale: float = 255.0,
    premultiplied: bool = False,
    linear: bool = False,
) -> "da.Array":
    """Lazy :func:`zarvel.blend` on Dask (or NumPy) arrays.

    Returns a Dask array with the background's shape, element type and chunks
    (the channel axis as one chunk). Arguments and errors are those of
    :func:`zarvel.blend`; ``out`` and ``threads`` do not apply (each chunk is a
    new block, blended on one thread of a Dask worker).
    """
    names = _arguments.BLEND_NAMES
    return _lazy(background, [(foreground, mode, opacity, mask, offset, names, linear)], kernel, scale, premultiplied)


def composite(
    background, layers: Iterable[Layer], *, kernel: str = "auto", scale: float = 255.0, premultiplied: bool = False
) -> "da.Array":
    """Lazy :func:`zarvel.composite`: a stack of :class:`zarvel.Layer` whose images and
    masks may be Dask or NumPy arrays, applied in order in one task per chunk."""
    return _lazy(background, _arguments.layer_jobs(layers, with_linear=True), kernel, scale, premultiplied)


def is_exact(background, layers: Iterable[Layer] = ()) -> bool:
    """Whether a chunking gives the in-memory call's bits for these layers.

    ``background``: a Dask array, or its ``chunks`` (a tuple of tuples of
    sizes, one per axis). ``layers``: :class:`zarvel.Layer` objects (only the
    image's height and width and the offset matter). See the module's
    documentation for the condition.
    """
    chunks = _chunks_of(background)
    height, width = _extent(chunks[-3]), _extent(chunks[-2])
    row_starts, col_starts = _starts(chunks[-3]), _starts(chunks[-2])
    for rect in _rectangles(layers, height, width):
        top, rows, left, cols = rect
        for r0, rn in zip(row_starts, chunks[-3]):
            share_top, share_rows = _overlap(r0, rn, top, rows)
            if share_rows == 0:
                continue
            for c0, cn in zip(col_starts, chunks[-2]):
                share_left, share_cols = _overlap(c0, cn, left, cols)
                if share_cols and not _share_exact(
                    rows, cols, share_top - top, share_rows, share_left - left, share_cols
                ):
                    return False
    return True


def exact_chunks(
    shape: Sequence[int],
    layers: Iterable[Layer] = (),
    *,
    dtype=np.uint8,
    rows: Optional[int] = None,
    frames: Optional[Sequence[int]] = None,
) -> tuple:
    """Chunks of whole rows that are exact for these layers (see :func:`is_exact`).

    ``shape``: the background's (H, W, C) or (N, H, W, C). Each boundary is
    the first exact one at least ``rows`` rows past the one before (by
    default ``rows`` fills Dask's ``array.chunk-size`` with one frame of
    ``dtype``); ``frames`` gives the frame axis's chunks (default one frame
    per chunk). Usable as ``chunks=`` of ``da.from_array``, ``da.from_zarr``
    or ``Array.rechunk``. Warns when the layers leave no exact boundary near
    the requested size, so that a chunk grows much larger.
    """
    shape = tuple(int(s) for s in shape)
    if len(shape) not in (3, 4):
        raise ValueError(f"shape must be (H, W, C) or (N, H, W, C), got {shape}")
    height, width, channels = shape[-3:]
    if rows is None:
        limit = dask.utils.parse_bytes(dask.config.get("array.chunk-size"))
        rows = limit // max(width * channels * np.dtype(dtype).itemsize, 1)
    rows = max(int(rows), 1)
    sizes = _row_chunks(height, list(_rectangles(layers, height, width)), rows)
    spatial = (sizes, (width,), (channels,))
    if len(shape) == 3:
        return spatial
    return (tuple(frames) if frames is not None else (1,) * shape[0],) + spatial


def rechunk_exact(background: "da.Array", layers: Iterable[Layer] = (), *, rows: Optional[int] = None) -> "da.Array":
    """``background`` rechunked, if it must be, to chunks exact for these layers.

    A chunking that is already exact is kept. Otherwise the chunks become whole
    rows, about as many bytes each as the largest chunk now (or ``rows`` rows),
    and the frame axis keeps its chunks.
    """
    layers = list(layers)
    if not isinstance(background, da.Array):
        raise TypeError(f"background must be a Dask array, got {type(background).__name__}")
    _known(background, "background")
    if is_exact(background, layers):
        return background
    if rows is None:
        largest = math.prod(max(c) if c else 0 for c in background.chunks)
        per_chunk = max(background.chunks[0]) if background.ndim == 4 else 1
        row_elements = per_chunk * background.shape[-2] * background.shape[-1]
        rows = max(largest // max(row_elements, 1), 1)
    frames = background.chunks[0] if background.ndim == 4 else None
    return background.rechunk(exact_chunks(background.shape, layers, rows=rows, frames=frames))


# ---------------------------------------------------------------------------
# The exactness condition.


def _chunks_of(background) -> tuple:
    chunks = getattr(background, "chunks", background)
    if (
        not isinstance(chunks, (tuple, list))
        or len(chunks) not in (3, 4)
        or not all(isinstance(c, (tuple, list)) for c in chunks)
    ):
        raise TypeError("background must be a Dask array or its chunks (a tuple of 3 or 4 tuples of sizes)")
    if any(isinstance(s, float) and math.isnan(s) for c in chunks for s in c):
        raise ValueError("background has unknown chunk sizes; call compute_chunk_sizes() first")
    return tuple(tuple(int(s) for s in c) for c in chunks)


def _extent(sizes) -> int:
    return int(sum(sizes))


def _starts(sizes) -> List[int]:
    return [int(s) for s in np.cumsum((0,) + tuple(sizes[:-1]))] if len(sizes) else []


def _overlap(start: int, size: int, first: int, length: int) -> Tuple[int, int]:
    """(start, length) of the overlap of [start, start + size) and [first, first + length)."""
    lo, hi = max(start, first), min(start + size, first + length)
    return (lo, hi - lo) if hi > lo else (lo, 0)


def _rectangles(layers, height: int, width: int):
    """(top, rows, left, columns) of each layer's visible part on the background."""
    for i, layer in enumerate(layers):
        if not isinstance(layer, Layer):
            raise TypeError(f"layers[{i}] must be a zarvel.Layer, got {type(layer).__name__}")
        shape = np.shape(layer.image) if not hasattr(layer.image, "shape") else layer.image.shape
        oy, ox = (int(v) for v in layer.offset)
        top, rows, _ = _arguments.visible(oy, int(shape[-3]), height)
        left, cols, _ = _arguments.visible(ox, int(shape[-2]), width)
        if rows and cols:
            yield top, rows, left, cols


def _run_exact(start: int, length: int, total: int) -> bool:
    end = start + length
    return start % RUN == 0 and (end % RUN == 0 or (end == total and (length >= RUN or start == 0)))


def _share_exact(rows: int, cols: int, row0: int, share_rows: int, col0: int, share_cols: int) -> bool:
    """Whether a chunk's share (rows row0.., columns col0.. of a rows x cols rectangle)
    falls into runs of the rectangle's sequence that each keep their pixels' stages."""
    total = rows * cols
    if share_cols == cols or share_rows == 1:  # one run
        return _run_exact(row0 * cols + col0, share_rows * share_cols, total)
    # One run per row, `cols` apart: all start at multiples of 16 only if cols is one,
    # and all but the last end inside the sequence, so their length must be one too.
    return cols % RUN == 0 and col0 % RUN == 0 and share_cols % RUN == 0


def _row_chunks(height: int, rects, rows: int) -> tuple:
    """Row chunks of about `rows` rows with every boundary exact for the rectangles."""

    def allowed(b: int) -> bool:
        for top, n, _, cols in rects:
            if top < b < top + n and (((b - top) * cols) % RUN or (top + n - b) * cols < RUN):
                return False
        return True

    sizes, start = [], 0
    while start < height:
        stop = start + rows
        while stop < height and not allowed(stop):
            stop += 1
        stop = min(stop, height)
        sizes.append(stop - start)
        start = stop
    if height == 0:
        sizes = [0]
    big = max(sizes)
    if big > 4 * rows + 2 * RUN:
        warnings.warn(
            f"no exact chunk boundary lies near every {rows} rows for these layers; the largest "
            f"exact chunk has {big} rows",
            stacklevel=3,
        )
    return tuple(sizes)


# ---------------------------------------------------------------------------
# Building the lazy array.


def _array(value):
    """A Dask array as it is; anything else as a NumPy array."""
    return value if isinstance(value, da.Array) else np.asarray(value)


def _known(array, name: str) -> None:
    if any(isinstance(s, float) and math.isnan(s) for s in array.shape):
        raise ValueError(f"{name} has unknown chunk sizes; call compute_chunk_sizes() first")


def _stand_in(array) -> np.ndarray:
    """A NumPy array of the same shape and element type that takes no memory: the
    engine's own argument checks run on it, so a Dask array is judged unread."""
    return np.broadcast_to(np.zeros((), array.dtype), array.shape)


def _lazy(background, jobs, kernel, scale, premultiplied) -> "da.Array":
    kernel = _arguments.check_kernel(kernel)
    unit_scale = _arguments.check_scale(scale)
    _arguments.check_premultiplied(premultiplied)
    formats = dict(scale=1.0 if unit_scale else 255.0, premultiplied=bool(premultiplied))
    bg = _array(background)
    _known(bg, "background")
    _arguments.check_image(_stand_in(bg), "background", (3, 4))
    frames = bg.shape[0] if bg.ndim == 4 else 1
    layers = []
    for image, mode, opacity, mask, offset, names, linear in jobs:
        image = _array(image)
        _known(image, names.image)
        if mask is not None:
            mask = _array(mask)
            _known(mask, names.mask)
        _, mode, opacity, _, offset = _arguments.check_layer(
            _stand_in(image), mode, opacity, None if mask is None else _stand_in(mask), offset, names, frames
        )
        layers.append((image, mode, opacity, mask, offset, _arguments.check_linear(linear, names.linear)))
    if not isinstance(bg, da.Array):
        placed = [Layer(image, offset=offset) for image, _, _, _, offset, _ in layers]
        bg = da.from_array(bg, chunks=exact_chunks(bg.shape, placed, dtype=bg.dtype))
    if len(bg.chunks[-1]) > 1:
        warnings.warn(
            f"the background's channel axis is split into chunks {bg.chunks[-1]}; zarvel merges it "
            f"into one chunk (pixels are blended whole). Chunk the channel axis as one "
            f"(e.g. chunks=(..., -1)) to avoid this rechunk",
            UserWarning,
            stacklevel=3,
        )
        bg = bg.rechunk({bg.ndim - 1: -1})
    return _graph(bg, layers, kernel, formats)


def _split(starts: List[int], sizes: Sequence[int], first: int, length: int):
    """The background blocks along one axis that [first, first + length) reaches:
    {block: (piece index, start in the block)} and the pieces' sizes."""
    where: dict = {}
    pieces: List[int] = []
    for block, (start, size) in enumerate(zip(starts, sizes)):
        lo, n = _overlap(start, size, first, length)
        if n:
            where[block] = (len(pieces), lo - start)
            pieces.append(n)
    return where, tuple(pieces)


def _aligned(array, lead: Optional[tuple], rows: tuple, cols: tuple, image: bool):
    """`array` (already cut to the visible part) as a Dask array in the given chunks."""
    chunks = ((lead,) if lead is not None else ()) + (rows, cols) + (((array.shape[-1],),) if image else ())
    if isinstance(array, da.Array):
        return array.rechunk(chunks)
    return da.from_array(array, chunks=chunks)


class _Placed:
    """One layer as the graph sees it: its cut and rechunked image and mask, and where their
    pieces land."""

    def __init__(self, image, mode, opacity, mask, offset, linear, bg, row_starts, col_starts):
        height, width = bg.shape[-3], bg.shape[-2]
        ih, iw = image.shape[-3], image.shape[-2]
        top, rows, itop = _arguments.visible(offset[0], ih, height)
        left, cols, ileft = _arguments.visible(offset[1], iw, width)
        self.mode, self.opacity, self.linear = mode, opacity, linear
        self.rows, row_pieces = _split(row_starts, bg.chunks[-3], top, rows)
        self.cols, col_pieces = _split(col_starts, bg.chunks[-2], left, cols)
        self.image = self.mask = None
        if not self.rows or not self.cols:
            return
        window = (slice(itop, itop + rows), slice(ileft, ileft + cols))
        self.per_frame = image.ndim == 4 and bg.ndim == 4 and image.shape[0] == bg.shape[0] > 1
        lead = None if image.ndim == 3 else (bg.chunks[0] if self.per_frame else (1,))
        self.image = _aligned(image[(Ellipsis,) + window + (slice(None),)], lead, row_pieces, col_pieces, True)
        if mask is not None:
            self.mask_per_frame = mask.ndim == 3 and bg.ndim == 4 and mask.shape[0] == bg.shape[0] > 1
            lead = None if mask.ndim == 2 else (bg.chunks[0] if self.mask_per_frame else (1,))
            self.mask = _aligned(mask[(Ellipsis,) + window], lead, row_pieces, col_pieces, False)

    def pieces(self, frame: Optional[int], i: int, j: int):
        """(keys, (mode, opacity, offset in the block, has mask, linear)) for block (frame, i, j), or None."""
        if self.image is None or i not in self.rows or j not in self.cols:
            return None
        (pi, y), (pj, x) = self.rows[i], self.cols[j]
        keys = [self._key(self.image, frame, self.per_frame, (pi, pj, 0))]
        if self.mask is not None:
            keys.append(self._key(self.mask, frame, self.mask_per_frame, (pi, pj)))
        return keys, (self.mode, self.opacity, (y, x), self.mask is not None, self.linear)

    @staticmethod
    def _key(array, frame, per_frame, index):
        if array.ndim == len(index):
            return (array.name,) + index
        return (array.name, frame if per_frame else 0) + index


def _graph(bg: "da.Array", layers, kernel: str, formats: dict) -> "da.Array":
    dtype = bg.dtype.newbyteorder("=") if not bg.dtype.isnative else bg.dtype
    row_starts, col_starts = _starts(bg.chunks[-3]), _starts(bg.chunks[-2])
    placed = [_Placed(*layer, bg, row_starts, col_starts) for layer in layers]  # type: ignore[call-arg]
    placed = [p for p in placed if p.image is not None]
    name = "zarvel-composite-" + tokenize(
        bg.name,
        kernel,
        formats,
        [
            (
                p.image.name,
                p.mask.name if p.mask is not None else None,
                p.mode,
                p.opacity,
                p.linear,
                sorted(p.rows.items()),
                sorted(p.cols.items()),
            )
            for p in placed
        ],
    )
    frame_blocks = range(len(bg.chunks[0])) if bg.ndim == 4 else [None]
    dsk: dict = {}
    for f in frame_blocks:
        lead = () if f is None else (f,)
        for i in range(len(bg.chunks[-3])):
            for j in range(len(bg.chunks[-2])):
                keys, specs = [], []
                for p in placed:
                    found = p.pieces(f, i, j)
                    if found is not None:
                        keys += found[0]
                        specs.append(found[1])
                dsk[(name,) + lead + (i, j, 0)] = (
                    partial(_blend_block, specs=tuple(specs), kernel=kernel, formats=formats),
                    (bg.name,) + lead + (i, j, 0),
                    *keys,
                )
    dependencies = [bg] + [p.image for p in placed] + [p.mask for p in placed if p.mask is not None]
    graph = HighLevelGraph.from_collections(name, dsk, dependencies=dependencies)
    return da.Array(graph, name, chunks=bg.chunks, dtype=dtype, meta=np.empty((0,) * bg.ndim, dtype))


def _blend_block(background: np.ndarray, *pieces: np.ndarray, specs, kernel: str, formats: dict) -> np.ndarray:
    """One output chunk: the engine on one thread, the layers' pieces at their places in the chunk."""
    if not specs:
        return background.astype(background.dtype.newbyteorder("="), copy=False)
    layers, k = [], 0
    for mode, opacity, offset, has_mask, linear in specs:
        mask = pieces[k + 1] if has_mask else None
        layers.append(Layer(pieces[k], mode, opacity, mask=mask, offset=offset, linear=linear))
        k += 2 if has_mask else 1
    return _compose.composite(background, layers, threads=1, kernel=kernel, **formats)
