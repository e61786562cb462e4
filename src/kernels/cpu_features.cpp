// Processor features, read once, and the kernel a call gets.
//
// x86-64: the processor's CPUID bits, and for AVX and wider the operating
// system's consent (XCR0): AVX, FMA and AVX2 count only where the system
// saves the AVX state (bits 1 and 2), AVX-512 only where it saves the opmask
// and upper ZMM state as well (bits 5 to 7). The 4-lane kernel uses fused
// multiply-adds in the VEX encoding, so it needs AVX and FMA besides SSE4.2.
// The 16-lane kernel needs AVX-512 F, BW, DQ and VL. The bits are read here
// rather than through a compiler's runtime probe, which MSVC lacks.
// aarch64: NEON is part of the base architecture (targets.hpp); nothing to probe.
// Other processors: the scalar kernel only.
#include "cpu_features.hpp"

#include <cstring>

#if defined(ZV_X86_64) && defined(ZV_MSVC)
#include <intrin.h>
#elif defined(ZV_X86_64)
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
struct CpuidLeaf {
    unsigned eax, ebx, ecx, edx;
};

CpuidLeaf cpuid(unsigned leaf, unsigned subleaf) {
    CpuidLeaf r{0, 0, 0, 0};
#if defined(ZV_MSVC)
    int regs[4];
    __cpuidex(regs, static_cast<int>(leaf), static_cast<int>(subleaf));
    r = {static_cast<unsigned>(regs[0]), static_cast<unsigned>(regs[1]), static_cast<unsigned>(regs[2]),
         static_cast<unsigned>(regs[3])};
#else
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
#endif
    return r;
}

// The state components the operating system saves on a context switch.
unsigned long long xcr0() {
#if defined(ZV_MSVC)
    return _xgetbv(0);
#else
    unsigned low = 0, high = 0;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<unsigned long long>(high) << 32) | low;
#endif
}

constexpr bool bit(unsigned word, int n) { return ((word >> n) & 1u) != 0; }

CpuFlags x86_flags() {
    CpuFlags found{false, false, false, false};
    const unsigned max_leaf = cpuid(0, 0).eax;
    if (max_leaf < 1) return found;
    const CpuidLeaf l1 = cpuid(1, 0);
    const CpuidLeaf l7 = max_leaf >= 7 ? cpuid(7, 0) : CpuidLeaf{0, 0, 0, 0};
    const unsigned long long state = bit(l1.ecx, 27) ? xcr0() : 0;  // OSXSAVE: XGETBV may be used
    constexpr unsigned long long kSseAvx = 0x2u | 0x4u, kAvx512 = kSseAvx | 0x20u | 0x40u | 0x80u;
    const bool avx_state = (state & kSseAvx) == kSseAvx;
    const bool avx512_state = (state & kAvx512) == kAvx512;
    const bool avx = avx_state && bit(l1.ecx, 28), fma = avx_state && bit(l1.ecx, 12);
    found.sse42 = bit(l1.ecx, 20) && avx && fma;
    found.avx2 = avx_state && bit(l7.ebx, 5) && avx && fma;
    found.avx512 = found.avx2 && avx512_state && bit(l7.ebx, 16) /* F */ && bit(l7.ebx, 17) /* DQ */ &&
                   bit(l7.ebx, 30) /* BW */ && bit(l7.ebx, 31) /* VL */;
    return found;
}
#endif

const CpuFlags& cpu_flags() {
    static const CpuFlags flags = [] {
        CpuFlags found{false, false, false, false};
#if defined(ZV_X86_64)
        found = x86_flags();
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
