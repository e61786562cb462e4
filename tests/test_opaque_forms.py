"""Integer forms of opaque 8-bit pixels at opacity 1.

For the modes that have one, the vector stages compute two opaque pixels at
opacity 1 with an integer formula on the bytes instead of the float path. It
must change no bit: for each such mode and kernel, all 65,536 byte pairs go
through every stage that can take the form (the flat run of two aligned RGB
images, the pixel groups of unaligned RGB images, groups of opaque RGBA pixels
and RGBA groups with one translucent pixel), with the forms on and switched
off, and both must equal the formula.
"""

import contextlib

import numpy as np
import pytest

import _zarvel
import engine_reference as ref
import zarvel
from test_engine import identical, misaligned

FORMS = {
    "darken_only": lambda a, b: np.minimum(a, b),
    "lighten_only": lambda a, b: np.maximum(a, b),
    "difference": lambda a, b: np.abs(a - b),
    "addition": lambda a, b: np.minimum(a + b, 255),
    "subtract": lambda a, b: np.maximum(a - b, 0),
    "multiply": lambda a, b: div255(a * b),
    "screen": lambda a, b: 255 - div255((255 - a) * (255 - b)),
    "linear_burn": lambda a, b: np.maximum(a + b - 255, 0),
    "pin_light": lambda a, b: np.where(b < 128, np.minimum(a, 2 * b), np.maximum(a, 2 * b - 255)),
}
MODULE_KERNELS = ("scalar", "sse42", "avx2", "auto")  # "auto" is the AVX-512 kernel where there is one


def div255(x):
    """x / 255 rounded to nearest (never a half for products of bytes)."""
    return (x + 127) // 255


@pytest.fixture(params=MODULE_KERNELS)
def kernel(request):
    if not _zarvel.kernel_available(request.param):
        pytest.skip(f"kernel {request.param} not available")
    return request.param


@contextlib.contextmanager
def float_path():
    before = _zarvel._opaque_integer_forms(False)
    try:
        yield
    finally:
        _zarvel._opaque_integer_forms(before)


def pair_images(channels):
    """256 x 256 images whose every channel holds each of the 65,536 (background, layer) byte pairs once."""
    y, x = np.meshgrid(np.arange(256), np.arange(256), indexing="ij")
    bg = np.stack([y, x, 255 - y, np.full_like(y, 255)][:channels], axis=-1).astype(np.uint8)
    fg = np.stack([x, y, x[::-1], np.full_like(y, 255)][:channels], axis=-1).astype(np.uint8)
    return bg, fg


def both_paths(mode, bg, fg, kernel, opacity=1.0):
    fn = getattr(_zarvel, mode)
    fast = fn(bg, fg, opacity, kernel)
    with float_path():
        slow = fn(bg, fg, opacity, kernel)
    identical(fast, slow)
    return fast


@pytest.mark.parametrize("mode", sorted(FORMS))
def test_every_byte_pair_in_every_stage(mode, kernel):
    form = FORMS[mode]
    vector = kernel != "scalar"
    for channels in (3, 4):
        bg, fg = pair_images(channels)
        want = form(bg[..., :3].astype(np.int32), fg[..., :3].astype(np.int32)).astype(np.uint8)
        cases = [(bg, fg)]
        if channels == 3:
            cases.append((misaligned(bg, 1), misaligned(fg, 7)))  # no flat run: the pixel groups
        for b, f in cases:
            got = both_paths(mode, b, f, kernel)
            if vector:
                np.testing.assert_array_equal(got[..., :3], want, err_msg=f"{mode} {kernel} {channels} channels")
            if channels == 4:
                assert (got[..., 3] == 255).all()
        if channels == 4:
            # One translucent pixel in every group of four: those groups take the float path
            # while the others around them take the integer form.
            patchy_bg, patchy_fg = bg.copy(), fg.copy()
            patchy_bg[:, 5::8, 3] = 254
            patchy_fg[:, 2::12, 3] = 0
            got = both_paths(mode, patchy_bg, patchy_fg, kernel)
            opaque = (patchy_bg[..., 3] == 255) & (patchy_fg[..., 3] == 255)
            if vector:
                np.testing.assert_array_equal(got[..., :3][opaque], want[opaque])


@pytest.mark.parametrize("mode", sorted(FORMS) + ["normal", "overlay", "grain_merge"])
def test_sizes_alignments_and_opacities_around_the_forms(mode, kernel):
    """Runs of 0..40 pixels at every byte offset; opacities near 1 and NaN never take a form."""
    rng = np.random.default_rng(sum(map(ord, mode)))
    for n in range(0, 41):
        for channels in (3, 4):
            bg = rng.integers(0, 256, (1, n, channels), dtype=np.uint8)
            fg = rng.integers(0, 256, (1, n, channels), dtype=np.uint8)
            if channels == 4:
                bg[..., 3] = np.where(rng.random(n) < 0.9, 255, bg[..., 3])
                fg[..., 3] = np.where(rng.random(n) < 0.9, 255, fg[..., 3])
            shift = n % 16
            both_paths(mode, misaligned(bg, shift), misaligned(fg, 15 - shift), kernel)
            for opacity in (1.0, np.nextafter(1.0, 0.0, dtype=np.float32), 1.5, float("nan")):
                both_paths(mode, bg, fg, kernel, float(opacity))


@pytest.mark.parametrize("mode", sorted(FORMS))
def test_engine_equals_module_calls_with_the_forms(mode, monkeypatch):
    """Opaque RGB and partly opaque RGBA, at offsets, in tiny bands and on several threads."""
    from zarvel import _compose

    rng = np.random.default_rng(4)
    bg3, fg3 = rng.integers(0, 256, (37, 53, 3), dtype=np.uint8), rng.integers(0, 256, (29, 41, 3), dtype=np.uint8)
    bg4 = rng.integers(0, 256, (37, 53, 4), dtype=np.uint8)
    bg4[..., 3][rng.random((37, 53)) < 0.95] = 255
    fg4 = rng.integers(0, 256, (29, 41, 4), dtype=np.uint8)
    fg4[..., 3][rng.random((29, 41)) < 0.95] = 255
    for kernel in ("scalar", "sse42", "avx2", "avx512"):
        if not zarvel.kernel_available(kernel):
            continue
        for band_bytes in (0, 1):
            monkeypatch.setattr(_compose, "_BAND_BYTES", band_bytes)
            for bg, fg in ((bg3, fg3), (bg4, fg4), (bg3, fg4), (bg4, fg3)):
                for offset in ((0, 0), (-3, 20), (20, -7)):
                    want = ref.composite(bg, [(fg, mode, 1.0, None, offset)], kernel)
                    identical(zarvel.blend(bg, fg, mode, 1.0, offset=offset, kernel=kernel, threads=3), want)


def test_the_switch_reports_its_setting():
    assert _zarvel._opaque_integer_forms(False) is True
    assert _zarvel._opaque_integer_forms(True) is False
