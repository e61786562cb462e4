// linear_burn: in + layer - 1, floored at 0. The scalar form adds first, the
// lanes subtract 1 first; the two can differ in the last bit.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(linear_burn) { return max_l(add(sub(in, splat(1.0f)), layer), splat(0.0f)); }

ZV_FORMULA_U8(linear_burn) { return max_l(mul(to_float(sub_i(add_i(in, layer), splat_i(255))), inv255), splat(0.0f)); }

#else  // once

float linear_burn_comp(float in, float layer) { return std::fmax((in + layer) - 1.0f, 0.0f); }

// Opaque 8-bit pixels at opacity 1 (opaque.hpp): a + b - 255 floored at 0, as
// a - (255 - b) saturated. The float path scales the exact integer a + b - 255
// by inv255 and floors it at 0; the store rounds it back to the integer.
ZV_OPAQUE_FORM(linear_burn, linear_burn)

#define ZV_TARGET_INCLUDE "linear_burn.cpp"
#include "foreach_target.hpp"

ZV_SEPARABLE_MODE(linear_burn, true, 0)

#endif
