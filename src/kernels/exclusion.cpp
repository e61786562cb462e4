// exclusion: in + layer - 2 in layer. The scalar form fuses the whole product
// into the subtraction; the lanes round in * layer first.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(exclusion) { return fnmadd(splat(2.0f), mul(in, layer), add(in, layer)); }

#else  // once

float exclusion_comp(float in, float layer) { return std::fma(-(2.0f * in), layer, in + layer); }

#define ZV_TARGET_INCLUDE "exclusion.cpp"
#include "foreach_target.hpp"

// Opaque pixels keep the float path (opaque.hpp). a + b - 2 a b / 255 is never
// a half, so an exact integer form exists (a + b - round(2 a b / 255)), but
// 2 a b needs 17 bits a lane; not written.
ZV_SEPARABLE_MODE(exclusion, false, 0)

#endif
