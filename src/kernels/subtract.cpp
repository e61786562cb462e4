// subtract: in - layer on the unit scale; the driver clips the composite.
#include "blend_common.hpp"

ZV_SHARED_FORMULA(subtract, return sub(in, layer);)
// Opaque 8-bit pixels at opacity 1 (opaque.hpp): a - b floored at 0. The float
// path subtracts a x inv255 - b x inv255 (each within 2^-33 of the exact
// quotient) and clips at 0; 255 x that is within 10^-4 of a - b, so it rounds
// to a - b, and a negative difference clips to 0.
ZV_OPAQUE_FORM(subtract, subtract)
ZV_SEPARABLE_ENTRY(subtract, 1)
