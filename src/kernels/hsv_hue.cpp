// hsv_hue: the foreground's hue at the background's saturation and value. A
// foreground of zero saturation has no hue to give and keeps the background's
// (a NaN saturation counts as non-zero, except in the 8-lane form).
#include "blend_common.hpp"

ZV_TRIPLET_FORMULA(hsv_hue,
    V bg_h, bg_s, bg_v, fg_h, fg_s, fg_v;
    rgb_to_hsv(bg_r, bg_g, bg_b, bg_h, bg_s, bg_v);
    rgb_to_hsv(fg_r, fg_g, fg_b, fg_h, fg_s, fg_v);
    hsv_to_rgb(select(neq(fg_s, splat(0.0f)), fg_h, bg_h), bg_s, bg_v, r, g, b);)
ZV_TRIPLET_ENTRY(hsv_hue)
