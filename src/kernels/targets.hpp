// Instruction-set regions.
//
// The module must load and run its scalar kernel on any x86-64 processor, so
// nothing is compiled with a global -mavx2/-march. Vector code lives between a
// BEGIN/END pair instead: the compiler may use that instruction set only there,
// and it can inline such code only into callers of the same (or a larger) set.
// The 4-lane kernel's region enables AVX and FMA as well: its fused
// multiply-adds need the VEX encoding, and the kernel is only offered on
// processors that have both.
#pragma once

#include <immintrin.h>

#if defined(__clang__)
#define ZV_SSE_BEGIN \
    _Pragma("clang attribute push(__attribute__((target(\"sse4.2,avx,fma\"))), apply_to = function)")
#define ZV_SSE_END _Pragma("clang attribute pop")
#define ZV_AVX_BEGIN \
    _Pragma("clang attribute push(__attribute__((target(\"avx2,fma\"))), apply_to = function)")
#define ZV_AVX_END _Pragma("clang attribute pop")
#elif defined(__GNUC__)
#define ZV_SSE_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"sse4.2,avx,fma\")")
#define ZV_SSE_END _Pragma("GCC pop_options")
#define ZV_AVX_BEGIN _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,fma\")")
#define ZV_AVX_END _Pragma("GCC pop_options")
#else
#error "Zarvel needs GCC or Clang (target regions)"
#endif

#define ZV_INLINE inline __attribute__((always_inline))
