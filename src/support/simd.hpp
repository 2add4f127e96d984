// The vector instruction sets the numeric kernels are compiled for, and the
// choice among them at run time. Every path runs the same operations in the
// same order on each lane, so the choice changes speed only, never a bit of a
// result: tests call each available path directly and compare.
#pragma once

#include <cstddef>

namespace ostrel {

enum class SimdPath {
    Baseline,  // 128-bit vectors: SSE2 on x86_64, NEON on AArch64, plain code elsewhere
    Avx2,      // 256-bit vectors, x86_64 only
    Avx512,    // 512-bit vectors, x86_64 only
};

// The paths this build has and this CPU can run, Baseline first. Asked of the
// CPU on every call: the module keeps no record of it.
struct SimdPaths {
    SimdPath list[3] = {};
    std::size_t count = 0;
    const SimdPath* begin() const noexcept { return list; }
    const SimdPath* end() const noexcept { return list + count; }
};
SimdPaths available_simd_paths() noexcept;

// The path the kernels use unless a caller names one: AVX2 where the CPU has
// it, else the baseline.
SimdPath best_simd_path() noexcept;

const char* simd_path_name(SimdPath path) noexcept;

// The position of `path` in SimdPath's order, for picking an entry of a
// table of per-path kernels; a path this CPU lacks is a fatal error.
std::size_t simd_path_index(SimdPath path);

}  // namespace ostrel
