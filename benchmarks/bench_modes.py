"""Throughput of every blend mode on every kernel, next to np.add as a yardstick.

    python benchmarks/bench_modes.py                       # 1920x1080, everything
    python benchmarks/bench_modes.py --size 3840x2160 --modes multiply,screen,normal --kinds rgba-u8
    python benchmarks/bench_modes.py --kernels avx2 --repeat 9 --markdown

For each mode, image kind and kernel the median time of --repeat calls at
opacity 0.5 (foreground and background of the same kind) is printed as
megapixels per second and as a multiple of the median time of np.add(bg, fg)
on the same two arrays, which, like a blend call, reads two images and writes
a new one: a measure of memory bandwidth. "avx512/sc" (or "avx2/sc", or
"neon/sc" on aarch64) is the widest vector kernel's speed-up over the scalar
kernel. Two RGB uint8 images at opacity 0.5 make `normal` take its integer path.

Pillow and OpenCV, when installed, are timed on comparable operations as peers.
The targets at the end are informational; nothing here fails.
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
KINDS = {                       # name: (channels, dtype)
    "rgba-u8": (4, np.uint8),
    "rgb-u8": (3, np.uint8),
    "rgba-f32": (4, np.float32),
    "rgb-f32": (3, np.float32),
}
OPACITY = 0.5


def make_image(rng, h, w, kind):
    c, dtype = KINDS[kind]
    img = rng.integers(0, 256, (h, w, c), dtype=np.uint8)
    if c == 4:                  # alphas: opaque, transparent and everything between
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
    except (NameError, ValueError):      # no package, or one without "neon"
        pass
    try:
        return _zarvel.kernel_available(name)
    except ValueError:
        return False


def median_time(fn, repeat):
    fn()                        # warm up: code, page tables, allocator
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - start)
        del out
    return statistics.median(times)


def peers(bg, fg, kind, repeat):
    """Comparable operations in other libraries, where installed: {label: seconds}."""
    found = {}
    c, dtype = KINDS[kind]
    if dtype != np.uint8:
        return found
    try:
        from PIL import Image, ImageChops
        mode = "RGBA" if c == 4 else "RGB"
        a, b = Image.fromarray(bg, mode), Image.fromarray(fg, mode)
        found["Pillow ImageChops.multiply"] = median_time(lambda: ImageChops.multiply(a, b), repeat)
        found["Pillow ImageChops.screen"] = median_time(lambda: ImageChops.screen(a, b), repeat)
        found["Pillow Image.blend 0.5"] = median_time(lambda: Image.blend(a, b, 0.5), repeat)
        if c == 4:
            found["Pillow Image.alpha_composite"] = median_time(lambda: Image.alpha_composite(a, b), repeat)
    except ImportError:
        pass
    try:
        import cv2
        found["OpenCV multiply scale=1/255"] = median_time(lambda: cv2.multiply(bg, fg, scale=1 / 255), repeat)
        found["OpenCV addWeighted 0.5"] = median_time(lambda: cv2.addWeighted(bg, 0.5, fg, 0.5, 0), repeat)
    except ImportError:
        pass
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

    print(f"zarvel blend throughput, {w}x{h} ({mpx:.2f} Mpx), opacity {OPACITY}, "
          f"median of {args.repeat}, NumPy {np.__version__}, Python {sys.version.split()[0]}")
    if skipped:
        print(f"kernels not available on this processor (skipped): {', '.join(skipped)}")

    rng = np.random.default_rng(1)
    results = {}                 # (mode, kind, kernel) -> seconds
    add_time = {}
    peer_rows = []
    for kind in kinds:
        bg, fg = make_image(rng, h, w, kind), make_image(rng, h, w, kind)
        add_time[kind] = median_time(lambda bg=bg, fg=fg: np.add(bg, fg), args.repeat)
        for mode in modes:
            fn = getattr(_zarvel, mode)
            for kernel in kernels:
                results[mode, kind, kernel] = median_time(
                    lambda fn=fn, bg=bg, fg=fg, kernel=kernel: fn(bg, fg, OPACITY, kernel), args.repeat)
                print(".", end="", file=sys.stderr, flush=True)
        if not args.no_peers:
            for label, sec in peers(bg, fg, kind, args.repeat).items():
                peer_rows.append((label, kind, sec))
        del bg, fg
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

    if peer_rows:
        print("\npeers (same arrays, uint8 only):")
        print_table(["operation", "kind", "Mpx/s", "×add"],
                    [[label, kind, f"{mpx / sec:.1f}", f"{sec / add_time[kind]:.2f}"]
                     for label, kind, sec in peer_rows], args.markdown)

    print("\ntargets (informational):")
    for line in targets(results, add_time):
        print("  " + line)


def targets(results, add_time):
    def ratio_add(mode, kind, kernel="avx2"):
        t = results.get((mode, kind, kernel))
        return None if t is None or kind not in add_time else t / add_time[kind]

    def verdict(ok):
        return "met" if ok else "MISSED"

    lines = []
    for mode in ("multiply", "screen", "normal"):
        r = ratio_add(mode, "rgba-u8")
        lines.append(f"avx2 {mode} RGBA u8 <= 3x np.add: " +
                     ("not measured" if r is None else f"{r:.2f}x  {verdict(r <= 3)}"))
    r = ratio_add("normal", "rgb-u8")
    lines.append("avx2 normal on two RGB u8 (integer path) <= 2x np.add: " +
                 ("not measured" if r is None else f"{r:.2f}x  {verdict(r <= 2)}"))
    for group, need, label in ((SEPARABLE, 5, "every separable mode"), (HSV_HSL, 4, "HSV/HSL modes")):
        speedups = {m: results[m, "rgba-u8", "scalar"] / results[m, "rgba-u8", "avx2"]
                    for m in group if (m, "rgba-u8", "scalar") in results and (m, "rgba-u8", "avx2") in results}
        if not group:
            lines.append(f"avx2 >= {need}x scalar, {label}: no such modes in this build")
        elif not speedups:
            lines.append(f"avx2 >= {need}x scalar, {label} (RGBA u8): not measured")
        else:
            low = {m: s for m, s in speedups.items() if s < need}
            worst = min(speedups, key=speedups.get)
            lines.append(f"avx2 >= {need}x scalar, {label} (RGBA u8, {len(speedups)} measured): "
                         f"lowest {worst} {speedups[worst]:.1f}x  {verdict(not low)}" +
                         (f"; below: {', '.join(f'{m} {s:.1f}x' for m, s in low.items())}" if low else ""))
    return lines


def print_table(header, rows, markdown):
    if markdown:
        print("| " + " | ".join(header) + " |")
        print("|" + "|".join("---" if i < 2 else "---:" for i in range(len(header))) + "|")
        for row in rows:
            print("| " + " | ".join(row) + " |")
        return
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    fmt = lambda row: "  ".join(str(x).ljust(wd) if i < 2 else str(x).rjust(wd)
                                for i, (x, wd) in enumerate(zip(row, widths)))
    print(fmt(header))
    print("  ".join("-" * wd for wd in widths))
    for row in rows:
        print(fmt(row))


if __name__ == "__main__":
    main()
