// hsl_color: the foreground's hue and HSL saturation at the background's
// lightness. A grey foreground brings saturation 0 with its hue, so it needs
// no special case.
#include "colour.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "colour_stages.inc"
#include "hsv.inc"

ZV_COLOUR_FORMULA(hsl_color) {
    V bg_h, bg_s, bg_l, fg_h, fg_s, fg_l;
    rgb_to_hsl(bg_r, bg_g, bg_b, bg_h, bg_s, bg_l);
    rgb_to_hsl(fg_r, fg_g, fg_b, fg_h, fg_s, fg_l);
    hsl_to_rgb(fg_h, fg_s, bg_l, r, g, b);
}

#else  // once

#define ZV_TARGET_INCLUDE "hsl_color.cpp"
#include "foreach_target.hpp"

ZV_COLOUR_MODE(hsl_color)

#endif
