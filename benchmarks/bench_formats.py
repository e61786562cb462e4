"""Converted pixel formats and opaque 8-bit blends, as ratios measured in one run.

    python benchmarks/bench_formats.py                  # everything
    python benchmarks/bench_formats.py --repeat 21 --markdown
    python benchmarks/bench_formats.py --only formats   # or: --only opencv

1. Converted formats, 3840x2160 RGBA, blend(..., out=buf, threads=1) at
   opacity 0.5 for multiply, normal and screen: uint16 and premultiplied
   uint8 against the same call on uint8 (target: at most 1.5x the time);
   float32 on 0..1 (scale=1.0) against float32 on 0..255 (at most 1.5x);
   float64 on 0..1 against float32 on 0..255 (at most 2.5x).
2. Two RGB uint8 images at opacity 1 with out=, 3840x2160 and 1920x1080, on
   1 and 2 threads: difference, darken_only, lighten_only, addition and
   subtract against OpenCV's absdiff, min, max, add and subtract with dst=,
   and multiply against cv2.multiply(..., scale=1/255), OpenCV on as many
   threads (cv2.setNumThreads) (target: at most 1x the time).

Each ratio is the median over --repeat pairs of runs, the two sides of a
pair run one after the other, so that a change in the machine's speed hits
both alike. Nothing here fails: it prints the figures.
"""

import argparse

import numpy as np

import zarvel
from bench_engine import paired, rgba  # the same interleaved pairs and test images


def formats(args, report):
    width, height = map(int, args.size.split("x"))
    rng = np.random.default_rng(1)
    a8, b8 = rgba(rng, height, width), rgba(rng, height, width)
    kinds = {
        "uint8": (a8, b8, {}),
        "uint16": (a8.astype(np.uint16) * 257, b8.astype(np.uint16) * 257, {}),
        "uint8 premultiplied": (a8, b8, {"premultiplied": True}),
        "float32 0..255": (a8.astype(np.float32), b8.astype(np.float32), {}),
        "float32 0..1": (a8.astype(np.float32) / 255, b8.astype(np.float32) / 255, {"scale": 1.0}),
        "float64 0..1": (a8.astype(np.float64) / 255, b8.astype(np.float64) / 255, {"scale": 1.0}),
    }
    outs = {name: np.empty_like(bg) for name, (bg, _, _) in kinds.items()}

    def call(name, mode):
        bg, fg, options = kinds[name]
        return lambda: zarvel.blend(bg, fg, mode, 0.5, out=outs[name], threads=1, **options)

    pairs = [
        ("uint16", "uint8", 1.5),
        ("uint8 premultiplied", "uint8", 1.5),
        ("float32 0..1", "float32 0..255", 1.5),
        ("float64 0..1", "float32 0..255", 2.5),
    ]
    for mode in ("multiply", "normal", "screen"):
        for name, base, goal in pairs:
            t, ref, ratio = paired(call(name, mode), call(base, mode), args.repeat)
            print(f"{mode:9s} {name:20s} {t:7.2f} ms; {base:15s} {ref:6.2f} ms: {ratio:.2f}x")
            report(
                f"{mode}, {name} / {base} ({width}x{height} RGBA, threads=1)",
                f"{ratio:.2f}x",
                f"<= {goal}x",
                ratio <= goal,
            )


def opencv(args, report):
    try:
        import cv2
    except ImportError:
        print("OpenCV is not installed: its comparisons are left out")
        return
    peers = {
        "difference": lambda a, b, d: cv2.absdiff(a, b, dst=d),
        "darken_only": lambda a, b, d: cv2.min(a, b, dst=d),
        "lighten_only": lambda a, b, d: cv2.max(a, b, dst=d),
        "addition": lambda a, b, d: cv2.add(a, b, dst=d),
        "subtract": lambda a, b, d: cv2.subtract(a, b, dst=d),
        "multiply": lambda a, b, d: cv2.multiply(a, b, dst=d, scale=1 / 255),
    }
    names = {
        "difference": "absdiff",
        "darken_only": "min",
        "lighten_only": "max",
        "addition": "add",
        "subtract": "subtract",
        "multiply": "multiply(scale=1/255)",
    }
    rng = np.random.default_rng(2)
    for width, height in ((3840, 2160), (1920, 1080)):
        a = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
        b = rng.integers(0, 256, (height, width, 3), dtype=np.uint8)
        out, dst = np.empty_like(a), np.empty_like(a)
        for threads in (1, 2):
            cv2.setNumThreads(threads)
            for mode, peer in peers.items():
                t, ref, ratio = paired(
                    lambda: zarvel.blend(a, b, mode, 1.0, out=out, threads=threads),
                    lambda: peer(a, b, dst),
                    args.repeat,
                )
                print(
                    f"{width}x{height} threads={threads} {mode:12s} {t:6.2f} ms; cv2.{names[mode]} {ref:6.2f} ms: "
                    f"{ratio:.2f}x"
                )
                report(
                    f"{mode} / cv2.{names[mode]} ({width}x{height} RGB, threads={threads})",
                    f"{ratio:.2f}x",
                    "<= 1x",
                    ratio <= 1.0,
                )
    cv2.setNumThreads(-1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", default="3840x2160", help="canvas WIDTHxHEIGHT of the format comparisons")
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--only", choices=("formats", "opencv"))
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()
    rows = []

    def report(name, value, target, ok):
        rows.append((name, value, target, "met" if ok else "NOT met"))

    if args.only != "opencv":
        formats(args, report)
    if args.only != "formats":
        opencv(args, report)
    print()
    if args.markdown:
        print("| measurement | time ratio | goal | |")
        print("|---|---|---|---|")
        for row in rows:
            print("| " + " | ".join(row) + " |")
    else:
        for name, value, target, verdict in rows:
            print(f"{name:62s} {value:>7s}  ({target}) {verdict}")


if __name__ == "__main__":
    main()
