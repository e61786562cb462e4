"""What the engine must give: module-level calls on C-contiguous copies.

For each frame and layer, the part of the background under the visible part of
the layer is copied out, blended by the module-level function with the same
kernel, and written back; a masked layer is first made float32 RGBA with its
alpha (255 for RGB) times the mask ((alpha * m) / 255 for uint8 masks).
"""
import numpy as np

import _zarvel


def visible(offset, size, extent):
    """(start on the background, length, start in the layer) of one axis."""
    start, stop = max(offset, 0), min(offset + size, extent)
    return (start, stop - start, start - offset) if stop > start else (0, 0, 0)


def masked(image, mask):
    """The foreground a masked layer stands for."""
    rgba = np.empty(image.shape[:2] + (4,), np.float32)
    rgba[..., :3] = image[..., :3]
    alpha = image[..., 3].astype(np.float32) if image.shape[2] == 4 else np.float32(255)
    if mask.dtype == np.uint8:
        rgba[..., 3] = (alpha * mask.astype(np.float32)) / np.float32(255)
    else:
        rgba[..., 3] = alpha * mask
    return rgba


def frame_of(array, f, ndim):
    """Frame f of a batched argument, or the argument itself when it has one frame."""
    if array.ndim == ndim + 1:
        return array[f if array.shape[0] > 1 else 0]
    return array


def composite(background, layers, kernel="auto"):
    """layers: (image, mode, opacity, mask, (y, x)) tuples; returns a new array."""
    out = np.array(background, copy=True)
    frames = out if out.ndim == 4 else out[None]
    for f in range(frames.shape[0]):
        for image, mode, opacity, mask, (oy, ox) in layers:
            img = frame_of(image, f, 3)
            top, rows, itop = visible(oy, img.shape[0], frames.shape[1])
            left, cols, ileft = visible(ox, img.shape[1], frames.shape[2])
            if rows == 0 or cols == 0:
                continue
            region = (slice(top, top + rows), slice(left, left + cols))
            fg = img[itop:itop + rows, ileft:ileft + cols]
            if mask is not None:
                fg = masked(fg, frame_of(mask, f, 2)[itop:itop + rows, ileft:ileft + cols])
            bg, fg = frames[f][region].copy(), fg.copy()      # fresh, so 16-byte aligned like any copy
            assert bg.ctypes.data % 16 == 0 and fg.ctypes.data % 16 == 0
            frames[f][region] = getattr(_zarvel, mode)(bg, fg, opacity, kernel)
    return out
