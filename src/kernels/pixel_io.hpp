// Moving 4 or 8 interleaved pixels to planar lanes and back.
//
// Lane i always belongs to pixel index + i. Every loader reads exactly the
// bytes of its pixels and every store writes exactly those bytes, so the
// drivers can run them up to the last whole group without slack after the
// data. Unit values are stored value x inv255 (the float nearest 1/255);
// 8-bit stores scale by 255, clamp to 0..255 in float (NaN -> 0) and round to
// nearest, ties to even.
#pragma once

#include "image_view.hpp"

constexpr float kInv255 = 0.00392156886f;  // bits 0x3B808081
static_assert(kInv255 == 1.0f / 255.0f, "inv255 must be the float nearest 1/255");

ZV_INLINE int ptr_is_aligned(const void* ptr, uintptr_t alignment) {
    return (reinterpret_cast<uintptr_t>(ptr) & (alignment - 1)) == 0;
}

ZV_SSE_BEGIN
namespace zv_sse {

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

// Generic names used by the stages (the same names exist for 8 lanes).
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

// 16 consecutive bytes as kLanes-wide groups of 32-bit integers, and back.
ZV_INLINE VI widen_u8_group(VI bytes16, int group) {
    switch (group) {
        case 0: return _mm_cvtepu8_epi32(bytes16);
        case 1: return _mm_cvtepu8_epi32(_mm_srli_si128(bytes16, 4));
        case 2: return _mm_cvtepu8_epi32(_mm_srli_si128(bytes16, 8));
        default: return _mm_cvtepu8_epi32(_mm_srli_si128(bytes16, 12));
    }
}
ZV_INLINE VI pack_u8_groups(const V* groups) {
    const VI p0 = pack_unit_f32_sse_to_u8(groups[0]), p1 = pack_unit_f32_sse_to_u8(groups[1]);
    const VI p2 = pack_unit_f32_sse_to_u8(groups[2]), p3 = pack_unit_f32_sse_to_u8(groups[3]);
    return _mm_unpacklo_epi64(_mm_unpacklo_epi32(p0, p1), _mm_unpacklo_epi32(p2, p3));
}
ZV_INLINE V load_f32(const float* p, int aligned) { return load_f32x4(p, aligned); }
ZV_INLINE void store_f32(float* p, V v, int aligned) { store_f32x4(p, v, aligned); }
constexpr uintptr_t kVectorBytes = 16;

}  // namespace zv_sse
ZV_SSE_END

ZV_AVX_BEGIN
namespace zv_avx {

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

// Generic names used by the stages (the same names exist for 4 lanes).
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

ZV_INLINE VI widen_u8_group(__m128i bytes16, int group) {
    return _mm256_cvtepu8_epi32(group == 0 ? bytes16 : _mm_srli_si128(bytes16, 8));
}
ZV_INLINE __m128i pack_u8_groups(const V* groups) { return pack_two_unit_f32_avx2_to_u8(groups[0], groups[1]); }
ZV_INLINE V load_f32(const float* p, int aligned) { return load_f32x8(p, aligned); }
ZV_INLINE void store_f32(float* p, V v, int aligned) { store_f32x8(p, v, aligned); }
constexpr uintptr_t kVectorBytes = 32;

}  // namespace zv_avx
ZV_AVX_END

// Generic pixel access over the element type and channel count, stamped for
// both lane widths: whole groups of kLanes pixels starting at `index`.
ZV_STAMP_LANES(
    template <bool U8, int CH>
    ZV_INLINE void load_unit(const void* data, zv_index index, V inv, V& r, V& g, V& b, V& a) {
        if constexpr (U8) {
            const uint8_t* p = static_cast<const uint8_t*>(data) + index * CH;
            if constexpr (CH == 4) load_unit_u8_4ch(p, inv, r, g, b, a);
            else load_unit_u8_3ch(p, inv, r, g, b);
        } else {
            const float* p = static_cast<const float*>(data) + index * CH;
            if constexpr (CH == 4) load_unit_f32_4ch(p, inv, r, g, b, a);
            else load_unit_f32_3ch(p, inv, r, g, b);
        }
        if constexpr (CH == 3) a = splat(1.0f);
    }

    template <bool U8, int CH>
    ZV_INLINE void load_int(const void* data, zv_index index, VI& r, VI& g, VI& b, VI& a) {
        const uint8_t* p = static_cast<const uint8_t*>(data) + index * CH;
        if constexpr (CH == 4) load_int_4ch(p, r, g, b, a);
        else load_int_3ch(p, r, g, b, a);
    }

    template <bool U8, int CH>
    ZV_INLINE void store_unit(void* data, zv_index index, V r, V g, V b, V a) {
        if constexpr (U8) {
            uint8_t* p = static_cast<uint8_t*>(data) + index * CH;
            if constexpr (CH == 4) store_u8_4ch(p, r, g, b, a);
            else store_u8_3ch(p, r, g, b);
        } else {
            float* p = static_cast<float*>(data) + index * CH;
            if constexpr (CH == 4) store_f32_4ch(p, r, g, b, a);
            else store_f32_3ch(p, r, g, b);
        }
    }

    // A hint for all cache levels; never faults, so no bound check.
    ZV_INLINE void prefetch_pixel(const void* data, zv_index pixel, int bytes_per_pixel) {
        _mm_prefetch(reinterpret_cast<const char*>(reinterpret_cast<uintptr_t>(data) +
                                                   static_cast<uintptr_t>(pixel * bytes_per_pixel)),
                     _MM_HINT_T0);
    })

// Loads of the colour-triplet driver. Its float colours and all its alphas are
// read as the scalar reads do, with a true division by 255 per element (the
// deinterleaving loaders run with a scale of 1, which is exact, and the lanes
// are divided afterwards); its 8-bit colours take the inv255 multiply.
ZV_STAMP_LANES(
    ZV_INLINE void load_rgb_u8(const uint8_t* data, int channels, zv_index index, V inv255, V& r, V& g, V& b) {
        V a;
        if (channels == 3) load_unit_u8_3ch(data + index * 3, inv255, r, g, b);
        else load_unit_u8_4ch(data + index * 4, inv255, r, g, b, a);
    }

    ZV_INLINE void load_rgb_f32(const float* data, int channels, zv_index index, V& r, V& g, V& b) {
        const V one = splat(1.0f), k255 = splat(255.0f);
        V a;
        if (channels == 3) load_unit_f32_3ch(data + index * 3, one, r, g, b);
        else load_unit_f32_4ch(data + index * 4, one, r, g, b, a);
        r = div(r, k255);
        g = div(g, k255);
        b = div(b, k255);
    }

    ZV_INLINE V load_alpha_u8(const uint8_t* data, int channels, zv_index index) {
        if (channels != 4) return splat(1.0f);
        VI r, g, b, a;
        load_int_4ch(data + index * 4, r, g, b, a);
        return div(to_float(a), splat(255.0f));
    }

    ZV_INLINE V load_alpha_f32(const float* data, int channels, zv_index index) {
        if (channels != 4) return splat(1.0f);
        V r, g, b, a;
        load_unit_f32_4ch(data + index * 4, splat(1.0f), r, g, b, a);
        return div(a, splat(255.0f));
    })
