// The _zarvel module: method table, kernel selection and kernel_available.
#define ZARVEL_MODULE_SOURCE
#include "blend_common.hpp"

#include <cstring>

#define ZV_MODES(X)                                                                                      \
    X(normal) X(soft_light) X(lighten_only) X(screen) X(dodge) X(addition) X(darken_only) X(multiply)      \
    X(hard_light) X(difference) X(subtract) X(grain_extract) X(grain_merge) X(divide) X(overlay)            \
    ZV_COLOUR_MODES(X)                                                                                   \
    X(burn) X(linear_burn) X(exclusion) X(vivid_light) X(pin_light)

#define ZV_COLOUR_MODES(X) \
    X(hsv_hue) X(hsv_saturation) X(hsv_value) X(hsl_color) X(lch_hue) X(lch_chroma) X(lch_color) X(lch_lightness)

#define ZV_DECLARE_ENTRY(mode) PyObject* blend_##mode(PyObject* self, PyObject* args);
ZV_MODES(ZV_DECLARE_ENTRY)

namespace {

// Recorded once at load. The compiler runtime's probe counts AVX2 only where
// the operating system saves the AVX state. The 4-lane kernel uses fused
// multiply-adds in the VEX encoding, so it needs AVX and FMA besides SSE4.2.
int g_has_sse42 = 0;
int g_has_avx2 = 0;

void record_cpu_features() {
    __builtin_cpu_init();
    const bool fma = __builtin_cpu_supports("fma"), avx = __builtin_cpu_supports("avx");
    g_has_sse42 = __builtin_cpu_supports("sse4.2") && avx && fma;
    g_has_avx2 = __builtin_cpu_supports("avx2") && avx && fma;
}

int cpu_supports_sse42() { return g_has_sse42; }
int cpu_supports_avx2() { return g_has_avx2; }

PyObject* kernel_available(PyObject*, PyObject* args) {
    const char* name;
    if (!PyArg_ParseTuple(args, "s", &name)) return nullptr;
    if (std::strcmp(name, "scalar") == 0 || std::strcmp(name, "auto") == 0) Py_RETURN_TRUE;
    if (std::strcmp(name, "sse42") == 0) return PyBool_FromLong(cpu_supports_sse42());
    if (std::strcmp(name, "avx2") == 0) return PyBool_FromLong(cpu_supports_avx2());
    PyErr_SetString(PyExc_ValueError, "unknown kernel kind");
    return nullptr;
}

#define ZV_METHOD(mode) {#mode, blend_##mode, METH_VARARGS, "Blend (background, foreground, opacity)."},
PyMethodDef zarvel_methods[] = {
    ZV_MODES(ZV_METHOD)
    {"kernel_available", kernel_available, METH_VARARGS, "Check whether a kernel is supported."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef zarvel_module = {PyModuleDef_HEAD_INIT, "_zarvel", "Zarvel", -1, zarvel_methods,
                             nullptr, nullptr, nullptr, nullptr};

}  // namespace

kernel_kind pick_kernel(const char* force_name) {
    if (force_name != nullptr) {
        if (std::strcmp(force_name, "scalar") == 0) return KERNEL_SCALAR;
        if (std::strcmp(force_name, "sse42") == 0) return cpu_supports_sse42() ? KERNEL_SSE42 : KERNEL_SCALAR;
        if (std::strcmp(force_name, "avx2") == 0) return cpu_supports_avx2() ? KERNEL_AVX2 : KERNEL_SCALAR;
    }
    if (cpu_supports_avx2()) return KERNEL_AVX2;
    if (cpu_supports_sse42()) return KERNEL_SSE42;
    return KERNEL_SCALAR;
}

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
