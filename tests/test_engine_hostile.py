"""zarvel.blend and zarvel.composite under hostile arguments.

Outputs whose pixels alias one another, arrays reshaped by user code that runs
in the middle of the checks, byte-swapped backgrounds with an ``out``, and
absurd thread counts: each is refused before anything is written, or blended
exactly as the arrays were when they were checked.
"""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import zarvel
from zarvel import _engine


def aliased(shape, strides, dtype=np.uint8):
    """A writable view of `shape` with `strides` over a buffer just large enough for it,
    and the buffer."""
    itemsize = np.dtype(dtype).itemsize
    span = sum((n - 1) * s for n, s in zip(shape, strides)) + itemsize
    buffer = np.zeros(span // itemsize + 1, dtype)
    return as_strided(buffer, shape, strides), buffer


# Outputs in which two pixels are the same memory: frames, rows or pixels.
ALIASED_OUTS = {
    "frames-stride-0": ((4, 1, 64, 4), (0, 0, 4, 1)),
    "frames-stride-0-tall": ((3, 5, 8, 4), (0, 32, 4, 1)),
    "frames-overlap-by-a-row": ((2, 5, 8, 3), (4 * 24, 24, 3, 1)),
    "frames-overlap-one-row-frames": ((3, 1, 8, 4), (16, 1000, 4, 1)),
    "rows-stride-0": ((5, 8, 4), (0, 4, 1)),
    "rows-overlap": ((5, 8, 4), (16, 4, 1)),
    "pixels-stride-0": ((5, 8, 4), (32, 0, 1)),
    "channels-stride-0": ((5, 8, 3), (24, 3, 0)),
}


@pytest.mark.parametrize("shape, strides", ALIASED_OUTS.values(), ids=ALIASED_OUTS.keys())
def test_outputs_whose_pixels_alias_are_refused(shape, strides):
    out, buffer = aliased(shape, strides)
    bg = np.zeros(shape, np.uint8)
    fg = np.full(shape[-3:], 200, np.uint8)
    with pytest.raises(ValueError, match="^out must have C-contiguous rows that do not overlap"):
        zarvel.blend(bg, fg, "multiply", 0.5, out=out)
    with pytest.raises(ValueError, match="^out must have C-contiguous rows that do not overlap"):
        zarvel.composite(bg, [zarvel.Layer(fg, "screen")], out=out)
    # The native entry refuses them too, whoever calls it.
    bg4, out4 = (bg, out) if bg.ndim == 4 else (bg[None], out[None])
    with pytest.raises(ValueError, match="^engine: .*adjacent"):
        _engine.composite(bg4, out4, (), "auto", 1, False, False)
    assert not buffer.any()


@pytest.mark.parametrize(
    "shape, strides",
    [
        ((3, 1, 8, 4), (32, 7, 4, 1)),  # one-row frames: the row stride is never used
        ((3, 1, 8, 4), (32, 0, 4, 1)),
        ((2, 5, 8, 3), (5 * 24, 24, 3, 1)),  # frames exactly end to end
        ((2, 5, 8, 3), (5 * 24 + 40, 32, 3, 1)),  # padded rows and frames
        ((1, 5, 8, 4), (0, 32, 4, 1)),  # one frame: its stride is never used
        ((6, 8, 4), (32, 4, 1)),
    ],
    ids=["one-row-frames", "one-row-frames-stride-0", "end-to-end", "padded", "one-frame", "plain"],
)
def test_outputs_that_only_look_odd_are_written(shape, strides):
    rng = np.random.default_rng(5)
    out, _ = aliased(shape, strides)
    bg = rng.integers(0, 256, shape, dtype=np.uint8)
    fg = rng.integers(0, 256, shape[-3:], dtype=np.uint8)
    assert zarvel.blend(bg, fg, "multiply", 0.5, out=out) is out
    np.testing.assert_array_equal(out, zarvel.blend(bg, fg, "multiply", 0.5))


# ---- user code that reshapes the caller's arrays in the middle of the checks ----------------


def flatten(a):
    a.shape = (-1,)


def retype(a):
    a.dtype = np.uint16


def hooks(change, target):
    """The ways user code runs in the middle of the checks, as blend keyword arguments."""

    class Opacity(float):
        def __float__(self):
            change(target)
            return 0.5

    class Kernel:
        @property
        def value(self):
            change(target)
            return "auto"

    class Scale(float):
        def __eq__(self, other):
            change(target)
            return float(self) == other

        __hash__ = float.__hash__

    class Offset(list):
        def __getitem__(self, index):
            change(target)
            return list.__getitem__(self, index)

    return {
        "opacity": dict(opacity=Opacity(0.5)),
        "kernel": dict(kernel=Kernel()),
        "scale": dict(scale=Scale(255.0)),
        "offset": dict(offset=Offset([1, 2])),
    }


# The order in which arguments are checked: an array changed by a later hook is
# blended as checked; one changed before its own check is refused by it.
ORDER = ["background", "foreground", "opacity", "mask", "offset", "kernel", "scale", "out"]


@pytest.mark.parametrize("hook", ["opacity", "kernel", "scale", "offset"])
@pytest.mark.parametrize("change", [flatten, retype])
@pytest.mark.parametrize("which", ["background", "foreground", "mask", "out"])
def test_arrays_changed_during_the_checks_are_blended_as_checked(which, change, hook):
    rng = np.random.default_rng(9)
    arrays = {
        "background": rng.integers(0, 256, (12, 16, 4), dtype=np.uint8),
        "foreground": rng.integers(0, 256, (9, 8, 4), dtype=np.uint8),
        "mask": rng.integers(0, 256, (9, 8), dtype=np.uint8),
        "out": np.zeros((12, 16, 4), np.uint8),
    }
    copies = {name: a.copy() for name, a in arrays.items()}
    kwargs = hooks(change, arrays[which])[hook]
    want = dict(opacity=0.5, offset=(1, 2), kernel="auto", scale=255.0)
    call = lambda: zarvel.blend(
        arrays["background"],
        arrays["foreground"],
        "overlay",  # noqa: E731
        mask=arrays["mask"],
        out=arrays["out"],
        **{**want, **kwargs},
    )
    if ORDER.index(which) < ORDER.index(hook):
        assert call() is arrays["out"]
        expected = zarvel.blend(copies["background"], copies["foreground"], "overlay", mask=copies["mask"], **want)
        np.testing.assert_array_equal(arrays["out"], expected)
    else:
        with pytest.raises((TypeError, ValueError), match=f"^{which} "):
            call()
        assert not arrays["out"].any()


# ---- byte order ---------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", [">f4", ">u2", ">f8"])
def test_a_byte_swapped_background_takes_a_native_out(dtype):
    rng = np.random.default_rng(2)
    bg = (rng.random((7, 9, 4)) * (255 if dtype != ">u2" else 65535)).astype(dtype)
    fg = rng.integers(0, 256, (5, 5, 3), dtype=np.uint8)
    native = np.dtype(dtype).newbyteorder("=")
    out = np.zeros(bg.shape, native)
    assert zarvel.blend(bg, fg, "screen", 0.7, offset=(1, 3), out=out) is out
    want = zarvel.blend(bg.astype(native), fg, "screen", 0.7, offset=(1, 3))
    np.testing.assert_array_equal(out, want)
    assert zarvel.blend(bg, fg, "screen", 0.7, offset=(1, 3)).dtype == native
    # What out must be is said in words that work: the native type, never the swapped one.
    with pytest.raises(ValueError, match=rf"out must have the background's shape \(7, 9, 4\) and dtype {native}"):
        zarvel.blend(bg, fg, out=np.zeros(bg.shape, np.uint8))
    with pytest.raises(ValueError, match=rf"out must be in native byte order: a {native} array of shape"):
        zarvel.blend(bg, fg, out=bg.copy())


# ---- threads ------------------------------------------------------------------------------


def test_a_huge_thread_count_keeps_few_helper_threads():
    """Thousands of requested threads share at most max(4, 2 x CPUs) workers, and the
    helpers kept for later calls are no more than that (in a fresh process, which has
    no helpers yet)."""
    code = textwrap.dedent("""
        import os
        import numpy as np
        import zarvel
        from zarvel import _compose
        _compose._BAND_BYTES = 1          # one band per row: up to 300 threads' worth of work
        bg = np.random.default_rng(1).integers(0, 256, (300, 64, 4), dtype=np.uint8)
        fg = bg[::-1].copy()
        want = zarvel.blend(bg, fg, "multiply", 0.5, threads=1)
        before = len(os.listdir("/proc/self/task"))
        for threads in (1024, 300, 37):
            assert np.array_equal(zarvel.blend(bg, fg, "multiply", 0.5, threads=threads), want)
        print(len(os.listdir("/proc/self/task")) - before)
    """)
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    cap = max(4, 2 * len(os.sched_getaffinity(0)))
    assert 0 < int(proc.stdout) <= cap - 1
