// The blend modes, in the order of the module's method table: each with its
// kind (`normal`, a `separable` mode: one blend function per channel, or a
// `colour` mode: whole colours in HSV, HSL or LCH), its gallery group and its
// place in that group's row. Everything that lists the modes derives from this
// one list: the module's functions, the engine's mode table and, through
// zarvel._engine, the package's MODES, its kinds and the gallery's rows.
#pragma once

#include "image_view.hpp"

#define ZV_MODES(X)                                                                                    \
    X(normal, normal, inputs, 0) X(soft_light, separable, contrast, 1)                                \
    X(lighten_only, separable, lighten, 3) X(screen, separable, lighten, 0)                          \
    X(dodge, separable, lighten, 1) X(addition, separable, lighten, 2)                               \
    X(darken_only, separable, darken, 3) X(multiply, separable, darken, 0)                           \
    X(hard_light, separable, contrast, 2) X(difference, separable, comparative, 0)                   \
    X(subtract, separable, comparative, 2) X(grain_extract, separable, comparative, 4)               \
    X(grain_merge, separable, comparative, 5) X(divide, separable, comparative, 3)                   \
    X(overlay, separable, contrast, 0) X(hsv_hue, colour, hsv_hsl, 0)                                \
    X(hsv_saturation, colour, hsv_hsl, 1) X(hsv_value, colour, hsv_hsl, 2)                           \
    X(hsl_color, colour, hsv_hsl, 3) X(lch_hue, colour, lch, 0) X(lch_chroma, colour, lch, 1)        \
    X(lch_color, colour, lch, 2) X(lch_lightness, colour, lch, 3) X(burn, separable, darken, 1)      \
    X(linear_burn, separable, darken, 2) X(exclusion, separable, comparative, 1)                     \
    X(vivid_light, separable, contrast, 3) X(pin_light, separable, contrast, 4)

// The gallery's rows, in order: a group's name (as the modes above give it),
// its heading and what its modes are for.
#define ZV_MODE_GROUPS(X)                                                                   \
    X(inputs, "inputs", "the two images, and the layer laid over")                         \
    X(darken, "darken", "shadows, tints, burning in")                                      \
    X(lighten, "lighten", "light, glow, dodging")                                          \
    X(contrast, "contrast", "texture, punch, light effects")                               \
    X(comparative, "comparative", "differences, cut-outs, frequency splits")               \
    X(hsv_hsl, "colour: HSV, HSL", "recolour by hue, saturation, value")                   \
    X(lch, "colour: CIE LCh", "recolour as the eye sees it")

// Each mode's source defines its tag type `<mode>_mode` and its loops as
// `<mode>_loops`.
#define ZV_DECLARE_TAG(mode, ...) struct mode##_mode;
ZV_MODES(ZV_DECLARE_TAG)
#undef ZV_DECLARE_TAG
#define ZV_DECLARE_LOOPS(mode, ...) extern const ModeLoops mode##_loops;
ZV_MODES(ZV_DECLARE_LOOPS)
#undef ZV_DECLARE_LOOPS
