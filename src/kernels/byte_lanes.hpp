// Vectors of unsigned bytes in each lane target, for the integer forms of
// opaque pixels (opaque.hpp, opaque_stages.inc). One register a step: 16
// bytes (SSE4.2, NEON), 32 (AVX2), 64 (AVX-512 BW), which is kLanes RGBA
// pixels in every target.
//
//   UB, kUBytes             the vector and its width in bytes
//   ub_load, ub_store       unaligned, exactly kUBytes bytes
//   ub_min ub_max           per byte, unsigned
//   ub_adds ub_subs         per byte, saturating at 255 and 0
//   ub_absdiff              |a - b|
//   ub_not ub_or            bitwise
//   ub_mul255(a, b)         a b / 255 rounded to nearest (zv_div255 on 16-bit products)
//   ub_alpha                0xFF in byte 3 of every 4
//   ub_opaque(px)           whether every byte 3 of 4 is 255
//   ub_select_top(m, t, f)  per byte t where m's top bit is set, else f
#pragma once

#include <cstdint>

#include "targets.hpp"

#if defined(ZV_X86_64)
ZV_BEGIN_sse
namespace zv_sse {
using UB = __m128i;
constexpr int kUBytes = 16;
ZV_INLINE UB ub_load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
ZV_INLINE void ub_store(uint8_t* p, UB v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
ZV_INLINE UB ub_min(UB a, UB b) { return _mm_min_epu8(a, b); }
ZV_INLINE UB ub_max(UB a, UB b) { return _mm_max_epu8(a, b); }
ZV_INLINE UB ub_adds(UB a, UB b) { return _mm_adds_epu8(a, b); }
ZV_INLINE UB ub_subs(UB a, UB b) { return _mm_subs_epu8(a, b); }
ZV_INLINE UB ub_absdiff(UB a, UB b) { return _mm_or_si128(_mm_subs_epu8(a, b), _mm_subs_epu8(b, a)); }
ZV_INLINE UB ub_not(UB a) { return _mm_xor_si128(a, _mm_set1_epi32(-1)); }
ZV_INLINE UB ub_or(UB a, UB b) { return _mm_or_si128(a, b); }
ZV_INLINE UB ub_div255_words(UB x) {
    const UB t = _mm_add_epi16(x, _mm_set1_epi16(128));
    return _mm_srli_epi16(_mm_add_epi16(t, _mm_srli_epi16(t, 8)), 8);
}
ZV_INLINE UB ub_mul255(UB a, UB b) {
    const UB zero = _mm_setzero_si128();
    const UB lo = _mm_mullo_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
    const UB hi = _mm_mullo_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
    return _mm_packus_epi16(ub_div255_words(lo), ub_div255_words(hi));
}
ZV_INLINE UB ub_alpha() { return _mm_set1_epi32(static_cast<int32_t>(0xFF000000u)); }
ZV_INLINE bool ub_opaque(UB px) { return _mm_test_all_ones(_mm_or_si128(px, _mm_set1_epi32(0x00FFFFFF))); }
ZV_INLINE UB ub_select_top(UB m, UB t, UB f) { return _mm_blendv_epi8(f, t, m); }
}  // namespace zv_sse
ZV_END_sse

ZV_BEGIN_avx
namespace zv_avx {
using UB = __m256i;
constexpr int kUBytes = 32;
ZV_INLINE UB ub_load(const uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
ZV_INLINE void ub_store(uint8_t* p, UB v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
ZV_INLINE UB ub_min(UB a, UB b) { return _mm256_min_epu8(a, b); }
ZV_INLINE UB ub_max(UB a, UB b) { return _mm256_max_epu8(a, b); }
ZV_INLINE UB ub_adds(UB a, UB b) { return _mm256_adds_epu8(a, b); }
ZV_INLINE UB ub_subs(UB a, UB b) { return _mm256_subs_epu8(a, b); }
ZV_INLINE UB ub_absdiff(UB a, UB b) { return _mm256_or_si256(_mm256_subs_epu8(a, b), _mm256_subs_epu8(b, a)); }
ZV_INLINE UB ub_not(UB a) { return _mm256_xor_si256(a, _mm256_set1_epi32(-1)); }
ZV_INLINE UB ub_or(UB a, UB b) { return _mm256_or_si256(a, b); }
ZV_INLINE UB ub_div255_words(UB x) {
    const UB t = _mm256_add_epi16(x, _mm256_set1_epi16(128));
    return _mm256_srli_epi16(_mm256_add_epi16(t, _mm256_srli_epi16(t, 8)), 8);
}
// The unpacks and the pack work within each 128-bit half alike, so the bytes
// come back in their places.
ZV_INLINE UB ub_mul255(UB a, UB b) {
    const UB zero = _mm256_setzero_si256();
    const UB lo = _mm256_mullo_epi16(_mm256_unpacklo_epi8(a, zero), _mm256_unpacklo_epi8(b, zero));
    const UB hi = _mm256_mullo_epi16(_mm256_unpackhi_epi8(a, zero), _mm256_unpackhi_epi8(b, zero));
    return _mm256_packus_epi16(ub_div255_words(lo), ub_div255_words(hi));
}
ZV_INLINE UB ub_alpha() { return _mm256_set1_epi32(static_cast<int32_t>(0xFF000000u)); }
ZV_INLINE bool ub_opaque(UB px) {
    return _mm256_testc_si256(_mm256_or_si256(px, _mm256_set1_epi32(0x00FFFFFF)), _mm256_set1_epi32(-1));
}
ZV_INLINE UB ub_select_top(UB m, UB t, UB f) { return _mm256_blendv_epi8(f, t, m); }
}  // namespace zv_avx
ZV_END_avx

ZV_BEGIN_avx512
namespace zv_avx512 {
using UB = __m512i;
constexpr int kUBytes = 64;
ZV_INLINE UB ub_load(const uint8_t* p) { return _mm512_loadu_si512(p); }
ZV_INLINE void ub_store(uint8_t* p, UB v) { _mm512_storeu_si512(p, v); }
ZV_INLINE UB ub_min(UB a, UB b) { return _mm512_min_epu8(a, b); }
ZV_INLINE UB ub_max(UB a, UB b) { return _mm512_max_epu8(a, b); }
ZV_INLINE UB ub_adds(UB a, UB b) { return _mm512_adds_epu8(a, b); }
ZV_INLINE UB ub_subs(UB a, UB b) { return _mm512_subs_epu8(a, b); }
ZV_INLINE UB ub_absdiff(UB a, UB b) { return _mm512_or_si512(_mm512_subs_epu8(a, b), _mm512_subs_epu8(b, a)); }
ZV_INLINE UB ub_not(UB a) { return _mm512_xor_si512(a, _mm512_set1_epi32(-1)); }
ZV_INLINE UB ub_or(UB a, UB b) { return _mm512_or_si512(a, b); }
ZV_INLINE UB ub_div255_words(UB x) {
    const UB t = _mm512_add_epi16(x, _mm512_set1_epi16(128));
    return _mm512_srli_epi16(_mm512_add_epi16(t, _mm512_srli_epi16(t, 8)), 8);
}
ZV_INLINE UB ub_mul255(UB a, UB b) {
    const UB zero = _mm512_setzero_si512();
    const UB lo = _mm512_mullo_epi16(_mm512_unpacklo_epi8(a, zero), _mm512_unpacklo_epi8(b, zero));
    const UB hi = _mm512_mullo_epi16(_mm512_unpackhi_epi8(a, zero), _mm512_unpackhi_epi8(b, zero));
    return _mm512_packus_epi16(ub_div255_words(lo), ub_div255_words(hi));
}
ZV_INLINE UB ub_alpha() { return _mm512_set1_epi32(static_cast<int32_t>(0xFF000000u)); }
ZV_INLINE bool ub_opaque(UB px) {
    return _mm512_cmplt_epu32_mask(px, _mm512_set1_epi32(static_cast<int32_t>(0xFF000000u))) == 0;
}
ZV_INLINE UB ub_select_top(UB m, UB t, UB f) { return _mm512_mask_blend_epi8(_mm512_movepi8_mask(m), f, t); }
}  // namespace zv_avx512
ZV_END_avx512

#elif defined(ZV_AARCH64)
namespace zv_neon {
using UB = uint8x16_t;
constexpr int kUBytes = 16;
ZV_INLINE UB ub_load(const uint8_t* p) { return vld1q_u8(p); }
ZV_INLINE void ub_store(uint8_t* p, UB v) { vst1q_u8(p, v); }
ZV_INLINE UB ub_min(UB a, UB b) { return vminq_u8(a, b); }
ZV_INLINE UB ub_max(UB a, UB b) { return vmaxq_u8(a, b); }
ZV_INLINE UB ub_adds(UB a, UB b) { return vqaddq_u8(a, b); }
ZV_INLINE UB ub_subs(UB a, UB b) { return vqsubq_u8(a, b); }
ZV_INLINE UB ub_absdiff(UB a, UB b) { return vabdq_u8(a, b); }
ZV_INLINE UB ub_not(UB a) { return vmvnq_u8(a); }
ZV_INLINE UB ub_or(UB a, UB b) { return vorrq_u8(a, b); }
ZV_INLINE uint8x8_t ub_div255_words(uint16x8_t x) {
    const uint16x8_t t = vaddq_u16(x, vdupq_n_u16(128));
    return vshrn_n_u16(vaddq_u16(t, vshrq_n_u16(t, 8)), 8);
}
ZV_INLINE UB ub_mul255(UB a, UB b) {
    return vcombine_u8(ub_div255_words(vmull_u8(vget_low_u8(a), vget_low_u8(b))),
                       ub_div255_words(vmull_high_u8(a, b)));
}
ZV_INLINE UB ub_alpha() { return vreinterpretq_u8_u32(vdupq_n_u32(0xFF000000u)); }
ZV_INLINE bool ub_opaque(UB px) { return vminvq_u8(vorrq_u8(px, vreinterpretq_u8_u32(vdupq_n_u32(0x00FFFFFFu)))) == 255; }
ZV_INLINE UB ub_select_top(UB m, UB t, UB f) { return vbslq_u8(vcltzq_s8(vreinterpretq_s8_u8(m)), t, f); }
}  // namespace zv_neon
#endif
