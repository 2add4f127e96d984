// Nearest-sample resampling of 44100 Hz audio to 16000 Hz.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace ostrel::audio {

// 44100 Hz audio reduced to 16000 Hz by taking, for every output instant, the
// nearest input sample; no filtering.
std::vector<float> resample_nearest(std::span<const float> samples);

// The number of samples resample_nearest() makes of `input_len`.
std::size_t resampled_length(std::size_t input_len) noexcept;

}  // namespace ostrel::audio
