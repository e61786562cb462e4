// multiply: in * layer; darkens, white is neutral.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(multiply) { return mul(in, layer); }

// Exact integer product, scaled once by the rounded square of inv255
// (so 255 * 255 gives 1.0000001, not 1).
ZV_FORMULA_U8(multiply) { return mul(to_float(mul_i(in, layer)), mul(inv255, inv255)); }

#else  // once

// Opaque 8-bit pixels at opacity 1 (opaque.hpp): a b / 255 rounded to nearest.
// The float path's value, 255 x (a b x inv255^2), is within 10^-4 of a b / 255,
// and a b / 255 is never closer than 1/510 to a half (2 a b = 255 (2k + 1) has
// an even left side and an odd right side), so both round the same way.
ZV_OPAQUE_FORM(multiply, multiply)

#define ZV_TARGET_INCLUDE "multiply.cpp"
#include "foreach_target.hpp"

ZV_SCALAR_FORMULA(multiply)
ZV_SEPARABLE_MODE(multiply, true, 0)

#endif
