// The choice of the log10 lanes by path.
#include "reference/log10.hpp"

namespace ostrel::audio {

Log10Kernels log10_kernels_for(SimdPath path) {
    return on_simd_path(path, []<SimdPath P>() { return log10_kernels<P>(); });
}

}  // namespace ostrel::audio
