#include <bit>
#include <cstdint>

#include <gtest/gtest.h>

#include "support/float_mode.hpp"

namespace ostrel {
namespace {

#if defined(__x86_64__)
constexpr FloatControl kFlushSubnormals = 0x8040;  // MXCSR's FTZ and DAZ
#else
constexpr FloatControl kFlushSubnormals = FloatControl{1} << 24;  // FPCR's FZ
#endif

// Flushing cannot be seen in the module's results (the log-mel floor and the
// 8-bit rounding of masks hide it), so the guard is held to it here. The
// products are stored to volatiles, so no multiply moves across a write of
// the register, and compared as bits once the caller's mode is back.
TEST(FloatModeGuard, KeepsSubnormalsInsideAndGivesTheCallersModeBack) {
    const FloatControl caller = read_float_control();
    const volatile float smallest_normal = 0x1p-126f;
    volatile float flushed = 1.0f, kept = 1.0f;
    write_float_control(caller | kFlushSubnormals);
    flushed = smallest_normal * 0.5f;
    {
        const FloatModeGuard guard;
        kept = smallest_normal * 0.5f;
    }
    const FloatControl after = read_float_control();
    write_float_control(caller);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(float{flushed}), 0u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(float{kept}), 0x00400000u);  // 2^-127
    EXPECT_EQ(after & ~kFloatStatusBits, (caller | kFlushSubnormals) & ~kFloatStatusBits);
}

}  // namespace
}  // namespace ostrel
