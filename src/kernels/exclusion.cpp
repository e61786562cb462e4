// exclusion: in + layer - 2 in layer. The scalar form fuses the whole product
// into the subtraction; the lanes round in * layer first.
#include "blend_common.hpp"

float exclusion_comp(float in, float layer) { return std::fma(-(2.0f * in), layer, in + layer); }
ZV_LANE_FORMULA(exclusion, return fnmadd(splat(2.0f), mul(in, layer), add(in, layer));)
// Opaque pixels keep the float path (opaque.hpp). a + b - 2 a b / 255 is never
// a half, so an exact integer form exists (a + b - round(2 a b / 255)), but
// 2 a b needs 17 bits a lane; not written.
ZV_SEPARABLE_ENTRY(exclusion, 0)
