// normal: the foreground over the background (source-over, straight alpha).
#include "normal_driver.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "normal_stages.inc"

#else  // once

#define ZV_TARGET_INCLUDE "normal.cpp"
#include "foreach_target.hpp"

extern const ModeLoops normal_loops = {&normal_pixels<>, &normal_copy_foreground, 0};

#endif
