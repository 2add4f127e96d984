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
// 8-bit rounding of masks hide it), so the guard is held to it here.
TEST(FloatModeGuard, KeepsSubnormalsInsideAndGivesTheCallersModeBack) {
    const FloatControl caller = read_float_control();
    const volatile float smallest_normal = 0x1p-126f;
    write_float_control(caller | kFlushSubnormals);
    EXPECT_EQ(smallest_normal * 0.5f, 0.0f);
    {
        const FloatModeGuard guard;
        EXPECT_EQ(smallest_normal * 0.5f, 0x1p-127f);
    }
    EXPECT_EQ(read_float_control() & ~kFloatStatusBits, (caller | kFlushSubnormals) & ~kFloatStatusBits);
    write_float_control(caller);
}

}  // namespace
}  // namespace ostrel
