// vivid_light: burn with the doubled layer below 0.5, dodge with 2 layer - 1
// above. Unlike dodge, a dodge layer of 1 gives 1 even over black.
#include "blend_common.hpp"

float vivid_light_comp(float in, float layer) { return vivid_light_channel(in, layer); }
ZV_LANE_FORMULA(vivid_light,
    const V one = splat(1.0f), zero = splat(0.0f);
    const V burn_layer = add(layer, layer);
    const V dodge_layer = sub(burn_layer, one);
    const V burned = select(eq(burn_layer, zero), select(eq(in, one), one, zero),
                            sub(one, cap_one_lib(div(sub(one, in), burn_layer))));
    const V dodged = select(eq(dodge_layer, one), one, cap_one_lib(div(in, sub(one, dodge_layer))));
    return select(lt(layer, splat(0.5f)), burned, dodged);)
// No integer form for opaque pixels (opaque.hpp): its burn and dodge halves
// divide, and their quotients land on exact halves for some byte pairs, where
// the float path's rounding errors decide.
ZV_SEPARABLE_ENTRY(vivid_light, 0)
