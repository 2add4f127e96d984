// The FFT's kernels on one SIMD path. CMakeLists.txt compiles this file once
// per path, with OSTREL_SIMD_PATH naming the path and that path's instruction
// set; each compilation builds that path's table alone.
#include "audio/fft_lanes.hpp"

namespace ostrel::audio {

template <SimdPath P>
FftKernels fft_kernels(std::size_t at_least) noexcept {
    constexpr std::size_t W = simd_lanes(P);
    if constexpr (W > 8) {
        if (at_least > 8) return FftLanes<W>::kernels();
    }
    if constexpr (W > 4) {
        if (at_least > 4) return FftLanes<8>::kernels();
    }
    return FftLanes<4>::kernels();
}

template FftKernels fft_kernels<SimdPath::OSTREL_SIMD_PATH>(std::size_t at_least) noexcept;

}  // namespace ostrel::audio
