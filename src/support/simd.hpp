// The vector instruction sets the numeric kernels are compiled for, and the
// choice among them at run time. Every path runs the same operations in the
// same order on each lane, so the choice changes speed only, never a bit of a
// result: tests call each available path directly and compare.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>

// OSTREL_ON_<architecture>(...) keeps its arguments when compiling for that
// architecture and drops them otherwise: it picks the target's lines of the
// path list, support/simd_paths.def.
#if defined(__x86_64__)
#define OSTREL_ON_x86_64(...) __VA_ARGS__
#define OSTREL_ON_aarch64(...)
#define OSTREL_ON_other(...)
#elif defined(__aarch64__)
#define OSTREL_ON_x86_64(...)
#define OSTREL_ON_aarch64(...) __VA_ARGS__
#define OSTREL_ON_other(...)
#else
#define OSTREL_ON_x86_64(...)
#define OSTREL_ON_aarch64(...)
#define OSTREL_ON_other(...) __VA_ARGS__
#endif

namespace ostrel {

// The paths of the target architecture, as support/simd_paths.def lists them.
enum class SimdPath {
#define OSTREL_PATH(arch, path, name, lanes, runs, flags) OSTREL_ON_##arch(path, )
#include "support/simd_paths.def"
#undef OSTREL_PATH
};

// Every path of the target architecture, narrowest first.
inline constexpr SimdPath kSimdPaths[] = {
#define OSTREL_PATH(arch, path, name, lanes, runs, flags) OSTREL_ON_##arch(SimdPath::path, )
#include "support/simd_paths.def"
#undef OSTREL_PATH
};

// The vector lanes of a path's kernels.
constexpr std::size_t simd_lanes(SimdPath path) noexcept {
    switch (path) {
#define OSTREL_PATH(arch, path, name, lanes, runs, flags) OSTREL_ON_##arch(case SimdPath::path: return lanes;)
#include "support/simd_paths.def"
#undef OSTREL_PATH
    }
    return 0;  // not reached: the switch names every path, which -Wswitch checks
}

// The lanes of the widest path of the target architecture.
inline constexpr std::size_t kWidestSimdLanes = std::max({
#define OSTREL_PATH(arch, path, name, lanes, runs, flags) OSTREL_ON_##arch(std::size_t{lanes}, )
#include "support/simd_paths.def"
#undef OSTREL_PATH
});

// The paths this build has and this CPU can run, Baseline first. The CPU is
// asked once per process (support/simd.cpp says why).
struct SimdPaths {
    SimdPath list[std::size(kSimdPaths)] = {};
    std::size_t count = 0;
    const SimdPath* begin() const noexcept { return list; }
    const SimdPath* end() const noexcept { return list + count; }
};
SimdPaths available_simd_paths() noexcept;

// The path the kernels use unless a caller names one: the widest this CPU
// runs (the rule and the measurements behind it are in support/simd.cpp).
SimdPath best_simd_path() noexcept;

// What the paths' conditions in support/simd_paths.def read of an x86_64
// CPU: whether it, and the operating system, can run the wide paths.
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

// `get.template operator()<P>()` with P = `path`, a path this CPU has: the
// selector of a path's compiled code, one case for every path of the list.
template <class Get>
auto on_simd_path(SimdPath path, Get get) {
    switch (available_simd_path(path)) {
#define OSTREL_PATH(arch, path, name, lanes, runs, flags) \
    OSTREL_ON_##arch(case SimdPath::path: return get.template operator()<SimdPath::path>();)
#include "support/simd_paths.def"
#undef OSTREL_PATH
    }
    __builtin_unreachable();  // available_simd_path() returned one of the paths
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
Kernels kernels_for(SimdPath path, std::size_t at_least = kWidestSimdLanes) {
    return on_simd_path(path, [at_least]<SimdPath P>() { return path_kernels<Kernels, P>(at_least); });
}

}  // namespace ostrel
