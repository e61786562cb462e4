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
    proc = subprocess.run(
        (command or COMMAND) + [str(a) for a in args],
        cwd=str(cwd),
        capture_output=True,
        text=True,
        timeout=300,
        stdin=subprocess.DEVNULL,
    )
    assert "Traceback" not in proc.stderr, proc.stderr
    return proc


def image(h, w, c, dtype=np.uint8, seed=0):
    rng = np.random.default_rng(seed)
    top = np.iinfo(dtype).max
    a = rng.integers(0, top + 1, (h, w, c), dtype=np.uint64).astype(dtype)
    if c == 4:
        a[: h // 3, :, 3] = top  # opaque, clear and partial alpha
        a[h // 3 : h // 2, :, 3] = 0
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


@pytest.mark.parametrize(
    "extra, kwargs",
    [
        ([], {}),
        (["--opacity", "0.4", "--offset", "5,7"], {"opacity": 0.4, "offset": (5, 7)}),
        (["--offset=-6,-9", "--mask", "mask.png"], {"offset": (-6, -9), "mask": True}),
    ],
    ids=["plain", "opacity-offset", "negative-offset-mask"],
)
def test_blend_writes_what_zarvel_blend_computes(files, extra, kwargs):
    tmp, bg, layer, mask = files
    proc = run("blend", "bg.png", "layer.png", "-m", "overlay", "-o", "out.png", *extra, cwd=tmp)
    assert proc.returncode == 0, proc.stderr
    if kwargs.pop("mask", False):
        kwargs["mask"] = mask
    expected = zarvel.blend(bg, layer, "overlay", **kwargs)
    out = io.read_image(tmp / "out.png")
    assert out.shape == (40, 50, 4)  # alpha kept
    np.testing.assert_array_equal(out, expected)


def test_blend_default_output_names_and_python_m(files):
    tmp, bg, layer, _ = files
    proc = run("blend", "bg.png", "layer.png", "-m", "screen", cwd=tmp, command=[sys.executable, "-m", "zarvel"])
    assert proc.returncode == 0, proc.stderr
    np.testing.assert_array_equal(io.read_image(tmp / "bg-screen.png"), zarvel.blend(bg, layer, "screen"))
    assert run("blend", "bg.png", "layer.png", "-m", "screen", "-o", "new/", "--format", "tif", cwd=tmp).returncode == 0
    np.testing.assert_array_equal(io.read_image(tmp / "new" / "bg.tif"), zarvel.blend(bg, layer, "screen"))


@pytest.mark.parametrize(
    "args, status, words",
    [
        (["missing.png", "layer.png", "-m", "screen", "-o", "o.png"], 1, ["missing.png", "no such file"]),
        (["corrupt.png", "layer.png", "-m", "screen", "-o", "o.png"], 1, ["corrupt.png", "corrupt"]),
        (["bg.png", "corrupt.png", "-m", "screen", "-o", "o.png"], 1, ["corrupt.png", "corrupt"]),
        (["bg.png", "layer.png", "-m", "scren", "-o", "o.png"], 2, ["unknown mode 'scren'", "did you mean screen"]),
        (
            ["bg.png", "layer.png", "-m", "screen", "--mask", "bg.png", "-o", "o.png"],
            1,
            ["bg.png", "50x40", "layer's size", "20x16"],
        ),
        (["bg.png", "layer.png", "-m", "screen", "--offset", "45,0", "-o", "o.png"], 1, ["bg.png", "outside"]),
        (["bg.png", "layer.png", "-m", "screen", "-o", "o.bmp"], 2, ["o.bmp", "unsupported output format"]),
        (["bg.png", "layer.png", "-m", "screen", "--offset", "3", "-o", "o.png"], 2, ["Y,X"]),
        (["bg.png", "layer.png", "-m", "screen", "-o", "bg.png"], 2, ["overwrite"]),
        (["bg.png", "bg.png", "layer.png", "-m", "screen"], 2, ["-o DIR"]),
        (["bg.png", "corrupt.png", "layer.png", "-m", "screen", "-o", "o.png"], 2, ["o.png", "looks like a file"]),
    ],
    ids=[
        "missing",
        "corrupt-background",
        "corrupt-layer",
        "unknown-mode",
        "mask-size",
        "layer-outside",
        "output-format",
        "bad-offset",
        "overwrite-input",
        "batch-without-output",
        "batch-into-file",
    ],
)
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
    assert "%|" not in proc.stderr  # no progress bar into a pipe
    assert sorted(p.name for p in (tmp / "out").iterdir()) == sorted(backgrounds)
    for name, array in backgrounds.items():
        np.testing.assert_array_equal(io.read_image(tmp / "out" / name), zarvel.blend(array, layer, "multiply"))


def test_progress_bar_on_a_terminal(files):
    tmp = files[0]
    for i in range(3):
        io.write_image(tmp / f"f{i}.png", image(20, 20, 3, seed=i))
    leader, follower = pty.openpty()
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))  # a terminal 80 wide
    proc = subprocess.Popen(
        COMMAND + ["blend", "f0.png", "f1.png", "f2.png", "layer.png", "-m", "screen", "-o", "o"],
        cwd=tmp,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL,
        stderr=follower,
    )
    os.close(follower)
    seen = b""
    while True:
        ready, _, _ = select.select([leader], [], [], 60)
        try:
            chunk = os.read(leader, 4096) if ready else b""
        except OSError:  # the child closed the terminal
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


@pytest.mark.parametrize(
    "text, path, mode, opacity",
    [
        ("logo.png:screen", "logo.png", "screen", 1.0),
        ("logo.png:multiply:0.25", "logo.png", "multiply", 0.25),
        ("dir:with:colons/a.png:overlay:1", "dir:with:colons/a.png", "overlay", 1.0),
        ("dir:x/a.png:overlay", "dir:x/a.png", "overlay", 1.0),
    ],
)
def test_layer_arguments(text, path, mode, opacity):
    layer_arg = parse_layer_argument(text)
    assert (str(layer_arg.path), layer_arg.mode, layer_arg.opacity) == (path, mode, opacity)


@pytest.mark.parametrize("text", ["logo.png", ":screen", "logo.png:scren", "logo.png:screen:nan", "0.5:0.5"])
def test_bad_layer_arguments(text):
    with pytest.raises(UsageError):
        parse_layer_argument(text)


# --- 16 bits ------------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "source, target, layer_depth",
    [
        ("png", "png", np.uint16),
        ("tif", "tif", np.uint16),
        ("png", "tif", np.uint8),
        ("tif", "jpg", np.uint16),
    ],
)
def test_16_bit_in_and_out(tmp_path, source, target, layer_depth):
    bg, layer = image(24, 30, 4, np.uint16, seed=3), image(24, 30, 4, layer_depth, seed=4)
    mask = image(24, 30, 3, np.uint16, seed=5)
    mask[..., 1:] = mask[..., :1]  # grey, 16 bits: a 0..1 float mask
    io.write_image(tmp_path / f"bg.{source}", bg)
    io.write_image(tmp_path / f"layer.{source}", layer)
    io.write_image(tmp_path / "mask.png", mask)
    proc = run(
        "blend",
        f"bg.{source}",
        f"layer.{source}",
        "-m",
        "soft_light",
        "--mask",
        "mask.png",
        "-o",
        f"out.{target}",
        cwd=tmp_path,
    )
    assert proc.returncode == 0, proc.stderr
    out = io.read_image(tmp_path / f"out.{target}")
    expected = zarvel.blend(bg, layer, "soft_light", mask=mask[..., 0].astype(np.float32) / 65535)
    if target == "jpg":  # no alpha and 8 bits: only the shape is exact
        assert out.shape == (24, 30, 3) and out.dtype == np.uint8
    else:
        assert out.dtype == np.uint16 and out.shape == (24, 30, 4)
        np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize(
    "fmt, channels, dtype",
    [
        ("png", 4, np.uint16),
        ("tif", 4, np.uint16),
        ("webp", 4, np.uint8),
        ("jpg", 3, np.uint8),
        ("png", 3, np.uint8),
        ("tif", 3, np.uint8),
    ],
)
def test_files_keep_alpha_and_depth_where_the_format_has_them(tmp_path, fmt, channels, dtype):
    source = image(12, 17, channels if fmt != "jpg" else 4, dtype, seed=6)
    path = tmp_path / f"x.{fmt}"
    io.write_image(path, source)
    back = io.read_image(path)
    assert back.shape == (12, 17, channels) and back.dtype == dtype
    if fmt in ("png", "tif"):
        np.testing.assert_array_equal(back, source)  # lossless, every 16-bit value
    if fmt == "webp":
        np.testing.assert_array_equal(back[..., 3], source[..., 3])  # lossy colour, alpha exact


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
    cv2.imwrite(str(tmp_path / "lzw16.tif"), deep[..., [2, 1, 0, 3]])  # OpenCV writes LZW
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
    cells = {
        name: sheet[top : top + built.cell_size[0], left : left + built.cell_size[1]]
        for name, (top, left) in built.boxes.items()
    }
    assert sorted(built.modes) == sorted(zarvel.MODES)
    photo, layer = built.cells["background"], gallery.make_layer(*built.cell_size)
    for mode in built.modes:
        np.testing.assert_array_equal(cells[mode], zarvel.blend(photo, layer, mode), err_msg=mode)
    assert len({cells[m].tobytes() for m in built.modes} | {cells["background"].tobytes()}) == len(built.modes) + 1


def test_gallery_of_the_w3c_family(tmp_path):
    proc = run("gallery", "--family", "w3c", "--cell", "80", "-o", "w.png", cwd=tmp_path)
    assert proc.returncode == 0, proc.stderr
    assert "svg:dst-atop" in proc.stdout
    built = gallery.build(cell_width=80, family="w3c")
    assert sorted(built.modes) == sorted(zarvel.w3c.MODES)
    np.testing.assert_array_equal(io.read_image(tmp_path / "w.png"), built.image)
    assert run("gallery", "--family", "gimp", cwd=tmp_path).returncode == 2


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
    assert blend_help.count("e.g.") >= 10  # every option with an example


@pytest.mark.parametrize(
    "blocked, args",
    [
        ("PIL", ["blend", "bg.png", "layer.png", "-m", "screen", "-o", "o.png"]),
        ("cv2", ["blend", "bg16.png", "layer.png", "-m", "screen", "-o", "o.png"]),
        ("tqdm", ["blend", "bg.png", "bg16.png", "layer.png", "-m", "screen", "-o", "out/"]),
    ],
)
def test_missing_image_library_names_the_extra(files, blocked, args):
    tmp = files[0]
    io.write_image(tmp / "bg16.png", image(4, 4, 3, np.uint16))
    code = f"import sys; sys.modules[{blocked!r}] = None; from zarvel.cli import main; sys.exit(main())"
    proc = run(*args, cwd=tmp, command=[sys.executable, "-c", code])
    assert proc.returncode == 1
    assert "pip install 'zarvel[io]'" in proc.stderr


# --- hostile files ------------------------------------------------------------------------------


def _png_chunk(kind, data):
    import zlib

    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))


def bomb(path, width, height):
    """A small file of the format its name asks for whose header declares width x height."""
    import io as bytes_io
    import zlib

    from PIL import Image
    import tifffile

    suffix = path.suffix
    if suffix in (".png", ".png16"):  # 16-bit RGBA (OpenCV's reader) or 8-bit RGB (Pillow's)
        depth, colour = (16, 6) if suffix == ".png16" else (8, 2)
        path = path.with_suffix(".png")
        path.write_bytes(
            b"\x89PNG\r\n\x1a\n"
            + _png_chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, depth, colour, 0, 0, 0))
            + _png_chunk(b"IDAT", zlib.compress(b"\0" * 4096))
            + _png_chunk(b"IEND", b"")
        )
        return path
    if suffix == ".tif":
        tifffile.imwrite(path, np.zeros((4, 4, 3), np.uint8), compression="zlib")
        with tifffile.TiffFile(path, mode="r+b") as tif:
            tif.pages[0].tags["ImageWidth"].overwrite(width)
            tif.pages[0].tags["ImageLength"].overwrite(height)
        return path
    buffer = bytes_io.BytesIO()
    lossless = path.stem.endswith("lossless")
    Image.fromarray(np.zeros((8, 8, 3), np.uint8)).save(
        buffer, "WEBP" if suffix == ".webp" else "JPEG", lossless=lossless
    )
    data = bytearray(buffer.getvalue())
    if suffix == ".jpg":
        at = data.index(b"\xff\xc0")
        data[at + 5 : at + 9] = struct.pack(">HH", height, width)
    elif data[12:16] == b"VP8 ":
        data[26:30] = struct.pack("<HH", width, height)
    else:
        data[21:25] = ((width - 1) | (height - 1) << 14).to_bytes(4, "little")
    path.write_bytes(bytes(data))
    return path


LIMIT = io.DEFAULT_MAX_PIXELS
BOMBS = [
    ("a.png16", 30000, 30000),
    ("a.png", 20000, 9000),
    ("a.tif", 16128, 16128),
    ("a.jpg", 40000, 40000),
    ("a.webp", 16000, 16000),
    ("a-lossless.webp", 16000, 16000),
]


@pytest.mark.parametrize("name, width, height", BOMBS, ids=[b[0] for b in BOMBS])
def test_images_over_the_pixel_limit_are_refused_before_decoding(files, name, width, height):
    tmp = files[0]
    path = bomb(tmp / name, width, height)
    want = (
        f"zarvel: {path.name}: image is {width} x {height} pixels, over the limit of {LIMIT} "
        f"(raise it with --max-pixels)"
    )
    # As a background among others (which are still written), as a layer and as a mask.
    proc = run("blend", path.name, "bg.png", "layer.png", "-m", "screen", "-o", "out/", "-q", cwd=tmp)
    assert proc.returncode == 1 and proc.stderr.strip() == want, proc.stderr
    assert [p.name for p in (tmp / "out").iterdir()] == ["bg.png"]
    for args in (
        ["bg.png", path.name, "-m", "screen", "-o", "o.png"],
        ["bg.png", "layer.png", "-m", "screen", "--mask", path.name, "-o", "o.png"],
    ):
        proc = run("blend", *args, cwd=tmp)
        assert proc.returncode == 1 and proc.stderr.strip() == want, proc.stderr
    with pytest.raises(io.ImageError, match="over the limit"):
        io.read_image(path)


def test_the_pixel_limit_is_one_option_or_variable(files):
    tmp, bg, layer, _ = files  # bg.png is 50 x 40 = 2000 pixels
    expected = zarvel.blend(bg, layer, "screen")
    message = "bg.png: image is 50 x 40 pixels, over the limit of 1999 (raise it with --max-pixels)"
    for extra, env in (
        (["--max-pixels", "1999"], {}),
        ([], {"ZARVEL_MAX_PIXELS": "1999"}),
        (["--max-pixels", "1999"], {"ZARVEL_MAX_PIXELS": "99999"}),
    ):
        proc = subprocess.run(
            COMMAND + ["blend", "bg.png", "layer.png", "-m", "screen", "-o", "o.png", *extra],
            cwd=tmp,
            capture_output=True,
            text=True,
            env={**os.environ, **env},
            timeout=120,
        )
        assert proc.returncode == 1 and message in proc.stderr, proc.stderr
    for extra, env in (
        (["--max-pixels", "2000"], {}),
        ([], {"ZARVEL_MAX_PIXELS": "2000"}),
        (["--max-pixels", "2000"], {"ZARVEL_MAX_PIXELS": "5"}),
    ):
        proc = subprocess.run(
            COMMAND + ["stack", "bg.png", "layer.png:screen", "-o", "o.png", *extra],
            cwd=tmp,
            capture_output=True,
            text=True,
            env={**os.environ, **env},
            timeout=120,
        )
        assert proc.returncode == 0, proc.stderr
        np.testing.assert_array_equal(io.read_image(tmp / "o.png"), expected)
    proc = subprocess.run(
        COMMAND + ["blend", "bg.png", "layer.png", "-m", "screen", "-o", "o.png"],
        cwd=tmp,
        capture_output=True,
        text=True,
        env={**os.environ, "ZARVEL_MAX_PIXELS": "lots"},
    )
    assert proc.returncode == 2 and "ZARVEL_MAX_PIXELS must be a whole number" in proc.stderr
    assert run("blend", "bg.png", "layer.png", "-m", "screen", "--max-pixels", "0", cwd=tmp).returncode == 2


def test_a_raised_limit_reaches_pillows_own(files, monkeypatch):
    """Pillow refuses images over twice its MAX_IMAGE_PIXELS by itself; a limit raised
    past that raises Pillow's too (here Pillow's is lowered to show it)."""
    from PIL import Image

    tmp, bg, *_ = files  # 2000 pixels
    monkeypatch.setattr(Image, "MAX_IMAGE_PIXELS", 100)
    (tmp / "bg.webp").write_bytes(io.encode(bg[..., :3], "WEBP", 100))
    for name in ("bg.png", "bg.webp"):
        with pytest.raises(io.ImageError, match="image is 50 x 40 pixels, over the limit of 1999"):
            io.read_image(tmp / name, max_pixels=1999)
        assert io.read_image(tmp / name, max_pixels=5000).shape[:2] == (40, 50)


@pytest.mark.parametrize("kind", ["device", "fifo", "folder"])
def test_only_regular_files_are_read(files, kind):
    tmp = files[0]
    if kind == "device":
        name, words = "/dev/zero", "a device, not a regular file"
    elif kind == "fifo":
        name, words = "pipe.png", "a FIFO (named pipe), not a regular file"
        os.mkfifo(tmp / name)  # nobody writes: reading it would wait for ever
    else:
        name, words = "folder.png", "is a folder"
        (tmp / name).mkdir()
    calls = [["bg.png", name, "-m", "screen", "-o", "o.png"]]
    if kind != "folder":  # (a folder of backgrounds is a batch)
        calls.append([name, "layer.png", "-m", "screen", "-o", "o.png"])
    for args in calls:
        proc = run("blend", *args, cwd=tmp)
        assert proc.returncode == 1 and f"zarvel: {name}: {words}" in proc.stderr, proc.stderr
    assert not (tmp / "o.png").exists()


# --- stopping -----------------------------------------------------------------------------------


def test_an_interrupted_write_leaves_no_partial_file(tmp_path, monkeypatch):
    def interrupted(src, dst):
        raise KeyboardInterrupt

    monkeypatch.setattr(io.os, "replace", interrupted)
    with pytest.raises(KeyboardInterrupt):
        io.write_image(tmp_path / "x.png", image(8, 8, 3))
    assert list(tmp_path.iterdir()) == []


# The command with every rename of a finished file held up (as a slow disk would), so that
# signals arrive while files are being written; "writing" is created when one is.
SLOW_WRITES = """
import os, sys, time
real = os.replace
def slow(src, dst):
    open("writing", "a").close()
    time.sleep(float(os.environ["HOLD"]))
    real(src, dst)
os.replace = slow
from zarvel.cli import main
sys.exit(main())
"""


def start_slow(tmp, args, hold):
    return subprocess.Popen(
        [sys.executable, "-c", SLOW_WRITES] + args,
        cwd=tmp,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env={**os.environ, "HOLD": str(hold)},
    )


def wait_for(path, proc):
    import time

    deadline = time.monotonic() + 60
    while not path.exists():
        assert proc.poll() is None, proc.communicate()
        assert time.monotonic() < deadline
        time.sleep(0.01)
    time.sleep(0.2)


BATCH = ["blend", "bg.png", "f0.png", "f1.png", "layer.png", "-m", "screen", "-o", "out/", "--jobs", "3", "-q"]
SINGLE = ["blend", "bg.png", "layer.png", "-m", "screen", "-o", "o.png"]


@pytest.mark.parametrize(
    "args, signals, status, line",
    [
        (SINGLE, ["INT"], 130, "zarvel: interrupted"),
        (SINGLE, ["TERM"], 143, "zarvel: terminated"),
        (BATCH, ["TERM"], 143, "zarvel: terminated"),
        (BATCH, ["INT", "INT"], 130, "zarvel: interrupted\nzarvel: stopped"),
        (BATCH, ["INT", "TERM"], 143, "zarvel: interrupted\nzarvel: terminated"),
    ],
    ids=["single-ctrl-c", "single-sigterm", "batch-sigterm", "batch-ctrl-c-twice", "batch-ctrl-c-then-sigterm"],
)
def test_stopping_leaves_no_partial_files(files, args, signals, status, line):
    import signal
    import time

    tmp = files[0]
    for i in range(2):
        io.write_image(tmp / f"f{i}.png", image(20, 20, 3, seed=i))
    proc = start_slow(tmp, args, hold=60)
    wait_for(tmp / "writing", proc)
    start = time.monotonic()
    for name in signals:
        proc.send_signal(getattr(signal, "SIG" + name))
        time.sleep(0.3)
    _, stderr = proc.communicate(timeout=30)
    assert time.monotonic() - start < 20  # at once, not after the held-up writes
    assert proc.returncode == status and stderr.strip() == line, (proc.returncode, stderr)
    assert not [p for p in tmp.rglob("*") if p.name.endswith(".part")]


def test_first_ctrl_c_lets_files_being_written_finish(files):
    import signal

    tmp, bg, layer, _ = files
    second = image(20, 20, 4, seed=3)
    io.write_image(tmp / "second.png", second)
    proc = start_slow(
        tmp, ["blend", "bg.png", "second.png", "layer.png", "-m", "screen", "-o", "out/", "--jobs", "2", "-q"], hold=1
    )
    wait_for(tmp / "writing", proc)
    proc.send_signal(signal.SIGINT)
    _, stderr = proc.communicate(timeout=30)
    assert proc.returncode == 130 and stderr.strip() == "zarvel: interrupted", stderr
    for name, array in (("bg.png", bg), ("second.png", second)):
        np.testing.assert_array_equal(io.read_image(tmp / "out" / name), zarvel.blend(array, layer, "screen"))
    assert not [p for p in tmp.rglob("*") if p.name.endswith(".part")]


@pytest.mark.parametrize("channels", [1, 3, 4])
@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.float64])
def test_float_tiff_is_reported_plainly(files, channels, dtype):
    import tifffile

    tmp = files[0]
    pixels = np.random.default_rng(1).random((40, 50, channels)).astype(dtype)
    tifffile.imwrite(
        tmp / "f.tif",
        pixels[..., 0] if channels == 1 else pixels,
        photometric="minisblack" if channels == 1 else "rgb",
        extrasamples=("unassalpha",) if channels == 4 else None,
    )
    bits = np.dtype(dtype).itemsize * 8
    for args in (["f.tif", "layer.png"], ["bg.png", "f.tif"]):
        proc = run("blend", *args, "-m", "screen", "-o", "o.png", cwd=tmp)
        assert proc.returncode == 1, proc.stderr
        assert f"zarvel: f.tif: float TIFF is not supported ({bits}-bit floating-point samples)" in proc.stderr
