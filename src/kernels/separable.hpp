// The separable driver: one blend function per channel, composited onto the
// background by the alpha ratio.
//
//   comp_alpha = min(in_a, layer_a) * opacity
//   new_alpha  = in_a + (1 - in_a) * comp_alpha          (fused)
//   ratio      = comp_alpha / new_alpha, or 0 unless new_alpha > 0
//   out_c      = comp * ratio + (1 - ratio) * in_c        (fused onto the rounded product)
//
// Stages run in a fixed order over one running pixel index: the flat stage
// (two 3-channel images), the lane stages of the kernel's targets, widest
// first (avx2: 8 pixels, then 4 for what it left; sse42 and neon: 4 pixels),
// and the scalar stage, which finishes every kernel.
//
// A mode is a tag type (ZV_SEPARABLE_ENTRY): `Mode::scalar` is its scalar
// form, `comp<Mode>` / `comp_u8<Mode>` in each lane target its lane forms.
#pragma once

#include "lanes.hpp"

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
template <class Mode, bool BgU8, bool FgU8>
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
            const float blended = Mode::scalar(in_c, read_elem<FgU8>(fg, f + c));
            float out_c = std::fma(blended, ratio, (1.0f - ratio) * in_c);
            if (clip) out_c = clamp01(out_c);
            write_elem<BgU8>(job.output, b + c, out_c);
        }
        if (bc == 4) write_elem<BgU8>(job.output, b + 3, new_alpha);
    }
}

template <class Mode>
void ratio_scalar(BlendJob& job, zv_index index) {
    with_element_types(job.background.is_uint8, job.foreground.is_uint8, [&](auto bg8, auto fg8) {
        ratio_scalar_typed<Mode, decltype(bg8)::value, decltype(fg8)::value>(job, index);
    });
}

// Element-wise tail of the flat stage (fewer than one vector step).
template <class Mode, bool BgU8, bool FgU8>
void flat_scalar_tail(BlendJob& job, zv_index elem, zv_index elements) {
    const float opacity = job.opacity, inv_opacity = 1.0f - opacity;
    for (; elem < elements; ++elem) {
        const float in_c = read_elem<BgU8>(job.background, elem);
        float out_c =
            std::fma(Mode::scalar(in_c, read_elem<FgU8>(job.foreground, elem)), opacity, inv_opacity * in_c);
        if (job.clip_output) out_c = clamp01(out_c);
        write_elem<BgU8>(job.output, elem, out_c);
    }
}

// Runs the flat stage of the first of the kernel's targets whose conditions
// hold, then the scalar tail; returns whether the image is done.
template <class Mode>
bool ratio_flat_stage(BlendJob& job) {
    zv_index elem = 0;
    bool done = false;
    for_each_lane_target(job.kernel, [&](auto target) {
        if (!done) done = decltype(target)::template ratio_flat_stage<Mode>(job, elem);
    });
    if (!done) return false;
    with_element_types(job.background.is_uint8, job.foreground.is_uint8, [&](auto bg8, auto fg8) {
        flat_scalar_tail<Mode, decltype(bg8)::value, decltype(fg8)::value>(job, elem, job.pixels * 3);
    });
    return true;
}

template <class Mode>
void ratio_pixels(BlendJob& job) {
    zv_index index = 0;
    if (job.kernel != KERNEL_SCALAR && job.background.channels == 3 && job.foreground.channels == 3 &&
        ratio_flat_stage<Mode>(job))
        index = job.pixels;
    for_each_lane_target(job.kernel, [&](auto target) { decltype(target)::template ratio_stage<Mode>(job, index); });
    ratio_scalar<Mode>(job, index);
}

// The loops of a separable mode. Its forms are found through its tag, so that
// every stage inlines them.
template <class Mode>
constexpr ModeLoops separable_loops(int clip_output) {
    return {&ratio_pixels<Mode>, nullptr, clip_output};
}
