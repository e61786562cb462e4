// Processor features, read once. The compiler runtime's probe counts AVX2
// only where the operating system saves the AVX state. The 4-lane kernel uses
// fused multiply-adds in the VEX encoding, so it needs AVX and FMA besides
// SSE4.2.
#include "cpu_features.hpp"

#include <cstring>

namespace {

struct CpuFlags {
    bool sse42;
    bool avx2;
};

const CpuFlags& cpu_flags() {
    static const CpuFlags flags = [] {
        __builtin_cpu_init();
        const bool fma = __builtin_cpu_supports("fma"), avx = __builtin_cpu_supports("avx");
        return CpuFlags{__builtin_cpu_supports("sse4.2") && avx && fma, __builtin_cpu_supports("avx2") && avx && fma};
    }();
    return flags;
}

}  // namespace

void record_cpu_features() { cpu_flags(); }

int kernel_name_available(const char* name) {
    if (std::strcmp(name, "scalar") == 0 || std::strcmp(name, "auto") == 0) return 1;
    if (std::strcmp(name, "sse42") == 0) return cpu_flags().sse42;
    if (std::strcmp(name, "avx2") == 0) return cpu_flags().avx2;
    return -1;
}

kernel_kind pick_kernel(const char* force_name) {
    const CpuFlags& cpu = cpu_flags();
    if (force_name != nullptr) {
        if (std::strcmp(force_name, "scalar") == 0) return KERNEL_SCALAR;
        if (std::strcmp(force_name, "sse42") == 0) return cpu.sse42 ? KERNEL_SSE42 : KERNEL_SCALAR;
        if (std::strcmp(force_name, "avx2") == 0) return cpu.avx2 ? KERNEL_AVX2 : KERNEL_SCALAR;
    }
    if (cpu.avx2) return KERNEL_AVX2;
    if (cpu.sse42) return KERNEL_SSE42;
    return KERNEL_SCALAR;
}
