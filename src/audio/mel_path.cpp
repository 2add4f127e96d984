// The mel stage's kernels on one SIMD path. CMakeLists.txt compiles this file
// once per path, with OSTREL_SIMD_PATH naming the path and that path's
// instruction set; each compilation builds that path's table alone.
#include "audio/mel_lanes.hpp"

namespace ostrel::audio {

template <SimdPath P>
MelKernels mel_kernels() noexcept {
    return MelLanes<simd_lanes(P)>::kernels();
}

template MelKernels mel_kernels<SimdPath::OSTREL_SIMD_PATH>() noexcept;

}  // namespace ostrel::audio
