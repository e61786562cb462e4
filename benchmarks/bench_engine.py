"""The compositing engine's speed and memory targets, as ratios measured in one run.

    python benchmarks/bench_engine.py                 # 3840x2160 RGBA uint8, every target
    python benchmarks/bench_engine.py --repeat 21 --markdown

1. blend(..., out=buf, threads=1) for multiply, screen and normal against
   np.add(a, b, out=c) on the same arrays (target: at most 2.5x).
2. threads=2 against threads=1 for multiply and normal (target: at least
   1.7x on a 2-core machine), and how it scales up to the CPUs available.
3. composite() of 4 layers in one call against 4 chained module-level calls
   (target: at least 1.3x faster), on one thread and on all.
4. A 512x512 layer blended at an offset into the 4K canvas in place, against
   the same blend on standalone 512x512 arrays (target: at most 1.5x).
5. Peak extra memory of an 8-layer 4K composite into a new array, beyond the
   inputs and the output: tracemalloc and the process's resident size
   (target: at most 64 MB).

Each ratio is the median over --repeat pairs of runs, the two sides of a pair
run one after the other, so that the machine's changing speed (a shared host's
memory bandwidth varies by tens of percent) hits both alike. Run it on a quiet
machine. Nothing here fails: it prints the figures.
"""

import argparse
import os
import statistics
import time
import tracemalloc

import numpy as np

import _zarvel
import zarvel


def median_ms(fn, repeat):
    fn()
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


def paired(fn, reference, repeat):
    """(median ms of fn, median ms of reference, median of the per-pair ratios): the two
    alternate, so that a change in the machine's speed during the run hits both alike."""
    fn(), reference()
    times, refs, ratios = [], [], []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        middle = time.perf_counter()
        reference()
        end = time.perf_counter()
        times.append(middle - start)
        refs.append(end - middle)
        ratios.append((middle - start) / (end - middle))
    return statistics.median(times) * 1e3, statistics.median(refs) * 1e3, statistics.median(ratios)


def rgba(rng, h, w):
    img = rng.integers(0, 256, (h, w, 4), dtype=np.uint8)
    pick = rng.random((h, w))
    img[..., 3][pick < 0.3] = 255
    img[..., 3][pick > 0.9] = 0
    return img


def status_mb(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) / 1024
    raise KeyError(field)


def reset_peak_rss():
    """Linux: start the peak resident size (VmHWM) afresh from the current size."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", default="3840x2160", help="canvas WIDTHxHEIGHT")
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--markdown", action="store_true", help="print a Markdown table")
    args = parser.parse_args()
    width, height = map(int, args.size.split("x"))
    rng = np.random.default_rng(1)
    a, b = rgba(rng, height, width), rgba(rng, height, width)
    c = np.empty_like(a)
    rows = []

    def report(name, value, target, ok):
        rows.append((name, value, target, "met" if ok else "NOT met"))

    for mode in ("multiply", "screen", "normal"):
        t, add, ratio = paired(
            lambda mode=mode: zarvel.blend(a, b, mode, 0.5, out=c, threads=1), lambda: np.add(a, b, out=c), args.repeat
        )
        print(f"{mode:9s} threads=1 {t:7.2f} ms ({width * height / t / 1e3:6.0f} Mpx/s); np.add(out=) {add:.2f} ms")
        report(f"blend {mode}, out=, threads=1 / np.add(out=)", f"{ratio:.2f}x", "<= 2.5x", ratio <= 2.5)

    cpus = len(os.sched_getaffinity(0))
    for mode in ("multiply", "normal"):
        scaling = []
        for threads in range(2, max(cpus, 2) + 1):
            one, many, ratio = paired(
                lambda mode=mode: zarvel.blend(a, b, mode, 0.5, out=c, threads=1),
                lambda mode=mode, threads=threads: zarvel.blend(a, b, mode, 0.5, out=c, threads=threads),
                args.repeat,
            )
            scaling.append(f"{threads}: {ratio:.2f}x")
            if threads == 2:
                report(f"blend {mode}, threads=2 speed-up over threads=1", f"{ratio:.2f}x", ">= 1.7x", ratio >= 1.7)
        print(f"{mode:9s} speed-up by threads: " + ", ".join(scaling))

    layers = [zarvel.Layer(rgba(rng, height, width), mode, 0.5) for mode in ("multiply", "screen", "overlay", "normal")]

    def chained():
        x = a
        for layer in layers:
            x = getattr(_zarvel, layer.mode)(x, layer.image, layer.opacity)
        return x

    chain, stack, ratio = paired(chained, lambda: zarvel.composite(a, layers, threads=1), args.repeat)
    print(f"4 layers: composite {stack:.1f} ms (threads=1), 4 chained module calls {chain:.1f} ms")
    report(
        "composite of 4 layers (threads=1) vs 4 chained module calls", f"{ratio:.2f}x faster", ">= 1.3x", ratio >= 1.3
    )
    chain, stack, ratio = paired(chained, lambda: zarvel.composite(a, layers), args.repeat)
    print(f"4 layers: composite {stack:.1f} ms (threads={cpus}), 4 chained module calls {chain:.1f} ms")
    report(
        f"composite of 4 layers (threads={cpus}) vs 4 chained module calls",
        f"{ratio:.2f}x faster",
        ">= 1.3x",
        ratio >= 1.3,
    )

    small_bg, small_fg = rgba(rng, 512, 512), rgba(rng, 512, 512)
    small_out = np.empty_like(small_bg)
    canvas = a.copy()
    offset = (height // 2 - 200, width // 2 - 300)
    placed, alone, ratio = paired(
        lambda: zarvel.blend(canvas, small_fg, "multiply", 0.5, offset=offset, out=canvas, threads=1),
        lambda: zarvel.blend(small_bg, small_fg, "multiply", 0.5, out=small_out, threads=1),
        args.repeat * 4,
    )
    print(f"512x512 at an offset into the canvas, in place: {placed:.3f} ms; standalone: {alone:.3f} ms")
    report("512x512 layer at an offset in place vs standalone 512x512", f"{ratio:.2f}x", "<= 1.5x", ratio <= 1.5)

    eight = [
        zarvel.Layer(rgba(rng, height, width), mode, 0.6)
        for mode in ("multiply", "screen", "overlay", "normal", "soft_light", "hsv_hue", "darken_only", "difference")
    ]
    zarvel.composite(a, eight)  # warm up: code and the thread pool's first use
    out = np.ones_like(a)  # touched, so its pages are resident before the call
    tracemalloc.start()
    reset_peak_rss()
    base_rss = status_mb("VmRSS")
    zarvel.composite(a, eight, out=out)
    traced = tracemalloc.get_traced_memory()[1] / 2**20
    tracemalloc.stop()
    rss_growth = status_mb("VmHWM") - base_rss
    print(
        f"8-layer composite into out: tracemalloc peak {traced:.1f} MB, peak RSS growth {rss_growth:.1f} MB "
        f"(resident before: {base_rss:.0f} MB)"
    )
    report("8-layer 4K composite, extra memory (tracemalloc)", f"{traced:.1f} MB", "<= 64 MB", traced <= 64)
    report("8-layer 4K composite, extra memory (peak RSS growth)", f"{rss_growth:.1f} MB", "<= 64 MB", rss_growth <= 64)

    print()
    if args.markdown:
        print("| target | measured | goal | |")
        print("|---|---|---|---|")
        for row in rows:
            print("| " + " | ".join(row) + " |")
    else:
        for name, value, target, verdict in rows:
            print(f"{name:58s} {value:>14s}  ({target}) {verdict}")


if __name__ == "__main__":
    main()
