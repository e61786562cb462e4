// The cube root of a float, correctly rounded (to nearest, ties to even), in
// every namespace: cbrt_l. Zarvel's own, so that the Lab conversion gives the
// same bits with every C library (library cbrtf implementations differ in
// the last bit, some of them for one input in ten).
//
// cbrt_l returns what a correctly rounded cbrtf returns for every float: ±0,
// ±infinity and NaN as they are, negative values the negated root of their
// magnitude, subnormals their (normal) root. cbrt_normal is its core, for
// positive normal finite values (what the Lab conversion's lanes take). The
// lane forms compute all their lanes with no library call.
//
//  1. An estimate r0 of x^(-1/3) from the bits of x (the exponent divided
//     by three by the float conversion of the bits; within 3.5 %), corrected
//     by a series in float: relative error below 2^-21; the root x r^2.
//  2. In double lanes: one Newton step on the root, with the slope taken
//     from r (no division): relative error about 2^-39.
//  3. That value rounded to 25 significant bits (Veltkamp's split). The
//     25-bit grid holds the floats and the midpoints between them, and the
//     estimate is closer to the true root than a quarter of a float's spacing,
//     so: if it rounded onto a float, that float is the correctly rounded
//     root; if it rounded onto a midpoint m, the root lies within half a
//     spacing of m on one side, and x > m^3 says which, decided exactly in
//     doubles (cube_exact_d). (x never equals m^3: the cube of a midpoint
//     needs more bits than a float has.)
//  4. The grid point moved by 2^-30 of itself toward the side found (a float
//     does not move off itself) and rounded to float.
//
// Steps 3 and 4 are only needed where the estimate of step 2 lies near a
// midpoint: the scalar form branches to them only then; the lane forms do
// step 2 in floats first (cbrt_normal below) and take steps 2 to 4 in double
// lanes only for a block with a lane near a midpoint (cbrt_normal_exact).
// Every way gives the correctly rounded root, so every form gives the same
// bits. The check tests/native/cube_root_check.cpp compares every positive
// float's scalar root with an exact integer test of its rounding, and every
// lane form (both ways) with the scalar form.
#pragma once

#include "lanes.hpp"

ZV_STAMP_ALL(
    // About a third of a non-negative integer: exactly in zv_scalar, through
    // float (within a few units) in the lanes, which have no integer division.
    ZV_INLINE VI third_i(VI a) {
        if constexpr (kLanes == 1) return a / 3;
        else return trunc_i(mul(to_float(a), splat(1.0f / 3.0f)));
    }

    // Estimates, whose rounding does not matter, use the fused multiply-add
    // where the target has it; zv_scalar, which also runs on processors
    // without FMA (where std::fma is a library call), rounds twice instead.
    ZV_INLINE V mul_add_estimate(V a, V b, V c) {
        if constexpr (kLanes == 1) return add(mul(a, b), c);
        else return mul_add(a, b, c);
    }
    ZV_INLINE VD mul_sub_estimate_d(VD a, VD b, VD c) {  // a b - c
        if constexpr (kLanes == 1) return sub_d(mul_d(a, b), c);
        else return fmsub_d(a, b, c);
    }
    ZV_INLINE VD neg_mul_add_estimate_d(VD a, VD b, VD c) {  // c - a b
        if constexpr (kLanes == 1) return sub_d(c, mul_d(a, b));
        else return fnmadd_d(a, b, c);
    }

    // m^3 = high + low exactly, for m of at most 25 significant bits: m^2 is
    // exact (50 bits); with a fused multiply-add, high = m^2 m rounded and low
    // its remainder; without, m^2 split into two halves of 25 bits (Veltkamp)
    // whose products with m are exact.
    ZV_INLINE void cube_exact_d(VD m, VD& high, VD& low) {
        const VD square = mul_d(m, m);
        if constexpr (kLanes == 1) {
            const VD spread = mul_d(square, splat_d(268435457.0));  // 2^28 + 1
            const VD upper = sub_d(spread, sub_d(spread, square));
            high = mul_d(upper, m);
            low = mul_d(sub_d(square, upper), m);
        } else {
            high = mul_d(square, m);
            low = fmsub_d(square, m, high);
        }
    }

    // Step 2: the estimate of the root refined by a Newton step, on double
    // lanes; the slope is r^2 / 3 (the inverse of the cube's derivative).
    ZV_INLINE VD refine_d(VD x, VD root, VD slope) {
        const VD excess = mul_sub_estimate_d(mul_d(root, root), root, x);  // root^3 - x
        return neg_mul_add_estimate_d(excess, slope, root);
    }

    // Step 3: rounded to 25 significant bits.
    ZV_INLINE VD grid_d(VD refined) {
        const VD spread = mul_d(refined, splat_d(268435457.0));  // 2^28 + 1
        return sub_d(spread, sub_d(spread, refined));
    }

    // Step 4: x > grid^3 exactly when x - high > low (x - high is exact: high
    // lies within a factor of two of x); the grid point moved toward that side.
    ZV_INLINE VD round_side_d(VD x, VD grid) {
        VD high, low;
        cube_exact_d(grid, high, low);
        const MD above = gt_d(sub_d(x, high), low);
        return mul_d(grid, select_d(above, splat_d(1.0 + 0x1p-30), splat_d(1.0 - 0x1p-30)));
    })

ZV_STAMP_LANES(
    ZV_INLINE VD cbrt_round_d(VD x, VD root, VD slope) { return round_side_d(x, grid_d(refine_d(x, root, slope))); })

namespace zv_scalar {
// One value at a time: the estimate rounds to the right float unless it lies
// within its error bound of a midpoint; only then (rarely) steps 3 and 4. A
// midpoint's double has 1 followed by 28 zeros in the 29 bits below a float's
// precision; "near" is within 2^18 units of those bits (about 2^-34 of the
// value, against an error below 2^-39).
ZV_INLINE VD cbrt_round_d(VD x, VD root, VD slope) {
    const double refined = refine_d(x, root, slope);
    uint64_t bits;
    std::memcpy(&bits, &refined, sizeof bits);
    if ((bits & 0x1FFFFFFFu) - (0x10000000u - 0x40000u) >= 0x80000u) return refined;
    return round_side_d(x, grid_d(refined));
}
}  // namespace zv_scalar

ZV_STAMP_ALL(
    // x^(-1/3) to about 2^-21, for a positive normal finite x.
    ZV_INLINE V inverse_cbrt_estimate(V x) {
        // r0 = 0x54A232A8 - bits / 3, then r = r0 (1 - e)^(-1/3) for
        // x r0^3 = 1 - e (|e| < 0.11), the series to e^5: 1 + e/3 + 2e^2/9
        // + 14e^3/81 + 35e^4/243 + 91e^5/729.
        const V r0 = from_bits(sub_i(splat_i(0x54A232A8), third_i(bits_of(x))));
        const V e = sub(splat(1.0f), mul(mul(x, r0), mul(r0, r0)));
        const V e2 = mul(e, e);
        const V high = mul_add_estimate(e2, mul_add_estimate(e, splat(91.0f / 729.0f), splat(35.0f / 243.0f)),
                                        mul_add_estimate(e, splat(14.0f / 81.0f), splat(2.0f / 9.0f)));
        const V series = mul_add_estimate(e2, high, mul_add_estimate(e, splat(1.0f / 3.0f), splat(1.0f)));
        return mul(r0, series);
    }

    // The root of a positive normal finite x (other lanes give unspecified
    // values, never a trap), through the double lanes in every lane.
    ZV_INLINE V cbrt_normal_exact(V x) {
        const V r = inverse_cbrt_estimate(x);
        const V r2 = mul(r, r);
        const V root = mul(x, r2), slope = mul(r2, splat(1.0f / 3.0f));
        return narrow(cbrt_round_d(widen_lo(x), widen_lo(root), widen_lo(slope)),
                      cbrt_round_d(widen_hi(x), widen_hi(root), widen_hi(slope)));
    })

namespace zv_scalar {
ZV_INLINE V cbrt_normal(V x) { return cbrt_normal_exact(x); }
}  // namespace zv_scalar

// The lane forms first try floats alone: the Newton step's correction kept
// apart from the root (root - correction, the residual root^3 - x evaluated
// with fused multiply-adds to about 2^-43 of x), their sum rounded to float
// with its rounding error known exactly (Fast2Sum). That sum is the correctly
// rounded root unless it lies within about 2^-34 of a midpoint (its rounding
// error near half a spacing) or the rounded sum is a power of two (whose
// spacing below is half); a block with such a lane (a few in a hundred), or
// with a value below 2^-100 (where the residual's terms lose bits as
// subnormals), takes the double lanes instead.
ZV_STAMP_LANES(
    ZV_INLINE V cbrt_normal(V x) {
        const V r = inverse_cbrt_estimate(x);
        const V r2 = mul(r, r);
        const V root = mul(x, r2), slope = mul(r2, splat(1.0f / 3.0f));
        const V square = mul(root, root);
        const V square_rest = fmsub(root, root, square);
        const V excess = mul_add(square_rest, root, fmsub(square, root, x));  // root^3 - x
        const V correction = mul(excess, slope);
        const V sum = sub(root, correction);
        const V rounding = sub(sub(root, sum), correction);  // (root - correction) - sum, exactly
        const V power = from_bits(and_i(bits_of(sum), splat_i(0x7F800000)));
        const V limit = mul(power, splat(0x1p-24f * (1.0f - 0x1p-9f)));  // half a spacing, less 2^-9 of it
        if (any(gt(abs_l(rounding), limit)) || any(eq(sum, power)) || any(lt(x, splat(0x1p-100f))))
            return cbrt_normal_exact(x);
        return sum;
    })

// Every float: the sign, subnormals (scaled by 2^24, the root then by 2^-8,
// both exact), zeros, infinities and NaN (x + x: x itself, a signalling NaN
// quietened, as cbrtf returns them). The scalar form branches, the lane forms
// select.
namespace zv_scalar {
ZV_INLINE V cbrt_l(V x) {
    if (x >= 0x1p-126f && x < INFINITY) return cbrt_normal(x);  // the usual case first
    const float magnitude = std::fabs(x);
    if (!(magnitude > 0.0f && magnitude < INFINITY)) return x + x;
    const float root =
        magnitude < 0x1p-126f ? cbrt_normal(magnitude * 0x1p24f) * 0x1p-8f : cbrt_normal(magnitude);
    return std::copysign(root, x);
}
}  // namespace zv_scalar

ZV_STAMP_LANES(
    ZV_INLINE V cbrt_l(V x) {
        const V magnitude = abs_l(x);
        const M subnormal = lt(magnitude, splat(0x1p-126f));
        V root = cbrt_normal(select(subnormal, mul(magnitude, splat(0x1p24f)), magnitude));
        root = select(subnormal, mul(root, splat(0x1p-8f)), root);
        const V signed_root = from_bits(or_i(bits_of(root), and_i(bits_of(x), splat_i(INT32_MIN))));
        return select(mand(gt(magnitude, splat(0.0f)), lt(magnitude, splat(INFINITY))), signed_root, add(x, x));
    })
