// One SIMD core's table of kernels on one path. CMakeLists.txt compiles this
// file once for every core and every path of the target architecture
// (ostrel_simd_core), with that path's instruction set and
//   OSTREL_SIMD_PATH          the path, an enumerator of SimdPath;
//   OSTREL_SIMD_LANES_HEADER  the core's lane header, which defines
//   OSTREL_SIMD_LANES         its lane template, whose kernels() is the table at W lanes;
//   OSTREL_SIMD_KERNELS       the table's type.
// The lane templates have internal linkage, so no code compiled for a wide
// path can be linked in where the baseline runs; each compilation defines
// its path's table alone.
#include OSTREL_SIMD_LANES_HEADER

namespace ostrel {
namespace {

// The table of the narrowest width from Width up to W that holds
// `at_least` lanes, or of W.
template <template <std::size_t> class Lanes, std::size_t Width, std::size_t W>
auto narrowest_kernels(std::size_t at_least) noexcept {
    if constexpr (Width < W) {
        if (at_least > Width) return narrowest_kernels<Lanes, 2 * Width, W>(at_least);
    }
    return Lanes<Width>::kernels();
}

}  // namespace

template <>
OSTREL_SIMD_KERNELS path_kernels<OSTREL_SIMD_KERNELS, SimdPath::OSTREL_SIMD_PATH>(
    [[maybe_unused]] std::size_t at_least) noexcept {
    constexpr std::size_t W = simd_lanes(SimdPath::OSTREL_SIMD_PATH);
    if constexpr (OSTREL_SIMD_KERNELS::kNarrowerWidths) {
        return narrowest_kernels<OSTREL_SIMD_LANES, 4, W>(at_least);
    } else {
        return OSTREL_SIMD_LANES<W>::kernels();
    }
}

}  // namespace ostrel
