// zarvel._engine: the compositing engine for the zarvel package.
//
// The package checks every argument and reports what is wrong in the
// caller's terms; this module takes the checked job as arrays and plain
// numbers, checks again only what keeps memory safe, and runs it without the
// interpreter lock.
//
//   composite(background, out, layers, kernel, threads, unit_scale,
//             premultiplied[, band_bytes]) -> None
//     background, out: 4-dimensional arrays (frames, height, width, 3 or 4),
//       uint8, uint16, float32 or float64, the same shape and type; out
//       writable with adjacent pixels, and either the background itself or
//       not overlapping it.
//     layers: a tuple of (mode, opacity, image, mask, top, left, height,
//       width, image_top, image_left[, linear]): mode an index into modes(),
//       or len(modes()) + i for the i-th of w3c_modes(); linear (default
//       False) blends in linear light; image a
//       4-dimensional array with 1 or `frames` frames, mask None or a
//       3-dimensional uint8/float32 array over the image with 1 or `frames`
//       frames, the rest the visible rectangle.
//     kernel: a kernel name; threads: 0 (every CPU) or more; unit_scale: float images
//       hold 0..1; premultiplied: RGBA images hold premultiplied colour;
//       band_bytes (optional): the size of a band of output, for tests that
//       need many small bands.
//   plain(background, layers, out, threads, kernel, scale, premultiplied,
//         band_bytes) -> the result, or NotImplemented
//     The common call checked and run in one step: NumPy arrays (not
//     subclasses) in native byte order with adjacent channels, layers as
//     (image, mode name, opacity, (y, x)) without masks, out None or an array
//     that shares no memory with the inputs (or is the background itself),
//     threads None or an int, kernel a name, scale 255 or 1, premultiplied
//     True or False; the arguments of the package's blend and composite.
//     Anything else, and anything wrong, returns NotImplemented without
//     touching anything: the package then checks the call itself and says
//     what is wrong in its own words.
//   spans_meet(a, b) -> bool
//     Whether the bytes two arrays' elements may occupy meet: False means
//     they share no memory (without NumPy's costlier exact test).
//   modes() -> tuple of (name, kind, group, place), in the module's order:
//     the mode list of modes.hpp.
//   mode_groups() -> tuple of (group, heading, text), in the gallery's order.
//   w3c_modes() -> tuple of (name, css, kind, row): the W3C family, the list
//     of w3c_modes.hpp; w3c_rows() -> tuple of (row, heading, text).
//   kernels() -> tuple of (name, pixels, module_name, results_of), in order:
//     the kernel list of image_view.hpp.
//   PIXEL_GROUP: no kernel's stage straddles a multiple of this pixel index.
//   _pixel_by_pixel_formats(on) -> previous setting: for tests, the original
//     per-pixel conversions instead of the vector ones.
//   _working_pixels(image, kernel, unit_scale, premultiplied) -> float32 array,
//   _stored_pixels(working, out, kernel, unit_scale, premultiplied) -> None:
//     for tests, the conversions on their own.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL ZARVEL_ENGINE_ARRAY_API
#include <numpy/arrayobject.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "cpu_features.hpp"
#include "engine/convert.hpp"
#include "engine/engine.hpp"
#include "modes.hpp"
#include "w3c_modes.hpp"

namespace {

struct ModeEntry {
    const char* name;
    const char* kind;
    const char* group;
    int place;
    const ModeLoops* loops;
};

#define ZV_MODE_ENTRY(mode, kind, group, place) {#mode, #kind, #group, place, &mode##_loops},
const ModeEntry kModes[] = {ZV_MODES(ZV_MODE_ENTRY)};
#undef ZV_MODE_ENTRY
constexpr Py_ssize_t kModeCount = sizeof(kModes) / sizeof(kModes[0]);

// The W3C family, after the modes above in the engine's numbering.
struct W3cEntry {
    const char *name, *css, *kind;
    int row;
};
#define ZV_W3C_ENTRY(id, name, css, kind, row) {name, css, #kind, row},
const W3cEntry kW3cModes[] = {ZV_W3C_MODES(ZV_W3C_ENTRY)};
#undef ZV_W3C_ENTRY

// The loops of the engine's mode number `mode`, or null.
const ModeLoops* loops_of(Py_ssize_t mode) {
    if (mode >= 0 && mode < kModeCount) return kModes[mode].loops;
    if (mode >= kModeCount && mode < kModeCount + kW3cModeCount) return kW3cLoops[mode - kModeCount];
    return nullptr;
}

int fail(const char* message) {
    PyErr_Format(PyExc_ValueError, "engine: %s", message);
    return 0;
}

PyObject* fail_call(const char* message) {
    fail(message);
    return nullptr;
}

// How the images of a call are stored, besides their element type.
struct Storage {
    bool unit_scale, premultiplied;
};

// A 4-dimensional image array in native order as a grid.
int to_grid(PyObject* object, Storage storage, zv_engine::Grid* grid) {
    if (!PyArray_Check(object)) return fail("images must be NumPy arrays");
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(object);
    zv_engine::Format format;
    switch (PyArray_TYPE(a)) {
        case NPY_UINT8: format = zv_engine::Format::u8; break;
        case NPY_UINT16: format = zv_engine::Format::u16; break;
        case NPY_FLOAT32: format = zv_engine::Format::f32; break;
        case NPY_FLOAT64: format = zv_engine::Format::f64; break;
        default: return fail("images must be uint8, uint16, float32 or float64");
    }
    if (PyArray_NDIM(a) != 4 || !PyArray_ISNOTSWAPPED(a)) return fail("images must be 4-dimensional and native");
    const npy_intp* shape = PyArray_DIMS(a);
    const npy_intp* strides = PyArray_STRIDES(a);
    // An image without pixels may have any strides (NumPy often gives zeros);
    // nothing is read or written through them.
    if ((shape[3] != 3 && shape[3] != 4) || (PyArray_SIZE(a) > 0 && strides[3] != PyArray_ITEMSIZE(a)))
        return fail("images must have 3 or 4 adjacent channels");
    *grid = {PyArray_DATA(a), format, static_cast<int>(shape[3]), shape[0], shape[1], shape[2], strides[0],
             strides[1], strides[2], storage.unit_scale, storage.premultiplied};
    return 1;
}

int to_mask(PyObject* object, const zv_engine::Grid& image, zv_engine::MaskGrid* mask) {
    *mask = {};
    if (object == Py_None) return 1;
    if (!PyArray_Check(object)) return fail("a mask must be a NumPy array");
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(object);
    const int type = PyArray_TYPE(a);
    if (PyArray_NDIM(a) != 3 || (type != NPY_UINT8 && type != NPY_FLOAT32) || !PyArray_ISNOTSWAPPED(a))
        return fail("a mask must be a 3-dimensional native uint8 or float32 array");
    if (PyArray_DIM(a, 1) != image.height || PyArray_DIM(a, 2) != image.width)
        return fail("a mask must have its image's height and width");
    const npy_intp* strides = PyArray_STRIDES(a);
    *mask = {PyArray_DATA(a), type == NPY_UINT8, PyArray_DIM(a, 0), strides[0], strides[1], strides[2]};
    return 1;
}

bool within(Py_ssize_t start, Py_ssize_t size, zv_index extent) { return start >= 0 && size >= 0 && start <= extent - size; }

int to_layer(PyObject* item, Storage storage, const zv_engine::Grid& bg, zv_engine::Layer* layer,
             std::vector<PyObject*>& held) {
    const zv_index frames = bg.frames;
    int mode, linear = 0;
    double opacity;
    PyObject *image, *mask;
    Py_ssize_t top, left, height, width, image_top, image_left;
    if (!PyTuple_Check(item) || !PyArg_ParseTuple(item, "idOOnnnnnn|p", &mode, &opacity, &image, &mask, &top, &left,
                                                  &height, &width, &image_top, &image_left, &linear)) {
        if (!PyErr_Occurred()) fail("a layer must be a tuple");
        return 0;
    }
    layer->mode = loops_of(mode);
    if (layer->mode == nullptr) return fail("unknown mode index");
    layer->linear = linear != 0;
    layer->opacity = static_cast<float>(opacity);
    if (!to_grid(image, storage, &layer->image) || !to_mask(mask, layer->image, &layer->mask)) return 0;
    if (layer->image.frames != 1 && layer->image.frames != frames) return fail("a layer needs 1 frame or one per frame");
    if (layer->mask.data != nullptr && layer->mask.frames != 1 && layer->mask.frames != frames)
        return fail("a mask needs 1 frame or one per frame");
    if (!within(top, height, bg.height) || !within(left, width, bg.width) ||
        !within(image_top, height, layer->image.height) || !within(image_left, width, layer->image.width))
        return fail("a layer's rectangle must lie inside the background and the image");
    layer->top = top;
    layer->left = left;
    layer->height = height;
    layer->width = width;
    layer->image_top = image_top;
    layer->image_left = image_left;
    held.push_back(image);
    held.push_back(mask);
    return 1;
}

// Writes to `out` must not land on each other (threads write bands at once):
// each row starts past the end of the one before, each frame past the end of
// the last row of the one before. (A frame of one row may have any row
// stride, so the frame test measures the rows it has, not height x stride.)
bool rows_apart(const zv_engine::Grid& g) {
    const std::ptrdiff_t row = g.width * g.pixel_stride;
    return g.pixel_stride > 0 && (g.height <= 1 || g.row_stride >= row) &&
           (g.frames <= 1 || g.frame_stride >= (g.height - 1) * g.row_stride + row);
}

PyObject* composite(PyObject*, PyObject* args) {
    PyObject *bg_obj, *out_obj, *layers_obj;
    const char* kernel_name;
    int threads, unit_scale, premultiplied;
    Py_ssize_t band_bytes = 0;
    if (!PyArg_ParseTuple(args, "OOO!sipp|n", &bg_obj, &out_obj, &PyTuple_Type, &layers_obj, &kernel_name, &threads,
                          &unit_scale, &premultiplied, &band_bytes))
        return nullptr;
    const Storage storage{unit_scale != 0, premultiplied != 0};
    zv_engine::Job job{};
    if (!to_grid(bg_obj, storage, &job.background) || !to_grid(out_obj, storage, &job.out)) return nullptr;
    PyArrayObject* out_array = reinterpret_cast<PyArrayObject*>(out_obj);
    const zv_engine::Grid &bg = job.background, &out = job.out;
    if (!PyArray_ISWRITEABLE(out_array)) return fail_call("out must be writable");
    if (out.format != bg.format || out.channels != bg.channels || out.frames != bg.frames ||
        out.height != bg.height || out.width != bg.width)
        return fail_call("out must have the background's shape and type");
    if (PyArray_SIZE(out_array) > 0 && (out.pixel_stride != out.channels * PyArray_ITEMSIZE(out_array) ||
                                        !rows_apart(out)))
        return fail_call("out must have adjacent pixels in rows that do not overlap");
    if (threads < 0) return fail_call("threads must be 0 (every CPU) or more");

    // References for the whole call: the layer tuple is the caller's, but its
    // arrays must outlive the work even if another thread lets go of them.
    std::vector<PyObject*> held{bg_obj, out_obj};
    const Py_ssize_t count = PyTuple_GET_SIZE(layers_obj);
    job.layers.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!to_layer(PyTuple_GET_ITEM(layers_obj, i), storage, bg, &job.layers[i], held)) return nullptr;
    }
    job.kernel = pick_kernel(kernel_name);
    job.threads = threads;
    job.band_bytes = band_bytes;

    for (PyObject* o : held) Py_INCREF(o);
    PyObject* result = Py_None;
    try {
        zv_engine::Plan plan(job);
        Py_BEGIN_ALLOW_THREADS
        plan.run();
        Py_END_ALLOW_THREADS
    } catch (const std::bad_alloc&) {
        result = PyErr_NoMemory();
    }
    for (PyObject* o : held) Py_DECREF(o);
    if (result == nullptr) return nullptr;
    Py_RETURN_NONE;
}

// ---- the common call ------------------------------------------------------------

// A plain image argument: an ndarray (not a subclass) of 3 or 4 dimensions with
// pixels, of an image type in native order, with 3 or 4 adjacent channels.
bool plain_grid(PyObject* object, Storage storage, zv_engine::Grid* grid) {
    if (!PyArray_CheckExact(object)) return false;
    PyArrayObject* a = reinterpret_cast<PyArrayObject*>(object);
    const int ndim = PyArray_NDIM(a);
    if ((ndim != 3 && ndim != 4) || PyArray_SIZE(a) == 0 || !PyArray_ISNOTSWAPPED(a)) return false;
    zv_engine::Format format;
    switch (PyArray_TYPE(a)) {
        case NPY_UINT8: format = zv_engine::Format::u8; break;
        case NPY_UINT16: format = zv_engine::Format::u16; break;
        case NPY_FLOAT32: format = zv_engine::Format::f32; break;
        case NPY_FLOAT64: format = zv_engine::Format::f64; break;
        default: return false;
    }
    const npy_intp* shape = PyArray_DIMS(a);
    const npy_intp* strides = PyArray_STRIDES(a);
    const int lead = ndim - 3;
    const npy_intp channels = shape[lead + 2];
    if ((channels != 3 && channels != 4) || strides[lead + 2] != PyArray_ITEMSIZE(a)) return false;
    *grid = {PyArray_DATA(a), format, static_cast<int>(channels), lead ? shape[0] : 1, shape[lead],
             shape[lead + 1], lead ? strides[0] : 0, strides[lead], strides[lead + 1], storage.unit_scale,
             storage.premultiplied};
    return true;
}

// The bytes an array's elements may occupy, [first, last).
void byte_span(PyArrayObject* a, const char** first, const char** last) {
    const char* data = static_cast<const char*>(PyArray_DATA(a));
    std::ptrdiff_t low = 0, high = PyArray_ITEMSIZE(a);
    for (int i = 0; i < PyArray_NDIM(a); ++i) {
        const std::ptrdiff_t reach = (PyArray_DIM(a, i) - 1) * PyArray_STRIDE(a, i);
        (reach < 0 ? low : high) += reach;
    }
    *first = data + low;
    *last = data + high;
}

bool may_share(PyArrayObject* a, PyArrayObject* b) {
    const char *a0, *a1, *b0, *b1;
    byte_span(a, &a0, &a1);
    byte_span(b, &b0, &b1);
    return a0 < b1 && b0 < a1;
}

// A Python int (not a bool or another subclass) as a Py_ssize_t.
bool exact_index(PyObject* object, Py_ssize_t* value) {
    if (!PyLong_CheckExact(object)) return false;
    *value = PyLong_AsSsize_t(object);
    if (*value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// A mode's index by name (a str, not a subclass), or -1.
int mode_index(PyObject* name) {
    if (!PyUnicode_CheckExact(name)) return -1;
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) {
        PyErr_Clear();
        return -1;
    }
    for (int i = 0; i < kModeCount; ++i) {
        if (std::strlen(kModes[i].name) == static_cast<std::size_t>(size) && std::memcmp(kModes[i].name, text, size) == 0)
            return i;
    }
    for (int i = 0; i < kW3cModeCount; ++i) {
        if (std::strlen(kW3cModes[i].name) == static_cast<std::size_t>(size) &&
            std::memcmp(kW3cModes[i].name, text, size) == 0)
            return static_cast<int>(kModeCount) + i;
    }
    return -1;
}

// (position on the background, length, position in the image) of an interval.
void visible(Py_ssize_t start, Py_ssize_t size, Py_ssize_t extent, zv_index* at, zv_index* length, zv_index* from) {
    const Py_ssize_t first = std::max<Py_ssize_t>(start, 0);
    // start + size without overflow: a start past the extent shows nothing.
    const Py_ssize_t last = start > extent ? extent : std::min<Py_ssize_t>(start + size, extent);
    if (last <= first) {
        *at = *length = *from = 0;
        return;
    }
    *at = first;
    *length = last - first;
    *from = first - start;
}

const char* const kKernelNames[] = {"auto", "scalar", "sse42", "avx2", "avx512", "neon"};

PyObject* plain(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 8) {
        PyErr_SetString(PyExc_TypeError, "plain() takes 8 arguments");
        return nullptr;
    }
    PyObject *bg_obj = args[0], *layers_obj = args[1], *out_obj = args[2], *threads_obj = args[3],
             *kernel_obj = args[4], *scale_obj = args[5], *premultiplied_obj = args[6];
    Py_ssize_t band_bytes;
    if (!PyTuple_CheckExact(layers_obj) || !exact_index(args[7], &band_bytes)) Py_RETURN_NOTIMPLEMENTED;

    // The plain scalars first: none of them runs code of the caller's.
    if (premultiplied_obj != Py_True && premultiplied_obj != Py_False) Py_RETURN_NOTIMPLEMENTED;
    double scale;
    if (PyFloat_CheckExact(scale_obj)) {
        scale = PyFloat_AS_DOUBLE(scale_obj);
    } else {
        Py_ssize_t whole;
        if (!exact_index(scale_obj, &whole)) Py_RETURN_NOTIMPLEMENTED;
        scale = static_cast<double>(whole);
    }
    if (scale != 255.0 && scale != 1.0) Py_RETURN_NOTIMPLEMENTED;
    Py_ssize_t threads = 0;  // None: every CPU, counted by the engine where it matters
    if (threads_obj != Py_None) {
        if (!exact_index(threads_obj, &threads) || threads < 1) Py_RETURN_NOTIMPLEMENTED;
        threads = std::min<Py_ssize_t>(threads, 1024);
    }
    if (!PyUnicode_CheckExact(kernel_obj)) Py_RETURN_NOTIMPLEMENTED;
    const char* kernel_name = PyUnicode_AsUTF8(kernel_obj);
    if (kernel_name == nullptr) {
        PyErr_Clear();
        Py_RETURN_NOTIMPLEMENTED;
    }
    bool known_kernel = false;
    for (const char* name : kKernelNames) known_kernel = known_kernel || std::strcmp(name, kernel_name) == 0;
    if (!known_kernel) Py_RETURN_NOTIMPLEMENTED;

    const Storage storage{scale == 1.0, premultiplied_obj == Py_True};
    zv_engine::Job job{};
    if (!plain_grid(bg_obj, storage, &job.background)) Py_RETURN_NOTIMPLEMENTED;
    PyArrayObject* bg_array = reinterpret_cast<PyArrayObject*>(bg_obj);
    const zv_engine::Grid& bg = job.background;

    // out: the background's shape and type, writable, its pixels apart, and either
    // the background itself or apart from it (where the spans meet, the package
    // decides exactly).
    PyArrayObject* out_array = nullptr;
    if (out_obj != Py_None) {
        if (!plain_grid(out_obj, storage, &job.out)) Py_RETURN_NOTIMPLEMENTED;
        out_array = reinterpret_cast<PyArrayObject*>(out_obj);
        const zv_engine::Grid& out = job.out;
        if (PyArray_NDIM(out_array) != PyArray_NDIM(bg_array) || out.format != bg.format ||
            out.channels != bg.channels || out.frames != bg.frames || out.height != bg.height ||
            out.width != bg.width || !PyArray_ISWRITEABLE(out_array) ||
            out.pixel_stride != out.channels * PyArray_ITEMSIZE(out_array) || !rows_apart(out))
            Py_RETURN_NOTIMPLEMENTED;
        const bool in_place = out.data == bg.data && out.frame_stride == bg.frame_stride &&
                              out.row_stride == bg.row_stride && out.pixel_stride == bg.pixel_stride;
        if (!in_place && may_share(out_array, bg_array)) Py_RETURN_NOTIMPLEMENTED;
    }

    const Py_ssize_t count = PyTuple_GET_SIZE(layers_obj);
    job.layers.reserve(static_cast<std::size_t>(count));
    std::vector<PyObject*> held{bg_obj};
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(layers_obj, i);
        if (!PyTuple_CheckExact(item) || PyTuple_GET_SIZE(item) != 4) Py_RETURN_NOTIMPLEMENTED;
        PyObject *image = PyTuple_GET_ITEM(item, 0), *opacity_obj = PyTuple_GET_ITEM(item, 2),
                 *offset = PyTuple_GET_ITEM(item, 3);
        zv_engine::Layer layer{};
        if (!plain_grid(image, storage, &layer.image)) Py_RETURN_NOTIMPLEMENTED;
        if (layer.image.frames != 1 && layer.image.frames != bg.frames) Py_RETURN_NOTIMPLEMENTED;
        if (out_array != nullptr && may_share(out_array, reinterpret_cast<PyArrayObject*>(image)))
            Py_RETURN_NOTIMPLEMENTED;
        const int mode = mode_index(PyTuple_GET_ITEM(item, 1));
        if (mode < 0) Py_RETURN_NOTIMPLEMENTED;
        double opacity;
        if (PyFloat_CheckExact(opacity_obj)) {
            opacity = PyFloat_AS_DOUBLE(opacity_obj);
        } else if (PyLong_CheckExact(opacity_obj)) {
            opacity = PyLong_AsDouble(opacity_obj);
            if (opacity == -1.0 && PyErr_Occurred()) {
                PyErr_Clear();
                Py_RETURN_NOTIMPLEMENTED;
            }
        } else {
            Py_RETURN_NOTIMPLEMENTED;
        }
        Py_ssize_t oy, ox;
        if (!PyTuple_CheckExact(offset) || PyTuple_GET_SIZE(offset) != 2 ||
            !exact_index(PyTuple_GET_ITEM(offset, 0), &oy) || !exact_index(PyTuple_GET_ITEM(offset, 1), &ox))
            Py_RETURN_NOTIMPLEMENTED;
        visible(oy, layer.image.height, bg.height, &layer.top, &layer.height, &layer.image_top);
        visible(ox, layer.image.width, bg.width, &layer.left, &layer.width, &layer.image_left);
        if (layer.height == 0 || layer.width == 0) continue;
        layer.mode = loops_of(mode);
        layer.opacity = static_cast<float>(opacity);
        job.layers.push_back(layer);
        held.push_back(image);
    }

    // Everything is checked: from here on the call runs (or runs out of memory).
    PyObject* result = out_obj;
    if (out_array == nullptr) {
        result = PyArray_SimpleNew(PyArray_NDIM(bg_array), PyArray_DIMS(bg_array), PyArray_TYPE(bg_array));
        if (result == nullptr) return nullptr;
        zv_engine::Grid out_grid;
        plain_grid(result, storage, &out_grid);
        job.out = out_grid;
    } else {
        Py_INCREF(result);
    }
    held.push_back(result);
    job.kernel = pick_kernel(kernel_name);
    job.threads = static_cast<int>(threads);
    job.band_bytes = band_bytes;
    for (PyObject* o : held) Py_INCREF(o);
    bool failed = false;
    try {
        zv_engine::Plan plan(job);
        Py_BEGIN_ALLOW_THREADS
        plan.run();
        Py_END_ALLOW_THREADS
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    for (PyObject* o : held) Py_DECREF(o);
    if (failed) {
        Py_DECREF(result);
        return PyErr_NoMemory();
    }
    return result;
}

PyObject* spans_meet(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 2 || !PyArray_Check(args[0]) || !PyArray_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "spans_meet() takes two NumPy arrays");
        return nullptr;
    }
    PyArrayObject *a = reinterpret_cast<PyArrayObject*>(args[0]), *b = reinterpret_cast<PyArrayObject*>(args[1]);
    return PyBool_FromLong(PyArray_SIZE(a) > 0 && PyArray_SIZE(b) > 0 && may_share(a, b));
}

// A tuple of one Py_BuildValue(format, ...) entry per row of a list.
template <std::size_t N, class Row, class Build>
PyObject* table_of(const Row (&rows)[N], Build build) {
    PyObject* table = PyTuple_New(static_cast<Py_ssize_t>(N));
    if (table == nullptr) return nullptr;
    for (std::size_t i = 0; i < N; ++i) {
        PyObject* entry = build(rows[i]);
        if (entry == nullptr) {
            Py_DECREF(table);
            return nullptr;
        }
        PyTuple_SET_ITEM(table, static_cast<Py_ssize_t>(i), entry);
    }
    return table;
}

PyObject* modes(PyObject*, PyObject*) {
    return table_of(kModes, [](const ModeEntry& m) { return Py_BuildValue("(sssi)", m.name, m.kind, m.group, m.place); });
}

struct GroupEntry {
    const char *group, *heading, *text;
};
#define ZV_GROUP_ENTRY(group, heading, text) {#group, heading, text},
const GroupEntry kGroups[] = {ZV_MODE_GROUPS(ZV_GROUP_ENTRY)};
#undef ZV_GROUP_ENTRY

PyObject* mode_groups(PyObject*, PyObject*) {
    return table_of(kGroups, [](const GroupEntry& g) { return Py_BuildValue("(sss)", g.group, g.heading, g.text); });
}

PyObject* w3c_modes(PyObject*, PyObject*) {
    return table_of(kW3cModes, [](const W3cEntry& m) { return Py_BuildValue("(sssi)", m.name, m.css, m.kind, m.row); });
}

struct W3cRow {
    int row;
    const char *heading, *text;
};
#define ZV_W3C_ROW(row, heading, text) {row, heading, text},
const W3cRow kW3cRows[] = {ZV_W3C_ROWS(ZV_W3C_ROW)};
#undef ZV_W3C_ROW

PyObject* w3c_rows(PyObject*, PyObject*) {
    return table_of(kW3cRows, [](const W3cRow& r) { return Py_BuildValue("(iss)", r.row, r.heading, r.text); });
}

struct KernelEntry {
    const char* name;
    int pixels;
    int module_name;
    const char* results_of;
};
#define ZV_KERNEL_ENTRY(kind, name, value, pixels, module_name, results_of) \
    {#name, pixels, module_name, #results_of},
const KernelEntry kKernels[] = {ZV_KERNELS(ZV_KERNEL_ENTRY)};
#undef ZV_KERNEL_ENTRY

PyObject* kernels(PyObject*, PyObject*) {
    return table_of(kKernels, [](const KernelEntry& k) {
        return Py_BuildValue("(siNs)", k.name, k.pixels, PyBool_FromLong(k.module_name), k.results_of);
    });
}

PyObject* kernel_runs(PyObject*, PyObject* args) {
    const char* name;
    if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
    const int available = any_kernel_name_available(name);
    if (available < 0) {
        PyErr_SetString(PyExc_ValueError, "unknown kernel kind");
        return nullptr;
    }
    return PyBool_FromLong(available);
}

// Tests: whether jobs planned from now on convert stored pixels through the
// original one-pixel-at-a-time code rather than the vector codecs; returns the
// previous setting.
PyObject* pixel_by_pixel_formats(PyObject*, PyObject* arg) {
    const int on = PyObject_IsTrue(arg);
    if (on < 0) return nullptr;
    return PyBool_FromLong(zv_engine::set_pixel_by_pixel_formats(on != 0));
}

// Tests: the conversions on their own. working_pixels(image, kernel, unit_scale,
// premultiplied) gives a new float32 array of the image's pixels in the
// working format; stored_pixels(working, out, kernel, unit_scale,
// premultiplied) converts float32 working pixels into `out` (4-dimensional,
// the same frames, size and channels, any stored format, adjacent pixels).
PyObject* working_pixels(PyObject*, PyObject* args) {
    PyObject* image;
    const char* kernel_name;
    int unit_scale, premultiplied;
    if (!PyArg_ParseTuple(args, "Ospp", &image, &kernel_name, &unit_scale, &premultiplied)) return nullptr;
    zv_engine::Grid g;
    if (!to_grid(image, {unit_scale != 0, premultiplied != 0}, &g)) return nullptr;
    npy_intp dims[4] = {g.frames, g.height, g.width, g.channels};
    PyArrayObject* out = reinterpret_cast<PyArrayObject*>(PyArray_SimpleNew(4, dims, NPY_FLOAT32));
    if (out == nullptr) return nullptr;
    const zv_engine::Codec codec(g, pick_kernel(kernel_name));
    float* dst = static_cast<float*>(PyArray_DATA(out));
    for (zv_index f = 0; f < g.frames; ++f) {
        for (zv_index y = 0; y < g.height; ++y) {
            const unsigned char* row = static_cast<const unsigned char*>(g.data) + f * g.frame_stride + y * g.row_stride;
            codec.load(row, g.pixel_stride, g.width, dst + ((f * g.height + y) * g.width) * g.channels);
        }
    }
    return reinterpret_cast<PyObject*>(out);
}

PyObject* stored_pixels(PyObject*, PyObject* args) {
    PyObject *working, *out_obj;
    const char* kernel_name;
    int unit_scale, premultiplied;
    if (!PyArg_ParseTuple(args, "O!Ospp", &PyArray_Type, &working, &out_obj, &kernel_name, &unit_scale,
                          &premultiplied))
        return nullptr;
    zv_engine::Grid g;
    if (!to_grid(out_obj, {unit_scale != 0, premultiplied != 0}, &g)) return nullptr;
    PyArrayObject* w = reinterpret_cast<PyArrayObject*>(working);
    if (PyArray_TYPE(w) != NPY_FLOAT32 || PyArray_NDIM(w) != 4 || !PyArray_IS_C_CONTIGUOUS(w) ||
        PyArray_DIM(w, 0) != g.frames || PyArray_DIM(w, 1) != g.height || PyArray_DIM(w, 2) != g.width ||
        PyArray_DIM(w, 3) != g.channels)
        return fail_call("working pixels must be a C-contiguous float32 array of out's shape");
    if (!PyArray_ISWRITEABLE(reinterpret_cast<PyArrayObject*>(out_obj)) ||
        (PyArray_SIZE(w) > 0 && (g.pixel_stride != g.channels * static_cast<std::ptrdiff_t>(zv_engine::element_size(g.format)) ||
                                 !rows_apart(g))))
        return fail_call("out must be writable with adjacent pixels in rows that do not overlap");
    const zv_engine::Codec codec(g, pick_kernel(kernel_name));
    const float* src = static_cast<const float*>(PyArray_DATA(w));
    for (zv_index f = 0; f < g.frames; ++f) {
        for (zv_index y = 0; y < g.height; ++y) {
            unsigned char* row = static_cast<unsigned char*>(const_cast<void*>(g.data)) + f * g.frame_stride + y * g.row_stride;
            codec.store(src + ((f * g.height + y) * g.width) * g.channels, row, g.pixel_stride, g.width);
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef engine_methods[] = {
    {"composite", composite, METH_VARARGS, "Run a checked compositing job (see the zarvel package)."},
    {"plain", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(plain)), METH_FASTCALL,
     "Check and run a common call at once, or return NotImplemented (see the zarvel package)."},
    {"spans_meet", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(spans_meet)), METH_FASTCALL,
     "Whether the memory two arrays may occupy meets."},
    {"modes", modes, METH_NOARGS, "The blend modes as (name, kind, group, place), in order."},
    {"mode_groups", mode_groups, METH_NOARGS, "The gallery's groups of modes as (group, heading, text), in order."},
    {"w3c_modes", w3c_modes, METH_NOARGS, "The W3C family as (name, css, kind, row), in order."},
    {"w3c_rows", w3c_rows, METH_NOARGS, "The W3C gallery sheet's rows as (row, heading, text), in order."},
    {"kernels", kernels, METH_NOARGS, "The kernels as (name, pixels, module_name, results_of), in order."},
    {"kernel_available", kernel_runs, METH_VARARGS, "Whether the named kernel runs on this processor."},
    {"_working_pixels", working_pixels, METH_VARARGS, "Tests: an image's pixels in the working format."},
    {"_stored_pixels", stored_pixels, METH_VARARGS, "Tests: working pixels converted into out."},
    {"_pixel_by_pixel_formats", pixel_by_pixel_formats, METH_O,
     "Tests: convert formats one pixel at a time (the reference) or not; returns the previous setting."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef engine_module = {PyModuleDef_HEAD_INIT, "zarvel._engine", "The compositing engine of zarvel.", -1,
                             engine_methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__engine(void) {
    record_cpu_features();
    PyObject* module = PyModule_Create(&engine_module);
    if (module == nullptr) return nullptr;
    if (_import_array() < 0 || PyModule_AddIntConstant(module, "PIXEL_GROUP", kPixelGroup) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
