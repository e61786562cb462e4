// The 4-lane NEON target (aarch64): Advanced SIMD with fused multiply-adds,
// which every AArch64 processor has (targets.hpp), so it needs no region and
// no run-time check.
//
// Its results equal the 4-lane SSE target's bit for bit, so every word here
// gives the answer of the x86 instruction behind the same word in
// lanes_sse.hpp, also where NEON's own instruction answers otherwise:
//
//   min_l, max_l   minps/maxps return the second operand unless the first is
//                  strictly smaller (larger): on a NaN in either operand and on
//                  zeros of either sign. NEON's fmin/fmax return NaN and order
//                  -0 below +0, so these are a compare and a bitwise select.
//   neq            cmpneqps is unordered (true on NaN): the complement of fcmeq.
//   fmsub          a*b - c, fused: an fmla onto -c (exact negation; the same
//                  result, signed zeros included).
//   select         blendvps picks by each mask lane's sign bit; masks are
//                  all-ones or all-zeros lanes, so a bitwise select is the same.
//   8-bit stores   cvtps2dq rounds to nearest, ties to even, as fcvtns does;
//                  the clamp to 0..255 in float comes first (NaN -> 0), so no
//                  value outside the integer range reaches either conversion.
//
// Additions, multiplications, divisions, square roots and fused multiply-adds
// are IEEE operations with one rounding on both, and both keep subnormals (no
// flush to zero in MXCSR or FPCR as the operating system sets them up). Only
// the payload of a NaN can differ: x86 makes a new NaN negative, ARM positive.
// The byte layout of pixels in 32-bit lanes assumes little-endian order, the
// order of every AArch64 Linux and macOS system (targets.hpp checks it).
#pragma once

#include "pixel_io.hpp"

namespace zv_neon {
using V = float32x4_t;
using VI = int32x4_t;
using M = uint32x4_t;
constexpr int kLanes = 4;
// The kernels whose stages include this target's.
constexpr unsigned kKernels = 1u << KERNEL_NEON;

ZV_INLINE V splat(float x) { return vdupq_n_f32(x); }
ZV_INLINE VI splat_i(int32_t x) { return vdupq_n_s32(x); }
ZV_INLINE V add(V a, V b) { return vaddq_f32(a, b); }
ZV_INLINE V sub(V a, V b) { return vsubq_f32(a, b); }
ZV_INLINE V mul(V a, V b) { return vmulq_f32(a, b); }
ZV_INLINE V div(V a, V b) { return vdivq_f32(a, b); }
ZV_INLINE V mul_add(V a, V b, V c) { return vfmaq_f32(c, a, b); }
ZV_INLINE V fnmadd(V a, V b, V c) { return vfmsq_f32(c, a, b); }
ZV_INLINE V fmsub(V a, V b, V c) { return vfmaq_f32(vnegq_f32(c), a, b); }
ZV_INLINE V min_l(V a, V b) { return vbslq_f32(vcltq_f32(a, b), a, b); }
ZV_INLINE V max_l(V a, V b) { return vbslq_f32(vcgtq_f32(a, b), a, b); }
ZV_INLINE V abs_l(V a) { return vabsq_f32(a); }
ZV_INLINE V clamp01(V x) { return min_l(max_l(x, vdupq_n_f32(0.0f)), vdupq_n_f32(1.0f)); }
ZV_INLINE M lt(V a, V b) { return vcltq_f32(a, b); }
ZV_INLINE M le(V a, V b) { return vcleq_f32(a, b); }
ZV_INLINE M gt(V a, V b) { return vcgtq_f32(a, b); }
ZV_INLINE M ge(V a, V b) { return vcgeq_f32(a, b); }
ZV_INLINE M eq(V a, V b) { return vceqq_f32(a, b); }
ZV_INLINE M neq(V a, V b) { return vmvnq_u32(vceqq_f32(a, b)); }
ZV_INLINE M mand(M a, M b) { return vandq_u32(a, b); }
ZV_INLINE M mandnot(M a, M b) { return vbicq_u32(b, a); }
ZV_INLINE V select(M m, V t, V f) { return vbslq_f32(m, t, f); }
ZV_INLINE V floor_l(V a) { return vrndmq_f32(a); }
ZV_INLINE V sqrt_l(V a) { return vsqrtq_f32(a); }
ZV_INLINE V cap_one(V x) { return min_l(x, vdupq_n_f32(1.0f)); }
ZV_INLINE V cap_one_lib(V x) { return min_l(vdupq_n_f32(1.0f), x); }

ZV_INLINE VI add_i(VI a, VI b) { return vaddq_s32(a, b); }
ZV_INLINE VI sub_i(VI a, VI b) { return vsubq_s32(a, b); }
ZV_INLINE VI mul_i(VI a, VI b) { return vmulq_s32(a, b); }
ZV_INLINE VI abs_i(VI a) { return vabsq_s32(a); }
ZV_INLINE VI min_u(VI a, VI b) {
    return vreinterpretq_s32_u32(vminq_u32(vreinterpretq_u32_s32(a), vreinterpretq_u32_s32(b)));
}
ZV_INLINE VI max_u(VI a, VI b) {
    return vreinterpretq_s32_u32(vmaxq_u32(vreinterpretq_u32_s32(a), vreinterpretq_u32_s32(b)));
}
ZV_INLINE V to_float(VI a) { return vcvtq_f32_s32(a); }

// ---- pixels -------------------------------------------------------------------

ZV_INLINE V to_unit(VI v, V inv255) { return vmulq_f32(vcvtq_f32_s32(v), inv255); }

// 12 bytes as an 8-byte and a 4-byte load; bytes 12..15 are zero.
ZV_INLINE uint8x16_t load_rgb4_bytes(const uint8_t* p) {
    uint32_t tail;
    std::memcpy(&tail, p + 8, 4);
    const uint32x4_t head = vreinterpretq_u32_u8(vcombine_u8(vld1_u8(p), vdup_n_u8(0)));
    return vreinterpretq_u8_u32(vsetq_lane_u32(tail, head, 2));
}

// Exactly 12 bytes (bytes 0..11 of `bytes`): an 8-byte and a 4-byte store.
ZV_INLINE void store_rgb4_bytes(uint8_t* p, uint8x16_t bytes) {
    vst1_u8(p, vget_low_u8(bytes));
    const uint32_t tail = vgetq_lane_u32(vreinterpretq_u32_u8(bytes), 2);
    std::memcpy(p + 8, &tail, 4);
}

// One pixel per 32-bit lane: R in bits 0..7, G in 8..15, B in 16..23, A in 24..31.
ZV_INLINE void split_pixel_lanes(uint32x4_t px, VI& r, VI& g, VI& b) {
    const uint32x4_t byte = vdupq_n_u32(0xFF);
    r = vreinterpretq_s32_u32(vandq_u32(px, byte));
    g = vreinterpretq_s32_u32(vandq_u32(vshrq_n_u32(px, 8), byte));
    b = vreinterpretq_s32_u32(vandq_u32(vshrq_n_u32(px, 16), byte));
}

// Byte shuffles: an index of 16 or more gives 0.
ZV_INLINE uint8x16_t shuffle_bytes(uint8x16_t bytes, const uint8_t (&order)[16]) {
    return vqtbl1q_u8(bytes, vld1q_u8(order));
}

ZV_INLINE uint32x4_t rgb_bytes_to_pixel_lanes(uint8x16_t bytes) {
    static constexpr uint8_t kOrder[16] = {0, 1, 2, 255, 3, 4, 5, 255, 6, 7, 8, 255, 9, 10, 11, 255};
    return vreinterpretq_u32_u8(shuffle_bytes(bytes, kOrder));
}

ZV_INLINE void load_int_3ch(const uint8_t* p, VI& r, VI& g, VI& b, VI& a) {
    split_pixel_lanes(rgb_bytes_to_pixel_lanes(load_rgb4_bytes(p)), r, g, b);
    a = vdupq_n_s32(255);
}

ZV_INLINE void load_int_4ch(const uint8_t* p, VI& r, VI& g, VI& b, VI& a) {
    const uint32x4_t px = vreinterpretq_u32_u8(vld1q_u8(p));
    split_pixel_lanes(px, r, g, b);
    a = vreinterpretq_s32_u32(vshrq_n_u32(px, 24));
}

ZV_INLINE void load_unit_u8_3ch(const uint8_t* p, V inv, V& r, V& g, V& b) {
    VI ri, gi, bi, ai;
    load_int_3ch(p, ri, gi, bi, ai);
    r = to_unit(ri, inv);
    g = to_unit(gi, inv);
    b = to_unit(bi, inv);
}

ZV_INLINE void load_unit_u8_4ch(const uint8_t* p, V inv, V& r, V& g, V& b, V& a) {
    VI ri, gi, bi, ai;
    load_int_4ch(p, ri, gi, bi, ai);
    r = to_unit(ri, inv);
    g = to_unit(gi, inv);
    b = to_unit(bi, inv);
    a = to_unit(ai, inv);
}

// Interleaved floats: the structure loads read exactly 12 or 16 floats.
ZV_INLINE void load_unit_f32_3ch(const float* p, V inv, V& r, V& g, V& b) {
    const float32x4x3_t px = vld3q_f32(p);
    r = vmulq_f32(px.val[0], inv);
    g = vmulq_f32(px.val[1], inv);
    b = vmulq_f32(px.val[2], inv);
}

ZV_INLINE void load_unit_f32_4ch(const float* p, V inv, V& r, V& g, V& b, V& a) {
    const float32x4x4_t px = vld4q_f32(p);
    r = vmulq_f32(px.val[0], inv);
    g = vmulq_f32(px.val[1], inv);
    b = vmulq_f32(px.val[2], inv);
    a = vmulq_f32(px.val[3], inv);
}

// Unit floats to integers 0..255: scale, clamp in float (NaN -> 0), round to
// nearest even.
ZV_INLINE uint32x4_t unit_to_u8_lanes(V x) {
    const V s = vmulq_f32(x, vdupq_n_f32(255.0f));
    return vreinterpretq_u32_s32(vcvtnq_s32_f32(min_l(max_l(s, vdupq_n_f32(0.0f)), vdupq_n_f32(255.0f))));
}

// Integer lanes 0..255 to one pixel per 32-bit lane, R in the lowest byte.
ZV_INLINE uint32x4_t pixel_lanes(uint32x4_t r, uint32x4_t g, uint32x4_t b) {
    return vorrq_u32(vorrq_u32(r, vshlq_n_u32(g, 8)), vshlq_n_u32(b, 16));
}

ZV_INLINE void store_u8_4ch(uint8_t* p, V r, V g, V b, V a) {
    const uint32x4_t px = vorrq_u32(pixel_lanes(unit_to_u8_lanes(r), unit_to_u8_lanes(g), unit_to_u8_lanes(b)),
                                    vshlq_n_u32(unit_to_u8_lanes(a), 24));
    vst1q_u8(p, vreinterpretq_u8_u32(px));
}

ZV_INLINE void store_u8_3ch(uint8_t* p, V r, V g, V b) {
    static constexpr uint8_t kOrder[16] = {0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, 255, 255, 255, 255};
    const uint32x4_t px = pixel_lanes(unit_to_u8_lanes(r), unit_to_u8_lanes(g), unit_to_u8_lanes(b));
    store_rgb4_bytes(p, shuffle_bytes(vreinterpretq_u8_u32(px), kOrder));
}

ZV_INLINE void store_f32_3ch(float* p, V r, V g, V b) {
    const V k255 = vdupq_n_f32(255.0f);
    float32x4x3_t px;
    px.val[0] = vmulq_f32(r, k255);
    px.val[1] = vmulq_f32(g, k255);
    px.val[2] = vmulq_f32(b, k255);
    vst3q_f32(p, px);
}

ZV_INLINE void store_f32_4ch(float* p, V r, V g, V b, V a) {
    const V k255 = vdupq_n_f32(255.0f);
    float32x4x4_t px;
    px.val[0] = vmulq_f32(r, k255);
    px.val[1] = vmulq_f32(g, k255);
    px.val[2] = vmulq_f32(b, k255);
    px.val[3] = vmulq_f32(a, k255);
    vst4q_f32(p, px);
}

ZV_INLINE V load_f32(const float* p, int) { return vld1q_f32(p); }
ZV_INLINE void store_f32(float* p, V v, int) { vst1q_f32(p, v); }
constexpr uintptr_t kVectorBytes = 16;

// 16 consecutive bytes (the flat stages' step) as 4-lane groups of 32-bit
// integers, and back.
using B16 = uint8x16_t;
ZV_INLINE B16 load_bytes16(const uint8_t* p) { return vld1q_u8(p); }
ZV_INLINE void store_bytes16(uint8_t* p, B16 v) { vst1q_u8(p, v); }
ZV_INLINE VI widen_u8_group(B16 bytes16, int group) {
    const uint16x8_t half = vmovl_u8(group < 2 ? vget_low_u8(bytes16) : vget_high_u8(bytes16));
    return vreinterpretq_s32_u32(vmovl_u16((group & 1) ? vget_high_u16(half) : vget_low_u16(half)));
}
ZV_INLINE B16 pack_u8_groups(const V* groups) {
    const uint16x8_t lo = vcombine_u16(vmovn_u32(unit_to_u8_lanes(groups[0])), vmovn_u32(unit_to_u8_lanes(groups[1])));
    const uint16x8_t hi = vcombine_u16(vmovn_u32(unit_to_u8_lanes(groups[2])), vmovn_u32(unit_to_u8_lanes(groups[3])));
    return vcombine_u8(vmovn_u16(lo), vmovn_u16(hi));
}

// ---- the 8-bit integer path of normal ------------------------------------------

ZV_INLINE uint16x8_t lerp_u8_words(uint16x8_t in16, uint16x8_t layer16, int alpha) {
    const uint16x8_t t = vaddq_u16(vmlaq_n_u16(vmulq_n_u16(in16, static_cast<uint16_t>(255 - alpha)), layer16,
                                               static_cast<uint16_t>(alpha)),
                                   vdupq_n_u16(128));
    return vshrq_n_u16(vaddq_u16(t, vshrq_n_u16(t, 8)), 8);
}
// 4 RGB pixels: exactly 12 bytes read from each input and written.
ZV_INLINE void lerp_rgb_pixels(const uint8_t* in, const uint8_t* layer, uint8_t* out, int alpha) {
    const uint8x16_t a = load_rgb4_bytes(in), b = load_rgb4_bytes(layer);
    const uint16x8_t lo = lerp_u8_words(vmovl_u8(vget_low_u8(a)), vmovl_u8(vget_low_u8(b)), alpha);
    const uint16x8_t hi = lerp_u8_words(vmovl_u8(vget_high_u8(a)), vmovl_u8(vget_high_u8(b)), alpha);
    store_rgb4_bytes(out, vcombine_u8(vmovn_u16(lo), vmovn_u16(hi)));
}

// ---- bits and doubles (lanes_scalar.hpp) ---------------------------------------
// The conversions round as their x86 counterparts do (toward zero for trunc_i,
// to nearest even for narrow), and double arithmetic is IEEE on both.
ZV_INLINE bool any(M m) { return vmaxvq_u32(m) != 0; }
ZV_INLINE VI bits_of(V a) { return vreinterpretq_s32_f32(a); }
ZV_INLINE V from_bits(VI a) { return vreinterpretq_f32_s32(a); }
ZV_INLINE VI and_i(VI a, VI b) { return vandq_s32(a, b); }
ZV_INLINE VI or_i(VI a, VI b) { return vorrq_s32(a, b); }
ZV_INLINE VI trunc_i(V a) { return vcvtq_s32_f32(a); }
// One byte lookup over the table's 64 bytes: lane i takes bytes 4 index .. 4 index + 3.
ZV_INLINE V lookup16(const float* table, VI index) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(table);
    uint8x16x4_t t;
    t.val[0] = vld1q_u8(bytes);
    t.val[1] = vld1q_u8(bytes + 16);
    t.val[2] = vld1q_u8(bytes + 32);
    t.val[3] = vld1q_u8(bytes + 48);
    const uint32x4_t first = vshlq_n_u32(vreinterpretq_u32_s32(index), 2);
    const uint32x4_t picks = vmlaq_u32(vdupq_n_u32(0x03020100u), first, vdupq_n_u32(0x01010101u));
    return vreinterpretq_f32_u8(vqtbl4q_u8(t, vreinterpretq_u8_u32(picks)));
}

using VD = float64x2_t;
using MD = uint64x2_t;
ZV_INLINE VD widen_lo(V a) { return vcvt_f64_f32(vget_low_f32(a)); }
ZV_INLINE VD widen_hi(V a) { return vcvt_high_f64_f32(a); }
ZV_INLINE V narrow(VD lo, VD hi) { return vcvt_high_f32_f64(vcvt_f32_f64(lo), hi); }
ZV_INLINE VD splat_d(double x) { return vdupq_n_f64(x); }
ZV_INLINE VD add_d(VD a, VD b) { return vaddq_f64(a, b); }
ZV_INLINE VD sub_d(VD a, VD b) { return vsubq_f64(a, b); }
ZV_INLINE VD mul_d(VD a, VD b) { return vmulq_f64(a, b); }
ZV_INLINE VD fnmadd_d(VD a, VD b, VD c) { return vfmsq_f64(c, a, b); }
ZV_INLINE VD fmsub_d(VD a, VD b, VD c) { return vfmaq_f64(vnegq_f64(c), a, b); }
ZV_INLINE MD gt_d(VD a, VD b) { return vcgtq_f64(a, b); }
ZV_INLINE VD select_d(MD m, VD t, VD f) { return vbslq_f64(m, t, f); }

// The tag that takes the drivers to this target's stages (lanes.hpp).
struct Target {
    static constexpr unsigned kServes = kKernels;
};
}  // namespace zv_neon
