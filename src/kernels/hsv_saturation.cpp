// hsv_saturation: the foreground's saturation at the background's hue and
// value. A grey background has hue 0, so a saturated foreground turns it red.
#include "blend_common.hpp"

ZV_TRIPLET_FORMULA(hsv_saturation,
    V bg_h, bg_s, bg_v, fg_h, fg_s, fg_v;
    rgb_to_hsv(bg_r, bg_g, bg_b, bg_h, bg_s, bg_v);
    rgb_to_hsv(fg_r, fg_g, fg_b, fg_h, fg_s, fg_v);
    hsv_to_rgb(bg_h, fg_s, bg_v, r, g, b);)
ZV_TRIPLET_ENTRY(hsv_saturation)
