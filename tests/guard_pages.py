"""Buffers against inaccessible pages, and child processes for the cases that use them.

A read past either end of a fenced array, or a write into a read-only one,
faults at once; a fault kills the process, so such cases run in a child
process (the test module run as a script) that records the case it is in.
"""

import ctypes
import json
import mmap
import os
import signal
import subprocess
import sys

import numpy as np
import pytest

PAGE = mmap.PAGESIZE
PROT_NONE, PROT_READ, PROT_WRITE = 0, 1, 2
MAP_PRIVATE, MAP_ANONYMOUS = 0x02, 0x20
CANARY = 0xC3
libc = ctypes.CDLL(None, use_errno=True)
libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
libc.mprotect.restype = ctypes.c_int
libc.mmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int, ctypes.c_int, ctypes.c_int, ctypes.c_long]
libc.mmap.restype = ctypes.c_void_p
libc.munmap.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
libc.munmap.restype = ctypes.c_int


def protect(address, length, prot):
    if length and libc.mprotect(address, length, prot) != 0:
        raise OSError(ctypes.get_errno(), "mprotect failed")


class Fenced:
    """One buffer between two inaccessible pages; an array sits at its start or its end,
    read-only or writable, with canary bytes in the rest of the buffer."""

    def __init__(self, nbytes=PAGE):
        self.pages = max(-(-nbytes // PAGE), 1)
        self.map = mmap.mmap(-1, (self.pages + 2) * PAGE)
        self.base = ctypes.addressof(ctypes.c_char.from_buffer(self.map))
        self.bytes = np.frombuffer(self.map, np.uint8)
        protect(self.base, PAGE, PROT_NONE)
        protect(self.base + (self.pages + 1) * PAGE, PAGE, PROT_NONE)

    def place(self, array, at_end=True, writable=False):
        """A copy of `array` whose last byte is the last before the trailing inaccessible page
        (`at_end`) or whose first byte is the first after the leading one."""
        array = np.ascontiguousarray(array)
        n = array.nbytes
        inner = self.pages * PAGE
        assert n <= inner
        protect(self.base + PAGE, inner, PROT_READ | PROT_WRITE)
        start = PAGE + (inner - n if at_end else 0)
        self.bytes[PAGE : PAGE + inner] = CANARY
        self.bytes[start : start + n] = array.reshape(-1).view(np.uint8)
        if not writable:
            protect(self.base + PAGE, inner, PROT_READ)
        self.span = (start, n)
        # frombuffer keeps the address of an empty view too (a slice would not)
        view = np.frombuffer(self.map, array.dtype, array.size, start).reshape(array.shape)
        view.flags.writeable = writable
        return view

    def canaries_intact(self):
        start, n = self.span
        inner = self.bytes[PAGE : PAGE + self.pages * PAGE]
        before, after = inner[: start - PAGE], inner[start - PAGE + n :]
        return bool((before == CANARY).all() and (after == CANARY).all())


def run_child(script, args, progress, what, timeout=1800):
    """Runs `script args... progress` in a child with this process's import path; the child
    writes the case it is in to `progress` and prints a JSON list of failures last. Fails
    the test with the signal and the case if the child dies; returns the failures."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p and os.path.isdir(p)))
    proc = subprocess.run(
        [sys.executable, "-X", "faulthandler", script, *args, str(progress)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    last = progress.read_text().strip() if progress.exists() else "(none started)"
    if proc.returncode != 0:
        how = (
            f"signal {signal.Signals(-proc.returncode).name}"
            if proc.returncode < 0
            else f"exit status {proc.returncode}"
        )
        pytest.fail(
            f"{what}: child died with {how} during: {last}\n--- stderr (tail) ---\n{proc.stderr[-6000:]}", pytrace=False
        )
    return json.loads(proc.stdout.strip().splitlines()[-1])
