// pin_light: darken with the doubled layer below 0.5, lighten with
// 2 layer - 1 above.
#include "blend_common.hpp"

float pin_light_comp(float in, float layer) {
    const float doubled = layer + layer;
    if (0.5f > layer) return std::fmin(in, doubled);
    return std::fmax(doubled - 1.0f, in);
}
ZV_LANE_FORMULA(pin_light,
    const V doubled = add(layer, layer);
    const V low = min_l(in, doubled);
    const V high = max_l(in, sub(doubled, splat(1.0f)));
    return select(lt(layer, splat(0.5f)), low, high);)
// Opaque pixels keep the float path (opaque.hpp). Its values are bytes already
// (min(a, 2b) below b = 128, max(a, 2b - 255) above), so an exact integer
// form exists; not written.
ZV_SEPARABLE_ENTRY(pin_light, 0)
