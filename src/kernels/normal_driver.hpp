// The normal driver: the foreground laid over the background with the over
// operator on straight alpha, scaled by the opacity.
//
//   alpha  = layer_a*o + in_a*(1 - layer_a*o)
//   colour = (layer_c*layer_a*o + in_c*in_a*(1 - layer_a*o)) / alpha, or 0 unless alpha > 0
#pragma once

#include <cstring>

#include "image_view.hpp"
#include "lanes.hpp"

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

// The pixel loop of normal. A template, so that it is compiled where its
// source has defined every target's stage (after foreach_target.hpp).
template <int = 0>
void normal_pixels(BlendJob& job) {
    zv_index index = 0;
    for_each_lane_target(job.kernel, [&](auto target) { normal_stage(target, job, index); });
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

