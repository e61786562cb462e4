// The cube root of a float, correctly rounded (to nearest, ties to even), in
// every namespace: cbrt_l. Zarvel's own, so that the Lab conversion gives the
// same bits with every C library (library cbrtf implementations differ in
// the last bit, some of them for one input in ten).
//
// It returns what a correctly rounded cbrtf returns for every float: ±0,
// ±infinity and NaN as they are, negative values the negated root of their
// magnitude, subnormals their (normal) root. The one algorithm serves every
// form; a form computes all its lanes with no branch and no library call.
//
//  1. An estimate of x^(-1/3) from the bits of x (the exponent divided by
//     three by the float conversion of the bits), then two Newton steps in
//     float: relative error below 2^-16. Subnormal inputs are scaled by 2^24
//     first (the root then by 2^-8, both exact).
//  2. In double lanes: the root x r^2 and one Newton step with the slope
//     taken from r (no division): relative error below 2^-29.
//  3. That value rounded to 25 significant bits (Veltkamp's split). The
//     25-bit grid holds the floats and the midpoints between them, and the
//     estimate is closer to the true root than a quarter of a float's spacing,
//     so: if it rounded onto a float, that float is the correctly rounded
//     root; if it rounded onto a midpoint m, the root lies within half a
//     spacing of m on one side, and x > m^3 says which. m has 25 bits, so m^2
//     is exact in a double, m^3 = p + e exactly with p = m^2 m rounded and e
//     its fused remainder, and x - p is exact (p lies within a factor of two of
//     x): x > m^3 exactly when x - p > e. (x never equals m^3: the cube of
//     a midpoint needs more bits than a float has.)
//  4. The grid point moved by 2^-30 of itself toward the side found (a float
//     does not move off itself) and rounded to float.
//
// The exhaustive check (tests/native/cube_root_check.cpp) compares every
// positive float's root with an exact integer test of its rounding, and every
// lane form with the scalar form.
#pragma once

#include "lanes.hpp"

ZV_STAMP_ALL(
    // Steps 2 to 4 on double lanes: x (normal) and the estimate r of x^(-1/3).
    ZV_INLINE VD cbrt_round_d(VD x, VD r) {
        const VD r2 = mul_d(r, r);
        const VD root = mul_d(x, r2);
        const VD excess = fmsub_d(mul_d(root, root), root, x);  // root^3 - x
        const VD refined = sub_d(root, mul_d(excess, mul_d(r2, splat_d(1.0 / 3.0))));
        const VD spread = mul_d(refined, splat_d(268435457.0));  // 2^28 + 1
        const VD grid = sub_d(spread, sub_d(spread, refined));   // 25 significant bits
        const VD square = mul_d(grid, grid);
        const VD cube = mul_d(square, grid);
        const VD cube_rest = fmsub_d(square, grid, cube);
        const MD above = gt_d(sub_d(x, cube), cube_rest);
        return mul_d(grid, select_d(above, splat_d(1.0 + 0x1p-30), splat_d(1.0 - 0x1p-30)));
    }

    ZV_INLINE V cbrt_l(V x) {
        const V magnitude = abs_l(x);
        const M subnormal = lt(magnitude, splat(0x1p-126f));
        const V normal = select(subnormal, mul(magnitude, splat(0x1p24f)), magnitude);
        // x^(-1/3) from the bits: 0x54A232A8 - bits / 3.
        const V third = mul(to_float(bits_of(normal)), splat(1.0f / 3.0f));
        V r = from_bits(sub_i(splat_i(0x54A232A8), trunc_i(third)));
        for (int step = 0; step < 2; ++step) {  // r += r (1 - x r^3) / 3
            const V cube = mul(mul(mul(normal, r), r), r);
            r = mul_add(mul(r, splat(1.0f / 3.0f)), sub(splat(1.0f), cube), r);
        }
        V root = narrow(cbrt_round_d(widen_lo(normal), widen_lo(r)), cbrt_round_d(widen_hi(normal), widen_hi(r)));
        root = select(subnormal, mul(root, splat(0x1p-8f)), root);
        const V signed_root = from_bits(or_i(bits_of(root), and_i(bits_of(x), splat_i(INT32_MIN))));
        // Zeros, infinities and NaN: x itself (x + x quiets a signalling NaN, as cbrtf does).
        return select(mand(gt(magnitude, splat(0.0f)), lt(magnitude, splat(INFINITY))), signed_root, add(x, x));
    })
