// hard_light: screen with the doubled layer above 0.5, multiply below; the
// switch is on the layer.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(hard_light) {
    const V one = splat(1.0f), half = splat(0.5f);
    const V high_term = fnmadd(splat(2.0f), sub(layer, half), one);
    const V high = cap_one(fnmadd(sub(one, in), high_term, one));
    const V low = cap_one(mul(add(layer, layer), in));
    return select(lt(half, layer), high, low);
}

#else  // once

#define ZV_TARGET_INCLUDE "hard_light.cpp"
#include "foreach_target.hpp"

ZV_SCALAR_FORMULA(hard_light)
// Opaque pixels keep the float path (opaque.hpp). Its values (2 a b / 255 or
// its complement, capped) are never halves, so an exact integer form exists,
// but it needs 17-bit products and a choice per byte; not written.
ZV_SEPARABLE_MODE(hard_light, false, 0)

#endif
