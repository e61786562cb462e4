// The 8-lane AVX2 target (x86-64), with fused multiply-adds. Offered on
// processors with AVX2 and FMA whose operating system saves the AVX state.
#pragma once

#include "lanes_sse.hpp"

ZV_BEGIN_avx
namespace zv_avx {
using V = __m256;
using VI = __m256i;
using M = __m256;
constexpr int kLanes = 8;
// The kernels whose stages include this target's.
constexpr unsigned kKernels = (1u << KERNEL_AVX2) | (1u << KERNEL_AVX512);

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

// ---- pixels -------------------------------------------------------------------

ZV_INLINE V u32_to_unit_f32_avx2(VI v, V inv255) { return _mm256_mul_ps(_mm256_cvtepi32_ps(v), inv255); }
ZV_INLINE V load_f32x8(const float* p, int aligned) { return aligned ? _mm256_load_ps(p) : _mm256_loadu_ps(p); }
ZV_INLINE void store_f32x8(float* p, V value, int aligned) {
    if (aligned) _mm256_store_ps(p, value);
    else _mm256_storeu_ps(p, value);
}

ZV_INLINE void split_pixel_lanes(VI px, VI& r, VI& g, VI& b) {
    const VI byte = _mm256_set1_epi32(0xFF);
    r = _mm256_and_si256(px, byte);
    g = _mm256_and_si256(_mm256_srli_epi32(px, 8), byte);
    b = _mm256_and_si256(_mm256_srli_epi32(px, 16), byte);
}

ZV_INLINE void load_rgba8_u8_to_u32_avx2(const uint8_t* p, VI& r, VI& g, VI& b, VI& a) {
    const VI px = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    split_pixel_lanes(px, r, g, b);
    a = _mm256_srli_epi32(px, 24);
}

// 24 bytes: pixels 0..3 in the low half, 4..7 in the high half.
ZV_INLINE void load_rgb8_u8_to_u32(const uint8_t* p, VI& r, VI& g, VI& b) {
    const VI bytes = _mm256_set_m128i(zv_sse::load_rgb4_u8_bytes_sse(p + 12), zv_sse::load_rgb4_u8_bytes_sse(p));
    const VI px = _mm256_shuffle_epi8(
        bytes, _mm256_setr_epi8(0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8, -128, 9, 10, 11, -128, 0, 1, 2, -128, 3, 4,
                                5, -128, 6, 7, 8, -128, 9, 10, 11, -128));
    split_pixel_lanes(px, r, g, b);
}

ZV_INLINE void load_rgb8_u8_to_u32_avx2_with_alpha(const uint8_t* data, zv_index index, VI& r, VI& g, VI& b,
                                                   VI& a) {
    load_rgb8_u8_to_u32(data + index * 3, r, g, b);
    a = _mm256_set1_epi32(255);
}

ZV_INLINE void load_rgba8_u8_to_unit_f32_avx2(const uint8_t* p, V inv255, V& r, V& g, V& b, V& a) {
    VI ri, gi, bi, ai;
    load_rgba8_u8_to_u32_avx2(p, ri, gi, bi, ai);
    r = u32_to_unit_f32_avx2(ri, inv255);
    g = u32_to_unit_f32_avx2(gi, inv255);
    b = u32_to_unit_f32_avx2(bi, inv255);
    a = u32_to_unit_f32_avx2(ai, inv255);
}

ZV_INLINE void load_rgb8_u8(const uint8_t* data, int channels, zv_index index, V inv255, V& r, V& g, V& b) {
    if (channels == 3) {
        VI ri, gi, bi;
        load_rgb8_u8_to_u32(data + index * 3, ri, gi, bi);
        r = u32_to_unit_f32_avx2(ri, inv255);
        g = u32_to_unit_f32_avx2(gi, inv255);
        b = u32_to_unit_f32_avx2(bi, inv255);
    } else {
        V a;
        load_rgba8_u8_to_unit_f32_avx2(data + index * 4, inv255, r, g, b, a);
    }
}

ZV_INLINE void load_rgb8_f32_to_unit_f32_avx2(const float* p, __m128 inv255, V& r, V& g, V& b) {
    __m128 r0, g0, b0, r1, g1, b1;
    zv_sse::load_rgb4_f32_to_unit_f32_sse(p, inv255, r0, g0, b0);
    zv_sse::load_rgb4_f32_to_unit_f32_sse(p + 12, inv255, r1, g1, b1);
    r = _mm256_set_m128(r1, r0);
    g = _mm256_set_m128(g1, g0);
    b = _mm256_set_m128(b1, b0);
}

ZV_INLINE void load_rgba8_f32_to_unit_f32_avx2(const float* p, __m128 inv255, V& r, V& g, V& b, V& a) {
    __m128 r0, g0, b0, a0, r1, g1, b1, a1;
    zv_sse::load_rgba4_f32_to_unit_f32_sse(p, inv255, r0, g0, b0, a0);
    zv_sse::load_rgba4_f32_to_unit_f32_sse(p + 16, inv255, r1, g1, b1, a1);
    r = _mm256_set_m128(r1, r0);
    g = _mm256_set_m128(g1, g0);
    b = _mm256_set_m128(b1, b0);
    a = _mm256_set_m128(a1, a0);
}

ZV_INLINE VI unit_to_u8_lanes(V x) {
    const V s = _mm256_mul_ps(x, _mm256_set1_ps(255.0f));
    return _mm256_cvtps_epi32(_mm256_min_ps(_mm256_max_ps(s, _mm256_setzero_ps()), _mm256_set1_ps(255.0f)));
}

// 16 unit floats to 16 bytes: lo lanes 0..7 then hi lanes 0..7.
ZV_INLINE __m128i pack_two_unit_f32_avx2_to_u8(V lo, V hi) {
    const VI words = _mm256_permute4x64_epi64(_mm256_packs_epi32(unit_to_u8_lanes(lo), unit_to_u8_lanes(hi)),
                                              _MM_SHUFFLE(3, 1, 2, 0));
    return _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
}

ZV_INLINE VI per_half_shuffle(VI v, __m128i mask) { return _mm256_shuffle_epi8(v, _mm256_set_m128i(mask, mask)); }

ZV_INLINE void store_rgba8_u8_ptr(uint8_t* p, V r, V g, V b, V a) {
    const VI rg = _mm256_packs_epi32(unit_to_u8_lanes(r), unit_to_u8_lanes(g));
    const VI ba = _mm256_packs_epi32(unit_to_u8_lanes(b), unit_to_u8_lanes(a));
    const VI planar = _mm256_packus_epi16(rg, ba);  // per half: r0..3 g0..3 b0..3 a0..3
    const VI px = per_half_shuffle(planar, _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), px);
}

ZV_INLINE void store_rgb8_u8_ptr(uint8_t* p, V r, V g, V b) {
    const VI rg = _mm256_packs_epi32(unit_to_u8_lanes(r), unit_to_u8_lanes(g));
    const VI b0 = _mm256_packs_epi32(unit_to_u8_lanes(b), _mm256_setzero_si256());
    const VI px = per_half_shuffle(_mm256_packus_epi16(rg, b0),
                                   _mm_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -128, -128, -128, -128));
    zv_sse::store_rgb12(p, _mm256_castsi256_si128(px));
    zv_sse::store_rgb12(p + 12, _mm256_extracti128_si256(px, 1));
}

ZV_INLINE void store_rgba8_f32_from_unit_avx2(float* p, V r, V g, V b, V a) {
    zv_sse::store_rgba4_f32_from_unit_sse(p, _mm256_castps256_ps128(r), _mm256_castps256_ps128(g),
                                          _mm256_castps256_ps128(b), _mm256_castps256_ps128(a));
    zv_sse::store_rgba4_f32_from_unit_sse(p + 16, _mm256_extractf128_ps(r, 1), _mm256_extractf128_ps(g, 1),
                                          _mm256_extractf128_ps(b, 1), _mm256_extractf128_ps(a, 1));
}

ZV_INLINE void store_rgb8_f32(float* p, V r, V g, V b) {
    const V k255 = _mm256_set1_ps(255.0f);
    r = _mm256_mul_ps(r, k255);
    g = _mm256_mul_ps(g, k255);
    b = _mm256_mul_ps(b, k255);
    zv_sse::store_rgb4_f32_scaled(p, _mm256_castps256_ps128(r), _mm256_castps256_ps128(g),
                                  _mm256_castps256_ps128(b));
    zv_sse::store_rgb4_f32_scaled(p + 12, _mm256_extractf128_ps(r, 1), _mm256_extractf128_ps(g, 1),
                                  _mm256_extractf128_ps(b, 1));
}

// Generic names used by the stages (every lane target has them, pixel_io.hpp).
ZV_INLINE V to_unit(VI v, V inv255) { return u32_to_unit_f32_avx2(v, inv255); }
ZV_INLINE void load_unit_u8_4ch(const uint8_t* p, V inv, V& r, V& g, V& b, V& a) {
    load_rgba8_u8_to_unit_f32_avx2(p, inv, r, g, b, a);
}
ZV_INLINE void load_unit_u8_3ch(const uint8_t* p, V inv, V& r, V& g, V& b) { load_rgb8_u8(p, 3, 0, inv, r, g, b); }
ZV_INLINE void load_unit_f32_4ch(const float* p, V inv, V& r, V& g, V& b, V& a) {
    load_rgba8_f32_to_unit_f32_avx2(p, _mm256_castps256_ps128(inv), r, g, b, a);
}
ZV_INLINE void load_unit_f32_3ch(const float* p, V inv, V& r, V& g, V& b) {
    load_rgb8_f32_to_unit_f32_avx2(p, _mm256_castps256_ps128(inv), r, g, b);
}
ZV_INLINE void load_int_4ch(const uint8_t* p, VI& r, VI& g, VI& b, VI& a) { load_rgba8_u8_to_u32_avx2(p, r, g, b, a); }
ZV_INLINE void load_int_3ch(const uint8_t* p, VI& r, VI& g, VI& b, VI& a) {
    load_rgb8_u8_to_u32_avx2_with_alpha(p, 0, r, g, b, a);
}
ZV_INLINE void store_u8_4ch(uint8_t* p, V r, V g, V b, V a) { store_rgba8_u8_ptr(p, r, g, b, a); }
ZV_INLINE void store_u8_3ch(uint8_t* p, V r, V g, V b) { store_rgb8_u8_ptr(p, r, g, b); }
ZV_INLINE void store_f32_4ch(float* p, V r, V g, V b, V a) { store_rgba8_f32_from_unit_avx2(p, r, g, b, a); }
ZV_INLINE void store_f32_3ch(float* p, V r, V g, V b) { store_rgb8_f32(p, r, g, b); }

using B16 = __m128i;
ZV_INLINE B16 load_bytes16(const uint8_t* p) { return zv_sse::load_bytes16(p); }
ZV_INLINE void store_bytes16(uint8_t* p, B16 v) { zv_sse::store_bytes16(p, v); }
ZV_INLINE VI widen_u8_group(B16 bytes16, int group) {
    return _mm256_cvtepu8_epi32(group == 0 ? bytes16 : _mm_srli_si128(bytes16, 8));
}
ZV_INLINE B16 pack_u8_groups(const V* groups) { return pack_two_unit_f32_avx2_to_u8(groups[0], groups[1]); }
ZV_INLINE V load_f32(const float* p, int aligned) { return load_f32x8(p, aligned); }
ZV_INLINE void store_f32(float* p, V v, int aligned) { store_f32x8(p, v, aligned); }
constexpr uintptr_t kVectorBytes = 32;


// ---- the 8-bit integer path of normal ------------------------------------------

ZV_INLINE void lerp_u8_16(const uint8_t* in, const uint8_t* layer, uint8_t* out, int alpha) {
    const VI a = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)));
    const VI b = _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(layer)));
    const VI t = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_mullo_epi16(a, _mm256_set1_epi16(static_cast<int16_t>(255 - alpha))),
                         _mm256_mullo_epi16(b, _mm256_set1_epi16(static_cast<int16_t>(alpha)))),
        _mm256_set1_epi16(128));
    const VI words = _mm256_srli_epi16(_mm256_add_epi16(t, _mm256_srli_epi16(t, 8)), 8);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                     _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1)));
}
// 8 RGB pixels: exactly 24 bytes read from each input and written.
ZV_INLINE void lerp_rgb_pixels(const uint8_t* in, const uint8_t* layer, uint8_t* out, int alpha) {
    lerp_u8_16(in, layer, out, alpha);
    zv_sse::lerp_u8_8(in + 16, layer + 16, out + 16, alpha);
}

// ---- bits and doubles (lanes_scalar.hpp) ---------------------------------------
ZV_INLINE bool any(M m) { return _mm256_movemask_ps(m) != 0; }
ZV_INLINE VI bits_of(V a) { return _mm256_castps_si256(a); }
ZV_INLINE V from_bits(VI a) { return _mm256_castsi256_ps(a); }
ZV_INLINE VI and_i(VI a, VI b) { return _mm256_and_si256(a, b); }
ZV_INLINE VI or_i(VI a, VI b) { return _mm256_or_si256(a, b); }
ZV_INLINE VI trunc_i(V a) { return _mm256_cvttps_epi32(a); }
// Two 8-entry permutes, chosen between by index bit 3.
ZV_INLINE V lookup16(const float* table, VI index) {
    const V low = _mm256_permutevar8x32_ps(_mm256_loadu_ps(table), index);
    const V high = _mm256_permutevar8x32_ps(_mm256_loadu_ps(table + 8), index);
    return _mm256_blendv_ps(low, high, _mm256_castsi256_ps(_mm256_slli_epi32(index, 28)));
}

using VD = __m256d;
using MD = __m256d;
ZV_INLINE VD widen_lo(V a) { return _mm256_cvtps_pd(_mm256_castps256_ps128(a)); }
ZV_INLINE VD widen_hi(V a) { return _mm256_cvtps_pd(_mm256_extractf128_ps(a, 1)); }
ZV_INLINE V narrow(VD lo, VD hi) { return _mm256_set_m128(_mm256_cvtpd_ps(hi), _mm256_cvtpd_ps(lo)); }
ZV_INLINE VD splat_d(double x) { return _mm256_set1_pd(x); }
ZV_INLINE VD add_d(VD a, VD b) { return _mm256_add_pd(a, b); }
ZV_INLINE VD sub_d(VD a, VD b) { return _mm256_sub_pd(a, b); }
ZV_INLINE VD mul_d(VD a, VD b) { return _mm256_mul_pd(a, b); }
ZV_INLINE VD fnmadd_d(VD a, VD b, VD c) { return _mm256_fnmadd_pd(a, b, c); }
ZV_INLINE VD fmsub_d(VD a, VD b, VD c) { return _mm256_fmsub_pd(a, b, c); }
ZV_INLINE MD gt_d(VD a, VD b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
ZV_INLINE VD select_d(MD m, VD t, VD f) { return _mm256_blendv_pd(f, t, m); }

// The tag that takes the drivers to this target's stages (lanes.hpp).
struct Target {
    static constexpr unsigned kServes = kKernels;
};
}  // namespace zv_avx
ZV_END_avx
