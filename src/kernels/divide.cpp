// divide: 256 in / (layer + 1) on the 0..255 scale, capped at the top:
// (in * 256/255) / (layer + 1/255). For layer >= 0 the denominator is positive.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(divide) {
    const V denom = add(layer, splat(kInv255));
    return cap_one(div(mul(in, splat(256.0f * kInv255)), denom));
}

#else  // once

#define ZV_TARGET_INCLUDE "divide.cpp"
#include "foreach_target.hpp"

ZV_SCALAR_FORMULA(divide)
// No integer form for opaque pixels (opaque.hpp): its quotients land on exact
// halves for some byte pairs, where the float path's rounding errors decide.
ZV_SEPARABLE_MODE(divide, false, 0)

#endif
