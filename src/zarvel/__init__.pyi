import enum
from typing import Any, Iterable, Literal, Optional, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

from . import w3c as w3c

Image = Union[npt.NDArray[np.uint8], npt.NDArray[np.float32]]
KernelName = Union["KernelKind", Literal["auto", "scalar", "sse42", "avx2", "avx512", "neon"], str]
EngineImage = Union[npt.NDArray[np.uint8], npt.NDArray[np.uint16], npt.NDArray[np.float32], npt.NDArray[np.float64]]
Mask = Union[npt.NDArray[np.uint8], npt.NDArray[np.float32], npt.NDArray[np.float64]]
ModeName = Literal[
    "normal",
    "soft_light",
    "lighten_only",
    "screen",
    "dodge",
    "addition",
    "darken_only",
    "multiply",
    "hard_light",
    "difference",
    "subtract",
    "grain_extract",
    "grain_merge",
    "divide",
    "overlay",
    "hsv_hue",
    "hsv_saturation",
    "hsv_value",
    "hsl_color",
    "lch_hue",
    "lch_chroma",
    "lch_color",
    "lch_lightness",
    "burn",
    "linear_burn",
    "exclusion",
    "vivid_light",
    "pin_light",
]
# The W3C family (zarvel.w3c.MODES).
W3cModeName = Literal[
    "svg:normal",
    "svg:multiply",
    "svg:screen",
    "svg:overlay",
    "svg:darken",
    "svg:lighten",
    "svg:color-dodge",
    "svg:color-burn",
    "svg:hard-light",
    "svg:soft-light",
    "svg:difference",
    "svg:exclusion",
    "svg:hue",
    "svg:saturation",
    "svg:color",
    "svg:luminosity",
    "svg:clear",
    "svg:src",
    "svg:dst",
    "svg:src-over",
    "svg:dst-over",
    "svg:src-in",
    "svg:dst-in",
    "svg:src-out",
    "svg:dst-out",
    "svg:src-atop",
    "svg:dst-atop",
    "svg:xor",
    "svg:plus",
    "svg:linear-dodge",
    "svg:linear-burn",
    "svg:vivid-light",
    "svg:linear-light",
    "svg:pin-light",
    "svg:hard-mix",
    "svg:subtract",
    "svg:divide",
    "svg:darker-color",
    "svg:lighter-color",
]

class KernelKind(str, enum.Enum):
    AUTO = "auto"
    SCALAR = "scalar"
    SSE42 = "sse42"
    AVX2 = "avx2"
    AVX512 = "avx512"
    NEON = "neon"

SEPARABLE_MODES: tuple[str, ...]
COLOUR_MODES: tuple[str, ...]
MODES: tuple[str, ...]

def kernel_available(name: str, /) -> bool: ...

class Layer:
    """One layer of a stack for composite(): an image, its mode and opacity, an optional mask and an offset."""

    image: Any
    mode: str
    opacity: float
    mask: Any
    offset: Tuple[int, int]
    linear: bool
    def __init__(
        self,
        image: Any,
        mode: ModeName | W3cModeName | str = ...,
        opacity: float = ...,
        *,
        mask: Any = ...,
        offset: Tuple[int, int] = ...,
        linear: bool = ...,
    ) -> None: ...

@overload
def blend(
    background: EngineImage,
    foreground: Any,
    mode: ModeName | W3cModeName | str = ...,
    opacity: float = ...,
    *,
    mask: Optional[Any] = ...,
    offset: Tuple[int, int] = ...,
    out: Optional[EngineImage] = ...,
    threads: Optional[int] = ...,
    kernel: KernelName = ...,
    scale: float = ...,
    premultiplied: bool = ...,
    linear: bool = ...,
) -> EngineImage: ...
@overload
def blend(
    background: Any,
    foreground: Any,
    mode: ModeName | W3cModeName | str = ...,
    opacity: float = ...,
    *,
    mask: Optional[Any] = ...,
    offset: Tuple[int, int] = ...,
    out: Optional[EngineImage] = ...,
    threads: Optional[int] = ...,
    kernel: KernelName = ...,
    scale: float = ...,
    premultiplied: bool = ...,
    linear: bool = ...,
) -> Any: ...
@overload
def composite(
    background: EngineImage,
    layers: Iterable[Layer],
    *,
    out: Optional[EngineImage] = ...,
    threads: Optional[int] = ...,
    kernel: KernelName = ...,
    scale: float = ...,
    premultiplied: bool = ...,
) -> EngineImage: ...
@overload
def composite(
    background: Any,
    layers: Iterable[Layer],
    *,
    out: Optional[EngineImage] = ...,
    threads: Optional[int] = ...,
    kernel: KernelName = ...,
    scale: float = ...,
    premultiplied: bool = ...,
) -> Any: ...
def normal(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def soft_light(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def lighten_only(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def screen(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def dodge(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def addition(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def darken_only(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def multiply(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def hard_light(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def difference(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def subtract(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def grain_extract(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def grain_merge(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def divide(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def overlay(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def hsv_hue(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def hsv_saturation(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def hsv_value(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def hsl_color(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def lch_hue(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def lch_chroma(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def lch_color(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def lch_lightness(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def burn(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def linear_burn(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def exclusion(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def vivid_light(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
def pin_light(
    background: Image, foreground: Image, opacity: float | KernelName = ..., kernel: KernelName = ..., /
) -> Image: ...
