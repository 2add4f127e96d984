// The SIMD paths this CPU can run and the default choice among them.
#include "support/simd.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "support/panic.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#define OSTREL_X86_CPUID 1
#endif

namespace ostrel {

#if OSTREL_X86_CPUID
namespace {

CpuIdentity ask_cpu() noexcept {
    CpuIdentity cpu;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(0, &a, &b, &c, &d)) return cpu;
    const unsigned max_leaf = a;
    // The maker's name is spelt across ebx, edx, ecx.
    if (b == 0x756E6547 && d == 0x49656E69 && c == 0x6C65746E) cpu.vendor = CpuIdentity::Vendor::Intel;  // GenuineIntel
    if (b == 0x68747541 && d == 0x69746E65 && c == 0x444D4163) cpu.vendor = CpuIdentity::Vendor::Amd;    // AuthenticAMD
    __cpuid(1, a, b, c, d);
    cpu.signature = a;
    // The vector registers count only where the operating system saves them
    // (XCR0): the SSE and AVX halves for AVX2, the mask registers and both
    // halves of the upper sixteen for AVX-512.
    const bool osxsave = (c >> 27) & 1, avx = (c >> 28) & 1;
    if (!osxsave || !avx || max_leaf < 7) return cpu;
    unsigned xcr0 = 0, xcr0_high = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
    __cpuid_count(7, 0, a, b, c, d);
    cpu.avx2 = (xcr0 & 0x06) == 0x06 && ((b >> 5) & 1);
    cpu.avx512 = cpu.avx2 && (xcr0 & 0xE6) == 0xE6 && ((b >> 16) & 1);
    return cpu;
}

}  // namespace
#endif

// The CPU is asked once per process and the answer kept: on a virtual machine
// every cpuid instruction is a trip through the hypervisor (5 us on the
// development machine, as long as a whole empty audio call may take), and
// the compiler runtimes' __builtin_cpu_supports cannot stand in, since the
// release build's runtime (zig's) leaves it unset and answers no for
// everything.
const CpuIdentity& cpu_identity() noexcept {
#if OSTREL_X86_CPUID
    static const CpuIdentity cpu = ask_cpu();
#else
    static constexpr CpuIdentity cpu;
#endif
    return cpu;
}

SimdPaths available_simd_paths() noexcept {
    SimdPaths paths;
    paths.list[paths.count++] = SimdPath::Baseline;
#if OSTREL_X86_CPUID
    const CpuIdentity& cpu = cpu_identity();
    if (cpu.avx2) paths.list[paths.count++] = SimdPath::Avx2;
    if (cpu.avx512) paths.list[paths.count++] = SimdPath::Avx512;
#endif
    return paths;
}

// The default path. AVX-512 runs the kernels of AVX2 on twice the lanes. A
// core that executes a 512-bit operation at full width, as fast as a 256-bit
// one, gains from it everywhere. A core that splits it into two 256-bit
// halves gains only from issuing fewer instructions in the long loops, and
// loses on every batch of frames that is only partly filled, which it
// computes at twice the width: a 0.04 s call has 4 frames, one batch of 16
// lanes. There AVX2 is the default.
//
// Measured: AVX2 against AVX-512, in one process, each call of one path
// followed by the same call of the others (benchmarks/paths.cpp, five runs;
// the medians of the thread's CPU time, above 1 where AVX-512 is faster):
// - AMD Zen 4 (family 19h model 11h, a 2-core EPYC virtual machine; 512-bit
//   operations split in two halves): whole audio calls 0.83x at 0.04 s,
//   0.88x at 0.2 s (0.57x in a process whose heap hands each call's working
//   memory back to the kernel: 23 page faults a call, against 7 on AVX2),
//   0.98x at 1 s, 1.09-1.11x at 10 s and 60 s; the transform
//   of a kept transformer, without the per-call set-up, 0.48x at 0.04 s,
//   0.70x at 0.2 s, 0.88x at 1 s, 1.09x at 10 s; the FFT alone 1.07x; mask
//   resizes 1.02-1.16x (x2 linear, x1.5 cubic, x0.5 cubic and Gaussian),
//   1.00x nearest, 0.96x for a 2^20 x 2 mask halved to one row. AVX2: the
//   short calls of a real-time caller lose more than the rest gains.
// - Intel family 6 model CFh (Emerald Rapids Xeon, 2 cores; full width),
//   measured before this rule: 1.11-1.13x on audio at 10 s and 60 s,
//   1.11-1.23x on mask upscales, 1.04-1.08x on downscales, 0.83x at 0.2 s
//   while each call built its transformer. AVX-512.
// Reasoned from the cores' published execution widths, not measured:
// - the other Xeon cores with AVX-512 (Skylake-SP to Granite Rapids) and
//   Xeon Phi: 512-bit units on two ports, full width. AVX-512.
// - Intel's client cores with AVX-512 (Cannon Lake, Ice Lake, Tiger Lake,
//   Rocket Lake): a single 512-bit unit made of the two 256-bit ones, no more
//   lanes a cycle than AVX2, as on Zen 4. AVX2.
// - AMD Zen 5 (family 1Ah): full width in Turin, Granite Ridge, Fire Range
//   and Strix Halo, AVX-512; split in Strix Point and Krackan Point, AVX2.
// - Every other core, later ones included until measured: AVX2.
SimdPath default_simd_path(const CpuIdentity& cpu) noexcept {
    if (!cpu.avx2) return SimdPath::Baseline;
    if (!cpu.avx512) return SimdPath::Avx2;
    // Family and model as cpuid spells them: the extended family counts when
    // the base family is 15, the extended model when it is 6 or 15.
    const std::uint32_t base_family = (cpu.signature >> 8) & 0xF;
    const std::uint32_t family = base_family == 0xF ? base_family + ((cpu.signature >> 20) & 0xFF) : base_family;
    std::uint32_t model = (cpu.signature >> 4) & 0xF;
    if (base_family == 0x6 || base_family == 0xF) model |= ((cpu.signature >> 16) & 0xF) << 4;
    bool full_width = false;
    if (cpu.vendor == CpuIdentity::Vendor::Intel && family == 6) {
        switch (model) {
        case 0x55:                // Skylake-SP, Cascade Lake, Cooper Lake
        case 0x6A: case 0x6C:     // Ice Lake-SP
        case 0x8F:                // Sapphire Rapids
        case 0xCF:                // Emerald Rapids
        case 0xAD: case 0xAE:     // Granite Rapids
        case 0x57: case 0x85:     // Knights Landing, Knights Mill
            full_width = true;
            break;
        default:
            break;
        }
    }
    if (cpu.vendor == CpuIdentity::Vendor::Amd && family == 0x1A) {
        // Zen 5: Turin (00h-1Fh), Granite Ridge and Fire Range (40h-4Fh),
        // Strix Halo (70h-7Fh).
        full_width = model <= 0x1F || (model >= 0x40 && model <= 0x4F) || (model >= 0x70 && model <= 0x7F);
    }
    return full_width ? SimdPath::Avx512 : SimdPath::Avx2;
}

SimdPath best_simd_path() noexcept { return default_simd_path(cpu_identity()); }

const char* simd_path_name(SimdPath path) noexcept {
    switch (path) {
    case SimdPath::Avx2:
        return "avx2";
    case SimdPath::Avx512:
        return "avx512";
    case SimdPath::Baseline:
        break;
    }
#if defined(__aarch64__)
    return "neon";
#elif defined(__x86_64__)
    return "sse2";
#else
    return "baseline";
#endif
}

SimdPath available_simd_path(SimdPath path) {
    const SimdPaths available = available_simd_paths();
    if (std::find(available.begin(), available.end(), path) == available.end()) {
        panic("SIMD path not available on this CPU");
    }
    return path;
}

}  // namespace ostrel
