"""The engine reads and writes only inside its buffers, at every edge.

Backgrounds, layers and masks are placed read-only against an inaccessible
page, once ending right before it and once starting right after one, so a read
past either end faults at once; `out` (separate, or the background itself for
in-place work) is placed the same way but writable, with canary bytes around
it that must survive. Layers of 0..40 pixels sit at every edge of small
backgrounds, with and without masks, in every kernel; each result must also
equal the reference (module calls on copies). A fault kills the process, so
the cases run in a child process (this file as a script) that reports the case
it was in.
"""

import json
import os
import sys

import numpy as np

import engine_reference as ref
import zarvel
from guard_pages import Fenced, run_child

HERE = os.path.abspath(__file__)


def image(rng, shape, c, dtype):
    if np.dtype(dtype) == np.uint8:
        return rng.integers(0, 256, shape + (c,), dtype=np.uint8)
    return rng.uniform(-5, 260, shape + (c,)).astype(dtype)


def cases(rng):
    """(label, background, layer, mask, offset) at every edge of small backgrounds."""
    for bg_shape in ((1, 40), (40, 1), (5, 17)):
        for bd, fd, cb, cf in (
            (np.uint8, np.uint8, 3, 3),
            (np.uint8, np.float32, 4, 3),
            (np.float32, np.uint8, 3, 4),
            (np.uint16, np.uint8, 4, 4),
        ):
            bg = image(rng, bg_shape, cb, bd)
            h, w = bg_shape
            for n in range(0, 41):
                for shape in ((1, n), (n, 1)):
                    if 0 in shape and n:
                        continue
                    fg = image(rng, shape, cf, fd)
                    for offset in (
                        (0, 0),
                        (h - shape[0], w - shape[1]),
                        (-shape[0] // 2, -shape[1] // 2),
                        (h - 1, w - 1),
                        (h // 2, -1),
                        (-1, w // 2),
                    ):
                        mask = (
                            rng.integers(0, 256, shape, dtype=np.uint8)
                            if n % 3 == 1
                            else rng.random(shape).astype(np.float32)
                            if n % 3 == 2
                            else None
                        )
                        yield (
                            f"bg {bg_shape} {np.dtype(bd).name}{cb} layer {shape} {np.dtype(fd).name}{cf} "
                            f"at {offset} mask={None if mask is None else mask.dtype}",
                            bg,
                            fg,
                            mask,
                            offset,
                        )


def child_main(kernel, progress_path):
    progress = os.open(progress_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    rng = np.random.default_rng(31)
    fences = [Fenced(40 * 4 * 4 * 4) for _ in range(4)]  # background, layer, mask, out
    failures = []
    for label, bg, fg, mask, offset in cases(rng):
        want = ref.composite(bg, [(fg, "screen", 0.6, mask, offset)], kernel)
        for at_end in (True, False):
            note = f"{label} placed at the {'end' if at_end else 'start'}"
            os.pwrite(progress, note.ljust(300).encode(), 0)
            gbg = fences[0].place(bg, at_end)
            gfg = fences[1].place(fg, at_end)
            gmask = None if mask is None else fences[2].place(mask, at_end)
            for target in ("new", "separate", "in place"):
                os.pwrite(progress, f"{note}, out {target}".ljust(300).encode(), 0)
                if target == "new":
                    got = zarvel.blend(gbg, gfg, "screen", 0.6, mask=gmask, offset=offset, kernel=kernel)
                else:
                    fence = fences[3]
                    out = fence.place(np.zeros_like(bg) if target == "separate" else bg, at_end, writable=True)
                    got = zarvel.blend(
                        out if target == "in place" else gbg,
                        gfg,
                        "screen",
                        0.6,
                        mask=gmask,
                        offset=offset,
                        out=out,
                        kernel=kernel,
                        threads=2,
                    )
                    if not fence.canaries_intact():
                        failures.append(f"{note}, out {target}: wrote outside out")
                    got = got.copy()
                if not np.array_equal(got, want, equal_nan=got.dtype.kind == "f"):
                    failures.append(f"{note}, out {target}: differs from the module calls on copies")
    print(json.dumps(failures))
    sys.stdout.flush()
    os._exit(0)


def test_layers_at_every_edge_next_to_guard_pages(kernel, tmp_path):
    failures = run_child(HERE, [kernel], tmp_path / "progress", kernel)
    assert not failures, f"{len(failures)} failures, e.g.\n" + "\n".join(failures[:8])


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(HERE))
    child_main(*sys.argv[1:])
