// The log10 lanes of one SIMD path, at the path's own width.
#include "log10.hpp"

namespace ostrel::audio {

template <SimdPath P>
Log10Kernels log10_kernels() noexcept {
    constexpr std::size_t W = simd_lanes(P);
    return Log10Kernels{W, &Log10Lanes<W>::log10_all};
}

template Log10Kernels log10_kernels<SimdPath::OSTREL_SIMD_PATH>() noexcept;

}  // namespace ostrel::audio
