// Images as the pixel loops see them: plain views of interleaved pixels, the
// job a loop runs, and one-channel access. Nothing here knows Python.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "lanes_scalar.hpp"

// The compute kernels, in the order the package lists them: the enumerator,
// the name a call gives, the enumerator's value (a bit position in the lane
// targets' kServes masks), the pixels of the widest step, whether the _zarvel
// module's functions know the name (they run the others as the automatic
// choice) and the kernel whose results it gives bit for bit.
#define ZV_KERNELS(X)                            \
    X(KERNEL_SCALAR, scalar, 1, 1, 1, scalar)    \
    X(KERNEL_SSE42, sse42, 2, 4, 1, sse42)       \
    X(KERNEL_AVX2, avx2, 3, 8, 1, avx2)          \
    X(KERNEL_AVX512, avx512, 5, 16, 0, avx2)     \
    X(KERNEL_NEON, neon, 4, 4, 0, sse42)

#define ZV_KERNEL_ENUMERATOR(kind, name, value, ...) kind = value,
enum kernel_kind { ZV_KERNELS(ZV_KERNEL_ENUMERATOR) };
#undef ZV_KERNEL_ENUMERATOR

// Pixels of a stage group: no kernel's stage (the 16-lane step, the 8-bit
// flat runs of 16 pixels and every narrower step) straddles a multiple of this
// pixel index, so work split at multiples of it gives the results of one call.
constexpr std::ptrdiff_t kPixelGroup = 16;

// Pixel and element indices.
using zv_index = std::ptrdiff_t;

// Reads the processor flags recorded at load: the kernel a call runs for a
// requested name (null or unknown: the automatic choice).
kernel_kind pick_kernel(const char* force_name);

// An image's pixels: C-contiguous, element (pixel * channels + c), channels
// R, G, B and, for four, A. Exactly one of u8 and f32 is set.
struct ImageIn {
    int32_t channels;
    int32_t is_uint8;
    const uint8_t* u8;
    const float* f32;
};

struct ImageOut {
    int32_t channels;
    int32_t is_uint8;
    uint8_t* u8;
    float* f32;
};

// Everything a pixel loop needs. The output may be the background itself:
// every stage reads a pixel's inputs before it writes that pixel.
struct BlendJob {
    ImageIn background;
    ImageIn foreground;
    ImageOut output;
    float opacity;
    zv_index pixels;
    kernel_kind kernel;
    int clip_output;
    // Buffers that stand for fresh copies (the engine's): the 8-bit flat
    // stage runs as it would on aligned copies, whatever these pointers are.
    bool as_fresh_copies;
};

using pixel_loop_fn = void (*)(BlendJob& job);

// A mode's pixel loops. `copy_foreground` (normal only) replaces `blend` at
// opacity 1 or more over a 3-channel foreground.
struct ModeLoops {
    pixel_loop_fn blend;
    pixel_loop_fn copy_foreground;
    int clip_output;
};

// What a call with this opacity and foreground runs; null keeps the
// background unchanged (an opacity of 0 or less; NaN is not).
inline pixel_loop_fn loop_for(const ModeLoops& mode, float opacity, int foreground_channels) {
    if (opacity <= 0.0f) return nullptr;
    if (mode.copy_foreground != nullptr && opacity >= 1.0f && foreground_channels == 3) return mode.copy_foreground;
    return mode.blend;
}

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

ZV_INLINE float read_channel_u8(const uint8_t* data, zv_index index) {
    return static_cast<float>(data[index]) / 255.0f;
}

ZV_INLINE float read_channel_f32(const float* data, zv_index index) { return data[index] / 255.0f; }

// Clamps to 0..255 and rounds halves away from zero. A NaN stores 0, as the
// vector stores do. (Adding 0.5 in double is exact for 0..255, so truncation
// rounds exactly like lroundf without the library call.)
ZV_INLINE void write_channel_u8(uint8_t* data, zv_index index, float value) {
    float scaled = value * 255.0f;
    if (!(scaled >= 0.0f)) {
        scaled = 0.0f;
    } else if (255.0f < scaled) {
        scaled = 255.0f;
    }
    data[index] = static_cast<uint8_t>(static_cast<int>(static_cast<double>(scaled) + 0.5));
}

ZV_INLINE void write_channel_f32(float* data, zv_index index, float value) { data[index] = value * 255.0f; }

ZV_INLINE float clamp01(float value) { return zv_scalar::clamp01(value); }

// Element i, and a pixel's alpha, of an image of either element type.
template <bool U8>
ZV_INLINE float read_elem(const ImageIn& a, zv_index i) {
    if constexpr (U8) return read_channel_u8(a.u8, i);
    else return read_channel_f32(a.f32, i);
}

// A pixel's alpha as a unit value: channel 3 of a 4-channel image, else 1.
template <bool U8>
ZV_INLINE float read_alpha(const ImageIn& a, zv_index pixel) {
    return a.channels == 4 ? read_elem<U8>(a, pixel * 4 + 3) : 1.0f;
}

template <bool U8>
ZV_INLINE void write_elem(ImageOut& out, zv_index i, float value) {
    if constexpr (U8) write_channel_u8(out.u8, i, value);
    else write_channel_f32(out.f32, i, value);
}
