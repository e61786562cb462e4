"""Module surface: arguments, errors, kernel choice, memory and the interpreter lock."""

import enum
import gc
import os
import platform
import sys
import threading
import time
import tracemalloc

import numpy as np
import pytest

import _zarvel
import reference as R
import zarvel

# The module's blend functions in the order of its method table: the native mode list.
BLEND = list(zarvel.MODES)
MINE = ["normal", *R.SEPARABLE]
# Shared argument handling is checked on every blend function the module has;
# the method-table test alone insists on all of them.
PRESENT = [n for n in BLEND if hasattr(_zarvel, n)]
DTYPE_MSG = "inputs must be uint8 or float32 numpy arrays"
CHAN_MSG = "inputs must have 3 or 4 channels"
SIZE_MSG = "background and foreground must match in height and width"
KERNEL_MSG = "kernel must be a string or KernelKind"


def img(h=2, w=3, c=3, dtype=np.uint8, seed=0):
    return np.random.default_rng(seed).integers(0, 256, (h, w, c)).astype(dtype)


class Named:
    """A kernel given by an object with a `value` attribute."""

    def __init__(self, value):
        self.value = value


class Broken:
    @property
    def value(self):
        raise RuntimeError("no value")


class MyStr(str):
    pass


def test_method_table_order():
    assert [n for n in _zarvel.__dict__ if not n.startswith("_")] == BLEND + ["kernel_available"]


def test_docstrings():
    assert _zarvel.__doc__ == "Zarvel"
    for name in PRESENT:
        assert getattr(_zarvel, name).__doc__ == "Blend (background, foreground, opacity).", name
    assert _zarvel.kernel_available.__doc__ == "Check whether a kernel is supported."


def test_package_reexports_and_kernel_kind():
    assert issubclass(zarvel.KernelKind, str) and issubclass(zarvel.KernelKind, enum.Enum)
    assert [(k.name, k.value) for k in zarvel.KernelKind] == [
        ("AUTO", "auto"),
        ("SCALAR", "scalar"),
        ("SSE42", "sse42"),
        ("AVX2", "avx2"),
        ("AVX512", "avx512"),
        ("NEON", "neon"),
    ]
    bg, fg = img(), img(seed=1)
    for name in PRESENT + ["kernel_available"]:
        assert callable(getattr(zarvel, name)), name
    np.testing.assert_array_equal(
        zarvel.multiply(bg, fg, 0.5, zarvel.KernelKind.SCALAR), _zarvel.multiply(bg, fg, 0.5, "scalar")
    )


@pytest.mark.parametrize(
    "bg, fg, args, exc, msg",
    [
        ([[[1, 2, 3]]], img(1, 1), (), TypeError, DTYPE_MSG),
        (img(), img().astype(np.float64), (), TypeError, DTYPE_MSG),
        (img(dtype=np.int16), img(), (), TypeError, DTYPE_MSG),
        (img(c=5), img(dtype=np.float16), (0.0,), TypeError, DTYPE_MSG),  # type before channels
        (img(c=2), img(), (), ValueError, CHAN_MSG),
        (img(), img(c=5, dtype=np.float32), (), ValueError, CHAN_MSG),
        (img(c=1), img(h=3), (), ValueError, CHAN_MSG),  # channels before size
        (img(), img(h=3), (0.0,), ValueError, SIZE_MSG),
        (img(), img(w=2, c=4), (), ValueError, SIZE_MSG),
        (img(), img(h=3), (None, 5), ValueError, SIZE_MSG),  # size before opacity
        (img(), img(), (0.5, 5), TypeError, KERNEL_MSG),
        (img(), img(), (0.5, None), TypeError, KERNEL_MSG),
        (img(), img(), (0.0, None), TypeError, KERNEL_MSG),  # before the shortcut
        (img(), img(), (0.5, b"avx2"), TypeError, KERNEL_MSG),
        (img(), img(), (0.5, Named(5)), TypeError, KERNEL_MSG),
        (img(), img(), (0.5, Named(None)), TypeError, KERNEL_MSG),
        (img(), img(), (0.5, Broken()), TypeError, KERNEL_MSG),
        (img(), img(), (0.5, "\ud800"), TypeError, KERNEL_MSG),  # not encodable
        (img(), img(), (0.5, Named("\ud800")), TypeError, KERNEL_MSG),
    ],
)
def test_error_messages(bg, fg, args, exc, msg):
    for name in PRESENT:
        with pytest.raises(exc) as info:
            getattr(_zarvel, name)(bg, fg, *args)
        assert str(info.value) == msg, name
        assert type(info.value) is exc


OWN_MESSAGES = {DTYPE_MSG, CHAN_MSG, SIZE_MSG, KERNEL_MSG}


@pytest.mark.parametrize(
    "call",
    [
        lambda f: f(img()),
        lambda f: f(img(), img(), 1.0, "auto", 5),
        lambda f: f(img(), img(), opacity=0.5),
        lambda f: f(background=img(), foreground=img()),
        lambda f: f(img(), img(), None),
        lambda f: f(img(), img(), None, "scalar"),
        lambda f: f(img(), img(), None, 5),  # the opacity is converted before the kernel
        lambda f: f(img(), img(), "scalar", 0.5),  # a str third argument only names a kernel alone
        lambda f: f(img(), img(), "0.5", "scalar"),
        lambda f: f(img(), img(), [0.5]),
    ],
)
def test_argument_errors_are_python_type_errors(call):
    for name in PRESENT:
        with pytest.raises(TypeError) as info:
            call(getattr(_zarvel, name))
        assert str(info.value) not in OWN_MESSAGES, name


@pytest.mark.parametrize("bg, fg", [(img()[:, :, 0], img()[:, :, 0]), (img()[None], img()[None])])
def test_non_three_dimensional_images_fail_in_numpy(bg, fg):
    for name in PRESENT:
        with pytest.raises(ValueError) as info:
            getattr(_zarvel, name)(bg, fg)
        assert str(info.value) not in OWN_MESSAGES


@pytest.mark.parametrize("name", MINE)
def test_argument_forms_agree(name):
    f = getattr(_zarvel, name)
    bg, fg = img(3, 5, 4, np.uint8), img(3, 5, 3, np.float32, seed=3)
    ref = f(bg, fg, 1.0, "scalar")
    for args in [
        ("scalar",),
        (1, "scalar"),
        (np.float32(1), "scalar"),
        (True, "scalar"),
        (1.0, zarvel.KernelKind.SCALAR),
        (zarvel.KernelKind.SCALAR,),
        (1.0, Named("scalar")),
        (1.0, Named(MyStr("scalar"))),
        (MyStr("scalar"),),
    ]:
        np.testing.assert_array_equal(f(bg, fg, *args), ref, err_msg=repr(args))
    auto = f(bg, fg, 0.5)
    for kernel in ("auto", "AVX2", "", "nonsense", zarvel.KernelKind.AUTO, Named("auto")):
        np.testing.assert_array_equal(f(bg, fg, 0.5, kernel), auto, err_msg=repr(kernel))
    np.testing.assert_array_equal(f(bg, fg), f(bg, fg, 1.0))


def best_kernel():
    return next(k for k in ("avx2", "sse42", "scalar") if _zarvel.kernel_available(k))


def test_automatic_choice_is_the_best_available_kernel():
    """Vector loads make 3.0 come back as 3.0000002, which tells the kernels apart."""
    bg = np.full((1, 9, 4), 3, np.float32)
    bg[..., 3] = 255
    fg = np.zeros((1, 9, 4), np.float32)  # transparent: the background comes back
    k = best_kernel()
    for f in (_zarvel.darken_only, _zarvel.normal):
        auto = f(bg, fg, 0.5)
        np.testing.assert_array_equal(auto, f(bg, fg, 0.5, k))
        np.testing.assert_array_equal(auto, R.blend(f.__name__, bg, fg, 0.5, k))
        if k != "scalar":
            assert not np.array_equal(auto, f(bg, fg, 0.5, "scalar"))


@pytest.mark.parametrize("opacity", [0.0, -0.0, -0.5, -np.inf, 1e-50])
def test_non_positive_opacity_copies_the_background(opacity):
    bg = img(3, 5, 4, np.float32)
    fg = img(3, 5, 3, np.uint8)
    for name in PRESENT:
        out = getattr(_zarvel, name)(bg, fg, opacity, "no such kernel")
        assert out is not bg and out.dtype == bg.dtype
        np.testing.assert_array_equal(out, bg)


@pytest.mark.parametrize("shape", [(0, 5), (5, 0), (0, 0)])
@pytest.mark.parametrize("bd, fd", [(np.uint8, np.float32), (np.float32, np.uint8)])
def test_empty_images(kernel, shape, bd, fd):
    for name in PRESENT:
        for op in (0.5, 1.0, 0.0):
            out = getattr(_zarvel, name)(np.zeros(shape + (4,), bd), np.zeros(shape + (3,), fd), op, kernel)
            assert out.shape == shape + (4,) and out.dtype == bd


@pytest.mark.parametrize("name", MINE)
def test_views_equal_contiguous_copies(name, images):
    f = getattr(_zarvel, name)
    big_bg, big_fg = images(7, 22, 4, np.uint8), images(22, 7, 4, np.float32)
    views = [
        (big_bg[:, ::2], big_fg.transpose(1, 0, 2)[:, ::2]),  # strided and transposed
        (big_bg[::-1, 1:12], big_fg[:11].transpose(1, 0, 2)),  # negative strides
        (big_bg[:, :11, :3], big_fg[:11, :7, 1:].transpose(1, 0, 2)),  # channel slices
        (np.asfortranarray(big_bg), big_fg.transpose(1, 0, 2)),
    ]
    for bg, fg in views:
        for op in (0.5, 1.0):
            np.testing.assert_array_equal(f(bg, fg, op), f(np.ascontiguousarray(bg), np.ascontiguousarray(fg), op))


@pytest.mark.parametrize("name", MINE)
def test_read_only_inputs(name, images):
    bg, fg = images(3, 5, 4, np.uint8), images(3, 5, 4, np.float32)
    want = getattr(_zarvel, name)(bg, fg, 0.5)
    keep = bg.copy(), fg.copy()
    bg.flags.writeable = fg.flags.writeable = False
    np.testing.assert_array_equal(getattr(_zarvel, name)(bg, fg, 0.5), want)
    np.testing.assert_array_equal(bg, keep[0])
    np.testing.assert_array_equal(fg, keep[1])


@pytest.mark.parametrize("name", ["normal", "multiply", "soft_light", "addition"])
def test_big_endian_float32_reads_like_native(name, kernel, images):
    f = getattr(_zarvel, name)
    bg, fg = images(3, 7, 4, np.float32), images(3, 7, 3, np.float32)
    for op in (0.0, 0.5, 1.0):
        want = f(bg, fg, op, kernel)
        for b, g in [(bg.astype(">f4"), fg), (bg, fg.astype(">f4")), (bg.astype(">f4"), fg.astype(">f4"))]:
            out = f(b, g, op, kernel)
            assert out.dtype == np.dtype(np.float32)
            np.testing.assert_array_equal(out, want)


def test_kernel_available():
    assert _zarvel.kernel_available("auto") is True
    assert _zarvel.kernel_available("scalar") is True
    for k in ("sse42", "avx2"):
        assert _zarvel.kernel_available(k) in (True, False)
        assert _zarvel.kernel_available(getattr(zarvel.KernelKind, k.upper())) is _zarvel.kernel_available(k)
    for bad in ("AVX2", "", "sse4.2", "Scalar"):
        with pytest.raises(ValueError, match="^unknown kernel kind$"):
            _zarvel.kernel_available(bad)
    for args in [(1,), (None,), (b"avx2",), (), ("avx2", "scalar")]:
        with pytest.raises(TypeError):
            _zarvel.kernel_available(*args)


def cpu_flags():
    with open("/proc/cpuinfo") as f:
        return next((set(line.split(":", 1)[1].split()) for line in f if line.startswith("flags")), set())


def test_package_kernel_available_knows_neon_and_avx512():
    """The package answers for "neon" (only aarch64 runs it) and "avx512" too and
    leaves the module's four names to the module; the module keeps exactly its four."""
    on_arm = platform.machine().lower() in ("aarch64", "arm64")
    assert zarvel.kernel_available("neon") is on_arm
    assert zarvel.kernel_available(zarvel.KernelKind.NEON) is on_arm
    if os.path.exists("/proc/cpuinfo") and not on_arm:
        has = {"avx512f", "avx512bw", "avx512dq", "avx512vl", "avx2", "fma"} <= cpu_flags()
        assert zarvel.kernel_available("avx512") is has
    assert zarvel.kernel_available(zarvel.KernelKind.AVX512) is zarvel.kernel_available("avx512")
    if zarvel.kernel_available("avx512"):
        assert _zarvel.kernel_available("avx2")
    for k in ("auto", "scalar", "sse42", "avx2"):
        assert zarvel.kernel_available(k) is _zarvel.kernel_available(k)
    for bad in ("NEON", "", "AVX512", "avx512f", "sve"):
        with pytest.raises(ValueError, match="^unknown kernel kind$"):
            zarvel.kernel_available(bad)
    for name in ("neon", "avx512"):
        with pytest.raises(ValueError, match="^unknown kernel kind$"):
            _zarvel.kernel_available(name)
    for args in [(1,), (None,), ()]:
        with pytest.raises(TypeError):
            zarvel.kernel_available(*args)


@pytest.mark.parametrize("mode", ["normal", "multiply", "hsv_hue"])
def test_module_runs_neon_and_avx512_names_as_the_automatic_choice(mode):
    """ "neon" and "avx512" are no names of the module's blend functions: like any unknown
    name they run the automatic choice (NEON itself on aarch64, AVX-512 where
    the processor has it)."""
    f = getattr(_zarvel, mode)
    for dtype in (np.uint8, np.float32):
        bg, fg = img(2, 11, dtype=dtype), img(2, 11, dtype=dtype, seed=3)
        want = f(bg, fg, 0.5)
        for kernel in ("neon", zarvel.KernelKind.NEON, "avx512", zarvel.KernelKind.AVX512):
            np.testing.assert_array_equal(f(bg, fg, 0.5, kernel), want)


def test_reference_counts_unchanged():
    bg, fg, fg4 = img(2, 5, 4), img(2, 5, 3, np.float32), img(2, 5, 4)
    bad_fg = img(3, 5)
    name = "".join(["sca", "lar"])  # a fresh, uninterned string
    kind, odd_value = Named(name), object()
    odd = Named(odd_value)
    watched = (bg, fg, fg4, bad_fg, kind, name, odd, odd_value)
    funcs = [getattr(_zarvel, n) for n in PRESENT]

    def calls(f):
        f(bg, fg, 0.5, kind)
        f(bg, fg4, 0.5, kind)
        f(bg, fg, 0.0, kind)
        f(bg, fg, 2.0, kind)
        for args, exc in (
            ((bg, bad_fg, 0.5, kind), ValueError),
            ((bg, fg, 0.5, odd), TypeError),
            ((bg, fg, None, kind), TypeError),
            ((bg, fg4, 0.5, odd), TypeError),
        ):
            with pytest.raises(exc):
                f(*args)

    calls(funcs[0])
    gc.collect()
    before = [sys.getrefcount(x) for x in watched]
    for i in range(10_000):
        calls(funcs[i % len(funcs)])
    gc.collect()
    assert [sys.getrefcount(x) for x in watched] == before


def _rss():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * 4096


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads the resident size from /proc")
def test_memory_does_not_grow():
    bg, fg = img(64, 64, 4), img(64, 128, 3, np.float32)[:, ::2]  # a copied view
    funcs = [getattr(_zarvel, n) for n in MINE]

    def burst(n):
        for i in range(n):
            f = funcs[i % len(funcs)]
            f(bg, fg, 0.5)
            f(bg, fg, 0.0)
            f(bg, fg)
            try:
                f(bg, fg[:3], 0.5)
            except ValueError:
                pass

    burst(200)
    tracemalloc.start()
    try:
        burst(50)
        base, rss = tracemalloc.get_traced_memory()[0], _rss()
        burst(2000)  # an output leaked per call would be > 100 MB
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert grown < 1 << 20
    # AddressSanitizer keeps freed memory in quarantine, so only without it
    # does the resident size say anything.
    with open("/proc/self/maps") as fh:
        if "libasan" not in fh.read():
            assert _rss() - rss < 32 << 20


def test_interpreter_lock_is_released():
    n = 4000
    bg = np.empty((n, n, 3), np.uint8)
    bg[...] = (np.arange(n, dtype=np.uint8) * 7)[:, None, None]
    fg = bg.transpose(1, 0, 2).copy()
    count, stop = [0], [False]

    def spin():
        while not stop[0]:
            count[0] += 1

    t = threading.Thread(target=spin)
    t.start()
    try:
        time.sleep(0.05)
        c0 = count[0]
        time.sleep(0.2)
        rate = (count[0] - c0) / 0.2
        c0, t0 = count[0], time.perf_counter()
        _zarvel.soft_light(bg, fg, 0.5, "scalar")
        elapsed, spun = time.perf_counter() - t0, count[0] - c0
    finally:
        stop[0] = True
        t.join()
    # holding the lock would leave the counter a few switch intervals at most
    assert spun > 0.25 * rate * elapsed
