// The colour-triplet driver: blend functions that need a pixel's whole colour
// (hue, saturation, lightness, chroma), composited onto the background with
// the alpha ratio of the separable modes but without a clamp:
//
//   comp_alpha = min(bg_a, fg_a) * opacity
//   new_alpha  = comp_alpha * (1 - bg_a) + bg_a             (fused)
//   ratio      = comp_alpha / new_alpha
//   out_c      = comp_c * ratio + (1 - ratio) * bg_c       (fused onto the rounded product)
//
// The scalar stage divides unless new_alpha is exactly 0; the vector stages
// use ratio 0 wherever new_alpha > 0 fails. Stages: 8 pixels (avx2, images of
// at least 8 pixels), 4 pixels (sse42, and what avx2 left), then the scalar
// stage for the rest.
#pragma once

#include "separable.hpp"

struct rgb_triplet {
    float r, g, b;
};

using blend_rgb_comp_fn = rgb_triplet (*)(rgb_triplet, rgb_triplet);
using blend_rgb_comp_fn128 = void (*)(__m128, __m128, __m128, __m128, __m128, __m128, __m128*, __m128*, __m128*);
using blend_rgb_comp_fn256 = void (*)(__m256, __m256, __m256, __m256, __m256, __m256, __m256*, __m256*, __m256*);

ZV_SSE_BEGIN
namespace zv_sse {
#include "triplet_stages.inc"
}
ZV_SSE_END

ZV_AVX_BEGIN
namespace zv_avx {
#include "triplet_stages.inc"
}
ZV_AVX_END

template <blend_rgb_comp_fn S, bool BgU8, bool FgU8>
void triplet_scalar_typed(BlendJob& job, zv_index index) {
    const ImageIn& bg = job.background;
    const ImageIn& fg = job.foreground;
    const int bc = bg.channels, fc = fg.channels;
    const float opacity = job.opacity;
    for (; index < job.pixels; ++index) {
        const zv_index b = index * bc, f = index * fc;
        const rgb_triplet in{read_elem<BgU8>(bg, b), read_elem<BgU8>(bg, b + 1), read_elem<BgU8>(bg, b + 2)};
        const rgb_triplet layer{read_elem<FgU8>(fg, f), read_elem<FgU8>(fg, f + 1), read_elem<FgU8>(fg, f + 2)};
        const float bg_alpha = read_alpha<BgU8>(bg, index), fg_alpha = read_alpha<FgU8>(fg, index);
        const float comp_alpha = std::fmin(bg_alpha, fg_alpha) * opacity;
        const float new_alpha = std::fma(comp_alpha, 1.0f - bg_alpha, bg_alpha);
        const float ratio = new_alpha == 0.0f ? 0.0f : comp_alpha / new_alpha;
        const rgb_triplet comp = S(in, layer);
        const float inv_ratio = 1.0f - ratio;
        write_elem<BgU8>(job.output, b, std::fma(comp.r, ratio, inv_ratio * in.r));
        write_elem<BgU8>(job.output, b + 1, std::fma(comp.g, ratio, inv_ratio * in.g));
        write_elem<BgU8>(job.output, b + 2, std::fma(comp.b, ratio, inv_ratio * in.b));
        if (bc == 4) write_elem<BgU8>(job.output, b + 3, new_alpha);
    }
}

template <blend_rgb_comp_fn S>
void triplet_scalar(BlendJob& job, zv_index index) {
    with_element_types(job.background.is_uint8, job.foreground.is_uint8, [&](auto bg8, auto fg8) {
        triplet_scalar_typed<S, decltype(bg8)::value, decltype(fg8)::value>(job, index);
    });
}

template <blend_rgb_comp_fn S, blend_rgb_comp_fn128 F4, blend_rgb_comp_fn256 F8>
void triplet_pixels(BlendJob& job) {
    zv_index index = 0;
    if constexpr (F8 != nullptr) {
        if (job.kernel == KERNEL_AVX2 && job.pixels >= 8) zv_avx::triplet_blocks<F8>(job, index);
    }
    if constexpr (F4 != nullptr) {
        if (job.kernel != KERNEL_SCALAR) zv_sse::triplet_blocks<F4>(job, index);
    }
    triplet_scalar<S>(job, index);
}

// The loops of a colour mode. A null vector form skips its stage.
template <blend_rgb_comp_fn S, blend_rgb_comp_fn128 F4, blend_rgb_comp_fn256 F8>
constexpr ModeLoops triplet_loops() {
    return {&triplet_pixels<S, F4, F8>, nullptr, 0};
}

// A colour formula over the two triplets (`bg_r .. fg_b` in, `r, g, b` out),
// stamped into every namespace, with the three named forms as thin wrappers.
#define ZV_TRIPLET_FORMULA(mode, ...)                                                                        \
    ZV_STAMP_ALL(ZV_INLINE void mode##_rgb(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, V& r, V& g, V& b) { \
        __VA_ARGS__                                                                                          \
    })                                                                                                       \
    rgb_triplet mode##_comp(rgb_triplet bg, rgb_triplet fg) {                                                \
        rgb_triplet out;                                                                                     \
        zv_scalar::mode##_rgb(bg.r, bg.g, bg.b, fg.r, fg.g, fg.b, out.r, out.g, out.b);                      \
        return out;                                                                                          \
    }                                                                                                        \
    ZV_TRIPLET_LANE_WRAPPERS(mode, mode##_rgb)

// The named 4-lane and 8-lane forms over a lane routine `fn` of the shape above.
#define ZV_TRIPLET_LANE_WRAPPERS(mode, fn)                                                                  \
    ZV_SSE_BEGIN                                                                                            \
    void mode##_comp_ps128(__m128 bg_r, __m128 bg_g, __m128 bg_b, __m128 fg_r, __m128 fg_g, __m128 fg_b,    \
                           __m128* out_r, __m128* out_g, __m128* out_b) {                                   \
        zv_sse::fn(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, *out_r, *out_g, *out_b);                             \
    }                                                                                                       \
    ZV_SSE_END                                                                                              \
    ZV_AVX_BEGIN                                                                                            \
    void mode##_comp_ps256(__m256 bg_r, __m256 bg_g, __m256 bg_b, __m256 fg_r, __m256 fg_g, __m256 fg_b,    \
                           __m256* out_r, __m256* out_g, __m256* out_b) {                                   \
        zv_avx::fn(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, *out_r, *out_g, *out_b);                             \
    }                                                                                                       \
    ZV_AVX_END

#define ZV_TRIPLET_ENTRY(mode) \
    extern const ModeLoops mode##_loops = triplet_loops<mode##_comp, mode##_comp_ps128, mode##_comp_ps256>();
