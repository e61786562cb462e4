// burn: 1 - (1 - in) / layer, floored at 0. Under a black layer only a white
// background stays white.
#include "blend_common.hpp"

ZV_SHARED_FORMULA(burn,
    const V one = splat(1.0f), zero = splat(0.0f);
    const V value = sub(one, cap_one_lib(div(sub(one, in), layer)));
    const V zero_or_one = select(eq(in, one), one, zero);
    return select(eq(layer, zero), zero_or_one, value);)
// No integer form for opaque pixels (opaque.hpp): 255 (255 - a) / b is an exact
// half for some byte pairs, where the float path's rounding errors decide.
ZV_SEPARABLE_ENTRY(burn, 0)
