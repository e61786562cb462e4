// overlay: hard_light with the roles swapped: the switch is on the background.
// The scalar and lane forms round the high branch's product at different
// places and can differ in the last bit.
#include "blend_common.hpp"

float overlay_comp(float in, float layer) {
    if (0.5f > in) return (in + in) * layer;
    return std::fma(-(2.0f * (1.0f - in)), 1.0f - layer, 1.0f);
}
ZV_LANE_FORMULA(overlay,
    const V one = splat(1.0f), two = splat(2.0f);
    const V low = mul(two, mul(in, layer));
    const V high = fnmadd(two, mul(sub(one, layer), sub(one, in)), one);
    return select(lt(in, splat(0.5f)), low, high);)
// Opaque pixels keep the float path (opaque.hpp). Its values (2 a b / 255 or
// its complement) are never halves, so an exact integer form exists, but it
// needs 17-bit products and a choice per byte; not written.
ZV_SEPARABLE_ENTRY(overlay, 0)
