// normal: the foreground over the background (source-over, straight alpha).
#include "blend_common.hpp"

extern const ModeLoops normal_loops = {&normal_pixels, &normal_copy_foreground, 0};
