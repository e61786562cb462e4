// The 4-lane SSE target (x86-64): SSE4.2, with the AVX (VEX) encoding and
// fused multiply-adds. Offered on processors with SSE4.2, AVX and FMA; the
// AVX2 kernel runs its stages for what its 8-pixel stages leave.
#pragma once

#include "pixel_io.hpp"

ZV_BEGIN_sse
namespace zv_sse {
using V = __m128;
using VI = __m128i;
using M = __m128;
constexpr int kLanes = 4;
// The kernels whose stages include this target's.
constexpr unsigned kKernels = (1u << KERNEL_SSE42) | (1u << KERNEL_AVX2) | (1u << KERNEL_AVX512);

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

// ---- pixels -------------------------------------------------------------------

ZV_INLINE V u32_to_unit_f32_sse(VI v, V inv255) { return _mm_mul_ps(_mm_cvtepi32_ps(v), inv255); }
ZV_INLINE V load_f32x4(const float* p, int aligned) { return aligned ? _mm_load_ps(p) : _mm_loadu_ps(p); }
ZV_INLINE void store_f32x4(float* p, V value, int aligned) {
    if (aligned) _mm_store_ps(p, value);
    else _mm_storeu_ps(p, value);
}

// 12 bytes as an 8-byte and a 4-byte load; bytes 12..15 are zero.
ZV_INLINE VI load_rgb4_u8_bytes_sse(const uint8_t* p) {
    int64_t lo;
    int32_t hi;
    std::memcpy(&lo, p, 8);
    std::memcpy(&hi, p + 8, 4);
    return _mm_insert_epi32(_mm_cvtsi64_si128(lo), hi, 2);
}

// One pixel per 32-bit lane: R in bits 0..7, G in 8..15, B in 16..23, A in 24..31.
ZV_INLINE void split_pixel_lanes(VI px, VI& r, VI& g, VI& b) {
    const VI byte = _mm_set1_epi32(0xFF);
    r = _mm_and_si128(px, byte);
    g = _mm_and_si128(_mm_srli_epi32(px, 8), byte);
    b = _mm_and_si128(_mm_srli_epi32(px, 16), byte);
}

ZV_INLINE VI rgb_bytes_to_pixel_lanes(VI bytes) {
    return _mm_shuffle_epi8(bytes, _mm_setr_epi8(0, 1, 2, -128, 3, 4, 5, -128, 6, 7, 8, -128, 9, 10, 11, -128));
}

ZV_INLINE void load_rgb4_u8_to_u32_sse_from_ptr(const uint8_t* p, VI& r, VI& g, VI& b) {
    split_pixel_lanes(rgb_bytes_to_pixel_lanes(load_rgb4_u8_bytes_sse(p)), r, g, b);
}

ZV_INLINE void load_rgb4_u8_to_u32_sse_with_alpha(const uint8_t* p, VI& r, VI& g, VI& b, VI& a) {
    load_rgb4_u8_to_u32_sse_from_ptr(p, r, g, b);
    a = _mm_set1_epi32(255);
}

ZV_INLINE void load_rgba4_u8_to_u32_sse(const uint8_t* p, VI& r, VI& g, VI& b, VI& a) {
    const VI px = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    split_pixel_lanes(px, r, g, b);
    a = _mm_srli_epi32(px, 24);
}

ZV_INLINE void load_rgb4_u8_to_unit_f32_sse(const uint8_t* p, V inv255, V& r, V& g, V& b) {
    VI ri, gi, bi;
    load_rgb4_u8_to_u32_sse_from_ptr(p, ri, gi, bi);
    r = u32_to_unit_f32_sse(ri, inv255);
    g = u32_to_unit_f32_sse(gi, inv255);
    b = u32_to_unit_f32_sse(bi, inv255);
}

ZV_INLINE void load_rgba4_u8_to_unit_f32_sse(const uint8_t* p, V inv255, V& r, V& g, V& b, V& a) {
    VI ri, gi, bi, ai;
    load_rgba4_u8_to_u32_sse(p, ri, gi, bi, ai);
    r = u32_to_unit_f32_sse(ri, inv255);
    g = u32_to_unit_f32_sse(gi, inv255);
    b = u32_to_unit_f32_sse(bi, inv255);
    a = u32_to_unit_f32_sse(ai, inv255);
}

// R0 G0 B0 R1 | G1 B1 R2 G2 | B2 R3 G3 B3 -> R0..R3, G0..G3, B0..B3.
ZV_INLINE void load_rgb4_f32_to_unit_f32_sse(const float* p, V inv255, V& r, V& g, V& b) {
    const V x = _mm_loadu_ps(p), y = _mm_loadu_ps(p + 4), z = _mm_loadu_ps(p + 8);
    const V rr = _mm_blend_ps(_mm_blend_ps(x, y, 0x4), z, 0x2);  // R0 R3 R2 R1
    const V gg = _mm_blend_ps(_mm_blend_ps(x, y, 0x9), z, 0x4);  // G1 G0 G3 G2
    const V bb = _mm_blend_ps(_mm_blend_ps(x, y, 0x2), z, 0x9);  // B2 B1 B0 B3
    r = _mm_mul_ps(_mm_shuffle_ps(rr, rr, _MM_SHUFFLE(1, 2, 3, 0)), inv255);
    g = _mm_mul_ps(_mm_shuffle_ps(gg, gg, _MM_SHUFFLE(2, 3, 0, 1)), inv255);
    b = _mm_mul_ps(_mm_shuffle_ps(bb, bb, _MM_SHUFFLE(3, 0, 1, 2)), inv255);
}

ZV_INLINE void load_rgba4_f32_to_unit_f32_sse(const float* p, V inv255, V& r, V& g, V& b, V& a) {
    V p0 = _mm_loadu_ps(p), p1 = _mm_loadu_ps(p + 4), p2 = _mm_loadu_ps(p + 8), p3 = _mm_loadu_ps(p + 12);
    _MM_TRANSPOSE4_PS(p0, p1, p2, p3);
    r = _mm_mul_ps(p0, inv255);
    g = _mm_mul_ps(p1, inv255);
    b = _mm_mul_ps(p2, inv255);
    a = _mm_mul_ps(p3, inv255);
}

// Unit floats to integers 0..255: scale, clamp in float (NaN -> 0), round to
// nearest even. Clamping before the conversion also keeps huge values at 255
// instead of the converter's out-of-range result.
ZV_INLINE VI unit_to_u8_lanes(V x) {
    const V s = _mm_mul_ps(x, _mm_set1_ps(255.0f));
    return _mm_cvtps_epi32(_mm_min_ps(_mm_max_ps(s, _mm_setzero_ps()), _mm_set1_ps(255.0f)));
}

ZV_INLINE VI pack_unit_f32_sse_to_u8(V value) {
    const VI i = unit_to_u8_lanes(value);
    return _mm_packus_epi16(_mm_packs_epi32(i, i), _mm_setzero_si128());
}

// r0..3 g0..3 b0..3 a0..3 (bytes) -> interleaved pixels.
ZV_INLINE VI interleave_rgba_bytes(VI planar) {
    return _mm_shuffle_epi8(planar, _mm_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15));
}
ZV_INLINE VI interleave_rgb_bytes(VI planar) {
    return _mm_shuffle_epi8(planar, _mm_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -128, -128, -128, -128));
}

ZV_INLINE VI pack_unit_f32_to_u8_rgba4(V fr, V fg, V fb, V fa) {
    const VI rg = _mm_packs_epi32(unit_to_u8_lanes(fr), unit_to_u8_lanes(fg));
    const VI ba = _mm_packs_epi32(unit_to_u8_lanes(fb), unit_to_u8_lanes(fa));
    return interleave_rgba_bytes(_mm_packus_epi16(rg, ba));
}

ZV_INLINE VI pack_u32_to_u8_rgb4(VI r, VI g, VI b) {
    return interleave_rgb_bytes(_mm_packus_epi16(_mm_packs_epi32(r, g), _mm_packs_epi32(b, _mm_setzero_si128())));
}

ZV_INLINE VI pack_unit_f32_to_u8_rgb4(V fr, V fg, V fb) {
    return pack_u32_to_u8_rgb4(unit_to_u8_lanes(fr), unit_to_u8_lanes(fg), unit_to_u8_lanes(fb));
}

// Exactly 12 bytes: an 8-byte and a 4-byte store.
ZV_INLINE void store_rgb12(uint8_t* p, VI bytes) {
    _mm_storel_epi64(reinterpret_cast<__m128i*>(p), bytes);
    const int32_t tail = _mm_extract_epi32(bytes, 2);
    std::memcpy(p + 8, &tail, 4);
}

ZV_INLINE void store_unit_f32_to_u8_rgba4(V fr, V fg, V fb, V fa, uint8_t* out_ptr) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out_ptr), pack_unit_f32_to_u8_rgba4(fr, fg, fb, fa));
}
ZV_INLINE void store_unit_f32_to_u8_rgb4(V fr, V fg, V fb, uint8_t* out_ptr) {
    store_rgb12(out_ptr, pack_unit_f32_to_u8_rgb4(fr, fg, fb));
}

ZV_INLINE void store_rgba4_f32_from_unit_sse(float* p, V r, V g, V b, V a) {
    const V k255 = _mm_set1_ps(255.0f);
    V p0 = _mm_mul_ps(r, k255), p1 = _mm_mul_ps(g, k255), p2 = _mm_mul_ps(b, k255), p3 = _mm_mul_ps(a, k255);
    _MM_TRANSPOSE4_PS(p0, p1, p2, p3);
    _mm_storeu_ps(p, p0);
    _mm_storeu_ps(p + 4, p1);
    _mm_storeu_ps(p + 8, p2);
    _mm_storeu_ps(p + 12, p3);
}

// Planar R, G, B (already x 255) -> R0 G0 B0 R1 | G1 B1 R2 G2 | B2 R3 G3 B3.
ZV_INLINE void store_rgb4_f32_scaled(float* p, V r, V g, V b) {
    const V rg_lo = _mm_unpacklo_ps(r, g), br_lo = _mm_unpacklo_ps(b, r), gb_lo = _mm_unpacklo_ps(g, b);
    const V rg_hi = _mm_unpackhi_ps(r, g), br_hi = _mm_unpackhi_ps(b, r), gb_hi = _mm_unpackhi_ps(g, b);
    _mm_storeu_ps(p, _mm_shuffle_ps(rg_lo, br_lo, _MM_SHUFFLE(3, 0, 1, 0)));
    _mm_storeu_ps(p + 4, _mm_shuffle_ps(gb_lo, rg_hi, _MM_SHUFFLE(1, 0, 3, 2)));
    _mm_storeu_ps(p + 8, _mm_shuffle_ps(br_hi, gb_hi, _MM_SHUFFLE(3, 2, 3, 0)));
}

// Generic names used by the stages (every lane target has them, pixel_io.hpp).
ZV_INLINE V to_unit(VI v, V inv255) { return u32_to_unit_f32_sse(v, inv255); }
ZV_INLINE void load_unit_u8_4ch(const uint8_t* p, V inv, V& r, V& g, V& b, V& a) {
    load_rgba4_u8_to_unit_f32_sse(p, inv, r, g, b, a);
}
ZV_INLINE void load_unit_u8_3ch(const uint8_t* p, V inv, V& r, V& g, V& b) {
    load_rgb4_u8_to_unit_f32_sse(p, inv, r, g, b);
}
ZV_INLINE void load_unit_f32_4ch(const float* p, V inv, V& r, V& g, V& b, V& a) {
    load_rgba4_f32_to_unit_f32_sse(p, inv, r, g, b, a);
}
ZV_INLINE void load_unit_f32_3ch(const float* p, V inv, V& r, V& g, V& b) {
    load_rgb4_f32_to_unit_f32_sse(p, inv, r, g, b);
}
ZV_INLINE void load_int_4ch(const uint8_t* p, VI& r, VI& g, VI& b, VI& a) { load_rgba4_u8_to_u32_sse(p, r, g, b, a); }
ZV_INLINE void load_int_3ch(const uint8_t* p, VI& r, VI& g, VI& b, VI& a) {
    load_rgb4_u8_to_u32_sse_with_alpha(p, r, g, b, a);
}
ZV_INLINE void store_u8_4ch(uint8_t* p, V r, V g, V b, V a) { store_unit_f32_to_u8_rgba4(r, g, b, a, p); }
ZV_INLINE void store_u8_3ch(uint8_t* p, V r, V g, V b) { store_unit_f32_to_u8_rgb4(r, g, b, p); }
ZV_INLINE void store_f32_4ch(float* p, V r, V g, V b, V a) { store_rgba4_f32_from_unit_sse(p, r, g, b, a); }
ZV_INLINE void store_f32_3ch(float* p, V r, V g, V b) {
    const V k255 = _mm_set1_ps(255.0f);
    store_rgb4_f32_scaled(p, _mm_mul_ps(r, k255), _mm_mul_ps(g, k255), _mm_mul_ps(b, k255));
}

// 16 consecutive bytes (the flat stages' step) as kLanes-wide groups of
// 32-bit integers, and back.
using B16 = __m128i;
ZV_INLINE B16 load_bytes16(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
ZV_INLINE void store_bytes16(uint8_t* p, B16 v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
ZV_INLINE VI widen_u8_group(B16 bytes16, int group) {
    switch (group) {
        case 0: return _mm_cvtepu8_epi32(bytes16);
        case 1: return _mm_cvtepu8_epi32(_mm_srli_si128(bytes16, 4));
        case 2: return _mm_cvtepu8_epi32(_mm_srli_si128(bytes16, 8));
        default: return _mm_cvtepu8_epi32(_mm_srli_si128(bytes16, 12));
    }
}
ZV_INLINE B16 pack_u8_groups(const V* groups) {
    const VI p0 = pack_unit_f32_sse_to_u8(groups[0]), p1 = pack_unit_f32_sse_to_u8(groups[1]);
    const VI p2 = pack_unit_f32_sse_to_u8(groups[2]), p3 = pack_unit_f32_sse_to_u8(groups[3]);
    return _mm_unpacklo_epi64(_mm_unpacklo_epi32(p0, p1), _mm_unpacklo_epi32(p2, p3));
}
ZV_INLINE V load_f32(const float* p, int aligned) { return load_f32x4(p, aligned); }
ZV_INLINE void store_f32(float* p, V v, int aligned) { store_f32x4(p, v, aligned); }
constexpr uintptr_t kVectorBytes = 16;


// ---- the 8-bit integer path of normal ------------------------------------------

ZV_INLINE VI lerp_u8_words(VI in16, VI layer16, int alpha) {
    const VI t = _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(in16, _mm_set1_epi16(static_cast<int16_t>(255 - alpha))),
                                             _mm_mullo_epi16(layer16, _mm_set1_epi16(static_cast<int16_t>(alpha)))),
                               _mm_set1_epi16(128));
    return _mm_packus_epi16(_mm_srli_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), 8), _mm_setzero_si128());
}
ZV_INLINE void lerp_u8_8(const uint8_t* in, const uint8_t* layer, uint8_t* out, int alpha) {
    const VI a = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in)));
    const VI b = _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(layer)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), lerp_u8_words(a, b, alpha));
}
ZV_INLINE void lerp_u8_4(const uint8_t* in, const uint8_t* layer, uint8_t* out, int alpha) {
    int32_t a, b;
    std::memcpy(&a, in, 4);
    std::memcpy(&b, layer, 4);
    const int32_t r = _mm_cvtsi128_si32(
        lerp_u8_words(_mm_cvtepu8_epi16(_mm_cvtsi32_si128(a)), _mm_cvtepu8_epi16(_mm_cvtsi32_si128(b)), alpha));
    std::memcpy(out, &r, 4);
}
// 4 RGB pixels: exactly 12 bytes read from each input and written.
ZV_INLINE void lerp_rgb_pixels(const uint8_t* in, const uint8_t* layer, uint8_t* out, int alpha) {
    lerp_u8_8(in, layer, out, alpha);
    lerp_u8_4(in + 8, layer + 8, out + 8, alpha);
}

// ---- bits and doubles (lanes_scalar.hpp) ---------------------------------------
ZV_INLINE bool any(M m) { return _mm_movemask_ps(m) != 0; }
ZV_INLINE VI bits_of(V a) { return _mm_castps_si128(a); }
ZV_INLINE V from_bits(VI a) { return _mm_castsi128_ps(a); }
ZV_INLINE VI and_i(VI a, VI b) { return _mm_and_si128(a, b); }
ZV_INLINE VI or_i(VI a, VI b) { return _mm_or_si128(a, b); }
ZV_INLINE VI trunc_i(V a) { return _mm_cvttps_epi32(a); }
// Four in-lane permutes (index bits 0..1), chosen between by index bits 2 and 3.
ZV_INLINE V lookup16(const float* table, VI index) {
    const V bit2 = _mm_castsi128_ps(_mm_slli_epi32(index, 29)), bit3 = _mm_castsi128_ps(_mm_slli_epi32(index, 28));
    const V t0 = _mm_permutevar_ps(_mm_loadu_ps(table), index), t1 = _mm_permutevar_ps(_mm_loadu_ps(table + 4), index);
    const V t2 = _mm_permutevar_ps(_mm_loadu_ps(table + 8), index);
    const V t3 = _mm_permutevar_ps(_mm_loadu_ps(table + 12), index);
    return _mm_blendv_ps(_mm_blendv_ps(t0, t1, bit2), _mm_blendv_ps(t2, t3, bit2), bit3);
}

using VD = __m128d;
using MD = __m128d;
ZV_INLINE VD widen_lo(V a) { return _mm_cvtps_pd(a); }
ZV_INLINE VD widen_hi(V a) { return _mm_cvtps_pd(_mm_movehl_ps(a, a)); }
ZV_INLINE V narrow(VD lo, VD hi) { return _mm_movelh_ps(_mm_cvtpd_ps(lo), _mm_cvtpd_ps(hi)); }
ZV_INLINE VD splat_d(double x) { return _mm_set1_pd(x); }
ZV_INLINE VD add_d(VD a, VD b) { return _mm_add_pd(a, b); }
ZV_INLINE VD sub_d(VD a, VD b) { return _mm_sub_pd(a, b); }
ZV_INLINE VD mul_d(VD a, VD b) { return _mm_mul_pd(a, b); }
ZV_INLINE VD fnmadd_d(VD a, VD b, VD c) { return _mm_fnmadd_pd(a, b, c); }
ZV_INLINE VD fmsub_d(VD a, VD b, VD c) { return _mm_fmsub_pd(a, b, c); }
ZV_INLINE MD gt_d(VD a, VD b) { return _mm_cmp_pd(a, b, _CMP_GT_OQ); }
ZV_INLINE VD select_d(MD m, VD t, VD f) { return _mm_blendv_pd(f, t, m); }

// The tag that takes the drivers to this target's stages (lanes.hpp).
struct Target {
    static constexpr unsigned kServes = kKernels;
};
}  // namespace zv_sse
ZV_END_sse
