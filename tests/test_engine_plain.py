"""The engine's one-step path for common calls against the package's checked path.

zarvel.blend and zarvel.composite hand a call of plain arguments (NumPy arrays
in native order, no masks, plain numbers and names) to the native entry, which
checks and runs it at once and declines anything else. Every call it takes must
give the bits the checked path gives, and every call it declines must reach the
checked path (which reports mistakes in its own words).
"""

import numpy as np
import pytest

import zarvel
from zarvel import _compose, _engine
from test_engine import identical, image


@pytest.fixture
def checked_only(monkeypatch):
    """Runs a call through the checked path alone."""

    def run(call):
        with monkeypatch.context() as m:
            m.setattr(_compose, "_plain", lambda *args: NotImplemented)
            return call()

    return run


def stored(rng, shape, c, dtype):
    dtype = np.dtype(dtype)
    if dtype == np.uint16:
        return rng.integers(0, 65536, shape + (c,)).astype(np.uint16)
    img = image(rng, shape, c, np.uint8 if dtype == np.uint8 else np.float32, special=True)
    return img.astype(dtype)


DTYPES = [np.uint8, np.float32, np.uint16, np.float64]


@pytest.mark.parametrize("seed", range(12))
def test_plain_calls_equal_the_checked_path(seed, checked_only, monkeypatch):
    rng = np.random.default_rng(seed)
    if seed % 3 == 0:
        monkeypatch.setattr(_compose, "_BAND_BYTES", 1)
    frames = None if seed % 2 else int(rng.integers(1, 4))
    lead = () if frames is None else (frames,)
    h, w = int(rng.integers(1, 41)), int(rng.integers(1, 41))
    bg_type = DTYPES[seed % 4]
    bg = stored(rng, lead + (h, w), int(rng.choice([3, 4])), bg_type)
    layers = []
    for _ in range(int(rng.integers(0, 4))):
        lh, lw = int(rng.integers(1, 45)), int(rng.integers(1, 45))
        n = () if frames is None or rng.random() < 0.5 else (int(rng.choice([1, frames])),)
        img = stored(rng, n + (lh, lw), int(rng.choice([3, 4])), DTYPES[int(rng.integers(0, 4))])
        offset = tuple(int(rng.choice([0, rng.integers(-50, 50), 2**62, -(2**62)])) for _ in range(2))
        opacity = rng.choice([0.5, 1.0, 0.0, -1.0, 1.5, float("nan"), 1, 0])
        layers.append(zarvel.Layer(img, str(rng.choice(zarvel.MODES)), opacity.item(), offset=offset))
    kwargs = dict(
        threads=[None, 1, 3, 2000][seed % 4],
        kernel=["auto", "scalar", "avx2", "sse42"][seed % 4],
        scale=[255.0, 1.0, 255, 1][seed % 4],
        premultiplied=bool(seed % 5 == 0),
    )
    want = checked_only(lambda: zarvel.composite(bg, layers, **kwargs))
    identical(zarvel.composite(bg, layers, **kwargs), want)
    if layers:
        first = layers[0]
        args = (bg, first.image, first.mode, first.opacity)
        identical(
            zarvel.blend(*args, offset=first.offset, **kwargs),
            checked_only(lambda: zarvel.blend(*args, offset=first.offset, **kwargs)),
        )
    out = np.full_like(bg, 7)
    assert zarvel.composite(bg, layers, out=out, **kwargs) is out
    identical(out, want)
    in_place = bg.copy()
    assert zarvel.composite(in_place, layers, out=in_place, **kwargs) is in_place
    identical(in_place, want)


def test_outputs_whose_span_meets_an_input_are_decided_exactly():
    """Interleaved views share a span of memory but no element: the one-step path
    leaves them to the exact check, which takes them."""
    rng = np.random.default_rng(3)
    memory = rng.integers(0, 256, (16, 2, 8, 4), dtype=np.uint8)
    bg, out = memory[:, 0], memory[:, 1]
    want = zarvel.blend(bg.copy(), bg[2:6].copy(), "screen", 0.5, offset=(3, 1))
    assert zarvel.blend(bg, bg[2:6], "screen", 0.5, offset=(3, 1), out=out) is out
    identical(out, want)
    with pytest.raises(ValueError, match="out overlaps foreground"):
        zarvel.blend(bg, out[2:6], "screen", 0.5, out=out)


B = np.zeros((4, 5, 4), np.uint8)
F = np.zeros((2, 3, 3), np.uint8)


class Plain(np.ndarray):
    pass


@pytest.mark.parametrize(
    "background, layers, out, threads, kernel, scale, premultiplied",
    [
        (B.view(Plain), ((F, "normal", 1.0, (0, 0)),), None, None, "auto", 255.0, False),
        (B.astype(">f4"), ((F, "normal", 1.0, (0, 0)),), None, None, "auto", 255.0, False),
        (B[:, :, ::-1], ((F, "normal", 1.0, (0, 0)),), None, None, "auto", 255.0, False),
        (B[..., :0], ((F, "normal", 1.0, (0, 0)),), None, None, "auto", 255.0, False),
        (B, ((F, "Normal", 1.0, (0, 0)),), None, None, "auto", 255.0, False),
        (B, ((F, "normal", True, (0, 0)),), None, None, "auto", 255.0, False),
        (B, ((F, "normal", np.float64(1.0), (0, 0)),), None, None, "auto", 255.0, False),
        (B, ((F, "normal", 10**400, (0, 0)),), None, None, "auto", 255.0, False),
        (B, ((F, "normal", 1.0, [0, 0]),), None, None, "auto", 255.0, False),
        (B, ((F, "normal", 1.0, (0, 2**70)),), None, None, "auto", 255.0, False),
        (B, ((F, "normal", 1.0, (np.int64(0), 0)),), None, None, "auto", 255.0, False),
        (B, ((np.zeros((3, 2, 3, 3), np.uint8), "normal", 1.0, (0, 0)),), None, None, "auto", 255.0, False),
        (B, [(F, "normal", 1.0, (0, 0))], None, None, "auto", 255.0, False),
        (B, ((F, "normal", 1.0),), None, None, "auto", 255.0, False),
        (B, (), B.copy().view(Plain), None, "auto", 255.0, False),
        (B, (), np.zeros((4, 5, 4), np.float32), None, "auto", 255.0, False),
        (B, (), np.zeros((4, 5, 3), np.uint8), None, "auto", 255.0, False),
        (B, (), np.zeros((1, 4, 5, 4), np.uint8), None, "auto", 255.0, False),
        (B, (), np.broadcast_to(np.zeros((5, 4), np.uint8), (4, 5, 4)), None, "auto", 255.0, False),
        (B, (), np.zeros((4, 10, 4), np.uint8)[:, ::2], None, "auto", 255.0, False),
        (B, ((F, "normal", 1.0, (0, 0)),), F, None, "auto", 255.0, False),
        (B, (), None, 0, "auto", 255.0, False),
        (B, (), None, True, "auto", 255.0, False),
        (B, (), None, 2.0, "auto", 255.0, False),
        (B, (), None, None, "AVX2", 255.0, False),
        (B, (), None, None, zarvel.KernelKind.AVX2, 255.0, False),
        (B, (), None, None, "auto", 2.0, False),
        (B, (), None, None, "auto", True, False),
        (B, (), None, None, "auto", 255.0, 1),
        (B, (), None, None, "auto", 255.0, np.bool_(False)),
    ],
    ids=[
        "subclass",
        "byte-swapped",
        "channels-reversed",
        "no-pixels",
        "unknown-mode",
        "bool-opacity",
        "numpy-opacity",
        "huge-int-opacity",
        "list-offset",
        "huge-offset",
        "numpy-offset",
        "wrong-frames",
        "layers-list",
        "layer-of-three",
        "out-subclass",
        "out-type",
        "out-channels",
        "out-ndim",
        "out-read-only",
        "out-strided",
        "out-is-foreground",
        "threads-0",
        "threads-bool",
        "threads-float",
        "kernel-case",
        "kernel-enum",
        "scale-2",
        "scale-bool",
        "premultiplied-int",
        "premultiplied-numpy",
    ],
)
def test_the_one_step_path_declines_what_it_does_not_know(
    background, layers, out, threads, kernel, scale, premultiplied
):
    target = None if out is None else out.copy()
    assert _engine.plain(background, layers, out, threads, kernel, scale, premultiplied, 0) is NotImplemented
    if out is not None:
        identical(out, target)
    with pytest.raises(TypeError):
        _engine.plain(B, (), None)


MEMORY = np.zeros((10, 12, 4), np.uint8)


@pytest.mark.parametrize(
    "a, b, meet",
    [
        (MEMORY[:5], MEMORY[5:], False),
        (MEMORY[:6], MEMORY[5:], True),
        (MEMORY[::-1][:5], MEMORY[::-1][5:], False),  # negative strides
        (MEMORY[::-1][:6], MEMORY[4:], True),
        (MEMORY[:, ::2], MEMORY[:, 1::2], True),  # interleaved: the spans meet, no element is shared
        (MEMORY[:0], MEMORY, False),  # nothing to share
        (MEMORY[0, 0, :1], MEMORY[0, 0, 1:2], False),
        (MEMORY, MEMORY.copy(), False),
    ],
)
def test_spans_meet(a, b, meet):
    assert _engine.spans_meet(a, b) is meet
    assert _engine.spans_meet(b, a) is meet
    if not meet:
        assert not np.shares_memory(a, b)
