// Linear light (linear.hpp).
#include "linear.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

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
    for (zv_index i = count - 1; i >= 0; --i) {
        const uint8_t* b = bytes + i * channels;
        float* p = pixels + i * channels;
        if (channels == 4) p[3] = static_cast<float>(b[3]);
        p[2] = table[b[2]];
        p[1] = table[b[1]];
        p[0] = table[b[0]];
    }
}

uint8_t round_u8(float value) {
    if (!(value >= 0.0f)) return 0;
    if (value >= 255.0f) return 255;
    // Adding and taking away 2^23 rounds 0..255 to an integer, to nearest, ties to even.
    const float shifted = value + 8388608.0f;
    return static_cast<uint8_t>(shifted - 8388608.0f);
}

namespace {
float float_of(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

uint32_t bits_of(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// steps[k]: the least float v >= 0 with round_u8(srgb_encode(v)) >= k, k = 1..255
// (non-negative floats order as their bits do); start[b]: that value for the
// least float whose bits shifted right by kBucketShift are b, for every float
// below 255, so that a search starts at most a step or two below its answer.
constexpr int kBucketShift = 15;
struct EncodeSteps {
    float steps[257];
    std::vector<uint8_t> start;
    EncodeSteps() {
        steps[0] = 0.0f;
        const uint32_t infinity = bits_of(std::numeric_limits<float>::infinity());
        for (int k = 1; k < 256; ++k) {
            uint32_t below = 0, at = infinity;  // round_u8(encode(below)) < k <= round_u8(encode(at))
            while (at - below > 1) {
                const uint32_t middle = below + (at - below) / 2;
                if (round_u8(srgb_encode(float_of(middle))) >= k) at = middle;
                else below = middle;
            }
            steps[k] = float_of(at);
        }
        steps[256] = std::numeric_limits<float>::infinity();
        start.resize((bits_of(255.0f) >> kBucketShift) + 1);
        for (std::size_t b = 0; b < start.size(); ++b) start[b] = search(float_of(static_cast<uint32_t>(b) << kBucketShift), 0);
    }
    // The greatest k with steps[k] <= value, from k = `from` (steps[from] <= value) up.
    uint8_t search(float value, int from) const {
        int k = from;
        while (k < 255 && value >= steps[k + 1]) ++k;
        return static_cast<uint8_t>(k);
    }
};

const EncodeSteps& encode_steps() {
    static const EncodeSteps table;
    return table;
}
}  // namespace

uint8_t srgb_encode_u8(float value) {
    if (!(value >= 0.0f)) return 0;  // the encode of a negative value is negative; of NaN, NaN
    if (value >= 255.0f) return 255;  // steps[255] is below 255: the encode of 255 is 255
    const EncodeSteps& table = encode_steps();
    return table.search(value, table.start[(bits_of(value) & 0x7FFFFFFFu) >> kBucketShift]);  // -0 as +0
}

}  // namespace zv_engine
