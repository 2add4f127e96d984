// The FFT kernels on the baseline path: 4 lanes (SSE2 on x86_64, NEON on AArch64).
#include "audio/fft_lanes.hpp"

namespace ostrel::audio::fft_detail {

Kernels baseline_kernels() noexcept { return Lanes<4>::kernels(); }

}  // namespace ostrel::audio::fft_detail
