// hsv_saturation: the foreground's saturation at the background's hue and
// value. A grey background has hue 0, so a saturated foreground turns it red.
#include "colour.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "colour_stages.inc"
#include "hsv.inc"

ZV_COLOUR_FORMULA(hsv_saturation) {
    V bg_h, bg_s, bg_v, fg_h, fg_s, fg_v;
    rgb_to_hsv(bg_r, bg_g, bg_b, bg_h, bg_s, bg_v);
    rgb_to_hsv(fg_r, fg_g, fg_b, fg_h, fg_s, fg_v);
    hsv_to_rgb(bg_h, fg_s, bg_v, r, g, b);
}

#else  // once

#define ZV_TARGET_INCLUDE "hsv_saturation.cpp"
#include "foreach_target.hpp"

ZV_COLOUR_MODE(hsv_saturation)

#endif
