// The SIMD paths this CPU can run, asked of the CPU on every call, and the
// default choice among them.
#include "support/simd.hpp"

#include <algorithm>
#include <cstddef>

#include "support/panic.hpp"

namespace ostrel {

SimdPaths available_simd_paths() noexcept {
    SimdPaths paths;
    paths.list[paths.count++] = SimdPath::Baseline;
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    // The CPU model checks the operating system's register support as well.
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) paths.list[paths.count++] = SimdPath::Avx2;
    if (__builtin_cpu_supports("avx512f")) paths.list[paths.count++] = SimdPath::Avx512;
#endif
    return paths;
}

SimdPath best_simd_path() noexcept {
    // AVX-512 runs the same kernels at twice the width, which neither core
    // gains from, and its twice larger working set costs every call more to
    // set up; it is used only when named.
    const SimdPaths available = available_simd_paths();
    return std::find(available.begin(), available.end(), SimdPath::Avx2) != available.end() ? SimdPath::Avx2
                                                                                            : SimdPath::Baseline;
}

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
