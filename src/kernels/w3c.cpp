// The W3C family's loops: w3c.hpp (the formulas and the driver) put into
// zv_scalar and into every lane target, and one loop per mode that runs the
// kernel's targets widest first, then the scalar stage for what is left.
#include <algorithm>

#include "separable.hpp"
#include "w3c_modes.hpp"

// Pixels of a block of planes: a multiple of every target's lanes.
constexpr zv_index kW3cBlock = 64;

// ---- per-target inclusion ------------------------------------------------------
#define ZV_W3C_LANES 0
namespace zv_scalar {
#include "w3c.hpp"
}
#undef ZV_W3C_LANES
#define ZV_W3C_LANES 1
#if defined(ZV_X86_64)
ZV_BEGIN_avx512 namespace zv_avx512 {
#include "w3c.hpp"
} ZV_END_avx512
ZV_BEGIN_avx namespace zv_avx {
#include "w3c.hpp"
} ZV_END_avx
ZV_BEGIN_sse namespace zv_sse {
#include "w3c.hpp"
} ZV_END_sse
#elif defined(ZV_AARCH64)
namespace zv_neon {
#include "w3c.hpp"
}
#endif
#undef ZV_W3C_LANES

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
