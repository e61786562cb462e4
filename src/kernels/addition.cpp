// addition: in + layer. Not clipped here; the driver clips the composite.
#include "blend_common.hpp"

ZV_SHARED_FORMULA(addition, return add(in, layer);)
// Exact integer sum, scaled once.
ZV_U8_FORMULA(addition, return mul(to_float(add_i(in, layer)), inv255);)
// Opaque 8-bit pixels at opacity 1 (opaque.hpp): a + b saturated at 255. The
// float path scales the exact sum by inv255 and clips at 1: sums up to 255
// round back to themselves, 255 x inv255 is 1 exactly, and larger sums clip to 1.
ZV_OPAQUE_FORM(addition, add)
ZV_SEPARABLE_ENTRY_U8(addition, 1)
