// Processor features, read once, and the kernel a call gets.
//
// x86-64: the compiler runtime's probe counts AVX2 only where the operating
// system saves the AVX state. The 4-lane kernel uses fused multiply-adds in the
// VEX encoding, so it needs AVX and FMA besides SSE4.2.
// The 16-lane kernel needs AVX-512 F, BW, DQ and VL, and an operating system
// that saves the opmask and upper ZMM state as well (XCR0 bits 5 to 7, with the
// SSE and AVX bits 1 and 2); it is checked here rather than trusted to the runtime.
// aarch64: NEON is part of the base architecture (targets.hpp); nothing to probe.
// Other processors: the scalar kernel only.
#include "cpu_features.hpp"

#include <cstring>

#if defined(ZV_X86_64)
#include <cpuid.h>
#endif

namespace {

struct CpuFlags {
    bool sse42;
    bool avx2;
    bool avx512;
    bool neon;
};

#if defined(ZV_X86_64)
bool os_saves_avx512_state() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_OSXSAVE)) return false;
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    constexpr unsigned kSseAvxAvx512 = 0x2u | 0x4u | 0x20u | 0x40u | 0x80u;
    return (xcr0_low & kSseAvxAvx512) == kSseAvxAvx512;
}
#endif

const CpuFlags& cpu_flags() {
    static const CpuFlags flags = [] {
        CpuFlags found{false, false, false, false};
#if defined(ZV_X86_64)
        __builtin_cpu_init();
        const bool fma = __builtin_cpu_supports("fma"), avx = __builtin_cpu_supports("avx");
        found.sse42 = __builtin_cpu_supports("sse4.2") && avx && fma;
        found.avx2 = __builtin_cpu_supports("avx2") && avx && fma;
        found.avx512 = found.avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                       __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
                       os_saves_avx512_state();
#elif defined(ZV_AARCH64)
        found.neon = true;
#endif
        return found;
    }();
    return flags;
}

bool runs_here(kernel_kind kind) {
    const CpuFlags& cpu = cpu_flags();
    switch (kind) {
        case KERNEL_SSE42: return cpu.sse42;
        case KERNEL_AVX2: return cpu.avx2;
        case KERNEL_AVX512: return cpu.avx512;
        case KERNEL_NEON: return cpu.neon;
        default: return true;
    }
}

// The kernels by name, on every processor.
struct KernelName {
    const char* name;
    kernel_kind kind;
    bool module_name;
};
#define ZV_KERNEL_NAME(kind, name, value, pixels, module_name, results_of) {#name, kind, module_name != 0},
constexpr KernelName kKernelNames[] = {ZV_KERNELS(ZV_KERNEL_NAME)};
#undef ZV_KERNEL_NAME

const KernelName* find_kernel(const char* name) {
    for (const KernelName& kernel : kKernelNames)
        if (std::strcmp(name, kernel.name) == 0) return &kernel;
    return nullptr;
}

}  // namespace

void record_cpu_features() { cpu_flags(); }

int kernel_name_available(const char* name) {
    const KernelName* kernel = find_kernel(name);
    if (std::strcmp(name, "auto") == 0 || (kernel != nullptr && kernel->kind == KERNEL_SCALAR)) return 1;
    if (kernel == nullptr || !kernel->module_name) return -1;
    return runs_here(kernel->kind);
}

int any_kernel_name_available(const char* name) {
    if (std::strcmp(name, "auto") == 0) return 1;
    const KernelName* kernel = find_kernel(name);
    return kernel == nullptr ? -1 : runs_here(kernel->kind);
}

kernel_kind pick_kernel(const char* force_name) {
    if (force_name != nullptr) {
        const KernelName* kernel = find_kernel(force_name);
        if (kernel != nullptr) return runs_here(kernel->kind) ? kernel->kind : KERNEL_SCALAR;
    }
    const CpuFlags& cpu = cpu_flags();
    if (cpu.avx512) return KERNEL_AVX512;
    if (cpu.avx2) return KERNEL_AVX2;
    if (cpu.sse42) return KERNEL_SSE42;
    if (cpu.neon) return KERNEL_NEON;
    return KERNEL_SCALAR;
}

kernel_kind pick_module_kernel(const char* force_name) {
    return pick_kernel(force_name != nullptr && kernel_name_available(force_name) >= 0 ? force_name : nullptr);
}
