// subtract: in - layer on the unit scale; the driver clips the composite.
#include "separable.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "separable_stages.inc"

ZV_FORMULA(subtract) { return sub(in, layer); }

#else  // once

// Opaque 8-bit pixels at opacity 1 (opaque.hpp): a - b floored at 0. The float
// path subtracts a x inv255 - b x inv255 (each within 2^-33 of the exact
// quotient) and clips at 0; 255 x that is within 10^-4 of a - b, so it rounds
// to a - b, and a negative difference clips to 0.
ZV_OPAQUE_FORM(subtract, subtract)

#define ZV_TARGET_INCLUDE "subtract.cpp"
#include "foreach_target.hpp"

ZV_SCALAR_FORMULA(subtract)
ZV_SEPARABLE_MODE(subtract, false, 1)

#endif
