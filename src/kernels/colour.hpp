// The colour driver: blend functions that need a pixel's whole colour
// (hue, saturation, lightness, chroma), composited onto the background with
// the alpha ratio of the separable modes but without a clamp:
//
//   comp_alpha = min(bg_a, fg_a) * opacity
//   new_alpha  = comp_alpha * (1 - bg_a) + bg_a             (fused)
//   ratio      = comp_alpha / new_alpha
//   out_c      = comp_c * ratio + (1 - ratio) * bg_c       (fused onto the rounded product)
//
// The scalar stage divides unless new_alpha is exactly 0; the vector stages
// use ratio 0 wherever new_alpha > 0 fails. Stages: the lane stages of the
// kernel's targets, widest first (avx512: 16 pixels, then 8 and 4 for what it
// left; avx2: 8 pixels, then 4; sse42 and neon: 4 pixels), then the scalar
// stage for the rest.
//
// A mode is one source (hsv_hue.cpp is the model): its formula over the lane
// vocabulary, compiled for every target (ZV_COLOUR_FORMULA), and its scalar
// form, tag and loops (ZV_COLOUR_MODE). `Mode::scalar` is the scalar form,
// `rgb<Mode>` in each lane target (colour_stages.inc) the lane form.
#pragma once

#include <cmath>

#include "image_view.hpp"
#include "lanes.hpp"
#include "modes.hpp"

struct rgb_colour {
    float r, g, b;
};

template <class Mode, bool BgU8, bool FgU8>
void colour_scalar_typed(BlendJob& job, zv_index index) {
    const ImageIn& bg = job.background;
    const ImageIn& fg = job.foreground;
    const int bc = bg.channels, fc = fg.channels;
    const float opacity = job.opacity;
    for (; index < job.pixels; ++index) {
        const zv_index b = index * bc, f = index * fc;
        const rgb_colour in{read_elem<BgU8>(bg, b), read_elem<BgU8>(bg, b + 1), read_elem<BgU8>(bg, b + 2)};
        const rgb_colour layer{read_elem<FgU8>(fg, f), read_elem<FgU8>(fg, f + 1), read_elem<FgU8>(fg, f + 2)};
        const float bg_alpha = read_alpha<BgU8>(bg, index), fg_alpha = read_alpha<FgU8>(fg, index);
        const float comp_alpha = std::fmin(bg_alpha, fg_alpha) * opacity;
        const float new_alpha = std::fma(comp_alpha, 1.0f - bg_alpha, bg_alpha);
        const float ratio = new_alpha == 0.0f ? 0.0f : comp_alpha / new_alpha;
        const rgb_colour comp = Mode::scalar(in, layer);
        const float inv_ratio = 1.0f - ratio;
        write_elem<BgU8>(job.output, b, std::fma(comp.r, ratio, inv_ratio * in.r));
        write_elem<BgU8>(job.output, b + 1, std::fma(comp.g, ratio, inv_ratio * in.g));
        write_elem<BgU8>(job.output, b + 2, std::fma(comp.b, ratio, inv_ratio * in.b));
        if (bc == 4) write_elem<BgU8>(job.output, b + 3, new_alpha);
    }
}

template <class Mode>
void colour_scalar(BlendJob& job, zv_index index) {
    with_element_types(job.background.is_uint8, job.foreground.is_uint8, [&](auto bg8, auto fg8) {
        colour_scalar_typed<Mode, decltype(bg8)::value, decltype(fg8)::value>(job, index);
    });
}

template <class Mode>
void colour_pixels(BlendJob& job) {
    zv_index index = 0;
    for_each_lane_target(job.kernel, [&](auto target) { colour_stage(target, Mode{}, job, index); });
    colour_scalar<Mode>(job, index);
}

// The loops of a colour mode.
template <class Mode>
constexpr ModeLoops colour_loops() {
    return {&colour_pixels<Mode>, nullptr, 0};
}

// A colour formula over the two colours (`bg_r .. fg_b` in, `r, g, b` out),
// in every target: `<mode>` in each namespace, and in the lane targets the
// mode's lane form, an ordinary function (as the separable modes' lane
// forms). The body follows the macro.
#define ZV_COLOUR_FORMULA(mode)                                                                            \
    ZV_INLINE void mode(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, V& r, V& g, V& b);                 \
    ZV_IF_LANES(template <> void rgb< ::mode##_mode>(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, V * r, \
                                                     V * g, V * b) {                                       \
        mode(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, *r, *g, *b);                                              \
    })                                                                                                     \
    ZV_INLINE void mode(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, V& r, V& g, V& b)

// The mode's scalar form `<mode>_comp` (the formula's zv_scalar pass), its
// tag and its loops (after foreach_target.hpp).
#define ZV_COLOUR_MODE(mode)                                                                       \
    rgb_colour mode##_comp(rgb_colour bg, rgb_colour fg) {                                         \
        rgb_colour out;                                                                            \
        zv_scalar::mode(bg.r, bg.g, bg.b, fg.r, fg.g, fg.b, out.r, out.g, out.b);                  \
        return out;                                                                                \
    }                                                                                              \
    struct mode##_mode {                                                                           \
        static rgb_colour scalar(rgb_colour bg, rgb_colour fg) { return mode##_comp(bg, fg); }     \
    };                                                                                             \
    extern const ModeLoops mode##_loops = colour_loops<mode##_mode>();
