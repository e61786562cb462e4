"""Compositing images larger than memory: Zarr on disk in, Dask chunk by chunk, Zarr out.

    python examples/out_of_core.py                          # 4096 x 4096: two 67 MB inputs
    python examples/out_of_core.py --size 20000             # 20000 x 20000: two 1.6 GB inputs
    python examples/out_of_core.py --scheduler distributed  # a LocalCluster of worker processes

Needs the dask extra:  pip install 'zarvel[dask]'

1. Writes two RGBA 8-bit images, generated block by block (gradients, stripes
   and noise), as Zarr arrays on disk in --chunk x --chunk x 4 chunks: neither
   is ever whole in memory.
2. Composites the second one (soft light, 80 %) and a masked watermark placed
   across the corner of four chunks onto the first with zarvel.dask.composite,
   straight into a Zarr output.
3. Checks a sample of output chunks against the in-memory engine on the same
   pixels, and prints wall time, megapixels per second and peak memory.

The files go to a temporary directory (--dir to choose where) that is removed
at the end unless --keep is given.
"""

import argparse
import os
import resource
import shutil
import sys
import tempfile
import time

import numpy as np

import dask
import dask.array as da

import zarvel
import zarvel.dask as zd


def peak_rss_mb() -> float:
    """This process's peak resident set size so far, in MB (Linux reports kilobytes)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def generated_block(_, seed: int, size: int, block_info=None) -> np.ndarray:
    """One chunk of a generated RGBA image, from its position alone (so any chunk can be
    made again, anywhere, without the rest). The first argument is the empty template's block."""
    (r0, r1), (c0, c1), _ = block_info[None]["array-location"]
    y = np.arange(r0, r1, dtype=np.float32)[:, None]
    x = np.arange(c0, c1, dtype=np.float32)[None, :]
    rng = np.random.default_rng([seed, r0, c0])
    block = np.empty((r1 - r0, c1 - c0, 4), np.uint8)
    block[..., 0] = (x * (255 / size)).astype(np.uint8)
    block[..., 1] = (y * (255 / size)).astype(np.uint8)
    block[..., 2] = ((x + y * (1 + seed)) % 256).astype(np.uint8)
    block[..., 3] = 255 if seed == 0 else 64 + ((y // 97 + x // 131) % 3).astype(np.uint8) * 64
    block[..., :3] ^= rng.integers(0, 16, (r1 - r0, c1 - c0, 3), dtype=np.uint8)
    return block


def write_inputs(directory: str, size: int, chunk: int, scheduler: str):
    """Two generated images as Zarr arrays: background.zarr and layer.zarr."""
    paths = []
    for seed, name in ((0, "background"), (1, "layer")):
        template = da.empty((size, size, 4), dtype=np.uint8, chunks=(chunk, chunk, 4))
        image = template.map_blocks(generated_block, seed, size, dtype=np.uint8, meta=np.empty((0, 0, 0), np.uint8))
        path = os.path.join(directory, f"{name}.zarr")
        image.to_zarr(path, compute=False).compute(scheduler=scheduler)
        paths.append(path)
    return paths


def watermark(size: int, chunk: int):
    """An RGBA mark, its float mask (a soft-edged ellipse) and an offset across the corner of
    four chunks; its width and column offset are multiples of 16, so the chunking stays exact."""
    h = max(min(1500, size // 5), 8)
    w = max(16 * (min(4096, size // 3) // 16), 16)
    yy, xx = np.mgrid[0:h, 0:w].astype(np.float32)
    mark = np.empty((h, w, 4), np.uint8)
    mark[..., 0], mark[..., 1], mark[..., 2] = 250, 240, 255
    mark[..., 3] = np.where(((yy // 24) + (xx // 24)) % 2 == 0, 200, 120).astype(np.uint8)
    r = ((yy - h / 2) / (h / 2)) ** 2 + ((xx - w / 2) / (w / 2)) ** 2
    mask = np.clip((1.0 - r) * 3, 0, 1).astype(np.float32)
    blocks = -(-size // chunk)
    corner = chunk * (blocks // 2) if blocks > 1 else size // 2
    offset = (corner - h // 2, 16 * ((corner - w // 2) // 16))
    return mark, mask, offset


def layers_for(layer, mark, mask, offset):
    return [zarvel.Layer(layer, "soft_light", 0.8), zarvel.Layer(mark, "screen", 0.9, mask=mask, offset=offset)]


def composite_to_zarr(paths, out_path, size, chunk, scheduler, client=None):
    """The whole pipeline as Dask sees it: read, blend and write chunk by chunk."""
    background, layer = (da.from_zarr(p) for p in paths)
    mark, mask, offset = watermark(size, chunk)
    layers = layers_for(layer, mark, mask, offset)
    result = zd.composite(background, layers)
    store = result.to_zarr(out_path, compute=False)
    start = time.perf_counter()
    if client is not None:
        client.compute(store).result()
    else:
        store.compute(scheduler=scheduler)
    return time.perf_counter() - start, zd.is_exact(result, layers)


def check_chunks(paths, out_path, size, chunk, samples=8, seed=0):
    """Sampled output chunks (and the four under the watermark's corner) against the in-memory
    engine on the same pixels; returns how many were checked."""
    import zarr

    background, layer, out = (zarr.open_array(p, mode="r") for p in (*paths, out_path))
    mark, mask, offset = watermark(size, chunk)
    blocks = -(-size // chunk)
    rng = np.random.default_rng(seed)
    picks = {tuple(int(v) for v in rng.integers(0, blocks, 2)) for _ in range(samples)}
    corner = (offset[0] + mark.shape[0] // 2) // chunk
    picks |= {(corner + di, corner + dj) for di in (-1, 0) for dj in (-1, 0)}
    picks = sorted(p for p in picks if 0 <= min(p) and max(p) < blocks)
    for i, j in picks:
        window = (slice(i * chunk, (i + 1) * chunk), slice(j * chunk, (j + 1) * chunk))
        moved = (offset[0] - i * chunk, offset[1] - j * chunk)
        want = zarvel.composite(background[window], layers_for(layer[window], mark, mask, moved), threads=1)
        if not np.array_equal(out[window], want):
            raise SystemExit(f"chunk ({i}, {j}) differs from the in-memory engine")
    return len(picks)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--size", type=int, default=4096, help="height and width in pixels (default 4096)")
    parser.add_argument("--chunk", type=int, default=2048, help="chunk height and width (default 2048)")
    parser.add_argument("--scheduler", default="threads", choices=("threads", "synchronous", "distributed"))
    parser.add_argument("--workers", type=int, default=2, help="threads, or worker processes (default 2)")
    parser.add_argument("--dir", default=None, help="where the Zarr files go (default: a temporary directory)")
    parser.add_argument("--keep", action="store_true", help="keep the Zarr files")
    args = parser.parse_args(argv)

    directory = tempfile.mkdtemp(prefix="zarvel-out-of-core-", dir=args.dir)
    gb = args.size * args.size * 4 / 1e9
    free = shutil.disk_usage(directory).free / 1e9
    print(
        f"{args.size} x {args.size} RGBA uint8 in {args.chunk} x {args.chunk} chunks: {gb:.2f} GB per image, "
        f"three images on disk before compression ({free:.0f} GB free in {directory})"
    )
    client = cluster = None
    try:
        if args.scheduler == "distributed":
            from distributed import Client, LocalCluster

            cluster = LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=":0")
            client = Client(cluster)
        with dask.config.set(num_workers=args.workers):
            start = time.perf_counter()
            paths = write_inputs(directory, args.size, args.chunk, "threads")
            print(f"wrote the inputs in {time.perf_counter() - start:.1f} s; peak RSS so far {peak_rss_mb():.0f} MB")
            out_path = os.path.join(directory, "composite.zarr")
            seconds, exact = composite_to_zarr(paths, out_path, args.size, args.chunk, args.scheduler, client)
        mpx = args.size * args.size / 1e6
        print(
            f"composited {mpx:.1f} Mpx (2 layers) with the {args.scheduler} scheduler, {args.workers} workers: "
            f"{seconds:.1f} s, {mpx / seconds:.0f} Mpx/s; peak RSS of this process {peak_rss_mb():.0f} MB"
        )
        if client is not None:
            workers = client.run(lambda: resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024)
            print("peak RSS of the workers: " + ", ".join(f"{v:.0f} MB" for v in workers.values()))
        checked = check_chunks(paths, out_path, args.size, args.chunk)
        scope = (
            ", and so, the chunking being exact for these layers, to the in-memory call on the whole image"
            if exact
            else " (this chunking is not exact for these layers: the whole-image call may differ "
            "within the kernels' rounding)"
        )
        print(f"checked {checked} chunks: bit for bit equal to the in-memory engine on their pixels{scope}")
    finally:
        if client is not None:
            client.close()
            cluster.close()
        if args.keep:
            print(f"kept {directory}")
        else:
            shutil.rmtree(directory, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
