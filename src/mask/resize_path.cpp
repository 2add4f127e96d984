// The resampler's kernels on one SIMD path. CMakeLists.txt compiles this file
// once per path, with OSTREL_SIMD_PATH naming the path and that path's
// instruction set; each compilation builds that path's table alone.
#include "mask/resize_lanes.hpp"

namespace ostrel::mask {

template <SimdPath P>
ResizeKernels resize_kernels() noexcept {
    return ResizeLanes<simd_lanes(P)>::kernels();
}

template ResizeKernels resize_kernels<SimdPath::OSTREL_SIMD_PATH>() noexcept;

}  // namespace ostrel::mask
