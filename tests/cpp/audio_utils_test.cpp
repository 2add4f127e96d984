#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "audio/utils.hpp"
#include "support/panic.hpp"

namespace ostrel::audio {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

MelConfig model_mel_config() { return MelConfig{16000.0f, 800, 80, 55.0f, 7600.0f, false, true}; }

// The plain product of the whole filterbank with the magnitudes, every bin
// in ascending order: what the range-limited sum must reproduce.
std::vector<float> dense_log_mel(std::span<const Complex> spectrum, const Matrix& filters, const LogMelLevels& lv) {
    std::vector<float> mags(filters.cols);
    for (std::size_t k = 0; k < filters.cols; ++k) {
        mags[k] = std::sqrt((spectrum[k].re * spectrum[k].re + spectrum[k].im * spectrum[k].im) +
                            std::bit_cast<float>(0x3089705Fu));
    }
    std::vector<float> out(filters.rows);
    for (std::size_t i = 0; i < filters.rows; ++i) {
        float e = 0.0f;
        for (std::size_t k = 0; k < filters.cols; ++k) e = e + filters.at(i, k) * mags[k];
        out[i] = lv.log_multiplier * std::log10(std::fmax(e, lv.min_level) * lv.amplitude_scale) - lv.ref_level_db;
    }
    return out;
}

std::vector<Complex> random_spectrum(std::size_t bins, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> dist(0.0f, 3.0f);
    std::vector<Complex> s(bins);
    for (Complex& c : s) c = Complex{dist(rng), dist(rng)};
    return s;
}

void expect_same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(a[i]), std::bit_cast<std::uint32_t>(b[i])) << "index " << i;
    }
}

TEST(Mel, ModelFilterbankMatchesReferenceValues) {
    const std::vector<float> points = mel_frequencies(model_mel_config());
    ASSERT_EQ(points.size(), 82u);
    EXPECT_EQ(points[0], 55.0f);
    EXPECT_NEAR(points[1], 90.946f, 0.001f);
    EXPECT_NEAR(points[2], 126.892f, 0.001f);
    EXPECT_NEAR(points[3], 162.838f, 0.001f);
    // The round trip through the mel scale lands 3 ulps above 7600.
    EXPECT_NEAR(points[81], 7600.0015f, 0.0003f);

    const Matrix f = mel(model_mel_config());
    ASSERT_EQ(f.rows, 80u);
    ASSERT_EQ(f.cols, 401u);
    const float filter0[] = {0.0038696f, 0.019348f, 0.020812f, 0.0053341f};
    for (std::size_t j = 0; j < 4; ++j) EXPECT_NEAR(f.at(0, 3 + j), filter0[j], 5e-7f) << "bin " << 3 + j;

    const std::vector<BinRange> ranges = nonzero_bin_ranges(f);
    EXPECT_EQ(ranges[0].first, 3u);
    EXPECT_EQ(ranges[0].last, 7u);
    EXPECT_EQ(ranges[1].first, 5u);
    EXPECT_EQ(ranges[1].last, 9u);
    EXPECT_EQ(ranges[79].first, 353u);
    EXPECT_EQ(ranges[79].last, 381u);
    for (std::size_t i = 0; i < f.rows; ++i) {
        const std::span<const float> row = f.row(i);
        const float sum = std::accumulate(row.begin(), row.end(), 0.0f);
        EXPECT_GT(sum, 0.048f) << "filter " << i;
        EXPECT_LT(sum, 0.052f) << "filter " << i;
        EXPECT_LE(*std::max_element(row.begin(), row.end()), 0.027f);
        EXPECT_LT(ranges[i].first, ranges[i].last) << "filter " << i << " is empty";
        // Nothing outside 55 .. 7600 Hz.
        EXPECT_GE(ranges[i].first, 3u);
        EXPECT_LE(ranges[i].last, 381u);
    }
}

TEST(Mel, HtkScaleAndDefaults) {
    MelConfig htk = model_mel_config();
    htk.htk = true;
    const std::vector<float> points = mel_frequencies(htk);
    EXPECT_NE(points[0], 55.0f);
    EXPECT_NEAR(points[0], 55.000008f, 2e-6f);
    EXPECT_NEAR(points[81], 7600.0f, 0.01f);

    // Absent edges are 0 Hz and half the sample rate; Slaney's 0 Hz maps back to +0.0.
    MelConfig open = model_mel_config();
    open.fmin.reset();
    open.fmax.reset();
    const std::vector<float> open_points = mel_frequencies(open);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(open_points[0]), 0u);
    EXPECT_NEAR(open_points[81], 8000.0f, 0.01f);
}

TEST(Mel, DegenerateConfigurations) {
    MelConfig none = model_mel_config();
    none.n_mels = 0;
    const Matrix empty = mel(none);
    EXPECT_EQ(empty.rows, 0u);
    EXPECT_EQ(empty.cols, 401u);
    EXPECT_TRUE(empty.values.empty());

    // Zero widths give zero weights, and normalising them gives 0 * inf = NaN.
    MelConfig flat = model_mel_config();
    flat.fmax = 55.0f;
    const Matrix nan_filters = mel(flat);
    for (float w : nan_filters.values) ASSERT_TRUE(std::isnan(w));
    flat.normalize = false;
    for (float w : mel(flat).values) ASSERT_EQ(w, 0.0f);

    // Filters above the last bin are empty rows, not an error.
    MelConfig high = model_mel_config();
    high.fmax = 20000.0f;
    const Matrix cut = mel(high);
    const std::span<const float> top = cut.row(79);
    EXPECT_TRUE(std::all_of(top.begin(), top.end(), [](float w) { return w == 0.0f; }));
}

TEST(LogMel, RangeLimitedSumEqualsDenseProduct) {
    const Matrix f = mel(model_mel_config());
    const LogMelLevels v1{std::bit_cast<float>(0x3727C5A5u), 1.0f, 20.0f, 20.0f};
    for (std::uint32_t seed = 1; seed <= 20; ++seed) {
        std::vector<Complex> s = random_spectrum(401, seed);
        // Spread the magnitudes over many decades so that rounding differences would show.
        for (std::size_t k = 0; k < s.size(); ++k) {
            const float scale = std::pow(10.0f, static_cast<float>(k % 13) - 6.0f);
            s[k].re = s[k].re * scale;
            s[k].im = s[k].im * scale;
        }
        expect_same_bits(log_mel_spectrogram(s, f, v1.min_level, 1.0f, 20.0f, 20.0f).values, dense_log_mel(s, f, v1));
    }
}

struct NonFiniteCase {
    std::size_t bin;
    Complex value;
};

class LogMelNonFinite : public ::testing::TestWithParam<NonFiniteCase> {};

// A NaN anywhere in bins 0 .. N/2 reaches every band through the product,
// even bins no filter covers; an infinite magnitude does too (inf * 0 is
// NaN), except in the bands that weight it, which become infinite.
TEST_P(LogMelNonFinite, BehavesAsTheDenseProduct) {
    const Matrix f = mel(model_mel_config());
    const LogMelLevels v2{std::bit_cast<float>(0x3727C5ACu), 1.0f, 1.0f, 0.0f};
    std::vector<Complex> s = random_spectrum(401, 7);
    s[GetParam().bin] = GetParam().value;
    const Matrix got = log_mel_spectrogram(s, f, v2.min_level, 1.0f, 1.0f, 0.0f);
    expect_same_bits(got.values, dense_log_mel(s, f, v2));
    if (std::isnan(GetParam().value.re) || std::isnan(GetParam().value.im)) {
        for (float v : got.values) EXPECT_EQ(v, -5.0f);
    }
}

INSTANTIATE_TEST_SUITE_P(Bins, LogMelNonFinite,
                         ::testing::Values(NonFiniteCase{0, {kNaN, 0.0f}}, NonFiniteCase{3, {1.0f, kNaN}},
                                           NonFiniteCase{200, {kNaN, kNaN}}, NonFiniteCase{400, {kNaN, 1.0f}},
                                           NonFiniteCase{0, {kInf, 0.0f}}, NonFiniteCase{100, {0.0f, -kInf}},
                                           NonFiniteCase{150, {3e30f, 0.0f}}));

TEST(LogMel, SilenceGivesTheFloorAndUpperBinsAreIgnored) {
    const Matrix f = mel(model_mel_config());
    std::vector<Complex> full(800);
    // Bins above N/2 are never read, whatever they hold.
    for (std::size_t k = 401; k < 800; ++k) full[k] = Complex{kNaN, 1e30f};
    const Matrix v1 = log_mel_spectrogram(full, f, std::bit_cast<float>(0x3727C5A5u), 1.0f, 20.0f, 20.0f);
    const Matrix v2 = log_mel_spectrogram(full, f, std::bit_cast<float>(0x3727C5ACu), 1.0f, 1.0f, 0.0f);
    ASSERT_EQ(v1.rows, 80u);
    ASSERT_EQ(v1.cols, 1u);
    for (float v : v1.values) EXPECT_NEAR(v, -120.00001f, 1e-5f);
    for (float v : v2.values) EXPECT_EQ(v, -5.0f);
}

TEST(LogMel, ShortSpectrumIsFatal) {
    const Matrix f = mel(model_mel_config());
    const std::vector<Complex> s(400);
    EXPECT_THROW(log_mel_spectrogram(s, f, 1e-5f, 1.0f, 1.0f, 0.0f), Panic);
}

struct CropPadCase {
    std::size_t input;
    std::size_t length;
    std::size_t extra;
};

class CropPad : public ::testing::TestWithParam<CropPadCase> {};

TEST_P(CropPad, KeepsTheFirstSamplesAndAppendsZeros) {
    const auto [input, length, extra] = GetParam();
    std::vector<float> samples(input);
    std::iota(samples.begin(), samples.end(), 1.0f);
    const std::vector<float> out = crop_pad_audio(samples, length, extra);
    ASSERT_EQ(out.size(), length + extra);
    for (std::size_t i = 0; i < out.size(); ++i) {
        const float expected = i < input ? static_cast<float>(i + 1) : 0.0f;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(out[i]), std::bit_cast<std::uint32_t>(expected)) << "index " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Targets, CropPad,
                         ::testing::Values(CropPadCase{0, 5, 0}, CropPadCase{100, 0, 0}, CropPadCase{16100, 16000, 0},
                                           CropPadCase{16100, 16000, 800}, CropPadCase{639, 0, 800},
                                           CropPadCase{1440, 640, 800}));

TEST(ResampleNearest, PicksTheNearestInputSample) {
    std::vector<float> ramp(44100);
    std::iota(ramp.begin(), ramp.end(), 0.0f);
    const std::vector<float> out = resample_nearest(ramp);
    ASSERT_EQ(out.size(), 16000u);
    const float first[] = {0, 3, 6, 8, 11, 14};
    for (std::size_t n = 0; n < 6; ++n) EXPECT_EQ(out[n], first[n]);
    EXPECT_LE(out.back(), 44099.0f);

    EXPECT_TRUE(resample_nearest(std::vector<float>{1.0f}).empty());
    EXPECT_TRUE(resample_nearest(std::vector<float>{}).empty());
    EXPECT_EQ(resample_nearest(std::vector<float>{5.0f, 6.0f}), std::vector<float>{5.0f});
}

TEST(Conversions, TruncateOrRoundAndSaturate) {
    struct Case {
        float in;
        std::uint64_t truncated;
        std::uint64_t rounded;
    };
    const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    const Case cases[] = {{-1.0f, 0, 0},      {-0.5f, 0, 0},      {kNaN, 0, 0},    {0.5f, 0, 1},
                          {2.5f, 2, 3},       {2.4999998f, 2, 2}, {3.9f, 3, 4},    {1e30f, max, max},
                          {kInf, max, max},   {0x1p63f, 1ull << 63, 1ull << 63}};
    for (const Case& c : cases) {
        EXPECT_EQ(truncate_u64(c.in), c.truncated) << c.in;
        EXPECT_EQ(round_u64(c.in), c.rounded) << c.in;
    }
    EXPECT_EQ(truncate_u32(5e9f), std::numeric_limits<std::uint32_t>::max());
    EXPECT_EQ(truncate_u32(-3.0f), 0u);
}

TEST(RealFftTest, MatchesDirectDft) {
    for (std::size_t n : {1u, 2u, 9u, 800u}) {
        std::mt19937 rng(static_cast<std::uint32_t>(n));
        std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
        std::vector<float> x(n);
        for (float& v : x) v = dist(rng);
        RealFft fft(n);
        std::vector<Complex> out(fft.bins());
        fft.forward(x, out);
        for (std::size_t k = 0; k < fft.bins(); ++k) {
            double re = 0.0, im = 0.0;
            for (std::size_t t = 0; t < n; ++t) {
                const double a = -2.0 * M_PI * static_cast<double>(k * t % n) / static_cast<double>(n);
                re += x[t] * std::cos(a);
                im += x[t] * std::sin(a);
            }
            EXPECT_NEAR(out[k].re, re, 1e-4) << "n " << n << " bin " << k;
            EXPECT_NEAR(out[k].im, im, 1e-4) << "n " << n << " bin " << k;
        }
    }
}

}  // namespace
}  // namespace ostrel::audio
