// hsl_color: the foreground's hue and HSL saturation at the background's
// lightness. A grey foreground brings saturation 0 with its hue, so it needs
// no special case.
#include "blend_common.hpp"

ZV_TRIPLET_FORMULA(hsl_color,
    V bg_h, bg_s, bg_l, fg_h, fg_s, fg_l;
    rgb_to_hsl(bg_r, bg_g, bg_b, bg_h, bg_s, bg_l);
    rgb_to_hsl(fg_r, fg_g, fg_b, fg_h, fg_s, fg_l);
    hsl_to_rgb(fg_h, fg_s, bg_l, r, g, b);)
ZV_TRIPLET_ENTRY(hsl_color)
