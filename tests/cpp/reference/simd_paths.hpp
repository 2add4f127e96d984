// The SIMD paths as tests and benchmarks name them.
#pragma once

#include "support/simd.hpp"

namespace ostrel {

inline const char* simd_path_name(SimdPath path) noexcept {
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

}  // namespace ostrel
