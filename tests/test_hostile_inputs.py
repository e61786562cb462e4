"""Inputs that change under the parser's feet, and bad calls that must stay cheap.

Python code runs in the middle of argument parsing: an opacity's ``__float__``
or ``__index__`` and a kernel object's ``value``. It may reshape or retype the
caller's arrays in place; the call must still blend exactly the arrays that were
checked (or raise), never touch memory outside them. And a call that is wrong in
its element type, channels or size must fail before NumPy copies an input.
"""

import resource
import time

import numpy as np
import pytest

import _zarvel

SIZE_MSG = "background and foreground must match in height and width"

# One mode per driver: separable, normal, colour.
DRIVERS = ["multiply", "normal", "hsv_hue"]


def set_attr(name, value):
    return lambda a: setattr(a, name, value)


# (name, shape, in-place change of one input's view)
MUTATIONS = [
    ("reshape", (40, 40, 3), set_attr("shape", (40, 120, 1))),
    ("retype", (40, 40, 4), set_attr("dtype", np.float32)),
    ("swap-sizes", (3, 40, 4), set_attr("shape", (4, 40, 3))),
]


def hooks(change, target):
    """The three ways user code runs during the parse; each returns the call's extra arguments."""

    class AsFloat:
        def __float__(self):
            change(target)
            return 0.5

    class AsIndex:
        def __index__(self):
            change(target)
            return 1

    class Kernel:
        @property
        def value(self):
            change(target)
            return "auto"

    return {"__float__": (AsFloat(),), "__index__": (AsIndex(),), "value": (0.5, Kernel())}


@pytest.mark.parametrize("hook", ["__float__", "__index__", "value"])
@pytest.mark.parametrize("name, shape, change", MUTATIONS, ids=[m[0] for m in MUTATIONS])
@pytest.mark.parametrize("mode", DRIVERS)
@pytest.mark.parametrize("which", ["background", "foreground"])
def test_arrays_changed_during_the_parse_are_blended_as_checked(mode, which, hook, name, shape, change):
    rng = np.random.default_rng(7)
    bg = rng.integers(0, 256, shape, dtype=np.uint8)
    fg = rng.integers(0, 256, shape, dtype=np.uint8)
    bg_copy, fg_copy = bg.copy(), fg.copy()
    args = hooks(change, bg if which == "background" else fg)[hook]
    opacity = 1.0 if hook == "__index__" else 0.5
    want = getattr(_zarvel, mode)(bg_copy, fg_copy, opacity)
    got = getattr(_zarvel, mode)(bg, fg, *args)
    assert got.shape == want.shape and got.dtype == want.dtype
    np.testing.assert_array_equal(got, want)


def test_resize_during_the_parse_is_refused():
    bg = np.zeros((20, 20, 4), np.uint8)

    class Op:
        def __float__(self):
            bg.resize((1, 1, 4))  # the call's own view still refers to the memory
            return 0.5

    with pytest.raises(ValueError, match="resize"):
        _zarvel.multiply(bg, bg.copy(), Op())


def peak_rss_mb():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


# Broadcast views whose copies would need 18 GiB: each call is wrong somewhere
# else and must say so at once.
HUGE = (70000, 70000, 4)


@pytest.mark.parametrize(
    "bg, fg, exc, msg",
    [
        (np.zeros((10, 10, 4), np.uint8), np.broadcast_to(np.uint8(7), HUGE), ValueError, SIZE_MSG),
        (np.broadcast_to(np.uint8(7), HUGE), np.zeros((10, 10, 3), np.uint8), ValueError, SIZE_MSG),
        (
            np.broadcast_to(np.float64(7), HUGE),
            np.zeros((10, 10, 3), np.uint8),
            TypeError,
            "inputs must be uint8 or float32 numpy arrays",
        ),
        (
            np.broadcast_to(np.uint8(7), HUGE[:2] + (5,)),
            np.broadcast_to(np.uint8(7), HUGE),
            ValueError,
            "inputs must have 3 or 4 channels",
        ),
    ],
    ids=["huge-foreground", "huge-background", "huge-float64", "huge-five-channels"],
)
@pytest.mark.parametrize("mode", DRIVERS)
def test_bad_calls_fail_before_copying(mode, bg, fg, exc, msg):
    before = peak_rss_mb()
    start = time.perf_counter()
    with pytest.raises(exc, match=msg):
        getattr(_zarvel, mode)(bg, fg, 0.5)
    assert time.perf_counter() - start < 1.0
    assert peak_rss_mb() - before < 100


def test_strided_inputs_are_still_copied_and_blended():
    """The early checks do not skip the conversion of valid views."""
    rng = np.random.default_rng(3)
    bg = rng.integers(0, 256, (9, 14, 4), dtype=np.uint8)[:, ::2]
    fg = rng.uniform(0, 255, (9, 7, 3)).astype(">f4")
    np.testing.assert_array_equal(
        _zarvel.screen(bg, fg, 0.7), _zarvel.screen(np.ascontiguousarray(bg), fg.astype("<f4"), 0.7)
    )
