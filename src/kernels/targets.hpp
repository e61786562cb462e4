// Instruction-set targets: the one list of the lane targets a build compiles
// and the region each target's code is compiled in.
//
// A lane target is a namespace zv_<t> with one vocabulary (lanes_<t>.hpp): its
// vector types, the arithmetic words every formula is written in, and the
// loads and stores of interleaved pixels. Code written once over the
// vocabulary (the formulas, the colour models, the drivers' vector stages) is
// compiled once per target: a source names itself as ZV_TARGET_INCLUDE and
// includes foreach_target.hpp, which includes it again inside each target's
// region and namespace. zv_scalar (lanes_scalar.hpp) speaks the same words on
// one float; it is no lane target, but the shared formulas get a pass there
// too.
//
// x86-64: the module must load and run its scalar kernel on any x86-64
// processor, so nothing is compiled with a global -mavx2/-march. Vector code
// lives between a target's BEGIN/END pair instead: the compiler may use that
// instruction set only there, and it can inline such code only into callers of
// the same (or a larger) set. The 4-lane target's region enables AVX and FMA
// as well: its fused multiply-adds need the VEX encoding, and the kernel is
// only offered on processors that have both.
//
// aarch64: Advanced SIMD (NEON), with its fused multiply-add, is part of the
// base architecture. Every AArch64 processor that runs Linux or macOS has it,
// and the procedure-call standard passes its registers, so the compiler uses
// it everywhere already: the NEON target needs no region and no run-time check.
//
// Other processors (and big-endian AArch64, whose byte order the NEON pixel
// code does not handle): no lane target; the scalar kernel does everything.
//
// Adding a target: its vocabulary (lanes_<t>.hpp: the words and the kernels
// it serves), its entry in ZV_LANE_TARGETS below with its region's BEGIN/END
// pair, the include of the vocabulary in lanes.hpp and its pass in
// foreach_target.hpp. A new kernel kind also gets its name and its processor
// check in cpu_features.cpp.
#pragma once

// MSVC (not clang-cl) has no target regions and needs none: it accepts every
// instruction set's intrinsics in any function, so there the regions below
// are empty and the run-time dispatch alone keeps each kernel on processors
// that have its instructions. It has no NEON vocabulary here (its NEON vector
// types are one type, which the overloads cannot tell apart): on Windows ARM64
// the scalar kernel does everything.
#if defined(_MSC_VER) && !defined(__clang__)
#define ZV_MSVC 1
#endif

#if defined(__x86_64__) || (defined(ZV_MSVC) && defined(_M_X64))
#define ZV_X86_64 1
// GCC before 13 warns that the AVX-512 intrinsics' deliberately undefined
// pass-through vectors are uninitialised where they are inlined into a target
// region (its bug 105593); the warning's place is the header, so it is
// silenced for the header's lines only.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#else
#include <immintrin.h>
#endif
#elif defined(__aarch64__) && defined(__ARM_NEON) && defined(__ORDER_LITTLE_ENDIAN__) && \
    __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define ZV_AARCH64 1
#include <arm_neon.h>
#endif

#if !defined(__GNUC__) && !defined(__clang__) && !defined(ZV_MSVC)
#error "Zarvel needs GCC, Clang or MSVC"
#endif

#if defined(ZV_MSVC)
#define ZV_INLINE __forceinline
#else
#define ZV_INLINE inline __attribute__((always_inline))
#endif

// A read hint for all cache levels; never faults.
#if defined(ZV_MSVC) && defined(ZV_X86_64)
#define ZV_PREFETCH(address) _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0)
#elif defined(ZV_MSVC)
#define ZV_PREFETCH(address) static_cast<void>(address)
#else
#define ZV_PREFETCH(address) __builtin_prefetch((address), 0, 3)
#endif

// The lane targets of this build, widest first (the order in which a kernel's
// stages run): X(t, ...) for each, with the caller's extra arguments.
#if defined(ZV_X86_64)
#define ZV_LANE_TARGETS(X, ...) X(avx512, __VA_ARGS__) X(avx, __VA_ARGS__) X(sse, __VA_ARGS__)
#elif defined(ZV_AARCH64)
#define ZV_LANE_TARGETS(X, ...) X(neon, __VA_ARGS__)
#else
#define ZV_LANE_TARGETS(X, ...)
#endif

// Regions. Clang spells them as an attribute pushed onto every function
// declared in between, GCC as target options; both are placed outside
// namespaces.
#if defined(ZV_X86_64) && defined(ZV_MSVC)
#define ZV_BEGIN_sse
#define ZV_END_sse
#define ZV_BEGIN_avx
#define ZV_END_avx
#define ZV_BEGIN_avx512
#define ZV_END_avx512
#elif defined(ZV_X86_64)
#if defined(__clang__)
#define ZV_BEGIN_sse \
    _Pragma("clang attribute push(__attribute__((target(\"sse4.2,avx,fma\"))), apply_to = function)")
#define ZV_END_sse _Pragma("clang attribute pop")
#define ZV_BEGIN_avx _Pragma("clang attribute push(__attribute__((target(\"avx2,fma\"))), apply_to = function)")
#define ZV_END_avx _Pragma("clang attribute pop")
#define ZV_BEGIN_avx512                                                                                   \
    _Pragma("clang attribute push(__attribute__((target(\"avx512f,avx512bw,avx512dq,avx512vl,avx2,fma\"))), \
            apply_to = function)")
#define ZV_END_avx512 _Pragma("clang attribute pop")
#else
#define ZV_BEGIN_sse _Pragma("GCC push_options") _Pragma("GCC target(\"sse4.2,avx,fma\")")
#define ZV_END_sse _Pragma("GCC pop_options")
#define ZV_BEGIN_avx _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,fma\")")
#define ZV_END_avx _Pragma("GCC pop_options")
#define ZV_BEGIN_avx512 \
    _Pragma("GCC push_options") _Pragma("GCC target(\"avx512f,avx512bw,avx512dq,avx512vl,avx2,fma\")")
#define ZV_END_avx512 _Pragma("GCC pop_options")
#endif
#endif
#define ZV_BEGIN_neon
#define ZV_END_neon
#define ZV_BEGIN_scalar
#define ZV_END_scalar
