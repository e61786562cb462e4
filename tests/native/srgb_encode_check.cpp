// The 8-bit encode of linear light (src/engine/linear.cpp) against its
// definition, round_u8(srgb_encode(v)), for every one of the 2^32 floats
// (about a minute). Build and run:
//   g++ -std=c++17 -O3 -ffp-contract=off -Isrc -Isrc/kernels
//       tests/native/srgb_encode_check.cpp src/engine/linear.cpp -o srgb_encode_check
//   ./srgb_encode_check
#include <cstdio>
#include <cstring>

#include "engine/linear.hpp"

int main() {
    long mismatches = 0;
    for (uint64_t b = 0; b <= 0xFFFFFFFFull; ++b) {
        const uint32_t bits = static_cast<uint32_t>(b);
        float v;
        std::memcpy(&v, &bits, sizeof v);
        if (zv_engine::srgb_encode_u8(v) != zv_engine::round_u8(zv_engine::srgb_encode(v)) && mismatches++ < 5)
            std::printf("differs at %08x (%g)\n", bits, static_cast<double>(v));
    }
    std::printf("srgb_encode_check: %ld mismatches over every float\n", mismatches);
    return mismatches != 0;
}
