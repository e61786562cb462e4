// The separable driver: one blend function per channel, composited onto the
// background by the alpha ratio.
//
//   comp_alpha = min(in_a, layer_a) * opacity
//   new_alpha  = in_a + (1 - in_a) * comp_alpha          (fused)
//   ratio      = comp_alpha / new_alpha, or 0 unless new_alpha > 0
//   out_c      = comp * ratio + (1 - ratio) * in_c        (fused onto the rounded product)
//
// Stages run in a fixed order over one running pixel index: the flat stage
// (two 3-channel images), the 8-pixel stage (avx2), the 4-pixel stage (sse42
// and what avx2 left) and the scalar stage, which finishes every kernel.
#pragma once

#include "pixel_io.hpp"

using blend_comp_fn = float (*)(float, float);
using blend_comp_fn128 = __m128 (*)(__m128, __m128);
using blend_comp_fn256 = __m256 (*)(__m256, __m256);
using blend_comp_fn128_u8 = __m128 (*)(__m128i, __m128i, __m128);
using blend_comp_fn256_u8 = __m256 (*)(__m256i, __m256i, __m256);

ZV_SSE_BEGIN
namespace zv_sse {
#include "ratio_stages.inc"
}
ZV_SSE_END

ZV_AVX_BEGIN
namespace zv_avx {
#include "ratio_stages.inc"
}
ZV_AVX_END

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

// The scalar stage, one pixel per step from `index` to the end.
template <blend_comp_fn S, bool BgU8, bool FgU8>
void ratio_scalar_typed(BlendJob& job, zv_index index) {
    const ImageIn& bg = job.background;
    const ImageIn& fg = job.foreground;
    const int bc = bg.channels, fc = fg.channels;
    const float opacity = job.opacity;
    const bool clip = job.clip_output != 0;
    for (; index < job.pixels; ++index) {
        const zv_index b = index * bc, f = index * fc;
        const float in_a = read_alpha<BgU8>(bg, index), layer_a = read_alpha<FgU8>(fg, index);
        const float comp_alpha = std::fmin(in_a, layer_a) * opacity;
        const float new_alpha = std::fma(comp_alpha, 1.0f - in_a, in_a);
        const float ratio = new_alpha > 0.0f ? comp_alpha / new_alpha : 0.0f;
        for (int c = 0; c < 3; ++c) {
            const float in_c = read_elem<BgU8>(bg, b + c);
            const float comp = S(in_c, read_elem<FgU8>(fg, f + c));
            float out_c = std::fma(comp, ratio, (1.0f - ratio) * in_c);
            if (clip) out_c = clamp01(out_c);
            write_elem<BgU8>(job.output, b + c, out_c);
        }
        if (bc == 4) write_elem<BgU8>(job.output, b + 3, new_alpha);
    }
}

template <blend_comp_fn S>
void ratio_scalar(BlendJob& job, zv_index index) {
    with_element_types(job.background.is_uint8, job.foreground.is_uint8, [&](auto bg8, auto fg8) {
        ratio_scalar_typed<S, decltype(bg8)::value, decltype(fg8)::value>(job, index);
    });
}

// Element-wise tail of the flat stage (fewer than one vector step).
template <blend_comp_fn S, bool BgU8, bool FgU8>
void flat_scalar_tail(BlendJob& job, zv_index elem, zv_index elements) {
    const float opacity = job.opacity, inv_opacity = 1.0f - opacity;
    for (; elem < elements; ++elem) {
        const float in_c = read_elem<BgU8>(job.background, elem);
        float out_c = std::fma(S(in_c, read_elem<FgU8>(job.foreground, elem)), opacity, inv_opacity * in_c);
        if (job.clip_output) out_c = clamp01(out_c);
        write_elem<BgU8>(job.output, elem, out_c);
    }
}

// Runs the flat stage if its conditions hold; returns whether it did the image.
template <blend_comp_fn S, blend_comp_fn128 F4, blend_comp_fn256 F8, blend_comp_fn128_u8 U4,
          blend_comp_fn256_u8 U8>
bool ratio_flat_stage(BlendJob& job) {
    const bool avx = job.kernel == KERNEL_AVX2;
    const bool bg8 = job.background.is_uint8, fg8 = job.foreground.is_uint8;
    const zv_index elements = job.pixels * 3;
    zv_index elem;
    if (bg8 && fg8) {
        const bool aligned = ptr_is_aligned(job.background.u8, 16) && ptr_is_aligned(job.foreground.u8, 16) &&
                             ptr_is_aligned(job.output.u8, 16);
        if (elements < 16 || !(aligned || job.as_fresh_copies)) return false;
        elem = avx ? zv_avx::flat_u8<F8, U8>(job, elements) : zv_sse::flat_u8<F4, U4>(job, elements);
        flat_scalar_tail<S, true, true>(job, elem, elements);
    } else if (!bg8 && !fg8) {
        if (avx && elements >= 8) elem = zv_avx::flat_f32<F8>(job, elements);
        else if (elements >= 4) elem = zv_sse::flat_f32<F4>(job, elements);
        else return false;
        flat_scalar_tail<S, false, false>(job, elem, elements);
    } else {
        if (!avx || elements < 16) return false;
        if (bg8) {
            elem = zv_avx::flat_mixed<F8, true>(job, elements);
            flat_scalar_tail<S, true, false>(job, elem, elements);
        } else {
            elem = zv_avx::flat_mixed<F8, false>(job, elements);
            flat_scalar_tail<S, false, true>(job, elem, elements);
        }
    }
    return true;
}

template <blend_comp_fn S, blend_comp_fn128 F4, blend_comp_fn256 F8, blend_comp_fn128_u8 U4,
          blend_comp_fn256_u8 U8>
void ratio_pixels(BlendJob& job) {
    zv_index index = 0;
    if (job.kernel != KERNEL_SCALAR && job.background.channels == 3 && job.foreground.channels == 3 &&
        ratio_flat_stage<S, F4, F8, U4, U8>(job))
        index = job.pixels;
    if (job.kernel == KERNEL_AVX2) zv_avx::ratio_blocks<F8, U8>(job, index);
    if (job.kernel != KERNEL_SCALAR) zv_sse::ratio_blocks<F4, U4>(job, index);
    ratio_scalar<S>(job, index);
}

// The loops of a separable mode. Its functions are template arguments so that
// every stage inlines them.
template <blend_comp_fn S, blend_comp_fn128 F4, blend_comp_fn256 F8, blend_comp_fn128_u8 U4 = nullptr,
          blend_comp_fn256_u8 U8 = nullptr>
constexpr ModeLoops separable_loops(int clip_output) {
    return {&ratio_pixels<S, F4, F8, U4, U8>, nullptr, clip_output};
}
