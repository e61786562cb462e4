// subtract: in - layer on the unit scale; the driver clips the composite.
#include "blend_common.hpp"

ZV_SHARED_FORMULA(subtract, return sub(in, layer);)
ZV_SEPARABLE_ENTRY(subtract, 1)
