// The mel filterbank: triangular filters on the Slaney (or HTK) mel scale
// over the bins of a spectrum, and the range of bins each filter weights. All
// arithmetic is single precision, one rounding per operation, in the order
// written, with the module's own logarithms and exponentials. Everything is
// constexpr: the models' filterbank is a table the compiler computes
// (kModelFilterbank), with the bits the same functions give at run time.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "audio/elementary.hpp"
#include "audio/mel_kernels.hpp"
#include "support/filled.hpp"

namespace ostrel::audio {

// A row-major two-dimensional f32 array.
struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<float> values;

    constexpr float at(std::size_t row, std::size_t col) const { return values[row * cols + col]; }
    constexpr std::span<const float> row(std::size_t r) const { return {values.data() + r * cols, cols}; }
};

struct MelConfig {
    float sample_rate = 16000.0f;
    std::size_t n_fft = 800;
    std::size_t n_mels = 80;
    std::optional<float> fmin;  // absent: 0 Hz
    std::optional<float> fmax;  // absent: sample_rate / 2
    bool htk = false;           // HTK mel formula instead of the Slaney scale
    bool normalize = true;      // scale each filter by 2 / its width in Hz
};

namespace mel_scale {

// Constants of the two mel scales, fixed to the bit.
inline constexpr float kHzPerMel = std::bit_cast<float>(0x42855555u);     // 200/3: Slaney, linear below 1 kHz
inline constexpr float kLogStartHz = std::bit_cast<float>(0x447A0000u);   // 1000.0
inline constexpr float kLogStartMel = std::bit_cast<float>(0x41700001u);  // 1000 / kHzPerMel in f32, 1 ulp above 15
inline constexpr float kLogRate = std::bit_cast<float>(0x3D8CCDBBu);      // ln(6.4) / 27
inline constexpr float kHtkCorner = std::bit_cast<float>(0x442F0000u);    // 700.0
inline constexpr float kHtkScale = std::bit_cast<float>(0x45223000u);     // 2595.0

constexpr float hz_to_mel(float hz, bool htk) {
    if (htk) return cr::log10(hz / kHtkCorner + 1.0f) * kHtkScale;
    if (hz >= kLogStartHz) return cr::ln(hz / kLogStartHz) / kLogRate + kLogStartMel;
    return hz / kHzPerMel;
}

constexpr float mel_to_hz(float mel, bool htk) {
    if (htk) return (cr::exp10(mel / kHtkScale) + (-1.0f)) * kHtkCorner;
    if (mel >= kLogStartMel) return cr::exp((mel - kLogStartMel) * kLogRate) * kLogStartHz;
    // Adding +0.0 turns a -0.0 into +0.0.
    return mel * kHzPerMel + 0.0f;
}

constexpr bool finite(float v) { return v - v == 0.0f; }

// min(max(v, 0), 1); a NaN ratio becomes 0, and -0.0 becomes +0.0.
constexpr float clamp_unit(float v) { return min_num(max_num(v, 0.0f), 1.0f); }

// One triangular filter: it rises from `lower` to the next edge and falls from
// there to `upper`, each ratio a bin's distance from an outer edge over that
// side's width.
struct Triangle {
    float lower, upper;
    float lower_width, upper_width;

    constexpr float rise(float bin) const { return (-(lower - bin)) / lower_width; }
    constexpr float fall(float bin) const { return (upper - bin) / upper_width; }

    // With finite edges and positive widths, a bin below the lower edge or
    // above the upper edge has one negative ratio and so weight +0.0.
    constexpr bool bounded() const {
        return finite(lower) && finite(upper) && lower_width > 0.0f && upper_width > 0.0f && finite(lower_width) &&
               finite(upper_width);
    }
};

// maxNum and minNum differ from a plain comparison only when an operand is
// NaN or when +0.0 meets -0.0; neither can happen while both ratios are
// non-zero numbers.
constexpr bool plain_ratios(float rise, float fall) {
    return rise != 0.0f && fall != 0.0f && rise == rise && fall == fall;
}

// The weights min(clamp(rise), clamp(fall)) of bins lo .. hi - 1 into `row`:
// plain comparisons, and the exact rule for the rare bins that need it.
constexpr void fill_triangle(const Triangle& t, const float* bins, std::size_t lo, std::size_t hi, float* row) {
    for (std::size_t j = lo; j < hi; ++j) {
        const float rise = t.rise(bins[j]);
        const float fall = t.fall(bins[j]);
        if (plain_ratios(rise, fall)) {
            const float r = rise > 0.0f ? (rise < 1.0f ? rise : 1.0f) : 0.0f;
            const float f = fall > 0.0f ? (fall < 1.0f ? fall : 1.0f) : 0.0f;
            row[j] = r < f ? r : f;
        } else {
            row[j] = min_num(clamp_unit(rise), clamp_unit(fall));
        }
    }
}

}  // namespace mel_scale

// The n_mels + 2 filter edges in Hz: equal steps on the mel scale from fmin
// to fmax, converted back to Hz. Filter i rises from edge i to edge i + 1 and
// falls to edge i + 2.
constexpr std::vector<float> mel_frequencies(const MelConfig& config) {
    const float lo = config.fmin.value_or(0.0f);
    const float hi = config.fmax.value_or(config.sample_rate * 0.5f);
    const float mel_lo = mel_scale::hz_to_mel(lo, config.htk);
    const float mel_hi = mel_scale::hz_to_mel(hi, config.htk);

    // The grid is mel_lo plus whole steps; its last point is not forced onto mel_hi.
    const float step = (mel_hi - mel_lo) / static_cast<float>(config.n_mels + 1);
    std::vector<float> points = filled(config.n_mels + 2, 0.0f);
    for (std::size_t k = 0; k < points.size(); ++k) {
        points[k] = mel_scale::mel_to_hz(mel_lo + step * static_cast<float>(k), config.htk);
    }
    return points;
}

// The (n_mels, n_fft/2 + 1) triangular mel filterbank.
constexpr Matrix mel(const MelConfig& config) {
    using namespace mel_scale;
    const std::size_t n_bins = config.n_fft / 2 + 1;
    const std::size_t n_mels = config.n_mels;

    const float bin_hz = config.sample_rate / static_cast<float>(config.n_fft);
    std::vector<float> bin_frequencies = filled(n_bins, 0.0f);
    for (std::size_t j = 0; j < n_bins; ++j) bin_frequencies[j] = static_cast<float>(j) * bin_hz;
    const bool bins_ascending = bin_hz > 0.0f && finite(bin_hz);
    const float* bins = bin_frequencies.data();

    const std::vector<float> mel_points = mel_frequencies(config);
    Matrix filters{n_mels, n_bins, filled(n_mels * n_bins, 0.0f)};
    for (std::size_t i = 0; i < n_mels; ++i) {
        const Triangle t{mel_points[i], mel_points[i + 2], mel_points[i + 1] - mel_points[i],
                         mel_points[i + 2] - mel_points[i + 1]};
        float* row = filters.values.data() + i * n_bins;
        // Bins outside a bounded triangle keep the zero-filled row's +0.0.
        std::size_t lo = 0, hi = n_bins;
        if (bins_ascending && t.bounded()) {
            lo = static_cast<std::size_t>(std::lower_bound(bins, bins + n_bins, t.lower) - bins);
            hi = static_cast<std::size_t>(std::upper_bound(bins, bins + n_bins, t.upper) - bins);
        }
        fill_triangle(t, bins, lo, hi, row);
        if (config.normalize) {
            // Equal area: 2 over the filter's full width in Hz.
            const float scale = 2.0f / (mel_points[i + 2] - mel_points[i]);
            for (std::size_t j = 0; j < n_bins; ++j) row[j] = row[j] * scale;
        }
    }
    return filters;
}

// Per filter, the smallest range holding every weight that is not zero
// (NaN weights count as non-zero). An all-zero filter gets an empty range.
constexpr std::vector<BinRange> nonzero_bin_ranges(const Matrix& filters) {
    std::vector<BinRange> ranges = filled(filters.rows, BinRange{});
    for (std::size_t i = 0; i < filters.rows; ++i) {
        const std::span<const float> w = filters.row(i);
        // `!(w == 0)` keeps NaN weights inside the range, as a dense product would see them.
        std::size_t first = 0;
        while (first < w.size() && w[first] == 0.0f) ++first;
        if (first == w.size()) continue;
        std::size_t last = w.size();
        while (w[last - 1] == 0.0f) --last;
        ranges[i] = BinRange{first, last};
    }
    return ranges;
}

// A filterbank as the mel kernels read it: each filter's weights over its
// range alone, back to back (MelFilters).
template <std::size_t Bands, std::size_t Bins, std::size_t Weights>
struct CompactFilterbank {
    BinRange ranges[Bands] = {};
    std::size_t offsets[Bands] = {};
    float weights[Weights] = {};

    constexpr MelFilters view() const { return MelFilters{ranges, offsets, weights, Bands, Bins}; }
};

// The weights a filterbank of `config` keeps in compact form.
constexpr std::size_t compact_weight_count(const MelConfig& config) {
    std::size_t count = 0;
    for (const BinRange& r : nonzero_bin_ranges(mel(config))) count += r.last - r.first;
    return count;
}

template <std::size_t Bands, std::size_t Bins, std::size_t Weights>
constexpr CompactFilterbank<Bands, Bins, Weights> compact_filterbank(const MelConfig& config) {
    const Matrix filters = mel(config);
    const std::vector<BinRange> ranges = nonzero_bin_ranges(filters);
    CompactFilterbank<Bands, Bins, Weights> out;
    std::size_t offset = 0;
    for (std::size_t b = 0; b < Bands; ++b) {
        out.ranges[b] = ranges[b];
        out.offsets[b] = offset;
        for (std::size_t k = ranges[b].first; k < ranges[b].last; ++k) out.weights[offset++] = filters.at(b, k);
    }
    return out;
}

// The filterbank both models use: 80 Slaney-scale, area-normalised bands from
// 55 Hz to 7600 Hz over the 401 bins of an 800-sample frame at 16 kHz.
inline constexpr MelConfig kModelMel{16000.0f, 800, 80, 55.0f, 7600.0f, false, true};
inline constexpr std::size_t kModelBins = 401;
inline constexpr auto kModelFilterbank =
    compact_filterbank<80, kModelBins, compact_weight_count(kModelMel)>(kModelMel);

}  // namespace ostrel::audio
