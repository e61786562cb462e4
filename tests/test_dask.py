"""zarvel.dask and zarvel.xarray against the in-memory engine.

The contract: every output chunk equals, bit for bit, zarvel.composite on that
chunk's pixels (the layers moved by the chunk's corner); when
zarvel.dask.is_exact holds the whole result equals the in-memory call on the
whole image; otherwise it stays within the kernels' documented differences.
Most tests run on the threaded scheduler; a module-wide LocalCluster with two
worker processes runs the cases that cross process boundaries.
"""

import logging
import os
import subprocess
import sys

import numpy as np
import pytest

da = pytest.importorskip("dask.array", reason="zarvel[dask] is not installed (pip install '.[test]')")
distributed = pytest.importorskip("distributed", reason="zarvel[dask] is not installed (pip install '.[test]')")

import zarvel  # noqa: E402
import zarvel.dask as zd  # noqa: E402
from test_engine import identical, image, mask_for  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODES = zarvel.MODES


@pytest.fixture(scope="module")
def client():
    """Two worker processes on this machine, one thread each; closed with the module."""
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=logging.ERROR
    ) as cluster:
        with distributed.Client(cluster, set_as_default=False) as c:
            yield c


def cuts(rng, n):
    """Random chunk sizes along an axis of length n: single pixels, one chunk, anything between."""
    kind = rng.integers(0, 4)
    if kind == 0 or n <= 1:
        return (n,)
    points = sorted(set(rng.integers(1, n, int(rng.integers(1, min(n, 6) + 1))).tolist()))
    if kind == 1:
        points = list(range(1, min(n, 4))) + [p for p in points if p >= 4]
    bounds = [0] + points + [n]
    return tuple(b - a for a, b in zip(bounds, bounds[1:]))


def as_dask(rng, array):
    """Half the inputs as Dask arrays in chunks of their own, the rest NumPy."""
    if rng.random() < 0.5:
        return array
    return da.from_array(array, chunks=tuple(cuts(rng, n) for n in array.shape))


def random_stack(rng, frames, height, width, count, special=True):
    """(image, mode, opacity, mask, offset) tuples: full-size and small layers, in and across the edges."""
    layers = []
    for _ in range(count):
        full = rng.random() < 0.35
        h, w = (height, width) if full else (int(rng.integers(1, 40)), int(rng.integers(1, 40)))
        n = None if frames is None or rng.random() < 0.5 else int(rng.choice([1, frames]))
        img = image(
            rng,
            (() if n is None else (n,)) + (h, w),
            int(rng.choice([3, 4])),
            rng.choice([np.uint8, np.float32]),
            special=special and rng.random() < 0.3,
        )
        mlead = () if frames is None or rng.random() < 0.5 else (int(rng.choice([1, frames])),)
        mask = mask_for(rng, mlead + (h, w), rng.choice([None, "u8", "f32"]))
        if full and rng.random() < 0.6:
            offset = (0, 0)
        else:
            offset = (int(rng.integers(-h - 2, height + 2)), int(rng.integers(-w - 2, width + 2)))
        opacity = float(rng.choice([0.5, 1.0, 0.25, 1.5, -0.5] + ([float("nan")] if special else [])))
        layers.append((img, str(rng.choice(MODES)), opacity, mask, offset))
    return layers


def to_layers(stack, wrap=lambda a: a):
    return [
        zarvel.Layer(wrap(img), mode, opacity, mask=None if mask is None else wrap(mask), offset=offset)
        for img, mode, opacity, mask, offset in stack
    ]


def frame_part(array, frames, ndim):
    """The frames of a per-frame argument that one chunk covers."""
    per_frame = frames is not None and array is not None and array.ndim == ndim + 1 and array.shape[0] > 1
    return array[frames] if per_frame else array


def chunk_by_chunk(bg, chunks, stack, kernel="auto", **formats):
    """What each chunk must hold: the engine on the chunk's pixels, the layers moved by its corner."""
    out = np.empty_like(bg)
    starts = [np.cumsum((0,) + c[:-1]) for c in chunks]
    frame_ranges = [slice(a, a + n) for a, n in zip(starts[0], chunks[0])] if bg.ndim == 4 else [None]
    for fr in frame_ranges:
        for r0, rn in zip(starts[-3], chunks[-3]):
            for c0, cn in zip(starts[-2], chunks[-2]):
                window = (() if fr is None else (fr,)) + (slice(r0, r0 + rn), slice(c0, c0 + cn))
                layers = [
                    zarvel.Layer(
                        frame_part(img, fr, 3),
                        mode,
                        opacity,
                        mask=frame_part(mask, fr, 2),
                        offset=(oy - int(r0), ox - int(c0)),
                    )
                    for img, mode, opacity, mask, (oy, ox) in stack
                ]
                out[window] = zarvel.composite(bg[window], layers, threads=1, kernel=kernel, **formats)
    return out


def background(rng, frames, height, width, special=True):
    lead = () if frames is None else (frames,)
    return image(
        rng, lead + (height, width), int(rng.choice([3, 4])), rng.choice([np.uint8, np.float32]), special=special
    )


@pytest.mark.parametrize("seed", range(16))
def test_every_chunk_is_the_engine_on_its_pixels(seed):
    rng = np.random.default_rng(500 + seed)
    frames = None if seed % 3 else int(rng.integers(1, 4))
    height, width = int(rng.integers(1, 70)), int(rng.integers(1, 70))
    bg = background(rng, frames, height, width, special=seed % 4 == 1)
    chunks = tuple(cuts(rng, n) for n in bg.shape[:-1]) + ((bg.shape[-1],),)
    stack = random_stack(rng, frames, height, width, int(rng.integers(1, 4)))
    kernel = str(rng.choice(["auto", "scalar", "sse42"]))
    lazy = zd.composite(da.from_array(bg, chunks=chunks), to_layers(stack, lambda a: as_dask(rng, a)), kernel=kernel)
    assert lazy.chunks == chunks and lazy.dtype == bg.dtype and lazy.shape == bg.shape
    got = lazy.compute(scheduler="threads")
    identical(got, chunk_by_chunk(bg, chunks, stack, kernel))
    if zd.is_exact(chunks, to_layers(stack)):
        identical(got, zarvel.composite(bg, to_layers(stack), kernel=kernel))


@pytest.mark.parametrize("seed", range(12))
def test_exact_chunkings_give_the_whole_image(seed):
    """Whole-row chunks from exact_chunks, and width splits on multiples of 16, reproduce the
    in-memory call's bits."""
    rng = np.random.default_rng(900 + seed)
    frames = None if seed % 2 else int(rng.integers(2, 4))
    if seed % 3 == 2:  # split columns: widths, offsets and column chunks on multiples of 16
        height, width = int(rng.integers(3, 40)), 16 * int(rng.integers(2, 7))
        bg = background(rng, frames, height, width, special=False)
        stack = random_stack(rng, frames, height, width, 2, special=False)
        stack = [(img, mode, op, mask, (oy, 0)) for img, mode, op, mask, (oy, _) in stack if img.shape[-2] == width]
        small = image(rng, (int(rng.integers(1, 30)), 16 * int(rng.integers(1, 3))), 4, np.float32)
        stack.append((small, "multiply", 0.7, None, (int(rng.integers(-5, height)), 16 * int(rng.integers(-1, 4)))))
        bounds = sorted({16 * int(k) for k in rng.integers(1, width // 16, 3)})
        cols = tuple(b - a for a, b in zip([0] + bounds, bounds + [width]) if b > a)
        chunks = tuple(cuts(rng, n) for n in bg.shape[:-3]) + (cuts(rng, height), cols, (bg.shape[-1],))
    else:
        height, width = int(rng.integers(1, 90)), int(rng.integers(1, 40))
        bg = background(rng, frames, height, width, special=False)
        stack = random_stack(rng, frames, height, width, int(rng.integers(1, 4)), special=False)
        chunks = zd.exact_chunks(bg.shape, to_layers(stack), rows=int(rng.integers(1, 9)))
    assert zd.is_exact(chunks, to_layers(stack))
    got = zd.composite(da.from_array(bg, chunks=chunks), to_layers(stack)).compute(scheduler="threads")
    identical(got, zarvel.composite(bg, to_layers(stack)))


def test_inexact_chunkings_do_change_bits_and_rechunk_exact_restores_them():
    """float32 multiply rounds differently in the module's stages, so a chunking that puts pixels in
    other stages shows: the exact tests above can see what they guard."""
    rng = np.random.default_rng(3)
    bg, fg = image(rng, (37, 21), 4, np.float32), image(rng, (37, 21), 4, np.float32)
    layers = [zarvel.Layer(fg, "multiply", 0.3)]
    whole = zarvel.composite(bg, layers)
    lazy_bg = da.from_array(bg, chunks=(5, 21, 4))  # 105-pixel chunks: boundaries off the 16s
    assert not zd.is_exact(lazy_bg, layers)
    assert not np.array_equal(zd.composite(lazy_bg, layers).compute(), whole)
    fixed = zd.rechunk_exact(lazy_bg, layers)
    assert zd.is_exact(fixed, layers) and fixed.chunks[1] == (21,)
    identical(zd.composite(fixed, layers).compute(), whole)


LCH = tuple(m for m in MODES if m.startswith("lch_"))


@pytest.mark.parametrize("mode", [m for m in MODES if m not in ("lch_hue", "lch_chroma")])
def test_other_chunkings_stay_within_the_kernel_differences(mode):
    """Inputs within 0..255 and a finite opacity, one layer: 8-bit within 1, float32 within the
    kernels' rounding (the vector LCH forms approximate powers, so those modes get more room).
    lch_hue and lch_chroma are left out: exact greys make their kernels disagree by up to 255."""
    rng = np.random.default_rng(sum(map(ord, mode)))
    for dtype, cb, cf in [(np.uint8, 3, 3), (np.uint8, 4, 3), (np.float32, 4, 4), (np.float32, 3, 4)]:
        bg, fg = (np.clip(image(rng, (33, 45), c, dtype), 0, 255) for c in (cb, cf))
        chunks = (cuts(rng, 33), cuts(rng, 45), (cb,))
        got = zd.blend(da.from_array(bg, chunks=chunks), fg, mode, 0.77).compute(scheduler="threads")
        diff = np.abs(got.astype(np.float64) - zarvel.blend(bg, fg, mode, 0.77).astype(np.float64))
        limit = 1 if dtype == np.uint8 else (0.2 if mode in LCH else 2e-3)
        assert diff.max() <= limit, (mode, np.dtype(dtype).name, diff.max())


def L(h, w, offset=(0, 0)):
    return zarvel.Layer(np.broadcast_to(np.zeros((), np.uint8), (h, w, 4)), offset=offset)


@pytest.mark.parametrize(
    "chunks, layers, exact",
    [
        # A full-size layer 20 pixels wide: boundaries after multiples of 16 pixels, i.e. of 4 rows.
        (((4, 4, 4, 3), (20,), (4,)), [L(15, 20)], True),
        (((4, 4, 4, 2, 1), (20,), (4,)), [L(15, 20)], False),
        (((8, 7), (20,), (4,)), [L(15, 20)], True),
        # One column: a last chunk under 16 pixels only as the only chunk.
        (((16, 1), (1,), (4,)), [L(17, 1)], False),
        (((17,), (1,), (4,)), [L(17, 1)], True),
        (((1, 16), (1,), (4,)), [L(17, 1)], False),
        (((16, 16), (1,), (4,)), [L(32, 1)], True),
        (((3, 3), (16,), (4,)), [L(6, 16)], True),
        # Split widths: the rectangle's width and the chunk's columns on multiples of 16.
        (((5,), (16, 48), (4,)), [L(5, 64)], True),
        (((5,), (8, 56), (4,)), [L(5, 64)], False),
        (((5,), (16, 24), (4,)), [L(5, 40)], False),
        (((1,), (16, 24), (4,)), [L(1, 40)], True),  # one row: one run that ends the sequence
        (((1,), (24, 16), (4,)), [L(1, 40)], False),
        (((2048,) * 9 + (1568,), (2048,) * 9 + (1568,), (4,)), [L(20000, 20000)], True),
        (((2048,) * 9 + (1568,), (2048,) * 9 + (1568,), (4,)), [L(20000, 20000), L(1500, 4096, (9000, 7168))], True),
        (((2048,) * 9 + (1568,), (2048,) * 9 + (1568,), (4,)), [L(20000, 20000), L(1500, 4096, (9000, 7000))], False),
        # A layer 10 x 30 at (5, 7): what counts is positions in its own rectangle.
        (((5, 8, 27), (50,), (3,)), [L(10, 30, (5, 7))], True),
        (((5, 9, 26), (50,), (3,)), [L(10, 30, (5, 7))], False),
        (((5, 9, 26), (50,), (3,)), [L(10, 30, (5, 60))], True),  # outside: nothing to keep
        (((2, 13, 25), (50,), (3,)), [L(10, 30, (5, 7))], True),  # inside one chunk
        (((4, 9, 27), (50,), (3,)), [L(10, 30, (5, 7)), L(40, 50)], False),
        # Frames do not matter.
        (((1, 2), (4, 4, 4, 3), (20,), (4,)), [L(15, 20)], True),
    ],
)
def test_the_exactness_condition(chunks, layers, exact):
    assert zd.is_exact(chunks, layers) is exact


def test_exact_chunks_and_rechunk_exact():
    rng = np.random.default_rng(4)
    layers = [L(90, 21), L(7, 3, (40, 5)), L(30, 50, (-4, -9))]
    chunks = zd.exact_chunks((90, 21, 4), layers, rows=10)
    assert zd.is_exact(chunks, layers) and chunks[1:] == ((21,), (4,)) and sum(chunks[0]) == 90
    assert all(10 <= n <= 26 for n in chunks[0][:-1])
    assert zd.exact_chunks((3, 90, 21, 4), layers, rows=10)[0] == (1, 1, 1)
    bg = da.from_array(image(rng, (90, 21), 4, np.uint8), chunks=(9, 7, 4))
    fixed = zd.rechunk_exact(bg, layers)
    assert zd.is_exact(fixed, layers) and fixed.chunks[1] == (21,)
    already = da.from_array(image(rng, (64, 64), 4, np.uint8), chunks=(16, 16, 4))
    assert zd.rechunk_exact(already, [L(64, 64)]) is already
    # Two one-pixel-wide layers a row apart leave no boundary anywhere they overlap.
    with pytest.warns(UserWarning, match="no exact chunk boundary"):
        assert zd.exact_chunks((200, 1, 3), [L(200, 1), L(200, 1, (1, 0))], rows=10)[0] == (200,)


def test_lazy_until_computed():
    """Building the result reads no pixel; the chunks, shape and element type are the background's."""
    calls = []

    def counted(block):
        calls.append(block.shape)
        return block

    def lazy(array, chunks):
        return da.from_array(array, chunks=chunks).map_blocks(counted, meta=array[:0])

    rng = np.random.default_rng(6)
    bg = lazy(image(rng, (2, 40, 50), 3, np.float32), (1, 16, 25, 3))
    fg = lazy(image(rng, (20, 30), 4, np.uint8), (10, 10, 4))
    mask = lazy(mask_for(rng, (20, 30), "u8"), (5, 30))
    lazy = zd.composite(bg, [zarvel.Layer(fg, "screen", 0.5, mask=mask, offset=(10, 12))])
    assert calls == [] and lazy.chunks == bg.chunks and lazy.dtype == np.float32
    lazy.compute(scheduler="threads")
    assert calls


def test_a_split_channel_axis_is_merged_with_a_warning():
    rng = np.random.default_rng(7)
    bg, fg = image(rng, (30, 20), 4, np.uint8), image(rng, (30, 20), 3, np.uint8)
    with pytest.warns(UserWarning, match="channel axis is split"):
        lazy = zd.blend(da.from_array(bg, chunks=(16, 10, 2)), da.from_array(fg, chunks=(7, 7, 1)), "overlay", 0.6)
    assert lazy.chunks == ((16, 14), (10, 10), (4,))
    identical(lazy.compute(), chunk_by_chunk(bg, lazy.chunks, [(fg, "overlay", 0.6, None, (0, 0))]))


def test_byte_swapped_background_gives_native_floats():
    rng = np.random.default_rng(9)
    bg, fg = image(rng, (20, 24), 4, np.float32), image(rng, (5, 6), 3, np.uint8)
    lazy = zd.blend(da.from_array(bg.astype(">f4"), chunks=(8, 12, 4)), fg, "divide", 0.5, offset=(30, 0))
    assert lazy.dtype == np.dtype("=f4")  # no layer reaches a chunk: passed through, converted
    identical(lazy.compute(), bg)
    lazy = zd.blend(da.from_array(bg.astype(">f4"), chunks=(8, 12, 4)), fg, "divide", 0.5, offset=(6, 9))
    identical(lazy.compute(), chunk_by_chunk(bg, lazy.chunks, [(fg, "divide", 0.5, None, (6, 9))]))


@pytest.mark.parametrize(
    "bg_type, fg_type, formats",
    [
        (np.uint16, np.uint8, {}),
        (np.float64, np.float32, dict(scale=1.0)),
        (np.uint8, np.uint8, dict(premultiplied=True)),
    ],
)
def test_pixel_formats_chunk_by_chunk(bg_type, fg_type, formats):
    """uint16, 0..1 floats and premultiplied alpha: converted per pixel, so the same rules hold."""
    rng = np.random.default_rng(10)

    def convert(img, dtype):
        if np.dtype(dtype) == np.uint16:
            return (img.astype(np.uint16) * 257).astype(np.uint16)
        return (img / 255).astype(dtype) if formats.get("scale") == 1.0 else img.astype(dtype)

    bg = convert(image(rng, (3, 48, 40), 4, np.uint8), bg_type)
    stack = [
        (convert(image(rng, (48, 40), 4, np.uint8), fg_type), "overlay", 0.7, None, (0, 0)),
        (
            convert(image(rng, (10, 16), 3, np.uint8), fg_type),
            "screen",
            1.0,
            mask_for(rng, (10, 16), "f32").astype(np.float64),
            (30, 16),
        ),
    ]
    for chunks, exact in ((((1, 2), (7, 41), (13, 27), (4,)), False), (((2, 1), (16, 32), (40,), (4,)), True)):
        got = zd.composite(da.from_array(bg, chunks=chunks), to_layers(stack), **formats).compute()
        assert got.dtype == bg.dtype and zd.is_exact(chunks, to_layers(stack)) is exact
        identical(got, chunk_by_chunk(bg, chunks, stack, **formats))
        if exact:
            identical(got, zarvel.composite(bg, to_layers(stack), **formats))


def test_numpy_background_gets_exact_chunks():
    rng = np.random.default_rng(8)
    bg, fg = image(rng, (50, 37), 4, np.uint8), image(rng, (20, 20), 4, np.float32)
    lazy = zd.blend(bg, da.from_array(fg, chunks=5), "soft_light", 0.8, offset=(17, 3))
    assert isinstance(lazy, da.Array) and zd.is_exact(lazy, [zarvel.Layer(fg, offset=(17, 3))])
    identical(lazy.compute(), zarvel.blend(bg, fg, "soft_light", 0.8, offset=(17, 3)))


B, F = da.zeros((4, 5, 4), dtype=np.uint8, chunks=2), np.zeros((2, 3, 3), np.uint8)


@pytest.mark.parametrize(
    "kwargs, exc, words",
    [
        (dict(background=B.astype(np.int32)), TypeError, "background must be uint8"),
        (dict(scale=100), ValueError, "scale must be 255"),
        (dict(premultiplied="yes"), TypeError, "premultiplied must be True or False"),
        (dict(background=B[..., :2]), ValueError, "background must have 3 or 4 channels"),
        (dict(foreground=da.zeros((3, 2, 3, 3), dtype=np.uint8)), ValueError, "foreground has 3 frames"),
        (dict(foreground=da.zeros((2, 3, 3), dtype=np.int16)), TypeError, "foreground must be uint8"),
        (dict(mode="Multiply"), ValueError, "mode must be one of"),
        (dict(opacity="0.5"), TypeError, "opacity must be a real number"),
        (dict(mask=da.zeros((3, 2), dtype=np.uint8)), ValueError, "mask has size"),
        (dict(offset=(1.0, 2)), TypeError, "offset must be a pair of integers"),
        (dict(kernel="AVX2"), ValueError, "kernel must be one of"),
        (dict(background=da.zeros((4, 5, 4), dtype=np.uint8)[da.arange(4) > 1]), ValueError, "unknown chunk sizes"),
    ],
)
def test_bad_arguments_fail_at_once_naming_the_argument(kwargs, exc, words):
    args = dict(background=B, foreground=F, mode="multiply", opacity=0.5)
    args.update(kwargs)
    with pytest.raises(exc, match=words):
        zd.blend(args.pop("background"), args.pop("foreground"), **args)


def test_import_zarvel_alone_imports_no_dask():
    code = (
        "import sys, zarvel; bad = [m for m in ('dask', 'distributed', 'xarray', 'zarr') if m in sys.modules]; "
        "sys.exit(str(bad) if bad else 0)"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


# ---------------------------------------------------------------------------
# Worker processes: the tasks, their arguments and results cross process boundaries.


def test_batches_on_a_local_cluster(client):
    """One layer laid over every frame, per-frame layers and masks, a NumPy foreground at an offset
    that spans four chunks."""
    rng = np.random.default_rng(10)
    bg = image(rng, (5, 64, 48), 4, np.uint8)
    stack = [
        (image(rng, (64, 48), 3, np.float32), "multiply", 0.6, mask_for(rng, (5, 64, 48), "u8"), (0, 0)),
        (image(rng, (5, 20, 32), 4, np.uint8), "hsl_color", 0.9, None, (22, 16)),
        (image(rng, (1, 20, 30), 4, np.float32), "normal", 1.0, mask_for(rng, (20, 30), "f32"), (-5, 30)),
    ]
    lazy_bg = da.from_array(bg, chunks=(2, 32, (16, 32), 4))
    layers = to_layers(stack, lambda a: da.from_array(a, chunks=7) if a.ndim == 4 else a)
    got = client.compute(zd.composite(lazy_bg, layers)).result()
    identical(got, chunk_by_chunk(bg, lazy_bg.chunks, stack))
    assert zd.is_exact(lazy_bg, layers)  # columns on multiples of 16; the small layers inside one column chunk
    identical(got, zarvel.composite(bg, to_layers(stack)))


def test_zarr_in_and_out_on_a_local_cluster(client, tmp_path):
    zarr = pytest.importorskip("zarr")
    rng = np.random.default_rng(11)
    bg, fg = image(rng, (96, 80), 4, np.uint8), image(rng, (96, 80), 4, np.uint8)
    mark = image(rng, (30, 48), 4, np.uint8)  # columns 16..64: on multiples of 16, so the chunking is exact
    da.from_array(bg, chunks=(32, 32, 4)).to_zarr(str(tmp_path / "bg.zarr"))
    da.from_array(fg, chunks=(32, 32, 4)).to_zarr(str(tmp_path / "fg.zarr"))
    layers = [
        zarvel.Layer(da.from_zarr(str(tmp_path / "fg.zarr")), "screen", 0.7),
        zarvel.Layer(mark, "normal", 0.5, offset=(20, 16)),
    ]
    out = zd.composite(da.from_zarr(str(tmp_path / "bg.zarr")), layers)
    client.compute(out.to_zarr(str(tmp_path / "out.zarr"), compute=False)).result()
    got = np.asarray(zarr.open_array(str(tmp_path / "out.zarr"), mode="r")[...])
    whole = zarvel.composite(bg, [zarvel.Layer(fg, "screen", 0.7), zarvel.Layer(mark, "normal", 0.5, offset=(20, 16))])
    assert zd.is_exact(out, layers)
    identical(got, whole)


def test_random_stacks_on_a_local_cluster(client):
    rng = np.random.default_rng(12)
    for _ in range(3):
        bg = background(rng, None, int(rng.integers(20, 60)), int(rng.integers(20, 60)))
        chunks = tuple(cuts(rng, n) for n in bg.shape[:-1]) + ((bg.shape[-1],),)
        stack = random_stack(rng, None, bg.shape[0], bg.shape[1], 3)
        got = client.compute(zd.composite(da.from_array(bg, chunks=chunks), to_layers(stack))).result()
        identical(got, chunk_by_chunk(bg, chunks, stack))


def test_the_example_runs_small(tmp_path):
    """examples/out_of_core.py end to end at a small size: Zarr in, Zarr out, checked chunks."""
    result = subprocess.run(
        [
            sys.executable,
            os.path.join(ROOT, "examples", "out_of_core.py"),
            "--size",
            "600",
            "--chunk",
            "128",
            "--dir",
            str(tmp_path),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "checked" in result.stdout and "bit for bit" in result.stdout


# ---------------------------------------------------------------------------
# xarray

try:
    import xarray as xr
    import zarvel.xarray as zx
except ImportError:
    xr = None
needs_xarray = pytest.mark.skipif(xr is None, reason="xarray is not installed (pip install '.[test]')")


def raster(rng, bands, height, width, dtype=np.uint8, dims=("band", "y", "x")):
    data = image(rng, (height, width), bands, dtype)
    axes = {"band": 2, "channel": 2, "y": 0, "x": 1}
    values = np.moveaxis(data, [axes[d] for d in dims], range(3))
    coords = {"y": 1000.0 - 10 * np.arange(height), "x": 500.0 + 10 * np.arange(width)}
    coords.update({d: list("rgba"[:bands]) for d in dims if d in ("band", "channel")})
    return xr.DataArray(
        values, dims=dims, coords=coords, attrs={"crs": "EPSG:32633", "units": "dn"}, name="scene"
    ), data


@needs_xarray
@pytest.mark.parametrize("chunked", [False, True])
@pytest.mark.parametrize("dims", [("band", "y", "x"), ("y", "x", "channel")])
def test_xarray_keeps_the_background_and_matches_the_engine(chunked, dims):
    rng = np.random.default_rng(13)
    bg, bg_pixels = raster(rng, 3, 40, 52, dims=dims)
    fg, fg_pixels = raster(rng, 4, 40, 52, np.float32, dims=dims)
    small, small_pixels = raster(rng, 4, 12, 17, dims=dims)
    if chunked:
        bg = bg.chunk({"y": 16, "x": 26})
    for layer, pixels, offset in ((fg, fg_pixels, (0, 0)), (small, small_pixels, (33, 40))):
        got = zx.blend(bg, layer, "overlay", 0.6, offset=offset)
        assert got.dims == bg.dims and got.attrs == bg.attrs and got.name == "scene"
        assert all(np.array_equal(got[c].values, bg[c].values) for c in bg.coords)
        assert (got.chunks is not None) == chunked and (not chunked or got.chunks == bg.chunks)
        want = zarvel.blend(bg_pixels, pixels, "overlay", 0.6, offset=offset)
        identical(np.moveaxis(got.values, range(3), [{"band": 2, "channel": 2, "y": 0, "x": 1}[d] for d in dims]), want)


@needs_xarray
def test_xarray_frames_masks_and_a_split_band(client):
    rng = np.random.default_rng(14)
    frames = image(rng, (3, 24, 32), 4, np.uint8)
    bg = xr.DataArray(frames, dims=("time", "y", "x", "band"), coords={"time": [1, 2, 3]}).chunk(
        {"time": 1, "y": 16, "band": 2}
    )
    fg = xr.DataArray(image(rng, (24, 32), 3, np.uint8), dims=("y", "x", "band"))  # over every frame
    mask = xr.DataArray(mask_for(rng, (3, 24, 32), "f32"), dims=("time", "y", "x"))
    with pytest.warns(UserWarning, match="'band' dimension is split"):
        got = zx.blend(bg, fg, "darken_only", 0.9, mask=mask)
    assert got.chunks[-1] == (4,) and got.chunks[:3] == bg.chunks[:3]
    identical(client.compute(got.data).result(), zarvel.blend(frames, fg.values, "darken_only", 0.9, mask=mask.values))


@needs_xarray
@pytest.mark.parametrize(
    "make, words",
    [
        (lambda bg, fg: zx.blend(bg.rename(band="colour"), fg), "channel dimension named 'band' or 'channel'"),
        (lambda bg, fg: zx.blend(bg, fg.rename(x="lon")), "foreground must have the dimensions"),
        (lambda bg, fg: zx.blend(bg, fg, "nope"), "mode must be one of"),
        (lambda bg, fg: zx.blend(bg, fg, mask=np.zeros((3, 3), np.uint8)), "mask has size"),
    ],
)
def test_xarray_bad_arguments(make, words):
    rng = np.random.default_rng(15)
    bg, _ = raster(rng, 3, 8, 9)
    fg, _ = raster(rng, 4, 8, 9)
    with pytest.raises((TypeError, ValueError), match=words):
        make(bg.chunk({"y": 4}), fg)
