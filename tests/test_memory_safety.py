"""No read or write outside the images, at every small size and alignment.

Each input is copied so that its data ends on the last byte before a page
mapped PROT_NONE, and its own pages are made read-only. A C-contiguous,
aligned input is used by the module in place (checked below), so a load past
the last pixel, or any store into an input, faults at once.

The output is allocated by NumPy inside the module. While a call runs, NumPy's
data allocator is swapped for one that places every buffer right before a
PROT_NONE page as well ("tight"), or 64-byte aligned with canary bytes filling
the gap up to that page ("aligned", so the aligned-output stages run); the
canaries are checked after the call, and the buffer is pre-filled with junk
so that an element the module forgets to write shows up.

Every result must equal, byte for byte, the result of the same call on
ordinary heap arrays placed at the same addresses modulo 64 (the stages a
call takes depend on alignment) and surrounded by other junk.

A fault kills the process, so each group of cases runs in a child process
(this file, run as a script); the test reports the signal, the last case
started and the tail of the child's stderr (a sanitizer report, if any).
"""

import contextlib
import ctypes
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import _zarvel
import guard_pages
import images
from guard_pages import MAP_ANONYMOUS, MAP_PRIVATE, PAGE, PROT_NONE, PROT_READ, PROT_WRITE, Fenced, libc, protect

try:
    import zarvel

    MODES = tuple(zarvel.MODES)
except (ImportError, AttributeError):
    MODES = tuple(n for n in dir(_zarvel) if not n.startswith("_") and n != "kernel_available")

DTYPES = (np.uint8, np.float32)
COMBOS = [(bd, fd, cb, cf) for bd in DTYPES for fd in DTYPES for cb in (3, 4) for cf in (3, 4)]
MAX_PIXELS = 40
OPACITIES = (0.5, 1.0)  # 1.0 also takes normal's copy of a 3-channel foreground
PLACEMENTS = ("tight", "aligned")
HERE = os.path.abspath(__file__)


def placed_at(image, residue, rng, shift=64):
    """An ordinary heap copy of `image` starting at `residue` modulo 64, junk before and after."""
    image = np.ascontiguousarray(image)
    n = image.nbytes
    buf = rng.integers(0, 256, n + 3 * shift, dtype=np.uint8)
    start = shift + (residue - (buf.ctypes.data + shift)) % 64
    buf[start : start + n] = image.reshape(-1).view(np.uint8)
    view = np.frombuffer(buf, image.dtype, image.size, start).reshape(image.shape)
    assert view.ctypes.data % 64 == residue % 64
    return view


# ---------------------------------------------------------------------------
# NumPy's data allocator, swapped for one that puts buffers before a guard page.

_MALLOC = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)
_CALLOC = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t)
_REALLOC = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)
_FREE = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)


class _Allocator(ctypes.Structure):
    _fields_ = [
        ("ctx", ctypes.c_void_p),
        ("malloc", _MALLOC),
        ("calloc", _CALLOC),
        ("realloc", _REALLOC),
        ("free", _FREE),
    ]


class _Handler(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char * 127), ("version", ctypes.c_uint8), ("allocator", _Allocator)]


CANARY = 0xCD
HANDLER_NAME = "zarvel_guarded"
_SET_HANDLER_SLOT = 304  # PyDataMem_SetHandler in NumPy's C-API table (NumPy >= 1.22)
_KEEP = []


class GuardedOutputs:
    """A NumPy memory handler: each buffer ends at (or, aligned, shortly before) a guard page."""

    def __init__(self):
        _KEEP.append(self)  # arrays hold our capsule: the handler must outlive them
        self.placement = "tight"
        self.fill = 0x5A
        self.allocations = 0
        self.live = {}  # data pointer -> (mapping base, mapping length, size, guard)
        self._callbacks = (_MALLOC(self._malloc), _CALLOC(self._calloc), _REALLOC(self._realloc), _FREE(self._free))
        self._handler = _Handler(HANDLER_NAME.encode(), 1, _Allocator(None, *self._callbacks))
        self._name = b"mem_handler"
        new_capsule = ctypes.pythonapi.PyCapsule_New
        new_capsule.restype = ctypes.py_object
        new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
        self.capsule = new_capsule(ctypes.addressof(self._handler), self._name, None)
        try:
            from numpy._core import _multiarray_umath as umath
        except ImportError:  # NumPy 1.x
            from numpy.core import _multiarray_umath as umath
        get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
        get_pointer.restype = ctypes.c_void_p
        get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        table = ctypes.cast(get_pointer(umath._ARRAY_API, None), ctypes.POINTER(ctypes.c_void_p))
        self._set = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(table[_SET_HANDLER_SLOT])

    def _allocate(self, size):
        pages = -(-(size + 64) // PAGE) + 1
        base = libc.mmap(None, pages * PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
        if base is None or base == ctypes.c_void_p(-1).value:
            return None
        guard = base + (pages - 1) * PAGE
        protect(guard, PAGE, PROT_NONE)
        ptr = guard - size
        if self.placement == "aligned":
            ptr -= ptr % 64
        ctypes.memset(ptr, self.fill, size)
        ctypes.memset(ptr + size, CANARY, guard - ptr - size)
        self.live[ptr] = (base, pages * PAGE, size, guard)
        self.allocations += 1
        return ptr

    def _malloc(self, ctx, size):
        return self._allocate(size)

    def _calloc(self, ctx, count, size):
        ptr = self._allocate(count * size)
        if ptr is not None:
            ctypes.memset(ptr, 0, count * size)
        return ptr

    def _realloc(self, ctx, ptr, size):
        new = self._allocate(size)
        if new is not None and ptr:
            old = self.live.pop(ptr)
            ctypes.memmove(new, ptr, min(size, old[2]))
            libc.munmap(old[0], old[1])
        return new

    def _free(self, ctx, ptr, size):
        if ptr in self.live:
            base, length, _, _ = self.live.pop(ptr)
            libc.munmap(base, length)

    def canaries_intact(self, array):
        _, _, size, guard = self.live[array.ctypes.data]
        ptr = array.ctypes.data
        return ctypes.string_at(ptr + size, guard - ptr - size) == bytes([CANARY]) * (guard - ptr - size)

    @contextlib.contextmanager
    def active(self, placement, fill):
        self.placement, self.fill = placement, fill
        previous = self._set(self.capsule)
        try:
            yield self
        finally:
            self._set(previous)


def handler_name(array):
    try:
        from numpy._core.multiarray import get_handler_name
    except ImportError:  # NumPy 1.x
        from numpy.core.multiarray import get_handler_name
    return get_handler_name(array)


# ---------------------------------------------------------------------------
# The cases, run inside a child process.


def make_image(rng, pixels, c, dtype):
    """One row of `pixels` pixels; floats beyond 0..255, with NaNs."""
    return images.make_image(
        rng,
        1,
        pixels,
        c,
        dtype,
        low=-10,
        high=265,
        halves=0,
        special=0.05,
        specials=[np.nan],
        transparent=0.25,
        opaque=0.25,
    )


def same_bytes(a, b):
    return a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes()


class Runner:
    def __init__(self, mode, kernel, progress_path):
        self.blend = getattr(_zarvel, mode)
        self.kernel = kernel
        self.outputs = GuardedOutputs()
        self.progress = os.open(progress_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
        self.failures = []
        with self.outputs.active("tight", 0):
            probe = np.empty(5, np.uint8)
        assert handler_name(probe) == HANDLER_NAME, "the guarded allocator is not in use"
        del probe

    def note(self, text):
        os.pwrite(self.progress, text.ljust(240).encode(), 0)

    def call(self, bg, fg, opacity, placement, fill):
        """The blend result as an ordinary array, after checking the output's canaries."""
        with self.outputs.active(placement, fill):
            out = self.blend(bg, fg, opacity, self.kernel)
        intact = self.outputs.canaries_intact(out)
        result = np.array(out, copy=True)
        del out
        return result, intact

    def check(self, label, guarded, ordinary, opacity):
        for placement in PLACEMENTS:
            self.note(f"{label} opacity={opacity} output={placement}")
            got, intact = self.call(*guarded, opacity, placement, 0x5A)
            if not intact:
                self.failures.append(f"{label} opacity={opacity} output={placement}: wrote past the output")
            want, intact = self.call(*ordinary, opacity, placement, 0xA7)
            if not intact:
                self.failures.append(
                    f"{label} opacity={opacity} output={placement}: wrote past the output (ordinary inputs)"
                )
            if not same_bytes(got, want):
                self.failures.append(
                    f"{label} opacity={opacity} output={placement}: guarded inputs give "
                    "another result than ordinary ones (or an element left unwritten)"
                )
        # NumPy's own allocator (16-byte aligned buffers) gives what the aligned placement gave
        plain = self.blend(*ordinary, opacity, self.kernel)
        if plain.ctypes.data % 16 == 0 and not same_bytes(plain, want):
            self.failures.append(f"{label} opacity={opacity}: NumPy's allocator gives another result")

    def every_size(self):
        rng = np.random.default_rng(2024)
        slots = Fenced(), Fenced()
        for pixels in range(MAX_PIXELS + 1):
            for bd, fd, cb, cf in COMBOS:
                bg, fg = make_image(rng, pixels, cb, bd), make_image(rng, pixels, cf, fd)
                gbg, gfg = slots[0].place(bg), slots[1].place(fg)
                obg = placed_at(bg, gbg.ctypes.data % 64, rng)
                ofg = placed_at(fg, gfg.ctypes.data % 64, rng)
                label = f"1x{pixels} {np.dtype(bd).name}{cb} over {np.dtype(fd).name}{cf}"
                for opacity in OPACITIES:
                    self.check(label, (gbg, gfg), (obg, ofg), opacity)
        # opacity 0 returns a copy of the background, whatever the mode
        self.check("1x40 copy of the background", (gbg, gfg), (obg, ofg), 0.0)

    def misaligned(self):
        """Two 3-channel 8-bit images, one starting 0..15 bytes past a 16-byte boundary."""
        rng = np.random.default_rng(77)
        slot = Fenced()
        for pixels in range(MAX_PIXELS + 1):
            for shift in range(16):
                a, b = make_image(rng, pixels, 3, np.uint8), make_image(rng, pixels, 3, np.uint8)
                shifted = placed_at(a, shift, rng)
                guarded = slot.place(b)
                ordinary = placed_at(b, guarded.ctypes.data % 64, rng)
                copy = placed_at(a, shift, rng)
                label = f"1x{pixels} u8 RGB, one input at +{shift} bytes"
                self.check(label + " (background)", (shifted, guarded), (copy, ordinary), 0.5)
                self.check(label + " (foreground)", (guarded, shifted), (ordinary, copy), 0.5)


def child_main(argv):
    group, mode, kernel, progress_path = argv
    runner = Runner(mode, kernel, progress_path)
    getattr(runner, group)()
    print(json.dumps(runner.failures))
    sys.stdout.flush()
    os._exit(0)  # buffers from the guarded allocator may still be referenced at exit


# ---------------------------------------------------------------------------
# The tests.


def run_child(tmp_path, group, mode, kernel):
    failures = guard_pages.run_child(HERE, [group, mode, kernel], tmp_path / "progress", f"{mode} on {kernel}")
    assert not failures, f"{mode} on {kernel}: {len(failures)} failures, e.g.\n" + "\n".join(failures[:8])


@pytest.mark.parametrize("mode", MODES)
def test_every_size_and_type_next_to_guard_pages(mode, kernel, tmp_path):
    run_child(tmp_path, "every_size", mode, kernel)


@pytest.mark.parametrize("mode", MODES)
def test_misaligned_rgb_u8_views(mode, kernel, tmp_path):
    run_child(tmp_path, "misaligned", mode, kernel)


@pytest.mark.parametrize(
    "at_end, touch",
    [
        (True, "ctypes.string_at(v.ctypes.data + v.nbytes, 1)"),  # a read past the end
        (False, "ctypes.string_at(v.ctypes.data - 1, 1)"),  # a read before the start
        (True, "ctypes.memset(v.ctypes.data, 0, 1)"),  # a write into a read-only array
    ],
)
def test_guards_fault(at_end, touch):
    """The fences and read-only pages really fault (in a child, which dies of SIGSEGV),
    and the same child without the bad access exits normally."""
    code = (
        "import ctypes, sys; sys.path.insert(0, %r); import guard_pages, numpy as np\n"
        "v = guard_pages.Fenced().place(np.ones((1, 8, 4), np.uint8), at_end=%r)\n" % (os.path.dirname(HERE), at_end)
    )
    assert subprocess.run([sys.executable, "-c", code], timeout=120).returncode == 0
    proc = subprocess.run([sys.executable, "-c", code + touch], capture_output=True, timeout=120)
    assert proc.returncode != 0, proc.stderr[-2000:]


def test_inputs_are_used_in_place(kernel):
    """Aligned C-contiguous inputs, read-only and guard-backed, are not copied: the only
    buffer NumPy allocates during a call is the output. A strided input is copied."""
    rng = np.random.default_rng(3)
    outputs = GuardedOutputs()
    bg_slot, fg_slot = Fenced(64 * 64 * 16), Fenced(64 * 64 * 16)
    for bd, fd, cb, cf in COMBOS:
        bg, fg = make_image(rng, 64 * 64, cb, bd), make_image(rng, 64 * 64, cf, fd)
        gbg, gfg = bg_slot.place(bg), fg_slot.place(fg)
        assert not gbg.flags.writeable and gbg.flags.c_contiguous and gbg.flags.aligned
        for mode in ("normal", "multiply") if "multiply" in MODES else MODES[:1]:
            with outputs.active("aligned", 0):
                before = outputs.allocations
                out = getattr(_zarvel, mode)(gbg, gfg, 0.5, kernel)
                made = outputs.allocations - before
                del out
            assert made == 1, f"{mode} {bd.__name__}{cb}/{fd.__name__}{cf}: {made} buffers allocated"
        strided = np.repeat(fg, 2, axis=1)[:, ::2]
        with outputs.active("aligned", 0):
            before = outputs.allocations
            out = getattr(_zarvel, MODES[0])(gbg, strided, 0.5, kernel)
            made = outputs.allocations - before
            del out
        assert made == 2, "a strided foreground should have been copied"


if __name__ == "__main__":
    child_main(sys.argv[1:])
