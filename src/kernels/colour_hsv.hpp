// HSV and HSL, in the scalar form (one triplet) and the lane form (4 or 8
// pixels). Hue is a fraction of the circle in [0, 1]: 0 red, 1/6 yellow,
// 1/3 green, 1/2 cyan, 2/3 blue, 5/6 magenta.
//
// RGB <-> HSV is written twice: the scalar form uses the C library (fmaxf,
// fminf, fmodf) and branches, the lane form compares and selects. The two
// agree up to the last bit of a red-sector hue, the rounding of the hue wrap,
// and NaN handling. HSL is built on HSV once for every namespace.
#pragma once

#include "triplet.hpp"

namespace zv_scalar {

// fmaxf/fminf: a NaN channel is ignored.
ZV_INLINE V max3(V a, V b, V c) { return std::fmax(std::fmax(a, b), c); }
ZV_INLINE V min3(V a, V b, V c) { return std::fmin(std::fmin(a, b), c); }

ZV_INLINE void rgb_to_hsv(V r, V g, V b, V& h, V& s, V& v) {
    const float max_channel = max3(r, g, b), min_channel = min3(r, g, b);
    const float chroma = max_channel - min_channel;
    float hue = 0.0f, saturation = 0.0f;
    if (chroma != 0.0f) {
        // Each test overrides the one before: on ties blue wins over green over red.
        if (max_channel == r) hue = std::fmod((g - b) / chroma, 6.0f);
        if (max_channel == g) hue = (b - r) / chroma + 2.0f;
        if (max_channel == b) hue = (r - g) / chroma + 4.0f;
        hue = hue / 6.0f;
        if (hue < 0.0f) hue = hue + 1.0f;
    }
    if (max_channel != 0.0f) saturation = chroma / max_channel;
    h = hue;
    s = saturation;
    v = max_channel;
}

ZV_INLINE void hsv_to_rgb(V h, V s, V v, V& r, V& g, V& b) {
    float hue = std::fmod(h, 1.0f);
    if (hue < 0.0f) hue = hue + 1.0f;
    hue = hue * 6.0f;
    const float saturation = clamp01(s), value = clamp01(v);
    const float chroma = value * saturation;
    const float x_value = chroma * (1.0f - std::fabs(std::fmod(hue, 2.0f) - 1.0f));
    const float match = value - chroma;
    float red, green, blue;
    if (hue < 1.0f) red = chroma, green = x_value, blue = 0.0f;
    else if (hue < 2.0f) red = x_value, green = chroma, blue = 0.0f;
    else if (hue < 3.0f) red = 0.0f, green = chroma, blue = x_value;
    else if (hue < 4.0f) red = 0.0f, green = x_value, blue = chroma;
    else if (hue < 5.0f) red = x_value, green = 0.0f, blue = chroma;
    else red = chroma, green = 0.0f, blue = x_value;
    r = red + match;
    g = green + match;
    b = blue + match;
}

}  // namespace zv_scalar

ZV_STAMP_LANES(
    // A NaN lane gives back the second operand.
    ZV_INLINE V max3(V a, V b, V c) { return max_l(max_l(a, b), c); }
    ZV_INLINE V min3(V a, V b, V c) { return min_l(min_l(a, b), c); }

    // value - 6 floor(value / 6), fused: in [0, 6) for finite values, so the
    // red-sector hue needs no wrap afterwards.
    ZV_INLINE V mod6(V value) {
        const V six = splat(6.0f);
        return fnmadd(six, floor_l(div(value, six)), value);
    }

    ZV_INLINE void rgb_to_hsv(V r, V g, V b, V& h, V& s, V& v) {
        const V zero = splat(0.0f);
        const V max_c = max3(r, g, b), min_c = min3(r, g, b);
        const V chroma = sub(max_c, min_c);
        const M chroma_nonzero = neq(chroma, zero);
        // Computed in every lane; the masks drop the grey ones.
        const V red_hue = mod6(div(sub(g, b), chroma));
        const V green_hue = add(div(sub(b, r), chroma), splat(2.0f));
        const V blue_hue = add(div(sub(r, g), chroma), splat(4.0f));
        V hue = zero;
        hue = select(mand(eq(max_c, r), chroma_nonzero), red_hue, hue);
        hue = select(mand(eq(max_c, g), chroma_nonzero), green_hue, hue);
        hue = select(mand(eq(max_c, b), chroma_nonzero), blue_hue, hue);
        h = div(hue, splat(6.0f));
        s = select(neq(max_c, zero), div(chroma, max_c), zero);
        v = max_c;
    }

    ZV_INLINE void hsv_to_rgb(V h, V s, V v, V& r, V& g, V& b) {
        const V zero = splat(0.0f), one = splat(1.0f), two = splat(2.0f);
        const V hue = mul(sub(h, floor_l(h)), splat(6.0f));
        const V saturation = clamp01(s), value = clamp01(v);
        const V chroma = mul(value, saturation);
        const V hue_mod2 = fnmadd(two, floor_l(mul(hue, splat(0.5f))), hue);
        const V x_value = mul(chroma, sub(one, abs_l(sub(hue_mod2, one))));
        const V match = sub(value, chroma);
        const M below1 = lt(hue, one), below2 = lt(hue, two), below3 = lt(hue, splat(3.0f)),
                below4 = lt(hue, splat(4.0f)), below5 = lt(hue, splat(5.0f));
        const M sextant[6] = {below1,
                              mandnot(below1, below2),
                              mandnot(below2, below3),
                              mandnot(below3, below4),
                              mandnot(below4, below5),
                              ge(hue, splat(5.0f))};
        const V reds[6] = {chroma, x_value, zero, zero, x_value, chroma};
        const V greens[6] = {x_value, chroma, chroma, x_value, zero, zero};
        const V blues[6] = {zero, zero, x_value, chroma, chroma, x_value};
        // A NaN hue is in no sextant and keeps zeros.
        V red = zero, green = zero, blue = zero;
        for (int k = 0; k < 6; ++k) {
            red = select(sextant[k], reds[k], red);
            green = select(sextant[k], greens[k], green);
            blue = select(sextant[k], blues[k], blue);
        }
        r = add(red, match);
        g = add(green, match);
        b = add(blue, match);
    })

// HSL through HSV, the same in every namespace. 2 l - 1 is computed fused;
// doubling is exact, so (l + l) - 1 gives the same bits.
ZV_STAMP_ALL(
    ZV_INLINE void rgb_to_hsl(V r, V g, V b, V& h, V& s, V& l) {
        const V zero = splat(0.0f), one = splat(1.0f);
        const V max_c = max3(r, g, b), min_c = min3(r, g, b);
        const V lightness = mul(add(max_c, min_c), splat(0.5f));
        const V chroma = sub(max_c, min_c);
        V hsv_s, hsv_v;
        rgb_to_hsv(r, g, b, h, hsv_s, hsv_v);
        // No guard beyond chroma: a lightness of exactly 0 or 1 with a
        // non-zero chroma (channels outside 0..1) divides by zero.
        const V denom = sub(one, abs_l(fmsub(splat(2.0f), lightness, one)));
        s = select(neq(chroma, zero), div(chroma, denom), zero);
        l = lightness;
    }

    ZV_INLINE void hsl_to_rgb(V h, V s, V l, V& r, V& g, V& b) {
        const V zero = splat(0.0f), one = splat(1.0f);
        const V saturation = clamp01(s), lightness = clamp01(l);
        const V chroma = mul(sub(one, abs_l(fmsub(splat(2.0f), lightness, one))), saturation);
        const V value = mul_add(chroma, splat(0.5f), lightness);
        const V hsv_s = select(neq(value, zero), div(chroma, value), zero);
        hsv_to_rgb(h, hsv_s, value, r, g, b);
    })
