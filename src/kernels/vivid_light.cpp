// vivid_light: burn with the doubled layer below 0.5, dodge with 2 layer - 1
// above. Unlike dodge, a dodge layer of 1 gives 1 even over black.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(vivid_light) {
    const V one = splat(1.0f), zero = splat(0.0f);
    const V burn_layer = add(layer, layer);
    const V dodge_layer = sub(burn_layer, one);
    const V burned = select(eq(burn_layer, zero), select(eq(in, one), one, zero),
                            sub(one, cap_one_lib(div(sub(one, in), burn_layer))));
    const V dodged = select(eq(dodge_layer, one), one, cap_one_lib(div(in, sub(one, dodge_layer))));
    return select(lt(layer, splat(0.5f)), burned, dodged);
}

#else  // once

// The scalar form: burn with the doubled layer below 0.5, dodge with
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

float vivid_light_comp(float in, float layer) { return vivid_light_channel(in, layer); }

#define ZV_TARGET_INCLUDE "vivid_light.cpp"
#include "foreach_target.hpp"

// No integer form for opaque pixels (opaque.hpp): its burn and dodge halves
// divide, and their quotients land on exact halves for some byte pairs, where
// the float path's rounding errors decide.
ZV_SEPARABLE_MODE(vivid_light, false, 0)

#endif
