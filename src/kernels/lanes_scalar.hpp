// The small vocabulary every formula is written in, here on one float.
//
// Each namespace (zv_scalar: one float; zv_sse and zv_neon: 4 lanes; zv_avx:
// 8 lanes; zv_avx512: 16 lanes) defines the same names, so a formula written
// once in these words is compiled in every namespace (foreach_target.hpp) to
// the same per-lane arithmetic in each: the same operations, in the same
// order, with the same roundings. The lane vocabularies (lanes_<t>.hpp) add
// integer lanes and the pixel loads and stores.
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
//   neq              unordered (true on NaN) in zv_scalar and the 4-lane targets, ordered in zv_avx and zv_avx512
//   select(m, t, f)  per lane t where m, else f
//   floor_l, sqrt_l
//   cap_one(x)       the cap at 1 of divide, dodge, hard_light: scalar 1 < x ? 1 : x, lanes min_l(x, 1)
//   cap_one_lib(x)   the cap at 1 of burn, vivid_light: scalar fminf(x, 1), lanes min_l(1, x)
//                    (the two differ only in which operand a NaN gives back)
//
// Bits and doubles (the cube root and the power split of the colour code):
//   bits_of, from_bits   a float's bits as an integer lane and back
//   add_i sub_i mul_i abs_i, min_u max_u, to_float   (zv_scalar; the lane vocabularies
//                        have them already: the integer-input formulas' words)
//   any(m)               whether any lane of a mask is set
//   and_i, or_i          bitwise and, or of integer lanes
//   trunc_i              float to 32-bit integer, rounded toward zero (in range)
//   lookup16(t, i)       t[i] per lane, i in 0..15, t 16 floats
//   VD, MD               double lanes (half of V's lanes; zv_scalar: one double), their mask
//   widen_lo, widen_hi   the low and the high half of V's lanes as doubles (exact)
//   narrow(lo, hi)       back to floats, rounded to nearest even (zv_scalar: lo only)
//   splat_d add_d sub_d mul_d fnmadd_d fmsub_d gt_d select_d   as the float words, on VD
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

// ---- bits and doubles ----------------------------------------------------------
ZV_INLINE bool any(M m) { return m; }
ZV_INLINE VI bits_of(V a) {
    VI bits;
    std::memcpy(&bits, &a, sizeof bits);
    return bits;
}
ZV_INLINE V from_bits(VI bits) {
    V a;
    std::memcpy(&a, &bits, sizeof a);
    return a;
}
ZV_INLINE VI add_i(VI a, VI b) { return a + b; }
ZV_INLINE VI sub_i(VI a, VI b) { return a - b; }
ZV_INLINE VI mul_i(VI a, VI b) { return a * b; }
ZV_INLINE VI abs_i(VI a) { return a < 0 ? -a : a; }
ZV_INLINE VI min_u(VI a, VI b) { return static_cast<uint32_t>(a) < static_cast<uint32_t>(b) ? a : b; }
ZV_INLINE VI max_u(VI a, VI b) { return static_cast<uint32_t>(a) > static_cast<uint32_t>(b) ? a : b; }
ZV_INLINE V to_float(VI a) { return static_cast<float>(a); }
ZV_INLINE VI and_i(VI a, VI b) { return a & b; }
ZV_INLINE VI or_i(VI a, VI b) { return a | b; }
ZV_INLINE VI trunc_i(V a) { return static_cast<VI>(a); }
ZV_INLINE V lookup16(const float* table, VI index) { return table[index]; }

using VD = double;
using MD = bool;
ZV_INLINE VD widen_lo(V a) { return a; }
ZV_INLINE VD widen_hi(V a) { return a; }
ZV_INLINE V narrow(VD lo, VD) { return static_cast<float>(lo); }
ZV_INLINE VD splat_d(double x) { return x; }
ZV_INLINE VD add_d(VD a, VD b) { return a + b; }
ZV_INLINE VD sub_d(VD a, VD b) { return a - b; }
ZV_INLINE VD mul_d(VD a, VD b) { return a * b; }
ZV_INLINE VD fnmadd_d(VD a, VD b, VD c) { return std::fma(-a, b, c); }
ZV_INLINE VD fmsub_d(VD a, VD b, VD c) { return std::fma(a, b, -c); }
ZV_INLINE MD gt_d(VD a, VD b) { return a > b; }
ZV_INLINE VD select_d(MD m, VD t, VD f) { return m ? t : f; }
}  // namespace zv_scalar
