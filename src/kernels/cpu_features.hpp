// Which kernels this processor runs, and the kernel a call gets.
#pragma once

#include "image_view.hpp"

// Reads the processor's features; called when a module loads. Later calls
// (and the queries below, if it was never called) reuse the first reading.
void record_cpu_features();

// 1 if the named kernel runs here ("scalar" and "auto" always do), 0 if not,
// -1 for a name that is not a kernel.
int kernel_name_available(const char* name);
