// Tests that run once on every SIMD path this CPU has. A suite declared with
// OSTREL_EVERY_SIMD_PATH(Suite); holds TEST_P(Suite, Name) bodies that read
// their path from GetParam(); each run is named after its path
// (Paths/Suite.Name/avx2).
#pragma once

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "reference/simd_paths.hpp"
#include "support/simd.hpp"

namespace ostrel {

inline std::vector<SimdPath> simd_paths_to_test() {
    const SimdPaths paths = available_simd_paths();
    return std::vector<SimdPath>(paths.begin(), paths.end());
}

inline std::string simd_path_test_name(const ::testing::TestParamInfo<SimdPath>& info) {
    return simd_path_name(info.param);
}

}  // namespace ostrel

#define OSTREL_EVERY_SIMD_PATH(Suite)                                        \
    class Suite : public ::testing::TestWithParam<::ostrel::SimdPath> {};    \
    INSTANTIATE_TEST_SUITE_P(Paths, Suite, ::testing::ValuesIn(::ostrel::simd_paths_to_test()), \
                             ::ostrel::simd_path_test_name)
