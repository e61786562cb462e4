// overlay: hard_light with the roles swapped: the switch is on the background.
// The scalar and lane forms round the high branch's product at different
// places and can differ in the last bit.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(overlay) {
    const V one = splat(1.0f), two = splat(2.0f);
    const V low = mul(two, mul(in, layer));
    const V high = fnmadd(two, mul(sub(one, layer), sub(one, in)), one);
    return select(lt(in, splat(0.5f)), low, high);
}

#else  // once

float overlay_comp(float in, float layer) {
    if (0.5f > in) return (in + in) * layer;
    return std::fma(-(2.0f * (1.0f - in)), 1.0f - layer, 1.0f);
}

#define ZV_TARGET_INCLUDE "overlay.cpp"
#include "foreach_target.hpp"

// Opaque pixels keep the float path (opaque.hpp). Its values (2 a b / 255 or
// its complement) are never halves, so an exact integer form exists, but it
// needs 17-bit products and a choice per byte; not written.
ZV_SEPARABLE_MODE(overlay, false, 0)

#endif
