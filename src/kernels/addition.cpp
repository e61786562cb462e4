// addition: in + layer. Not clipped here; the driver clips the composite.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(addition) { return add(in, layer); }

// Exact integer sum, scaled once.
ZV_FORMULA_U8(addition) { return mul(to_float(add_i(in, layer)), inv255); }

#else  // once

// Opaque 8-bit pixels at opacity 1 (opaque.hpp): a + b saturated at 255. The
// float path scales the exact sum by inv255 and clips at 1: sums up to 255
// round back to themselves, 255 x inv255 is 1 exactly, and larger sums clip to 1.
ZV_OPAQUE_FORM(addition, add)

#define ZV_TARGET_INCLUDE "addition.cpp"
#include "foreach_target.hpp"

ZV_SCALAR_FORMULA(addition)
ZV_SEPARABLE_MODE(addition, true, 1)

#endif
