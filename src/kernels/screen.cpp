// screen: 1 - (1 - in)(1 - layer), fused; lightens, black is neutral.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(screen) {
    const V one = splat(1.0f);
    return fnmadd(sub(one, in), sub(one, layer), one);
}

ZV_FORMULA_U8(screen) {
    const VI full = splat_i(255);
    const VI prod = mul_i(sub_i(full, in), sub_i(full, layer));
    return fnmadd(mul(inv255, inv255), to_float(prod), splat(1.0f));
}

#else  // once

// Opaque 8-bit pixels at opacity 1 (opaque.hpp): 255 - (255 - a)(255 - b) / 255
// rounded to nearest, i.e. the complement of multiply on the complements. The
// float path's value is within 10^-4 of 255 - (255 - a)(255 - b) / 255, which
// is never closer than 1/510 to a half, as for multiply.
ZV_OPAQUE_FORM(screen, screen)

#define ZV_TARGET_INCLUDE "screen.cpp"
#include "foreach_target.hpp"

ZV_SCALAR_FORMULA(screen)
ZV_SEPARABLE_MODE(screen, true, 0)

#endif
