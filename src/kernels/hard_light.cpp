// hard_light: screen with the doubled layer above 0.5, multiply below; the
// switch is on the layer.
#include "blend_common.hpp"

ZV_SHARED_FORMULA(hard_light,
    const V one = splat(1.0f), half = splat(0.5f);
    const V high_term = fnmadd(splat(2.0f), sub(layer, half), one);
    const V high = cap_one(fnmadd(sub(one, in), high_term, one));
    const V low = cap_one(mul(add(layer, layer), in));
    return select(lt(half, layer), high, low);)
// Opaque pixels keep the float path (opaque.hpp). Its values (2 a b / 255 or
// its complement, capped) are never halves, so an exact integer form exists,
// but it needs 17-bit products and a choice per byte; not written.
ZV_SEPARABLE_ENTRY(hard_light, 0)
