"""What a small zarvel.blend / zarvel.composite call costs beyond the module-level call.

    python benchmarks/bench_overhead.py
    python benchmarks/bench_overhead.py --rounds 41 --markdown

1. 64 x 64 RGB uint8 ``normal``: ``zarvel.blend(bg, fg, "normal", out=buf)``
   against ``zarvel.normal(bg, fg)`` (target: at most 3x the time).
2. 256 x 256 RGBA uint8 ``multiply`` at opacity 0.5: ``blend(..., out=buf)``
   against ``zarvel.multiply(bg, fg, 0.5)`` (target: at most 1.3x).
3. For reference: OpenCV's ``addWeighted`` on the 64 x 64 images with ``dst=``,
   a call of about the same work, and ``composite`` with one layer.

Each figure is timed as the median of --rounds rounds of --calls calls; the
calls of the things compared alternate round by round (A, B, A, B, ...), so
that a change in the machine's speed hits them alike, and each ratio is the
median of the per-round ratios. The clock is the calling thread's CPU time
(``time.thread_time``), which time spent waiting for a CPU on a busy machine
does not inflate: every call here runs on the calling thread (the images are
below the size at which the engine uses a second thread). ``--wall`` uses
wall-clock time instead. Nothing here fails: it prints the figures.
"""

import argparse
import statistics
import time

import numpy as np

import zarvel


CLOCK = time.thread_time


def per_call_us(fn, calls):
    start = CLOCK()
    for _ in range(calls):
        fn()
    return (CLOCK() - start) / calls * 1e6


def interleaved(named, rounds, calls):
    """{name: median us per call}, {name: [per-round us]} with the functions alternating."""
    for fn in named.values():
        per_call_us(fn, calls)  # warm up: caches, helper threads, first allocations
    samples = {name: [] for name in named}
    for _ in range(rounds):
        for name, fn in named.items():
            samples[name].append(per_call_us(fn, calls))
    return {name: statistics.median(s) for name, s in samples.items()}, samples


def ratio(samples, a, b):
    return statistics.median(x / y for x, y in zip(samples[a], samples[b]))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=101)
    parser.add_argument("--calls", type=int, default=400, help="calls per round for the 64 x 64 images")
    parser.add_argument("--wall", action="store_true", help="time with the wall clock, not thread CPU time")
    parser.add_argument("--markdown", action="store_true")
    args = parser.parse_args()
    global CLOCK
    if args.wall:
        CLOCK = time.perf_counter
    rng = np.random.default_rng(1)

    small_bg = rng.integers(0, 256, (64, 64, 3), dtype=np.uint8)
    small_fg = rng.integers(0, 256, (64, 64, 3), dtype=np.uint8)
    small_out = np.empty_like(small_bg)
    big_bg = rng.integers(0, 256, (256, 256, 4), dtype=np.uint8)
    big_fg = rng.integers(0, 256, (256, 256, 4), dtype=np.uint8)
    big_out = np.empty_like(big_bg)

    small = {
        "blend(out=buf)": lambda: zarvel.blend(small_bg, small_fg, "normal", out=small_out),
        "zarvel.normal": lambda: zarvel.normal(small_bg, small_fg),
        "composite(out=buf), 1 layer": lambda: zarvel.composite(small_bg, [zarvel.Layer(small_fg)], out=small_out),
        "blend(), new array": lambda: zarvel.blend(small_bg, small_fg, "normal"),
    }
    try:
        import cv2

        cv2.setNumThreads(1)
        small["cv2.addWeighted(dst=)"] = lambda: cv2.addWeighted(small_bg, 0.5, small_fg, 0.5, 0.0, dst=small_out)
    except ImportError:
        pass
    big = {
        "blend(out=buf)": lambda: zarvel.blend(big_bg, big_fg, "multiply", 0.5, out=big_out),
        "zarvel.multiply": lambda: zarvel.multiply(big_bg, big_fg, 0.5),
    }
    small_us, small_samples = interleaved(small, args.rounds, args.calls)
    big_us, big_samples = interleaved(big, args.rounds, max(args.calls // 20, 20))

    rows = [
        (
            "64 x 64 RGB u8 normal: blend(out=buf) / zarvel.normal",
            f"{ratio(small_samples, 'blend(out=buf)', 'zarvel.normal'):.2f}x "
            f"({small_us['blend(out=buf)']:.2f} us, {small_us['zarvel.normal']:.2f} us)",
            "at most 3x",
        ),
        (
            "64 x 64: composite(out=buf) of one layer / zarvel.normal",
            f"{ratio(small_samples, 'composite(out=buf), 1 layer', 'zarvel.normal'):.2f}x "
            f"({small_us['composite(out=buf), 1 layer']:.2f} us)",
            "",
        ),
        (
            "64 x 64: blend() into a new array / zarvel.normal",
            f"{ratio(small_samples, 'blend(), new array', 'zarvel.normal'):.2f}x "
            f"({small_us['blend(), new array']:.2f} us)",
            "",
        ),
    ]
    if "cv2.addWeighted(dst=)" in small:
        rows.append(
            (
                "64 x 64: blend(out=buf) / cv2.addWeighted(dst=)",
                f"{ratio(small_samples, 'blend(out=buf)', 'cv2.addWeighted(dst=)'):.2f}x "
                f"(addWeighted {small_us['cv2.addWeighted(dst=)']:.2f} us)",
                "reference",
            )
        )
    rows.append(
        (
            "256 x 256 RGBA u8 multiply 0.5: blend(out=buf) / zarvel.multiply",
            f"{ratio(big_samples, 'blend(out=buf)', 'zarvel.multiply'):.2f}x "
            f"({big_us['blend(out=buf)']:.1f} us, {big_us['zarvel.multiply']:.1f} us)",
            "at most 1.3x",
        )
    )

    if args.markdown:
        print("| measurement | result | target |\n|---|---|---|")
        for row in rows:
            print("| " + " | ".join(row) + " |")
    else:
        for name, result, target in rows:
            print(f"{name:64s} {result:36s} {target}")


if __name__ == "__main__":
    main()
