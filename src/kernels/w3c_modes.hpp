// The W3C family: the blend modes and Porter-Duff operators of W3C
// Compositing and Blending Level 1 and the Photoshop-family modes, under the
// OpenRaster `composite-op` names ("svg:..."). One list: the engine's mode
// table, zarvel._engine.w3c_modes() and through it the package's
// zarvel.w3c.MODES, the CSS spellings and the gallery's sheet derive from it.
//
//   X(identifier, "canonical name", "CSS spelling", kind, gallery row)
//
// kind: `separable` (one blend function per channel), `whole` (whole colours
// by luminosity), both composited source-over; or `porter_duff` (the
// operator's Fa/Fb pair, or the clamped sum of plus). An empty CSS spelling:
// the mode has none (CSS knows the W3C modes and operators only).
#pragma once

#define ZV_W3C_MODES(X)                                                          \
    X(normal, "svg:normal", "normal", separable, 0)                              \
    X(multiply, "svg:multiply", "multiply", separable, 1)                        \
    X(screen, "svg:screen", "screen", separable, 2)                              \
    X(overlay, "svg:overlay", "overlay", separable, 3)                           \
    X(darken, "svg:darken", "darken", separable, 1)                              \
    X(lighten, "svg:lighten", "lighten", separable, 2)                           \
    X(color_dodge, "svg:color-dodge", "color-dodge", separable, 2)               \
    X(color_burn, "svg:color-burn", "color-burn", separable, 1)                  \
    X(hard_light, "svg:hard-light", "hard-light", separable, 3)                  \
    X(soft_light, "svg:soft-light", "soft-light", separable, 3)                  \
    X(difference, "svg:difference", "difference", separable, 4)                  \
    X(exclusion, "svg:exclusion", "exclusion", separable, 4)                     \
    X(hue, "svg:hue", "hue", whole, 5)                                           \
    X(saturation, "svg:saturation", "saturation", whole, 5)                      \
    X(color, "svg:color", "color", whole, 5)                                     \
    X(luminosity, "svg:luminosity", "luminosity", whole, 5)                      \
    X(clear, "svg:clear", "clear", porter_duff, 6)                               \
    X(src, "svg:src", "copy", porter_duff, 6)                                    \
    X(dst, "svg:dst", "destination", porter_duff, 6)                             \
    X(src_over, "svg:src-over", "source-over", porter_duff, 6)                   \
    X(dst_over, "svg:dst-over", "destination-over", porter_duff, 6)              \
    X(src_in, "svg:src-in", "source-in", porter_duff, 7)                         \
    X(dst_in, "svg:dst-in", "destination-in", porter_duff, 7)                    \
    X(src_out, "svg:src-out", "source-out", porter_duff, 7)                      \
    X(dst_out, "svg:dst-out", "destination-out", porter_duff, 7)                 \
    X(src_atop, "svg:src-atop", "source-atop", porter_duff, 7)                   \
    X(dst_atop, "svg:dst-atop", "destination-atop", porter_duff, 7)              \
    X(xor_op, "svg:xor", "xor", porter_duff, 7)                                  \
    X(plus, "svg:plus", "plus-lighter", porter_duff, 6)                          \
    X(linear_dodge, "svg:linear-dodge", "", separable, 2)                        \
    X(linear_burn, "svg:linear-burn", "", separable, 1)                          \
    X(vivid_light, "svg:vivid-light", "", separable, 3)                          \
    X(linear_light, "svg:linear-light", "", separable, 3)                        \
    X(pin_light, "svg:pin-light", "", separable, 3)                              \
    X(hard_mix, "svg:hard-mix", "", separable, 3)                                \
    X(subtract, "svg:subtract", "", separable, 4)                                \
    X(divide, "svg:divide", "", separable, 4)                                    \
    X(darker_color, "svg:darker-color", "", whole, 1)                            \
    X(lighter_color, "svg:lighter-color", "", whole, 2)

// The gallery sheet's rows, in order: (row, heading, what its modes are for).
#define ZV_W3C_ROWS(X)                                                  \
    X(0, "inputs", "the two images, and the layer laid over")          \
    X(1, "darken", "multiply, burn, the darker of each")               \
    X(2, "lighten", "screen, dodge, the lighter of each")              \
    X(3, "contrast", "light effects, thresholds")                      \
    X(4, "comparative", "differences and ratios")                      \
    X(5, "colour", "hue, saturation, colour, luminosity (W3C Lum)")     \
    X(6, "Porter-Duff", "which of the two shows, and their sum")      \
    X(7, "masking", "Porter-Duff: one image cut by the other's alpha")

enum class W3cOp {
#define ZV_W3C_ENUMERATOR(id, ...) id,
    ZV_W3C_MODES(ZV_W3C_ENUMERATOR)
#undef ZV_W3C_ENUMERATOR
};

// How a mode composites (the list's kind column).
enum class W3cKind { separable, whole, porter_duff };

#define ZV_W3C_COUNT_ONE(...) +1
constexpr int kW3cModeCount = 0 ZV_W3C_MODES(ZV_W3C_COUNT_ONE);
#undef ZV_W3C_COUNT_ONE

struct ModeLoops;
// The family's loops, in the list's order (w3c.cpp).
extern const ModeLoops* const kW3cLoops[kW3cModeCount];
