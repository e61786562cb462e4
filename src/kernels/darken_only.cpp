// darken_only: the smaller value. The scalar form ignores a NaN operand
// (fminf); the lanes give back the second operand on NaN.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(darken_only) { return min_l(in, layer); }

ZV_FORMULA_U8(darken_only) { return mul(to_float(min_u(in, layer)), inv255); }

#else  // once

float darken_only_comp(float in, float layer) { return std::fmin(in, layer); }

// Opaque 8-bit pixels at opacity 1 (opaque.hpp): min(a, b). The float path
// stores round(255 x (min(a, b) x inv255)); for every byte k the two roundings
// move 255 x (k x inv255) by far less than a half from k, so it stores k.
ZV_OPAQUE_FORM(darken_only, darken)

#define ZV_TARGET_INCLUDE "darken_only.cpp"
#include "foreach_target.hpp"

ZV_SEPARABLE_MODE(darken_only, true, 0)

#endif
