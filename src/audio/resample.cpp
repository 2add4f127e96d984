// Nearest-sample resampling of 44100 Hz audio to 16000 Hz.
#include "audio/resample.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "support/saturate.hpp"

namespace ostrel::audio {
namespace {

constexpr float kResampleRatio = std::bit_cast<float>(0x3EB9C278u);  // 16000 / 44100

}  // namespace

std::size_t resampled_length(std::size_t input_len) noexcept {
    return round_u64(static_cast<float>(input_len) * kResampleRatio);
}

std::vector<float> resample_nearest(std::span<const float> samples) {
    const std::size_t input_len = samples.size();
    const std::size_t output_len = resampled_length(input_len);
    std::vector<float> output(output_len);
    for (std::size_t n = 0; n < output_len; ++n) {
        // A true division: the reciprocal of the ratio would round differently.
        const std::uint64_t j = round_u64(static_cast<float>(n) / kResampleRatio);
        output[n] = samples[std::min<std::uint64_t>(j, input_len - 1)];
    }
    return output;
}

}  // namespace ostrel::audio
