"""Throughput of every blend mode on every kernel, next to np.add as a yardstick.

    python benchmarks/bench_modes.py                       # 1920x1080, everything
    python benchmarks/bench_modes.py --size 3840x2160 --modes multiply,screen,normal --kinds rgba-u8
    python benchmarks/bench_modes.py --kernels avx2 --repeat 9 --markdown

For each mode, image kind and kernel the median time of --repeat calls at
opacity 0.5 (foreground and background of the same kind), interleaved: each
round calls every mode on every kernel (and every peer) once, so that a change
of load on a shared machine touches all of them alike. It is printed as
megapixels per second and as a multiple of the median time of np.add(bg, fg)
on the same two arrays, which, like a blend call, reads two images and writes
a new one: a measure of memory bandwidth. "avx512/sc" (or "avx2/sc", or
"neon/sc" on aarch64) is the widest vector kernel's speed-up over the scalar
kernel. Two RGB uint8 images at opacity 0.5 make `normal` take its integer path.

Pillow and OpenCV, when installed, are timed on comparable operations as peers,
and skia-python (the bench extra) on its non-separable modes kHue, kColor and
kLuminosity, the nearest to the LCH modes: a premultiplied source image drawn
onto a raster surface (RGBA 8888 for the 8-bit kinds, RGBA F32 for the float
ones), the draw only. The targets at the end are informational; nothing here
fails.
"""

import argparse
import statistics
import sys
import time

import numpy as np

import _zarvel

try:
    import zarvel

    MODES = tuple(zarvel.MODES)
    SEPARABLE = tuple(getattr(zarvel, "SEPARABLE_MODES", ()))
except (ImportError, AttributeError):
    MODES = tuple(n for n in dir(_zarvel) if not n.startswith("_") and n != "kernel_available")
    SEPARABLE = ()
if not SEPARABLE:
    SEPARABLE = tuple(m for m in MODES if m != "normal" and not m.startswith(("hsv_", "hsl_", "lch_")))
HSV_HSL = tuple(m for m in MODES if m.startswith(("hsv_", "hsl_")))

try:  # the build's kernel list; older builds without it had these
    from zarvel._registry import KERNELS
except ImportError:
    KERNELS = ("scalar", "sse42", "avx2", "avx512", "neon")
KINDS = {  # name: (channels, dtype)
    "rgba-u8": (4, np.uint8),
    "rgb-u8": (3, np.uint8),
    "rgba-f32": (4, np.float32),
    "rgb-f32": (3, np.float32),
}
OPACITY = 0.5


def make_image(rng, h, w, kind):
    c, dtype = KINDS[kind]
    img = rng.integers(0, 256, (h, w, c), dtype=np.uint8)
    if c == 4:  # alphas: opaque, transparent and everything between
        a = img[..., 3]
        pick = rng.random((h, w))
        a[pick < 0.3] = 255
        a[pick > 0.9] = 0
    return img.astype(dtype) if dtype != np.uint8 else img


def kernel_available(name):
    """The package answers for every kernel ("avx512" and "neon" too); the module for its own
    four names. The module's blend functions run "avx512" and "neon" as the automatic choice,
    which is that kernel where the processor has it."""
    try:
        return zarvel.kernel_available(name)
    except (NameError, ValueError):  # no package, or one without "neon"
        pass
    try:
        return _zarvel.kernel_available(name)
    except ValueError:
        return False


def median_time(fn, repeat):
    return interleaved_times({None: fn}, repeat)[None]


def interleaved_times(calls, repeat):
    """{key: median seconds}: a warm-up call each (code, page tables, allocator),
    then `repeat` rounds that call each function once in turn."""
    for fn in calls.values():
        fn()
    times = {key: [] for key in calls}
    for _ in range(repeat):
        for key, fn in calls.items():
            start = time.perf_counter()
            out = fn()
            times[key].append(time.perf_counter() - start)
            del out
            print(".", end="", file=sys.stderr, flush=True)
    return {key: statistics.median(t) for key, t in times.items()}


SKIA_MODES = ("kHue", "kColor", "kLuminosity")


def skia_peers(bg, fg, kind):
    """{label: draw}: skia's non-separable modes drawing fg (premultiplied) onto bg."""
    try:
        import skia
    except ImportError:
        return {}
    c, dtype = KINDS[kind]
    h, w = bg.shape[:2]

    def rgba(img):
        if c == 3:
            full = 255 if dtype == np.uint8 else np.float32(255)
            img = np.concatenate([img, np.full(img.shape[:2] + (1,), full, img.dtype)], axis=2)
        return img

    back, front = rgba(bg), rgba(fg).astype(np.float32)
    front[..., :3] *= front[..., 3:] / 255  # premultiplied
    if dtype == np.uint8:
        color_type, back_pixels = skia.kRGBA_8888_ColorType, back
        front_pixels = np.round(front).astype(np.uint8)
    else:
        color_type = skia.kRGBA_F32_ColorType
        back_pixels, front_pixels = (back / 255).astype(np.float32), (front / 255).astype(np.float32)
    info = skia.ImageInfo.Make(w, h, color_type, skia.kPremul_AlphaType)
    surface = skia.Surface.MakeRaster(info)
    canvas = surface.getCanvas()
    canvas.writePixels(info, np.ascontiguousarray(back_pixels).tobytes(), back_pixels.strides[0], 0, 0)
    source = skia.Image.fromarray(
        np.ascontiguousarray(front_pixels), colorType=color_type, alphaType=skia.kPremul_AlphaType
    )
    sampling = skia.SamplingOptions()
    draws = {}
    for name in SKIA_MODES:
        paint = skia.Paint(BlendMode=getattr(skia.BlendMode, name))
        draws[f"skia {name}"] = lambda p=paint: canvas.drawImage(source, 0, 0, sampling, p)
    draws["_keep"] = lambda: (surface, canvas, source)  # the objects outlive the timing
    return draws


def peers(bg, fg, kind):
    """Comparable operations in other libraries, where installed: {label: call}."""
    found = {}
    c, dtype = KINDS[kind]
    if dtype == np.uint8:
        try:
            from PIL import Image, ImageChops

            mode = "RGBA" if c == 4 else "RGB"
            a, b = Image.fromarray(bg, mode), Image.fromarray(fg, mode)
            found["Pillow ImageChops.multiply"] = lambda: ImageChops.multiply(a, b)
            found["Pillow ImageChops.screen"] = lambda: ImageChops.screen(a, b)
            found["Pillow Image.blend 0.5"] = lambda: Image.blend(a, b, 0.5)
            if c == 4:
                found["Pillow Image.alpha_composite"] = lambda: Image.alpha_composite(a, b)
        except ImportError:
            pass
        try:
            import cv2

            found["OpenCV multiply scale=1/255"] = lambda: cv2.multiply(bg, fg, scale=1 / 255)
            found["OpenCV addWeighted 0.5"] = lambda: cv2.addWeighted(bg, 0.5, fg, 0.5, 0)
        except ImportError:
            pass
    found.update(skia_peers(bg, fg, kind))
    return found


def parse_list(text, allowed, what):
    items = [t.strip() for t in text.split(",") if t.strip()]
    bad = [t for t in items if t not in allowed]
    if bad:
        sys.exit(f"unknown {what}: {', '.join(bad)} (choose from {', '.join(allowed)})")
    return items


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--size", default="1920x1080", help="WIDTHxHEIGHT (default 1920x1080)")
    ap.add_argument("--repeat", type=int, default=5, help="calls per measurement; the median is kept")
    ap.add_argument("--modes", default=",".join(MODES))
    ap.add_argument("--kernels", default=",".join(KERNELS))
    ap.add_argument("--kinds", default=",".join(KINDS))
    ap.add_argument("--markdown", action="store_true", help="print the tables as markdown")
    ap.add_argument("--no-peers", action="store_true", help="skip Pillow/OpenCV even if installed")
    args = ap.parse_args(argv)

    w, h = (int(v) for v in args.size.lower().split("x"))
    modes = parse_list(args.modes, MODES, "mode")
    kinds = parse_list(args.kinds, tuple(KINDS), "kind")
    kernels = [k for k in parse_list(args.kernels, KERNELS, "kernel") if kernel_available(k)]
    widest = next((k for k in ("avx512", "avx2", "neon", "sse42") if k in kernels), None)
    skipped = [k for k in parse_list(args.kernels, KERNELS, "kernel") if k not in kernels]
    mpx = w * h / 1e6

    print(
        f"zarvel blend throughput, {w}x{h} ({mpx:.2f} Mpx), opacity {OPACITY}, "
        f"median of {args.repeat}, NumPy {np.__version__}, Python {sys.version.split()[0]}"
    )
    if skipped:
        print(f"kernels not available on this processor (skipped): {', '.join(skipped)}")

    rng = np.random.default_rng(1)
    results = {}  # (mode, kind, kernel) -> seconds
    add_time = {}
    peer_rows = []
    peer_times = {}  # (label, kind) -> seconds
    for kind in kinds:
        bg, fg = make_image(rng, h, w, kind), make_image(rng, h, w, kind)
        calls = {("np.add",): lambda bg=bg, fg=fg: np.add(bg, fg)}
        for mode in modes:
            fn = getattr(_zarvel, mode)
            for kernel in kernels:
                calls[mode, kind, kernel] = lambda fn=fn, k=kernel, bg=bg, fg=fg: fn(bg, fg, OPACITY, k)
        found = {} if args.no_peers else peers(bg, fg, kind)
        keep = found.pop("_keep", None)
        calls.update({("peer", label): call for label, call in found.items()})
        times = interleaved_times(calls, args.repeat)
        add_time[kind] = times.pop(("np.add",))
        for key, sec in times.items():
            if key[0] == "peer":
                peer_rows.append((key[1], kind, sec))
                peer_times[key[1], kind] = sec
            else:
                results[key] = sec
        del bg, fg, calls, found, keep
    print(file=sys.stderr)

    header = ["mode", "kind", "np.add ms"]
    for k in kernels:
        header += [f"{k} Mpx/s", f"{k} ×add"]
    if "scalar" in kernels and widest:
        header.append(f"{widest}/sc")
    rows = []
    for mode in modes:
        for kind in kinds:
            row = [mode, kind, f"{add_time[kind] * 1e3:.2f}"]
            for k in kernels:
                t = results[mode, kind, k]
                row += [f"{mpx / t:.1f}", f"{t / add_time[kind]:.2f}"]
            if "scalar" in kernels and widest:
                row.append(f"{results[mode, kind, 'scalar'] / results[mode, kind, widest]:.1f}")
            rows.append(row)
    print_table(header, rows, args.markdown)
    mpx_targets = mpx

    if peer_rows:
        print("\npeers (same arrays):")
        print_table(
            ["operation", "kind", "Mpx/s", "×add"],
            [[label, kind, f"{mpx / sec:.1f}", f"{sec / add_time[kind]:.2f}"] for label, kind, sec in peer_rows],
            args.markdown,
        )

    lch_rows = lch_comparison(results, peer_times, kernels)
    if lch_rows:
        print(
            "\nLCH modes next to skia's non-separable modes (draw only, premultiplied source; "
            "same run; ratio = zarvel Mpx/s / skia Mpx/s):"
        )
        print_table(
            ["mode", "kind", "kernel", "Mpx/s"] + [f"/ {m}" for m in SKIA_MODES],
            [[m, kind, k, f"{mpx / t:.1f}"] + ratios for m, kind, k, t, ratios in lch_rows],
            args.markdown,
        )

    print("\ntargets (informational):")
    for line in targets(results, add_time, mpx_targets):
        print("  " + line)


def lch_comparison(results, peer_times, kernels):
    """(mode, kind, kernel, seconds, [ratio to each skia mode]) for the LCH modes."""
    rows = []
    for (mode, kind, kernel), sec in results.items():
        if not mode.startswith("lch_") or kernel not in kernels:
            continue
        ratios = []
        for name in SKIA_MODES:
            peer = peer_times.get((f"skia {name}", kind))
            ratios.append("-" if peer is None else f"{peer / sec:.2f}")
        rows.append((mode, kind, kernel, sec, ratios))
    return rows


LCH_TARGETS = {"avx512": 70, "avx2": 45}  # Mpx/s, one core, RGBA u8 and RGB f32


def targets(results, add_time, mpx=1920 * 1080 / 1e6):
    def ratio_add(mode, kind, kernel="avx2"):
        t = results.get((mode, kind, kernel))
        return None if t is None or kind not in add_time else t / add_time[kind]

    def verdict(ok):
        return "met" if ok else "MISSED"

    lines = []
    for mode in ("multiply", "screen", "normal"):
        r = ratio_add(mode, "rgba-u8")
        lines.append(
            f"avx2 {mode} RGBA u8 <= 3x np.add: " + ("not measured" if r is None else f"{r:.2f}x  {verdict(r <= 3)}")
        )
    r = ratio_add("normal", "rgb-u8")
    lines.append(
        "avx2 normal on two RGB u8 (integer path) <= 2x np.add: "
        + ("not measured" if r is None else f"{r:.2f}x  {verdict(r <= 2)}")
    )
    for group, need, label in ((SEPARABLE, 5, "every separable mode"), (HSV_HSL, 4, "HSV/HSL modes")):
        speedups = {
            m: results[m, "rgba-u8", "scalar"] / results[m, "rgba-u8", "avx2"]
            for m in group
            if (m, "rgba-u8", "scalar") in results and (m, "rgba-u8", "avx2") in results
        }
        if not group:
            lines.append(f"avx2 >= {need}x scalar, {label}: no such modes in this build")
        elif not speedups:
            lines.append(f"avx2 >= {need}x scalar, {label} (RGBA u8): not measured")
        else:
            low = {m: s for m, s in speedups.items() if s < need}
            worst = min(speedups, key=speedups.get)
            lines.append(
                f"avx2 >= {need}x scalar, {label} (RGBA u8, {len(speedups)} measured): "
                f"lowest {worst} {speedups[worst]:.1f}x  {verdict(not low)}"
                + (f"; below: {', '.join(f'{m} {s:.1f}x' for m, s in low.items())}" if low else "")
            )
    for kernel, need in LCH_TARGETS.items():
        speeds = {
            (m, kind): mpx / t
            for (m, kind, k), t in results.items()
            if k == kernel and m.startswith("lch_") and kind in ("rgba-u8", "rgb-f32")
        }
        if not speeds:
            lines.append(f"{kernel} LCH modes >= {need} Mpx/s (RGBA u8, RGB f32): not measured")
            continue
        low = {key: v for key, v in speeds.items() if v < need}
        worst = min(speeds, key=speeds.get)
        lines.append(
            f"{kernel} LCH modes >= {need} Mpx/s (RGBA u8, RGB f32; {len(speeds)} measured): lowest "
            f"{worst[0]} {worst[1]} {speeds[worst]:.1f}  {verdict(not low)}"
        )
    return lines


def print_table(header, rows, markdown):
    if markdown:
        print("| " + " | ".join(header) + " |")
        print("|" + "|".join("---" if i < 2 else "---:" for i in range(len(header))) + "|")
        for row in rows:
            print("| " + " | ".join(row) + " |")
        return
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    fmt = lambda row: "  ".join(
        str(x).ljust(wd) if i < 2 else str(x).rjust(wd) for i, (x, wd) in enumerate(zip(row, widths))
    )
    print(fmt(header))
    print("  ".join("-" * wd for wd in widths))
    for row in rows:
        print(fmt(row))


if __name__ == "__main__":
    main()
