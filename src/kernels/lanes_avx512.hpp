// The 16-lane AVX-512 target (x86-64): AVX-512 F, BW, DQ and VL, with fused
// multiply-adds. Offered on processors with those whose operating system
// saves the AVX-512 state (opmask and the upper ZMM registers).
//
// Its results equal the 8-lane AVX2 target's bit for bit: every word is the
// EVEX form of the instruction behind the same word in lanes_avx.hpp (vminps
// and vmaxps keep minps/maxps's choice of operand on NaN and zeros, the
// compares take the same predicates, 8-bit stores convert with the same
// round-to-nearest-even after the same clamp), and a comparison's mask is an
// opmask register where AVX2 has a vector of all-ones or all-zeros lanes, so
// a select picks the same lane.
//
// A kernel runs its targets widest first, so the pixels a 16-lane group does
// not cover go to the 8-lane stage and then the 4-lane one, exactly as under
// AVX2: every pixel meets the same arithmetic in the same kind of stage.
// The one stage stepping by elements whose tail would differ (the flat stage
// of two float images, kLanes elements a step) is left to the 8-lane target.
#pragma once

#include "lanes_avx.hpp"

ZV_BEGIN_avx512
namespace zv_avx512 {
using V = __m512;
using VI = __m512i;
using M = __mmask16;
constexpr int kLanes = 16;
// The kernels whose stages include this target's.
constexpr unsigned kKernels = 1u << KERNEL_AVX512;

ZV_INLINE V splat(float x) { return _mm512_set1_ps(x); }
ZV_INLINE VI splat_i(int32_t x) { return _mm512_set1_epi32(x); }
ZV_INLINE V add(V a, V b) { return _mm512_add_ps(a, b); }
ZV_INLINE V sub(V a, V b) { return _mm512_sub_ps(a, b); }
ZV_INLINE V mul(V a, V b) { return _mm512_mul_ps(a, b); }
ZV_INLINE V div(V a, V b) { return _mm512_div_ps(a, b); }
ZV_INLINE V mul_add(V a, V b, V c) { return _mm512_fmadd_ps(a, b, c); }
ZV_INLINE V fnmadd(V a, V b, V c) { return _mm512_fnmadd_ps(a, b, c); }
ZV_INLINE V fmsub(V a, V b, V c) { return _mm512_fmsub_ps(a, b, c); }
ZV_INLINE V min_l(V a, V b) { return _mm512_min_ps(a, b); }
ZV_INLINE V max_l(V a, V b) { return _mm512_max_ps(a, b); }
ZV_INLINE V abs_l(V a) {
    return _mm512_castsi512_ps(_mm512_and_si512(_mm512_castps_si512(a), _mm512_set1_epi32(0x7FFFFFFF)));
}
ZV_INLINE V clamp01(V x) { return _mm512_min_ps(_mm512_max_ps(x, _mm512_setzero_ps()), _mm512_set1_ps(1.0f)); }
ZV_INLINE M lt(V a, V b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
ZV_INLINE M le(V a, V b) { return _mm512_cmp_ps_mask(a, b, _CMP_LE_OQ); }
ZV_INLINE M gt(V a, V b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
ZV_INLINE M ge(V a, V b) { return _mm512_cmp_ps_mask(a, b, _CMP_GE_OQ); }
ZV_INLINE M eq(V a, V b) { return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ); }
ZV_INLINE M neq(V a, V b) { return _mm512_cmp_ps_mask(a, b, _CMP_NEQ_OQ); }
ZV_INLINE M mand(M a, M b) { return _kand_mask16(a, b); }
ZV_INLINE M mandnot(M a, M b) { return _kandn_mask16(a, b); }
ZV_INLINE V select(M m, V t, V f) { return _mm512_mask_blend_ps(m, f, t); }
ZV_INLINE V floor_l(V a) { return _mm512_roundscale_ps(a, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
ZV_INLINE V sqrt_l(V a) { return _mm512_sqrt_ps(a); }
ZV_INLINE V cap_one(V x) { return _mm512_min_ps(x, _mm512_set1_ps(1.0f)); }
ZV_INLINE V cap_one_lib(V x) { return _mm512_min_ps(_mm512_set1_ps(1.0f), x); }

ZV_INLINE VI add_i(VI a, VI b) { return _mm512_add_epi32(a, b); }
ZV_INLINE VI sub_i(VI a, VI b) { return _mm512_sub_epi32(a, b); }
ZV_INLINE VI mul_i(VI a, VI b) { return _mm512_mullo_epi32(a, b); }
ZV_INLINE VI abs_i(VI a) { return _mm512_abs_epi32(a); }
ZV_INLINE VI min_u(VI a, VI b) { return _mm512_min_epu32(a, b); }
ZV_INLINE VI max_u(VI a, VI b) { return _mm512_max_epu32(a, b); }
ZV_INLINE V to_float(VI a) { return _mm512_cvtepi32_ps(a); }

// ---- pixels -------------------------------------------------------------------
// Sixteen pixels are two groups of eight: the float loads and stores are the
// 8-lane target's, twice; the 8-bit ones work on whole 64-byte lines.

ZV_INLINE V join(__m256 lo, __m256 hi) { return _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1); }
ZV_INLINE __m256 low_half(V v) { return _mm512_castps512_ps256(v); }
ZV_INLINE __m256 high_half(V v) { return _mm512_extractf32x8_ps(v, 1); }

ZV_INLINE V to_unit(VI v, V inv255) { return _mm512_mul_ps(_mm512_cvtepi32_ps(v), inv255); }

ZV_INLINE void split_pixel_lanes(VI px, VI& r, VI& g, VI& b) {
    const VI byte = _mm512_set1_epi32(0xFF);
    r = _mm512_and_si512(px, byte);
    g = _mm512_and_si512(_mm512_srli_epi32(px, 8), byte);
    b = _mm512_and_si512(_mm512_srli_epi32(px, 16), byte);
}

ZV_INLINE void load_int_4ch(const uint8_t* p, VI& r, VI& g, VI& b, VI& a) {
    const VI px = _mm512_loadu_si512(p);
    split_pixel_lanes(px, r, g, b);
    a = _mm512_srli_epi32(px, 24);
}

// 48 bytes: pixels 4k..4k+3 in 128-bit lane k, one byte of zeros after each.
ZV_INLINE void load_int_3ch(const uint8_t* p, VI& r, VI& g, VI& b, VI& a) {
    const __m256i lo = _mm256_set_m128i(zv_sse::load_rgb4_u8_bytes_sse(p + 12), zv_sse::load_rgb4_u8_bytes_sse(p));
    const __m256i hi =
        _mm256_set_m128i(zv_sse::load_rgb4_u8_bytes_sse(p + 36), zv_sse::load_rgb4_u8_bytes_sse(p + 24));
    const VI bytes = _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
    const __m128i order = _mm_setr_epi8(0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8, -128, 9, 10, 11, -128);
    split_pixel_lanes(_mm512_shuffle_epi8(bytes, _mm512_broadcast_i32x4(order)), r, g, b);
    a = _mm512_set1_epi32(255);
}

ZV_INLINE void load_unit_u8_4ch(const uint8_t* p, V inv, V& r, V& g, V& b, V& a) {
    VI ri, gi, bi, ai;
    load_int_4ch(p, ri, gi, bi, ai);
    r = to_unit(ri, inv);
    g = to_unit(gi, inv);
    b = to_unit(bi, inv);
    a = to_unit(ai, inv);
}
ZV_INLINE void load_unit_u8_3ch(const uint8_t* p, V inv, V& r, V& g, V& b) {
    VI ri, gi, bi, ai;
    load_int_3ch(p, ri, gi, bi, ai);
    r = to_unit(ri, inv);
    g = to_unit(gi, inv);
    b = to_unit(bi, inv);
}
ZV_INLINE void load_unit_f32_4ch(const float* p, V inv, V& r, V& g, V& b, V& a) {
    __m256 r0, g0, b0, a0, r1, g1, b1, a1;
    zv_avx::load_unit_f32_4ch(p, low_half(inv), r0, g0, b0, a0);
    zv_avx::load_unit_f32_4ch(p + 32, low_half(inv), r1, g1, b1, a1);
    r = join(r0, r1), g = join(g0, g1), b = join(b0, b1), a = join(a0, a1);
}
ZV_INLINE void load_unit_f32_3ch(const float* p, V inv, V& r, V& g, V& b) {
    __m256 r0, g0, b0, r1, g1, b1;
    zv_avx::load_unit_f32_3ch(p, low_half(inv), r0, g0, b0);
    zv_avx::load_unit_f32_3ch(p + 24, low_half(inv), r1, g1, b1);
    r = join(r0, r1), g = join(g0, g1), b = join(b0, b1);
}

// Unit floats to 0..255 in 32-bit lanes, as the 8-lane target converts them.
ZV_INLINE VI unit_to_u8_lanes(V x) {
    const V s = _mm512_mul_ps(x, _mm512_set1_ps(255.0f));
    return _mm512_cvtps_epi32(_mm512_min_ps(_mm512_max_ps(s, _mm512_setzero_ps()), _mm512_set1_ps(255.0f)));
}

// Channels in 0..255 to one interleaved pixel per 32-bit lane.
ZV_INLINE VI pixel_lanes(VI r, VI g, VI b, VI a) {
    return _mm512_or_si512(_mm512_or_si512(r, _mm512_slli_epi32(g, 8)),
                           _mm512_or_si512(_mm512_slli_epi32(b, 16), _mm512_slli_epi32(a, 24)));
}

ZV_INLINE void store_u8_4ch(uint8_t* p, V r, V g, V b, V a) {
    _mm512_storeu_si512(p, pixel_lanes(unit_to_u8_lanes(r), unit_to_u8_lanes(g), unit_to_u8_lanes(b),
                                       unit_to_u8_lanes(a)));
}

// 16 RGB pixels: exactly 48 bytes written, 12 from each 128-bit lane.
ZV_INLINE void store_u8_3ch(uint8_t* p, V r, V g, V b) {
    const __m128i order = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -128, -128, -128, -128);
    const VI px = _mm512_shuffle_epi8(
        pixel_lanes(unit_to_u8_lanes(r), unit_to_u8_lanes(g), unit_to_u8_lanes(b), _mm512_setzero_si512()),
        _mm512_broadcast_i32x4(order));
    zv_sse::store_rgb12(p, _mm512_castsi512_si128(px));
    zv_sse::store_rgb12(p + 12, _mm512_extracti32x4_epi32(px, 1));
    zv_sse::store_rgb12(p + 24, _mm512_extracti32x4_epi32(px, 2));
    zv_sse::store_rgb12(p + 36, _mm512_extracti32x4_epi32(px, 3));
}

ZV_INLINE void store_f32_4ch(float* p, V r, V g, V b, V a) {
    zv_avx::store_f32_4ch(p, low_half(r), low_half(g), low_half(b), low_half(a));
    zv_avx::store_f32_4ch(p + 32, high_half(r), high_half(g), high_half(b), high_half(a));
}
ZV_INLINE void store_f32_3ch(float* p, V r, V g, V b) {
    zv_avx::store_f32_3ch(p, low_half(r), low_half(g), low_half(b));
    zv_avx::store_f32_3ch(p + 24, high_half(r), high_half(g), high_half(b));
}

ZV_INLINE V load_f32(const float* p, int aligned) { return aligned ? _mm512_load_ps(p) : _mm512_loadu_ps(p); }
ZV_INLINE void store_f32(float* p, V v, int aligned) {
    if (aligned) _mm512_store_ps(p, v);
    else _mm512_storeu_ps(p, v);
}
constexpr uintptr_t kVectorBytes = 64;

// The flat stages' 16-element steps: one group of 16 lanes.
using B16 = __m128i;
ZV_INLINE B16 load_bytes16(const uint8_t* p) { return zv_sse::load_bytes16(p); }
ZV_INLINE void store_bytes16(uint8_t* p, B16 v) { zv_sse::store_bytes16(p, v); }
ZV_INLINE VI widen_u8_group(B16 bytes16, int) { return _mm512_cvtepu8_epi32(bytes16); }
ZV_INLINE B16 pack_u8_groups(const V* groups) { return _mm512_cvtepi32_epi8(unit_to_u8_lanes(groups[0])); }

// ---- the 8-bit integer path of normal ------------------------------------------

// 16 RGB pixels: exactly 48 bytes read from each input and written.
ZV_INLINE void lerp_rgb_pixels(const uint8_t* in, const uint8_t* layer, uint8_t* out, int alpha) {
    const VI a = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in)));
    const VI b = _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(layer)));
    const VI t = _mm512_add_epi16(
        _mm512_add_epi16(_mm512_mullo_epi16(a, _mm512_set1_epi16(static_cast<int16_t>(255 - alpha))),
                         _mm512_mullo_epi16(b, _mm512_set1_epi16(static_cast<int16_t>(alpha)))),
        _mm512_set1_epi16(128));
    const VI words = _mm512_srli_epi16(_mm512_add_epi16(t, _mm512_srli_epi16(t, 8)), 8);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_cvtepi16_epi8(words));
    zv_avx::lerp_u8_16(in + 32, layer + 32, out + 32, alpha);
}

// ---- bits and doubles (lanes_scalar.hpp) ---------------------------------------
ZV_INLINE bool any(M m) { return m != 0; }
ZV_INLINE VI bits_of(V a) { return _mm512_castps_si512(a); }
ZV_INLINE V from_bits(VI a) { return _mm512_castsi512_ps(a); }
ZV_INLINE VI and_i(VI a, VI b) { return _mm512_and_si512(a, b); }
ZV_INLINE VI or_i(VI a, VI b) { return _mm512_or_si512(a, b); }
ZV_INLINE VI trunc_i(V a) { return _mm512_cvttps_epi32(a); }
ZV_INLINE V lookup16(const float* table, VI index) { return _mm512_permutexvar_ps(index, _mm512_loadu_ps(table)); }

using VD = __m512d;
using MD = __mmask8;
ZV_INLINE VD widen_lo(V a) { return _mm512_cvtps_pd(_mm512_castps512_ps256(a)); }
ZV_INLINE VD widen_hi(V a) { return _mm512_cvtps_pd(_mm512_extractf32x8_ps(a, 1)); }
ZV_INLINE V narrow(VD lo, VD hi) { return join(_mm512_cvtpd_ps(lo), _mm512_cvtpd_ps(hi)); }
ZV_INLINE VD splat_d(double x) { return _mm512_set1_pd(x); }
ZV_INLINE VD add_d(VD a, VD b) { return _mm512_add_pd(a, b); }
ZV_INLINE VD sub_d(VD a, VD b) { return _mm512_sub_pd(a, b); }
ZV_INLINE VD mul_d(VD a, VD b) { return _mm512_mul_pd(a, b); }
ZV_INLINE VD fnmadd_d(VD a, VD b, VD c) { return _mm512_fnmadd_pd(a, b, c); }
ZV_INLINE VD fmsub_d(VD a, VD b, VD c) { return _mm512_fmsub_pd(a, b, c); }
ZV_INLINE MD gt_d(VD a, VD b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
ZV_INLINE VD select_d(MD m, VD t, VD f) { return _mm512_mask_blend_pd(m, f, t); }

// The tag that takes the drivers to this target's stages (lanes.hpp).
struct Target {
    static constexpr unsigned kServes = kKernels;
};
}  // namespace zv_avx512
ZV_END_avx512
