// soft_light: (1 - in) in layer + in screen(in, layer). The scalar and lane
// forms place the roundings differently and can differ in the last bit.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(soft_light) {
    const V one = splat(1.0f);
    const V inner = fnmadd(sub(one, in), sub(one, layer), one);
    const V term1 = mul(mul(in, sub(one, in)), layer);
    return mul_add(in, inner, term1);
}

#else  // once

float soft_light_comp(float in, float layer) {
    const float inner = std::fma(-(1.0f - in), 1.0f - layer, 1.0f);
    const float term1 = (1.0f - in) * in;
    const float term2 = in * inner;
    return std::fma(term1, layer, term2);
}

#define ZV_TARGET_INCLUDE "soft_light.cpp"
#include "foreach_target.hpp"

// No integer form for opaque pixels (opaque.hpp): its values are multiples of
// 1/65025 on the 0..255 scale, as close as 1/130050 to a half, nearer than
// the float path's rounding errors (some 10^-4), which then decide the byte.
ZV_SEPARABLE_MODE(soft_light, false, 0)

#endif
