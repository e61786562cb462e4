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
// first (avx512: 16 pixels, then 8 and 4 for what it left; avx2: 8 pixels,
// then 4; sse42 and neon: 4 pixels), and the scalar stage, which finishes
// every kernel.
//
// A mode is one source (multiply.cpp is the model): its formula over the lane
// vocabulary, compiled for every target (ZV_FORMULA, and ZV_FORMULA_U8 for an
// integer-input form), its scalar form `<mode>_comp` (the formula's zv_scalar
// pass, ZV_SCALAR_FORMULA, or a function of its own) and its tag and loops
// (ZV_SEPARABLE_MODE). `Mode::scalar` is the scalar form, `comp<Mode>` /
// `comp_u8<Mode>` in each lane target (separable_stages.inc) the lane forms.
#pragma once

#include <cmath>

#include "image_view.hpp"
#include "lanes.hpp"
#include "modes.hpp"
#include "opaque.hpp"

// The scalar stage, one pixel per step from `index` to the end.
template <class Mode, bool BgU8, bool FgU8>
void separable_scalar_typed(BlendJob& job, zv_index index) {
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
void separable_scalar(BlendJob& job, zv_index index) {
    with_element_types(job.background.is_uint8, job.foreground.is_uint8, [&](auto bg8, auto fg8) {
        separable_scalar_typed<Mode, decltype(bg8)::value, decltype(fg8)::value>(job, index);
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
bool separable_flat_pixels(BlendJob& job) {
    zv_index elem = 0;
    bool done = false;
    for_each_lane_target(job.kernel, [&](auto target) {
        if (!done) done = separable_flat_stage(target, Mode{}, job, elem);
    });
    if (!done) return false;
    with_element_types(job.background.is_uint8, job.foreground.is_uint8, [&](auto bg8, auto fg8) {
        flat_scalar_tail<Mode, decltype(bg8)::value, decltype(fg8)::value>(job, elem, job.pixels * 3);
    });
    return true;
}

template <class Mode>
void separable_pixels(BlendJob& job) {
    zv_index index = 0;
    if (job.kernel != KERNEL_SCALAR && job.background.channels == 3 && job.foreground.channels == 3 &&
        separable_flat_pixels<Mode>(job))
        index = job.pixels;
    for_each_lane_target(job.kernel, [&](auto target) { separable_stage(target, Mode{}, job, index); });
    separable_scalar<Mode>(job, index);
}

// The loops of a separable mode. Its forms are found through its tag, so that
// every stage inlines them.
template <class Mode>
constexpr ModeLoops separable_loops(int clip_output) {
    return {&separable_pixels<Mode>, nullptr, clip_output};
}

// A formula over `V in, V layer`, in every target: `<mode>` in each
// namespace, and in the lane targets the mode's lane form. The body follows
// the macro. The lane form is an ordinary function, which the compiler
// inlines into the stages or not as it finds best (x86 code generation, NaN
// payloads included, depends on that).
#define ZV_FORMULA(mode)                                                                           \
    ZV_INLINE V mode(V in, V layer);                                                               \
    ZV_IF_LANES(template <> V comp< ::mode##_mode>(V in, V layer) { return mode(in, layer); })    \
    ZV_INLINE V mode(V in, V layer)

// An integer-input formula over `VI in, VI layer` (raw 0..255 values) and
// `V inv255`, returning unit floats: in the lane targets the lane form for two
// 8-bit inputs, in zv_scalar `<mode>_u8`. The body follows the macro.
#define ZV_FORMULA_U8(mode)                                  \
    ZV_IF_LANES(template <> V comp_u8< ::mode##_mode>)       \
    ZV_IF_SCALAR(ZV_INLINE V mode##_u8)(VI in, VI layer, V inv255)

// The scalar form `<mode>_comp` as the formula's zv_scalar pass (after
// foreach_target.hpp).
#define ZV_SCALAR_FORMULA(mode) \
    float mode##_comp(float in, float layer) { return zv_scalar::mode(in, layer); }

// The mode's tag (its scalar form, whether it has an integer-input form) and
// its loops.
#define ZV_SEPARABLE_MODE(mode, integer_form, clip_output)                                    \
    float mode##_comp(float in, float layer);                                                 \
    struct mode##_mode {                                                                      \
        static constexpr bool kIntegerForm = integer_form;                                    \
        static float scalar(float in, float layer) { return mode##_comp(in, layer); }         \
    };                                                                                        \
    extern const ModeLoops mode##_loops = separable_loops<mode##_mode>(clip_output);
