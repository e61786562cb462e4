// grain_merge: in + layer - 0.5, clamped to 0..1.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(grain_merge) { return clamp01(sub(add(in, layer), splat(0.5f))); }

#else  // once

#define ZV_TARGET_INCLUDE "grain_merge.cpp"
#include "foreach_target.hpp"

ZV_SCALAR_FORMULA(grain_merge)
// No integer form for opaque pixels (opaque.hpp): a + b - 127.5 is an exact
// half on the 0..255 scale for every byte pair, so the float path's last-bit
// errors decide each rounding, and no formula on the bytes alone follows them.
ZV_SEPARABLE_MODE(grain_merge, false, 0)

#endif
