// The small vocabulary every formula is written in.
//
// Each namespace (zv_scalar: one float; zv_sse: 4 lanes; zv_avx: 8 lanes)
// defines the same names, so a formula written once in these words can be
// stamped into every namespace and compiles to the same per-lane arithmetic
// in each: the same operations, in the same order, with the same roundings.
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
//   neq              unordered (true on NaN) in zv_scalar and zv_sse, ordered in zv_avx
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

ZV_SSE_BEGIN
namespace zv_sse {
using V = __m128;
using VI = __m128i;
using M = __m128;
constexpr int kLanes = 4;

ZV_INLINE V splat(float x) { return _mm_set1_ps(x); }
ZV_INLINE VI splat_i(int32_t x) { return _mm_set1_epi32(x); }
ZV_INLINE V add(V a, V b) { return _mm_add_ps(a, b); }
ZV_INLINE V sub(V a, V b) { return _mm_sub_ps(a, b); }
ZV_INLINE V mul(V a, V b) { return _mm_mul_ps(a, b); }
ZV_INLINE V div(V a, V b) { return _mm_div_ps(a, b); }
ZV_INLINE V mul_add(V a, V b, V c) { return _mm_fmadd_ps(a, b, c); }
ZV_INLINE V fnmadd(V a, V b, V c) { return _mm_fnmadd_ps(a, b, c); }
ZV_INLINE V fmsub(V a, V b, V c) { return _mm_fmsub_ps(a, b, c); }
ZV_INLINE V min_l(V a, V b) { return _mm_min_ps(a, b); }
ZV_INLINE V max_l(V a, V b) { return _mm_max_ps(a, b); }
ZV_INLINE V abs_l(V a) { return _mm_andnot_ps(_mm_set1_ps(-0.0f), a); }
ZV_INLINE V clamp01(V x) { return _mm_min_ps(_mm_max_ps(x, _mm_setzero_ps()), _mm_set1_ps(1.0f)); }
ZV_INLINE M lt(V a, V b) { return _mm_cmp_ps(a, b, _CMP_LT_OQ); }
ZV_INLINE M le(V a, V b) { return _mm_cmp_ps(a, b, _CMP_LE_OQ); }
ZV_INLINE M gt(V a, V b) { return _mm_cmp_ps(a, b, _CMP_GT_OQ); }
ZV_INLINE M ge(V a, V b) { return _mm_cmp_ps(a, b, _CMP_GE_OQ); }
ZV_INLINE M eq(V a, V b) { return _mm_cmp_ps(a, b, _CMP_EQ_OQ); }
ZV_INLINE M neq(V a, V b) { return _mm_cmp_ps(a, b, _CMP_NEQ_UQ); }
ZV_INLINE M mand(M a, M b) { return _mm_and_ps(a, b); }
ZV_INLINE M mandnot(M a, M b) { return _mm_andnot_ps(a, b); }
ZV_INLINE V select(M m, V t, V f) { return _mm_blendv_ps(f, t, m); }
ZV_INLINE V floor_l(V a) { return _mm_floor_ps(a); }
ZV_INLINE V sqrt_l(V a) { return _mm_sqrt_ps(a); }
ZV_INLINE V cap_one(V x) { return _mm_min_ps(x, _mm_set1_ps(1.0f)); }
ZV_INLINE V cap_one_lib(V x) { return _mm_min_ps(_mm_set1_ps(1.0f), x); }

ZV_INLINE VI add_i(VI a, VI b) { return _mm_add_epi32(a, b); }
ZV_INLINE VI sub_i(VI a, VI b) { return _mm_sub_epi32(a, b); }
ZV_INLINE VI mul_i(VI a, VI b) { return _mm_mullo_epi32(a, b); }
ZV_INLINE VI abs_i(VI a) { return _mm_abs_epi32(a); }
ZV_INLINE VI min_u(VI a, VI b) { return _mm_min_epu32(a, b); }
ZV_INLINE VI max_u(VI a, VI b) { return _mm_max_epu32(a, b); }
ZV_INLINE V to_float(VI a) { return _mm_cvtepi32_ps(a); }
}  // namespace zv_sse
ZV_SSE_END

ZV_AVX_BEGIN
namespace zv_avx {
using V = __m256;
using VI = __m256i;
using M = __m256;
constexpr int kLanes = 8;

ZV_INLINE V splat(float x) { return _mm256_set1_ps(x); }
ZV_INLINE VI splat_i(int32_t x) { return _mm256_set1_epi32(x); }
ZV_INLINE V add(V a, V b) { return _mm256_add_ps(a, b); }
ZV_INLINE V sub(V a, V b) { return _mm256_sub_ps(a, b); }
ZV_INLINE V mul(V a, V b) { return _mm256_mul_ps(a, b); }
ZV_INLINE V div(V a, V b) { return _mm256_div_ps(a, b); }
ZV_INLINE V mul_add(V a, V b, V c) { return _mm256_fmadd_ps(a, b, c); }
ZV_INLINE V fnmadd(V a, V b, V c) { return _mm256_fnmadd_ps(a, b, c); }
ZV_INLINE V fmsub(V a, V b, V c) { return _mm256_fmsub_ps(a, b, c); }
ZV_INLINE V min_l(V a, V b) { return _mm256_min_ps(a, b); }
ZV_INLINE V max_l(V a, V b) { return _mm256_max_ps(a, b); }
ZV_INLINE V abs_l(V a) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a); }
ZV_INLINE V clamp01(V x) {
    return _mm256_min_ps(_mm256_max_ps(x, _mm256_setzero_ps()), _mm256_set1_ps(1.0f));
}
ZV_INLINE M lt(V a, V b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
ZV_INLINE M le(V a, V b) { return _mm256_cmp_ps(a, b, _CMP_LE_OQ); }
ZV_INLINE M gt(V a, V b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
ZV_INLINE M ge(V a, V b) { return _mm256_cmp_ps(a, b, _CMP_GE_OQ); }
ZV_INLINE M eq(V a, V b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
ZV_INLINE M neq(V a, V b) { return _mm256_cmp_ps(a, b, _CMP_NEQ_OQ); }
ZV_INLINE M mand(M a, M b) { return _mm256_and_ps(a, b); }
ZV_INLINE M mandnot(M a, M b) { return _mm256_andnot_ps(a, b); }
ZV_INLINE V select(M m, V t, V f) { return _mm256_blendv_ps(f, t, m); }
ZV_INLINE V floor_l(V a) { return _mm256_floor_ps(a); }
ZV_INLINE V sqrt_l(V a) { return _mm256_sqrt_ps(a); }
ZV_INLINE V cap_one(V x) { return _mm256_min_ps(x, _mm256_set1_ps(1.0f)); }
ZV_INLINE V cap_one_lib(V x) { return _mm256_min_ps(_mm256_set1_ps(1.0f), x); }

ZV_INLINE VI add_i(VI a, VI b) { return _mm256_add_epi32(a, b); }
ZV_INLINE VI sub_i(VI a, VI b) { return _mm256_sub_epi32(a, b); }
ZV_INLINE VI mul_i(VI a, VI b) { return _mm256_mullo_epi32(a, b); }
ZV_INLINE VI abs_i(VI a) { return _mm256_abs_epi32(a); }
ZV_INLINE VI min_u(VI a, VI b) { return _mm256_min_epu32(a, b); }
ZV_INLINE VI max_u(VI a, VI b) { return _mm256_max_epu32(a, b); }
ZV_INLINE V to_float(VI a) { return _mm256_cvtepi32_ps(a); }
}  // namespace zv_avx
ZV_AVX_END

// Stamps one formula into every namespace / only into the lane namespaces.
// The body refers to the vocabulary above by its unqualified names.
#define ZV_STAMP_LANES(...)                      \
    ZV_SSE_BEGIN namespace zv_sse { __VA_ARGS__ } \
    ZV_SSE_END                                    \
    ZV_AVX_BEGIN namespace zv_avx { __VA_ARGS__ } \
    ZV_AVX_END
#define ZV_STAMP_ALL(...) \
    namespace zv_scalar { __VA_ARGS__ } ZV_STAMP_LANES(__VA_ARGS__)
