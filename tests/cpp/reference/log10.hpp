// The module's log10 lanes on their own, for the tests and benchmarks that
// hold them to an oracle: the one-lane form as a scalar function, and the
// lanes of every SIMD path as a core of their own (Log10Kernels, compiled
// once per path as the module's cores are).
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/log10_lanes.hpp"
#include "support/simd.hpp"

namespace ostrel::simd {
namespace {

// One lane: the scalar form of a lane template, compiled from the same code.
template <>
struct VectorTypes<1> {
    typedef float F __attribute__((vector_size(4)));
    typedef std::int32_t I __attribute__((vector_size(4)));
    typedef std::uint32_t U __attribute__((vector_size(4)));
    typedef double D __attribute__((vector_size(8)));
    typedef std::int64_t L __attribute__((vector_size(8)));
};

}  // namespace
}  // namespace ostrel::simd

namespace ostrel::audio {

// log10(x) by the lanes' one-lane form.
inline float scalar_log10(float x) noexcept {
    float y = 0.0f;
    Log10Lanes<1>::log10<1>(&x, &y);
    return y;
}

// The lanes of one path: kernels_for<Log10Kernels>(path).
struct Log10Kernels {
    static constexpr bool kNarrowerWidths = false;

    std::size_t lanes = 0;
    // The log10 of `count` (a multiple of lanes) values; `out` must not overlap `in`.
    void (*log10)(const float* in, float* out, std::size_t count) = nullptr;
};

namespace {

template <std::size_t W>
struct Log10Table {
    static Log10Kernels kernels() noexcept { return Log10Kernels{W, &Log10Lanes<W>::log10_all}; }
};

}  // namespace
}  // namespace ostrel::audio
