from typing import Any, Tuple

PIXEL_GROUP: int

def composite(
    background: Any,
    out: Any,
    layers: Tuple[Any, ...],
    kernel: str,
    threads: int,
    unit_scale: bool,
    premultiplied: bool,
    band_bytes: int = ...,
    /,
) -> None: ...
def plain(
    background: Any,
    layers: Any,
    out: Any,
    threads: Any,
    kernel: Any,
    scale: Any,
    premultiplied: Any,
    band_bytes: Any,
    /,
) -> Any: ...
def spans_meet(a: Any, b: Any, /) -> bool: ...
def modes() -> Tuple[Tuple[str, str, str, int], ...]: ...
def mode_groups() -> Tuple[Tuple[str, str, str], ...]: ...
def w3c_modes() -> Tuple[Tuple[str, str, str, int], ...]: ...
def w3c_rows() -> Tuple[Tuple[int, str, str], ...]: ...
def kernels() -> Tuple[Tuple[str, int, bool, str], ...]: ...
def kernel_available(name: str, /) -> bool: ...
