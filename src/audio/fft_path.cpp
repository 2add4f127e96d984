// The FFT's kernels on one SIMD path. CMakeLists.txt compiles this file once
// per path, with OSTREL_SIMD_PATH naming the path and that path's instruction
// set; each compilation builds that path's table alone.
#include "audio/fft_lanes.hpp"

namespace ostrel::audio::fft_detail {

template <SimdPath P>
Kernels path_kernels() noexcept {
    return Lanes<simd_lanes(P)>::kernels();
}

template Kernels path_kernels<SimdPath::OSTREL_SIMD_PATH>() noexcept;

}  // namespace ostrel::audio::fft_detail
