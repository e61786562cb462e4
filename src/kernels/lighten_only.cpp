// lighten_only: the larger value. The scalar form ignores a NaN operand
// (fmaxf); the lanes give back the second operand on NaN.
#include "blend_common.hpp"

float lighten_only_comp(float in, float layer) { return std::fmax(in, layer); }
ZV_LANE_FORMULA(lighten_only, return max_l(in, layer);)
ZV_U8_FORMULA(lighten_only, return mul(to_float(max_u(in, layer)), inv255);)
// Opaque 8-bit pixels at opacity 1 (opaque.hpp): max(a, b), exact for the
// reason darken_only's min is: 255 x (k x inv255) rounds back to k.
ZV_OPAQUE_FORM(lighten_only, lighten)
ZV_SEPARABLE_ENTRY_U8(lighten_only, 0)
