"""zarvel.blend and zarvel.composite against module-level calls on contiguous copies.

The contract: every engine result equals, bit for bit, the chain of
module-level calls on C-contiguous copies of the covered pixels (with the mask
folded into the foreground's alpha), whatever the offset, batch, `out`, thread
count and kernel. Tiny bands make every band boundary, padded share and tail
that larger images would reach appear on small images too.
"""

import os

import numpy as np
import pytest

import _zarvel
import engine_reference as ref
import zarvel
from zarvel import _compose

MODES = zarvel.MODES


OPACITIES = (0.5, 1.0, 0.0, 1.5, 0.25, float("nan"), -0.5)


def identical(got, want):
    """Same dtype, shape and bits; NaNs count as equal whatever their payload."""
    assert got.dtype == want.dtype and got.shape == want.shape, (got.dtype, got.shape, want.dtype, want.shape)
    if want.dtype.kind == "f":
        nan = np.isnan(got) & np.isnan(want)
        bits = f"u{want.itemsize}"
        got, want = got.view(bits)[~nan], want.view(bits)[~nan]
    bad = np.flatnonzero(got.reshape(-1) != want.reshape(-1))
    assert bad.size == 0, f"{bad.size} elements differ, first at flat index {bad[0]}"


@pytest.fixture(params=["engine bands", "tiny bands"])
def bands(request, monkeypatch):
    if request.param == "tiny bands":
        monkeypatch.setattr(_compose, "_BAND_BYTES", 1)  # one row (or one group of rows) per band
    return request.param


def image(rng, shape, c, dtype, special=False):
    if np.dtype(dtype) == np.uint8:
        img = rng.integers(0, 256, shape + (c,), dtype=np.uint8)
    else:
        img = rng.uniform(-5, 260, shape + (c,)).astype(np.float32)
        if special:
            pick = rng.random(img.shape) < 0.05
            img[pick] = rng.choice(np.array([np.nan, np.inf, 0, 255, 127.5], np.float32), int(pick.sum()))
    if c == 4:
        pick = rng.random(shape)
        img[..., 3][pick < 0.2] = 0
        img[..., 3][(pick >= 0.2) & (pick < 0.45)] = 255
    return img


def mask_for(rng, shape, kind):
    if kind is None:
        return None
    if kind == "u8":
        return rng.integers(0, 256, shape, dtype=np.uint8)
    return rng.uniform(-0.1, 1.1, shape).astype(np.float32)


def offset_for(rng, size, extent):
    """Inside, across either edge, or entirely outside."""
    return int(
        rng.choice(
            [
                0,
                rng.integers(-size - 3, extent + 3),
                -size // 2,
                extent - size // 2,
                rng.integers(0, max(extent - size, 0) + 1),
            ]
        )
    )


def random_layers(rng, frames, height, width, count):
    layers = []
    for _ in range(count):
        full = rng.random() < 0.35
        h, w = (height, width) if full else (int(rng.integers(1, 120)), int(rng.integers(1, 120)))
        n = None if frames is None or rng.random() < 0.5 else int(rng.choice([1, frames]))
        lead = () if n is None else (n,)
        img = image(
            rng, lead + (h, w), int(rng.choice([3, 4])), rng.choice([np.uint8, np.float32]), special=rng.random() < 0.3
        )
        mask_lead = () if frames is None or rng.random() < 0.5 else (int(rng.choice([1, frames])),)
        mask = mask_for(rng, mask_lead + (h, w), rng.choice([None, None, "u8", "f32"]))
        offset = (0, 0) if full and rng.random() < 0.7 else (offset_for(rng, h, height), offset_for(rng, w, width))
        layers.append((img, str(rng.choice(MODES)), float(rng.choice(OPACITIES)), mask, offset))
    return layers


@pytest.mark.parametrize("seed", range(10))
def test_random_stacks_equal_module_calls(kernel, bands, seed):
    rng = np.random.default_rng(1000 + seed)
    frames = None if seed % 3 else int(rng.integers(1, 4))
    height, width = int(rng.integers(1, 200)), int(rng.integers(1, 200))
    lead = () if frames is None else (frames,)
    bg = image(
        rng, lead + (height, width), int(rng.choice([3, 4])), rng.choice([np.uint8, np.float32]), special=seed % 4 == 1
    )
    layers = random_layers(rng, frames, height, width, int(rng.integers(1, 4)))
    threads = int(rng.integers(1, 9))
    want = ref.composite(bg, layers, kernel)
    stack = [zarvel.Layer(img, mode, opacity, mask=mask, offset=offset) for img, mode, opacity, mask, offset in layers]
    identical(zarvel.composite(bg, stack, threads=threads, kernel=kernel), want)
    separate = np.full_like(bg, 7)
    assert zarvel.composite(bg, stack, out=separate, threads=threads, kernel=kernel) is separate
    identical(separate, want)
    in_place = bg.copy()
    assert zarvel.composite(in_place, stack, out=in_place, threads=threads, kernel=kernel) is in_place
    identical(in_place, want)


@pytest.mark.parametrize("mode", MODES)
def test_every_mode_at_every_stage_split(mode, kernel, bands):
    """Layers whose visible part has 0..40 pixels, and full frames around the 16-pixel groups."""
    rng = np.random.default_rng(sum(map(ord, mode)))
    for bd, fd, cb, cf in [
        (np.uint8, np.uint8, 3, 3),
        (np.uint8, np.float32, 4, 3),
        (np.float32, np.uint8, 3, 4),
        (np.float32, np.float32, 4, 4),
        (np.uint8, np.uint8, 4, 4),
    ]:
        bg = image(rng, (7, 45), cb, bd)
        cases = [(image(rng, (1, n), cf, fd), (3, 45 - n)) for n in range(0, 41)]  # ends at the right edge
        cases += [(image(rng, (3, n), cf, fd), (-1, -n // 2)) for n in range(1, 41, 3)]  # across the top left
        cases += [(image(rng, (7, 45), cf, fd), (0, 0)), (image(rng, (9, 50), cf, fd), (-1, -2))]
        for fg, offset in cases:
            for opacity in (0.5, 1.0):
                want = ref.composite(bg, [(fg, mode, opacity, None, offset)], kernel)
                identical(zarvel.blend(bg, fg, mode, opacity, offset=offset, kernel=kernel, threads=2), want)


COMBOS = [
    (bd, fd, cb, cf) for bd in (np.uint8, np.float32) for fd in (np.uint8, np.float32) for cb in (3, 4) for cf in (3, 4)
]


@pytest.mark.parametrize("mode", ["multiply", "normal", "screen", "hsv_hue"])
def test_whole_frames_of_every_small_size(mode, kernel, bands):
    """Bands of whole rows end in short tails: each must fall in the stages of the whole call."""
    rng = np.random.default_rng(11)
    for height in range(1, 7):
        for width in range(1, 21):
            for bd, fd, cb, cf in COMBOS:
                bg, fg = image(rng, (height, width), cb, bd), image(rng, (height, width), cf, fd)
                want = ref.composite(bg, [(fg, mode, 0.5, None, (0, 0))], kernel)
                identical(zarvel.blend(bg, fg, mode, 0.5, kernel=kernel), want)


def misaligned(array, shift):
    """A C-contiguous copy of `array` starting `shift` bytes past a 64-byte boundary."""
    raw = np.empty(array.nbytes + 128, np.uint8)
    start = (shift - raw.ctypes.data) % 64
    view = raw[start : start + array.nbytes].view(array.dtype).reshape(array.shape)
    view[...] = array
    return view


@pytest.mark.parametrize("mode", ["addition", "grain_merge", "lighten_only"])
def test_misaligned_buffers_blend_as_copies(mode, kernel):
    """The 8-bit stage that runs element by element on aligned copies runs on unaligned buffers too.
    (These modes often land on exact halves, where that stage's rounding shows.)"""
    rng = np.random.default_rng(12)
    for shape in ((5, 22), (7, 38)):
        for shift in range(16):
            bg, fg = image(rng, shape, 3, np.uint8), image(rng, shape, 3, np.uint8)
            want = ref.composite(bg, [(fg, mode, 0.5, None, (0, 0))], kernel)
            out = misaligned(np.zeros_like(bg), (shift * 7) % 16)
            zarvel.blend(misaligned(bg, shift), misaligned(fg, 15 - shift), mode, 0.5, out=out, kernel=kernel)
            identical(out.copy(), want)
            in_place = misaligned(bg, shift)
            zarvel.blend(in_place, misaligned(fg, shift), mode, 0.5, out=in_place, kernel=kernel)
            identical(in_place.copy(), want)


@pytest.mark.parametrize("dtype", [np.uint8, np.float32])
def test_masks_scale_the_alpha(kernel, dtype, bands):
    rng = np.random.default_rng(5)
    bg = image(rng, (33, 47), 4, np.uint8)
    fg = image(rng, (20, 31), 3, dtype)
    for kind in ("u8", "f32"):
        mask = mask_for(rng, (20, 31), kind)
        for mode in ("normal", "screen", "hsl_color"):
            want = ref.composite(bg, [(fg, mode, 0.8, mask, (5, 9))], kernel)
            identical(zarvel.blend(bg, fg, mode, 0.8, mask=mask, offset=(5, 9), kernel=kernel), want)
    # An opaque layer under an 8-bit mask gets the mask as its alpha, exactly.
    opaque = np.full((2, 3, 3), 200, np.uint8)
    weights = np.array([[0, 1, 2], [128, 254, 255]], np.uint8)
    folded = ref.masked(opaque, weights)
    np.testing.assert_array_equal(folded[..., 3], weights.astype(np.float32))


def test_batches_and_one_layer_over_every_frame(kernel, bands):
    rng = np.random.default_rng(9)
    bg = image(rng, (4, 30, 40), 4, np.uint8)
    per_frame = image(rng, (4, 10, 12), 4, np.float32)
    shared = image(rng, (10, 12), 3, np.uint8)
    masks = mask_for(rng, (4, 10, 12), "u8")
    for fg, mask in ((per_frame, None), (shared, None), (shared[None], masks), (per_frame, masks[:1])):
        want = ref.composite(bg, [(fg, "overlay", 0.7, mask, (25, -3))], kernel)
        identical(zarvel.blend(bg, fg, "overlay", 0.7, mask=mask, offset=(25, -3), kernel=kernel, threads=3), want)


def test_layers_outside_leave_the_background(kernel):
    rng = np.random.default_rng(2)
    bg = image(rng, (10, 10), 4, np.float32)
    fg = image(rng, (3, 3), 4, np.float32)
    for offset in [(10, 0), (0, 10), (-3, 0), (0, -3), (-100, 5), (10**12, -(10**12))]:
        identical(zarvel.blend(bg, fg, "multiply", offset=offset, kernel=kernel), bg)
    in_place = bg.copy()
    zarvel.composite(in_place, [], out=in_place)
    identical(in_place, bg)


@pytest.mark.parametrize("threads", range(1, 9))
def test_thread_counts_agree(threads):
    rng = np.random.default_rng(threads)
    bg = image(rng, (257, 263), 4, np.uint8)
    layers = [
        (image(rng, (257, 263), 4, np.uint8), "multiply", 0.5, None, (0, 0)),
        (image(rng, (100, 77), 3, np.float32), "soft_light", 0.9, mask_for(rng, (100, 77), "f32"), (-7, 190)),
        (image(rng, (31, 300), 4, np.uint8), "normal", 1.0, None, (240, -20)),
    ]
    want = ref.composite(bg, layers)
    stack = [zarvel.Layer(i, m, o, mask=k, offset=x) for i, m, o, k, x in layers]
    identical(zarvel.composite(bg, stack, threads=threads), want)


def test_inputs_of_any_layout(kernel):
    """Strided, reversed, Fortran-ordered and byte-swapped inputs blend like their copies."""
    rng = np.random.default_rng(4)
    bg = image(rng, (40, 60), 4, np.float32)
    fg = image(rng, (50, 70), 3, np.float32)
    mask = mask_for(rng, (25, 35), "f32")
    views = [
        (bg[::-1, ::2], fg[::2, ::2], mask),
        (np.asfortranarray(bg), fg[:25, :35].astype(">f4"), mask.T.T),
        (bg.astype(">f4"), fg[1::2, 1::2], mask[::-1]),
        (bg[::-1, ::-1], fg[::-1, :64:2], None),
        (bg[:, 1::2], fg[::2, ::2][:, :32], None),  # rows of 32 pixels
        (bg, fg[::-1, :64:2], None),
    ]
    for b, f, m in views:
        m = None if m is None else np.ascontiguousarray(m)
        want = ref.composite(
            np.ascontiguousarray(b, np.float32),
            [(np.ascontiguousarray(f, np.float32), "divide", 0.6, m, (3, 4))],
            kernel,
        )
        identical(zarvel.blend(b, f, "divide", 0.6, mask=m, offset=(3, 4), kernel=kernel), want)


def test_out_with_row_padding_is_written_in_its_rows_only():
    rng = np.random.default_rng(8)
    bg = image(rng, (20, 30), 3, np.uint8)
    fg = image(rng, (20, 30), 3, np.uint8)
    canvas = np.full((20, 40, 3), 9, np.uint8)
    out = canvas[:, 5:35]
    zarvel.blend(bg, fg, "screen", 0.5, out=out)
    identical(out.copy(), ref.composite(bg, [(fg, "screen", 0.5, None, (0, 0))]))
    assert (canvas[:, :5] == 9).all() and (canvas[:, 35:] == 9).all()


def test_kernels_and_kernel_kind():
    rng = np.random.default_rng(6)
    bg, fg = image(rng, (9, 9), 4, np.uint8), image(rng, (9, 9), 4, np.uint8)
    for kind in zarvel.KernelKind:
        identical(zarvel.blend(bg, fg, "burn", 0.5, kernel=kind), _zarvel.burn(bg, fg, 0.5, kind.value))


B, F = np.zeros((4, 5, 4), np.uint8), np.zeros((2, 3, 3), np.uint8)


@pytest.mark.parametrize(
    "kwargs, exc, words",
    [
        (dict(background=B.astype(np.int16)), TypeError, "background must be uint8, uint16, float32 or float64"),
        (dict(background=B[..., :2]), ValueError, "background must have 3 or 4 channels"),
        (dict(background=B[0]), ValueError, "background must be"),
        (dict(foreground=F.astype(np.int16)), TypeError, "foreground must be uint8, uint16, float32 or float64"),
        (dict(foreground=np.zeros((3, 2, 3, 3), np.uint8)), ValueError, "foreground has 3 frames"),
        (dict(mode="Multiply"), ValueError, "mode must be one of"),
        (dict(opacity="0.5"), TypeError, "opacity must be a real number"),
        (dict(opacity=None), TypeError, "opacity must be a real number"),
        (dict(mask=np.zeros((3, 2), np.uint8)), ValueError, "mask has size"),
        (dict(mask=np.zeros((2, 3), np.int32)), TypeError, "mask must be uint8 or float"),
        (dict(mask=np.zeros((2, 3, 1), np.uint8)), ValueError, "mask has size"),
        (dict(offset=(1.0, 2)), TypeError, "offset must be a pair of integers"),
        (dict(offset=(1, 2, 3)), TypeError, "offset must be a pair of integers"),
        (dict(offset=5), TypeError, "offset must be a pair of integers"),
        (dict(out=np.zeros((4, 5, 3), np.uint8)), ValueError, "out must have the background's shape"),
        (dict(out=np.zeros((4, 5, 4), np.float32)), ValueError, "out must have the background's shape"),
        (dict(out=np.zeros((4, 10, 4), np.uint8)[:, ::2]), ValueError, "out must have C-contiguous rows"),
        (dict(out=np.broadcast_to(np.zeros((1, 5, 4), np.uint8), (4, 5, 4))), ValueError, "out is read-only"),
        (dict(out=[[1]]), TypeError, "out must be a NumPy array"),
        (dict(threads=0), ValueError, "threads must be at least 1"),
        (dict(threads=1.5), TypeError, "threads must be None or an integer"),
        (dict(kernel="AVX2"), ValueError, "kernel must be one of"),
        (dict(kernel=None), ValueError, "kernel must be one of"),
    ],
)
def test_bad_arguments_name_the_argument_and_write_nothing(kwargs, exc, words):
    args = dict(background=B, foreground=F, mode="multiply", opacity=0.5)
    args.update(kwargs)
    target = np.full((4, 5, 4), 3, np.uint8)
    if "out" not in kwargs:
        args["out"] = target
    with pytest.raises(exc, match=words):
        zarvel.blend(args.pop("background"), args.pop("foreground"), **args)
    assert (target == 3).all()


def test_out_must_not_overlap_the_inputs():
    canvas = np.zeros((10, 10, 4), np.uint8)
    layer = np.zeros((4, 4, 4), np.uint8)
    with pytest.raises(ValueError, match="out overlaps the background"):
        zarvel.blend(canvas[:5], layer, out=canvas[1:6])
    with pytest.raises(ValueError, match="out overlaps foreground"):
        zarvel.blend(canvas, canvas[:4, :4], out=canvas)
    with pytest.raises(ValueError, match=r"out overlaps layers\[1\].mask"):
        masks = np.zeros((10, 10, 4), np.uint8)
        zarvel.composite(canvas, [zarvel.Layer(layer), zarvel.Layer(layer, mask=masks[:4, :4, 0])], out=masks)
    same_memory = canvas[...]  # another view of exactly the background: in place
    zarvel.blend(canvas, layer, "screen", out=same_memory)


def test_composite_arguments():
    with pytest.raises(TypeError, match="layers must be a sequence of zarvel.Layer"):
        zarvel.composite(B, zarvel.Layer(F))
    with pytest.raises(TypeError, match=r"layers\[1\] must be a zarvel.Layer"):
        zarvel.composite(B, [zarvel.Layer(F), (F, "normal")])
    with pytest.raises(ValueError, match=r"layers\[0\].mode must be one of"):
        zarvel.composite(B, [zarvel.Layer(F, "nope")])
    layer = zarvel.Layer(F, "screen", 0.5, offset=(1, 2))
    with pytest.raises(AttributeError):
        layer.opacity = 1.0
    assert (layer.mode, layer.opacity, layer.mask, layer.offset) == ("screen", 0.5, None, (1, 2))


def test_blend_releases_the_interpreter_lock():
    import threading
    import time

    bg = np.zeros((2000, 2000, 4), np.float32)
    fg = np.ones((2000, 2000, 4), np.float32)
    ticks = []
    worker = threading.Thread(target=lambda: [zarvel.blend(bg, fg, "lch_color", threads=1) for _ in range(2)])
    worker.start()
    while worker.is_alive():
        ticks.append(time.perf_counter())
        time.sleep(0.001)
    worker.join()
    assert len(ticks) > 20


@pytest.mark.skipif(not hasattr(os, "fork"), reason="no fork() on this system")
def test_calls_from_many_python_threads_and_after_fork(monkeypatch):
    """Several Python threads composite at once on several native threads each
    (one call has the engine's kept threads, the others start their own), and
    a forked child, which has none of its parent's threads, composites too."""
    import os
    import threading

    monkeypatch.setattr(_compose, "_BAND_BYTES", 1)
    rng = np.random.default_rng(11)
    jobs = []
    for i in range(6):
        bg = image(rng, (61 + i, 97), 4, np.uint8)
        layers = [
            (image(rng, (61 + i, 97), 4, np.uint8), "screen", 0.7, None, (0, 0)),
            (image(rng, (20, 30), 3, np.float32), "overlay", 0.5, None, (i, 60)),
        ]
        jobs.append((bg, layers, ref.composite(bg, layers)))
    failures = []

    def run(bg, layers, want):
        try:
            for threads in (2, 3, 4) * 3:
                stack = [zarvel.Layer(i, m, o, mask=k, offset=x) for i, m, o, k, x in layers]
                identical(zarvel.composite(bg, stack, threads=threads), want)
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            failures.append(error)

    workers = [threading.Thread(target=run, args=job) for job in jobs]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    assert not failures, failures[0]

    pid = os.fork()
    if pid == 0:  # the child: exit status 0 only if its results are right
        try:
            run(*jobs[0])
            os._exit(0 if not failures else 1)
        finally:
            os._exit(2)
    import signal
    import time

    deadline = time.monotonic() + 60
    while True:  # a child waiting for threads it does not have would hang: kill it
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        if time.monotonic() > deadline:
            os.kill(pid, signal.SIGKILL)
            os.waitpid(pid, 0)
            raise AssertionError("the forked child did not finish within 60 s")
        time.sleep(0.01)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, status


@pytest.mark.parametrize("shape", [(1, 0, 3), (0, 5, 4), (2, 0, 7, 4), (0, 3, 3, 3)])
def test_images_without_pixels(shape):
    """NumPy gives arrays without elements any strides (often zeros): they blend to
    empty results, into a new array, in place or into an empty out."""
    bg = np.zeros(shape, np.uint8)
    fg = np.zeros(shape[-3:-1] + (4,), np.float32)
    assert zarvel.blend(bg, fg, "screen").shape == shape
    assert zarvel.blend(bg, fg, "screen", out=bg) is bg
    out = np.zeros(shape, np.uint8)
    assert zarvel.composite(bg, [zarvel.Layer(fg, "multiply", offset=(1, -1))], out=out) is out
