// The resampler's kernels on the baseline path: 4 lanes (SSE2 on x86_64, NEON on AArch64).
#include "mask/resize_lanes.hpp"

namespace ostrel::mask {

Kernels baseline_kernels() noexcept { return Resize<4>::kernels(); }

}  // namespace ostrel::mask
