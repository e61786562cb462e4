// Moving 4, 8 or 16 interleaved pixels to planar lanes and back.
//
// Lane i always belongs to pixel index + i. Every loader reads exactly the
// bytes of its pixels and every store writes exactly those bytes, so the
// drivers can run them up to the last whole group without slack after the
// data. Unit values are stored value x inv255 (the float nearest 1/255);
// 8-bit stores scale by 255, clamp to 0..255 in float (NaN -> 0) and round to
// nearest, ties to even.
//
// Each lane vocabulary defines these words for its kLanes pixels at p
// (lane_pixels.inc builds the drivers' generic loads and stores on them):
//
//   to_unit(vi, inv255)                        float(vi) x inv255
//   load_unit_u8_4ch/_3ch(p, inv255, r, g, b[, a])   8-bit pixels as unit floats
//   load_unit_f32_4ch/_3ch(p, inv255, r, g, b[, a])  float pixels x inv255
//   load_int_4ch/_3ch(p, r, g, b, a)           8-bit pixels as integers (a = 255 for 3 channels)
//   store_u8_4ch/_3ch(p, r, g, b[, a])         unit floats to 8 bits, as above
//   store_f32_4ch/_3ch(p, r, g, b[, a])        unit floats x 255
//   load_f32, store_f32(p, v, aligned)         kLanes consecutive floats
//   B16, load_bytes16, store_bytes16           16 consecutive bytes (the flat stages' step)
//   widen_u8_group(bytes, g)                   bytes g*kLanes .. as 32-bit integers
//   pack_u8_groups(groups)                     16 / kLanes groups of unit floats to 16 bytes
//   lerp_rgb_pixels(in, layer, out, alpha)     normal's 8-bit integer path on kLanes RGB pixels
//   kVectorBytes                               the alignment that makes load_f32 aligned
#pragma once

#include "image_view.hpp"

constexpr float kInv255 = 0.00392156886f;  // bits 0x3B808081
static_assert(kInv255 == 1.0f / 255.0f, "inv255 must be the float nearest 1/255");

ZV_INLINE int ptr_is_aligned(const void* ptr, uintptr_t alignment) {
    return (reinterpret_cast<uintptr_t>(ptr) & (alignment - 1)) == 0;
}
