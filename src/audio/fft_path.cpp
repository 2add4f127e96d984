// The FFT's kernels on one SIMD path. CMakeLists.txt compiles this file once
// per path, with OSTREL_SIMD_PATH naming the path and that path's instruction
// set; each compilation builds that path's table alone.
#include "audio/fft_lanes.hpp"

namespace ostrel::audio {

template <SimdPath P>
FftKernels fft_kernels() noexcept {
    return FftLanes<simd_lanes(P)>::kernels();
}

template FftKernels fft_kernels<SimdPath::OSTREL_SIMD_PATH>() noexcept;

}  // namespace ostrel::audio
