// difference: |in - layer|.
#include "blend_common.hpp"

ZV_SHARED_FORMULA(difference, return abs_l(sub(in, layer));)
ZV_U8_FORMULA(difference, return mul(to_float(abs_i(sub_i(in, layer))), inv255);)
// Opaque 8-bit pixels at opacity 1 (opaque.hpp): |a - b|. The float path
// scales the exact integer |a - b| by inv255 and the store by 255, which
// rounds back to the integer for every byte value.
ZV_OPAQUE_FORM(difference, difference)
ZV_SEPARABLE_ENTRY_U8(difference, 0)
