// The module's log10 lanes on their own, for the tests and benchmarks that
// hold them to an oracle: the one-lane form as a scalar function, and the
// lanes of every SIMD path (log10_path.cpp, compiled once per path as the
// module's kernels are).
#pragma once

#include <cstddef>

#include "audio/log10_lanes.hpp"
#include "support/simd.hpp"

namespace ostrel::audio {

// log10(x) by the lanes' one-lane form.
inline float scalar_log10(float x) noexcept {
    float y = 0.0f;
    Log10Lanes<1>::log10<1>(&x, &y);
    return y;
}

struct Log10Kernels {
    std::size_t lanes = 0;
    // The log10 of `count` (a multiple of lanes) values; `out` must not overlap `in`.
    void (*log10)(const float* in, float* out, std::size_t count) = nullptr;
};

template <SimdPath P>
Log10Kernels log10_kernels() noexcept;

// The lanes of `path`, a path this CPU has.
Log10Kernels log10_kernels_for(SimdPath path);

}  // namespace ostrel::audio
