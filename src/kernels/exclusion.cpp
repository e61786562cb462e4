// exclusion: in + layer - 2 in layer. The scalar form fuses the whole product
// into the subtraction; the lanes round in * layer first.
#include "blend_common.hpp"

float exclusion_comp(float in, float layer) { return std::fma(-(2.0f * in), layer, in + layer); }
ZV_LANE_FORMULA(exclusion, return fnmadd(splat(2.0f), mul(in, layer), add(in, layer));)
ZV_SEPARABLE_ENTRY(exclusion, 0)
