// lch_lightness: the foreground's L* with the background's a* and b*.
#include "blend_common.hpp"

ZV_LCH_MODE(lch_lightness, 1, 0, 0)
