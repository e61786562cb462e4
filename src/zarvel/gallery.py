"""A contact sheet of every blend mode: the same background and layer in each cell.

The default background is the photograph shipped in ``zarvel/data`` and the
default layer is drawn here (a colour wheel with a soft edge beside a tinted
ramp that fades out), so the gallery needs no network and no files. Used by
``zarvel gallery``; needs Pillow (the ``io`` extra) for resizing and text.
"""

from __future__ import annotations

import time
from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional, Tuple

import numpy as np

import zarvel

from ._registry import GALLERY_GROUPS, W3C_GALLERY_GROUPS
from .io import _import, read_image, to_8bit

PHOTO = Path(__file__).with_name("data") / "coffee.jpg"

# The modes by what they are for, in the gallery's rows: the native mode
# list's groups and places.
GROUPS: Tuple[Tuple[str, str, Tuple[str, ...]], ...] = GALLERY_GROUPS
REFERENCE_CELLS = ("background", "layer")
# The sheets: the editor's modes, or the W3C family (zarvel.w3c), each by its rows.
FAMILIES = ("modes", "w3c")


def groups(family: str = "modes") -> List[Tuple[str, str, Tuple[str, ...]]]:
    """The gallery's rows: (heading, what the modes are for, the modes), every mode once."""
    if family not in FAMILIES:
        raise ValueError(f"family must be one of {', '.join(FAMILIES)}, got {family!r}")
    return list(GROUPS if family == "modes" else W3C_GALLERY_GROUPS)


def make_layer(height: int, width: int) -> np.ndarray:
    """An RGBA uint8 layer with structure in colour and in alpha.

    Left: a ramp from cream at the top to dark navy at the bottom (tinted, as
    an exact grey has no hue for the hue modes to take) whose alpha fades
    from opaque to clear towards the middle. Right of centre: a colour
    wheel (hue round the circle, saturation from the white centre outwards)
    with a soft alpha edge. Between and around them the layer is clear.
    """
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    y = (y + 0.5) / height
    x = (x + 0.5) / width
    rgba = np.zeros((height, width, 4), np.float32)

    ramp_alpha = np.clip(1.0 - x / 0.42, 0.0, 1.0)
    top, bottom = np.array([1.0, 0.97, 0.86], np.float32), np.array([0.04, 0.05, 0.22], np.float32)
    rgba[..., :3] = bottom + (top - bottom) * (1.0 - y)[..., None]
    rgba[..., 3] = ramp_alpha

    wheel, wheel_alpha = _wheel(height, width, height * 0.5, width * 0.62, 0.46 * min(height, width))
    # The wheel laid over the ramp (straight alpha "over").
    out_alpha = wheel_alpha + rgba[..., 3] * (1.0 - wheel_alpha)
    with np.errstate(divide="ignore", invalid="ignore"):
        colour = (
            wheel * wheel_alpha[..., None] + rgba[..., :3] * (rgba[..., 3] * (1.0 - wheel_alpha))[..., None]
        ) / out_alpha[..., None]
    rgba[..., :3] = np.where(out_alpha[..., None] > 0, colour, 0.0)
    rgba[..., 3] = out_alpha
    return np.clip(np.rint(rgba * 255.0), 0, 255).astype(np.uint8)


def make_logo(size: int) -> np.ndarray:
    """A size x size RGBA uint8 colour wheel with a soft edge, to try ``zarvel blend`` on."""
    wheel, alpha = _wheel(size, size, size / 2, size / 2, size / 2)
    rgba = np.concatenate([wheel, alpha[..., None]], axis=2)
    return np.clip(np.rint(rgba * 255.0), 0, 255).astype(np.uint8)


def _wheel(height: int, width: int, cy: float, cx: float, radius: float) -> Tuple[np.ndarray, np.ndarray]:
    """A colour wheel (hue round the circle, saturation from the white centre out) and its
    alpha, opaque inside and falling smoothly to clear over the outer quarter of the radius."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float32) + 0.5
    dy, dx = y - cy, x - cx
    r = np.sqrt(dx * dx + dy * dy) / radius
    hue = (np.arctan2(-dy, dx) / (2 * np.pi)) % 1.0
    wheel = _hsv_to_rgb(hue, np.clip(r, 0.0, 1.0), np.ones_like(r))
    edge = np.clip((1.0 - r) / 0.25, 0.0, 1.0)
    return wheel, edge * edge * (3.0 - 2.0 * edge)  # smoothstep: a soft rim


def _hsv_to_rgb(h: np.ndarray, s: np.ndarray, v: np.ndarray) -> np.ndarray:
    i = np.floor(h * 6.0)
    f = h * 6.0 - i
    p, q, t = v * (1 - s), v * (1 - s * f), v * (1 - s * (1 - f))
    i = i.astype(np.int32) % 6
    r = np.choose(i, [v, q, p, p, t, v])
    g = np.choose(i, [t, v, v, q, p, p])
    b = np.choose(i, [p, p, t, v, v, q])
    return np.stack([r, g, b], axis=-1)


@dataclass
class Gallery:
    image: np.ndarray  # H x W x 3 uint8, the contact sheet
    cells: dict  # name -> the cell's pixels (H x W x 3|4 uint8, before labelling)
    cell_size: Tuple[int, int]  # (height, width) of one cell
    blend_seconds: float  # time spent in zarvel.blend for all modes
    kernel: str  # the kernel that ran ("avx2", ...)
    modes: Tuple[str, ...]  # in gallery order
    boxes: dict  # name -> (top, left) of the cell on the sheet


def resolved_kernel(kernel: str = "auto") -> str:
    """The kernel a name runs: "auto" picks the widest available, as the engine does."""
    name = getattr(kernel, "value", kernel)
    if name == "auto":
        return next(k for k in ("avx512", "avx2", "sse42", "neon", "scalar") if zarvel.kernel_available(k))
    return name if zarvel.kernel_available(name) else "scalar"


def _resize(image: np.ndarray, height: int, width: int) -> np.ndarray:
    Image = _import("PIL")
    if image.shape[:2] == (height, width):
        return image
    mode = "RGBA" if image.shape[2] == 4 else "RGB"
    return np.asarray(Image.fromarray(image, mode).resize((width, height), Image.LANCZOS))


def _checkerboard(height: int, width: int, square: int) -> np.ndarray:
    y, x = np.mgrid[0:height, 0:width]
    light = ((y // square + x // square) % 2).astype(bool)
    board = np.where(light, 238, 196).astype(np.uint8)
    return np.repeat(board[..., None], 3, axis=2)


def _on_checkerboard(image: np.ndarray, square: int) -> np.ndarray:
    """RGBA shown over a checkerboard (RGB as it is)."""
    if image.shape[2] == 3:
        return image
    board = _checkerboard(image.shape[0], image.shape[1], square)
    return zarvel.blend(board, image, "normal", threads=1)


def build(
    background: Optional[np.ndarray] = None,
    layer: Optional[np.ndarray] = None,
    *,
    cell_width: int = 240,
    kernel: str = "auto",
    threads: Optional[int] = None,
    family: str = "modes",
) -> Gallery:
    """Blend ``layer`` onto ``background`` with every mode and lay the results out with labels.

    ``family``: "modes" (the editor's modes, :data:`zarvel.MODES`) or "w3c" (the W3C
    family, :data:`zarvel.w3c.MODES`, on a sheet of its own).

    ``background`` and ``layer`` are H x W x 3|4 uint8 or uint16 arrays (the
    shipped photograph and :func:`make_layer` by default). The background is
    resized to ``cell_width``; a given layer is resized to fit inside it,
    centred, and blended at that offset.
    """
    if background is None:
        background = read_image(PHOTO)
    background = to_8bit(background)
    bh, bw = background.shape[:2]
    cell_w = int(cell_width)
    cell_h = max(1, round(cell_w * bh / bw))
    bg = _resize(background, cell_h, cell_w)
    if layer is None:
        fg, offset = make_layer(cell_h, cell_w), (0, 0)
    else:
        layer = to_8bit(layer)
        scale = min(cell_h / layer.shape[0], cell_w / layer.shape[1])
        lh, lw = max(1, round(layer.shape[0] * scale)), max(1, round(layer.shape[1] * scale))
        fg = _resize(layer, lh, lw)
        offset = ((cell_h - lh) // 2, (cell_w - lw) // 2)

    rows = groups(family)
    if family == "w3c" and bg.shape[2] == 3:
        # With alpha, so that the operators' transparent results show as such.
        bg = np.concatenate([bg, np.full(bg.shape[:2] + (1,), 255, np.uint8)], 2)
    modes = tuple(m for _, _, ms in rows for m in ms)
    cells = {}
    elapsed = 0.0
    for mode in modes:
        start = time.perf_counter()
        cells[mode] = zarvel.blend(bg, fg, mode, offset=offset, kernel=kernel, threads=threads)
        elapsed += time.perf_counter() - start
    square = max(4, cell_w // 24)
    shown_fg = np.zeros((cell_h, cell_w, 4), np.uint8)
    fg4 = fg if fg.shape[2] == 4 else np.concatenate([fg, np.full(fg.shape[:2] + (1,), 255, np.uint8)], 2)
    shown_fg[offset[0] : offset[0] + fg.shape[0], offset[1] : offset[1] + fg.shape[1]] = fg4
    cells["background"] = bg
    cells["layer"] = shown_fg
    sheet, boxes = _lay_out(rows, cells, cell_h, cell_w, square, family)
    return Gallery(sheet, cells, (cell_h, cell_w), elapsed, resolved_kernel(kernel), modes, boxes)


def _lay_out(rows, cells, cell_h: int, cell_w: int, square: int, family: str = "modes") -> Tuple[np.ndarray, dict]:
    Image = _import("PIL")
    from PIL import ImageDraw

    unit = cell_w / 240.0
    gap = max(6, round(14 * unit))
    label_size = max(11, round(19 * unit))
    small_size = max(10, round(15 * unit))
    title_size = max(13, round(26 * unit))
    label_h = round(label_size * 1.6)
    header_w = round(200 * unit)
    columns = max(len(ms) + (2 if name == "inputs" else 0) for name, _, ms in rows)
    title_h = round(title_size * 2.2)
    width = gap + header_w + columns * (cell_w + gap)
    height = title_h + len(rows) * (cell_h + label_h + gap) + gap
    sheet = Image.new("RGB", (width, height), (255, 255, 255))
    draw = ImageDraw.Draw(sheet)
    label_font, small_font, title_font = (_font(s) for s in (label_size, small_size, title_size))
    ink, grey = (25, 25, 25), (105, 105, 105)

    count = sum(len(ms) for _, _, ms in rows)
    title = (
        f"Zarvel: {count} blend modes, one background and one layer"
        if family == "modes"
        else f"Zarvel: the {count} modes of the W3C family, one background and one layer"
    )
    draw.text((gap, round(title_size * 0.5)), title, font=title_font, fill=ink)
    top = title_h
    boxes = {}
    for name, text, modes in rows:
        draw.text((gap, top + round(cell_h * 0.3)), name, font=label_font, fill=ink)
        _wrapped(
            draw, (gap, top + round(cell_h * 0.3) + round(label_size * 1.5)), text, small_font, grey, header_w - gap
        )
        names = (REFERENCE_CELLS if name == "inputs" else ()) + modes
        left = gap + header_w
        for cell in names:
            pixels = _on_checkerboard(cells[cell], square)
            sheet.paste(Image.fromarray(np.ascontiguousarray(pixels), "RGB"), (left, top))
            boxes[cell] = (top, left)
            draw.text(
                (left + cell_w // 2, top + cell_h + round(label_size * 0.35)),
                cell,
                font=label_font,
                fill=grey if cell in REFERENCE_CELLS else ink,
                anchor="ma",
            )
            left += cell_w + gap
        top += cell_h + label_h + gap
    return np.asarray(sheet), boxes


def _wrapped(draw, xy, text: str, font, fill, width: int) -> None:
    """Text broken into lines that fit ``width``."""
    lines, line = [], ""
    for word in text.split():
        trial = f"{line} {word}".strip()
        if line and draw.textlength(trial, font=font) > width:
            lines.append(line)
            line = word
        else:
            line = trial
    if line:
        lines.append(line)
    x, y = xy
    step = round(font.size * 1.3) if hasattr(font, "size") else 14
    for line in lines:
        draw.text((x, y), line, font=font, fill=fill)
        y += step


def _font(size: int):
    from PIL import ImageFont

    try:
        return ImageFont.load_default(size=size)  # Pillow's built-in scalable font (needs FreeType)
    except (TypeError, AttributeError, ImportError, OSError):
        return ImageFont.load_default()
