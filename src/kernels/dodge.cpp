// dodge: in / (1 - layer), capped at 1. Where 1 - layer <= 0 the result is 1,
// or 0 for a black background.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(dodge) {
    const V one = splat(1.0f), zero = splat(0.0f);
    const V denom = sub(one, layer);
    const M denom_mask = le(denom, zero);
    const V value = select(denom_mask, one, cap_one(div(in, denom)));
    return select(mand(denom_mask, le(in, zero)), zero, value);
}

#else  // once

#define ZV_TARGET_INCLUDE "dodge.cpp"
#include "foreach_target.hpp"

ZV_SCALAR_FORMULA(dodge)
// No integer form for opaque pixels (opaque.hpp): 255 a / (255 - b) is an exact
// half for some byte pairs (a odd, 255 - b = 2), where the float path's
// rounding errors decide.
ZV_SEPARABLE_MODE(dodge, false, 0)

#endif
