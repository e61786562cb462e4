// hsv_hue: the foreground's hue at the background's saturation and value. A
// foreground of zero saturation has no hue to give and keeps the background's
// (a NaN saturation counts as non-zero, except in the 8- and 16-lane forms).
#include "colour.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "colour_stages.inc"
#include "hsv.inc"

ZV_COLOUR_FORMULA(hsv_hue) {
    V bg_h, bg_s, bg_v, fg_h, fg_s, fg_v;
    rgb_to_hsv(bg_r, bg_g, bg_b, bg_h, bg_s, bg_v);
    rgb_to_hsv(fg_r, fg_g, fg_b, fg_h, fg_s, fg_v);
    hsv_to_rgb(select(neq(fg_s, splat(0.0f)), fg_h, bg_h), bg_s, bg_v, r, g, b);
}

#else  // once

#define ZV_TARGET_INCLUDE "hsv_hue.cpp"
#include "foreach_target.hpp"

ZV_COLOUR_MODE(hsv_hue)

#endif
