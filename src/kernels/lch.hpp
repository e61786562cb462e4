// The LCH modes: L*, chroma and hue taken from one image or the other, in the
// polar form of L*a*b*. Hue and chroma are moved by scaling the a*b* vector,
// so no angle (and no trigonometry) is involved. The chroma tests are strict
// comparisons with 0: greys with a residual a*b* of rounding size count as
// coloured.
//
// The routine is written once; the forms differ only in the words underneath
// (the sRGB curves, the matrix summation order, and the chroma: hypotf in the
// scalar form, a fused sum of squares and a square root in the lane form).
#pragma once

#include "colour_lab.hpp"

ZV_STAMP_ALL(
    // The flags are constants of the mode, so each test folds away.
    ZV_INLINE void lch_blend(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, int use_l, int use_c, int use_h,
                             V& r, V& g, V& b) {
        const V zero = splat(0.0f);
        V bg_l, bg_a, bg_lab_b, fg_l, fg_a, fg_lab_b;
        rgb_to_lab(bg_r, bg_g, bg_b, bg_l, bg_a, bg_lab_b);
        rgb_to_lab(fg_r, fg_g, fg_b, fg_l, fg_a, fg_lab_b);
        const V out_l = use_l ? fg_l : bg_l;
        V out_a = bg_a, out_lab_b = bg_lab_b;
        if (use_c && use_h) {
            out_a = fg_a;
            out_lab_b = fg_lab_b;
        } else if (use_c) {
            // The background's direction at the foreground's chroma; a
            // background without direction gets the chroma along +a*.
            const V bg_chroma = chroma_of(bg_a, bg_lab_b), fg_chroma = chroma_of(fg_a, fg_lab_b);
            const V ratio = div(fg_chroma, bg_chroma);
            const M has_hue = gt(bg_chroma, zero);
            out_a = select(has_hue, mul(bg_a, ratio), fg_chroma);
            out_lab_b = select(has_hue, mul(bg_lab_b, ratio), zero);
        } else if (use_h) {
            // The foreground's direction at the background's chroma; a
            // foreground without direction leaves the background alone.
            const V bg_chroma = chroma_of(bg_a, bg_lab_b), fg_chroma = chroma_of(fg_a, fg_lab_b);
            const V ratio = div(bg_chroma, fg_chroma);
            const M has_hue = gt(fg_chroma, zero);
            out_a = select(has_hue, mul(fg_a, ratio), bg_a);
            out_lab_b = select(has_hue, mul(fg_lab_b, ratio), bg_lab_b);
        }
        lab_to_rgb(out_l, out_a, out_lab_b, r, g, b);
    })

ZV_INLINE rgb_triplet lch_blend_triplet(rgb_triplet bg, rgb_triplet fg, int use_l, int use_c, int use_h) {
    rgb_triplet out;
    zv_scalar::lch_blend(bg.r, bg.g, bg.b, fg.r, fg.g, fg.b, use_l, use_c, use_h, out.r, out.g, out.b);
    return out;
}

// One LCH mode: its scalar and lane forms with the mode's constant flags, and
// its entry.
#define ZV_LCH_MODE(mode, use_l, use_c, use_h)                                                                 \
    rgb_triplet mode##_comp(rgb_triplet bg, rgb_triplet fg) { return lch_blend_triplet(bg, fg, use_l, use_c, use_h); } \
    ZV_STAMP_LANES(ZV_INLINE void mode##_lanes(V bg_r, V bg_g, V bg_b, V fg_r, V fg_g, V fg_b, V& r, V& g, V& b) { \
        lch_blend(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, use_l, use_c, use_h, r, g, b);                            \
    })                                                                                                         \
    ZV_TRIPLET_LANES(mode, mode##_lanes)                                                                       \
    ZV_TRIPLET_ENTRY(mode)
