// Shared machinery of the blend modes: types and channel access
// (image_view.hpp), the targets and their vocabularies (targets.hpp,
// lanes.hpp), pixel loads and stores (pixel_io.hpp), the drivers
// (separable.hpp, normal_driver.hpp, triplet.hpp), the colour models, and the
// macros that turn one formula per mode into its scalar form and its form in
// every lane target.
#pragma once

#include "lch.hpp"
#include "normal_driver.hpp"
#include "separable.hpp"
#include "triplet.hpp"

// vivid_light's scalar form: burn with the doubled layer below 0.5, dodge with
// (layer - 0.5) doubled above it, each guarded before it divides.
inline float vivid_light_channel(float bg, float fg) {
    if (0.5f > fg) {
        const float burn_layer = fg + fg;
        if (burn_layer == 0.0f) return bg == 1.0f ? 1.0f : 0.0f;
        return 1.0f - std::fmin((1.0f - bg) / burn_layer, 1.0f);
    }
    const float dodge_layer = (fg - 0.5f) * 2.0f;
    if (dodge_layer == 1.0f) return 1.0f;
    return std::fmin(bg / (1.0f - dodge_layer), 1.0f);
}

// A lane formula over `V in, V layer`, stamped into every lane target as
// `<mode>_lanes` and made the mode's lane form there. The lane form is an
// ordinary function, which the compiler inlines into the stages or not as it
// finds best (x86 code generation, NaN payloads included, depends on that).
#define ZV_LANE_FORMULA(mode, ...)                                        \
    struct mode##_mode;                                                   \
    ZV_STAMP_LANES(ZV_INLINE V mode##_lanes(V in, V layer) { __VA_ARGS__ } \
                   template <> V comp<mode##_mode>(V in, V layer) { return mode##_lanes(in, layer); })

// The same formula serves the scalar form `<mode>_comp` as well.
#define ZV_SHARED_FORMULA(mode, ...)                                                          \
    namespace zv_scalar {                                                                     \
    ZV_INLINE V mode##_lanes(V in, V layer) { __VA_ARGS__ }                                   \
    }                                                                                         \
    float mode##_comp(float in, float layer) { return zv_scalar::mode##_lanes(in, layer); }   \
    ZV_LANE_FORMULA(mode, __VA_ARGS__)

// An integer-input formula over `VI in, VI layer` (raw 0..255 values) and
// `V inv255`, returning unit floats; the lane form for two 8-bit inputs.
#define ZV_U8_FORMULA(mode, ...)                                                              \
    struct mode##_mode;                                                                       \
    ZV_STAMP_LANES(template <> V comp_u8<mode##_mode>(VI in, VI layer, V inv255) {            \
        __VA_ARGS__                                                                           \
    })

// The mode's tag (its scalar form, whether it has an integer-input form) and
// its loops.
#define ZV_SEPARABLE_TAG(mode, integer_form)                                                  \
    struct mode##_mode {                                                                      \
        static constexpr bool kIntegerForm = integer_form;                                    \
        static float scalar(float in, float layer) { return mode##_comp(in, layer); }         \
    };

#define ZV_SEPARABLE_ENTRY(mode, clip_output) \
    ZV_SEPARABLE_TAG(mode, false)             \
    extern const ModeLoops mode##_loops = separable_loops<mode##_mode>(clip_output);

#define ZV_SEPARABLE_ENTRY_U8(mode, clip_output) \
    ZV_SEPARABLE_TAG(mode, true)                 \
    extern const ModeLoops mode##_loops = separable_loops<mode##_mode>(clip_output);
