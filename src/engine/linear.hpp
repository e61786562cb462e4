// Linear light: a layer's colours decoded from sRGB before it is blended and
// composited, and the result encoded back (IEC 61966-2-1, on c = v / 255):
//
//   decode  c <= 0.04045   ? c / 12.92 : ((c + 0.055) / 1.055)^2.4
//   encode  c <= 0.0031308 ? 12.92 c   : 1.055 c^(1/2.4) - 0.055
//
// each evaluated in double from the float32 working value (0..255 scale) and
// rounded once to float32; alpha is left as it is. 8-bit pixels are rounded
// once, after the encode (to nearest, ties to even; clamped, NaN to 0).
#pragma once

#include <cstdint>

#include "image_view.hpp"

namespace zv_engine {

float srgb_decode(float value);  // 0..255 sRGB to 0..255 linear
float srgb_encode(float value);  // and back

// The decode of every 8-bit value.
const float* srgb_decode_table();

// count pixels of `channels` floats: colours decoded / encoded in place.
void srgb_decode_pixels(float* pixels, zv_index count, int channels);
void srgb_encode_pixels(float* pixels, zv_index count, int channels);

// count pixels of `channels` bytes to floats with their colours decoded; the
// floats may start where the bytes do (they are written from the end).
void srgb_decode_bytes(const uint8_t* bytes, zv_index count, int channels, float* pixels);

// A working float to an 8-bit value: clamped to 0..255 (NaN to 0), rounded to nearest even.
uint8_t round_u8(float value);

// round_u8(srgb_encode(value)) through a table of the 255 floats at which that
// value steps up (found once by bisection over the floats' order; the encode is
// nondecreasing): a search of 8 comparisons in place of the power.
uint8_t srgb_encode_u8(float value);

}  // namespace zv_engine
