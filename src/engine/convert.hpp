// Stored pixels to and from the kernels' working format (float32 on the
// 0..255 scale, straight alpha), a run of pixels at a time.
//
// In (stored value -> 0..255 float, one rounding each):
//   uint8: v   uint16: v / 257   float32 on 0..1: v * 255   float64: to float32 first
// then, for premultiplied RGBA, colour / (alpha / 255), or 0 where alpha is
// not above 0. Out, the reverse: colour * (alpha / 255), then
//   uint8 and uint16 (x * 257): clamped, NaN to 0, rounded to nearest even
//   float32 on 0..1: x / 255   float64: exactly the float32 value.
// Every 16-bit value survives the round trip exactly.
//
// Runs of adjacent pixels convert in the vector unit of the kernel's widest
// target (convert.cpp): every step above is one IEEE operation per element,
// the same in every lane as in the scalar code, so the results do not depend
// on the kernel. Strided pixels and the last few of a run take the scalar
// code, one pixel at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine.hpp"

namespace zv_engine {

std::size_t element_size(Format format);

template <Format F>
struct FormatTraits;
template <>
struct FormatTraits<Format::u8> {
    static constexpr std::size_t kSize = 1;
};
template <>
struct FormatTraits<Format::u16> {
    static constexpr std::size_t kSize = 2;
};
template <>
struct FormatTraits<Format::f32> {
    static constexpr std::size_t kSize = 4;
};
template <>
struct FormatTraits<Format::f64> {
    static constexpr std::size_t kSize = 8;
};

// Calls fn(format, unit, channels, premultiplied) with each as a compile-time
// constant (std::integral_constant), so that every layout gets code of its
// own: `unit` only for floats, `premultiplied` only for four channels.
template <class Fn>
auto with_layout(Format format, bool unit, int channels, bool premultiplied, Fn&& fn) {
    auto by_channels = [&](auto f, auto u) {
        if (channels != 4) return fn(f, u, std::integral_constant<int, 3>{}, std::false_type{});
        if (premultiplied) return fn(f, u, std::integral_constant<int, 4>{}, std::true_type{});
        return fn(f, u, std::integral_constant<int, 4>{}, std::false_type{});
    };
    using U8 = std::integral_constant<Format, Format::u8>;
    using U16 = std::integral_constant<Format, Format::u16>;
    using F32 = std::integral_constant<Format, Format::f32>;
    using F64 = std::integral_constant<Format, Format::f64>;
    switch (format) {
        case Format::u8: return by_channels(U8{}, std::false_type{});
        case Format::u16: return by_channels(U16{}, std::false_type{});
        case Format::f32: return unit ? by_channels(F32{}, std::true_type{}) : by_channels(F32{}, std::false_type{});
        case Format::f64: break;
    }
    return unit ? by_channels(F64{}, std::true_type{}) : by_channels(F64{}, std::false_type{});
}

// How a grid's pixels convert, chosen once per grid and kernel.
class Codec {
   public:
    Codec() = default;
    Codec(const Grid& g, kernel_kind kernel);

    // `count` pixels at `src`, `pixel_stride` bytes apart, to count x channels floats.
    void load(const unsigned char* src, std::ptrdiff_t pixel_stride, zv_index count, float* dst) const;
    // count x channels floats to `count` pixels at `dst`, `pixel_stride` bytes apart.
    void store(const float* src, unsigned char* dst, std::ptrdiff_t pixel_stride, zv_index count) const;

    using LoadRun = zv_index (*)(const unsigned char* src, zv_index count, float* dst);
    using StoreRun = zv_index (*)(const float* src, zv_index count, unsigned char* dst);
    using LoadPixel = void (*)(const unsigned char* src, float* dst);
    using StorePixel = void (*)(const float* src, unsigned char* dst);

   private:
    Grid grid_{};      // for the pixel-by-pixel reference
    bool reference_ = false;
    int channels_ = 0;
    std::size_t pixel_bytes_ = 0;
    LoadRun load_run_ = nullptr;     // whole vectors of adjacent pixels; returns the pixels done
    StoreRun store_run_ = nullptr;
    LoadPixel load_pixel_ = nullptr;  // one pixel, the scalar way
    StorePixel store_pixel_ = nullptr;
};

// Tests: route every conversion through the original one-pixel-at-a-time
// code, which checks the format of each pixel as it goes (true), or through
// the codecs (false, the default). Returns the previous setting; read when a
// job is planned.
bool set_pixel_by_pixel_formats(bool on);
bool pixel_by_pixel_formats();

// The original per-pixel conversions, kept as the reference the codecs equal.
void load_pixel(const unsigned char* p, const Grid& g, float* w);
void store_pixel(unsigned char* p, const Grid& g, const float* working);

}  // namespace zv_engine
