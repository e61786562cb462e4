// grain_merge: in + layer - 0.5, clamped to 0..1.
#include "blend_common.hpp"

ZV_SHARED_FORMULA(grain_merge, return clamp01(sub(add(in, layer), splat(0.5f)));)
// No integer form for opaque pixels (opaque.hpp): a + b - 127.5 is an exact
// half on the 0..255 scale for every byte pair, so the float path's last-bit
// errors decide each rounding, and no formula on the bytes alone follows them.
ZV_SEPARABLE_ENTRY(grain_merge, 0)
