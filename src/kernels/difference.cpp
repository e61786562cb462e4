// difference: |in - layer|.
#include "blend_common.hpp"

ZV_SHARED_FORMULA(difference, return abs_l(sub(in, layer));)
ZV_U8_FORMULA(difference, return mul(to_float(abs_i(sub_i(in, layer))), inv255);)
ZV_SEPARABLE_ENTRY_U8(difference, 0)
