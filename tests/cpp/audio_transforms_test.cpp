#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audio/transforms.hpp"
#include "support/panic.hpp"

namespace ostrel::audio {
namespace {

constexpr std::uint32_t kPadBitsV1 = 0xC0800000u;  // -4.0
constexpr std::uint32_t kPadBitsV2 = 0xC02A2B20u;

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// Band b at position t of window k, decoded from its little-endian bytes.
float window_value(const PreprocessedWindows& w, std::size_t k, std::size_t b, std::size_t t) {
    const std::uint8_t* p = w.bytes.data() + k * TransformResult::kWindowBytes + 64 * b + 4 * t;
    const std::uint32_t u = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                            std::uint32_t{p[3]} << 24;
    return std::bit_cast<float>(u);
}

// A recognisable frame array: band b of frame i holds b * 100000 + i.
TransformResult numbered_result(std::size_t frames, std::uint64_t chunk_count) {
    TransformResult r{std::vector<float>(TransformResult::kBands * frames), frames, chunk_count, std::nullopt};
    for (std::size_t b = 0; b < TransformResult::kBands; ++b) {
        for (std::size_t i = 0; i < frames; ++i) r.mel_frames[b * frames + i] = static_cast<float>(b * 100000 + i);
    }
    return r;
}

std::vector<float> test_signal(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / 16000.0;
        x[i] = static_cast<float>(0.4 * std::sin(2 * M_PI * 220 * t) + 0.2 * std::sin(2 * M_PI * 1870 * t)) +
               noise(rng);
    }
    return x;
}

void expect_same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(bits(a[i]), bits(b[i])) << "index " << i;
}

TEST(Construction, HannWindowAndZeroedState) {
    const Audio2MelSpectrogram t = make_transformer(ModelVersion::V1);
    const std::span<const float> w = t.spectrogram().window();
    ASSERT_EQ(w.size(), 800u);
    EXPECT_EQ(bits(w[0]), 0u);
    EXPECT_EQ(w[400], 1.0f);
    EXPECT_NEAR(w[200], 0.5f, 1e-6f);
    EXPECT_NEAR(w[600], 0.5f, 1e-6f);
    EXPECT_NEAR(w[1], 1.54e-5f, 1e-7f);
    for (std::size_t n = 1; n < 800; ++n) EXPECT_NEAR(w[n], w[800 - n], 1e-6f) << n;

    EXPECT_EQ(t.spectrogram().total_samples(), 0u);
    for (float v : t.spectrogram().sample_buffer()) ASSERT_EQ(v, 0.0f);

    const Audio2MelSpectrogram v2 = make_transformer(ModelVersion::V2);
    EXPECT_FALSE(t.center());
    EXPECT_TRUE(v2.center());
    EXPECT_EQ(bits(*t.preemphasis()), 0x3F7851ECu);
    EXPECT_FALSE(v2.preemphasis().has_value());
    EXPECT_EQ(bits(t.levels().min_level), 0x3727C5A5u);
    EXPECT_EQ(bits(v2.levels().min_level), 0x3727C5ACu);
    expect_same_bits(t.mel_filters().values, v2.mel_filters().values);
}

TEST(Construction, RejectsHopsTheStreamCannotTake) {
    const MelConfig mc{16000.0f, 800, 80, 55.0f, 7600.0f, false, true};
    EXPECT_THROW(Audio2MelSpectrogram(16000, 800, 0, true, std::nullopt, mc, 1e-5f, 1.0f, 1.0f, 0.0f), Panic);
    EXPECT_THROW(Audio2MelSpectrogram(16000, 800, 801, true, std::nullopt, mc, 1e-5f, 1.0f, 1.0f, 0.0f), Panic);
    MelConfig bands40 = mc;
    bands40.n_mels = 40;
    EXPECT_THROW(Audio2MelSpectrogram(16000, 800, 200, true, std::nullopt, bands40, 1e-5f, 1.0f, 1.0f, 0.0f), Panic);
}

TEST(SpectrogramAdd, FillsThenEmitsEveryHop) {
    Spectrogram s(800, 200);
    const std::vector<float> chunk(200, 0.25f);
    for (int call = 0; call < 3; ++call) EXPECT_FALSE(s.add(chunk).has_value());
    // A short chunk counts only its own samples.
    EXPECT_FALSE(s.add(std::span<const float>(chunk).first(199)).has_value());
    EXPECT_EQ(s.total_samples(), 799u);
    const auto spectrum = s.add(std::span<const float>(chunk).first(1));
    ASSERT_TRUE(spectrum.has_value());
    EXPECT_EQ(spectrum->size(), 401u);
    EXPECT_TRUE(s.add(chunk).has_value());

    try {
        s.add(std::vector<float>(201));
        FAIL() << "an oversized chunk was accepted";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message, "frames must be <= hop_size");
    }
}

struct CountCase {
    std::size_t samples;
    std::uint64_t chunk_count;
    std::size_t frames;
};

class FrameCounts : public ::testing::TestWithParam<std::tuple<ModelVersion, CountCase>> {};

TEST_P(FrameCounts, FollowTheVideoFrameFit) {
    const auto [version, c] = GetParam();
    Audio2MelSpectrogram t = make_transformer(version);
    const std::optional<TransformResult> r = t.transform(test_signal(c.samples, 1), model_config(version).normalization);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->chunk_count, c.chunk_count);
    EXPECT_EQ(r->frames, c.frames);
    EXPECT_EQ(r->mel_frames.size(), 80 * c.frames);
}

INSTANTIATE_TEST_SUITE_P(Lengths, FrameCounts,
                         ::testing::Combine(::testing::Values(ModelVersion::V1, ModelVersion::V2),
                                            ::testing::Values(CountCase{0, 0, 1}, CountCase{639, 0, 1},
                                                              CountCase{640, 1, 4}, CountCase{1000, 1, 4},
                                                              CountCase{3200, 5, 17}, CountCase{16000, 25, 81})));

TEST(Normalization, SymmetricClipAndStandardize) {
    const MelNormalization clip = MelNormalization::symmetric_clip(-100.0f);
    const struct {
        float in;
        float out;
    } clip_cases[] = {{-100.0f, -4.0f}, {-250.0f, -4.0f}, {0.0f, 4.0f}, {12.0f, 4.0f},
                      {-50.0f, 0.0f},   {-75.0f, -2.0f},  {std::numeric_limits<float>::quiet_NaN(), -4.0f}};
    for (const auto& c : clip_cases) EXPECT_EQ(bits(clip.apply(c.in)), bits(c.out)) << c.in;

    const MelNormalization standardize = MelNormalization::standardize();
    EXPECT_EQ(bits(standardize.apply(-5.0f)), kPadBitsV2);
    EXPECT_EQ(bits(standardize.apply(std::bit_cast<float>(0xC007E445u))), 0u);
}

// Silence sits at the log floor in every band, which each version maps to its pad value.
TEST(Pipeline, SilenceGivesThePadValueEverywhere) {
    for (const auto& [version, pad_bits] : {std::pair{ModelVersion::V1, kPadBitsV1}, {ModelVersion::V2, kPadBitsV2}}) {
        for (std::size_t n : {0u, 640u, 16000u}) {
            Audio2MelSpectrogram t = make_transformer(version);
            const auto out = run_melspectrogram(t, version, std::vector<float>(n, 0.0f), 16000);
            ASSERT_TRUE(out.has_value());
            EXPECT_EQ(out->count, n / 640);
            ASSERT_EQ(out->bytes.size(), out->count * 5120);
            for (std::size_t i = 0; i < out->bytes.size(); i += 4) {
                std::uint32_t u;
                std::memcpy(&u, out->bytes.data() + i, 4);
                ASSERT_EQ(u, pad_bits) << "byte " << i;
            }
        }
    }
}

// With pre-emphasis, the first zero appended after the kept samples becomes
// -0.97 times the last kept sample: the result equals that of a transformer
// without pre-emphasis given the filtered samples plus that one value.
TEST(Pipeline, V1PreemphasisRunsIntoTheAppendedZeros) {
    const ModelConfig v1 = model_config(ModelVersion::V1);
    const std::vector<float> x = test_signal(1000, 3);
    const float c = *v1.preemphasis;
    std::vector<float> y(1001);
    y[0] = x[0];
    for (std::size_t i = 1; i < 1000; ++i) y[i] = x[i] - c * x[i - 1];
    y[1000] = 0.0f - c * x[999];

    Audio2MelSpectrogram with = make_transformer(ModelVersion::V1);
    Audio2MelSpectrogram without(v1.sample_rate, v1.n_fft, v1.hop_size, v1.center, std::nullopt, v1.mel,
                                 v1.levels.min_level, v1.levels.amplitude_scale, v1.levels.log_multiplier,
                                 v1.levels.ref_level_db);
    const auto expected = without.transform(y, v1.normalization);
    const auto got = with.transform(x, v1.normalization);
    ASSERT_TRUE(got && expected);
    expect_same_bits(got->mel_frames, expected->mel_frames);

    y.pop_back();
    EXPECT_NE(without.transform(y, v1.normalization)->mel_frames, got->mel_frames);
}

TEST(Pipeline, V2KeepsOnlyWholeVideoFrames) {
    const MelNormalization norm = MelNormalization::standardize();
    std::vector<float> x = test_signal(1000, 4);
    Audio2MelSpectrogram t = make_transformer(ModelVersion::V2);
    const auto a = t.transform(x, norm);
    for (std::size_t i = 640; i < 1000; ++i) x[i] = 1.0f;
    const auto b = t.transform(x, norm);
    ASSERT_TRUE(a && b);
    expect_same_bits(a->mel_frames, b->mel_frames);
}

TEST(Pipeline, TransformResetsAndRepeats) {
    for (ModelVersion version : {ModelVersion::V1, ModelVersion::V2}) {
        Audio2MelSpectrogram t = make_transformer(version);
        const std::vector<float> x = test_signal(5000, 5);
        const auto first = t.transform(x, model_config(version).normalization);
        EXPECT_EQ(t.spectrogram().total_samples(), 0u);
        for (float v : t.spectrogram().sample_buffer()) ASSERT_EQ(bits(v), 0u);
        for (float v : t.spectrogram().fft_input()) ASSERT_EQ(bits(v), 0u);
        for (Complex v : t.spectrogram().fft_output()) ASSERT_TRUE(bits(v.re) == 0 && bits(v.im) == 0);
        const auto second = t.transform(x, model_config(version).normalization);
        ASSERT_TRUE(first && second);
        expect_same_bits(first->mel_frames, second->mel_frames);
        // Real audio uses the whole range, not only the floor.
        const auto [lo, hi] = std::minmax_element(first->mel_frames.begin(), first->mel_frames.end());
        EXPECT_LT(*lo, *hi - 1.0f);
    }
}

TEST(Packing, WindowStartsFollowTheRunningSum) {
    const auto w = numbered_result(6500, 2023).to_preprocessed_bytes(-4.0f);
    ASSERT_EQ(w.count, 2023u);
    ASSERT_EQ(w.bytes.size(), 2023u * 5120);
    const std::size_t starts[] = {0, 3, 6, 10, 13, 16, 19, 22, 26, 29, 32};
    for (std::size_t k = 0; k < 11; ++k) EXPECT_EQ(window_value(w, k, 0, 0), static_cast<float>(starts[k])) << k;
    // The f32 sum has drifted by then: 3.2 * 2022 would round to 6470.
    EXPECT_EQ(window_value(w, 2022, 0, 0), 6471.0f);
    EXPECT_EQ(window_value(w, 2022, 79, 15), 79.0f * 100000 + 6486);
}

struct PackCase {
    std::size_t frames;
    std::uint64_t chunk_count;
    std::size_t window;
    std::size_t first_frame;
    std::size_t real_positions;
};

class Packing : public ::testing::TestWithParam<PackCase> {};

TEST_P(Packing, RealFramesThenPad) {
    const PackCase c = GetParam();
    const float pad = std::bit_cast<float>(kPadBitsV2);
    const auto w = numbered_result(c.frames, c.chunk_count).to_preprocessed_bytes(pad);
    ASSERT_EQ(w.count, c.chunk_count);
    ASSERT_EQ(w.bytes.size(), c.chunk_count * 5120);
    for (std::size_t b = 0; b < 80; ++b) {
        for (std::size_t t = 0; t < 16; ++t) {
            const float expected = t < c.real_positions ? static_cast<float>(b * 100000 + c.first_frame + t) : pad;
            ASSERT_EQ(bits(window_value(w, c.window, b, t)), bits(expected)) << "band " << b << " position " << t;
        }
    }
}

// The last cases are windows whose start lies past the last frame (and past
// frames + 16), where long inputs end up through the drift of the start sum:
// they hold only padding and keep their size.
INSTANTIATE_TEST_SUITE_P(Windows, Packing,
                         ::testing::Values(PackCase{4, 1, 0, 0, 4}, PackCase{81, 25, 24, 77, 4},
                                           PackCase{81, 25, 20, 64, 16}, PackCase{81, 25, 21, 67, 14},
                                           PackCase{4, 40, 1, 3, 1}, PackCase{4, 40, 2, 0, 0},
                                           PackCase{4, 40, 39, 0, 0}, PackCase{1, 300, 299, 0, 0}));

TEST(Packing, StartOffsetAndEmptyCount) {
    TransformResult r = numbered_result(40, 3);
    r.start_offset = 1.5f;  // rounds half away from zero
    const auto w = std::move(r).to_preprocessed_bytes(-4.0f);
    EXPECT_EQ(window_value(w, 0, 0, 0), 2.0f);
    EXPECT_EQ(window_value(w, 1, 0, 0), 5.0f);  // 4.7

    const auto none = numbered_result(1, 0).to_preprocessed_bytes(-4.0f);
    EXPECT_EQ(none.count, 0u);
    EXPECT_TRUE(none.bytes.empty());
}

TEST(Packing, MisshapenFramesAreFatal) {
    TransformResult r = numbered_result(4, 1);
    r.mel_frames.pop_back();
    try {
        std::move(r).to_preprocessed_bytes(-4.0f);
        FAIL() << "a short frame array was packed";
    } catch (const Panic& p) {
        EXPECT_EQ(p.message.rfind("Failed to pad mel spectrogram array", 0), 0u) << p.message;
    }
}

struct RateCase {
    std::size_t samples;
    std::uint32_t sample_rate;
    std::size_t windows;
};

class Rates : public ::testing::TestWithParam<RateCase> {};

TEST_P(Rates, OnlyCdRateIsResampled) {
    const RateCase c = GetParam();
    for (ModelVersion version : {ModelVersion::V1, ModelVersion::V2}) {
        Audio2MelSpectrogram t = make_transformer(version);
        const auto out = run_melspectrogram(t, version, test_signal(c.samples, 6), c.sample_rate);
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(out->count, c.windows);
        EXPECT_EQ(out->bytes.size(), c.windows * 5120);
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, Rates,
                         ::testing::Values(RateCase{44100, 44100, 25}, RateCase{1, 44100, 0},
                                           RateCase{22050, 22050, 34}, RateCase{16000, 0, 25},
                                           RateCase{16000, 48000, 25}, RateCase{639, 16000, 0}));

}  // namespace
}  // namespace ostrel::audio
