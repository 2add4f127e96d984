// Nearest-sample resampling of 44100 Hz audio to 16000 Hz.
#pragma once

#include <span>
#include <vector>

namespace ostrel::audio {

// 44100 Hz audio reduced to 16000 Hz by taking, for every output instant, the
// nearest input sample; no filtering.
std::vector<float> resample_nearest(std::span<const float> samples);

}  // namespace ostrel::audio
