// The vector instruction sets the numeric kernels are compiled for, and the
// choice among them at run time. Every path runs the same operations in the
// same order on each lane, so the choice changes speed only, never a bit of a
// result: tests call each available path directly and compare.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

enum class SimdPath {
    Baseline,  // 128-bit vectors: SSE2 on x86_64, NEON on AArch64, plain code elsewhere
    Avx2,      // 256-bit vectors, x86_64 only
    Avx512,    // 512-bit vectors, x86_64 only
};

// The paths this build has and this CPU can run, Baseline first. The CPU is
// asked once per process (support/simd.cpp says why).
struct SimdPaths {
    SimdPath list[3] = {};
    std::size_t count = 0;
    const SimdPath* begin() const noexcept { return list; }
    const SimdPath* end() const noexcept { return list + count; }
};
SimdPaths available_simd_paths() noexcept;

// The path the kernels use unless a caller names one: the widest this CPU
// has, AVX-512, AVX2 or the baseline (the rule and the measurements behind
// it are in support/simd.cpp).
SimdPath best_simd_path() noexcept;

// What that rule reads of an x86_64 CPU: whether it, and the operating
// system, can run the wide paths.
struct CpuIdentity {
    bool avx2 = false;
    bool avx512 = false;
};

// This CPU, asked once per process (support/simd.cpp says why); off x86_64,
// a CPU without the wide paths.
const CpuIdentity& cpu_identity() noexcept;

// `path`, checked against available_simd_paths(): a path this CPU lacks is a
// fatal error.
SimdPath available_simd_path(SimdPath path);

// The vector lanes of a path's kernels. Off x86_64 the wide paths never run,
// and compile the baseline's width.
constexpr std::size_t simd_lanes(SimdPath path) noexcept {
#if defined(__x86_64__)
    if (path == SimdPath::Avx2) return 8;
    if (path == SimdPath::Avx512) return 16;
#endif
    (void)path;
    return 4;
}

// `get.template operator()<P>()` with P = `path`, a path this CPU has. The
// switch names every path of the enum, which -Wswitch checks; off x86_64
// the wide paths are never available and not built.
template <class Get>
auto on_simd_path(SimdPath path, Get get) {
    switch (available_simd_path(path)) {
#if defined(__x86_64__)
    case SimdPath::Avx2:
        return get.template operator()<SimdPath::Avx2>();
    case SimdPath::Avx512:
        return get.template operator()<SimdPath::Avx512>();
#else
    case SimdPath::Avx2:
    case SimdPath::Avx512:
#endif
    case SimdPath::Baseline:
        break;
    }
    return get.template operator()<SimdPath::Baseline>();
}

// A SIMD core's table of kernels on path P: the table of the path's own
// width or, where the core's table has kNarrowerWidths, of the narrowest
// width down to 4 lanes that holds `at_least` lanes (every width gives the
// same bits). src/simd_path.cpp defines it, compiled once for every core and
// every path of the target architecture (`ostrel_simd_core` in
// CMakeLists.txt) with that path's instruction set.
template <class Kernels, SimdPath P>
Kernels path_kernels(std::size_t at_least) noexcept;

// The table of `Kernels` for `path`, a path this CPU has.
template <class Kernels>
Kernels kernels_for(SimdPath path, std::size_t at_least = simd_lanes(SimdPath::Avx512)) {
    return on_simd_path(path, [at_least]<SimdPath P>() { return path_kernels<Kernels, P>(at_least); });
}

}  // namespace ostrel
