"""OpenRaster (.ora) files: the layer tree of a document, and its flattened image.

An OpenRaster file is a zip archive holding ``mimetype`` ("image/openraster"),
``stack.xml`` (the canvas size and the tree of stacks and layers) and one PNG
per layer. :func:`read` gives a :class:`Document`; :func:`flatten` composites
its visible layers, bottom first, with the ``svg:`` mode family of
:func:`zarvel.composite`:

- every layer and stack has ``x``, ``y`` (a stack's offset moves its
  children), ``opacity`` (0..1), ``visibility`` ("visible" or "hidden": a
  hidden layer or stack is skipped with everything in it) and
  ``composite-op`` (default ``svg:src-over``);
- the root stack is composited as an isolated group onto a transparent
  canvas. Any other stack is isolated when its ``isolation`` is "isolate", its
  opacity is below 1 or its composite-op is not ``svg:src-over``: its
  children are composited onto a transparent canvas of their own, and the
  result onto the stack's backdrop with the stack's composite-op and opacity.
  Other stacks (``isolation="auto"``, opacity 1, ``svg:src-over``) pass
  through: their children composite straight onto the backdrop;
- the operators that change the backdrop outside the source (``svg:clear``,
  ``svg:src``, ``svg:src-in``, ``svg:dst-in``, ``svg:src-out``,
  ``svg:dst-atop``) act on the whole canvas: their layer is padded with
  transparent pixels to the canvas first;
- editors' own names of the same formulas are accepted (Krita's
  ``krita:linear_burn`` is ``svg:linear-burn``, ...); an editor's composite-op
  with another formula is refused with a ValueError naming the layer; a name
  no editor is known to write is composited as ``svg:src-over`` with a
  :class:`OraWarning` naming the layer.

Untrusted files: the archive is read in memory and nothing is extracted to
disk; members are read up to a size cap (and a member that decompresses
beyond what it declares, or declares an absurd compression ratio, is
refused); ``src`` paths with "..", absolute paths or members that do not exist
are refused naming the layer; ``stack.xml`` with a DOCTYPE (and so any entity)
is refused; the canvas and every layer PNG are checked against the pixel
limit of the command line (``max_pixels``, the ``ZARVEL_MAX_PIXELS``
environment variable, else 178,956,970) before anything is decoded; layers
reaching past the canvas are clipped.
"""

from __future__ import annotations

import io
import math
import struct
import warnings
import zipfile
import zlib
from dataclasses import dataclass, field
from pathlib import PurePosixPath
from typing import Callable, Dict, List, Optional, Sequence, Tuple, Union
from xml.parsers import expat

import numpy as np

from ._registry import W3C_MODES
from .io import ImageError, _check_size, _read_bytes, _read_pillow, _read_png16, max_pixels_limit

MIMETYPE = "image/openraster"
DEFAULT_OP = "svg:src-over"

# The composite-ops of the family: the engine's svg: modes, named as OpenRaster names them.
OPS: Tuple[str, ...] = W3C_MODES

# Operators whose result outside the source differs from the backdrop: their layers cover the canvas.
WHOLE_CANVAS_OPS = frozenset(("svg:clear", "svg:src", "svg:src-in", "svg:dst-in", "svg:src-out", "svg:dst-atop"))

# Editors' own names for formulas of the family (what they write in composite-op).
EDITOR_OPS: Dict[str, str] = {
    "krita:exclusion": "svg:exclusion",
    "krita:linear_dodge": "svg:linear-dodge",
    "krita:linear_burn": "svg:linear-burn",
    "krita:vivid_light": "svg:vivid-light",
    "krita:linear light": "svg:linear-light",
    "krita:pin_light": "svg:pin-light",
    "krita:hard_mix_photoshop": "svg:hard-mix",
    "krita:subtract": "svg:subtract",
    "krita:divide": "svg:divide",
    "krita:darker color": "svg:darker-color",
    "krita:lighter color": "svg:lighter-color",
}
# Namespaces of editors: a name of theirs not in EDITOR_OPS has a formula of its own.
EDITOR_NAMESPACES = ("krita:", "gimp:", "mypaint:", "pdn:")

# Caps of the archive: stack.xml, any one member, all members read, and the compression
# ratio a member larger than RATIO_FLOOR may declare (PNG data is compressed already;
# deflate's own limit is about 1032:1).
MAX_XML_BYTES = 16 << 20
MAX_TOTAL_BYTES = 4 << 30
MAX_RATIO = 200
RATIO_FLOOR = 1 << 20
MAX_DEPTH = 64
# Positions past this are refused (far beyond any canvas the pixel limit allows).
MAX_COORDINATE = 1 << 30

PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


class OraError(ImageError, ValueError):
    """An OpenRaster file that cannot be read or flattened; the message names the layer at fault."""


class OraWarning(UserWarning):
    """Something in an OpenRaster file flattened another way than written (an unknown composite-op)."""


@dataclass
class Node:
    """What layers and stacks share. ``x``, ``y`` are relative to the parent stack."""

    name: str
    x: int = 0
    y: int = 0
    opacity: float = 1.0
    visible: bool = True
    composite_op: str = DEFAULT_OP

    @property
    def label(self) -> str:
        return f"{type(self).__name__.lower()} {self.name!r}"


@dataclass
class PixelLayer(Node):
    """A layer of pixels: ``src`` is its PNG's path in the archive."""

    src: str = ""
    _document: Optional["Document"] = field(default=None, repr=False, compare=False)
    _pixels: Optional[np.ndarray] = field(default=None, repr=False, compare=False)

    def pixels(self) -> np.ndarray:
        """The layer's PNG as h x w x 4 straight-alpha RGBA, ``uint8`` or ``uint16`` as stored
        (grey, grey+alpha, RGB and palette images converted), decoded on first use."""
        if self._pixels is None:
            if self._document is None:
                raise OraError(f"{self.label}: no document to read {self.src!r} from")
            self._pixels = self._document._decode(self)
        return self._pixels

    @property
    def label(self) -> str:
        return f"layer {self.name!r} ({self.src})"


@dataclass
class Stack(Node):
    """A group of layers and stacks; ``children`` top first, as stack.xml lists them."""

    isolation: str = "auto"
    children: List[Union["Stack", PixelLayer]] = field(default_factory=list)

    @property
    def isolated(self) -> bool:
        """Whether the stack is composited as an isolated group (the root stack always is)."""
        return self.isolation == "isolate" or self.opacity < 1.0 or self.composite_op != DEFAULT_OP

    def walk(self):
        """Every node under this stack, depth first, top first."""
        for child in self.children:
            yield child
            if isinstance(child, Stack):
                yield from child.walk()


class Document:
    """An OpenRaster document: ``width`` x ``height`` canvas and the ``root`` stack.

    Made by :func:`read`; it holds the archive in memory and decodes layers when asked."""

    def __init__(self, width: int, height: int, root: Stack, archive, max_pixels: int) -> None:
        self.width = width
        self.height = height
        self.root = root
        self._archive = archive
        self.max_pixels = max_pixels

    def layers(self) -> List[PixelLayer]:
        """Every pixel layer, top first, hidden ones included."""
        return [node for node in self.root.walk() if isinstance(node, PixelLayer)]

    def flatten(self, dtype=np.uint8, **options) -> np.ndarray:
        """The document's image; see :func:`flatten`."""
        return flatten(self, dtype, **options)

    def _decode(self, layer: PixelLayer) -> np.ndarray:
        data = self._archive.member(layer.src, layer.label)
        return decode_png(data, self.max_pixels, layer.label)

    def __repr__(self) -> str:
        return f"<zarvel.ora.Document {self.width}x{self.height}, {len(self.layers())} layers>"


# ---------------------------------------------------------------------------
# The archive


class _Archive:
    def __init__(self, data: bytes, member_cap: int) -> None:
        try:
            self._zip = zipfile.ZipFile(io.BytesIO(data))
        except (zipfile.BadZipFile, zipfile.LargeZipFile, OSError, ValueError, EOFError):
            raise OraError("not an OpenRaster file (not a zip archive)") from None
        self._infos: Dict[str, zipfile.ZipInfo] = {}
        for info in self._zip.infolist():
            self._infos.setdefault(info.filename, info)
        self._member_cap = member_cap
        self._total = 0

    def __contains__(self, name: str) -> bool:
        return name in self._infos

    def member(self, name: str, what: str, cap: Optional[int] = None) -> bytes:
        cap = self._member_cap if cap is None else cap
        info = self._infos.get(name)
        if info is None or info.is_dir():
            raise OraError(f"{what}: the archive has no member {name!r}")
        if info.file_size > cap:
            raise OraError(f"{what}: {name!r} declares {info.file_size} bytes, over the limit of {cap}")
        if info.file_size > RATIO_FLOOR and info.file_size > MAX_RATIO * max(info.compress_size, 1):
            raise OraError(
                f"{what}: {name!r} would decompress {info.compress_size} bytes to {info.file_size}, "
                f"a ratio over {MAX_RATIO}:1 (a zip bomb?)"
            )
        if self._total + info.file_size > MAX_TOTAL_BYTES:
            raise OraError(f"{what}: the archive's members add up to more than {MAX_TOTAL_BYTES} bytes")
        try:
            with self._zip.open(info) as stream:
                data = stream.read(cap + 1)
        except RuntimeError as error:  # encrypted
            raise OraError(f"{what}: cannot read {name!r}: {error}") from None
        except (zipfile.BadZipFile, zlib.error, NotImplementedError, OSError, EOFError, ValueError) as error:
            raise OraError(f"{what}: {name!r} is corrupt: {error}") from None
        if len(data) > cap:
            raise OraError(f"{what}: {name!r} decompresses to more than {cap} bytes")
        self._total += len(data)
        return data


def _member_cap(max_pixels: int) -> int:
    """The most bytes a layer PNG of max_pixels pixels may hold: 16-bit RGBA, one filter
    byte per row and deflate's stored-block overhead, with room for the chunks around."""
    return max(64 << 20, int(max_pixels * 8 * 1.01) + (16 << 20))


def decode_png(data: bytes, max_pixels: int, what: str) -> np.ndarray:
    """A layer's PNG as h x w x 4 uint8/uint16 straight-alpha RGBA; the declared size is
    checked against max_pixels before anything is decoded."""
    if not data.startswith(PNG_SIGNATURE) or len(data) < 33 or data[12:16] != b"IHDR":
        raise OraError(f"{what}: not a PNG image")
    width, height = struct.unpack(">II", data[16:24])
    depth = data[24]
    try:
        if width == 0 or height == 0:
            raise ImageError(f"image is {width} x {height} pixels")
        _check_size(width, height, max_pixels)
        if depth == 16:
            array, _ = _read_png16(data)
        else:
            array, _ = _read_pillow(data, max_pixels)
    except MemoryError:
        raise OraError(f"{what}: not enough memory to decode it ({width} x {height} pixels)") from None
    except ImageError as error:
        raise OraError(f"{what}: {error}") from None
    if array.shape[2] == 3:
        top = np.iinfo(array.dtype).max
        array = np.concatenate([array, np.full(array.shape[:2] + (1,), top, array.dtype)], axis=2)
    return np.ascontiguousarray(array)


# ---------------------------------------------------------------------------
# stack.xml


class _Element:
    __slots__ = ("tag", "attributes", "children")

    def __init__(self, tag: str, attributes: Dict[str, str]) -> None:
        self.tag = tag
        self.attributes = attributes
        self.children: List["_Element"] = []


def _parse_xml(data: bytes) -> _Element:
    """stack.xml as a tree of elements. No DTD (and so no entity of any kind) is accepted."""
    parser = expat.ParserCreate()
    root: List[_Element] = []
    path: List[_Element] = []

    def refuse_doctype(*_args) -> None:
        raise OraError("stack.xml has a DOCTYPE declaration, which OpenRaster files do not need; refused")

    def refuse_entity(*_args) -> int:
        raise OraError("stack.xml declares entities; refused")

    def start(tag: str, attributes: Dict[str, str]) -> None:
        if len(path) >= MAX_DEPTH:
            raise OraError(f"stack.xml nests more than {MAX_DEPTH} levels deep")
        element = _Element(tag, attributes)
        if path:
            path[-1].children.append(element)
        else:
            root.append(element)
        path.append(element)

    def end(tag: str) -> None:
        path.pop()

    parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)
    parser.StartDoctypeDeclHandler = refuse_doctype
    parser.EntityDeclHandler = refuse_entity
    parser.UnparsedEntityDeclHandler = refuse_entity
    parser.ExternalEntityRefHandler = refuse_entity
    parser.StartElementHandler = start
    parser.EndElementHandler = end
    try:
        parser.Parse(data, True)
    except expat.ExpatError as error:
        raise OraError(f"stack.xml is not well-formed XML: {error}") from None
    return root[0]


def _integer(element: _Element, name: str, what: str, default: int = 0) -> int:
    text = element.attributes.get(name)
    if text is None:
        return default
    try:
        value = float(text.strip())
    except ValueError:
        raise OraError(f"{what}: {name}={text!r} is not a number") from None
    if not math.isfinite(value) or abs(value) > MAX_COORDINATE:
        raise OraError(f"{what}: {name}={text!r} is out of range")
    return int(round(value))


def _opacity(element: _Element, what: str) -> float:
    text = element.attributes.get("opacity")
    if text is None:
        return 1.0
    try:
        value = float(text.strip())
    except ValueError:
        raise OraError(f"{what}: opacity={text!r} is not a number") from None
    if not math.isfinite(value):
        raise OraError(f"{what}: opacity={text!r} is not a finite number")
    return min(max(value, 0.0), 1.0)


def _visible(element: _Element, what: str) -> bool:
    text = element.attributes.get("visibility", "visible").strip()
    if text not in ("visible", "hidden"):
        raise OraError(f"{what}: visibility={text!r} must be 'visible' or 'hidden'")
    return text == "visible"


def _src(text: Optional[str], what: str) -> str:
    if not text:
        raise OraError(f"{what}: no src attribute")
    path = PurePosixPath(text)
    if text.startswith(("/", "\\")) or "\\" in text or ".." in path.parts or (len(text) > 1 and text[1] == ":"):
        raise OraError(f"{what}: src {text!r} points outside the archive; refused")
    return text


def _build(element: _Element) -> Union[Stack, PixelLayer, None]:
    name = element.attributes.get("name", "")
    what = f"{element.tag} {name!r}"
    common = dict(
        name=name,
        x=_integer(element, "x", what),
        y=_integer(element, "y", what),
        opacity=_opacity(element, what),
        visible=_visible(element, what),
        composite_op=element.attributes.get("composite-op", DEFAULT_OP).strip() or DEFAULT_OP,
    )
    if element.tag == "layer":
        src = _src(element.attributes.get("src"), f"layer {name!r}")
        return PixelLayer(src=src, **common)  # type: ignore[arg-type]
    if element.tag == "stack":
        isolation = element.attributes.get("isolation", "auto").strip()
        if isolation not in ("auto", "isolate"):
            raise OraError(f"{what}: isolation={isolation!r} must be 'auto' or 'isolate'")
        stack = Stack(isolation=isolation, **common)  # type: ignore[arg-type]
        for child in element.children:
            node = _build(child)
            if node is not None:
                stack.children.append(node)
        return stack
    warnings.warn(f"{what}: <{element.tag}> elements are not composited; skipped", OraWarning, stacklevel=4)
    return None


def read(source, max_pixels: Optional[int] = None) -> Document:
    """Read an OpenRaster file (a path, or its bytes) as a :class:`Document`.

    The layer tree is read at once, the pixels when asked for
    (:meth:`PixelLayer.pixels` or :func:`flatten`). Raises :class:`OraError`
    (a ValueError) for files that are not OpenRaster, are damaged or exceed
    the limits described in the module's documentation."""
    limit = max_pixels_limit(max_pixels)
    if isinstance(source, (bytes, bytearray, memoryview)):
        data = bytes(source)
    else:
        try:
            data = _read_bytes(source)
        except ImageError as error:
            raise OraError(str(error)) from None
    archive = _Archive(data, _member_cap(limit))
    if "mimetype" in archive:
        mimetype = archive.member("mimetype", "mimetype", cap=1024).strip()
        if mimetype != MIMETYPE.encode():
            raise OraError(f"not an OpenRaster file (mimetype {mimetype[:64]!r})")
    if "stack.xml" not in archive:
        raise OraError("not an OpenRaster file (no stack.xml in the archive)")
    image = _parse_xml(archive.member("stack.xml", "stack.xml", cap=MAX_XML_BYTES))
    if image.tag != "image":
        raise OraError(f"stack.xml: the root element is <{image.tag}>, not <image>")
    width = _integer(image, "w", "<image>", -1)
    height = _integer(image, "h", "<image>", -1)
    if width < 1 or height < 1:
        raise OraError(f"stack.xml: the canvas size w={width}, h={height} must be whole numbers of at least 1")
    try:
        _check_size(width, height, limit)
    except ImageError as error:
        raise OraError(f"stack.xml: canvas {error}") from None
    stacks = [child for child in image.children if child.tag == "stack"]
    if len(stacks) != 1:
        raise OraError(f"stack.xml: <image> must hold one root <stack>, it holds {len(stacks)}")
    root = _build(stacks[0])
    assert isinstance(root, Stack)
    document = Document(width, height, root, archive, limit)
    for layer in document.layers():
        layer._document = document
        if layer.src not in archive:
            raise OraError(f"{layer.label}: the archive has no member {layer.src!r}")
    return document


# ---------------------------------------------------------------------------
# Flattening


def engine_op(node: Node) -> str:
    """The family's name for a node's composite-op (see the module's documentation)."""
    op = node.composite_op
    if op in OPS:
        return op
    if op in EDITOR_OPS:
        return EDITOR_OPS[op]
    if op.startswith(EDITOR_NAMESPACES):
        raise OraError(
            f"{node.label}: composite-op {op!r} is not supported (no mode of the svg: family has its formula)"
        )
    warnings.warn(f"{node.label}: unknown composite-op {op!r}, composited as {DEFAULT_OP}", OraWarning, stacklevel=3)
    return DEFAULT_OP


# One composite step: (canvas, [(image, op, opacity, (y, x))]) -> the canvas with the layers on it.
Compositor = Callable[[np.ndarray, Sequence[Tuple[np.ndarray, str, float, Tuple[int, int]]]], np.ndarray]


def _engine_compositor(kernel: str, threads: Optional[int]) -> Compositor:
    import zarvel

    def run(canvas, layers):
        stack = [zarvel.Layer(image, op, opacity, offset=offset) for image, op, opacity, offset in layers]
        return zarvel.composite(canvas, stack, out=canvas, scale=1.0, kernel=kernel, threads=threads)

    return run


def _padded(image: np.ndarray, y: int, x: int, height: int, width: int) -> np.ndarray:
    """The image placed at (y, x) on a transparent canvas, clipped."""
    canvas = np.zeros((height, width, 4), image.dtype)
    top, left = max(y, 0), max(x, 0)
    bottom, right = min(y + image.shape[0], height), min(x + image.shape[1], width)
    if bottom > top and right > left:
        canvas[top:bottom, left:right] = image[top - y : bottom - y, left - x : right - x]
    return canvas


class _Flattener:
    def __init__(self, document: Document, compositor: Compositor) -> None:
        self.document = document
        self.compositor = compositor

    def op(self, node: Node) -> str:
        return engine_op(node)

    def group(self, stack: Stack, y: int, x: int) -> np.ndarray:
        """The stack's children composited onto a transparent canvas (an isolated group)."""
        canvas = np.zeros((self.document.height, self.document.width, 4), np.float32)
        pending: list = []
        self.collect(stack, y, x, canvas, pending)
        return self.flush(canvas, pending)

    def flush(self, canvas: np.ndarray, pending: list) -> np.ndarray:
        if pending:
            canvas = self.compositor(canvas, pending)
            pending.clear()
        return canvas

    def collect(self, stack: Stack, y: int, x: int, canvas: np.ndarray, pending: list) -> np.ndarray:
        """Composite the stack's visible children, bottom first, onto canvas (some of them
        through pending, the run of layers not yet composited); returns the canvas."""
        height, width = canvas.shape[:2]
        for node in reversed(stack.children):
            if not node.visible:
                continue
            ny, nx = y + node.y, x + node.x
            if isinstance(node, PixelLayer):
                op = self.op(node)
                # Decoded for this composite only (pixels() would keep every layer decoded).
                image = node._pixels if node._pixels is not None else self.document._decode(node)
                if op in WHOLE_CANVAS_OPS:
                    image, ny, nx = _padded(image, ny, nx, height, width), 0, 0
                pending.append((image, op, node.opacity, (ny, nx)))
            elif node.isolated:
                op = self.op(node)
                group = self.group(node, ny, nx)
                pending.append((group, op, node.opacity, (0, 0)))
            else:
                canvas = self.collect(node, ny, nx, canvas, pending)
        return canvas


def flatten(
    source: Union[Document, str, "object"],
    dtype=np.uint8,
    *,
    max_pixels: Optional[int] = None,
    kernel: str = "auto",
    threads: Optional[int] = None,
    compositor: Optional[Compositor] = None,
) -> np.ndarray:
    """The flattened image of an OpenRaster document (a :class:`Document`, a path or bytes)
    as H x W x 4 straight-alpha RGBA on the canvas size.

    ``dtype``: ``uint8`` (0..255) or ``uint16`` (0..65535), rounded to nearest from the
    float32 composite, or ``float32``/``float64`` (0..1). Layers are composited in
    float32 by :func:`zarvel.composite` (``kernel`` and ``threads`` as there);
    ``compositor`` replaces that step (``compositor(canvas, layers)`` with layers as
    (image, op, opacity, (y, x)) tuples, returning the canvas). Raises
    :class:`OraError` naming the layer at fault."""
    dtype = np.dtype(dtype)
    if dtype not in (np.uint8, np.uint16, np.float32, np.float64):
        raise TypeError(f"dtype must be uint8, uint16, float32 or float64, got {dtype}")
    document = source if isinstance(source, Document) else read(source, max_pixels)
    if compositor is None:
        compositor = _engine_compositor(kernel, threads)
    flattener = _Flattener(document, compositor)
    root = document.root
    canvas = flattener.group(root, root.y, root.x)
    if root.opacity < 1.0 or root.composite_op != DEFAULT_OP:
        op = flattener.op(root)
        base = np.zeros_like(canvas)
        canvas = compositor(base, [(canvas, op, root.opacity, (0, 0))])
    if dtype.kind == "f":
        return canvas.astype(dtype)
    top = np.iinfo(dtype).max
    return np.rint(np.clip(canvas, 0.0, 1.0) * top).astype(dtype)
