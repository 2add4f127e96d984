// The float the module returns for an 8-bit mask value v: v / 255, one
// single-precision division. Written once for a float and for a vector of
// floats, which the resampler's kernels divide lane by lane; internal linkage,
// as the per-path kernels include it.
#pragma once

namespace ostrel::mask {
namespace {

template <class F>
constexpr F unit_float(F value) noexcept {
    return value / 255.0f;
}

}  // namespace
}  // namespace ostrel::mask
