#include <cstdint>

#include <gtest/gtest.h>

#include "support/simd.hpp"

namespace ostrel {
namespace {

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
// The module asks the CPU itself; GCC's runtime, which asks it too, must agree.
TEST(Simd, IdentityAgreesWithTheCompilerRuntime) {
    __builtin_cpu_init();
    const CpuIdentity& cpu = cpu_identity();
    EXPECT_EQ(cpu.avx2, static_cast<bool>(__builtin_cpu_supports("avx2")));
    EXPECT_EQ(cpu.avx512, __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f"));
    const SimdPaths paths = available_simd_paths();
    EXPECT_EQ(best_simd_path(), paths.list[paths.count - 1]);
}
#endif

}  // namespace
}  // namespace ostrel
