// Which kernels this processor runs, and the kernel a call gets.
#pragma once

#include "image_view.hpp"

// Reads the processor's features; called when a module loads. Later calls
// (and the queries below, if it was never called) reuse the first reading.
void record_cpu_features();

// The four kernel names of the _zarvel module's interface ("scalar", "sse42",
// "avx2", "auto"): 1 if the named kernel runs here ("scalar" and "auto"
// always do), 0 if not, -1 for any other name.
int kernel_name_available(const char* name);

// The same over every kernel name, "avx512" and "neon" included.
int any_kernel_name_available(const char* name);

// pick_kernel (image_view.hpp) knows every kernel name, "avx512" and "neon"
// included; the _zarvel module's blend functions take only the names of its
// interface and run any other name, "avx512" and "neon" too, as the automatic
// choice (which is the widest kernel this processor runs).
kernel_kind pick_module_kernel(const char* force_name);
