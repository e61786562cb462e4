"""The zarvel command, run as a user runs it: through its console script in a subprocess."""

import fcntl
import os
import pty
import select
import shutil
import struct
import subprocess
import sys
import termios

import numpy as np
import pytest

pytest.importorskip("PIL")
pytest.importorskip("tifffile")
pytest.importorskip("cv2")
pytest.importorskip("tqdm")

import zarvel  # noqa: E402
from zarvel import gallery, io  # noqa: E402
from zarvel.cli import UsageError, parse_layer_argument  # noqa: E402

_SCRIPT = shutil.which("zarvel", path=os.path.dirname(sys.executable))
COMMAND = [_SCRIPT] if _SCRIPT else [sys.executable, "-m", "zarvel"]


def run(*args, cwd, command=None):
    proc = subprocess.run((command or COMMAND) + [str(a) for a in args], cwd=str(cwd), capture_output=True,
                          text=True, timeout=300, stdin=subprocess.DEVNULL)
    assert "Traceback" not in proc.stderr, proc.stderr
    return proc


def image(h, w, c, dtype=np.uint8, seed=0):
    rng = np.random.default_rng(seed)
    top = np.iinfo(dtype).max
    a = rng.integers(0, top + 1, (h, w, c), dtype=np.uint64).astype(dtype)
    if c == 4:
        a[: h // 3, :, 3] = top          # opaque, clear and partial alpha
        a[h // 3: h // 2, :, 3] = 0
    return a


@pytest.fixture
def files(tmp_path):
    """An RGBA PNG background, a smaller RGBA PNG layer and a grey mask of the layer's size."""
    bg, layer = image(40, 50, 4, seed=1), image(16, 20, 4, seed=2)
    mask = np.repeat(np.linspace(0, 255, 20).astype(np.uint8)[None, :, None], 16, 0).repeat(3, 2)
    io.write_image(tmp_path / "bg.png", bg)
    io.write_image(tmp_path / "layer.png", layer)
    io.write_image(tmp_path / "mask.png", mask)
    return tmp_path, bg, layer, mask[..., 0]


# --- blend --------------------------------------------------------------------------------------

@pytest.mark.parametrize("extra, kwargs", [
    ([], {}),
    (["--opacity", "0.4", "--offset", "5,7"], {"opacity": 0.4, "offset": (5, 7)}),
    (["--offset=-6,-9", "--mask", "mask.png"], {"offset": (-6, -9), "mask": True}),
], ids=["plain", "opacity-offset", "negative-offset-mask"])
def test_blend_writes_what_zarvel_blend_computes(files, extra, kwargs):
    tmp, bg, layer, mask = files
    proc = run("blend", "bg.png", "layer.png", "-m", "overlay", "-o", "out.png", *extra, cwd=tmp)
    assert proc.returncode == 0, proc.stderr
    if kwargs.pop("mask", False):
        kwargs["mask"] = mask
    expected = zarvel.blend(bg, layer, "overlay", **kwargs)
    out = io.read_image(tmp / "out.png")
    assert out.shape == (40, 50, 4)                      # alpha kept
    np.testing.assert_array_equal(out, expected)


def test_blend_default_output_names_and_python_m(files):
    tmp, bg, layer, _ = files
    proc = run("blend", "bg.png", "layer.png", "-m", "screen", cwd=tmp, command=[sys.executable, "-m", "zarvel"])
    assert proc.returncode == 0, proc.stderr
    np.testing.assert_array_equal(io.read_image(tmp / "bg-screen.png"), zarvel.blend(bg, layer, "screen"))
    assert run("blend", "bg.png", "layer.png", "-m", "screen", "-o", "new/", "--format", "tif", cwd=tmp).returncode == 0
    np.testing.assert_array_equal(io.read_image(tmp / "new" / "bg.tif"), zarvel.blend(bg, layer, "screen"))


@pytest.mark.parametrize("args, status, words", [
    (["missing.png", "layer.png", "-m", "screen", "-o", "o.png"], 1, ["missing.png", "no such file"]),
    (["corrupt.png", "layer.png", "-m", "screen", "-o", "o.png"], 1, ["corrupt.png", "corrupt"]),
    (["bg.png", "corrupt.png", "-m", "screen", "-o", "o.png"], 1, ["corrupt.png", "corrupt"]),
    (["bg.png", "layer.png", "-m", "scren", "-o", "o.png"], 2, ["unknown mode 'scren'", "did you mean screen"]),
    (["bg.png", "layer.png", "-m", "screen", "--mask", "bg.png", "-o", "o.png"], 1,
     ["bg.png", "50x40", "layer's size", "20x16"]),
    (["bg.png", "layer.png", "-m", "screen", "--offset", "45,0", "-o", "o.png"], 1, ["bg.png", "outside"]),
    (["bg.png", "layer.png", "-m", "screen", "-o", "o.bmp"], 2, ["o.bmp", "unsupported output format"]),
    (["bg.png", "layer.png", "-m", "screen", "--offset", "3", "-o", "o.png"], 2, ["Y,X"]),
    (["bg.png", "layer.png", "-m", "screen", "-o", "bg.png"], 2, ["overwrite"]),
    (["bg.png", "bg.png", "layer.png", "-m", "screen"], 2, ["-o DIR"]),
    (["bg.png", "corrupt.png", "layer.png", "-m", "screen", "-o", "o.png"], 2, ["o.png", "looks like a file"]),
], ids=["missing", "corrupt-background", "corrupt-layer", "unknown-mode", "mask-size", "layer-outside",
        "output-format", "bad-offset", "overwrite-input", "batch-without-output",
        "batch-into-file"])
def test_errors_name_the_file_and_problem(files, args, status, words):
    tmp, bg, *_ = files
    (tmp / "corrupt.png").write_bytes((tmp / "bg.png").read_bytes()[:200])
    proc = run("blend", *args, cwd=tmp)
    assert proc.returncode == status, proc.stderr
    for word in words:
        assert word in proc.stderr
    assert not (tmp / "o.png").exists()
    np.testing.assert_array_equal(io.read_image(tmp / "bg.png"), bg)


def test_folder_with_a_corrupt_file(files):
    tmp, _, layer, _ = files
    folder = tmp / "photos"
    folder.mkdir()
    backgrounds = {f"p{i}.png": image(30 + i, 25, 3, seed=10 + i) for i in range(4)}
    for name, array in backgrounds.items():
        io.write_image(folder / name, array)
    (folder / "broken.jpg").write_bytes(b"\xff\xd8\xff\xe0 not really a jpeg")
    (folder / "notes.txt").write_text("not an image, not picked up")
    proc = run("blend", folder, "layer.png", "-m", "multiply", "-o", "out", "--jobs", "2", cwd=tmp)
    assert proc.returncode == 1
    assert "broken.jpg" in proc.stderr and "4 of 5 images written" in proc.stderr
    assert "%|" not in proc.stderr                      # no progress bar into a pipe
    assert sorted(p.name for p in (tmp / "out").iterdir()) == sorted(backgrounds)
    for name, array in backgrounds.items():
        np.testing.assert_array_equal(io.read_image(tmp / "out" / name), zarvel.blend(array, layer, "multiply"))


def test_progress_bar_on_a_terminal(files):
    tmp = files[0]
    for i in range(3):
        io.write_image(tmp / f"f{i}.png", image(20, 20, 3, seed=i))
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))   # a terminal 80 wide
    proc = subprocess.Popen(COMMAND + ["blend", "f0.png", "f1.png", "f2.png", "layer.png", "-m", "screen", "-o", "o"],
                            cwd=tmp, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=follower)
    os.close(follower)
    seen = b""
    while True:
        ready, _, _ = select.select([leader], [], [], 60)
        try:
            chunk = os.read(leader, 4096) if ready else b""
        except OSError:                                  # the child closed the terminal
            chunk = b""
        if not chunk:
            break
        seen += chunk
    os.close(leader)
    assert proc.wait(60) == 0
    assert b"%|" in seen and b"image" in seen


# --- stack --------------------------------------------------------------------------------------

def test_stack_equals_composite(files):
    tmp, bg, layer, _ = files
    second = image(40, 50, 3, seed=5)
    io.write_image(tmp / "second.png", second)
    proc = run("stack", "bg.png", "layer.png:soft_light:0.6", "second.png:hsl_color", "-o", "out.tif", cwd=tmp)
    assert proc.returncode == 0, proc.stderr
    expected = zarvel.composite(bg, [zarvel.Layer(layer, "soft_light", 0.6), zarvel.Layer(second, "hsl_color")])
    np.testing.assert_array_equal(io.read_image(tmp / "out.tif"), expected)


@pytest.mark.parametrize("text, path, mode, opacity", [
    ("logo.png:screen", "logo.png", "screen", 1.0),
    ("logo.png:multiply:0.25", "logo.png", "multiply", 0.25),
    ("dir:with:colons/a.png:overlay:1", "dir:with:colons/a.png", "overlay", 1.0),
    ("dir:x/a.png:overlay", "dir:x/a.png", "overlay", 1.0),
])
def test_layer_arguments(text, path, mode, opacity):
    layer_arg = parse_layer_argument(text)
    assert (str(layer_arg.path), layer_arg.mode, layer_arg.opacity) == (path, mode, opacity)


@pytest.mark.parametrize("text", ["logo.png", ":screen", "logo.png:scren", "logo.png:screen:nan", "0.5:0.5"])
def test_bad_layer_arguments(text):
    with pytest.raises(UsageError):
        parse_layer_argument(text)


# --- 16 bits ------------------------------------------------------------------------------------

@pytest.mark.parametrize("source, target, layer_depth", [
    ("png", "png", np.uint16), ("tif", "tif", np.uint16), ("png", "tif", np.uint8), ("tif", "jpg", np.uint16),
])
def test_16_bit_in_and_out(tmp_path, source, target, layer_depth):
    bg, layer = image(24, 30, 4, np.uint16, seed=3), image(24, 30, 4, layer_depth, seed=4)
    mask = image(24, 30, 3, np.uint16, seed=5)
    mask[..., 1:] = mask[..., :1]                        # grey, 16 bits: a 0..1 float mask
    io.write_image(tmp_path / f"bg.{source}", bg)
    io.write_image(tmp_path / f"layer.{source}", layer)
    io.write_image(tmp_path / "mask.png", mask)
    proc = run("blend", f"bg.{source}", f"layer.{source}", "-m", "soft_light", "--mask", "mask.png",
               "-o", f"out.{target}", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    out = io.read_image(tmp_path / f"out.{target}")
    expected = zarvel.blend(bg, layer, "soft_light", mask=mask[..., 0].astype(np.float32) / 65535)
    if target == "jpg":                                  # no alpha and 8 bits: only the shape is exact
        assert out.shape == (24, 30, 3) and out.dtype == np.uint8
    else:
        assert out.dtype == np.uint16 and out.shape == (24, 30, 4)
        np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("fmt, channels, dtype", [
    ("png", 4, np.uint16), ("tif", 4, np.uint16), ("webp", 4, np.uint8), ("jpg", 3, np.uint8),
    ("png", 3, np.uint8), ("tif", 3, np.uint8),
])
def test_files_keep_alpha_and_depth_where_the_format_has_them(tmp_path, fmt, channels, dtype):
    source = image(12, 17, channels if fmt != "jpg" else 4, dtype, seed=6)
    path = tmp_path / f"x.{fmt}"
    io.write_image(path, source)
    back = io.read_image(path)
    assert back.shape == (12, 17, channels) and back.dtype == dtype
    if fmt in ("png", "tif"):
        np.testing.assert_array_equal(back, source)      # lossless, every 16-bit value
    if fmt == "webp":
        np.testing.assert_array_equal(back[..., 3], source[..., 3])       # lossy colour, alpha exact


def test_16_bit_grey_and_grey_alpha_png(tmp_path):
    cv2 = pytest.importorskip("cv2")
    grey = image(5, 6, 2, np.uint16, seed=7)
    cv2.imwrite(str(tmp_path / "g.png"), grey[..., 0])
    back = io.read_image(tmp_path / "g.png")
    assert back.dtype == np.uint16 and back.shape == (5, 6, 3)
    np.testing.assert_array_equal(back, np.repeat(grey[..., :1], 3, 2))


def test_lzw_tiff_is_read_without_imagecodecs(tmp_path):
    """LZW needs imagecodecs in tifffile; Pillow (8 bits, alpha left straight) and OpenCV (16 bits) step in."""
    from PIL import Image
    import cv2
    rgba = image(9, 11, 4, seed=8)
    Image.fromarray(rgba, "RGBA").save(tmp_path / "lzw8.tif", compression="tiff_lzw")
    np.testing.assert_array_equal(io.read_image(tmp_path / "lzw8.tif"), rgba)
    deep = image(9, 11, 4, np.uint16, seed=8)
    cv2.imwrite(str(tmp_path / "lzw16.tif"), deep[..., [2, 1, 0, 3]])       # OpenCV writes LZW
    np.testing.assert_array_equal(io.read_image(tmp_path / "lzw16.tif"), deep)


@pytest.mark.parametrize("fmt", ["png", "tif"])
@pytest.mark.parametrize("orientation", range(1, 9))
def test_exif_orientation_matches_pillow(tmp_path, fmt, orientation):
    from PIL import Image, ImageOps
    pixels = image(6, 9, 3, seed=9)
    picture = Image.fromarray(pixels, "RGB")
    exif = Image.Exif()
    exif[0x0112] = orientation
    path = tmp_path / f"o.{fmt}"
    picture.save(path, exif=exif) if fmt == "png" else picture.save(path, tiffinfo={274: orientation})
    with Image.open(path) as opened:
        expected = np.asarray(ImageOps.exif_transpose(opened).convert("RGB"))
    np.testing.assert_array_equal(io.read_image(path), expected)


# --- gallery and info ---------------------------------------------------------------------------

def test_gallery(tmp_path):
    proc = run("gallery", "-o", "g.png", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    for word in ("multiply", "lch_lightness", "kernel:", " ms", str(tmp_path / "g.png")):
        assert word in proc.stdout
    sheet = io.read_image(tmp_path / "g.png")
    built = gallery.build()
    assert sheet.shape == built.image.shape and sheet.shape[0] > 1000 and sheet.shape[1] > 1400
    np.testing.assert_array_equal(sheet, built.image)
    # Each mode's cell, cut from the sheet where the layout put it, is that mode's blend.
    cells = {name: sheet[top:top + built.cell_size[0], left:left + built.cell_size[1]]
             for name, (top, left) in built.boxes.items()}
    assert sorted(built.modes) == sorted(zarvel.MODES)
    photo, layer = built.cells["background"], gallery.make_layer(*built.cell_size)
    for mode in built.modes:
        np.testing.assert_array_equal(cells[mode], zarvel.blend(photo, layer, mode), err_msg=mode)
    assert len({cells[m].tobytes() for m in built.modes} | {cells["background"].tobytes()}) == len(built.modes) + 1


def test_gallery_with_own_files(files):
    tmp = files[0]
    proc = run("gallery", "--background", "bg.png", "--layer", "layer.png", "--cell", "100", "-o", "g.webp", cwd=tmp)
    assert proc.returncode == 0, proc.stderr
    assert io.read_image(tmp / "g.webp").shape[1] > 6 * 100


def test_info_and_help(tmp_path):
    proc = run("info", cwd=tmp_path)
    assert proc.returncode == 0
    assert proc.stdout.startswith("zarvel ")
    assert "kernels: scalar" in proc.stdout and "threads:" in proc.stdout and "Pillow" in proc.stdout
    for command in ("blend", "stack", "gallery", "info"):
        text = run(command, "--help", cwd=tmp_path).stdout
        assert "example" in text and f"zarvel {command}" in text
    blend_help = run("blend", "--help", cwd=tmp_path).stdout
    assert blend_help.count("e.g.") >= 10                # every option with an example


@pytest.mark.parametrize("blocked, args", [
    ("PIL", ["blend", "bg.png", "layer.png", "-m", "screen", "-o", "o.png"]),
    ("cv2", ["blend", "bg16.png", "layer.png", "-m", "screen", "-o", "o.png"]),
    ("tqdm", ["blend", "bg.png", "bg16.png", "layer.png", "-m", "screen", "-o", "out/"]),
])
def test_missing_image_library_names_the_extra(files, blocked, args):
    tmp = files[0]
    io.write_image(tmp / "bg16.png", image(4, 4, 3, np.uint16))
    code = f"import sys; sys.modules[{blocked!r}] = None; from zarvel.cli import main; sys.exit(main())"
    proc = run(*args, cwd=tmp, command=[sys.executable, "-c", code])
    assert proc.returncode == 1
    assert "pip install 'zarvel[io]'" in proc.stderr
