"""The ``zarvel`` command: blend and stack image files, draw the mode gallery, show the set-up.

Exit status: 0 when everything was written, 1 when a file could not be read,
blended or written (the other files of a batch are still done), 2 for a
usage error (an unknown option or mode, a malformed value), 130 on Ctrl-C,
143 on SIGTERM. User errors are reported as ``zarvel: FILE: problem``, never
as a traceback.

Stopping: the first Ctrl-C lets the images being written finish (nothing new
starts); a second one, or SIGTERM, stops at once. Either way no partial file
is left behind.
"""

from __future__ import annotations

import argparse
import difflib
import logging
import math
import os
import signal
import sys
import threading
import warnings
import time
from concurrent.futures import ThreadPoolExecutor, as_completed
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, List, Optional, Sequence, Tuple

import numpy as np

import zarvel

from .io import (
    DEFAULT_MAX_PIXELS,
    FORMATS,
    IMAGE_SUFFIXES,
    MAX_PIXELS_VARIABLE,
    ImageError,
    MissingDependency,
    format_of,
    max_pixels_limit,
)

KERNELS = tuple(kind.value for kind in zarvel.KernelKind)

DESCRIPTION = f"Blend image files with the {len(zarvel.MODES)} blend modes of an image editor."

EPILOG = """\
commands:
  blend     one layer onto one image, several images or a folder of them
  stack     several layers, each with its own mode and opacity, in one pass
  flatten   an OpenRaster (.ora) document's layers as one image
  gallery   a labelled contact sheet of every mode
  info      the version, the compute kernels and the threads

examples:
  zarvel blend photo.jpg logo.png -m screen --offset 20,20 -o out.png
  zarvel blend photos/ watermark.png -m multiply --opacity 0.5 -o marked/
  zarvel stack photo.jpg grain.png:overlay:0.4 tint.png:hsl_color -o graded.tif
  zarvel flatten drawing.ora -o drawing.png
  zarvel gallery -o gallery.png
  zarvel info

Run 'zarvel COMMAND --help' for the options of a command.
"""


class UsageError(Exception):
    """A malformed command line (exit status 2)."""


class FileProblem(Exception):
    """A file that stops the whole command (exit status 1); str() is 'FILE: problem'."""


class _Interrupted(Exception):
    """A Ctrl-C already reported (exit status 130)."""


# ---------------------------------------------------------------------------
# Option values


def _all_modes() -> Tuple[str, ...]:
    """The modes of the registry, then those of the svg: family."""
    from zarvel import w3c

    return tuple(zarvel.MODES) + tuple(name for name in w3c.MODES if name not in zarvel.MODES)


def _mode(text: str) -> str:
    modes = _all_modes()
    if text in modes:
        return text
    guess = text.lower().replace(" ", "_")
    if not guess.startswith("svg:"):
        guess = guess.replace("-", "_")
    close = difflib.get_close_matches(guess, modes, n=3, cutoff=0.5)
    hint = f"did you mean {' or '.join(close)}? " if close else ""
    raise argparse.ArgumentTypeError(f"unknown mode {text!r}; {hint}the modes are: {', '.join(modes)}")


def _modes_by_group() -> str:
    from .gallery import groups

    merged: dict = {}
    for name, _, modes in groups():
        merged.setdefault("plain" if name == "inputs" else name.split(":")[0], []).extend(modes)
    family = [name for name in _all_modes() if name.startswith("svg:")]
    if family:
        merged["W3C and OpenRaster"] = family
    return "; ".join(f"{name}: {', '.join(modes)}" for name, modes in merged.items())


def _opacity(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"opacity must be a number such as 0.5, got {text!r}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"opacity must be finite, got {text!r}")
    return value


def _offset(text: str) -> Tuple[int, int]:
    parts = text.replace(" ", "").split(",")
    try:
        if len(parts) != 2:
            raise ValueError
        return int(parts[0]), int(parts[1])
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"offset must be two whole numbers Y,X (pixels down, pixels right), got {text!r}"
        ) from None


def _positive(what: str) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = 0
        if value < 1:
            raise argparse.ArgumentTypeError(f"{what} must be a whole number of at least 1, got {text!r}")
        return value

    return parse


def _quality(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 1 <= value <= 100:
        raise argparse.ArgumentTypeError(f"quality must be a whole number from 1 to 100, got {text!r}")
    return value


@dataclass(frozen=True)
class LayerArgument:
    path: Path
    mode: str
    opacity: float


def parse_layer_argument(text: str) -> LayerArgument:
    """LAYER:MODE[:OPACITY]; the file name may itself contain colons."""
    head, sep, last = text.rpartition(":")
    if not sep or not head:
        raise UsageError(f"layer {text!r} must be written FILE:MODE or FILE:MODE:OPACITY, e.g. logo.png:screen:0.8")
    opacity = 1.0
    if _looks_numeric(last):
        path_and_mode, sep, mode = head.rpartition(":")
        if not sep or not path_and_mode:
            raise UsageError(f"layer {text!r} has no mode; write FILE:MODE:OPACITY, e.g. logo.png:screen:0.8")
        try:
            opacity = _opacity(last)
        except argparse.ArgumentTypeError as error:
            raise UsageError(f"layer {text!r}: {error}") from None
        path = path_and_mode
    else:
        path, mode = head, last
    # The svg: family's names hold a colon of their own: FILE:svg:multiply[:OPACITY].
    rest, sep, namespace = path.rpartition(":")
    if sep and rest and namespace == "svg":
        path, mode = rest, f"svg:{mode}"
    try:
        mode = _mode(mode)
    except argparse.ArgumentTypeError as error:
        raise UsageError(f"layer {text!r}: {error}") from None
    return LayerArgument(Path(path), mode, opacity)


def _looks_numeric(text: str) -> bool:
    try:
        float(text)
        return True
    except ValueError:
        return False


# ---------------------------------------------------------------------------
# The parser


class _Formatter(argparse.RawDescriptionHelpFormatter):
    def __init__(self, prog: str) -> None:
        super().__init__(prog, max_help_position=30)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="zarvel", description=DESCRIPTION, epilog=EPILOG, formatter_class=_Formatter)
    parser.add_argument("--version", action="version", version=f"zarvel {_version()}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")

    blend = commands.add_parser(
        "blend",
        formatter_class=_Formatter,
        help="blend one layer onto images",
        description="Blend one layer onto an image, or onto several images or every image of a folder.",
        epilog="""\
examples:
  zarvel blend photo.jpg logo.png -m screen --offset 20,20 -o out.png
  zarvel blend photo.png shadow.png -m multiply --opacity 0.6 --mask fade.png
  zarvel blend photos/ watermark.png -m overlay -o marked/ --format webp
  zarvel blend scan16.tif tint.png -m soft_light -o graded16.png   # stays 16-bit

Files: PNG, JPEG, TIFF and WebP, 8 or 16 bits per channel, RGB or RGBA
(grey images are read as RGB). Images are turned upright by their EXIF
orientation. The result has the background's channels and depth, as far as
the output format holds them: PNG and TIFF keep alpha and 16 bits, WebP keeps
alpha, JPEG keeps neither.

Several backgrounds are blended in parallel; a file that fails is reported and
skipped, and the exit status is 1. Progress is shown on a terminal.""",
    )
    blend.add_argument(
        "backgrounds",
        nargs="+",
        metavar="BACKGROUND",
        help="the image to blend onto; several files or folders blend the layer onto each image "
        "(a folder's .png, .jpg, .jpeg, .tif, .tiff and .webp files); e.g. photo.jpg or photos/",
    )
    blend.add_argument("layer", type=Path, metavar="LAYER", help="the layer image; e.g. logo.png")
    blend.add_argument(
        "-m", "--mode", type=_mode, required=True, help="the blend mode; " + _modes_by_group() + "; e.g. -m screen"
    )
    blend.add_argument(
        "--opacity",
        type=_opacity,
        default=1.0,
        metavar="X",
        help="the layer's opacity, 0 to 1 (default 1); e.g. --opacity 0.5",
    )
    blend.add_argument(
        "--offset",
        type=_offset,
        default=(0, 0),
        metavar="Y,X",
        help="where the layer's top-left corner lands, in pixels down and right of the "
        "background's; parts outside are clipped (default 0,0); e.g. --offset 20,40, or "
        "--offset=-10,-10 for negative values",
    )
    blend.add_argument(
        "--mask",
        type=Path,
        metavar="FILE",
        help="a grey image the layer's size that scales its alpha (white keeps, black hides; "
        "colour images count by their luma); e.g. --mask fade.png",
    )
    _blend_options(blend)
    blend.set_defaults(run=_run_blend)

    stack = commands.add_parser(
        "stack",
        formatter_class=_Formatter,
        usage="zarvel stack [options] BACKGROUND [BACKGROUND ...] LAYER:MODE[:OPACITY] [LAYER:MODE[:OPACITY] ...] "
        "-o OUT",
        help="blend a stack of layers in one pass",
        description="Blend several layers onto an image (or onto several images or folders), each layer\n"
        "with its own mode and opacity, in one pass over the pixels.",
        epilog="""\
examples:
  zarvel stack photo.jpg grain.png:overlay:0.4 tint.png:hsl_color -o graded.png
  zarvel stack photos/ vignette.png:multiply frame.png:normal -o framed/

Layers apply in the order given, each onto the result of the ones before, from
the top-left corner. BACKGROUND arguments come first; the first argument with
a colon starts the layers. Files, depths and folders are as for 'zarvel blend'.""",
    )
    stack.add_argument(
        "inputs",
        nargs="+",
        metavar="BACKGROUND|LAYER:MODE[:OPACITY]",
        help="the image(s) to blend onto (files or folders), then the layers as FILE:MODE or "
        "FILE:MODE:OPACITY, bottom layer first; e.g. photo.jpg logo.png:screen:0.8 "
        "grain.png:overlay. Modes: " + _modes_by_group(),
    )
    _blend_options(stack)
    stack.set_defaults(run=_run_stack)

    flatten = commands.add_parser(
        "flatten",
        formatter_class=_Formatter,
        help="flatten an OpenRaster document",
        description="Composite the visible layers of an OpenRaster (.ora) document, as written by Krita,\n"
        "MyPaint or GIMP, into one image of the document's size.",
        epilog="""\
examples:
  zarvel flatten drawing.ora -o drawing.png
  zarvel flatten scan.ora -o scan16.png --depth 16
  zarvel flatten untrusted.ora -o out.png --max-pixels 20000000

The layers are composited with the svg: modes their composite-op names
(Krita's own names of the same formulas too), groups isolated as the
OpenRaster format says. The result keeps alpha where the output format
has it. A composite-op no editor is known to write is composited as
svg:src-over, with a warning naming the layer; an editor's mode of
another formula is an error naming the layer. Nothing is written on error.""",
    )
    flatten.add_argument("document", type=Path, metavar="FILE.ora", help="the OpenRaster file; e.g. drawing.ora")
    flatten.add_argument(
        "-o",
        "--output",
        type=Path,
        metavar="OUT",
        help="the image to write, .png, .tif, .webp or .jpg (default: the document's name with .png, "
        "in the current folder); e.g. -o drawing.png",
    )
    flatten.add_argument(
        "--depth",
        type=int,
        choices=(8, 16),
        default=8,
        help="bits per channel of the result (default 8; 16 is kept by PNG and TIFF); e.g. --depth 16",
    )
    _quality_and_kernel_options(flatten)
    flatten.add_argument(
        "--threads",
        type=_positive("threads"),
        metavar="N",
        help="threads for each composite (default: every CPU); e.g. --threads 4",
    )
    flatten.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors; e.g. -q in scripts")
    _max_pixels_option(flatten)
    flatten.set_defaults(run=_run_flatten)

    gallery = commands.add_parser(
        "gallery",
        formatter_class=_Formatter,
        help="draw a labelled contact sheet of every mode",
        description="Blend the same layer onto the same background with every mode, and write the results\n"
        "as one labelled picture. Without options it uses a photograph shipped with Zarvel and\n"
        "a generated colour-wheel layer, so it needs no files and no network.",
        epilog="""\
examples:
  zarvel gallery
  zarvel gallery -o modes.png --background photo.jpg --layer logo.png --cell 320
  zarvel gallery --family w3c -o w3c.png
  zarvel gallery --samples . && zarvel blend photo.jpg logo.png -m screen --offset 20,20 -o out.png""",
    )
    gallery.add_argument(
        "-o",
        "--output",
        type=Path,
        default=Path("gallery.png"),
        metavar="OUT",
        help="the picture to write, .png, .jpg, .tif or .webp (default gallery.png); e.g. -o docs/modes.png",
    )
    gallery.add_argument(
        "--background",
        type=Path,
        metavar="FILE",
        help="your own background image instead of the shipped photograph; e.g. --background photo.jpg",
    )
    gallery.add_argument(
        "--layer",
        type=Path,
        metavar="FILE",
        help="your own layer instead of the colour wheel, fitted into each cell and centred; e.g. --layer logo.png",
    )
    gallery.add_argument(
        "--cell",
        type=_positive("cell width"),
        default=240,
        metavar="PIXELS",
        help="the width of one cell in pixels (default 240); e.g. --cell 320",
    )
    gallery.add_argument(
        "--family",
        choices=("modes", "w3c"),  # gallery.FAMILIES
        default="modes",
        help="the sheet: the editor's modes, or the W3C family's svg: modes (default modes); e.g. --family w3c",
    )
    gallery.add_argument(
        "--kernel",
        choices=KERNELS,
        default="auto",
        help="the compute kernel (default auto: the widest this processor runs); e.g. --kernel sse42",
    )
    _max_pixels_option(gallery)
    gallery.add_argument(
        "--samples",
        type=Path,
        metavar="DIR",
        help="also write the gallery's photograph and a colour-wheel logo to DIR as photo.jpg "
        "and logo.png, to try 'zarvel blend' on; e.g. --samples .",
    )
    gallery.set_defaults(run=_run_gallery)

    info = commands.add_parser(
        "info",
        formatter_class=_Formatter,
        help="show the version, kernels and threads",
        description="Show Zarvel's version, the compute kernels this processor runs, the threads a blend\n"
        "uses, the modes and the image libraries.",
        epilog="example:\n  zarvel info",
    )
    info.set_defaults(run=_run_info)
    return parser


def _blend_options(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "-o",
        "--output",
        metavar="OUT",
        help="the file to write (its ending picks the format: .png, .jpg, .tif, .webp), or a "
        "folder (an existing one, or any name ending in /; needed for several backgrounds), "
        "created if needed, that gets files of the backgrounds' names; e.g. -o out.png or "
        "-o results/. With one background and no -o the result goes to NAME-MODE.EXT in the "
        "current folder",
    )
    sub.add_argument(
        "--format",
        choices=("png", "jpg", "tif", "webp"),
        help="with an output folder: write this format instead of each background's own; e.g. --format png",
    )
    _quality_and_kernel_options(sub)
    sub.add_argument(
        "--threads",
        type=_positive("threads"),
        metavar="N",
        help="threads for each blend (default: every CPU for one image, 1 per image for several); e.g. --threads 4",
    )
    sub.add_argument(
        "--jobs",
        type=_positive("jobs"),
        metavar="N",
        help="images processed at once when there are several (default: the number of CPUs); e.g. --jobs 2",
    )
    sub.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="print nothing but errors (no progress bar, no summary); e.g. -q in scripts",
    )
    _max_pixels_option(sub)


def _quality_and_kernel_options(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "--quality",
        type=_quality,
        metavar="Q",
        help="JPEG and WebP quality, 1 to 100 (default 95 for JPEG, 90 for WebP); e.g. --quality 85",
    )
    sub.add_argument(
        "--kernel",
        choices=KERNELS,
        default="auto",
        help="the compute kernel (default auto: the widest this processor runs); e.g. --kernel scalar",
    )


def _max_pixels_option(sub: argparse.ArgumentParser) -> None:
    sub.add_argument(
        "--max-pixels",
        type=_positive("max-pixels"),
        metavar="N",
        help=f"refuse images of more than N pixels (width x height), read from each file's header "
        f"before it is decoded (default {DEFAULT_MAX_PIXELS}, about 179 million, or the "
        f"{MAX_PIXELS_VARIABLE} environment variable); e.g. --max-pixels 500000000",
    )


# ---------------------------------------------------------------------------
# Messages

_print_lock = threading.Lock()


def _err(message: str) -> None:
    with _print_lock:
        print(f"zarvel: {message}", file=sys.stderr, flush=True)


def _cpus() -> int:
    try:
        return max(len(os.sched_getaffinity(0)), 1)
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("zarvel")
    except Exception:
        return "unknown"


# ---------------------------------------------------------------------------
# blend and stack


@dataclass
class Job:
    source: Path
    target: Path


def _expand(sources: Sequence[str]) -> Tuple[List[Path], bool]:
    """Background files from file and folder arguments, and whether there are several (a batch)."""
    files: List[Path] = []
    batch = len(sources) > 1
    for text in sources:
        path = Path(text)
        if path.is_dir():
            batch = True
            found = sorted(
                p
                for p in path.iterdir()
                if p.suffix.lower() in IMAGE_SUFFIXES and not p.name.startswith(".") and p.is_file()
            )
            if not found:
                _err(f"{path}: no .png, .jpg, .jpeg, .tif, .tiff or .webp files in this folder")
            files.extend(found)
        else:
            files.append(path)
    return files, batch


def _plan(files: List[Path], batch: bool, output: Optional[str], fmt: Optional[str], default_name: str) -> List[Job]:
    """Pair each background with the file its result goes to."""
    folder_named = output is not None and output.endswith(("/", os.sep))
    out = Path(output) if output is not None else None
    if not batch and not (out is not None and folder_named and not out.is_dir()):
        source = files[0]
        if out is None:
            target = Path(f"{source.stem}-{default_name}{source.suffix}")
        elif out.is_dir():
            target = out / source.name
        else:
            target = out
        if fmt:
            target = target.with_suffix("." + fmt)
        _check_target(target)
        return [Job(source, target)]
    if out is None:
        raise UsageError("several backgrounds need an output folder: -o DIR")
    if out.exists() and not out.is_dir():
        raise UsageError(f"{out} is a file; with several backgrounds -o must name a folder")
    if not out.exists() and not folder_named and out.suffix.lower() in FORMATS:
        raise UsageError(
            f"several backgrounds need an output folder, and {output} looks like a file name "
            f"(write {output}/ to make a folder of that name)"
        )
    try:
        out.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise FileProblem(f"{out}: cannot create the output folder: {error.strerror or error}") from None
    jobs = []
    for source in files:
        name = source.name if not fmt else source.with_suffix("." + fmt).name
        jobs.append(Job(source, out / name))
    return jobs


def _check_target(target: Path) -> None:
    try:
        format_of(target)
    except ImageError as error:
        raise UsageError(f"{target}: {error}") from None


# The pixel limit of every file read (set by main from --max-pixels or the environment).
_max_pixels = DEFAULT_MAX_PIXELS


def _read(path: Path):
    from .io import read_image

    try:
        return read_image(path, _max_pixels)
    except MissingDependency:
        raise
    except ImageError as error:
        raise FileProblem(f"{path}: {error}") from None


def _run_batch(args, jobs: List[Job], work: Callable[[Job, int], None]) -> int:
    """Run work(job, threads) for every job, in parallel when there are several; the exit status."""
    if len(jobs) == 1:
        job = jobs[0]
        try:
            work(job, args.threads)
        except (FileProblem, UsageError):
            raise
        except (ImageError, ValueError, TypeError, MemoryError) as error:
            raise FileProblem(f"{job.source}: {_describe(error)}") from None
        if not args.quiet:
            print(f"wrote {job.target}")
        return 0

    tqdm = _tqdm()
    workers = min(args.jobs or _cpus(), len(jobs))
    threads = args.threads or 1
    failed = 0
    show = sys.stderr.isatty() and not args.quiet
    start = time.perf_counter()
    bar = tqdm(total=len(jobs), unit="image", file=sys.stderr, disable=not show, dynamic_ncols=True, leave=False)
    pool = ThreadPoolExecutor(max_workers=workers)
    try:
        futures = {pool.submit(work, job, threads): job for job in jobs}
        for future in as_completed(futures):
            job = futures[future]
            problem = future.exception()
            if problem is not None:
                failed += 1
                message = str(problem) if isinstance(problem, FileProblem) else f"{job.source}: {_describe(problem)}"
                with _print_lock:
                    bar.clear()
                    print(f"zarvel: {message}", file=sys.stderr, flush=True)
                    bar.refresh()
            bar.update()
    except KeyboardInterrupt:
        # No new image starts; the ones being written finish, unless a second Ctrl-C
        # (or SIGTERM) stops them at once.
        _stop_at_once_on_signals()
        pool.shutdown(wait=False, cancel_futures=True)
        bar.close()
        _err("interrupted")
        pool.shutdown(wait=True)
        raise _Interrupted from None
    pool.shutdown()
    bar.close()
    if not args.quiet:
        written = len(jobs) - failed
        summary = f"{written} of {len(jobs)} images written to {args.output} in {time.perf_counter() - start:.1f} s"
        _err(summary + (f"; {failed} failed" if failed else ""))
    return 1 if failed else 0


def _tqdm():
    try:
        from tqdm import tqdm
    except ImportError:
        raise MissingDependency("tqdm is not installed; install the image extra: pip install 'zarvel[io]'") from None
    return tqdm


def _describe(error: BaseException) -> str:
    if isinstance(error, MemoryError):
        return "not enough memory to blend it"
    if isinstance(error, (ImageError, ValueError, TypeError, OSError)):
        return str(error)
    return f"{type(error).__name__}: {error}"


def _run_blend(args) -> int:
    sources, layer_path = args.backgrounds, args.layer
    files, batch = _expand(sources)
    if not files:
        return 1
    jobs = _plan(files, batch, args.output, args.format, args.mode)
    _check_inputs(jobs, [layer_path] + ([args.mask] if args.mask else []))
    layer = _read(layer_path)
    mask = None
    if args.mask is not None:
        from .io import read_mask

        try:
            mask = read_mask(args.mask, _max_pixels)
        except MissingDependency:
            raise
        except ImageError as error:
            raise FileProblem(f"{args.mask}: {error}") from None
        if mask.shape != layer.shape[:2]:
            raise FileProblem(
                f"{args.mask}: the mask is {_size(mask)}; it must be the layer's size, {_size(layer)} ({layer_path})"
            )

    def work(job: Job, threads: Optional[int]) -> None:
        background = _read(job.source)
        _check_covers(job.source, background, layer, args.offset, layer_path)
        result = zarvel.blend(
            background,
            layer,
            args.mode,
            args.opacity,
            mask=mask,
            offset=args.offset,
            threads=threads,
            kernel=args.kernel,
        )
        _write(job.target, result, args.quality)

    return _run_batch(args, jobs, work)


def _run_stack(args) -> int:
    first_layer = next((i for i, text in enumerate(args.inputs) if ":" in text and not Path(text).exists()), None)
    if first_layer is None:
        raise UsageError("give a BACKGROUND and at least one LAYER:MODE, e.g. zarvel stack photo.jpg logo.png:screen")
    if first_layer == 0:
        raise UsageError(f"the first argument must be the BACKGROUND, got the layer {args.inputs[0]!r}")
    sources = args.inputs[:first_layer]
    stack_layers = [parse_layer_argument(text) for text in args.inputs[first_layer:]]
    if args.output is None:
        raise UsageError("give the output with -o OUT (a file, or a folder for several backgrounds)")
    files, batch = _expand(sources)
    if not files:
        return 1
    jobs = _plan(files, batch, args.output, args.format, "stack")
    _check_inputs(jobs, [layer_arg.path for layer_arg in stack_layers])
    layers = []
    for layer_arg in stack_layers:
        layers.append(zarvel.Layer(_read(layer_arg.path), layer_arg.mode, layer_arg.opacity))

    def work(job: Job, threads: Optional[int]) -> None:
        background = _read(job.source)
        result = zarvel.composite(background, layers, threads=threads, kernel=args.kernel)
        _write(job.target, result, args.quality)

    return _run_batch(args, jobs, work)


def _check_inputs(jobs: List[Job], others: List[Path]) -> None:
    """Refuse to write over an input file, or two results to one file."""
    inputs = {_resolved(path) for path in [job.source for job in jobs] + list(others)}
    seen: dict = {}
    for job in jobs:
        key = _resolved(job.target)
        if key in inputs:
            raise UsageError(f"{job.target}: the result would overwrite an input; choose another -o")
        if key in seen:
            raise UsageError(f"{seen[key]} and {job.source} would both be written to {job.target}")
        seen[key] = job.source


def _resolved(path: Path) -> str:
    try:
        return str(path.resolve())
    except (OSError, RuntimeError):
        return os.path.abspath(path)


def _check_covers(source: Path, background, layer, offset: Tuple[int, int], layer_path: Path) -> None:
    h, w = background.shape[:2]
    lh, lw = layer.shape[:2]
    oy, ox = offset
    if oy >= h or ox >= w or oy + lh <= 0 or ox + lw <= 0:
        raise FileProblem(
            f"{source}: the layer ({layer_path}, {_size(layer)}) at offset {oy},{ox} lies outside "
            f"the image ({_size(background)})"
        )


def _size(image) -> str:
    return f"{image.shape[1]}x{image.shape[0]}"


def _write(path: Path, image, quality: Optional[int]) -> None:
    from .io import write_image

    try:
        write_image(path, image, quality)
    except MissingDependency:
        raise
    except ImageError as error:
        raise FileProblem(f"{path}: {error}") from None


def _run_flatten(args) -> int:
    from . import ora

    source: Path = args.document
    target: Path = args.output if args.output is not None else Path(source.stem + ".png")
    _check_target(target)
    if _resolved(target) == _resolved(source):
        raise UsageError(f"{target}: the result would overwrite the document; choose another -o")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", ora.OraWarning)
        try:
            document = ora.read(source, _max_pixels)
            image = ora.flatten(
                document, np.uint16 if args.depth == 16 else np.uint8, kernel=args.kernel, threads=args.threads
            )
        except MissingDependency:
            raise
        except (ImageError, ValueError) as error:
            raise FileProblem(f"{source}: {error}") from None
        except MemoryError:
            raise FileProblem(f"{source}: not enough memory to flatten it") from None
    for warning in caught:
        if issubclass(warning.category, ora.OraWarning):
            _err(f"{source}: warning: {warning.message}")
    _write(target, image, args.quality)
    if not args.quiet:
        print(f"wrote {target} ({document.width}x{document.height})")
    return 0


# ---------------------------------------------------------------------------
# gallery and info


def _run_gallery(args) -> int:
    from . import gallery
    from .io import format_of

    try:
        format_of(args.output)
    except ImageError as error:
        raise UsageError(f"{args.output}: {error}") from None
    background = _read(args.background) if args.background else None
    layer = _read(args.layer) if args.layer else None
    start = time.perf_counter()
    result = gallery.build(background, layer, cell_width=args.cell, kernel=args.kernel, family=args.family)
    _write(args.output, result.image, None)
    total = time.perf_counter() - start
    cell_h, cell_w = result.cell_size
    print(f"modes ({len(result.modes)}): {' '.join(result.modes)}")
    print(f"kernel: {result.kernel}" + (" (auto)" if args.kernel == "auto" else ""))
    print(
        f"time: {len(result.modes)} blends of {cell_w}x{cell_h} pixels in {result.blend_seconds * 1e3:.1f} ms; "
        f"gallery drawn and written in {total:.2f} s"
    )
    print(f"wrote {args.output.resolve()} ({result.image.shape[1]}x{result.image.shape[0]})")
    if args.samples is not None:
        photo, logo = args.samples / "photo.jpg", args.samples / "logo.png"
        try:
            args.samples.mkdir(parents=True, exist_ok=True)
            photo.write_bytes(gallery.PHOTO.read_bytes())
        except OSError as error:
            raise FileProblem(f"{photo}: cannot write: {error.strerror or error}") from None
        _write(logo, gallery.make_logo(160), None)
        print(f"samples: {photo} (512x341 photograph), {logo} (160x160 colour wheel with a soft edge)")
    return 0


def _run_info(args) -> int:
    from .gallery import resolved_kernel

    available = [k for k in KERNELS if k != "auto" and zarvel.kernel_available(k)]
    print(f"zarvel {_version()}")
    print(f"kernels: {' '.join(available)} (auto runs {resolved_kernel('auto')})")
    print(f"threads: {_cpus()} (the CPUs this process may use; a blend uses them all unless told otherwise)")
    print(f"modes ({len(zarvel.MODES)}): {' '.join(zarvel.MODES)}")
    print(f"image files: {_io_libraries()}")
    return 0


def _io_libraries() -> str:
    from importlib.metadata import PackageNotFoundError, version

    found, missing = [], []
    for label, names in (
        ("Pillow", ("Pillow", "pillow")),
        ("tifffile", ("tifffile",)),
        (
            "OpenCV",
            ("opencv-python-headless", "opencv-python", "opencv-contrib-python", "opencv-contrib-python-headless"),
        ),
        ("tqdm", ("tqdm",)),
    ):
        for name in names:
            try:
                found.append(f"{label} {version(name)}")
                break
            except PackageNotFoundError:
                continue
        else:
            missing.append(label)
    text = ", ".join(found)
    if missing:
        text += f"{'; ' if found else ''}missing {', '.join(missing)} (pip install 'zarvel[io]')"
    return text


# ---------------------------------------------------------------------------

# ---------------------------------------------------------------------------
# Signals


def _stop_now(signum, frame) -> None:
    """Stop at once: remove the partial files of writes in progress, say so in one line, exit."""
    from .io import remove_partial_files

    remove_partial_files()
    status = 143 if signum == signal.SIGTERM else 130
    try:
        os.write(2, b"zarvel: stopped\n" if status == 130 else b"zarvel: terminated\n")
    except OSError:
        pass
    os._exit(status)


def _stop_at_once_on_signals() -> None:
    """After a first Ctrl-C: a second one (or SIGTERM) while the batch winds down stops at once."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, _stop_now)
        signal.signal(signal.SIGTERM, _stop_now)


def _install_signal_handlers() -> dict:
    """SIGTERM stops at once, leaving no partial file (its default would leave them).
    Returns the handlers to put back when the command is done."""
    if threading.current_thread() is not threading.main_thread():
        return {}
    previous = {number: signal.getsignal(number) for number in (signal.SIGINT, signal.SIGTERM)}
    if previous[signal.SIGTERM] == signal.SIG_DFL:
        signal.signal(signal.SIGTERM, _stop_now)
    return previous


def _restore_signal_handlers(previous: dict) -> None:
    for number, handler in previous.items():
        if handler is not None:
            signal.signal(number, handler)


# ---------------------------------------------------------------------------


def main(argv: Optional[Sequence[str]] = None) -> int:
    global _max_pixels
    # tifffile logs its complaints about damaged files; the command reports them itself.
    logging.getLogger("tifffile").setLevel(logging.CRITICAL)
    # Pillow warns about large images; the command has its own limit (--max-pixels).
    warnings.filterwarnings("ignore", message=r"Image size \(\d+ pixels\) exceeds limit")
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.command is None:
        parser.print_help()
        return 2
    sub = parser._subparsers._group_actions[0].choices[args.command]  # type: ignore[union-attr,index]  # argparse has no accessor
    try:
        _max_pixels = max_pixels_limit(getattr(args, "max_pixels", None))
    except ValueError as error:
        sub.error(str(error))
    previous = _install_signal_handlers()
    try:
        return args.run(args)
    except UsageError as error:
        sub.error(str(error))  # prints the usage line and the message, exits with status 2
    except FileProblem as error:
        _err(str(error))
        return 1
    except MissingDependency as error:
        _err(str(error))
        return 1
    except _Interrupted:
        return 130
    except KeyboardInterrupt:
        _err("interrupted")
        return 130
    except BrokenPipeError:  # the reader of our output went away (zarvel info | head -1)
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except Exception as error:  # not the user's fault: say what, but no traceback
        if os.environ.get("ZARVEL_DEBUG"):
            raise
        _err(f"internal error: {type(error).__name__}: {error} (set ZARVEL_DEBUG=1 to see where)")
        return 1
    finally:
        _restore_signal_handlers(previous)
    return 0
