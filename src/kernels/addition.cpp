// addition: in + layer. Not clipped here; the driver clips the composite.
#include "blend_common.hpp"

ZV_SHARED_FORMULA(addition, return add(in, layer);)
// Exact integer sum, scaled once.
ZV_U8_FORMULA(addition, return mul(to_float(add_i(in, layer)), inv255);)
ZV_SEPARABLE_ENTRY_U8(addition, 1)
