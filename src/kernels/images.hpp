// Images: argument parsing, validated views, output buffers, one-channel
// access, and the call frame shared by the three compositing drivers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL ZARVEL_ARRAY_API
#ifndef ZARVEL_MODULE_SOURCE
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "simd_ops.hpp"

enum kernel_kind { KERNEL_SCALAR = 1, KERNEL_SSE42 = 2, KERNEL_AVX2 = 3 };

// Defined with the module; reads the processor flags recorded at load.
kernel_kind pick_kernel(const char* force_name);

struct BlendArray {
    PyArrayObject* array;
    int32_t channels;
    int32_t is_uint8;
    const uint8_t* u8;
    const float* f32;
};

struct BlendOutput {
    PyArrayObject* array;
    int32_t channels;
    int32_t is_uint8;
    uint8_t* u8;
    float* f32;
};

// Everything a pixel loop needs; filled by the call frame, read with the
// interpreter lock released.
struct BlendJob {
    BlendArray background;
    BlendArray foreground;
    BlendOutput output;
    float opacity;
    npy_intp pixels;
    kernel_kind kernel;
    int clip_output;
};

// Calls f(bg_is_u8, fg_is_u8) with the two element types as compile-time
// constants (std::true_type / std::false_type), so every combination gets a
// loop of its own and no pixel loop tests a type.
template <class F>
ZV_INLINE void with_element_types(bool bg_u8, bool fg_u8, F&& f) {
    using U8 = std::true_type;
    using F32 = std::false_type;
    if (bg_u8 && fg_u8) f(U8{}, U8{});
    else if (bg_u8) f(U8{}, F32{});
    else if (fg_u8) f(F32{}, U8{});
    else f(F32{}, F32{});
}

// ---- one-channel access ---------------------------------------------------

ZV_INLINE float read_channel_u8(const uint8_t* data, npy_intp index) {
    return static_cast<float>(data[index]) / 255.0f;
}

ZV_INLINE float read_channel_f32(const float* data, npy_intp index) { return data[index] / 255.0f; }

// Clamps to 0..255 and rounds halves away from zero. A NaN stores 0, as the
// vector stores do. (Adding 0.5 in double is exact for 0..255, so truncation
// rounds exactly like lroundf without the library call.)
ZV_INLINE void write_channel_u8(uint8_t* data, npy_intp index, float value) {
    float scaled = value * 255.0f;
    if (!(scaled >= 0.0f)) {
        scaled = 0.0f;
    } else if (255.0f < scaled) {
        scaled = 255.0f;
    }
    data[index] = static_cast<uint8_t>(static_cast<int>(static_cast<double>(scaled) + 0.5));
}

ZV_INLINE void write_channel_f32(float* data, npy_intp index, float value) { data[index] = value * 255.0f; }

ZV_INLINE float clamp01(float value) { return zv_scalar::clamp01(value); }

// ---- validation -------------------------------------------------------------

inline const char* kernel_text(PyObject* object) {
    if (!PyUnicode_Check(object)) return nullptr;
    const char* text = PyUnicode_AsUTF8(object);
    if (text == nullptr) PyErr_Clear();
    return text;
}

inline PyArrayObject* as_image_array(PyObject* object) {
    // Native byte order is requested too, so a byte-swapped float32 image is
    // converted rather than misread.
    return reinterpret_cast<PyArrayObject*>(PyArray_CheckFromAny(
        object, nullptr, 3, 3, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_NOTSWAPPED, nullptr));
}

// An input as given. A 3-dimensional NumPy array is kept as it is, so that the
// checks below run before NumPy copies anything (a wrong-sized broadcast view
// must not be materialised); anything else is converted at once, which also
// reports NumPy's own error for a wrong number of dimensions.
inline PyArrayObject* take_image(PyObject* object) {
    if (PyArray_Check(object) && PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) == 3) {
        Py_INCREF(object);
        return reinterpret_cast<PyArrayObject*>(object);
    }
    return as_image_array(object);
}

// The element types, channel counts and sizes of two 3-dimensional arrays, in
// this order; sets the exception and returns 0 on the first failure. Only the
// type number is looked at, which a conversion to native order keeps.
inline int check_images(PyArrayObject* bg, PyArrayObject* fg) {
    const int bg_type = PyArray_TYPE(bg), fg_type = PyArray_TYPE(fg);
    if ((bg_type != NPY_UINT8 && bg_type != NPY_FLOAT32) || (fg_type != NPY_UINT8 && fg_type != NPY_FLOAT32)) {
        PyErr_SetString(PyExc_TypeError, "inputs must be uint8 or float32 numpy arrays");
        return 0;
    }
    const npy_intp bg_channels = PyArray_DIM(bg, 2), fg_channels = PyArray_DIM(fg, 2);
    if ((bg_channels != 3 && bg_channels != 4) || (fg_channels != 3 && fg_channels != 4)) {
        PyErr_SetString(PyExc_ValueError, "inputs must have 3 or 4 channels");
        return 0;
    }
    if (PyArray_DIM(fg, 0) != PyArray_DIM(bg, 0) || PyArray_DIM(fg, 1) != PyArray_DIM(bg, 1)) {
        PyErr_SetString(PyExc_ValueError, "background and foreground must match in height and width");
        return 0;
    }
    return 1;
}

// A checked input made C-contiguous, aligned and native (copied if need be),
// then wrapped in a view of the call's own. Python code that runs later in the
// parse (an opacity's __float__, a kernel's value) may reshape or retype the
// caller's array in place; it cannot reach this view, so the pixel loop sees
// exactly the array that was checked. The view also keeps the memory alive and
// blocks a resize of the caller's array.
inline PyArrayObject* private_view(PyArrayObject*& array) {
    PyArrayObject* converted = as_image_array(reinterpret_cast<PyObject*>(array));
    Py_DECREF(array);
    array = converted;
    if (converted == nullptr) return nullptr;
    PyArrayObject* view = reinterpret_cast<PyArrayObject*>(PyArray_View(converted, nullptr, &PyArray_Type));
    Py_DECREF(converted);
    array = view;
    return view;
}

inline void fill_view(BlendArray* view, PyArrayObject* array) {
    view->array = array;
    view->channels = static_cast<int32_t>(PyArray_DIM(array, 2));
    view->is_uint8 = PyArray_TYPE(array) == NPY_UINT8;
    view->u8 = view->is_uint8 ? static_cast<const uint8_t*>(PyArray_DATA(array)) : nullptr;
    view->f32 = view->is_uint8 ? nullptr : static_cast<const float*>(PyArray_DATA(array));
}

inline void release_blend_inputs(BlendArray* background, BlendArray* foreground) {
    Py_XDECREF(background->array);
    Py_XDECREF(foreground->array);
}

inline int parse_blend_inputs(PyObject* args, BlendArray* background, BlendArray* foreground, float* opacity,
                              npy_intp* height, npy_intp* width, const char** kernel_name,
                              PyObject** kernel_hold) {
    PyObject *bg_obj, *fg_obj, *opacity_obj = nullptr, *kernel_obj = nullptr;
    if (!PyArg_ParseTuple(args, "OO|OO", &bg_obj, &fg_obj, &opacity_obj, &kernel_obj)) return 0;

    PyArrayObject* bg = take_image(bg_obj);
    if (bg == nullptr) return 0;
    PyArrayObject* fg = take_image(fg_obj);
    if (fg == nullptr) {
        Py_DECREF(bg);
        return 0;
    }

    const char* name = nullptr;
    PyObject* hold = nullptr;
    float value = 1.0f;
    auto fail = [&](PyObject* type, const char* message) {
        if (type != nullptr) PyErr_SetString(type, message);
        Py_XDECREF(hold);
        Py_XDECREF(bg);
        Py_XDECREF(fg);
        return 0;
    };

    if (!check_images(bg, fg)) return fail(nullptr, nullptr);
    // Converting an array subclass may run its Python code, so the private
    // views are checked once more: from here on nothing can change them.
    if (private_view(bg) == nullptr || private_view(fg) == nullptr || !check_images(bg, fg))
        return fail(nullptr, nullptr);

    if (opacity_obj != nullptr && PyUnicode_Check(opacity_obj) && kernel_obj == nullptr) {
        kernel_obj = opacity_obj;  // multiply(bg, fg, "sse42") names a kernel
    } else if (opacity_obj != nullptr) {
        value = static_cast<float>(PyFloat_AsDouble(opacity_obj));
        if (PyErr_Occurred()) return fail(nullptr, nullptr);
    }

    if (kernel_obj != nullptr) {
        if (PyUnicode_Check(kernel_obj)) {
            name = kernel_text(kernel_obj);
        } else {
            hold = PyObject_GetAttrString(kernel_obj, "value");
            if (hold == nullptr) PyErr_Clear();
            else name = kernel_text(hold);
        }
        if (name == nullptr) return fail(PyExc_TypeError, "kernel must be a string or KernelKind");
    }

    *height = PyArray_DIM(bg, 0);
    *width = PyArray_DIM(bg, 1);
    *opacity = value;
    fill_view(background, bg);
    fill_view(foreground, fg);
    if (kernel_name != nullptr) *kernel_name = name;
    if (kernel_hold != nullptr) *kernel_hold = hold;
    else Py_XDECREF(hold);
    return 1;
}

inline int alloc_output(const BlendArray* background, npy_intp height, npy_intp width, BlendOutput* output) {
    npy_intp dims[3] = {height, width, background->channels};
    PyObject* array = PyArray_SimpleNew(3, dims, background->is_uint8 ? NPY_UINT8 : NPY_FLOAT32);
    if (array == nullptr) return 0;
    output->array = reinterpret_cast<PyArrayObject*>(array);
    output->channels = background->channels;
    output->is_uint8 = background->is_uint8;
    output->u8 = background->is_uint8 ? static_cast<uint8_t*>(PyArray_DATA(output->array)) : nullptr;
    output->f32 = background->is_uint8 ? nullptr : static_cast<float*>(PyArray_DATA(output->array));
    return 1;
}

inline int copy_background(const BlendArray* background, BlendOutput* output, npy_intp height, npy_intp width) {
    if (!alloc_output(background, height, width, output)) return 0;
    const size_t count = static_cast<size_t>(height) * static_cast<size_t>(width) * background->channels;
    if (count != 0) {
        std::memcpy(PyArray_DATA(output->array), PyArray_DATA(background->array),
                    count * (background->is_uint8 ? 1 : sizeof(float)));
    }
    return 1;
}

// ---- the call frame -----------------------------------------------------------

using pixel_loop_fn = void (*)(BlendJob& job);

// Parse, shortcut a non-positive opacity to a copy of the background, allocate,
// choose the kernel, run `loop` without the interpreter lock, release
// everything. `foreground_copy`, when given, replaces the loop for an opacity
// of 1 or more over a 3-channel foreground (the normal mode's shortcut).
inline PyObject* run_blend_call(PyObject* args, pixel_loop_fn loop, int clip_output,
                                pixel_loop_fn foreground_copy = nullptr) {
    BlendJob job{};
    npy_intp height = 0, width = 0;
    const char* kernel_name = nullptr;
    PyObject* kernel_hold = nullptr;
    if (!parse_blend_inputs(args, &job.background, &job.foreground, &job.opacity, &height, &width, &kernel_name,
                            &kernel_hold))
        return nullptr;

    int ok;
    if (job.opacity <= 0.0f) {
        ok = copy_background(&job.background, &job.output, height, width);
    } else if ((ok = alloc_output(&job.background, height, width, &job.output))) {
        const bool copy_foreground = foreground_copy != nullptr && job.opacity >= 1.0f && job.foreground.channels == 3;
        job.kernel = copy_foreground ? KERNEL_SCALAR : pick_kernel(kernel_name);
        job.pixels = height * width;
        job.clip_output = clip_output;
        PyThreadState* state = PyEval_SaveThread();
        (copy_foreground ? foreground_copy : loop)(job);
        PyEval_RestoreThread(state);
    }
    Py_XDECREF(kernel_hold);
    release_blend_inputs(&job.background, &job.foreground);
    return ok ? reinterpret_cast<PyObject*>(job.output.array) : nullptr;
}
