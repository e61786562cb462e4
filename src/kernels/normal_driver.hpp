// The normal driver: the foreground laid over the background with the over
// operator on straight alpha, scaled by the opacity.
//
//   alpha  = layer_a*o + in_a*(1 - layer_a*o)
//   colour = (layer_c*layer_a*o + in_c*in_a*(1 - layer_a*o)) / alpha, or 0 unless alpha > 0
#pragma once

#include "separable.hpp"

// The 8-bit integer path works element by element: with no alpha, every
// channel of two 3-channel images gets the same weights, so bytes need not be
// split into planes. It runs in 16-bit lanes: in * (255 - alpha) +
// layer * alpha is at most 255 * 255, and with the rounding term and the
// shifted copy added it stays below 65536, so nothing overflows and the
// result is the exact rounded quotient by 255.
ZV_SSE_BEGIN
namespace zv_sse {
ZV_INLINE VI lerp_u8_words(VI in16, VI layer16, int alpha) {
    const VI t = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(in16, _mm_set1_epi16(static_cast<int16_t>(255 - alpha))),
                                             _mm_mullo_epi16(layer16, _mm_set1_epi16(static_cast<int16_t>(alpha)))),
                               _mm_set1_epi16(128));
    return _mm_packus_epi16(_mm_srli_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), 8), _mm_setzero_si128());
}
ZV_INLINE void lerp_u8_8(const uint8_t* in, const uint8_t* layer, uint8_t* out, int alpha) {
    const VI a = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in)));
    const VI b = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(layer)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), lerp_u8_words(a, b, alpha));
}
ZV_INLINE void lerp_u8_4(const uint8_t* in, const uint8_t* layer, uint8_t* out, int alpha) {
    int32_t a, b;
    std::memcpy(&a, in, 4);
    std::memcpy(&b, layer, 4);
    const int32_t r = _mm_cvtsi128_si32(
        lerp_u8_words(_mm_cvtepu8_epi16(_mm_cvtsi32_si128(a)), _mm_cvtepu8_epi16(_mm_cvtsi32_si128(b)), alpha));
    std::memcpy(out, &r, 4);
}
// 4 RGB pixels: exactly 12 bytes read from each input and written.
ZV_INLINE void lerp_rgb_pixels(const uint8_t* in, const uint8_t* layer, uint8_t* out, int alpha) {
    lerp_u8_8(in, layer, out, alpha);
    lerp_u8_4(in + 8, layer + 8, out + 8, alpha);
}
#include "normal_stages.inc"
}  // namespace zv_sse
ZV_SSE_END

ZV_AVX_BEGIN
namespace zv_avx {
ZV_INLINE void lerp_u8_16(const uint8_t* in, const uint8_t* layer, uint8_t* out, int alpha) {
    const VI a = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
    const VI b = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(layer)));
    const VI t = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_mullo_epi16(a, _mm256_set1_epi16(static_cast<int16_t>(255 - alpha))),
                         _mm256_mullo_epi16(b, _mm256_set1_epi16(static_cast<int16_t>(alpha)))),
        _mm256_set1_epi16(128));
    const VI words = _mm256_srli_epi16(_mm256_add_epi16(t, _mm256_srli_epi16(t, 8)), 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1)));
}
// 8 RGB pixels: exactly 24 bytes read from each input and written.
ZV_INLINE void lerp_rgb_pixels(const uint8_t* in, const uint8_t* layer, uint8_t* out, int alpha) {
    lerp_u8_16(in, layer, out, alpha);
    zv_sse::lerp_u8_8(in + 16, layer + 16, out + 16, alpha);
}
#include "normal_stages.inc"
}  // namespace zv_avx
ZV_AVX_END

template <bool BgU8, bool FgU8>
void normal_scalar_typed(BlendJob& job, zv_index index) {
    const ImageIn& bg = job.background;
    const ImageIn& fg = job.foreground;
    const int bc = bg.channels, fc = fg.channels;
    const float opacity = job.opacity;
    for (; index < job.pixels; ++index) {
        const zv_index b = index * bc, f = index * fc;
        const float in_a = read_alpha<BgU8>(bg, index), layer_a = read_alpha<FgU8>(fg, index);
        const float layer_opacity = layer_a * opacity;
        const float inv_layer_opacity = 1.0f - layer_opacity;
        const float denom = std::fma(in_a, inv_layer_opacity, layer_opacity);
        for (int c = 0; c < 3; ++c) {
            float out_c = 0.0f;
            if (denom > 0.0f) {
                const float in_c = read_elem<BgU8>(bg, b + c), layer_c = read_elem<FgU8>(fg, f + c);
                out_c = std::fma(layer_c, layer_opacity, (in_c * in_a) * inv_layer_opacity) / denom;
            }
            write_elem<BgU8>(job.output, b + c, out_c);
        }
        if (bc == 4) write_elem<BgU8>(job.output, b + 3, denom);
    }
}

inline void normal_pixels(BlendJob& job) {
    zv_index index = 0;
    if (job.kernel == KERNEL_AVX2) zv_avx::normal_blocks(job, index);
    if (job.kernel != KERNEL_SCALAR) zv_sse::normal_blocks(job, index);
    with_element_types(job.background.is_uint8, job.foreground.is_uint8, [&](auto bg8, auto fg8) {
        normal_scalar_typed<decltype(bg8)::value, decltype(fg8)::value>(job, index);
    });
}

// Opacity >= 1 over a 3-channel foreground: the result is the foreground,
// converted to the background's type, fully opaque.
template <bool OutU8, bool FgU8>
void copy_foreground_typed(BlendJob& job) {
    const int oc = job.output.channels;
    if (OutU8 == FgU8 && oc == 3) {
        std::memcpy(OutU8 ? static_cast<void*>(job.output.u8) : job.output.f32,
                    FgU8 ? static_cast<const void*>(job.foreground.u8) : job.foreground.f32,
                    static_cast<size_t>(job.pixels) * 3 * (OutU8 ? 1 : sizeof(float)));
        return;
    }
    for (zv_index i = 0; i < job.pixels; ++i) {
        for (int c = 0; c < 3; ++c) {
            if constexpr (OutU8 && FgU8) job.output.u8[i * oc + c] = job.foreground.u8[i * 3 + c];
            else if constexpr (!OutU8 && !FgU8) job.output.f32[i * oc + c] = job.foreground.f32[i * 3 + c];
            else write_elem<OutU8>(job.output, i * oc + c, read_elem<FgU8>(job.foreground, i * 3 + c));
        }
        if (oc == 4) write_elem<OutU8>(job.output, i * 4 + 3, 1.0f);
    }
}

inline void normal_copy_foreground(BlendJob& job) {
    with_element_types(job.output.is_uint8, job.foreground.is_uint8, [&](auto out8, auto fg8) {
        copy_foreground_typed<decltype(out8)::value, decltype(fg8)::value>(job);
    });
}

