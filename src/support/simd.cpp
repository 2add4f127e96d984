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
    __cpuid(1, a, b, c, d);
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
    [[maybe_unused]] const CpuIdentity& cpu = cpu_identity();
#define OSTREL_PATH(arch, path, name, lanes, runs, flags) \
    OSTREL_ON_##arch(if (runs) paths.list[paths.count++] = SimdPath::path;)
#include "support/simd_paths.def"
#undef OSTREL_PATH
    return paths;
}

namespace {

// The default path: the widest the CPU has, the last of the list whose
// condition holds (support/simd_paths.def). AVX-512 runs the kernels of
// AVX2 on twice the lanes. A core that executes a 512-bit operation at full
// width gains from the lanes; one that splits it into two 256-bit halves
// still gains from issuing half the instructions in the long loops. Batches
// of few frames lose nothing, since they run on the kernels of the
// narrowest width that holds them, whatever the path.
//
// Measured: every path in one process, each call of one path followed by
// the same call of the others (benchmarks/paths.cpp; time of AVX2 over time
// of AVX-512, above 1 where AVX-512 is faster):
// - AMD Zen 4 (family 19h model 11h, a 2-core EPYC virtual machine; 512-bit
//   operations split in two halves), two runs: whole audio transforms
//   0.98-1.02x at 0.04 s, 1.08-1.13x at 0.2 s and 1 s, 1.09-1.13x at 10 s
//   and 60 s; the FFT alone 1.06x; mask resizes 1.01-1.23x (x2 linear, x1.5
//   cubic, x0.5 cubic and Gaussian), 1.00x nearest, and the one loss,
//   0.96-0.99x, for a 2^20 x 2 mask halved to one row.
// - Intel family 6 model CFh (Emerald Rapids Xeon; full width), measured
//   while each call still built its tables: 1.11-1.13x on audio at 10 s and
//   60 s, 1.11-1.23x on mask upscales, 1.04-1.08x on downscales.
// - AMD Zen 5 (family 1Ah model 02h, a 2-core EPYC virtual machine; full
//   width), one run: whole audio transforms 0.99-1.00x at 0.04 s, 1.21-1.22x
//   at 0.2 s, 1.36x at 1 s, 1.40-1.44x at 10 s and 60 s; the FFT alone
//   1.28x; mask resizes 1.05-1.34x, 1.00x nearest, 1.01x for the 2^20 x 2
//   mask halved.
// Reasoned from the cores' published execution widths, not measured: the
// other Xeon cores and Zen 5 in desktops run 512-bit operations at full
// width, and Intel's client cores with AVX-512 and Zen 5 in laptops split
// them as Zen 4 does; both kinds gain as the measured ones do.
SimdPath default_simd_path([[maybe_unused]] const CpuIdentity& cpu) noexcept {
    SimdPath widest = kSimdPaths[0];
#define OSTREL_PATH(arch, path, name, lanes, runs, flags) OSTREL_ON_##arch(if (runs) widest = SimdPath::path;)
#include "support/simd_paths.def"
#undef OSTREL_PATH
    return widest;
}

}  // namespace

SimdPath best_simd_path() noexcept { return default_simd_path(cpu_identity()); }

SimdPath available_simd_path(SimdPath path) {
    const SimdPaths available = available_simd_paths();
    if (std::find(available.begin(), available.end(), path) == available.end()) {
        panic("SIMD path not available on this CPU");
    }
    return path;
}

}  // namespace ostrel
