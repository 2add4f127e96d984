// The resampler's kernels on the avx512 path: 16 lanes.
// Compiled with the instruction set's flags (CMakeLists.txt) and called only
// when the CPU has it (support/simd.cpp).
#include "mask/resize_lanes.hpp"

namespace ostrel::mask {

#if defined(__x86_64__)
Kernels avx512_kernels() noexcept { return Resize<16>::kernels(); }
#else
Kernels avx512_kernels() noexcept { return baseline_kernels(); }
#endif

}  // namespace ostrel::mask
