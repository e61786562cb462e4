"""Zarvel in a few lines: blend generated images with several modes and kernels.

Run:  python examples/quickstart.py
No image files are needed: the inputs are gradients and checkerboards made with NumPy.
"""

import time

import numpy as np

import zarvel

H, W = 480, 640


def gradient_rgba(h, w):
    """A horizontal red ramp, a vertical green ramp, constant blue, alpha fading in from the left."""
    x = np.linspace(0, 255, w, dtype=np.float32)[None, :].repeat(h, 0)
    y = np.linspace(0, 255, h, dtype=np.float32)[:, None].repeat(w, 1)
    img = np.empty((h, w, 4), np.uint8)
    img[..., 0] = np.round(x)
    img[..., 1] = np.round(y)
    img[..., 2] = 96
    img[..., 3] = np.round(np.clip(x * 1.5, 0, 255))
    return img


def checkerboard_rgb(h, w, cell=40):
    """Light and dark grey squares with a tinted diagonal band."""
    yy, xx = np.mgrid[0:h, 0:w]
    light = ((yy // cell + xx // cell) % 2).astype(bool)
    img = np.where(light[..., None], np.uint8(200), np.uint8(55)).repeat(3, axis=2).astype(np.uint8)
    band = np.abs(yy - xx) < cell // 2
    img[band] = (230, 120, 40)
    return img


def show(label, bg, fg, out, seconds):
    mpx = bg.shape[0] * bg.shape[1] / seconds / 1e6
    px = [round(float(v), 2) if out.dtype.kind == "f" else int(v) for v in out[H // 2, W // 2]]
    print(
        f"  {label:<38} -> {out.dtype.name}{list(out.shape)}  centre pixel {px}"
        f"  {seconds * 1e3:7.2f} ms  ({mpx:6.1f} Mpx/s)"
    )


def timed(fn, *args):
    fn(*args)  # warm up
    start = time.perf_counter()
    out = fn(*args)
    return out, time.perf_counter() - start


def main():
    print("Zarvel quickstart")
    print("kernels available:", {k: zarvel.kernel_available(k) for k in ("scalar", "sse42", "avx2")})
    print("modes:", ", ".join(zarvel.MODES))

    photo = checkerboard_rgb(H, W)  # background: RGB uint8
    layer = gradient_rgba(H, W)  # foreground: RGBA uint8
    print(f"\nbackground {photo.dtype.name}{list(photo.shape)}, foreground {layer.dtype.name}{list(layer.shape)}")
    print(f"  centre pixels: background {photo[H // 2, W // 2].tolist()}, foreground {layer[H // 2, W // 2].tolist()}")

    print("\nuint8 RGB background, uint8 RGBA layer, automatic kernel:")
    for mode, opacity in (
        ("normal", 1.0),
        ("normal", 0.5),
        ("multiply", 1.0),
        ("screen", 0.8),
        ("overlay", 1.0),
        ("soft_light", 0.7),
        ("difference", 1.0),
    ):
        out, sec = timed(getattr(zarvel, mode), photo, layer, opacity)
        show(f"{mode}(opacity={opacity})", photo, layer, out, sec)

    print("\nfloat32 (0..255 scale) RGBA background, uint8 RGB layer:")
    photo_f = np.concatenate([photo.astype(np.float32), np.full((H, W, 1), 255, np.float32)], axis=2)
    # A strided view such as layer[..., :3] would work too, but NumPy copies it
    # first; a contiguous array is read in place.
    layer_rgb = np.ascontiguousarray(layer[..., :3])
    for mode in ("multiply", "addition", "divide"):
        out, sec = timed(getattr(zarvel, mode), photo_f, layer_rgb, 0.5)
        show(f"{mode}(opacity=0.5)", photo_f, layer_rgb, out, sec)
    print("  the result keeps the background's type and channel count:", out.dtype, out.shape)

    print("\nthe same multiply on each kernel (a kernel the processor lacks runs as scalar):")
    results = {}
    for kernel in ("scalar", "sse42", "avx2"):
        out, sec = timed(zarvel.multiply, layer, photo, 0.5, kernel)
        results[kernel] = out
        show(f"multiply(0.5, kernel={kernel!r})", layer, photo, out, sec)
    for kernel in ("sse42", "avx2"):
        diff = np.abs(results[kernel].astype(int) - results["scalar"].astype(int)).max()
        print(f"  largest difference {kernel} vs scalar: {diff} (8-bit rounding of ties may differ by 1)")

    print("\nthe kernel can also be named with the KernelKind enumeration, or in place of the opacity:")
    a = zarvel.screen(photo, layer, zarvel.KernelKind.SCALAR)
    b = zarvel.screen(photo, layer, 1.0, "scalar")
    print("  screen(bg, fg, KernelKind.SCALAR) == screen(bg, fg, 1.0, 'scalar'):", bool(np.array_equal(a, b)))


if __name__ == "__main__":
    main()
