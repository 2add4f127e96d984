#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "audio/filterbank.hpp"
#include "audio/transforms.hpp"
#include "every_simd_path.hpp"
#include "reference/audio_model.hpp"

namespace ostrel::audio {
namespace {

TEST(Mel, ModelFilterbankMatchesReferenceValues) {
    const std::vector<float> points = mel_frequencies(kModelMel);
    EXPECT_EQ(points[0], 55.0f);
    EXPECT_NEAR(points[1], 90.946f, 0.001f);
    EXPECT_NEAR(points[3], 162.838f, 0.001f);
    EXPECT_NEAR(points[81], 7600.0015f, 0.0003f);  // 3 ulps above 7600: the mel round trip is not exact

    const Matrix f = mel(kModelMel);
    ASSERT_EQ(f.rows, 80u);
    ASSERT_EQ(f.cols, 401u);
    const float filter0[] = {0.0038696f, 0.019348f, 0.020812f, 0.0053341f};
    for (std::size_t j = 0; j < 4; ++j) EXPECT_NEAR(f.at(0, 3 + j), filter0[j], 5e-7f) << "bin " << 3 + j;

    const std::vector<BinRange> ranges = nonzero_bin_ranges(f);
    const std::size_t expected[][3] = {{0, 3, 7}, {1, 5, 9}, {79, 353, 381}};
    for (const auto& [i, first, last] : expected) {
        EXPECT_EQ(ranges[i].first, first) << "filter " << i;
        EXPECT_EQ(ranges[i].last, last) << "filter " << i;
    }
    for (std::size_t i = 0; i < f.rows; ++i) {
        const float sum = std::accumulate(f.row(i).begin(), f.row(i).end(), 0.0f);
        EXPECT_TRUE(sum > 0.048f && sum < 0.052f) << "filter " << i << " sums to " << sum;
        EXPECT_LE(*std::max_element(f.row(i).begin(), f.row(i).end()), 0.027f);
    }

    MelConfig htk = kModelMel;
    htk.htk = true;
    EXPECT_NEAR(mel_frequencies(htk)[0], 55.000008f, 2e-6f);
}

// The taper and filterbank are tables the compiler evaluates; the same
// functions called at run time (on a length it cannot see) give their bits.
TEST(Mel, ConstantTablesHoldTheBitsOfTheRunTimeComputation) {
    volatile std::size_t n_fft = 800;
    MelConfig config = kModelMel;
    config.n_fft = n_fft;
    const std::vector<float> taper = hann_taper(n_fft);
    for (std::size_t n = 0; n < 800; ++n) ASSERT_EQ(std::bit_cast<std::uint32_t>(kModelTaper[n]), std::bit_cast<std::uint32_t>(taper[n])) << n;
    const Matrix f = mel(config);
    const std::vector<BinRange> ranges = nonzero_bin_ranges(f);
    for (std::size_t b = 0; b < 80; ++b) {
        const BinRange r = kModelFilterbank.ranges[b];
        ASSERT_TRUE(r.first == ranges[b].first && r.last == ranges[b].last) << "filter " << b;
        for (std::size_t k = r.first; k < r.last; ++k) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(kModelFilterbank.weights[kModelFilterbank.offsets[b] + k - r.first]),
                      std::bit_cast<std::uint32_t>(f.at(b, k)))
                << "filter " << b << " bin " << k;
        }
    }
}

// Ranges run from the first to one past the last weight that is not ±0
// (NaN and the smallest subnormal count), whatever the row's length.
TEST(Mel, NonzeroRangesMatchAPlainScan) {
    std::mt19937 rng(5);
    const float specials[] = {-0.0f, std::numeric_limits<float>::quiet_NaN(),
                              std::numeric_limits<float>::denorm_min(), 0.25f};
    for (std::size_t cols : {1u, 7u, 8u, 9u, 17u, 64u, 401u}) {
        Matrix f{64, cols, std::vector<float>(64 * cols, 0.0f)};
        for (std::size_t i = 1; i < f.rows; ++i) {
            for (int k = static_cast<int>(rng() % 3); k > 0; --k) f.values[i * cols + rng() % cols] = specials[rng() % 4];
        }
        const std::vector<BinRange> ranges = nonzero_bin_ranges(f);
        for (std::size_t i = 0; i < f.rows; ++i) {
            std::size_t first = cols, last = 0;
            for (std::size_t j = 0; j < cols; ++j) {
                if (f.at(i, j) == 0.0f) continue;
                first = std::min(first, j);
                last = j + 1;
            }
            const BinRange want = first == cols ? BinRange{} : BinRange{first, last};
            EXPECT_EQ(ranges[i].first, want.first) << cols << " columns, row " << i;
            EXPECT_EQ(ranges[i].last, want.last) << cols << " columns, row " << i;
        }
    }
}

// The full product of filterbank and magnitudes, every bin in ascending order.
std::vector<float> dense_log_mel(std::span<const Complex> s, const Matrix& f) {
    std::vector<float> out(f.rows);
    for (std::size_t i = 0; i < f.rows; ++i) {
        float e = 0.0f;
        for (std::size_t k = 0; k < f.cols; ++k) {
            e = e + f.at(i, k) * std::sqrt((s[k].re * s[k].re + s[k].im * s[k].im) + 1e-9f);
        }
        out[i] = 20.0f * scalar_log10(std::fmax(e, 1e-5f)) - 20.0f;
    }
    return out;
}

// The mel kernels sum each filter over its non-zero bins alone; that must
// give the full product's bits: for finite spectra whose magnitudes span
// many decades, and for a NaN or infinity in any bin, which reaches every
// band through 0 * NaN or 0 * inf (a NaN gives the floor everywhere; an
// infinity too, except in the bands that weight it).
OSTREL_EVERY_SIMD_PATH(MelOnEveryPath);

TEST_P(MelOnEveryPath, RangeLimitedSumEqualsTheFullProduct) {
    const MelKernels kernels = kernels_for<MelKernels>(GetParam());
    const std::size_t lanes = kernels.lanes;
    // The levels alone: standardising by 0 and 1 leaves every value as it is.
    LevelRule rule = level_rule(LogMelLevels{1e-5f, 1.0f, 20.0f, 20.0f}, MelNormalization::standardize());
    rule.mean = 0.0f;
    rule.deviation = 1.0f;
    const Matrix f = mel(kModelMel);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const std::pair<std::size_t, Complex> spoilers[] = {
        {0, {0.0f, 0.0f}}, {0, {nan, 0.0f}}, {200, {1.0f, nan}}, {400, {nan, nan}}, {100, {0.0f, -inf}}, {150, {3e30f, 0.0f}}};
    std::mt19937 rng(7);
    std::normal_distribution<float> dist(0.0f, 3.0f);
    for (const auto& [bin, value] : spoilers) {
        std::vector<Complex> s(kModelBins);
        for (std::size_t k = 0; k < s.size(); ++k) {
            const float scale = std::pow(10.0f, static_cast<float>(k % 13) - 6.0f);
            s[k] = Complex{dist(rng) * scale, dist(rng) * scale};
        }
        s[bin] = value;
        // Every lane holds the spectrum, laid out as the FFT leaves it.
        std::vector<float> spectrum(kModelBins * 2 * lanes), magnitudes(kModelBins * lanes), got(kBands * lanes);
        for (std::size_t k = 0; k < kModelBins; ++k) {
            for (std::size_t j = 0; j < lanes; ++j) {
                spectrum[k * 2 * lanes + j] = s[k].re;
                spectrum[k * 2 * lanes + lanes + j] = s[k].im;
            }
        }
        kernels.mel_energies(spectrum.data(), kMagnitudeFloor, kModelFilterbank.view(), magnitudes.data(), got.data());
        kernels.levels(rule, got.data(), got.size());
        const std::vector<float> want = dense_log_mel(s, f);
        for (std::size_t i = 0; i < kBands; ++i) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i * lanes]), std::bit_cast<std::uint32_t>(want[i]))
                << "band " << i << " with bin " << bin << " spoilt";
            if (std::isnan(value.re) || std::isnan(value.im)) {
                ASSERT_EQ(got[i * lanes], 20.0f * -5.0f - 20.0f);
            }
        }
    }
}

}  // namespace
}  // namespace ostrel::audio
