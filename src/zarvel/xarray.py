"""Zarvel on xarray DataArrays with a named channel dimension.

:func:`blend` takes DataArrays whose channel dimension is named (``"band"`` or
``"channel"`` by default, in any position: ``(band, y, x)`` as rasterio and
rioxarray keep it, ``(y, x, channel)``, ``(time, y, x, band)``) and returns
the background with its dimensions, coordinates, attributes and name, holding
the blended pixels. Dask-backed arrays stay lazy, chunked like the background.

The foreground and mask are matched to the background by position, not by
coordinate labels: the last two dimensions of the background other than the
channel are its rows and columns, and ``offset=(rows, columns)`` places the
foreground in pixels, as in :func:`zarvel.blend`. A foreground (or mask)
without the frame dimension is laid over every frame.

A foreground on the background's grid (same rows and columns, offset (0, 0))
runs through ``xr.apply_ufunc(..., dask="parallelized")`` with the channel as
its core dimension. A smaller or offset foreground needs each chunk's position,
which a parallelized function does not get; it runs through
:func:`zarvel.dask.blend` (or :func:`zarvel.blend` for NumPy-backed arrays).
Both give, chunk by chunk, the same bits; see :mod:`zarvel.dask` for when they
equal the in-memory call on the whole image.
"""

from __future__ import annotations

import warnings
from typing import Optional, Tuple

import numpy as np

try:
    import xarray as xr
except ImportError as error:  # pragma: no cover - exercised only without the extra
    raise ImportError("zarvel.xarray needs xarray; install it with  pip install 'zarvel[xarray]'") from error

from . import _arguments, _compose

__all__ = ["blend"]

CHANNEL_NAMES = ("band", "channel")
_FG_CHANNEL = "zarvel_foreground_channel"


def blend(
    background: "xr.DataArray",
    foreground,
    mode: str = "normal",
    opacity: float = 1.0,
    *,
    mask=None,
    offset: Tuple[int, int] = (0, 0),
    kernel: str = "auto",
    scale: float = 255.0,
    premultiplied: bool = False,
    channel_dim: Optional[str] = None,
    linear: bool = False,
) -> "xr.DataArray":
    """:func:`zarvel.blend` on DataArrays.

    ``background``: a DataArray with a channel dimension (``channel_dim``, by
    default whichever of "band" and "channel" it has) of 3 or 4 entries and
    two or three other dimensions ((frame,) rows, columns). ``foreground``: a
    DataArray with the same channel dimension name and the background's row
    and column dimensions (and optionally its frame dimension), or a NumPy or
    Dask array laid out as :func:`zarvel.blend` takes it (..., h, w, C').
    ``mask``: a DataArray over (frame,) rows, columns, or such an array.
    Element types, modes, opacity, kernel, ``scale``, ``premultiplied`` and
    ``linear`` are as for :func:`zarvel.blend`.
    """
    if not isinstance(background, xr.DataArray):
        raise TypeError(f"background must be an xarray.DataArray, got {type(background).__name__}")
    channel = _channel_dim(background, channel_dim)
    others = [d for d in background.dims if d != channel]
    if len(others) not in (2, 3):
        raise ValueError(
            f"background must have 2 or 3 dimensions besides {channel!r} ((frame,) rows, columns), "
            f"got {background.dims}"
        )
    bg = background.transpose(*others, channel)
    fg = _as_data_array(foreground, others, channel, "foreground", image=True)
    mk = None if mask is None else _as_data_array(mask, others, channel, "mask", image=False)
    fg, mk = _frames_axis(fg, bg, others), _frames_axis(mk, bg, others)
    _check(bg, fg, mk, mode, opacity, offset, kernel, scale, premultiplied)
    formats = dict(scale=scale, premultiplied=bool(premultiplied), linear=_arguments.check_linear(linear, "linear"))
    lazy = any(_is_dask(a) for a in (bg, fg, mk) if a is not None)
    rows, cols = others[-2:]
    same_grid = tuple(offset) == (0, 0) and all(
        a.sizes[rows] == bg.sizes[rows] and a.sizes[cols] == bg.sizes[cols] for a in (fg, mk) if a is not None
    )
    if lazy and not _is_dask(bg):
        from . import dask as zdask

        layer = _arguments.Layer(fg.data, offset=(offset[0], offset[1]))
        bg = bg.chunk(dict(zip(bg.dims, zdask.exact_chunks(bg.shape, [layer], dtype=bg.dtype))))
    if lazy and bg.chunks[-1] and len(bg.chunks[-1]) > 1:
        warnings.warn(
            f"the background's {channel!r} dimension is split into chunks {bg.chunks[-1]}; zarvel merges "
            f"it into one chunk (pixels are blended whole). Chunk {channel!r} as one to avoid this rechunk",
            UserWarning,
            stacklevel=2,
        )
        bg = bg.chunk({channel: -1})
    if same_grid:
        data = _parallelized(bg, fg, mk, mode, opacity, kernel, formats, lazy)
    else:
        data = _placed(bg, fg, mk, mode, opacity, offset, kernel, formats, lazy)
    return background.copy(data=data.transpose(*_order(background.dims, others, channel)))


def _check(bg, fg, mk, mode, opacity, offset, kernel, scale, premultiplied) -> None:
    """The engine's argument checks, on arrays of the same shapes that take no memory,
    so that a lazy call fails at once, naming the argument."""

    def stand_in(a):
        return np.broadcast_to(np.zeros((), a.dtype), a.shape)

    _arguments.check_kernel(kernel)
    _arguments.check_scale(scale)
    _arguments.check_premultiplied(premultiplied)
    _arguments.check_image(stand_in(bg), "background", (3, 4))
    frames = bg.shape[0] if bg.ndim == 4 else 1
    names = _arguments.BLEND_NAMES
    _arguments.check_layer(stand_in(fg), mode, opacity, None if mk is None else stand_in(mk), offset, names, frames)


def _channel_dim(array, channel_dim) -> str:
    if channel_dim is not None:
        if channel_dim not in array.dims:
            raise ValueError(f"background has no dimension {channel_dim!r}; its dimensions are {array.dims}")
        return channel_dim
    found = [d for d in CHANNEL_NAMES if d in array.dims]
    if len(found) != 1:
        raise ValueError(
            f"background needs exactly one channel dimension named 'band' or 'channel' (or pass "
            f"channel_dim=); its dimensions are {array.dims}"
        )
    return found[0]


def _order(dims, others, channel):
    """Axis order that takes (others..., channel) back to `dims`."""
    stacked = list(others) + [channel]
    return [stacked.index(d) for d in dims]


def _is_dask(array) -> bool:
    return getattr(array, "chunks", None) is not None


def _as_data_array(value, others, channel, name, image):
    """`value` with the background's dimension names, in (frame,) rows, columns (, channel) order,
    without coordinates (it is placed by position)."""
    if isinstance(value, xr.DataArray):
        wanted = list(others[-2:]) + ([channel] if image else [])
        missing = [d for d in wanted if d not in value.dims]
        extra = [d for d in value.dims if d not in others and d != channel]
        if missing or extra or (not image and channel in value.dims):
            raise ValueError(
                f"{name} must have the dimensions {tuple(wanted)}, optionally with "
                f"{others[0]!r} first; got {value.dims}"
            )
        order = [d for d in others if d in value.dims] + ([channel] if image else [])
        value = value.transpose(*order)
        return value.drop_vars(list(value.coords)).rename({channel: _FG_CHANNEL} if image else {})
    data = value if _is_dask(value) else np.asarray(value)
    trailing = [_FG_CHANNEL] if image else []
    spatial = len(trailing) + 2
    if data.ndim not in (spatial, spatial + 1) or (data.ndim == spatial + 1 and len(others) == 2):
        shapes = "h x w x C" if image else "h x w"
        raise ValueError(
            f"{name} must be {shapes}, or n x {shapes} for a background with frames; got shape {data.shape}"
        )
    dims = list(others[-data.ndim + len(trailing) :]) + trailing
    return xr.DataArray(data, dims=dims)


def _aligned_chunks(array, bg, others):
    """`array` chunked like the background on the dimensions they share (whole channel)."""
    if array is None:
        return None
    chunks = {d: bg.chunksizes[d] for d in others if d in array.dims and array.sizes[d] == bg.sizes[d]}
    if _FG_CHANNEL in array.dims:
        chunks[_FG_CHANNEL] = -1
    return array.chunk({d: chunks.get(d, -1) for d in array.dims})


def _frames_axis(array, bg, others):
    """A frame dimension of one entry over a background of several is dropped (the
    engine lays it over every frame), so that xarray does not try to align the sizes."""
    if (
        array is not None
        and len(others) == 3
        and others[0] in array.dims
        and array.sizes[others[0]] == 1
        and bg.sizes[others[0]] != 1
    ):
        return array.isel({others[0]: 0})
    return array


def _parallelized(bg, fg, mk, mode, opacity, kernel, formats, lazy):
    others = list(bg.dims[:-1])
    channel = bg.dims[-1]
    if lazy:
        fg, mk = _aligned_chunks(fg, bg, others), _aligned_chunks(mk, bg, others)
    args = [bg, fg] + ([mk] if mk is not None else [])
    core = [[channel], [_FG_CHANNEL]] + ([[]] if mk is not None else [])
    dtype = bg.dtype.newbyteorder("=") if not bg.dtype.isnative else bg.dtype
    out = xr.apply_ufunc(
        _blend_blocks,
        *args,
        input_core_dims=core,
        output_core_dims=[[channel]],
        dask="parallelized",
        output_dtypes=[dtype],
        kwargs=dict(mode=mode, opacity=opacity, kernel=kernel, threads=1 if lazy else None, **formats),
    )
    return out.transpose(*bg.dims).data


def _blend_blocks(background, foreground, mask=None, *, mode, opacity, kernel, threads, scale, premultiplied, linear):
    return _compose.blend(
        background,
        foreground,
        mode,
        opacity,
        mask=mask,
        kernel=kernel,
        threads=threads,
        scale=scale,
        premultiplied=premultiplied,
        linear=linear,
    )


def _placed(bg, fg, mk, mode, opacity, offset, kernel, formats, lazy):
    image = fg.data
    mask = None if mk is None else mk.data
    if lazy:
        from . import dask as zdask

        return zdask.blend(bg.data, image, mode, opacity, mask=mask, offset=offset, kernel=kernel, **formats)
    return _compose.blend(bg.data, image, mode, opacity, mask=mask, offset=offset, kernel=kernel, **formats)
