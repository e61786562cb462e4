// The blend modes, in the order of the module's method table, each with its
// kind: `normal`, a `separable` mode (one blend function per channel) or a
// `colour` mode (whole colours in HSV, HSL or LCH). Everything that lists the
// modes derives from this one list: the module's functions, the engine's mode
// table and, through it, the package's MODES.
#pragma once

#include "image_view.hpp"

#define ZV_MODES(X)                                                                                         \
    X(normal, normal) X(soft_light, separable) X(lighten_only, separable) X(screen, separable)              \
    X(dodge, separable) X(addition, separable) X(darken_only, separable) X(multiply, separable)             \
    X(hard_light, separable) X(difference, separable) X(subtract, separable) X(grain_extract, separable)    \
    X(grain_merge, separable) X(divide, separable) X(overlay, separable) X(hsv_hue, colour)                 \
    X(hsv_saturation, colour) X(hsv_value, colour) X(hsl_color, colour) X(lch_hue, colour)                  \
    X(lch_chroma, colour) X(lch_color, colour) X(lch_lightness, colour) X(burn, separable)                  \
    X(linear_burn, separable) X(exclusion, separable) X(vivid_light, separable) X(pin_light, separable)

// Each mode's source defines its loops as `<mode>_loops`.
#define ZV_DECLARE_LOOPS(mode, kind) extern const ModeLoops mode##_loops;
ZV_MODES(ZV_DECLARE_LOOPS)
#undef ZV_DECLARE_LOOPS
