#include <numeric>
#include <vector>

#include <gtest/gtest.h>

#include "audio/resample.hpp"

namespace ostrel::audio {
namespace {

TEST(ResampleNearest, PicksTheNearestInputSample) {
    std::vector<float> ramp(44100);
    std::iota(ramp.begin(), ramp.end(), 0.0f);
    const std::vector<float> out = resample_nearest(ramp);
    ASSERT_EQ(out.size(), 16000u);
    EXPECT_EQ(std::vector<float>(out.begin(), out.begin() + 6), (std::vector<float>{0, 3, 6, 8, 11, 14}));
    EXPECT_TRUE(resample_nearest(std::vector<float>{1.0f}).empty());
}

}  // namespace
}  // namespace ostrel::audio
