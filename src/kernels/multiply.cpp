// multiply: in * layer; darkens, white is neutral.
#include "blend_common.hpp"

ZV_SHARED_FORMULA(multiply, return mul(in, layer);)
// Exact integer product, scaled once by the rounded square of inv255
// (so 255 * 255 gives 1.0000001, not 1).
ZV_U8_FORMULA(multiply, return mul(to_float(mul_i(in, layer)), mul(inv255, inv255));)
ZV_SEPARABLE_ENTRY_U8(multiply, 0)
