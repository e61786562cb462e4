// grain_merge: in + layer - 0.5, clamped to 0..1.
#include "blend_common.hpp"

ZV_SHARED_FORMULA(grain_merge, return clamp01(sub(add(in, layer), splat(0.5f)));)
ZV_SEPARABLE_ENTRY(grain_merge, 0)
