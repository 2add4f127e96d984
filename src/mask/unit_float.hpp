// The float the module returns for an 8-bit mask value v, v / 255 in one
// single-precision division, the rounding of a resampled sum to it, and the
// row layout's sum of one output,
// written once for a float and for a vector of floats (the kernels' lanes);
// internal linkage, as the per-path kernels include it.
#pragma once

#include <cstddef>
#include <type_traits>

namespace ostrel::mask {
namespace {

template <class F>
constexpr F unit_float(F value) noexcept {
    return value / 255.0f;
}

// A sum rounded to its 8-bit value v, returned as v / 255: below one half
// (NaN, from weights that cancel, included) 0, at or above 255 255, else
// t + 0.5 truncated. From one half to 255, t + 0.5 is exact in single
// precision or, below 1, rounds to a value in [1, 1.5], so truncating it
// rounds t half away from zero: for every float this gives what clamping
// and rounding halves away from zero give (checked over all 2^32 bit
// patterns). I is the integer type of F's width.
template <class F, class I>
F unit_float_of_sum(F t) noexcept {
    t = t >= 0.5f ? t : F{};
    t = t < 255.0f ? t : F{} + 255.0f;
    if constexpr (std::is_same_v<F, float>) {
        return unit_float(static_cast<float>(static_cast<I>(t + 0.5f)));
    } else {
        return unit_float(__builtin_convertvector(__builtin_convertvector(t + 0.5f, I), F));
    }
}

// One output's sum in the row layout: src[k * step] * w[k] over its n taps,
// from +0 in tap order, each product and sum rounded on its own; a step of
// 0 sums a window whose taps all read *src.
inline float window_sum(const float* src, std::size_t step, const float* w, std::size_t n) noexcept {
    float acc = 0.0f;
    for (std::size_t k = 0; k < n; ++k) acc = acc + src[k * step] * w[k];
    return acc;
}

}  // namespace
}  // namespace ostrel::mask
