// burn: 1 - (1 - in) / layer, floored at 0. Under a black layer only a white
// background stays white.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(burn) {
    const V one = splat(1.0f), zero = splat(0.0f);
    const V value = sub(one, cap_one_lib(div(sub(one, in), layer)));
    const V zero_or_one = select(eq(in, one), one, zero);
    return select(eq(layer, zero), zero_or_one, value);
}

#else  // once

#define ZV_TARGET_INCLUDE "burn.cpp"
#include "foreach_target.hpp"

ZV_SCALAR_FORMULA(burn)
// No integer form for opaque pixels (opaque.hpp): 255 (255 - a) / b is an exact
// half for some byte pairs, where the float path's rounding errors decide.
ZV_SEPARABLE_MODE(burn, false, 0)

#endif
