// hsv_value: the foreground's value (largest channel) at the background's hue
// and saturation.
#include "colour.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "colour_stages.inc"
#include "hsv.inc"

ZV_COLOUR_FORMULA(hsv_value) {
    V bg_h, bg_s, bg_v, fg_h, fg_s, fg_v;
    rgb_to_hsv(bg_r, bg_g, bg_b, bg_h, bg_s, bg_v);
    rgb_to_hsv(fg_r, fg_g, fg_b, fg_h, fg_s, fg_v);
    hsv_to_rgb(bg_h, bg_s, fg_v, r, g, b);
}

#else  // once

#define ZV_TARGET_INCLUDE "hsv_value.cpp"
#include "foreach_target.hpp"

ZV_COLOUR_MODE(hsv_value)

#endif
