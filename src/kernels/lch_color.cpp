// lch_color: the foreground's a* and b* (hue and chroma) at the background's L*.
#include "blend_common.hpp"

ZV_LCH_MODE(lch_color, 0, 1, 1)
