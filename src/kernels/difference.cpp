// difference: |in - layer|.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(difference) { return abs_l(sub(in, layer)); }

ZV_FORMULA_U8(difference) { return mul(to_float(abs_i(sub_i(in, layer))), inv255); }

#else  // once

// Opaque 8-bit pixels at opacity 1 (opaque.hpp): |a - b|. The float path
// scales the exact integer |a - b| by inv255 and the store by 255, which
// rounds back to the integer for every byte value.
ZV_OPAQUE_FORM(difference, difference)

#define ZV_TARGET_INCLUDE "difference.cpp"
#include "foreach_target.hpp"

ZV_SCALAR_FORMULA(difference)
ZV_SEPARABLE_MODE(difference, true, 0)

#endif
