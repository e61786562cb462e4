// screen: 1 - (1 - in)(1 - layer), fused; lightens, black is neutral.
#include "blend_common.hpp"

ZV_SHARED_FORMULA(screen, const V one = splat(1.0f); return fnmadd(sub(one, in), sub(one, layer), one);)
ZV_U8_FORMULA(screen,
    const VI full = splat_i(255);
    const VI prod = mul_i(sub_i(full, in), sub_i(full, layer));
    return fnmadd(mul(inv255, inv255), to_float(prod), splat(1.0f));)
ZV_SEPARABLE_ENTRY_U8(screen, 0)
