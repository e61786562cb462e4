// The call frame of the module's blend functions: argument parsing into
// validated arrays, the output array, and the run of a mode's pixel loop
// with the interpreter lock released.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL ZARVEL_ARRAY_API
#include <numpy/arrayobject.h>

#include "cpu_features.hpp"
#include "image_view.hpp"

// A validated input: a private, C-contiguous, aligned, native-order array.
struct BlendArray {
    PyArrayObject* array;
    ImageIn view;
};

struct BlendOutput {
    PyArrayObject* array;
    ImageOut view;
};

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

inline void fill_view(BlendArray* input, PyArrayObject* array) {
    ImageIn& view = input->view;
    input->array = array;
    view.channels = static_cast<int32_t>(PyArray_DIM(array, 2));
    view.is_uint8 = PyArray_TYPE(array) == NPY_UINT8;
    view.u8 = view.is_uint8 ? static_cast<const uint8_t*>(PyArray_DATA(array)) : nullptr;
    view.f32 = view.is_uint8 ? nullptr : static_cast<const float*>(PyArray_DATA(array));
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
    const ImageIn& bg = background->view;
    npy_intp dims[3] = {height, width, bg.channels};
    PyObject* array = PyArray_SimpleNew(3, dims, bg.is_uint8 ? NPY_UINT8 : NPY_FLOAT32);
    if (array == nullptr) return 0;
    output->array = reinterpret_cast<PyArrayObject*>(array);
    void* data = PyArray_DATA(output->array);
    output->view = {bg.channels, bg.is_uint8, bg.is_uint8 ? static_cast<uint8_t*>(data) : nullptr,
                    bg.is_uint8 ? nullptr : static_cast<float*>(data)};
    return 1;
}

inline int copy_background(const BlendArray* background, BlendOutput* output, npy_intp height, npy_intp width) {
    if (!alloc_output(background, height, width, output)) return 0;
    const size_t count = static_cast<size_t>(height) * static_cast<size_t>(width) * background->view.channels;
    if (count != 0) {
        std::memcpy(PyArray_DATA(output->array), PyArray_DATA(background->array),
                    count * (background->view.is_uint8 ? 1 : sizeof(float)));
    }
    return 1;
}

// ---- the call frame -----------------------------------------------------------

// Parse; keep the background for a non-positive opacity (a copy); otherwise
// allocate, choose the kernel, run the mode's loop without the interpreter
// lock; release everything.
inline PyObject* run_blend_call(PyObject* args, const ModeLoops& mode) {
    BlendArray background{}, foreground{};
    BlendOutput output{};
    float opacity = 1.0f;
    npy_intp height = 0, width = 0;
    const char* kernel_name = nullptr;
    PyObject* kernel_hold = nullptr;
    if (!parse_blend_inputs(args, &background, &foreground, &opacity, &height, &width, &kernel_name, &kernel_hold))
        return nullptr;

    int ok;
    const pixel_loop_fn loop = loop_for(mode, opacity, foreground.view.channels);
    if (loop == nullptr) {
        ok = copy_background(&background, &output, height, width);
    } else if ((ok = alloc_output(&background, height, width, &output))) {
        BlendJob job{};
        job.background = background.view;
        job.foreground = foreground.view;
        job.output = output.view;
        job.opacity = opacity;
        job.pixels = height * width;
        job.kernel = loop == mode.blend ? pick_module_kernel(kernel_name) : KERNEL_SCALAR;
        job.clip_output = mode.clip_output;
        PyThreadState* state = PyEval_SaveThread();
        loop(job);
        PyEval_RestoreThread(state);
    }
    Py_XDECREF(kernel_hold);
    release_blend_inputs(&background, &foreground);
    return ok ? reinterpret_cast<PyObject*>(output.array) : nullptr;
}
