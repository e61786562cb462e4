"""Image files for the command line: PNG, JPEG, TIFF and WebP in, and out.

Images come out of :func:`read_image` as H x W x 3 (RGB) or H x W x 4 (RGBA,
straight alpha) arrays of ``uint8`` or ``uint16``, turned upright by their
EXIF orientation; :func:`write_image` keeps the alpha and the 16 bits where
the file format has them (PNG and TIFF) and drops them where it does not
(JPEG has neither, WebP has no 16 bits).

Which library does what:

- Pillow decodes and encodes 8-bit PNG, JPEG and WebP, and reads the EXIF
  orientation of every format but TIFF. It cannot hold a 16-bit colour image
  (its 16-bit modes are single-channel), so
- 16-bit PNG goes through OpenCV (``opencv-python-headless``): its wheels
  carry libpng itself, read and write 16-bit RGB, RGBA, grey and grey+alpha
  at C speed, and release the interpreter lock while they do, which the
  command line's parallel folder mode relies on. The pure-Python PNG coders
  are tens of times slower on large images.
- TIFF goes through tifffile, the reference TIFF library of the scientific
  Python world: 8 and 16 bits, chunky or planar samples, associated or
  unassociated alpha, and its orientation tag, written back with
  unassociated alpha and zlib compression. The compressions it leaves to the
  optional imagecodecs package (LZW, JPEG, ...) are decoded by the libtiff
  inside Pillow (8 bits) or OpenCV (16 bits) instead, so no further
  dependency is needed.

None of these is imported by ``import zarvel``; they are loaded on first use,
and a missing one raises :class:`MissingDependency` naming the extra to
install.

Hostile files: only regular files are read (a device such as /dev/zero, a FIFO
or a socket is refused before a byte is read), and every reader's declared
width and height are taken from the file's header before anything is decoded:
an image of more than :data:`DEFAULT_MAX_PIXELS` pixels (Pillow's own limit;
the ``ZARVEL_MAX_PIXELS`` environment variable or ``max_pixels`` changes it)
is refused, whichever library would decode it.
"""

from __future__ import annotations

import io
import os
import secrets
import stat
import struct
import threading
from pathlib import Path
from typing import Optional, Tuple

import numpy as np

from ._arguments import weights_of_16bit

# File name endings read from a folder, and the output formats by ending.
IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".tif", ".tiff", ".webp")
FORMATS = {".png": "PNG", ".jpg": "JPEG", ".jpeg": "JPEG", ".tif": "TIFF", ".tiff": "TIFF", ".webp": "WEBP"}
# Formats that store 16 bits per channel / an alpha channel.
DEEP_FORMATS = ("PNG", "TIFF")
ALPHA_FORMATS = ("PNG", "TIFF", "WEBP")
DEFAULT_QUALITY = {"JPEG": 95, "WEBP": 90}
# zlib level of PNG and TIFF: level 6 (the libraries' default) takes about five times as
# long as 3 on photographs for files some 7 % smaller.
ZLIB_LEVEL = 3

_TIFF_ORIENTATION = 274
_EXIF_ORIENTATION = 0x0112

# The most pixels an image may declare: the size above which Pillow refuses to
# decode (twice its MAX_IMAGE_PIXELS, about 179 million), applied to every reader.
DEFAULT_MAX_PIXELS = 178_956_970
MAX_PIXELS_VARIABLE = "ZARVEL_MAX_PIXELS"


class ImageError(Exception):
    """A file that cannot be read or written. The message says what is wrong, not which file."""


class MissingDependency(ImageError):
    """An image library of the ``io`` extra is not installed."""


def _import(name: str):
    try:
        if name == "PIL":
            from PIL import Image

            return Image
        if name == "cv2":
            import cv2

            _quiet_opencv(cv2)
            return cv2
        if name == "tifffile":
            import tifffile

            return tifffile
    except ImportError as error:
        package = {"PIL": "Pillow", "cv2": "opencv-python-headless", "tifffile": "tifffile"}[name]
        raise MissingDependency(
            f"{package} is not installed ({error}); install the image extra: pip install 'zarvel[io]'"
        ) from None
    raise AssertionError(name)


def _quiet_opencv(cv2) -> None:
    """OpenCV's own log lines (libtiff warnings, decoder errors) would mix with the command's
    messages; every failure is reported through ImageError instead."""
    try:
        cv2.utils.logging.setLogLevel(cv2.utils.logging.LOG_LEVEL_SILENT)
    except AttributeError:
        pass


def format_of(path) -> str:
    """The output format a file name asks for ("PNG", "JPEG", "TIFF" or "WEBP")."""
    suffix = Path(path).suffix.lower()
    try:
        return FORMATS[suffix]
    except KeyError:
        shown = f"'{suffix}'" if suffix else "no file name ending"
        raise ImageError(f"unsupported output format ({shown}); use .png, .jpg, .tif or .webp") from None


def orient(image: np.ndarray, orientation: int) -> np.ndarray:
    """Turn an image upright by its EXIF/TIFF orientation tag (1..8; others change nothing)."""
    if orientation == 2:
        return image[:, ::-1]
    if orientation == 3:
        return image[::-1, ::-1]
    if orientation == 4:
        return image[::-1]
    if orientation == 5:
        return image.swapaxes(0, 1)
    if orientation == 6:  # stored turned 90 degrees anticlockwise
        return image.swapaxes(0, 1)[:, ::-1]
    if orientation == 7:
        return image.swapaxes(0, 1)[::-1, ::-1]
    if orientation == 8:
        return image.swapaxes(0, 1)[::-1]
    return image


def to_8bit(image: np.ndarray) -> np.ndarray:
    """A uint16 image rounded to uint8 (v * 255 / 65535); uint8 images as they are."""
    if image.dtype == np.uint8:
        return image
    return ((image.astype(np.uint32) * 255 + 32767) // 65535).astype(np.uint8)


def _sniff(head: bytes) -> Optional[str]:
    if head.startswith(b"\x89PNG\r\n\x1a\n"):
        return "PNG"
    if head[:4] in (b"II*\0", b"MM\0*", b"II+\0", b"MM\0+"):
        return "TIFF"
    if head.startswith(b"\xff\xd8\xff"):
        return "JPEG"
    if head[:4] == b"RIFF" and head[8:12] == b"WEBP":
        return "WEBP"
    return None


def max_pixels_limit(max_pixels: Optional[int] = None) -> int:
    """The pixel limit of a read: ``max_pixels`` if given, else the ``ZARVEL_MAX_PIXELS``
    environment variable if set, else :data:`DEFAULT_MAX_PIXELS`. ValueError for a
    variable that is not a whole number of at least 1."""
    if max_pixels is not None:
        return int(max_pixels)
    text = os.environ.get(MAX_PIXELS_VARIABLE, "").strip()
    if not text:
        return DEFAULT_MAX_PIXELS
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise ValueError(f"{MAX_PIXELS_VARIABLE} must be a whole number of at least 1, got {text!r}")
    return value


def _check_size(width: int, height: int, limit: int) -> None:
    if width * height > limit:
        raise ImageError(f"image is {width} x {height} pixels, over the limit of {limit} (raise it with --max-pixels)")


def declared_size(data: bytes) -> Optional[Tuple[int, int]]:
    """(width, height) from the header of a PNG, JPEG or WebP file, without decoding
    anything; None where the header does not say (TIFF is read by tifffile's header
    parser instead, other formats by Pillow's)."""
    kind = _sniff(data[:16])
    if kind == "PNG" and len(data) >= 24 and data[12:16] == b"IHDR":
        return struct.unpack(">II", data[16:24])
    if kind == "JPEG":
        return _jpeg_size(data)
    if kind == "WEBP" and len(data) >= 30:
        chunk = data[12:16]
        if chunk == b"VP8 " and data[23:26] == b"\x9d\x01\x2a":
            width, height = struct.unpack("<HH", data[26:30])
            return width & 0x3FFF, height & 0x3FFF
        if chunk == b"VP8L" and data[20] == 0x2F:
            bits = int.from_bytes(data[21:25], "little")
            return (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1
        if chunk == b"VP8X":
            return int.from_bytes(data[24:27], "little") + 1, int.from_bytes(data[27:30], "little") + 1
    return None


# Start-of-frame markers (every JPEG coding but the huffman table, arithmetic
# conditioning and restart markers that share the range).
_JPEG_FRAMES = frozenset(range(0xC0, 0xD0)) - {0xC4, 0xC8, 0xCC}


def _jpeg_size(data: bytes) -> Optional[Tuple[int, int]]:
    at = 2
    while at + 4 <= len(data):
        if data[at] != 0xFF:
            return None
        marker = data[at + 1]
        if marker == 0xFF:  # fill byte
            at += 1
            continue
        if marker in (0x01, 0xD8) or 0xD0 <= marker <= 0xD7:
            at += 2
            continue
        if marker in (0xD9, 0xDA):  # end of image, start of scan: no frame header before
            return None
        length = struct.unpack(">H", data[at + 2 : at + 4])[0]
        if marker in _JPEG_FRAMES and at + 9 <= len(data):
            height, width = struct.unpack(">HH", data[at + 5 : at + 9])
            return (width, height) if height else None  # 0: the height comes later (DNL)
        at += 2 + length
    return None


def _read_bytes(path) -> bytes:
    """The bytes of a regular file; anything else (a device, FIFO or socket, which
    could be endless or block) is refused before a byte is read."""
    try:
        # Non-blocking: opening a FIFO would otherwise wait for a writer.
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    except FileNotFoundError:
        raise ImageError("no such file") from None
    except PermissionError:
        raise ImageError("permission denied") from None
    except OSError as error:
        raise ImageError(f"cannot read: {error.strerror or error}") from None
    try:
        mode = os.fstat(fd).st_mode
        if stat.S_ISDIR(mode):
            raise ImageError("is a folder, not an image file")
        if not stat.S_ISREG(mode):
            kind = (
                "a device"
                if stat.S_ISCHR(mode) or stat.S_ISBLK(mode)
                else "a FIFO (named pipe)"
                if stat.S_ISFIFO(mode)
                else "a socket"
                if stat.S_ISSOCK(mode)
                else "a special file"
            )
            raise ImageError(f"{kind}, not a regular file; name an image file")
        with os.fdopen(fd, "rb", closefd=False) as file:
            return file.read()
    except OSError as error:
        raise ImageError(f"cannot read: {error.strerror or error}") from None
    finally:
        os.close(fd)


def _channels(array: np.ndarray, bgr: bool) -> np.ndarray:
    """Grey, grey+alpha, RGB or RGBA samples as RGB or RGBA."""
    if array.ndim == 2:
        array = array[..., None]
    if array.ndim != 3 or array.shape[2] not in (1, 2, 3, 4):
        raise ImageError(f"unsupported layout of samples: shape {array.shape}")
    count = array.shape[2]
    if count <= 2:
        grey = np.repeat(array[..., :1], 3, axis=2)
        return grey if count == 1 else np.concatenate([grey, array[..., 1:2]], axis=2)
    if bgr:
        return array[..., [2, 1, 0, 3][:count]]
    return array


def _checked_depth(array: np.ndarray) -> np.ndarray:
    if array.dtype == np.uint8 or array.dtype == np.uint16:
        return array
    raise ImageError(f"unsupported sample type {array.dtype} (8 or 16 bits per channel are)")


def _read_pillow(data: bytes, limit: int) -> Tuple[np.ndarray, int]:
    Image = _import("PIL")
    # Pillow's own limit must not refuse what this one allows (it refuses above twice
    # its MAX_IMAGE_PIXELS); the sizes are checked here, before anything is decoded.
    if Image.MAX_IMAGE_PIXELS is not None and 2 * Image.MAX_IMAGE_PIXELS < limit:
        Image.MAX_IMAGE_PIXELS = (limit + 1) // 2
    try:
        with Image.open(io.BytesIO(data)) as im:
            width, height = im.size
            _check_size(width, height, limit)
            im.load()
            orientation = _pillow_orientation(im)
            mode = im.mode
            if mode in ("RGB", "RGBA"):
                array = np.asarray(im)
            elif mode.startswith("I;16") or mode == "I":
                array = np.clip(np.asarray(im), 0, 65535).astype(np.uint16)
            elif mode == "F":
                raise ImageError("unsupported sample type: 32-bit floating point")
            else:
                alpha = mode in ("LA", "La", "PA", "RGBa") or "transparency" in im.info
                array = np.asarray(im.convert("RGBA" if alpha else "RGB"))
    except ImageError:
        raise
    except Image.DecompressionBombError as error:
        raise ImageError(f"too large to read safely: {error}") from None
    except (OSError, SyntaxError, ValueError, EOFError) as error:
        raise ImageError(_decode_message(error)) from None
    return _channels(array, bgr=False), orientation


def _decode_message(error: Exception) -> str:
    text = str(error)
    if "cannot identify image file" in text:
        return "not an image, or a corrupt one (cannot identify the format)"
    if "truncated" in text or "broken data stream" in text or isinstance(error, EOFError):
        return "corrupt or truncated image data"
    return f"cannot decode: {text}"


def _pillow_orientation(im) -> int:
    try:
        return int(im.getexif().get(_EXIF_ORIENTATION, 1))
    except Exception:  # a damaged EXIF block: the pixels are still good
        return 1


def _imdecode(cv2, data: bytes):
    """OpenCV's decoder, its failures as ImageError (it raises cv2.error where it runs out
    of memory or meets a layout it cannot handle)."""
    try:
        return cv2.imdecode(np.frombuffer(data, np.uint8), cv2.IMREAD_UNCHANGED)
    except cv2.error as error:
        text = str(error).strip().splitlines()[-1] if str(error).strip() else type(error).__name__
        raise ImageError(f"cannot decode: {text}") from None


def _read_png16(data: bytes) -> Tuple[np.ndarray, int]:
    cv2 = _import("cv2")
    array = _imdecode(cv2, data)
    if array is None:
        raise ImageError("corrupt or truncated PNG data")
    orientation = 1
    if b"eXIf" in data:
        Image = _import("PIL")
        try:
            with Image.open(io.BytesIO(data)) as im:
                orientation = _pillow_orientation(im)
        except Exception:
            pass
    return _channels(_checked_depth(array), bgr=True), orientation


def _read_opencv(data: bytes, what: str) -> np.ndarray:
    cv2 = _import("cv2")
    array = _imdecode(cv2, data)
    if array is None:
        raise ImageError(f"corrupt or unsupported {what} data")
    return _channels(_checked_depth(array), bgr=True)


def _read_tiff(data: bytes, limit: int) -> Tuple[np.ndarray, int]:
    tifffile = _import("tifffile")
    try:
        with tifffile.TiffFile(io.BytesIO(data)) as tif:
            page = tif.pages[0]
            _check_size(int(page.imagewidth), int(page.imagelength), limit)
            if np.dtype(page.dtype).kind == "f":
                raise ImageError(
                    f"float TIFF is not supported ({np.dtype(page.dtype).itemsize * 8}-bit floating-"
                    f"point samples); save it with 8 or 16 bits per channel"
                )
            tag = page.tags.get(_TIFF_ORIENTATION)
            orientation = int(tag.value) if tag is not None else 1
            deep = page.dtype == np.uint16
            associated = tuple(int(e) for e in page.extrasamples)[:1] == (1,)
            array = _tiff_samples(page)
    except ImageError:
        raise
    except IndexError:  # no first page
        raise ImageError("corrupt TIFF: no image in the file") from None
    except Exception as error:  # tifffile raises many kinds on damaged files
        raise ImageError(f"corrupt or unsupported TIFF: {error}") from None
    if array is None and not deep:
        # A compression or layout tifffile leaves to imagecodecs: Pillow's libtiff decodes
        # 8-bit files and knows their alpha (OpenCV would premultiply unassociated alpha).
        array, _ = _read_pillow(data, limit)
    elif array is None:
        # 16 bits: OpenCV's libtiff returns the samples as stored.
        array = _read_opencv(data, "TIFF")
        if associated and array.shape[2] == 4:
            array = _unpremultiply(array)
    return array, orientation


def _tiff_samples(page) -> Optional[np.ndarray]:
    """The first page as RGB(A) with straight alpha, or None when another decoder must do it."""
    photometric = int(page.photometric)
    if photometric not in (0, 1, 2) or page.dtype not in (np.uint8, np.uint16):
        return None  # palette, CMYK, YCbCr, Lab, 1-bit, floats
    try:
        array = page.asarray()
    except (ValueError, ImportError, NotImplementedError) as error:
        if "imagecodecs" in str(error) or isinstance(error, (ImportError, NotImplementedError)):
            return None
        raise
    if page.axes.startswith("S"):  # planar: one plane per sample
        array = np.moveaxis(array, 0, -1)
    if array.ndim == 2:
        array = array[..., None]
    if array.ndim != 3:
        return None
    if photometric == 0:  # white is zero
        array = array.copy()
        array[..., :1] = np.iinfo(array.dtype).max - array[..., :1]
    colours = 3 if photometric == 2 else 1
    extras = tuple(int(e) for e in page.extrasamples)
    array = array[..., : colours + (1 if array.shape[2] > colours else 0)]
    if array.shape[2] > colours and extras[:1] == (1,):
        array = _unpremultiply(array)
    return _channels(array, bgr=False)


def _unpremultiply(array: np.ndarray) -> np.ndarray:
    """Associated (premultiplied) alpha to straight alpha; the alpha is the last sample."""
    top = np.iinfo(array.dtype).max
    alpha = array[..., -1:].astype(np.float64)
    colour = array[..., :-1].astype(np.float64)
    with np.errstate(divide="ignore", invalid="ignore"):
        straight = np.where(alpha > 0, np.rint(colour * top / alpha), 0)
    return np.concatenate([np.clip(straight, 0, top).astype(array.dtype), array[..., -1:]], axis=2)


def read_image(path, max_pixels: Optional[int] = None) -> np.ndarray:
    """An image file as H x W x 3|4 ``uint8`` or ``uint16``, upright; raises :class:`ImageError`.

    Images declaring more than ``max_pixels`` pixels (see :func:`max_pixels_limit`)
    are refused before they are decoded."""
    limit = max_pixels_limit(max_pixels)
    data = _read_bytes(path)
    if not data:
        raise ImageError("empty file")
    size = declared_size(data)
    if size is not None:
        _check_size(*size, limit)
    kind = _sniff(data[:16])
    try:
        if kind == "PNG" and len(data) > 25 and data[12:16] == b"IHDR" and data[24] == 16:
            array, orientation = _read_png16(data)
        elif kind == "TIFF":
            array, orientation = _read_tiff(data, limit)
        else:
            array, orientation = _read_pillow(data, limit)
        return np.ascontiguousarray(orient(array, orientation))
    except MemoryError:
        shown = f" ({size[0]} x {size[1]} pixels)" if size is not None else ""
        raise ImageError(f"not enough memory to decode the image{shown}") from None


def read_mask(path, max_pixels: Optional[int] = None) -> np.ndarray:
    """A mask file as h x w: ``uint8`` (0..255) from 8-bit files, ``float32`` (0..1) from 16-bit ones.

    Grey images are used as they are; colour images by their luma
    (0.299 R + 0.587 G + 0.114 B). Alpha is ignored.
    """
    image = read_image(path, max_pixels)
    rgb = image[..., :3]
    if (rgb[..., 0] == rgb[..., 1]).all() and (rgb[..., 1] == rgb[..., 2]).all():
        grey = rgb[..., 0].astype(np.float32)
    else:
        grey = rgb.astype(np.float32) @ np.array([0.299, 0.587, 0.114], np.float32)
    if image.dtype == np.uint16:
        return np.ascontiguousarray(weights_of_16bit(grey))
    return np.ascontiguousarray(np.clip(np.rint(grey), 0, 255).astype(np.uint8))


def encode(image: np.ndarray, fmt: str, quality: Optional[int] = None) -> bytes:
    """An H x W x 3|4 uint8/uint16 image as the bytes of a file of format ``fmt``."""
    if image.ndim != 3 or image.shape[2] not in (3, 4) or image.dtype not in (np.uint8, np.uint16):
        raise ImageError(f"cannot store an image of shape {image.shape} and type {image.dtype}")
    if fmt not in DEEP_FORMATS:
        image = to_8bit(image)
    if fmt not in ALPHA_FORMATS and image.shape[2] == 4:
        image = image[..., :3]
    image = np.ascontiguousarray(image)
    if fmt == "TIFF":
        tifffile = _import("tifffile")
        buffer = io.BytesIO()
        tifffile.imwrite(
            buffer,
            image,
            photometric="rgb",
            compression="zlib",
            compressionargs={"level": ZLIB_LEVEL},
            extrasamples=("unassalpha",) if image.shape[2] == 4 else None,
        )
        return buffer.getvalue()
    if fmt == "PNG" and image.dtype == np.uint16:
        cv2 = _import("cv2")
        ok, encoded = cv2.imencode(
            ".png", image[..., [2, 1, 0, 3][: image.shape[2]]], [cv2.IMWRITE_PNG_COMPRESSION, ZLIB_LEVEL]
        )
        if not ok:
            raise ImageError("the PNG encoder failed")
        return encoded.tobytes()
    Image = _import("PIL")
    picture = Image.fromarray(image, "RGBA" if image.shape[2] == 4 else "RGB")
    buffer = io.BytesIO()
    options = {}
    if fmt in DEFAULT_QUALITY:
        options["quality"] = DEFAULT_QUALITY[fmt] if quality is None else int(quality)
    elif fmt == "PNG":
        options["compress_level"] = ZLIB_LEVEL
    picture.save(buffer, fmt, **options)
    return buffer.getvalue()


# Temporary files being written, by name: removed by remove_partial_files() when
# the process must stop at once (a second Ctrl-C, SIGTERM) while threads write.
_partial_lock = threading.Lock()
_partial: set = set()


def remove_partial_files() -> None:
    """Remove every temporary file a write_image call in progress has made. For a process
    about to end at once: the calls are not told, and later ones still run."""
    with _partial_lock:
        names = list(_partial)
    for name in names:
        try:
            os.unlink(name)
        except OSError:
            pass


def _create_temporary(folder: Path, name: str) -> Tuple[int, str]:
    """A new file .NAME.RANDOM.part in `folder`, listed in _partial before it exists (so no
    moment passes in which it exists unlisted)."""
    while True:
        temporary = str(folder / f".{name}.{secrets.token_hex(4)}.part")
        with _partial_lock:
            _partial.add(temporary)
        try:
            return os.open(
                temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0), 0o600
            ), temporary
        except FileExistsError:
            _forget(temporary)
        except BaseException:
            _forget(temporary)
            raise


def _forget(temporary: str) -> None:
    with _partial_lock:
        _partial.discard(temporary)


def write_image(path, image: np.ndarray, quality: Optional[int] = None) -> None:
    """Write an image in the format its file name asks for, through a temporary file in the same
    folder: a failed or interrupted write (KeyboardInterrupt included) leaves no partial file.
    Raises :class:`ImageError`."""
    path = Path(path)
    data = encode(image, format_of(path), quality)
    folder = path.parent if str(path.parent) else Path(".")
    try:
        handle, temporary = _create_temporary(folder, path.name)
    except FileNotFoundError:
        raise ImageError(f"cannot write: folder {folder} does not exist") from None
    except PermissionError:
        raise ImageError(f"cannot write: permission denied in {folder}") from None
    except OSError as error:
        raise ImageError(f"cannot write: {error.strerror or error}") from None
    try:
        with os.fdopen(handle, "wb") as file:
            file.write(data)
        os.chmod(temporary, 0o666 & ~_UMASK)
        os.replace(temporary, path)
    except BaseException as error:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        _forget(temporary)
        if not isinstance(error, OSError):
            raise
        if isinstance(error, IsADirectoryError):
            raise ImageError("cannot write: a folder of that name exists") from None
        raise ImageError(f"cannot write: {error.strerror or error}") from None
    _forget(temporary)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


_UMASK = _umask()  # read once: os.umask changes process state, which threads must not race on
