"""Images per second of `zarvel blend` on a folder, by the number of images processed at once.

    python benchmarks/bench_cli.py [--count 24] [--size 1920x1080] [--format jpg] [--mode screen]

Writes a folder of generated photographs (smooth gradients with noise) and a
logo to a temporary folder, then runs the installed `zarvel` command on it
with --jobs 1, 2, ... up to the CPUs available, and prints the wall time and
images per second of each run next to the time spent only reading and
writing the files (no blend), which bounds what the command can reach.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import numpy as np

from zarvel import gallery, io


def photo(height, width, seed):
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    base = np.stack([x / width, y / height, 1 - x / width], axis=-1) * 200 + 20
    return np.clip(base + rng.normal(0, 12, (height, width, 3)), 0, 255).astype(np.uint8)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--count", type=int, default=24)
    parser.add_argument("--size", default="1920x1080")
    parser.add_argument("--format", default="jpg", choices=("jpg", "png", "tif", "webp"))
    parser.add_argument("--mode", default="screen")
    args = parser.parse_args()
    width, height = (int(v) for v in args.size.lower().split("x"))
    command = shutil.which("zarvel", path=os.path.dirname(sys.executable)) or "zarvel"
    cpus = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1

    with tempfile.TemporaryDirectory() as tmp:
        tmp = Path(tmp)
        (tmp / "in").mkdir()
        for i in range(args.count):
            io.write_image(tmp / "in" / f"img{i:03d}.{args.format}", photo(height, width, i))
        io.write_image(tmp / "logo.png", gallery.make_logo(min(height, width) // 2))
        files = sorted((tmp / "in").iterdir())

        def copy(path):
            io.write_image(tmp / "copy" / path.name, io.read_image(path))

        (tmp / "copy").mkdir()
        start = time.perf_counter()
        with ThreadPoolExecutor(cpus) as pool:
            list(pool.map(copy, files))
        io_only = time.perf_counter() - start
        print(f"{args.count} images {width}x{height} .{args.format}, mode {args.mode}, {cpus} CPUs")
        print(
            f"{'read + write only, ' + str(cpus) + ' threads':32s} {io_only:7.2f} s "
            f"{args.count / io_only:8.1f} images/s"
        )
        for jobs in range(1, cpus + 1):
            out = tmp / f"out{jobs}"
            start = time.perf_counter()
            subprocess.run(
                [
                    command,
                    "blend",
                    str(tmp / "in"),
                    str(tmp / "logo.png"),
                    "-m",
                    args.mode,
                    "--offset",
                    "20,20",
                    "-o",
                    str(out),
                    "--jobs",
                    str(jobs),
                    "-q",
                ],
                check=True,
            )
            elapsed = time.perf_counter() - start
            print(f"{'zarvel blend --jobs ' + str(jobs):32s} {elapsed:7.2f} s {args.count / elapsed:8.1f} images/s")


if __name__ == "__main__":
    main()
