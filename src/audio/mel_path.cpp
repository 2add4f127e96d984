// The mel stage's kernels on one SIMD path. CMakeLists.txt compiles this file
// once per path, with OSTREL_SIMD_PATH naming the path and that path's
// instruction set; each compilation builds that path's table alone.
#include "audio/mel_lanes.hpp"

namespace ostrel::audio {

template <SimdPath P>
MelKernels mel_kernels(std::size_t at_least) noexcept {
    constexpr std::size_t W = simd_lanes(P);
    if constexpr (W > 8) {
        if (at_least > 8) return MelLanes<W>::kernels();
    }
    if constexpr (W > 4) {
        if (at_least > 4) return MelLanes<8>::kernels();
    }
    return MelLanes<4>::kernels();
}

template MelKernels mel_kernels<SimdPath::OSTREL_SIMD_PATH>(std::size_t at_least) noexcept;

}  // namespace ostrel::audio
