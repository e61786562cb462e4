// The vocabularies of this build's lane targets (the list is ZV_LANE_TARGETS
// in targets.hpp; one include here per entry), and the one loop over them
// that the drivers use.
#pragma once

#include "byte_lanes.hpp"
#include "lanes_scalar.hpp"
#include "pixel_io.hpp"

#if defined(ZV_X86_64)
#include "lanes_sse.hpp"
#include "lanes_avx.hpp"
#include "lanes_avx512.hpp"
#elif defined(ZV_AARCH64)
#include "lanes_neon.hpp"
#endif

// Calls f(zv_<t>::Target{}) for each lane target whose stages `kernel` runs,
// widest first. The drivers call a target's stages with its tag as the first
// argument, so the call finds them in the target's namespace (where the
// target passes of foreach_target.hpp define them); each call enters that
// target's code once per stage.
template <class F>
ZV_INLINE void for_each_lane_target(kernel_kind kernel, F&& f) {
#define ZV_VISIT(t, ...) \
    if ((zv_##t::Target::kServes >> kernel) & 1u) f(zv_##t::Target{});
    ZV_LANE_TARGETS(ZV_VISIT, )
#undef ZV_VISIT
    (void)kernel;
    (void)f;
}
