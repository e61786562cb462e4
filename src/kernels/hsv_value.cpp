// hsv_value: the foreground's value (largest channel) at the background's hue
// and saturation.
#include "blend_common.hpp"

ZV_TRIPLET_FORMULA(hsv_value,
    V bg_h, bg_s, bg_v, fg_h, fg_s, fg_v;
    rgb_to_hsv(bg_r, bg_g, bg_b, bg_h, bg_s, bg_v);
    rgb_to_hsv(fg_r, fg_g, fg_b, fg_h, fg_s, fg_v);
    hsv_to_rgb(bg_h, bg_s, fg_v, r, g, b);)
ZV_TRIPLET_ENTRY(hsv_value)
