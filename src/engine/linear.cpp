// Linear light (linear.hpp).
#include "linear.hpp"

#include <cmath>

namespace zv_engine {

float srgb_decode(float value) {
    const double c = static_cast<double>(value) / 255.0;
    const double linear = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    return static_cast<float>(linear * 255.0);
}

float srgb_encode(float value) {
    const double c = static_cast<double>(value) / 255.0;
    const double encoded = c <= 0.0031308 ? 12.92 * c : 1.055 * std::pow(c, 1.0 / 2.4) - 0.055;
    return static_cast<float>(encoded * 255.0);
}

namespace {
struct DecodeTable {
    float values[256];
    DecodeTable() {
        for (int v = 0; v < 256; ++v) values[v] = srgb_decode(static_cast<float>(v));
    }
};
}  // namespace

const float* srgb_decode_table() {
    static const DecodeTable table;
    return table.values;
}

void srgb_decode_pixels(float* pixels, zv_index count, int channels) {
    for (zv_index i = 0; i < count; ++i)
        for (int c = 0; c < 3; ++c) pixels[i * channels + c] = srgb_decode(pixels[i * channels + c]);
}

void srgb_encode_pixels(float* pixels, zv_index count, int channels) {
    for (zv_index i = 0; i < count; ++i)
        for (int c = 0; c < 3; ++c) pixels[i * channels + c] = srgb_encode(pixels[i * channels + c]);
}

void srgb_decode_bytes(const uint8_t* bytes, zv_index count, int channels, float* pixels) {
    const float* table = srgb_decode_table();
    for (zv_index e = count * channels - 1; e >= 0; --e) {
        const uint8_t v = bytes[e];
        pixels[e] = e % channels == 3 ? static_cast<float>(v) : table[v];
    }
}

uint8_t round_u8(float value) {
    if (!(value >= 0.0f)) return 0;
    if (value >= 255.0f) return 255;
    return static_cast<uint8_t>(std::nearbyint(value));
}

}  // namespace zv_engine
