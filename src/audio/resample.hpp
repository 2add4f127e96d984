// The rate rule of the audio calls, and the nearest-sample resampling of
// 44100 Hz audio to 16000 Hz that it asks for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ostrel::audio {

// Input at 44100 Hz is brought to the models' 16000 Hz by resample_nearest();
// input at any other rate is taken as 16000 Hz audio, as it is.
constexpr bool needs_resampling(std::uint32_t sample_rate) noexcept { return sample_rate == 44100; }

// 44100 Hz audio reduced to 16000 Hz by taking, for every output instant, the
// nearest input sample; no filtering.
std::vector<float> resample_nearest(std::span<const float> samples);

// The number of samples resample_nearest() makes of `input_len`.
std::size_t resampled_length(std::size_t input_len) noexcept;

}  // namespace ostrel::audio
