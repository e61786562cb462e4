// lighten_only: the larger value. The scalar form ignores a NaN operand
// (fmaxf); the lanes give back the second operand on NaN.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(lighten_only) { return max_l(in, layer); }

ZV_FORMULA_U8(lighten_only) { return mul(to_float(max_u(in, layer)), inv255); }

#else  // once

float lighten_only_comp(float in, float layer) { return std::fmax(in, layer); }

// Opaque 8-bit pixels at opacity 1 (opaque.hpp): max(a, b), exact for the
// reason darken_only's min is: 255 x (k x inv255) rounds back to k.
ZV_OPAQUE_FORM(lighten_only, lighten)

#define ZV_TARGET_INCLUDE "lighten_only.cpp"
#include "foreach_target.hpp"

ZV_SEPARABLE_MODE(lighten_only, true, 0)

#endif
