"""The W3C family and linear light read and write only inside their buffers.

Backgrounds, layers and masks sit read-only against an inaccessible page (ending
right before it, or starting right after one), `out` writable with canaries
around it; layers of 0..40 pixels at the edges of small backgrounds, in every
kernel, each result equal to the call on ordinary copies. A fault kills the
process, so the cases run in a child process (this file as a script).
"""

import json
import os
import sys

import numpy as np

import zarvel
from guard_pages import Fenced, run_child

HERE = os.path.abspath(__file__)
MODES = ("svg:hue", "svg:color-dodge", "svg:dst-atop", "svg:plus")


def cases(rng):
    for bg_shape, bd, fd, cb, cf in (
        ((1, 40), np.uint8, np.uint8, 3, 3),
        ((40, 1), np.uint8, np.float32, 4, 3),
        ((5, 17), np.float32, np.uint8, 3, 4),
        ((5, 17), np.uint16, np.uint8, 4, 4),
    ):
        bg = rng.integers(0, 256, bg_shape + (cb,)).astype(bd)
        h, w = bg_shape
        for n in range(0, 41):
            shape = (1, n) if n % 2 else (n, 1)
            fg = rng.integers(0, 256, shape + (cf,)).astype(fd)
            mask = rng.integers(0, 256, shape, dtype=np.uint8) if n % 3 == 1 else None
            for offset in ((0, 0), (h - shape[0], w - shape[1]), (-shape[0] // 2, -shape[1] // 2), (h - 1, w - 1)):
                yield f"bg {bg_shape} {bg.dtype}{cb} layer {shape} {fg.dtype}{cf} at {offset}", bg, fg, mask, offset


def child_main(kernel, progress_path):
    progress = os.open(progress_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    rng = np.random.default_rng(41)
    fences = [Fenced(40 * 4 * 4 * 4) for _ in range(4)]  # background, layer, mask, out
    failures = []
    for i, (label, bg, fg, mask, offset) in enumerate(cases(rng)):
        mode, linear = MODES[i % len(MODES)], i % 3 == 0
        want = zarvel.blend(bg, fg, mode, 0.8, mask=mask, offset=offset, kernel=kernel, linear=linear)
        for at_end in (True, False):
            note = f"{mode} linear={linear} {label} placed at the {'end' if at_end else 'start'}"
            os.pwrite(progress, note.ljust(300).encode(), 0)
            gbg = fences[0].place(bg, at_end)
            gfg = fences[1].place(fg, at_end)
            gmask = None if mask is None else fences[2].place(mask, at_end)
            got = zarvel.blend(gbg, gfg, mode, 0.8, mask=gmask, offset=offset, kernel=kernel, linear=linear)
            out = fences[3].place(bg, at_end, writable=True)
            zarvel.blend(out, gfg, mode, 0.8, mask=gmask, offset=offset, kernel=kernel, linear=linear, out=out)
            if not fences[3].canaries_intact():
                failures.append(f"{note}: wrote outside out")
            for result in (got, out.copy()):
                if not np.array_equal(result, want, equal_nan=True):
                    failures.append(f"{note}: differs from the call on copies")
    print(json.dumps(failures))
    sys.stdout.flush()
    os._exit(0)


def test_w3c_next_to_guard_pages(kernel, tmp_path):
    failures = run_child(HERE, [kernel], tmp_path / "progress", kernel)
    assert not failures, f"{len(failures)} failures, e.g.\n" + "\n".join(failures[:8])


if __name__ == "__main__":
    sys.path.insert(0, os.path.dirname(HERE))
    child_main(*sys.argv[1:])
