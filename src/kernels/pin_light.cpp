// pin_light: darken with the doubled layer below 0.5, lighten with
// 2 layer - 1 above.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(pin_light) {
    const V doubled = add(layer, layer);
    const V low = min_l(in, doubled);
    const V high = max_l(in, sub(doubled, splat(1.0f)));
    return select(lt(layer, splat(0.5f)), low, high);
}

#else  // once

float pin_light_comp(float in, float layer) {
    const float doubled = layer + layer;
    if (0.5f > layer) return std::fmin(in, doubled);
    return std::fmax(doubled - 1.0f, in);
}

// Opaque 8-bit pixels at opacity 1 (opaque.hpp): min(a, 2b) for b < 128, else
// max(a, 2b - 255). layer < 0.5 holds exactly for b <= 127; doubling is exact
// and rounding keeps the order of two values, so the lanes pick the float of
// the smaller (larger) integer, and 255 x that float, or x (2 layer - 1),
// rounds back to the integer, as for darken_only.
ZV_OPAQUE_FORM(pin_light, pin_light)

#define ZV_TARGET_INCLUDE "pin_light.cpp"
#include "foreach_target.hpp"

ZV_SEPARABLE_MODE(pin_light, false, 0)

#endif
