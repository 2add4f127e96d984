// The mel stage written once for W lanes, one frame per lane: the banded mel
// sums of a batch of spectra, then the log-mel levels and their
// normalisation. Included only by the path source (src/simd_path.cpp),
// compiled once for each SIMD path's instruction set; everything here has
// internal linkage.
//
// What keeps the bits: every lane runs the rule's operations in their order
// (LevelRule), each rounded on its own, and sums a filter's bins in ascending
// order from +0; the log10 is correctly rounded on every lane
// (log10_lanes.hpp). So a frame's values do not depend on its lane, its batch
// or W.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/log10_lanes.hpp"
#include "audio/mel_kernels.hpp"
#include "support/lanes.hpp"

namespace ostrel::audio {
namespace {

template <std::size_t W>
struct MelLanes {
    using Vec = simd::Vec<W>;
    using F = typename Vec::F;
    using I = typename Vec::I;

    static F load(const float* p) { return Vec::loadf(p); }
    static void store(float* p, F v) { Vec::store(p, v); }

    static void mel_energies(const float* spectrum, float floor, const MelFilters& filters, float* magnitudes,
                             float* energies) {
        const std::size_t bins = filters.bins;
        // The squares are summed first and the floor added to the sum. The
        // sum is not negative, so its square root is finite exactly where
        // the sum is: the check needs no pass of its own.
        // The square root is correctly rounded on every instruction set;
        // taken lane by lane, the compiler makes it one vector square root.
        I finite = {};
        finite = finite == 0;
        for (std::size_t k = 0; k < bins; ++k) {
            const F re = load(spectrum + k * 2 * W);
            const F im = load(spectrum + k * 2 * W + W);
            const F sum = (re * re + im * im) + floor;
            finite &= sum <= 3.40282347e38f;
            F magnitude;
            for (std::size_t j = 0; j < W; ++j) magnitude[j] = __builtin_sqrtf(sum[j]);
            store(magnitudes + k * W, magnitude);
        }

        bool all_finite = true;
        for (std::size_t j = 0; j < W; ++j) all_finite = all_finite && finite[j] != 0;

        // Weights outside a filter's range are zero and add +0.0 to a sum of
        // non-negative finite terms, so the range alone gives the dense
        // product's value; a NaN or infinite magnitude reaches every filter
        // (NaN * 0 and inf * 0 are NaN), so then every bin is summed.
        // Four bins a step, each added in turn: the same sums as one bin a
        // step, with a quarter of the loop's own instructions.
        for (std::size_t b = 0; b < filters.bands; ++b) {
            const std::size_t first = filters.ranges[b].first;
            const std::size_t last = filters.ranges[b].last;
            const float* w = filters.weights + filters.offsets[b];
            F energy = {};
            if (all_finite) {
                const float* m = magnitudes + first * W;
                const std::size_t n = last > first ? last - first : 0;
                std::size_t k = 0;
                for (; k + 4 <= n; k += 4) {
                    energy = energy + load(m + k * W) * w[k];
                    energy = energy + load(m + (k + 1) * W) * w[k + 1];
                    energy = energy + load(m + (k + 2) * W) * w[k + 2];
                    energy = energy + load(m + (k + 3) * W) * w[k + 3];
                }
                for (; k < n; ++k) energy = energy + load(m + k * W) * w[k];
            } else {
                for (std::size_t k = 0; k < bins; ++k) {
                    const float weight = k >= first && k < last ? w[k - first] : 0.0f;
                    energy = energy + load(magnitudes + k * W) * weight;
                }
            }
            store(energies + b * W, energy);
        }
    }

    // max_num(a, b) and min_num(a, b) with a constant b that is not NaN.
    static F max_num(F a, float b) {
        const I keep = a > b;
        return (F)(((I)a & keep) | ((I)(F{} + b) & ~keep));
    }
    static F min_num(F a, float b) {
        const I keep = a < b;
        return (F)(((I)a & keep) | ((I)(F{} + b) & ~keep));
    }

    // The levels, then the normalisation, on every lane: the floor and the
    // scale, the log10 of a block of vectors, then the rest. The clip's
    // maxNum then minNum take a NaN to the lower bound.
    static void levels(const LevelRule& rule, float* values, std::size_t count) {
        using Log10 = Log10Lanes<W>;
        constexpr std::size_t kChunk = Log10::kBlock * W;
        for (std::size_t i = 0; i < count; i += kChunk) {
            const std::size_t n = count - i < kChunk ? count - i : kChunk;
            float scaled[kChunk];
            float logs[kChunk];
            for (std::size_t k = 0; k < n; k += W) {
                store(scaled + k, max_num(load(values + i + k), rule.min_level) * rule.amplitude_scale);
            }
            Log10::log10_all(scaled, logs, n);
            for (std::size_t k = 0; k < n; k += W) {
                const F level = rule.log_multiplier * load(logs + k) - rule.ref_level_db;
                F out;
                if (rule.standardize) {
                    out = (level - rule.mean) / rule.deviation;
                } else {
                    constexpr float kBound = LevelRule::kClipBound;
                    F v = level - rule.min_level_db;
                    v = v / (-rule.min_level_db);
                    v = (2.0f * kBound) * v;
                    v = v - kBound;
                    out = min_num(max_num(v, -kBound), kBound);
                }
                store(values + i + k, out);
            }
        }
    }

    static MelKernels kernels() noexcept { return MelKernels{W, &mel_energies, &levels}; }
};

}  // namespace
}  // namespace ostrel::audio
