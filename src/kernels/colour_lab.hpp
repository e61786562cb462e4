// sRGB (unit scale) <-> linear RGB <-> CIE XYZ (D65) <-> CIE L*a*b*.
//
// Two forms share the constants and the Lab arithmetic. The scalar form uses
// powf for the sRGB curves; the lane form replaces both powers by polynomials
// (within 2e-5 of the exact powers), with the exponent split of the encode
// done in the lanes, so that a block needs no library call at all. Both forms
// take Zarvel's own correctly rounded cube root (cube_root.hpp). The lane
// decode clamps its power input and result to [0, 1], and the two forms sum
// the matrix rows in different orders (last-bit differences).
#pragma once

#include "colour_hsv.hpp"
#include "cube_root.hpp"

constexpr float kSrgbDecodeThreshold = 0.04045f;
constexpr float kSrgbEncodeThreshold = 0.0031308f;
constexpr float kSrgbSlope = 12.92f;
constexpr float kSrgbOffset = 0.055f;
constexpr float kSrgbScale = 1.055f;
constexpr float kLabEpsilon = 0.008856452f;  // 216 / 24389
constexpr float kLabKappa = 903.2963f;       // 24389 / 27
constexpr float kWhiteX = 0.95047f;
constexpr float kWhiteZ = 1.08883f;

// 2^(5r/12), r = 0..11: the fractional part of the 5/12 power of 2^exponent
// (padded to 16 entries for the lane lookup; the last four are never picked).
alignas(64) static const float scale_table[16] = {1.0f,        1.33483982f, 1.78179741f, 2.37841415f,
                                                  3.17480206f, 4.23785257f, 5.65685415f, 7.5509944f,
                                                  10.0793686f, 13.4543428f, 17.9593925f, 23.9729137f,
                                                  0.0f,        0.0f,        0.0f,        0.0f};

namespace zv_scalar {

ZV_INLINE V srgb_to_linear(V value) {
    if (value <= kSrgbDecodeThreshold) return value / kSrgbSlope;
    return std::pow((value + kSrgbOffset) / kSrgbScale, 2.4f);
}

ZV_INLINE V linear_to_srgb(V value) {
    const float clamped = clamp01(value);
    if (clamped <= kSrgbEncodeThreshold) return kSrgbSlope * clamped;
    return std::fma(std::pow(clamped, 0.41666666f), kSrgbScale, -kSrgbOffset);
}

// c0 v0 + c1 v1 + c2 v2 summed middle term first, then the first, then the last.
ZV_INLINE V row3(float c0, float c1, float c2, V v0, V v1, V v2) {
    return std::fma(c2, v2, std::fma(c0, v0, c1 * v1));
}

ZV_INLINE V chroma_of(V a, V b) { return std::hypot(a, b); }

ZV_INLINE V cbrt_above(V value, float threshold) { return value > threshold ? cbrt_l(value) : 0.0f; }

}  // namespace zv_scalar

ZV_STAMP_LANES(
    // value^2.4 on [0, 1].
    ZV_INLINE V pow_2_4_approx(V value) {
        const V x = clamp01(value);
        V result = splat(0.197935566f);
        result = mul_add(result, x, splat(-0.826184988f));
        result = mul_add(result, x, splat(1.47074819f));
        result = mul_add(result, x, splat(-1.53195202f));
        result = mul_add(result, x, splat(1.36161482f));
        result = mul_add(result, x, splat(0.334159791f));
        result = mul_add(result, x, splat(-0.00636270363f));
        result = mul_add(result, x, splat(5.88486291e-05f));
        return clamp01(result);
    }

    // mantissa^(5/12) on [0.5, 1).
    ZV_INLINE V pow_5_12_mantissa_poly(V mantissa) {
        V result = splat(-0.126586646f);
        result = mul_add(result, mantissa, splat(0.522863865f));
        result = mul_add(result, mantissa, splat(-0.940634012f));
        result = mul_add(result, mantissa, splat(1.23491907f));
        result = mul_add(result, mantissa, splat(0.309424162f));
        return result;
    }

    // value^(5/12) on [0, 1] (NaN counts as 0): value = mantissa 2^exponent
    // with the mantissa in [0.5, 1) (frexpf), exponent = 12 quotient +
    // remainder with the remainder in 0..11; the power of 2^exponent is the
    // table's entry for the remainder times 2^(5 quotient), an exact power of
    // two (5 quotient lies in -65..0). All of it in the lanes: the exponent
    // from the bits (subnormals scaled by 2^25 first), the quotient as
    // floor((exponent + 1/2) / 12) (exact for these small integers), 2^(5
    // quotient) built from its bits, the entry by a lookup.
    ZV_INLINE V pow_1_over_2_4_approx(V value) {
        const V x = clamp01(value);
        const M subnormal = lt(x, splat(0x1p-126f));
        const VI bits = bits_of(select(subnormal, mul(x, splat(0x1p25f)), x));
        const V biased = mul(to_float(and_i(bits, splat_i(0x7F800000))), splat(0x1p-23f));
        const V exponent = sub(biased, select(subnormal, splat(126.0f + 25.0f), splat(126.0f)));
        const V mantissa = from_bits(or_i(and_i(bits, splat_i(0x007FFFFF)), splat_i(126 << 23)));
        const V quotient = floor_l(mul(add(exponent, splat(0.5f)), splat(1.0f / 12.0f)));
        const VI remainder = trunc_i(sub(exponent, mul(quotient, splat(12.0f))));
        const V power = from_bits(trunc_i(mul(mul_add(quotient, splat(5.0f), splat(127.0f)), splat(0x1p23f))));
        const V scale = select(gt(x, splat(0.0f)), mul(lookup16(scale_table, remainder), power), splat(0.0f));
        return clamp01(mul(pow_5_12_mantissa_poly(mantissa), scale));
    }

    ZV_INLINE V srgb_to_linear(V value) {
        const V linear = div(value, splat(kSrgbSlope));
        const V pow_input = div(add(value, splat(kSrgbOffset)), splat(kSrgbScale));
        return select(gt(value, splat(kSrgbDecodeThreshold)), pow_2_4_approx(pow_input), linear);
    }

    ZV_INLINE V linear_to_srgb(V value) {
        const V clamped = clamp01(value);
        const V linear = mul(clamped, splat(kSrgbSlope));
        const V pow_part = pow_1_over_2_4_approx(clamped);
        const V curve = fmsub(pow_part, splat(kSrgbScale), splat(kSrgbOffset));
        return clamp01(select(gt(clamped, splat(kSrgbEncodeThreshold)), curve, linear));
    }

    // c0 v0 + c1 v1 + c2 v2 summed last term first, then the middle, then the first.
    ZV_INLINE V row3(float c0, float c1, float c2, V v0, V v1, V v2) {
        return mul_add(splat(c0), v0, mul_add(splat(c1), v1, mul(splat(c2), v2)));
    }

    ZV_INLINE V chroma_of(V a, V b) { return sqrt_l(mul_add(a, a, mul(b, b))); }

    // The root for every lane; the lanes at or below the threshold are not
    // taken (xyz_to_lab_component selects the linear segment there). Those
    // above it are positive, normal and finite: the decode's clamp keeps the
    // linear RGB values at or below 1 (NaN and negative values take the
    // linear segments, and fail the threshold), so X, Y and Z stay near 1.
    ZV_INLINE V cbrt_above(V value, float) { return cbrt_normal(value); })

// The Lab arithmetic around those words, the same in every namespace.
ZV_STAMP_ALL(
    // The CIE f function and its inverse.
    ZV_INLINE V xyz_to_lab_component(V value) {
        const V linear = div(mul_add(splat(kLabKappa), value, splat(16.0f)), splat(116.0f));
        return select(gt(value, splat(kLabEpsilon)), cbrt_above(value, kLabEpsilon), linear);
    }

    ZV_INLINE V lab_to_xyz_component(V value) {
        const V value_cubed = mul(mul(value, value), value);
        const V linear = div(fmsub(splat(116.0f), value, splat(16.0f)), splat(kLabKappa));
        return select(gt(value_cubed, splat(kLabEpsilon)), value_cubed, linear);
    }

    ZV_INLINE void rgb_to_lab(V r, V g, V b, V& l, V& a, V& lab_b) {
        const V red = srgb_to_linear(r), green = srgb_to_linear(g), blue = srgb_to_linear(b);
        const V x = div(row3(0.4124564f, 0.3575761f, 0.1804375f, red, green, blue), splat(kWhiteX));
        const V y = row3(0.2126729f, 0.7151522f, 0.072175f, red, green, blue);
        const V z = div(row3(0.0193339f, 0.119192f, 0.9503041f, red, green, blue), splat(kWhiteZ));
        const V fx = xyz_to_lab_component(x), fy = xyz_to_lab_component(y), fz = xyz_to_lab_component(z);
        l = fmsub(splat(116.0f), fy, splat(16.0f));
        a = mul(sub(fx, fy), splat(500.0f));
        lab_b = mul(sub(fy, fz), splat(200.0f));
    }

    // Out-of-gamut colours are clipped channel by channel in linear light.
    ZV_INLINE void lab_to_rgb(V l, V a, V lab_b, V& r, V& g, V& b) {
        const V fy = div(add(l, splat(16.0f)), splat(116.0f));
        const V fx = add(div(a, splat(500.0f)), fy);
        const V fz = sub(fy, div(lab_b, splat(200.0f)));
        const V x = mul(lab_to_xyz_component(fx), splat(kWhiteX));
        const V y = lab_to_xyz_component(fy);
        const V z = mul(lab_to_xyz_component(fz), splat(kWhiteZ));
        r = linear_to_srgb(row3(3.2404542f, -1.5371385f, -0.4985314f, x, y, z));
        g = linear_to_srgb(row3(-0.969266f, 1.8760108f, 0.041556f, x, y, z));
        b = linear_to_srgb(row3(0.0556434f, -0.2040259f, 1.0572252f, x, y, z));
    })
