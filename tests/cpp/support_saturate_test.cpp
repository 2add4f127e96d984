#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "support/saturate.hpp"

namespace ostrel {
namespace {

TEST(Conversions, TruncateOrRoundHalfAwayAndSaturate) {
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const struct {
        float in;
        std::uint64_t truncated, rounded;
    } cases[] = {{-1.0f, 0, 0}, {std::numeric_limits<float>::quiet_NaN(), 0, 0}, {0.5f, 0, 1},
                 {2.5f, 2, 3},  {2.4999998f, 2, 2},                            {1e30f, max, max}};
    for (const auto& c : cases) {
        EXPECT_EQ(saturating_truncate<std::uint64_t>(c.in), c.truncated) << c.in;
        EXPECT_EQ(round_u64(c.in), c.rounded) << c.in;
    }
}

}  // namespace
}  // namespace ostrel
