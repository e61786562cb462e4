// Shared machinery of the blend modes: types and channel access (images.hpp),
// the lane vocabulary (simd_ops.hpp), pixel loads and stores (pixel_io.hpp),
// the drivers (separable.hpp, normal_driver.hpp, triplet.hpp), and the macros
// that turn one formula per mode into its scalar, 4-lane and 8-lane forms.
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

// A lane formula over `V in, V layer`, stamped into both lane namespaces, with
// the named 4-lane and 8-lane forms as thin wrappers.
#define ZV_LANE_FORMULA(mode, ...)                                                              \
    ZV_STAMP_LANES(ZV_INLINE V mode##_lanes(V in, V layer) { __VA_ARGS__ })                     \
    ZV_SSE_BEGIN                                                                                \
    __m128 mode##_comp_ps128(__m128 in, __m128 layer) { return zv_sse::mode##_lanes(in, layer); } \
    ZV_SSE_END                                                                                  \
    ZV_AVX_BEGIN                                                                                \
    __m256 mode##_comp_ps256(__m256 in, __m256 layer) { return zv_avx::mode##_lanes(in, layer); } \
    ZV_AVX_END

// The same formula serves the scalar form as well.
#define ZV_SHARED_FORMULA(mode, ...)                                                          \
    namespace zv_scalar {                                                                     \
    ZV_INLINE V mode##_lanes(V in, V layer) { __VA_ARGS__ }                                   \
    }                                                                                         \
    float mode##_comp(float in, float layer) { return zv_scalar::mode##_lanes(in, layer); }   \
    ZV_LANE_FORMULA(mode, __VA_ARGS__)

// An integer-input formula over `VI in, VI layer` (raw 0..255 values) and
// `V inv255`, returning unit floats.
#define ZV_U8_FORMULA(mode, ...)                                                                   \
    ZV_STAMP_LANES(ZV_INLINE V mode##_u8_lanes(VI in, VI layer, V inv255) { __VA_ARGS__ })         \
    ZV_SSE_BEGIN                                                                                   \
    __m128 mode##_comp_u8_ps128(__m128i in, __m128i layer, __m128 inv255) {                        \
        return zv_sse::mode##_u8_lanes(in, layer, inv255);                                         \
    }                                                                                              \
    ZV_SSE_END                                                                                     \
    ZV_AVX_BEGIN                                                                                   \
    __m256 mode##_comp_u8_ps256(__m256i in, __m256i layer, __m256 inv255) {                        \
        return zv_avx::mode##_u8_lanes(in, layer, inv255);                                         \
    }                                                                                              \
    ZV_AVX_END

#define ZV_SEPARABLE_ENTRY(mode, clip_output) \
    extern const ModeLoops mode##_loops =      \
        separable_loops<mode##_comp, mode##_comp_ps128, mode##_comp_ps256>(clip_output);

#define ZV_SEPARABLE_ENTRY_U8(mode, clip_output)                                               \
    extern const ModeLoops mode##_loops =                                                      \
        separable_loops<mode##_comp, mode##_comp_ps128, mode##_comp_ps256, mode##_comp_u8_ps128, \
                        mode##_comp_u8_ps256>(clip_output);
