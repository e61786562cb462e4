// lch_chroma: the foreground's chroma at the background's L* and hue.
#include "blend_common.hpp"

ZV_LCH_MODE(lch_chroma, 0, 1, 0)
