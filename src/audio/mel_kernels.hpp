// What the mel stage's vector kernels work from and offer, as plain data and
// function pointers. The kernels are compiled once per SIMD path (see
// mel_lanes.hpp); this header holds no library type, so the per-path
// translation units include nothing whose inline functions could be shared
// between instruction sets.
#pragma once

#include <cstddef>

#include "support/simd.hpp"

namespace ostrel::audio {

// The bins [first, last) outside which a filter's weights are all zero.
struct BinRange {
    std::size_t first = 0;
    std::size_t last = 0;
};

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

// A filterbank as the kernels read it: filter b weights bins
// [ranges[b].first, ranges[b].last) with weights[offsets[b] ..] in bin
// order, and every other bin of `bins` with +0.0.
struct MelFilters {
    const BinRange* ranges = nullptr;
    const std::size_t* offsets = nullptr;
    const float* weights = nullptr;
    std::size_t bands = 0;
    std::size_t bins = 0;
};

struct MelKernels {
    std::size_t lanes = 0;

    // From filters.bins bins of spectra laid out as the FFT leaves them (bin
    // k of lane j: real part at k * 2 * lanes + j, imaginary part lanes
    // floats on): every bin's magnitude sqrt((re^2 + im^2) + floor) into
    // `magnitudes` (bins * lanes floats), then each filter's sum of
    // magnitude times weight over its range, in ascending bin order, into
    // energies[band * lanes + lane]. When any magnitude is NaN or infinite,
    // every filter sums all bins, as a dense product would.
    void (*mel_energies)(const float* spectrum, float floor, const MelFilters& filters, float* magnitudes,
                         float* energies) = nullptr;

    // `count` (a multiple of lanes) energies to normalised log-mel values in
    // place, each by the scalar rule's steps in order.
    void (*levels)(const LevelRule& rule, float* values, std::size_t count) = nullptr;

    // The correctly rounded log10 of `count` (a multiple of lanes) values:
    // the levels' own, for tests and benchmarks to call alone. `out` must not
    // overlap `in`.
    void (*log10)(const float* in, float* out, std::size_t count) = nullptr;
};

// The kernels of path P, built in mel_path.cpp (see on_simd_path()).
// Every path also has the kernels of the narrower widths down to 4 lanes,
// compiled for its instruction set, for batches of few frames: the table of
// the narrowest width that holds `at_least` lanes, or of the path's own
// width when none does. Every width gives the same bits.
template <SimdPath P>
MelKernels mel_kernels(std::size_t at_least) noexcept;

// The kernels of `path`, a path this CPU has.
MelKernels mel_kernels_for(SimdPath path, std::size_t at_least = simd_lanes(SimdPath::Avx512));

}  // namespace ostrel::audio
