// The colour code's own arithmetic, checked over (nearly) every float:
//
//  1. cbrt_l, the cube root: its scalar form against an exact integer test of
//     correct rounding (the root lies strictly between the cubes of the two
//     midpoints around it) for every positive finite float, subnormals
//     included; every lane form of this processor equal to the scalar form,
//     bit for bit, and so is every lane form's core (cbrt_normal, and its
//     double lanes alone, cbrt_normal_exact) on the normal floats; the sign, zeros, infinities and NaN as cbrtf treats them.
//  2. pow_1_over_2_4_approx, the 5/12 power of the sRGB encode, in every lane
//     form: equal, bit for bit, to the per-lane split it replaces (frexpf,
//     the exponent divided by 12 with a remainder, the table, a power of two),
//     kept below as the reference, for every float in [0, 1] and a sample of
//     the others (negatives, above 1, infinities, NaN).
//
//   cube_root_check             every float (about 2^31 roots; a minute or two)
//   cube_root_check --stride N  every N-th float, from the first (for the
//                               ordinary test run); N odd to meet all residues
//
// Also prints, for information, how often the C library's cbrtf differs from
// the correctly rounded root over the Lab conversion's range (epsilon, 4].
// First checks its own test of correct rounding (the root accepted, both
// neighbours refused). Exits 1 on any failure (after listing up to 10 cases).
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "lab.inc"

#if !ZV_TARGET_SCALAR
// Blocks of kBlock floats through each lane form (compiled in its target's region).
void cbrt_block(const float* in, float* out) {
    for (int i = 0; i < kBlock; i += kLanes) store_f32(out + i, cbrt_l(load_f32(in + i, 0)), 0);
}
void normal_block(const float* in, float* out) {
    for (int i = 0; i < kBlock; i += kLanes) store_f32(out + i, cbrt_normal(load_f32(in + i, 0)), 0);
}
void normal_exact_block(const float* in, float* out) {
    for (int i = 0; i < kBlock; i += kLanes) store_f32(out + i, cbrt_normal_exact(load_f32(in + i, 0)), 0);
}
void pow_block(const float* in, float* out) {
    for (int i = 0; i < kBlock; i += kLanes) store_f32(out + i, pow_1_over_2_4_approx(load_f32(in + i, 0)), 0);
}
// The old lane routine: the split per lane, then the same polynomial and clamps.
void pow_block_reference(const float* in, float* out) {
    alignas(64) float lanes[kLanes], mantissas[kLanes], scales[kLanes];
    for (int i = 0; i < kBlock; i += kLanes) {
        store_f32(lanes, clamp01(load_f32(in + i, 0)), 1);
        split_reference(lanes, mantissas, scales, kLanes);
        store_f32(out + i,
                  clamp01(mul(pow_5_12_mantissa_poly(load_f32(mantissas, 1)), load_f32(scales, 1))), 0);
    }
}
#endif

#else  // once

#include <cmath>
#include <cstdint>

namespace {
constexpr int kBlock = 4096;  // floats per batch, a multiple of every lane count
void split_reference(const float* clamped, float* mantissas, float* scales, int n);
}  // namespace

// The path from foreach_target.hpp's folder.
#define ZV_TARGET_INCLUDE "../../tests/native/cube_root_check.cpp"
#include "foreach_target.hpp"

namespace {

uint32_t bits(float x) {
    uint32_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}
float from(uint32_t b) {
    float x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}

// A positive finite float as integer * 2^exponent.
void decompose(float x, uint64_t& mantissa, int& exponent) {
    const uint32_t b = bits(x);
    const int field = static_cast<int>(b >> 23);
    mantissa = b & 0x7FFFFFu;
    if (field == 0) {
        exponent = -149;
    } else {
        mantissa |= 0x800000u;
        exponent = field - 150;
    }
}

int bit_length(unsigned __int128 v) {
    const uint64_t high = static_cast<uint64_t>(v >> 64), low = static_cast<uint64_t>(v);
    if (high) return 128 - __builtin_clzll(high);
    return low ? 64 - __builtin_clzll(low) : 0;
}

// Sign of a 2^a - b 2^b, for nonzero a and b below 2^100.
int compare_scaled(unsigned __int128 a, int ea, unsigned __int128 b, int eb) {
    const int la = bit_length(a) + ea, lb = bit_length(b) + eb;
    if (la != lb) return la < lb ? -1 : 1;
    if (ea > eb) a <<= (ea - eb);  // the same bit length: the shift keeps a below 2^127
    else b <<= (eb - ea);
    return a < b ? -1 : (a > b ? 1 : 0);
}

// Sign of x - m^3 for the midpoint m = odd 2^e (odd < 2^26).
int compare_cube(float x, uint64_t odd, int e) {
    uint64_t xm;
    int xe;
    decompose(x, xm, xe);
    const unsigned __int128 cube = static_cast<unsigned __int128>(odd) * odd * odd;
    return compare_scaled(xm, xe, cube, 3 * e);
}

// Is y the correctly rounded cube root of the positive finite float x?
// The cubes of the midpoints below and above y must enclose x strictly
// (x never equals the cube of a midpoint).
bool correctly_rounded(float x, float y) {
    if (!(y > 0.0f) || !(y < INFINITY) || bits(y) < 0x00800000u) return false;  // roots of floats are normal
    uint64_t ym;
    int ye;
    decompose(y, ym, ye);                         // ym in [2^23, 2^24)
    const uint64_t above = 2 * ym + 1;            // (y + y's spacing above / 2) = above 2^(ye - 1)
    const bool power_of_two = ym == 0x800000u;    // the spacing below is half the spacing above
    const uint64_t below = power_of_two ? 4 * ym - 1 : 2 * ym - 1;
    const int below_e = power_of_two ? ye - 2 : ye - 1;
    return compare_cube(x, above, ye - 1) < 0 && compare_cube(x, below, below_e) > 0;
}

// ---- the per-lane split of the 5/12 power, as the lanes computed it before ----

float frexp_nonnegative(float value, int* exponent) {
    if (value == 0.0f || !(value < INFINITY)) {
        *exponent = 0;
        return value == 0.0f ? value : std::frexp(value, exponent);
    }
    int bias = 126;
    if (value < 1.17549435e-38f) {
        value *= 33554432.0f;
        bias += 25;
    }
    uint32_t b = bits(value);
    *exponent = static_cast<int>((b >> 23) & 0xFF) - bias;
    b = (b & 0x807FFFFFu) | (126u << 23);
    return from(b);
}

float pow_5_12_scale(int remainder, int quotient) {
    const int shift = 5 * quotient;
    if (shift < -126) return std::ldexp(zv_scalar::scale_table[remainder], shift);
    return zv_scalar::scale_table[remainder] * from(static_cast<uint32_t>(127 + shift) << 23);
}

void split_reference(const float* clamped, float* mantissas, float* scales, int n) {
    for (int i = 0; i < n; ++i) {
        int exponent = 0;
        mantissas[i] = frexp_nonnegative(clamped[i], &exponent);
        int quotient = exponent / 12;
        int remainder = exponent - 12 * quotient;
        if (remainder < 0) {
            remainder += 12;
            quotient -= 1;
        }
        scales[i] = clamped[i] > 0.0f ? pow_5_12_scale(remainder, quotient) : 0.0f;
    }
}

}  // namespace

namespace {

struct LaneForm {
    const char* name;
    bool available;
    void (*cbrt)(const float*, float*);
    void (*normal)(const float*, float*);
    void (*normal_exact)(const float*, float*);
    void (*pow)(const float*, float*);
    void (*pow_reference)(const float*, float*);
};

std::vector<LaneForm> lane_forms() {
    std::vector<LaneForm> forms;
#if defined(ZV_X86_64)
    __builtin_cpu_init();
    const bool avx_fma = __builtin_cpu_supports("avx") && __builtin_cpu_supports("fma");
    forms.push_back({"sse42", __builtin_cpu_supports("sse4.2") && avx_fma, zv_sse::cbrt_block, zv_sse::normal_block, zv_sse::normal_exact_block, zv_sse::pow_block,
                     zv_sse::pow_block_reference});
    forms.push_back({"avx2", __builtin_cpu_supports("avx2") && avx_fma, zv_avx::cbrt_block, zv_avx::normal_block, zv_avx::normal_exact_block, zv_avx::pow_block,
                     zv_avx::pow_block_reference});
    forms.push_back({"avx512",
                     __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                         __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") && avx_fma,
                     zv_avx512::cbrt_block, zv_avx512::normal_block, zv_avx512::normal_exact_block, zv_avx512::pow_block, zv_avx512::pow_block_reference});
#elif defined(ZV_AARCH64)
    forms.push_back({"neon", true, zv_neon::cbrt_block, zv_neon::normal_block, zv_neon::normal_exact_block, zv_neon::pow_block, zv_neon::pow_block_reference});
#endif
    return forms;
}

struct Failures {
    int64_t count = 0;
    void add(const char* what, float x, float got, float want) {
        if (++count <= 10)
            std::printf("FAIL %s: x = %a (0x%08" PRIx32 "): got %a (0x%08" PRIx32 "), expected %a\n", what, x,
                        bits(x), got, bits(got), want);
    }
};

bool same_bits(float a, float b) { return bits(a) == bits(b) || (a != a && b != b); }

// Every stride-th bit pattern in [first, last], in blocks; f(block, n) per block
// (the block padded to kBlock with its last value).
template <class F>
void sweep(uint32_t first, uint32_t last, uint32_t stride, F&& f) {
    std::vector<float> block(kBlock);
    uint64_t b = first;
    while (b <= last) {
        int n = 0;
        for (; n < kBlock && b <= last; ++n, b += stride) block[n] = from(static_cast<uint32_t>(b));
        for (int i = n; i < kBlock; ++i) block[i] = block[n - 1];
        f(block.data(), n);
    }
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t stride = 1;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--stride" && i + 1 < argc) {
            stride = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            std::fprintf(stderr, "usage: %s [--stride N]\n", argv[0]);
            return 2;
        }
    }
    if (stride == 0) stride = 1;
    const std::vector<LaneForm> forms = lane_forms();
    std::printf("cube_root_check: every %u-th float; lane forms:", stride);
    for (const LaneForm& form : forms) std::printf(" %s%s", form.name, form.available ? "" : " (not on this processor)");
    std::printf("\n");
    Failures failures;
    std::vector<float> roots(kBlock), lanes(kBlock), reference(kBlock);

    // The test of correct rounding itself: it accepts the root and refuses both neighbours.
    for (float x : {8.0f, 2.0f, 0.5f, 1e-40f, 3e38f, 0.0088565f, 1.0f, 0.999999f, 7.99999f}) {
        const float y = zv_scalar::cbrt_l(x);
        if (!correctly_rounded(x, y) || correctly_rounded(x, std::nextafter(y, INFINITY)) ||
            correctly_rounded(x, std::nextafter(y, 0.0f)))
            failures.add("the rounding test itself", x, y, 0);
    }

    // 1. Every positive finite float: the scalar root correctly rounded, every lane form equal.
    int64_t checked = 0;
    sweep(1u, 0x7F7FFFFFu, stride, [&](const float* x, int n) {
        for (int i = 0; i < n; ++i) {
            roots[i] = zv_scalar::cbrt_l(x[i]);
            if (!correctly_rounded(x[i], roots[i])) failures.add("scalar root not correctly rounded", x[i], roots[i], 0);
        }
        for (int i = n; i < kBlock; ++i) roots[i] = zv_scalar::cbrt_l(x[i]);
        for (const LaneForm& form : forms) {
            if (!form.available) continue;
            form.cbrt(x, lanes.data());
            for (int i = 0; i < kBlock; ++i)
                if (bits(lanes[i]) != bits(roots[i])) failures.add(form.name, x[i], lanes[i], roots[i]);
            form.normal(x, lanes.data());  // the core, on the normal floats
            for (int i = 0; i < kBlock; ++i)
                if (bits(x[i]) >= 0x00800000u && bits(lanes[i]) != bits(roots[i]))
                    failures.add(form.name, x[i], lanes[i], roots[i]);
            form.normal_exact(x, lanes.data());  // and its double lanes alone
            for (int i = 0; i < kBlock; ++i)
                if (bits(x[i]) >= 0x00800000u && bits(lanes[i]) != bits(roots[i]))
                    failures.add(form.name, x[i], lanes[i], roots[i]);
        }
        checked += n;
    });
    std::printf("cube root: %" PRId64 " positive floats, scalar correctly rounded and lane forms equal: %s\n",
                checked, failures.count ? "NO" : "yes");

    // Signs and special values, in every form.
    const float specials[] = {0.0f, -0.0f, INFINITY, -INFINITY, NAN, -NAN, from(0x7F800001u), from(0x00000001u),
                              from(0x807FFFFFu), -8.0f, -27.0f, -1e-30f, -3.4e38f, 8.0f, 0.125f, 1.0f};
    const int64_t before = failures.count;
    for (float x : specials) {
        float want;
        if (x != x) want = NAN;
        else if (x == 0.0f || !(std::fabs(x) < INFINITY)) want = x;
        else want = x < 0 ? -zv_scalar::cbrt_l(-x) : zv_scalar::cbrt_l(x);
        const float got = zv_scalar::cbrt_l(x);
        if (!same_bits(got, want)) failures.add("scalar special", x, got, want);
        std::vector<float> in(kBlock, x);
        for (const LaneForm& form : forms) {
            if (!form.available) continue;
            form.cbrt(in.data(), lanes.data());
            if (!same_bits(lanes[0], want)) failures.add(form.name, x, lanes[0], want);
        }
    }
    sweep(0x80000001u, 0xFF7FFFFFu, stride * 997u, [&](const float* x, int n) {
        for (const LaneForm& form : forms) {
            if (!form.available) continue;
            form.cbrt(x, lanes.data());
            for (int i = 0; i < n; ++i) {
                const float want = -zv_scalar::cbrt_l(-x[i]);
                if (bits(zv_scalar::cbrt_l(x[i])) != bits(want)) failures.add("scalar negative", x[i], 0, want);
                if (bits(lanes[i]) != bits(want)) failures.add(form.name, x[i], lanes[i], want);
            }
        }
    });
    std::printf("cube root: signs, zeros, infinities, NaN: %s\n", failures.count == before ? "ok" : "FAILED");

    // For information: the C library's cbrtf over the Lab conversion's range.
    int64_t library_differs = 0, in_range = 0;
    sweep(bits(zv_scalar::kLabEpsilon) + 1, bits(4.0f), stride, [&](const float* x, int n) {
        for (int i = 0; i < n; ++i) library_differs += bits(std::cbrt(x[i])) != bits(zv_scalar::cbrt_l(x[i]));
        in_range += n;
    });
    std::printf("information: the C library's cbrtf differs from the correctly rounded root for %" PRId64
                " of %" PRId64 " floats in (%.9g, 4]\n",
                library_differs, in_range, static_cast<double>(zv_scalar::kLabEpsilon));

    // 2. The 5/12 power: every float in [0, 1], then a sample of everything else.
    const int64_t before_pow = failures.count;
    int64_t powers = 0;
    auto check_pow = [&](const float* x, int n) {
        for (const LaneForm& form : forms) {
            if (!form.available) continue;
            form.pow(x, lanes.data());
            form.pow_reference(x, reference.data());
            for (int i = 0; i < n; ++i)
                if (!same_bits(lanes[i], reference[i])) failures.add(form.name, x[i], lanes[i], reference[i]);
        }
        powers += n;
    };
    sweep(0u, bits(1.0f), stride, check_pow);
    sweep(bits(1.0f) + 1, 0xFFFFFFFFu, stride * 101u, check_pow);
    std::printf("5/12 power: %" PRId64 " inputs, lane forms equal to the per-lane split: %s\n", powers,
                failures.count == before_pow ? "yes" : "NO");

    if (failures.count) {
        std::printf("cube_root_check: %" PRId64 " failures\n", failures.count);
        return 1;
    }
    std::printf("cube_root_check: all passed\n");
    return 0;
}

#endif
