#include <algorithm>
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
    EXPECT_EQ(cpu.vendor == CpuIdentity::Vendor::Intel, static_cast<bool>(__builtin_cpu_is("intel")));
    EXPECT_EQ(cpu.vendor == CpuIdentity::Vendor::Amd, static_cast<bool>(__builtin_cpu_is("amd")));
    EXPECT_EQ(cpu.avx2, static_cast<bool>(__builtin_cpu_supports("avx2")));
    EXPECT_EQ(cpu.avx512, __builtin_cpu_supports("avx2") && __builtin_cpu_supports("avx512f"));
    const SimdPaths paths = available_simd_paths();
    EXPECT_NE(std::find(paths.begin(), paths.end(), best_simd_path()), paths.end());
}
#endif

// Signatures as cpuid leaf 1 gives them (stepping in the low bits): the
// family and model are read from the split fields.
TEST(Simd, DefaultPathByCore) {
    using Vendor = CpuIdentity::Vendor;
    struct Row {
        Vendor vendor;
        std::uint32_t signature;
        bool avx2, avx512;
        SimdPath want;
    };
    const Row rows[] = {
        {Vendor::Intel, 0x000C06F2, true, true, SimdPath::Avx512},   // family 6 model CFh
        {Vendor::Intel, 0x00050654, true, true, SimdPath::Avx512},   // family 6 model 55h
        {Vendor::Intel, 0x000806C1, true, true, SimdPath::Avx2},     // family 6 model 8Ch
        {Vendor::Amd, 0x00A10F11, true, true, SimdPath::Avx2},       // family 19h model 11h
        {Vendor::Amd, 0x00B40F40, true, true, SimdPath::Avx512},     // family 1Ah model 44h
        {Vendor::Amd, 0x00B20F40, true, true, SimdPath::Avx2},       // family 1Ah model 24h
        {Vendor::Amd, 0x00B40F40, true, false, SimdPath::Avx2},
        {Vendor::Other, 0x00B40F40, true, true, SimdPath::Avx2},
        {Vendor::Intel, 0x000C06F2, false, false, SimdPath::Baseline},
    };
    for (const Row& r : rows) {
        const CpuIdentity cpu{r.vendor, r.signature, r.avx2, r.avx512};
        EXPECT_EQ(default_simd_path(cpu), r.want) << std::hex << r.signature;
    }
}

}  // namespace
}  // namespace ostrel
