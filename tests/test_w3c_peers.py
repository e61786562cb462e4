"""The W3C family next to two independent implementations of the same formulas:
skia-python (skia.BlendMode on a float32 raster surface) and pyvips (libvips'
composite2). Skipped where either is missing.

Skia agrees on every mode it has (the 16 W3C blend modes and the 13 Porter-Duff
operators with plus) to within 0.02 on 0..255. libvips agrees on its Porter-Duff
operators except atop and dest-atop and add (plus), and on the separable blend
modes where both images are opaque: over partly transparent pixels it applies
the blend function to premultiplied colours (W3C: to straight ones), its add does
not clamp the colour sum, and its atop and dest-atop unpremultiply their colour
by another alpha than the result's.
"""

import numpy as np
import pytest

import zarvel

H, W = 48, 64


def images():
    rng = np.random.default_rng(3)
    bg = rng.integers(0, 256, (H, W, 4)).astype(np.uint8)
    fg = rng.integers(0, 256, (H, W, 4)).astype(np.uint8)
    bg[:8, :, 3] = 255
    fg[:, :8, 3] = 255
    bg[8:12, :, 3] = 0
    fg[:, 8:12, 3] = 0
    return bg.astype(np.float32), fg.astype(np.float32)


BG, FG = images()
OPAQUE = (BG[..., 3] == 255) & (FG[..., 3] == 255)

SKIA = {
    "svg:normal": "kSrcOver",
    "svg:multiply": "kMultiply",
    "svg:screen": "kScreen",
    "svg:overlay": "kOverlay",
    "svg:darken": "kDarken",
    "svg:lighten": "kLighten",
    "svg:color-dodge": "kColorDodge",
    "svg:color-burn": "kColorBurn",
    "svg:hard-light": "kHardLight",
    "svg:soft-light": "kSoftLight",
    "svg:difference": "kDifference",
    "svg:exclusion": "kExclusion",
    "svg:hue": "kHue",
    "svg:saturation": "kSaturation",
    "svg:color": "kColor",
    "svg:luminosity": "kLuminosity",
    "svg:clear": "kClear",
    "svg:src": "kSrc",
    "svg:dst": "kDst",
    "svg:src-over": "kSrcOver",
    "svg:dst-over": "kDstOver",
    "svg:src-in": "kSrcIn",
    "svg:dst-in": "kDstIn",
    "svg:src-out": "kSrcOut",
    "svg:dst-out": "kDstOut",
    "svg:src-atop": "kSrcATop",
    "svg:dst-atop": "kDstATop",
    "svg:xor": "kXor",
    "svg:plus": "kPlus",
}

# libvips' names, and whether it agrees on every pixel (else on opaque pixels only).
VIPS = {
    "svg:clear": ("clear", True),
    "svg:src": ("source", True),
    "svg:src-over": ("over", True),
    "svg:src-in": ("in", True),
    "svg:src-out": ("out", True),
    "svg:dst": ("dest", True),
    "svg:dst-over": ("dest_over", True),
    "svg:dst-in": ("dest_in", True),
    "svg:dst-out": ("dest_out", True),
    "svg:xor": ("xor", True),
    "svg:src-atop": ("atop", False),
    "svg:dst-atop": ("dest_atop", False),
    "svg:multiply": ("multiply", False),
    "svg:screen": ("screen", False),
    "svg:overlay": ("overlay", False),
    "svg:darken": ("darken", False),
    "svg:lighten": ("lighten", False),
    "svg:color-dodge": ("colour_dodge", False),
    "svg:color-burn": ("colour_burn", False),
    "svg:hard-light": ("hard_light", False),
    "svg:soft-light": ("soft_light", False),
    "svg:difference": ("difference", False),
    "svg:exclusion": ("exclusion", False),
}


def premultiplied_unit(x):
    y = x / 255.0
    return np.concatenate([y[..., :3] * y[..., 3:], y[..., 3:]], -1).astype(np.float32)


def straight_255(premultiplied):
    a = premultiplied[..., 3:]
    with np.errstate(divide="ignore", invalid="ignore"):
        colour = np.where(a > 0, premultiplied[..., :3] / a, 0)
    return np.concatenate([colour, a], -1).astype(np.float64) * 255


def compare(got, want, where, bound):
    """Colours where the result shows (alpha above half a level), alphas everywhere."""
    shows = where & (want[..., 3] > 0.5)
    assert np.abs(got[..., :3] - want[..., :3])[shows].max(initial=0) <= bound
    assert np.abs(got[..., 3] - want[..., 3])[where].max(initial=0) <= bound


@pytest.mark.parametrize("mode", sorted(SKIA))
def test_skia(mode):
    skia = pytest.importorskip("skia")
    info = skia.ImageInfo.Make(W, H, skia.kRGBA_F32_ColorType, skia.kPremul_AlphaType)
    surface = skia.Surface.MakeRaster(info)
    canvas = surface.getCanvas()
    for image, blend_mode in ((BG, skia.BlendMode.kSrc), (FG, getattr(skia.BlendMode, SKIA[mode]))):
        pixels = skia.Image.fromarray(
            premultiplied_unit(image), colorType=skia.kRGBA_F32_ColorType, alphaType=skia.kPremul_AlphaType
        )
        paint = skia.Paint()
        paint.setBlendMode(blend_mode)
        canvas.drawImage(pixels, 0, 0, skia.SamplingOptions(), paint)
    out = np.empty((H, W, 4), np.float32)
    assert surface.readPixels(info, out)
    compare(zarvel.blend(BG, FG, mode).astype(np.float64), straight_255(out), np.ones((H, W), bool), 0.02)


@pytest.mark.parametrize("mode", sorted(VIPS))
def test_pyvips(mode):
    pyvips = pytest.importorskip("pyvips")
    name, everywhere = VIPS[mode]
    bg = pyvips.Image.new_from_array(BG.copy()).copy(interpretation="srgb")
    fg = pyvips.Image.new_from_array(FG.copy()).copy(interpretation="srgb")
    want = np.asarray(bg.composite2(fg, name, compositing_space="srgb").numpy(), np.float64)
    where = np.ones((H, W), bool) if everywhere else OPAQUE
    compare(zarvel.blend(BG, FG, mode).astype(np.float64), want, where, 0.02)
