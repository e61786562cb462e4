// lch_chroma: the foreground's chroma at the background's L* and hue.
#include "colour.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "colour_stages.inc"
#include "lch.inc"

ZV_COLOUR_FORMULA(lch_chroma) { lch_blend(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, 0, 1, 0, r, g, b); }

#else  // once

#define ZV_TARGET_INCLUDE "lch_chroma.cpp"
#include "foreach_target.hpp"

ZV_COLOUR_MODE(lch_chroma)

#endif
