// grain_extract: in - layer + 0.5, clamped to 0..1.
#include "blend_common.hpp"

ZV_SHARED_FORMULA(grain_extract, return clamp01(add(sub(in, layer), splat(0.5f)));)
ZV_SEPARABLE_ENTRY(grain_extract, 0)
