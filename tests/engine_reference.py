"""What the engine must give: module-level calls on C-contiguous copies.

For each frame and layer, the part of the background under the visible part of
the layer is copied out, blended by the module-level function with the same
kernel, and written back; a masked layer is first made float32 RGBA with its
alpha (255 for RGB) times the mask ((alpha * m) / 255 for uint8 masks). Images
the kernels do not take as they are (uint16, float64, floats on 0..1,
premultiplied RGBA) are converted to float32 on 0..255 with straight alpha for
the call, and the result back.
"""

import numpy as np

import _zarvel

F32 = np.float32


def as_is(image, unit, premultiplied):
    """Whether the kernels take these pixels as they are."""
    kernel_type = image.dtype == np.uint8 or (image.dtype == np.float32 and not unit)
    return kernel_type and not (premultiplied and image.shape[-1] == 4)


def to_working(image, unit=False, premultiplied=False):
    if as_is(image, unit, premultiplied):
        return image
    if image.dtype == np.uint16:
        w = image.astype(F32) / F32(257)
    else:
        w = image.astype(F32)
        if unit and image.dtype.kind == "f":
            w = w * F32(255)
    if premultiplied and image.shape[-1] == 4:
        alpha = w[..., 3:] / F32(255)
        w[..., :3] = np.where(w[..., 3:] > 0, w[..., :3] / np.where(alpha > 0, alpha, F32(1)), F32(0))
    return w


def from_working(work, like, unit=False, premultiplied=False):
    if as_is(like, unit, premultiplied):
        return work
    w = work.astype(F32, copy=True)
    if premultiplied and w.shape[-1] == 4:
        w[..., :3] = w[..., :3] * (w[..., 3:] / F32(255))
    if unit and like.dtype.kind == "f":
        w = w / F32(255)
    if like.dtype.kind == "u":
        top = F32(255) if like.dtype == np.uint8 else F32(65535)
        if like.dtype == np.uint16:
            w = w * F32(257)
        w = np.rint(np.clip(np.where(np.isnan(w), F32(0), w), 0, top))
    return w.astype(like.dtype)


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


def module_kernel(kernel):
    """The module kernel whose results an engine kernel must give: the 16-lane
    AVX-512 kernel gives the 8-lane AVX2 kernel's, bit for bit (the module
    runs "avx512" only as its automatic choice)."""
    return "avx2" if str(kernel) == "avx512" else kernel


def composite(background, layers, kernel="auto", unit=False, premultiplied=False):
    """layers: (image, mode, opacity, mask, (y, x)) tuples; returns a new array.
    A layer whose opacity is 0 or less leaves the background as it is."""
    out = np.array(background, copy=True)
    frames = out if out.ndim == 4 else out[None]
    for f in range(frames.shape[0]):
        for image, mode, opacity, mask, (oy, ox) in layers:
            img = frame_of(image, f, 3)
            top, rows, itop = visible(oy, img.shape[0], frames.shape[1])
            left, cols, ileft = visible(ox, img.shape[1], frames.shape[2])
            if rows == 0 or cols == 0 or opacity <= 0:
                continue
            region = (slice(top, top + rows), slice(left, left + cols))
            fg = to_working(img[itop : itop + rows, ileft : ileft + cols], unit, premultiplied)
            if mask is not None:
                fg = masked(
                    fg,
                    frame_of(mask, f, 2)[itop : itop + rows, ileft : ileft + cols].astype(
                        np.uint8 if mask.dtype == np.uint8 else F32
                    ),
                )
            stored = frames[f][region]
            bg = to_working(stored, unit, premultiplied).copy()  # fresh, so 16-byte aligned like any copy
            fg = fg.copy()
            assert bg.ctypes.data % 16 == 0 and fg.ctypes.data % 16 == 0
            result = getattr(_zarvel, mode)(bg, fg, opacity, module_kernel(kernel))
            frames[f][region] = from_working(result, stored, unit, premultiplied)
    return out
