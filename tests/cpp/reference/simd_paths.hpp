// The SIMD paths as tests and benchmarks name them, from the path list.
#pragma once

#include "support/simd.hpp"

namespace ostrel {

inline const char* simd_path_name(SimdPath path) noexcept {
    switch (path) {
#define OSTREL_PATH(arch, path, name, lanes, runs, flags) OSTREL_ON_##arch(case SimdPath::path: return #name;)
#include "support/simd_paths.def"
#undef OSTREL_PATH
    }
    return "unknown";
}

}  // namespace ostrel
