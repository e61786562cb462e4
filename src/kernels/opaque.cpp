// The switch between the integer forms of opaque pixels and the float path (opaque.hpp).
#include "opaque.hpp"

std::atomic<bool> zv_opaque_integer_paths{true};
