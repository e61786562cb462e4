// Compiles one source's per-target code once for every target: the file
// named by ZV_TARGET_INCLUDE is included again in zv_scalar and then in each
// lane target of ZV_LANE_TARGETS (targets.hpp), each time inside the target's
// region and namespace, so that code written once over the lane vocabulary
// becomes that target's code. No include guard: a source includes this once,
// after defining ZV_TARGET_INCLUDE to its own name.
//
// A source tells its two readings apart by ZV_TARGET_PASS, defined during the
// passes only:
//
//   #include "separable.hpp"
//   #if defined(ZV_TARGET_PASS)
//   ...  // per target: the formula over the vocabulary
//   #else
//   #define ZV_TARGET_INCLUDE "multiply.cpp"
//   #include "foreach_target.hpp"
//   ...  // once: the mode's tag and loops, which use every target's code
//   #endif
//
// In a pass, ZV_TARGET_SCALAR is 1 in zv_scalar and 0 in the lane targets,
// and ZV_IF_LANES(declaration) keeps its argument (a declaration that only
// the lane targets have) in the lane targets only, ZV_IF_SCALAR(declaration)
// in zv_scalar only.
//
// The per-target files (*.inc: the drivers' vector stages, the colour models)
// include the per-target files they use, and take as read the headers that
// their users include before the passes (the drivers' headers). However often
// a pass includes one, it is compiled once in that pass: each flips its own
// toggle to follow ZV_TARGET_TOGGLE, which flips after every pass. So every
// pass must include it (a file left out of one pass is skipped in the next,
// which then fails to compile).
#if !defined(ZV_TARGET_INCLUDE)
#error "define ZV_TARGET_INCLUDE to the source to include once per target"
#endif

#include "lanes.hpp"

#define ZV_TARGET_PASS 1

// zv_scalar: one float; no region.
#define ZV_TARGET_SCALAR 1
#define ZV_IF_LANES(...)
#define ZV_IF_SCALAR(...) __VA_ARGS__
namespace zv_scalar {
#include ZV_TARGET_INCLUDE
}  // namespace zv_scalar
#undef ZV_TARGET_SCALAR
#undef ZV_IF_LANES
#undef ZV_IF_SCALAR
#define ZV_TARGET_TOGGLE

// The lane targets, one pass each (the same list as ZV_LANE_TARGETS).
#define ZV_TARGET_SCALAR 0
#define ZV_IF_LANES(...) __VA_ARGS__
#define ZV_IF_SCALAR(...)
#if defined(ZV_X86_64)

ZV_BEGIN_avx512
namespace zv_avx512 {
#include ZV_TARGET_INCLUDE
}  // namespace zv_avx512
ZV_END_avx512
#undef ZV_TARGET_TOGGLE

ZV_BEGIN_avx
namespace zv_avx {
#include ZV_TARGET_INCLUDE
}  // namespace zv_avx
ZV_END_avx
#define ZV_TARGET_TOGGLE

ZV_BEGIN_sse
namespace zv_sse {
#include ZV_TARGET_INCLUDE
}  // namespace zv_sse
ZV_END_sse
#undef ZV_TARGET_TOGGLE

#elif defined(ZV_AARCH64)

namespace zv_neon {
#include ZV_TARGET_INCLUDE
}  // namespace zv_neon
#undef ZV_TARGET_TOGGLE

#endif
#undef ZV_TARGET_SCALAR
#undef ZV_IF_LANES
#undef ZV_IF_SCALAR
#undef ZV_TARGET_PASS
#undef ZV_TARGET_INCLUDE
