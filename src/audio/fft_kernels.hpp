// What the FFT's vector kernels work from and what they offer, as plain data
// and function pointers. The kernels are compiled once per SIMD path (see
// fft_lanes.hpp); this header is all the rest of the code sees of them, and
// it holds no library type, so the per-path translation units include nothing
// whose inline functions could be shared between instruction sets.
#pragma once

#include <cstddef>

#include "support/simd.hpp"

namespace ostrel::audio {

// The bins [first, last) outside which a filter's weights are all zero.
struct BinRange {
    std::size_t first = 0;
    std::size_t last = 0;
};

namespace fft_detail {

// What turns a batch's mel energies into normalised log-mel values, as plain
// data (LogMelLevels and MelNormalization are the scalar forms of its rule).
struct LevelRule {
    float min_level = 0.0f;
    float amplitude_scale = 1.0f;
    float log_multiplier = 1.0f;
    float ref_level_db = 0.0f;
    bool standardize = true;  // else the symmetric clip
    float mean = 0.0f;        // standardize: (x - mean) / deviation
    float deviation = 1.0f;
    float min_level_db = 0.0f;  // clip: min(max(8 ((x - min_level_db) / -min_level_db) - 4, -4), 4)
};

// One pass of the complex transform: sub-transforms of `length` points, each
// split by a butterfly of `radix` points, `stride` of them side by side.
struct Stage {
    std::size_t radix = 0;   // 2, 3, 4 or 5
    std::size_t length = 0;  // n
    std::size_t stride = 0;  // s; n * s is the transform's length
    // For q = 0 .. n/radix - 1 and k = 1 .. radix - 1, the twiddle
    // exp(-2 pi i q k / n) as (re, im) at index 2 * (q * (radix - 1) + k - 1).
    const float* twiddles = nullptr;
};

// Everything a real transform of 2 * half samples needs, shared read-only.
struct Tables {
    std::size_t half = 0;  // points of the complex transform
    const Stage* stages = nullptr;
    std::size_t stage_count = 0;
    // For k = 0 .. half: (cos, -sin) of 2 pi k / (2 * half), the rotation that
    // joins the even and odd halves of the spectrum.
    const float* join = nullptr;
    float sin_3 = 0.0f;  // sin(2 pi / 3)
    float cos_5[2] = {};  // cos(2 pi / 5), cos(4 pi / 5)
    float sin_5[2] = {};  // sin(2 pi / 5), sin(4 pi / 5)
};

// The kernels of one SIMD path. Buffers hold one value per lane side by side:
// a complex array of n points is n * 2 * lanes floats, point i's real parts at
// [2 i lanes, 2 i lanes + lanes) and its imaginary parts after them.
struct Kernels {
    std::size_t lanes = 0;

    // The spectra, bins 0 .. half, of `count` <= lanes real frames of
    // 2 * half samples: frame j starts at first + j * step and is multiplied
    // by `window` (2 * half values) unless that is null. Lanes from count on
    // transform zeros. `work` holds 4 * half * lanes floats, `spectrum`
    // (half + 1) * 2 * lanes.
    void (*spectra)(const Tables& tables, const float* first, std::size_t step, std::size_t count,
                    const float* window, float* work, float* spectrum) = nullptr;

    // From such spectra: every bin's magnitude sqrt((re^2 + im^2) + floor)
    // into `magnitudes` (bins * lanes floats), then for each of `bands` filters
    // (rows of `filters`, bins weights each) the sum over its range in
    // ascending bin order into energies[band * lanes + lane]. When any
    // magnitude is NaN or infinite, every filter sums all bins, as a dense
    // product would.
    void (*mel_energies)(const float* spectrum, std::size_t bins, float floor, const float* filters,
                         const BinRange* ranges, std::size_t bands, float* magnitudes, float* energies) = nullptr;

    // `count` (a multiple of lanes) energies to normalised log-mel values in
    // place, each by the scalar rule's steps in order.
    void (*levels)(const LevelRule& rule, float* values, std::size_t count) = nullptr;

    // The correctly rounded log10 of `count` (a multiple of lanes) values:
    // the levels' own, for tests and benchmarks to call alone. `out` must not
    // overlap `in`.
    void (*log10)(const float* in, float* out, std::size_t count) = nullptr;
};

// The kernels of path P, built in fft_path.cpp (see on_simd_path()).
template <SimdPath P>
Kernels path_kernels() noexcept;

}  // namespace fft_detail
}  // namespace ostrel::audio
