// darken_only: the smaller value. The scalar form ignores a NaN operand
// (fminf); the lanes give back the second operand on NaN.
#include "blend_common.hpp"

float darken_only_comp(float in, float layer) { return std::fmin(in, layer); }
ZV_LANE_FORMULA(darken_only, return min_l(in, layer);)
ZV_U8_FORMULA(darken_only, return mul(to_float(min_u(in, layer)), inv255);)
// Opaque 8-bit pixels at opacity 1 (opaque.hpp): min(a, b). The float path
// stores round(255 x (min(a, b) x inv255)); for every byte k the two roundings
// move 255 x (k x inv255) by far less than a half from k, so it stores k.
ZV_OPAQUE_FORM(darken_only, darken)
ZV_SEPARABLE_ENTRY_U8(darken_only, 0)
