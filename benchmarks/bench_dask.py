"""Out-of-core compositing through Dask, next to the in-memory engine.

    python benchmarks/bench_dask.py                    # 20000 x 20000: two 1.6 GB inputs, ~5 GB of disk
    python benchmarks/bench_dask.py --size 4096        # a quick run
    python benchmarks/bench_dask.py --phases composite-threads,in-memory --markdown

The pipeline is examples/out_of_core.py's: two generated RGBA uint8 images
written as Zarr arrays in --chunk x --chunk x 4 chunks; the second one and a
masked watermark across four chunks composited onto the first with
zarvel.dask.composite, into a Zarr output. Each phase runs in a process of its
own, so that its peak RSS (ru_maxrss) is its own:

- write: generating and writing the inputs;
- composite-threads, composite-sync: Zarr to Zarr on the threaded scheduler
  (--workers threads) and on the synchronous one (one thread), then a check of
  sampled chunks against the in-memory engine (after the RSS is taken);
  "cores busy" is the process's CPU time over the wall time (above 1 only if
  threads ran at once, which needs the interpreter lock released);
- blend-threads, blend-sync: the same from the Zarr inputs into a target that
  drops the chunks: reading and blending without the Zarr writer;
- distributed: Zarr to Zarr on a LocalCluster of --workers processes (the
  client's and each worker's peak RSS);
- in-memory: a (size/2) x (size/2) quarter read into NumPy and composited by
  zarvel.composite with threads=2 and threads=1, and by zarvel.dask on the same
  arrays held in memory, threaded and synchronous: the pixel work alone (also
  for one lch_color layer on a 2 x chunk square, whose pixel work is about 50
  times the stack's);
  interleaved, the best of five.

The limits checked at the end (informational, nothing fails): composite peak
RSS below 1.5 GB, threaded at least 1.6 x synchronous. Ratios between
schedulers mean something only on an otherwise idle machine: with other work
on the two cores they fall toward 1.
"""

import argparse
import json
import os
import resource
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "examples"))

PHASES = ("write", "composite-threads", "composite-sync", "blend-threads", "blend-sync", "distributed", "in-memory")


def rss_mb() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def cpu_s() -> float:
    """CPU seconds of this process's threads so far (user and system)."""
    t = os.times()
    return t.user + t.system


class Discard:
    """A da.store target that drops what it is given."""

    def __setitem__(self, key, value):
        pass


def phase(name: str, directory: str, size: int, chunk: int, workers: int) -> dict:
    import dask
    import dask.array as da
    import numpy as np

    import out_of_core as ex
    import zarvel
    import zarvel.dask as zd

    paths = [os.path.join(directory, f"{n}.zarr") for n in ("background", "layer")]
    mpx = size * size / 1e6
    if name == "write":
        start = time.perf_counter()
        with dask.config.set(num_workers=workers):
            ex.write_inputs(directory, size, chunk, "threads")
        return dict(seconds=time.perf_counter() - start, rss_mb=rss_mb())
    if name.startswith("composite-"):
        scheduler = "threads" if name.endswith("threads") else "synchronous"
        out_path = os.path.join(directory, f"out-{scheduler}.zarr")
        cpu = cpu_s()
        with dask.config.set(num_workers=workers):
            seconds, exact = ex.composite_to_zarr(paths, out_path, size, chunk, scheduler)
        cpu = cpu_s() - cpu
        peak = rss_mb()
        checked = ex.check_chunks(paths, out_path, size, chunk)
        shutil.rmtree(out_path, ignore_errors=True)
        return dict(
            seconds=seconds, mpx_s=mpx / seconds, rss_mb=peak, cores_busy=cpu / seconds, exact=exact, checked=checked
        )
    if name.startswith("blend-"):
        scheduler = "threads" if name.endswith("threads") else "synchronous"
        background, layer = (da.from_zarr(p) for p in paths)
        mark, mask, offset = ex.watermark(size, chunk)
        result = zd.composite(background, ex.layers_for(layer, mark, mask, offset))
        start, cpu = time.perf_counter(), cpu_s()
        with dask.config.set(num_workers=workers):
            da.store(result, Discard(), lock=False, scheduler=scheduler)
        seconds = time.perf_counter() - start
        return dict(seconds=seconds, mpx_s=mpx / seconds, rss_mb=rss_mb(), cores_busy=(cpu_s() - cpu) / seconds)
    if name == "distributed":
        from distributed import Client, LocalCluster

        with (
            LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster,
            Client(cluster) as client,
        ):
            out_path = os.path.join(directory, "out-distributed.zarr")
            seconds, exact = ex.composite_to_zarr(paths, out_path, size, chunk, None, client)
            worker_rss = list(client.run(rss_mb).values())
        shutil.rmtree(out_path, ignore_errors=True)
        return dict(seconds=seconds, mpx_s=mpx / seconds, rss_mb=rss_mb(), worker_rss_mb=worker_rss)
    if name == "in-memory":
        half = size // 2
        background, layer = (np.asarray(da.from_zarr(p)[:half, :half]) for p in paths)
        mark, mask, offset = ex.watermark(size, chunk)
        layers = ex.layers_for(layer, mark, mask, offset)
        lazy_layer = da.from_array(layer, chunks=(chunk, chunk, 4))
        lazy_bg = da.from_array(background, chunks=(chunk, chunk, 4))
        lazy = zd.composite(lazy_bg, ex.layers_for(lazy_layer, mark, mask, offset))
        crop = min(half, 2 * chunk)  # pixel work dominates; a 4096 x 4096 crop is enough
        heavy = zd.composite(lazy_bg[:crop, :crop], [zarvel.Layer(lazy_layer[:crop, :crop], "lch_color", 0.8)])

        def store(array, scheduler):
            with dask.config.set(num_workers=workers):
                da.store(array, Discard(), lock=False, scheduler=scheduler)

        engine = {
            "engine_threads2_s": lambda: zarvel.composite(background, layers, threads=2),
            "engine_threads1_s": lambda: zarvel.composite(background, layers, threads=1),
        }
        lazy_runs = {
            "dask_threads_s": lambda: store(lazy, "threads"),
            "dask_synchronous_s": lambda: store(lazy, "synchronous"),
            "lch_dask_threads_s": lambda: store(heavy, "threads"),
            "lch_dask_synchronous_s": lambda: store(heavy, "synchronous"),
        }
        found = dict(size=half, crop=crop)
        for runs in (engine, lazy_runs):  # the engine's runs first, on their own
            for run in runs.values():  # warm up: code, pages of the outputs
                run()
            for _ in range(5):  # interleaved, the best of five
                for key, run in runs.items():
                    start = time.perf_counter()
                    run()
                    found[key] = min(found.get(key, float("inf")), time.perf_counter() - start)
        found["rss_mb"] = rss_mb()
        return found
    raise SystemExit(f"unknown phase {name}")


def run_phase(name, args, directory) -> dict:
    command = [
        sys.executable,
        os.path.abspath(__file__),
        "--phase",
        name,
        "--dir",
        directory,
        "--size",
        str(args.size),
        "--chunk",
        str(args.chunk),
        "--workers",
        str(args.workers),
    ]
    done = subprocess.run(command, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"phase {name} failed:\n{done.stdout}\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def report(results: dict, args, markdown: bool) -> None:
    mpx = args.size * args.size / 1e6
    rows = []
    for name in PHASES:
        if name not in results or name == "in-memory":
            continue
        r = results[name]
        extra = ""
        if "worker_rss_mb" in r:
            extra = "workers " + ", ".join(f"{v:.0f}" for v in r["worker_rss_mb"]) + " MB"
        if "checked" in r:
            extra = f"{r['checked']} chunks checked, exact chunking: {r['exact']}"
        if "cores_busy" in r:
            extra = (extra + "; " if extra else "") + f"{r['cores_busy']:.2f} cores busy"
        rate = f"{r['mpx_s']:.0f}" if "mpx_s" in r else f"{mpx / r['seconds']:.0f} (writing)"
        rows.append((name, f"{args.size} x {args.size}", f"{r['seconds']:.1f}", rate, f"{r['rss_mb']:.0f}", extra))
    if "in-memory" in results:
        r = results["in-memory"]
        for key, label in (
            ("engine_threads2_s", "zarvel.composite, threads=2"),
            ("engine_threads1_s", "zarvel.composite, threads=1"),
            ("dask_threads_s", "zarvel.dask in memory, threaded"),
            ("dask_synchronous_s", "zarvel.dask in memory, synchronous"),
            ("lch_dask_threads_s", "same, lch_color layer only, threaded"),
            ("lch_dask_synchronous_s", "same, lch_color layer only, synchronous"),
        ):
            side = r["crop"] if key.startswith("lch_") else r["size"]
            rows.append(
                (
                    label,
                    f"{side} x {side}",
                    f"{r[key]:.2f}",
                    f"{side * side / 1e6 / r[key]:.0f}",
                    f"{r['rss_mb']:.0f}",
                    "in-memory phase, one process",
                )
            )
    head = ("run", "image", "seconds", "Mpx/s", "peak RSS MB", "")
    if markdown:
        print("| " + " | ".join(head) + " |")
        print("|" + "---|" * len(head))
        for row in rows:
            print("| " + " | ".join(row) + " |")
    else:
        for row in (head,) + tuple(rows):
            print(f"{row[0]:<38} {row[1]:>13} {row[2]:>8} {row[3]:>14} {row[4]:>12}  {row[5]}")
    print()
    if "composite-threads" in results:
        peak = results["composite-threads"]["rss_mb"]
        print(
            f"composite peak RSS {peak:.0f} MB for {2 * mpx * 4 / 1e3:.1f} GB of inputs: "
            f"{'below' if peak < 1500 else 'ABOVE'} 1.5 GB"
        )
    for a, b, what in (
        ("composite-threads", "composite-sync", "Zarr to Zarr"),
        ("blend-threads", "blend-sync", "Zarr to blend, no writing"),
    ):
        if a in results and b in results:
            ratio = results[b]["seconds"] / results[a]["seconds"]
            print(f"{what}: threaded {ratio:.2f} x synchronous ({'meets' if ratio >= 1.6 else 'BELOW'} 1.6 x)")
    if "in-memory" in results:
        r = results["in-memory"]
        for prefix, what in (("", "the stack"), ("lch_", "an lch_color layer")):
            ratio = r[f"{prefix}dask_synchronous_s"] / r[f"{prefix}dask_threads_s"]
            print(
                f"pixel work in memory, {what}: threaded {ratio:.2f} x synchronous "
                f"({'meets' if ratio >= 1.6 else 'BELOW'} 1.6 x)"
            )


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=20000)
    parser.add_argument("--chunk", type=int, default=2048)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--dir", default=None, help="where the Zarr files go (default: a temporary directory)")
    parser.add_argument(
        "--reuse",
        metavar="DIR",
        help="keep the inputs in DIR and reuse them when present (the "
        "timed phases can then wait for a quiet machine without writing again)",
    )
    parser.add_argument("--phases", default=",".join(PHASES))
    parser.add_argument("--markdown", action="store_true")
    parser.add_argument("--phase", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.phase:
        print(json.dumps(phase(args.phase, args.dir, args.size, args.chunk, args.workers)))
        return
    if args.reuse:
        directory = args.reuse
        os.makedirs(directory, exist_ok=True)
    else:
        directory = tempfile.mkdtemp(prefix="zarvel-bench-dask-", dir=args.dir)
    need = 3 * args.size * args.size * 4 / 1e9
    free = shutil.disk_usage(directory).free / 1e9
    if free < need * 1.2:
        if not args.reuse:
            shutil.rmtree(directory)
        raise SystemExit(f"{free:.1f} GB free in {directory}; the run needs about {need:.1f} GB")
    print(
        f"{args.size} x {args.size} RGBA uint8, {args.chunk} x {args.chunk} chunks, {args.workers} workers, "
        f"files in {directory}"
    )
    results = {}
    have_inputs = all(os.path.isdir(os.path.join(directory, f"{n}.zarr")) for n in ("background", "layer"))
    try:
        wanted = args.phases.split(",")
        for name in PHASES:
            if name in wanted or (name == "write" and not (args.reuse and have_inputs)):
                results[name] = run_phase(name, args, directory)
                print(f"  {name}: {json.dumps(results[name])}", flush=True)
    finally:
        if not args.reuse:
            shutil.rmtree(directory, ignore_errors=True)
    print()
    report(results, args, args.markdown)


if __name__ == "__main__":
    main()
