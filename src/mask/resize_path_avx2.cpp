// The resampler's kernels on the avx2 path: 8 lanes.
// Compiled with the instruction set's flags (CMakeLists.txt) and called only
// when the CPU has it (support/simd.cpp).
#include "mask/resize_lanes.hpp"

namespace ostrel::mask {

#if defined(__x86_64__)
Kernels avx2_kernels() noexcept { return Resize<8>::kernels(); }
#else
Kernels avx2_kernels() noexcept { return baseline_kernels(); }
#endif

}  // namespace ostrel::mask
