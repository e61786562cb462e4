// lch_hue: the foreground's hue at the background's L* and chroma.
#include "blend_common.hpp"

ZV_LCH_MODE(lch_hue, 0, 0, 1)
