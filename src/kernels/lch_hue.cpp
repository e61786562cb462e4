// lch_hue: the foreground's hue at the background's L* and chroma.
#include "colour.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "colour_stages.inc"
#include "lch.inc"

ZV_COLOUR_FORMULA(lch_hue) { lch_blend(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, 0, 0, 1, r, g, b); }

#else  // once

#define ZV_TARGET_INCLUDE "lch_hue.cpp"
#include "foreach_target.hpp"

ZV_COLOUR_MODE(lch_hue)

#endif
