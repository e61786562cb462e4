// The W3C family's loops: w3c.inc (the formulas and the driver) compiled in
// every target pass (foreach_target.hpp), and one loop per mode that runs the
// kernel's targets widest first, then the scalar stage for what is left.
#include "separable.hpp"
#include "w3c_modes.hpp"

#if defined(ZV_TARGET_PASS)  // once per target (foreach_target.hpp)
#include "w3c.inc"

#else  // once
#define ZV_TARGET_INCLUDE "w3c.cpp"
#include "foreach_target.hpp"

namespace {

template <int Op>
void w3c_pixels(BlendJob& job) {
    zv_index index = 0;
#define ZV_W3C_VISIT(t, ...) \
    if ((zv_##t::kKernels >> job.kernel) & 1u) zv_##t::w3c_stage(job, index, Op);
    ZV_LANE_TARGETS(ZV_W3C_VISIT, )
#undef ZV_W3C_VISIT
    zv_scalar::w3c_stage(job, index, Op);
}

#define ZV_W3C_LOOPS(id, ...) \
    const ModeLoops id##_w3c_loops = {&w3c_pixels<static_cast<int>(W3cOp::id)>, nullptr, 0};
ZV_W3C_MODES(ZV_W3C_LOOPS)
#undef ZV_W3C_LOOPS

}  // namespace

#define ZV_W3C_LOOPS_ENTRY(id, ...) &id##_w3c_loops,
extern const ModeLoops* const kW3cLoops[kW3cModeCount] = {ZV_W3C_MODES(ZV_W3C_LOOPS_ENTRY)};
#undef ZV_W3C_LOOPS_ENTRY

#endif
