// The mel filterbank: the two mel scales, the filter edges, the triangular
// weights of each filter and the bin range each filter weights.
#include "audio/filterbank.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "audio/elementary.hpp"
#include "audio/levels.hpp"

namespace ostrel::audio {
namespace {

// Constants of the two mel scales, fixed to the bit.
constexpr float kHzPerMel = std::bit_cast<float>(0x42855555u);     // 200/3: Slaney, linear below 1 kHz
constexpr float kLogStartHz = std::bit_cast<float>(0x447A0000u);   // 1000.0
constexpr float kLogStartMel = std::bit_cast<float>(0x41700001u);  // 1000 / kHzPerMel in f32, 1 ulp above 15
constexpr float kLogRate = std::bit_cast<float>(0x3D8CCDBBu);      // ln(6.4) / 27
constexpr float kHtkCorner = std::bit_cast<float>(0x442F0000u);    // 700.0
constexpr float kHtkScale = std::bit_cast<float>(0x45223000u);     // 2595.0

float hz_to_mel(float hz, bool htk) {
    if (htk) return cr::log10(hz / kHtkCorner + 1.0f) * kHtkScale;
    if (hz >= kLogStartHz) return cr::ln(hz / kLogStartHz) / kLogRate + kLogStartMel;
    return hz / kHzPerMel;
}

float mel_to_hz(float mel, bool htk) {
    if (htk) return (cr::exp10(mel / kHtkScale) + (-1.0f)) * kHtkCorner;
    if (mel >= kLogStartMel) return cr::exp((mel - kLogStartMel) * kLogRate) * kLogStartHz;
    // Adding +0.0 turns a -0.0 into +0.0.
    return mel * kHzPerMel + 0.0f;
}

// min(max(v, 0), 1); a NaN ratio becomes 0, and -0.0 becomes +0.0.
float clamp_unit(float v) { return min_num(max_num(v, 0.0f), 1.0f); }

}  // namespace

std::vector<float> mel_frequencies(const MelConfig& config) {
    const float lo = config.fmin.value_or(0.0f);
    const float hi = config.fmax.value_or(config.sample_rate * 0.5f);
    const float mel_lo = hz_to_mel(lo, config.htk);
    const float mel_hi = hz_to_mel(hi, config.htk);

    // The grid is mel_lo plus whole steps; its last point is not forced onto mel_hi.
    const float step = (mel_hi - mel_lo) / static_cast<float>(config.n_mels + 1);
    std::vector<float> points(config.n_mels + 2);
    for (std::size_t k = 0; k < points.size(); ++k) {
        points[k] = mel_to_hz(mel_lo + step * static_cast<float>(k), config.htk);
    }
    return points;
}

namespace {

// One triangular filter: it rises from `lower` to the next edge and falls from
// there to `upper`, each ratio a bin's distance from an outer edge over that
// side's width.
struct Triangle {
    float lower, upper;
    float lower_width, upper_width;

    float rise(float bin) const { return (-(lower - bin)) / lower_width; }
    float fall(float bin) const { return (upper - bin) / upper_width; }

    // With finite edges and positive widths, a bin below the lower edge or
    // above the upper edge has one negative ratio and so weight +0.0.
    bool bounded() const {
        return std::isfinite(lower) && std::isfinite(upper) && lower_width > 0.0f && upper_width > 0.0f &&
               std::isfinite(lower_width) && std::isfinite(upper_width);
    }
};

// maxNum and minNum differ from a plain comparison only when an operand is
// NaN or when +0.0 meets -0.0; neither can happen while both ratios are
// non-zero numbers.
bool plain_ratios(float rise, float fall) { return rise != 0.0f && fall != 0.0f && rise == rise && fall == fall; }

// The weights min(clamp(rise), clamp(fall)) of bins lo .. hi - 1 into `row`:
// a branch-free loop across vector lanes with plain comparisons, then the
// exact rule for the rare bins that need it.
void fill_triangle(const Triangle& t, const float* bins, std::size_t lo, std::size_t hi, float* row) {
    int exact_needed = 0;
    for (std::size_t j = lo; j < hi; ++j) {
        const float rise = t.rise(bins[j]);
        const float fall = t.fall(bins[j]);
        const float r = rise > 0.0f ? (rise < 1.0f ? rise : 1.0f) : 0.0f;
        const float f = fall > 0.0f ? (fall < 1.0f ? fall : 1.0f) : 0.0f;
        row[j] = r < f ? r : f;
        exact_needed |= static_cast<int>(!plain_ratios(rise, fall));
    }
    for (std::size_t j = lo; exact_needed != 0 && j < hi; ++j) {
        const float rise = t.rise(bins[j]);
        const float fall = t.fall(bins[j]);
        if (!plain_ratios(rise, fall)) row[j] = min_num(clamp_unit(rise), clamp_unit(fall));
    }
}

}  // namespace

Matrix mel(MelConfig config) {
    const std::size_t n_bins = config.n_fft / 2 + 1;
    const std::size_t n_mels = config.n_mels;

    const float bin_hz = config.sample_rate / static_cast<float>(config.n_fft);
    std::vector<float> bin_frequencies(n_bins);
    for (std::size_t j = 0; j < n_bins; ++j) bin_frequencies[j] = static_cast<float>(j) * bin_hz;
    const bool bins_ascending = bin_hz > 0.0f && std::isfinite(bin_hz);
    const float* bins = bin_frequencies.data();

    const std::vector<float> mel_points = mel_frequencies(config);
    Matrix filters{n_mels, n_bins, std::vector<float>(n_mels * n_bins, 0.0f)};
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

namespace {

// Whether any of w[0 .. 31] is other than +0.0 or -0.0 (NaN included), read
// as bits four lanes at a time.
bool any_nonzero32(const float* w) {
    typedef std::uint32_t U4 __attribute__((vector_size(16)));
    U4 bits = {};
    for (std::size_t k = 0; k < 32; k += 4) {
        U4 v;
        std::memcpy(&v, w + k, sizeof v);
        bits |= v;
    }
    bits &= 0x7FFFFFFFu;
    return (bits[0] | bits[1] | bits[2] | bits[3]) != 0;
}

}  // namespace

std::vector<BinRange> nonzero_bin_ranges(const Matrix& filters) {
    std::vector<BinRange> ranges(filters.rows);
    for (std::size_t i = 0; i < filters.rows; ++i) {
        const float* w = filters.row(i).data();
        const std::size_t n = filters.cols;
        // `!(w == 0)` keeps NaN weights inside the range, as a dense product
        // would see them. Runs of 32 zeros are skipped first.
        std::size_t first = 0;
        while (first + 32 <= n && !any_nonzero32(w + first)) first += 32;
        while (first < n && w[first] == 0.0f) ++first;
        if (first == n) continue;
        std::size_t last = n;
        while (last >= first + 32 && !any_nonzero32(w + last - 32)) last -= 32;
        while (w[last - 1] == 0.0f) --last;
        ranges[i] = BinRange{first, last};
    }
    return ranges;
}

}  // namespace ostrel::audio
