"""The W3C family ("svg:" modes) against the float64 model of w3c_reference.py, its
kernels against each other, and the engine's contract for it (offsets, masks,
batches, bands, threads, linear light).

Accuracy: every result within 0.5 (0..255 units) of the model before rounding,
8-bit results within one level, over all 65,536 byte pairs at several alphas and
opacities. The kernels: every kernel gives the scalar kernel's bits (the family
computes each pixel with the same operations in every stage).
"""

import re
from pathlib import Path

import numpy as np
import pytest

import w3c_reference as ref
import zarvel
from zarvel import _compose, w3c

W3C = zarvel.w3c.MODES

# (backdrop alpha, source alpha) in bytes, and the opacities each is tried at.
ALPHAS = ((255, 255), (255, 128), (128, 255), (77, 200), (0, 255), (255, 0), (0, 0), (1, 254))
OPACITIES = (1.0, 0.5)


def pair_images():
    """Every byte pair (a, b), one per pixel of a 256 x 256 image, spread over the three
    channels (R: a / b, G: b / a, B: a ^ 0x5A / 255 - b), one frame per alpha pair."""
    a, b = np.meshgrid(np.arange(256), np.arange(256), indexing="ij")
    cb = np.stack([a, b, a ^ 0x5A], -1)
    cs = np.stack([b, a, 255 - b], -1)
    frames = len(ALPHAS)
    bg = np.empty((frames, 256, 256, 4), np.uint8)
    fg = np.empty((frames, 256, 256, 4), np.uint8)
    for i, (ab, as_) in enumerate(ALPHAS):
        bg[i, ..., :3], bg[i, ..., 3] = cb, ab
        fg[i, ..., :3], fg[i, ..., 3] = cs, as_
    return bg, fg


BG, FG = pair_images()


def model(mode, bg, fg, opacity, linear=False):
    """The model's straight RGBA result on 0..255, float64."""
    cb, cs = bg[..., :3] / 255.0, fg[..., :3] / 255.0
    ab = bg[..., 3] / 255.0 if bg.shape[-1] == 4 else np.ones(bg.shape[:-1])
    as_ = fg[..., 3] / 255.0 if fg.shape[-1] == 4 else np.ones(fg.shape[:-1])
    co, ao = ref.composite(mode, cb, ab, cs, as_, opacity, linear)
    return np.concatenate([co, ao[..., None]], -1) * 255


def near_ties(mode, bg, fg):
    """Pixels where a mode's choice is a comparison the float32 and float64 sums may
    decide differently: darker/lighter colour with nearly equal Lum."""
    if mode not in ("svg:darker-color", "svg:lighter-color"):
        return np.zeros(bg.shape[:-1], bool)
    return np.abs(ref.lum(bg[..., :3] / 255.0) - ref.lum(fg[..., :3] / 255.0)) < 1e-5


@pytest.mark.parametrize("mode", W3C)
@pytest.mark.parametrize("opacity", OPACITIES)
def test_model_every_byte_pair(mode, opacity):
    want = model(mode, BG, FG, opacity)
    skip = near_ties(mode, BG, FG)
    got8 = zarvel.blend(BG, FG, mode, opacity, kernel="scalar").astype(np.float64)
    gotf = zarvel.blend(BG.astype(np.float32), FG.astype(np.float32), mode, opacity, kernel="scalar")
    for got, bound in ((gotf, 0.5), (got8, 1.0)):
        err = np.abs(got - want)
        err[skip] = 0
        worst = np.unravel_index(np.argmax(err), err.shape)
        assert err.max() <= bound, (mode, got.dtype, worst, got[worst], want[worst])


@pytest.mark.parametrize("mode", W3C)
def test_model_linear_light(mode):
    bg, fg = BG[::3, ::2, ::2], FG[::3, ::2, ::2]  # every other byte pair, three alpha pairs
    want = model(mode, bg, fg, 0.75, linear=True)
    skip = near_ties(mode, bg, fg)
    got8 = zarvel.blend(bg, fg, mode, 0.75, linear=True).astype(np.float64)
    gotf = zarvel.blend(bg.astype(np.float32), fg.astype(np.float32), mode, 0.75, linear=True)
    for got, bound in ((gotf, 0.5), (got8, 1.0)):
        err = np.abs(got - want)
        err[skip] = 0
        assert err.max() <= bound, (mode, got.dtype, np.unravel_index(np.argmax(err), err.shape))


def test_model_rgb_background():
    """An RGB backdrop is opaque; an RGB source has alpha 1; an RGB result drops alpha."""
    bg, fg = BG[0, ..., :3], FG[1, ..., :3]
    for mode in ("svg:soft-light", "svg:luminosity", "svg:dst-out", "svg:xor", "svg:plus"):
        want = model(mode, bg, fg, 0.5)[..., :3]
        got = zarvel.blend(bg.astype(np.float32), fg, mode, 0.5)
        assert np.abs(got - want).max() <= 0.5, mode


@pytest.mark.parametrize("mode", W3C)
def test_every_kernel_gives_the_scalar_bits(mode, kernel):
    """Both element types and channel counts, odd sizes (every stage), specials in the floats."""
    rng = np.random.default_rng(7)
    bg = BG[3, :37, :41]
    fg = FG[7, 5:42, 3:44]
    bgf = bg.astype(np.float32)
    bgf[0, :6] = np.array([np.nan, np.inf, -np.inf, -3, 300, 127.5], np.float32)[:, None]
    for b in (bg, bgf, bg[..., :3], bgf[..., :3]):
        for f in (fg, fg[..., :3].astype(np.float32)):
            opacity = float(rng.choice([1.0, 0.3, 1.7]))
            want = zarvel.blend(b, f, mode, opacity, kernel="scalar")
            got = zarvel.blend(b, f, mode, opacity, kernel=kernel)
            np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("size", range(41))
def test_sizes(size, kernel):
    """A row of n pixels gives the first n pixels of a longer row: no stage changes a bit."""
    bg = BG[3, 100, : size + 24]
    fg = FG[3, 7, : size + 24]
    for mode in ("svg:hue", "svg:color-burn", "svg:src-atop", "svg:hard-mix"):
        whole = zarvel.blend(bg[None], fg[None], mode, 0.8, kernel=kernel)[0]
        part = zarvel.blend(bg[None, :size], fg[None, :size], mode, 0.8, kernel=kernel)[0]
        np.testing.assert_array_equal(part, whole[:size])


# ---- the engine's contract -----------------------------------------------------------


def covered(bg_shape, fg_shape, offset):
    """(background slices, foreground slices) of the visible part, or None."""
    (h, w), (fh, fw) = bg_shape, fg_shape
    y0, x0 = max(offset[0], 0), max(offset[1], 0)
    y1, x1 = min(offset[0] + fh, h), min(offset[1] + fw, w)
    if y1 <= y0 or x1 <= x0:
        return None
    return (slice(y0, y1), slice(x0, x1)), (
        slice(y0 - offset[0], y1 - offset[0]),
        slice(x0 - offset[1], x1 - offset[1]),
    )


def folded(fg, mask):
    """The foreground as the engine blends it under a mask: float32 RGBA, alpha x weight."""
    f = fg.astype(np.float32)
    alpha = f[..., 3] if fg.shape[-1] == 4 else np.full(fg.shape[:-1], 255, np.float32)
    weight = mask.astype(np.float32)
    alpha = (alpha * weight) / np.float32(255) if mask.dtype == np.uint8 else alpha * weight
    return np.concatenate([f[..., :3], alpha[..., None]], -1)


@pytest.fixture(params=["engine bands", "tiny bands"])
def bands(request, monkeypatch):
    if request.param == "tiny bands":
        monkeypatch.setattr(_compose, "_BAND_BYTES", 1)
    return request.param


CONTRACT_MODES = ("svg:hue", "svg:soft-light", "svg:dst-in", "svg:plus", "svg:vivid-light", "svg:clear")


@pytest.mark.parametrize("linear", [False, True], ids=["srgb", "linear"])
@pytest.mark.parametrize("masked", [None, "u8", "f32"])
def test_offsets_masks_batches_threads(kernel, bands, linear, masked):
    """Each result equals the same kernel's call on contiguous copies of the covered
    part (mask folded in); pixels outside stay as they were, even under dst-in and clear."""
    rng = np.random.default_rng(11)
    for trial in range(24):
        mode = CONTRACT_MODES[trial % len(CONTRACT_MODES)]
        h, w = int(rng.integers(1, 30)), int(rng.integers(1, 45))
        fh, fw = int(rng.integers(1, 30)), int(rng.integers(1, 45))
        bg_dtype = (np.uint8, np.float32)[trial % 2]
        bg = rng.integers(0, 256, (2, h, w, 3 + trial % 2 * 1)).astype(bg_dtype)
        fg = rng.integers(0, 256, (fh, fw, 4 - trial // 2 % 2)).astype((np.uint8, np.float32)[trial // 3 % 2])
        offset = (int(rng.integers(-fh - 2, h + 2)), int(rng.integers(-fw - 2, w + 2)))
        mask = None
        if masked == "u8":
            mask = rng.integers(0, 256, (fh, fw)).astype(np.uint8)
        elif masked == "f32":
            mask = rng.uniform(0, 1, (fh, fw)).astype(np.float32)
        threads = int(rng.integers(1, 5))
        got = zarvel.blend(bg, fg, mode, 0.7, mask=mask, offset=offset, kernel=kernel, threads=threads, linear=linear)
        want = bg.copy()
        cover = covered((h, w), (fh, fw), offset)
        if cover is not None:
            (ys, xs), (fys, fxs) = cover
            part = fg[fys, fxs] if mask is None else folded(fg[fys, fxs], mask[fys, fxs])
            region = np.ascontiguousarray(bg[:, ys, xs])
            want[:, ys, xs] = zarvel.blend(
                region, np.ascontiguousarray(part), mode, 0.7, kernel=kernel, threads=1, linear=linear
            )
        np.testing.assert_array_equal(got, want, err_msg=f"{mode} trial {trial}")


@pytest.mark.parametrize("linear", [False, True], ids=["srgb", "linear"])
def test_stack_equals_chain(kernel, bands, linear):
    rng = np.random.default_rng(5)
    bg = rng.integers(0, 256, (3, 23, 37, 4)).astype(np.uint8)
    layers = [
        zarvel.Layer(rng.integers(0, 256, (11, 20, 4)).astype(np.uint8), "svg:multiply", 0.8, offset=(3, -4)),
        zarvel.Layer(rng.integers(0, 256, (3, 15, 30, 3)).astype(np.uint8), "screen", 0.6, offset=(9, 12)),
        zarvel.Layer(rng.integers(0, 256, (20, 9, 4)).astype(np.float32), "svg:dst-out", 1.0, offset=(-2, 30)),
        zarvel.Layer(
            rng.integers(0, 256, (23, 37, 4)).astype(np.uint8),
            "svg:color",
            0.5,
            mask=(rng.random((23, 37)) * 255).astype(np.uint8),
        ),
    ]
    layers = [
        zarvel.Layer(lay.image, lay.mode, lay.opacity, mask=lay.mask, offset=lay.offset, linear=linear)
        for lay in layers
    ]
    got = zarvel.composite(bg, layers, kernel=kernel, threads=3)
    want = bg
    for lay in layers:
        want = zarvel.blend(
            want, lay.image, lay.mode, lay.opacity, mask=lay.mask, offset=lay.offset, kernel=kernel, linear=linear
        )
    np.testing.assert_array_equal(got, want)


def test_uint16():
    """16-bit images: v / 257 in, x * 257 out, within the model's bound after the conversions."""
    bg8, fg8 = BG[3, ::4, ::4], FG[3, ::4, ::4]
    bg, fg = bg8.astype(np.uint16) * 257, fg8.astype(np.uint16) * 257
    for mode in ("svg:overlay", "svg:saturation", "svg:src-in", "svg:divide"):
        got = zarvel.blend(bg, fg, mode, 0.9).astype(np.float64) / 257
        assert np.abs(got - model(mode, bg8, fg8, 0.9)).max() <= 0.5 + 1 / 257, mode


def test_premultiplied_matches_straight():
    """Premultiplied input gives the straight call's result, premultiplied (float64 on 0..1)."""
    bg8, fg8 = BG[3, ::4, ::4], FG[3, ::4, ::4]
    bg, fg = bg8 / 255.0, fg8 / 255.0
    pre = lambda x: np.concatenate([x[..., :3] * x[..., 3:], x[..., 3:]], -1)  # noqa: E731
    for mode in ("svg:overlay", "svg:saturation", "svg:src-in"):
        straight = zarvel.blend(bg, fg, mode, 0.9, scale=1)
        got = zarvel.blend(pre(bg), pre(fg), mode, 0.9, scale=1, premultiplied=True)
        assert np.abs(got - pre(straight)).max() <= 1e-5, mode


# ---- names and bad input ---------------------------------------------------------------


def test_css_names():
    assert w3c.canonical("color-dodge") == "svg:color-dodge"
    assert w3c.canonical("plus-lighter") == "svg:plus"
    assert w3c.canonical("svg:plus") == "svg:plus"
    assert w3c.canonical("copy") == "svg:src"
    assert w3c.canonical("source-over") == "svg:src-over"
    assert w3c.canonical("destination-in") == "svg:dst-in"
    assert w3c.canonical("Hard-Light") == "svg:hard-light"
    assert w3c.canonical("linear-light") == "svg:linear-light"
    assert w3c.canonical("src-atop") == "svg:src-atop"
    assert len(W3C) == len(set(W3C)) == 39
    with pytest.raises(ValueError, match="svg:multiply"):
        w3c.canonical("multiplyy")
    bg, fg = BG[0, :4, :4], FG[0, :4, :4]
    np.testing.assert_array_equal(w3c.blend(bg, fg, "color-dodge", 0.5), zarvel.blend(bg, fg, "svg:color-dodge", 0.5))
    got = w3c.composite(bg, [zarvel.Layer(fg, "plus-lighter"), zarvel.Layer(fg, "multiply", linear=True)])
    want = zarvel.composite(bg, [zarvel.Layer(fg, "svg:plus"), zarvel.Layer(fg, "svg:multiply", linear=True)])
    np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("mode", ["svg:foo", "svg:", "svg:Multiply"])
def test_unknown_name_writes_nothing(mode):
    bg = BG[0, :8, :8].copy()
    before = bg.copy()
    with pytest.raises(ValueError, match=r"svg:normal, svg:multiply, .*svg:lighter-color"):
        zarvel.blend(bg, FG[0, :8, :8], mode, out=bg)
    with pytest.raises(ValueError, match=r"layers\[1\]\.mode must be one of zarvel.w3c.MODES"):
        zarvel.composite(bg, [zarvel.Layer(FG[0, :8, :8], "svg:multiply"), zarvel.Layer(bg[:2], mode)], out=bg)
    np.testing.assert_array_equal(bg, before)


@pytest.mark.parametrize("bad", [1, None, "yes", np.float32(1)])
def test_linear_must_be_a_bool(bad):
    bg = BG[0, :8, :8].copy()
    with pytest.raises(TypeError, match="linear must be True or False"):
        zarvel.blend(bg, FG[0, :8, :8], "svg:multiply", out=bg, linear=bad)
    with pytest.raises(TypeError, match=r"layers\[0\]\.linear must be True or False"):
        zarvel.composite(bg, [zarvel.Layer(FG[0, :8, :8], linear=bad)], out=bg)
    np.testing.assert_array_equal(bg, BG[0, :8, :8])


def test_linear_off_keeps_every_result():
    """linear=False is the call without it; linear=True leaves alpha and untouched pixels alone."""
    bg, fg = BG[2, :40, :40], FG[4, :40, :40]
    for mode in ("multiply", "lch_color", "svg:multiply"):
        np.testing.assert_array_equal(zarvel.blend(bg, fg, mode, linear=False), zarvel.blend(bg, fg, mode))
    got = zarvel.blend(bg, fg[:10, :10], "normal", 0.5, offset=(5, 5), linear=True)
    want = zarvel.blend(bg, fg[:10, :10], "normal", 0.5, offset=(5, 5))
    np.testing.assert_array_equal(got[..., 3], want[..., 3])
    outside = np.ones(bg.shape[:2], bool)
    outside[5:15, 5:15] = False
    np.testing.assert_array_equal(got[outside], bg[outside])


def test_linear_rule():
    """50% grey over black, normal at opacity 0.5, in linear light: the sRGB encode of
    half the linear value of grey 128."""
    bg = np.zeros((1, 1, 3), np.uint8)
    fg = np.full((1, 1, 3), 128, np.uint8)
    half = ref.srgb_to_linear(128 / 255) / 2
    want = np.round(ref.linear_to_srgb(half) * 255)
    assert zarvel.blend(bg, fg, "svg:normal", 0.5, linear=True)[0, 0, 0] == want
    assert zarvel.blend(bg, fg, "normal", 0.5, linear=True)[0, 0, 0] == want
    assert zarvel.blend(bg, fg, "svg:normal", 0.5)[0, 0, 0] == 64


# ---- the family's list and what derives from it -----------------------------------------

ROOT = Path(__file__).resolve().parent.parent
in_source_tree = pytest.mark.skipif(
    not (ROOT / "pyproject.toml").is_file(), reason="the documents and the stub live in the source tree"
)


def test_every_mode_modelled():
    assert sorted(ref.MODES) == sorted(W3C)
    assert set(zarvel.w3c.KINDS.values()) == {"separable", "whole", "porter_duff"}
    assert {m for m, k in zarvel.w3c.KINDS.items() if k == "porter_duff"} == {*ref.PORTER_DUFF, "svg:plus"}
    assert {m for m, k in zarvel.w3c.KINDS.items() if k == "whole"} == set(ref.WHOLE)


def test_gallery_rows_hold_every_mode_once():
    placed = [m for _, _, modes in zarvel.w3c.GALLERY_GROUPS for m in modes]
    assert sorted(placed) == sorted(W3C)


@in_source_tree
def test_docs_row_and_stub_for_every_mode():
    rows = re.findall(r"^\| `(svg:[a-z-]+)` \| (?:`([a-z-]+)`)? *\|", (ROOT / "docs" / "w3c.md").read_text(), re.M)
    assert [name for name, _ in rows] == list(W3C)
    assert {name: css for name, css in rows if css} == zarvel.w3c.CSS_NAMES
    stub = (ROOT / "src" / "zarvel" / "__init__.pyi").read_text()
    literal = stub[stub.index("W3cModeName = Literal[") : stub.index("]", stub.index("W3cModeName = Literal["))]
    assert re.findall(r'"(svg:[a-z-]+)"', literal) == list(W3C)


def test_dask_and_xarray_take_the_family():
    da = pytest.importorskip("dask.array")
    import zarvel.dask

    rng = np.random.default_rng(9)
    bg = rng.integers(0, 256, (40, 50, 4)).astype(np.uint8)
    fg = rng.integers(0, 256, (30, 20, 4)).astype(np.uint8)
    layers = [zarvel.Layer(fg, "svg:hue", 0.8, offset=(5, 17), linear=True), zarvel.Layer(fg, "svg:dst-out")]
    lazy = zarvel.dask.composite(da.from_array(bg, chunks=(16, 16, 4)), layers)
    np.testing.assert_array_equal(lazy.compute(), zarvel.composite(bg, layers))
    lazy = zarvel.dask.blend(bg, da.from_array(fg, chunks=(7, 9, 4)), "svg:soft-light", offset=(3, 3), linear=True)
    np.testing.assert_array_equal(lazy.compute(), zarvel.blend(bg, fg, "svg:soft-light", offset=(3, 3), linear=True))
    with pytest.raises(ValueError, match="zarvel.w3c.MODES"):
        zarvel.dask.blend(bg, fg, "svg:nope")
    xr = pytest.importorskip("xarray")
    import zarvel.xarray

    got = zarvel.xarray.blend(xr.DataArray(bg, dims=("y", "x", "band")), fg, "svg:overlay", offset=(2, 2))
    np.testing.assert_array_equal(got.values, zarvel.blend(bg, fg, "svg:overlay", offset=(2, 2)))
    same = bg[:30, :20]
    for data in (same, da.from_array(same, chunks=(16, 8, 4))):
        got = zarvel.xarray.blend(xr.DataArray(data, dims=("y", "x", "band")), fg, "svg:hue", 0.6, linear=True)
        np.testing.assert_array_equal(got.values, zarvel.blend(same, fg, "svg:hue", 0.6, linear=True))
    with pytest.raises(TypeError, match="linear must be True or False"):
        zarvel.xarray.blend(xr.DataArray(same, dims=("y", "x", "band")), fg, linear="yes")


def test_gallery_sheet():
    pytest.importorskip("PIL")
    from zarvel import gallery

    sheet = gallery.build(family="w3c", cell_width=48)
    assert sheet.modes == tuple(m for _, _, ms in zarvel.w3c.GALLERY_GROUPS for m in ms)
    assert set(sheet.modes) == set(W3C)
    assert sheet.cells["svg:clear"][..., 3].max() == 0  # transparent, shown on the checkerboard
    with pytest.raises(ValueError, match="family must be one of modes, w3c"):
        gallery.groups("css")


@pytest.mark.parametrize("mode", ["svg:multiply", "svg:hue", "svg:xor", "normal", "lch_color"])
def test_linear_bytes_round_the_float_result(mode):
    """An 8-bit result in linear light is the float result (the same pixels as floats)
    rounded once: to nearest, ties to even, clamped."""
    bg, fg = BG[:, ::3, ::3], FG[:, ::3, ::3]
    got = zarvel.blend(bg, fg, mode, 0.7, linear=True)
    floats = zarvel.blend(bg.astype(np.float32), fg, mode, 0.7, linear=True)
    np.testing.assert_array_equal(got, np.round(np.clip(np.nan_to_num(floats), 0, 255)).astype(np.uint8))
