// screen: 1 - (1 - in)(1 - layer), fused; lightens, black is neutral.
#include "blend_common.hpp"

ZV_SHARED_FORMULA(screen, const V one = splat(1.0f); return fnmadd(sub(one, in), sub(one, layer), one);)
ZV_U8_FORMULA(screen,
    const VI full = splat_i(255);
    const VI prod = mul_i(sub_i(full, in), sub_i(full, layer));
    return fnmadd(mul(inv255, inv255), to_float(prod), splat(1.0f));)
// Opaque 8-bit pixels at opacity 1 (opaque.hpp): 255 - (255 - a)(255 - b) / 255
// rounded to nearest, i.e. the complement of multiply on the complements. The
// float path's value is within 10^-4 of 255 - (255 - a)(255 - b) / 255, which
// is never closer than 1/510 to a half, as for multiply.
ZV_OPAQUE_FORM(screen, screen)
ZV_SEPARABLE_ENTRY_U8(screen, 0)
