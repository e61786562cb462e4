// lch_lightness: the foreground's L* with the background's a* and b*.
#include "colour.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "colour_stages.inc"
#include "lch.inc"

ZV_COLOUR_FORMULA(lch_lightness) { lch_blend(bg_r, bg_g, bg_b, fg_r, fg_g, fg_b, 1, 0, 0, r, g, b); }

#else  // once

#define ZV_TARGET_INCLUDE "lch_lightness.cpp"
#include "foreach_target.hpp"

ZV_COLOUR_MODE(lch_lightness)

#endif
