// The small vocabulary every formula is written in, here on one float.
//
// Each namespace (zv_scalar: one float; zv_sse and zv_neon: 4 lanes; zv_avx:
// 8 lanes) defines the same names, so a formula written once in these words
// can be stamped into every namespace and compiles to the same per-lane
// arithmetic in each: the same operations, in the same order, with the same
// roundings. The lane vocabularies (lanes_<t>.hpp) add integer lanes and the
// pixel loads and stores.
//
//   V, VI, M         float value, 32-bit integer value, comparison mask
//   splat, splat_i   broadcast a constant
//   add sub mul div  one rounding each (true division)
//   mul_add(a,b,c)   a*b + c, fused (one rounding)
//   fnmadd(a,b,c)    c - a*b, fused
//   fmsub(a,b,c)     a*b - c, fused
//   min_l(a,b)       a < b ? a : b   (the second operand wins on NaN)
//   max_l(a,b)       a > b ? a : b
//   abs_l            sign bit cleared
//   clamp01          scalar: NaN passes through; lanes: max with 0, then min with 1 (NaN -> 0)
//   lt le gt ge eq   ordered comparisons (false on NaN)
//   neq              unordered (true on NaN) in zv_scalar and the 4-lane targets, ordered in zv_avx
//   select(m, t, f)  per lane t where m, else f
//   floor_l, sqrt_l
//   cap_one(x)       the cap at 1 of divide, dodge, hard_light: scalar 1 < x ? 1 : x, lanes min_l(x, 1)
//   cap_one_lib(x)   the cap at 1 of burn, vivid_light: scalar fminf(x, 1), lanes min_l(1, x)
//                    (the two differ only in which operand a NaN gives back)
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

#include "targets.hpp"

namespace zv_scalar {
using V = float;
using VI = int32_t;
using M = bool;
constexpr int kLanes = 1;

ZV_INLINE V splat(float x) { return x; }
ZV_INLINE VI splat_i(int32_t x) { return x; }
ZV_INLINE V add(V a, V b) { return a + b; }
ZV_INLINE V sub(V a, V b) { return a - b; }
ZV_INLINE V mul(V a, V b) { return a * b; }
ZV_INLINE V div(V a, V b) { return a / b; }
ZV_INLINE V mul_add(V a, V b, V c) { return std::fma(a, b, c); }
ZV_INLINE V fnmadd(V a, V b, V c) { return std::fma(-a, b, c); }
ZV_INLINE V fmsub(V a, V b, V c) { return std::fma(a, b, -c); }
ZV_INLINE V min_l(V a, V b) { return a < b ? a : b; }
ZV_INLINE V max_l(V a, V b) { return a > b ? a : b; }
ZV_INLINE V abs_l(V a) { return std::fabs(a); }
ZV_INLINE V clamp01(V x) {
    if (x < 0.0f) return 0.0f;
    if (1.0f < x) return 1.0f;
    return x;
}
ZV_INLINE M lt(V a, V b) { return a < b; }
ZV_INLINE M le(V a, V b) { return a <= b; }
ZV_INLINE M gt(V a, V b) { return a > b; }
ZV_INLINE M ge(V a, V b) { return a >= b; }
ZV_INLINE M eq(V a, V b) { return a == b; }
ZV_INLINE M neq(V a, V b) { return a != b; }
ZV_INLINE M mand(M a, M b) { return a && b; }
ZV_INLINE M mandnot(M a, M b) { return !a && b; }
ZV_INLINE V select(M m, V t, V f) { return m ? t : f; }
ZV_INLINE V floor_l(V a) { return std::floor(a); }
ZV_INLINE V sqrt_l(V a) { return std::sqrt(a); }
ZV_INLINE V cap_one(V x) { return 1.0f < x ? 1.0f : x; }
ZV_INLINE V cap_one_lib(V x) { return std::fmin(x, 1.0f); }
}  // namespace zv_scalar
