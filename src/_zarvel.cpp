// The _zarvel module: method table, kernel selection and kernel_available.
#include "call_frame.hpp"
#include "cpu_features.hpp"
#include "modes.hpp"
#include "opaque.hpp"

#include <cstring>

namespace {

PyObject* kernel_available(PyObject*, PyObject* args) {
    const char* name;
    if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
    const int available = kernel_name_available(name);
    if (available < 0) {
        PyErr_SetString(PyExc_ValueError, "unknown kernel kind");
        return nullptr;
    }
    return PyBool_FromLong(available);
}

// Tests: whether the separable modes' integer forms for opaque 8-bit pixels
// at opacity 1 are taken (the default) or the float path always; returns the
// previous setting.
PyObject* opaque_integer_forms(PyObject*, PyObject* arg) {
    const int on = PyObject_IsTrue(arg);
    if (on < 0) return nullptr;
    return PyBool_FromLong(zv_opaque_integer_paths.exchange(on != 0));
}

// One entry function per mode: the call frame around the mode's loops.
#define ZV_ENTRY(mode, ...) \
    PyObject* blend_##mode(PyObject*, PyObject* args) { return run_blend_call(args, mode##_loops); }
ZV_MODES(ZV_ENTRY)
#undef ZV_ENTRY

#define ZV_METHOD(mode, ...) {#mode, blend_##mode, METH_VARARGS, "Blend (background, foreground, opacity)."},
PyMethodDef zarvel_methods[] = {
    ZV_MODES(ZV_METHOD)
    {"kernel_available", kernel_available, METH_VARARGS, "Check whether a kernel is supported."},
    {"_opaque_integer_forms", opaque_integer_forms, METH_O,
     "Tests: take the integer forms for opaque 8-bit pixels or not; returns the previous setting."},
    {nullptr, nullptr, 0, nullptr},
};
#undef ZV_METHOD

PyModuleDef zarvel_module = {PyModuleDef_HEAD_INIT, "_zarvel", "Zarvel", -1, zarvel_methods,
                             nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__zarvel(void) {
    record_cpu_features();
    PyObject* module = PyModule_Create(&zarvel_module);
    if (module == nullptr) return nullptr;
    // NumPy's own import sequence, without the wrapper that would replace its
    // error with an ImportError and print it.
    if (_import_array() < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
