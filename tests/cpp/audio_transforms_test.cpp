#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "audio/transforms.hpp"
#include "every_simd_path.hpp"
#include "reference/audio_model.hpp"
#include "support/panic.hpp"

namespace ostrel::audio {
namespace {

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// Band b at position t of window k, from its little-endian bytes.
float window_value(const PreprocessedWindows& w, std::size_t k, std::size_t b, std::size_t t) {
    const std::uint8_t* p = w.bytes.data() + k * 5120 + 64 * b + 4 * t;
    return std::bit_cast<float>(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                                std::uint32_t{p[3]} << 24);
}

std::vector<float> noisy_tones(std::size_t n) {
    std::mt19937 rng(3);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = 0.4f * std::sin(0.0864f * static_cast<float>(i)) + noise(rng);
    return x;
}

TEST(Construction, PeriodicHannTaper) {
    const std::span<const float> w = kModelTaper;
    ASSERT_EQ(w.size(), 800u);
    EXPECT_EQ(bits(w[0]), 0u);
    EXPECT_EQ(w[400], 1.0f);
    EXPECT_NEAR(w[200], 0.5f, 1e-6f);
    EXPECT_NEAR(w[1], 1.54e-5f, 1e-7f);
    for (std::size_t n = 1; n < 800; ++n) ASSERT_NEAR(w[n], w[800 - n], 1e-6f) << n;
}

class FrameCounts : public ::testing::TestWithParam<std::tuple<ModelVersion, std::array<std::size_t, 3>>> {};

TEST_P(FrameCounts, FollowTheVideoFrameFit) {
    const auto [version, c] = GetParam();
    const auto [samples, windows, frames] = c;
    const TransformResult r = transform_frames(Audio2MelSpectrogram(version), noisy_tones(samples));
    EXPECT_EQ(r.windows, windows);
    EXPECT_EQ(r.frames, frames);
}

INSTANTIATE_TEST_SUITE_P(Lengths, FrameCounts,
                         ::testing::Combine(::testing::Values(ModelVersion::V1, ModelVersion::V2),
                                            ::testing::Values(std::array<std::size_t, 3>{0, 0, 1}, std::array<std::size_t, 3>{639, 0, 1},
                                                              std::array<std::size_t, 3>{640, 1, 4}, std::array<std::size_t, 3>{1000, 1, 4},
                                                              std::array<std::size_t, 3>{3200, 5, 17}, std::array<std::size_t, 3>{16000, 25, 81})));

TEST(Normalization, SymmetricClipAndStandardize) {
    const LevelRule clip = level_rule(LogMelLevels{}, MelNormalization::symmetric_clip(-100.0f));
    const LevelRule standardize = level_rule(LogMelLevels{}, MelNormalization::standardize());
    const std::pair<float, float> clip_cases[] = {{-100.0f, -4.0f}, {-250.0f, -4.0f}, {0.0f, 4.0f},   {12.0f, 4.0f},
                                                  {-50.0f, 0.0f},   {-75.0f, -2.0f},  {NAN, -4.0f}};
    for (const auto& [in, out] : clip_cases) EXPECT_EQ(bits(normalized(clip, in)), bits(out)) << in;
    EXPECT_EQ(bits(normalized(standardize, -5.0f)), 0xC02A2B20u);
    EXPECT_EQ(bits(normalized(standardize, std::bit_cast<float>(0xC007E445u))), 0u);
}

// Silence sits at the log floor in every band, which each version maps to its pad value.
TEST(Pipeline, SilenceGivesThePadValueEverywhere) {
    for (const auto& [version, pad] : {std::pair{ModelVersion::V1, 0xC0800000u}, {ModelVersion::V2, 0xC02A2B20u}}) {
        const auto out = run_melspectrogram(version, std::vector<float>(3200, 0.0f), 16000);
        ASSERT_TRUE(out.count == 5 && out.bytes.size() == 5 * 5120);
        for (std::size_t i = 0; i < out.bytes.size(); i += 4) {
            std::uint32_t u;
            std::memcpy(&u, out.bytes.data() + i, 4);
            ASSERT_EQ(u, pad) << "byte " << i;
        }
    }
}

// Pre-emphasis also runs over the zeros appended to the kept samples: the
// first becomes -0.97 x the last kept sample. So V1 equals a transformer
// without pre-emphasis given the filtered samples plus that one value.
TEST(Pipeline, V1PreemphasisRunsIntoTheAppendedZeros) {
    const ModelConfig v1 = model_config(ModelVersion::V1);
    const std::vector<float> x = noisy_tones(1000);
    const float c = *v1.preemphasis;
    std::vector<float> y(1001);
    y[0] = x[0];
    for (std::size_t i = 1; i < 1000; ++i) y[i] = x[i] - c * x[i - 1];
    y[1000] = 0.0f - c * x[999];

    ModelConfig without = v1;
    without.preemphasis = std::nullopt;
    const Audio2MelSpectrogram plain = detail::transformer_for(without);
    const auto got = transform_frames(Audio2MelSpectrogram(ModelVersion::V1), x);
    EXPECT_EQ(got.mel_frames, transform_frames(plain, y).mel_frames);
    y.pop_back();
    EXPECT_NE(got.mel_frames, transform_frames(plain, y).mel_frames);
}

// Batches are read from the caller's samples where they lie there and
// assembled where they reach past them; both must give the frames of the
// streamed reference, on every path. The lengths put a batch's end on the
// samples' end (kept + 1 = 200 (kW + W + 3) for W lanes) and on either side
// of it, and the samples are a prefix of a longer buffer, so that reading
// past their end shows.
OSTREL_EVERY_SIMD_PATH(PipelineOnEveryPath);

TEST_P(PipelineOnEveryPath, MatchesTheStreamedReferenceAtEveryBatchEdge) {
    const SimdPath path = GetParam();
    for (ModelVersion version : {ModelVersion::V1, ModelVersion::V2}) {
        for (std::size_t n : {0u, 1u, 640u, 1399u, 1440u, 2199u, 2200u, 3799u, 4800u, 7301u}) {
            std::vector<float> buffer = noisy_tones(n + 64);
            if (n > 7000) buffer[6000] = std::numeric_limits<float>::quiet_NaN();
            const std::span<const float> x = std::span(buffer).first(n);
            const TransformResult want = streamed_frames(model_config(version), x);
            const TransformResult got = transform_frames(Audio2MelSpectrogram(version, path), x);
            ASSERT_EQ(got.frames, want.frames) << n;
            for (std::size_t i = 0; i < got.mel_frames.size(); ++i) {
                ASSERT_EQ(bits(got.mel_frames[i]), bits(want.mel_frames[i])) << n << " samples, value " << i;
            }
        }
    }
}

// Band b of frame i holds b * 100000 + i, so every value tells where it came from.
TransformResult numbered_result(std::size_t frames, std::uint64_t windows) {
    TransformResult r{std::vector<float>(80 * frames), frames, windows};
    for (std::size_t b = 0; b < 80; ++b) {
        for (std::size_t i = 0; i < frames; ++i) r.mel_frames[b * frames + i] = static_cast<float>(b * 100000 + i);
    }
    return r;
}

TEST(Packing, WindowStartsFollowTheRunningF32Sum) {
    const auto w = to_preprocessed_bytes(numbered_result(6500, 2023), -4.0f);
    const std::size_t starts[] = {0, 3, 6, 10, 13, 16, 19, 22, 26, 29, 32};
    for (std::size_t k = 0; k < 11; ++k) EXPECT_EQ(window_value(w, k, 0, 0), static_cast<float>(starts[k])) << k;
    EXPECT_EQ(window_value(w, 2022, 0, 0), 6471.0f);  // 3.2 x 2022 would give 6470
}

struct PackCase {
    std::size_t frames, windows, window, first_frame, real_positions;
};

class Packing : public ::testing::TestWithParam<PackCase> {};

TEST_P(Packing, RealFramesThenPadInFixedSizeWindows) {
    const PackCase c = GetParam();
    const float pad = std::bit_cast<float>(0xC02A2B20u);
    const auto w = to_preprocessed_bytes(numbered_result(c.frames, c.windows), pad);
    ASSERT_EQ(w.count, c.windows);
    ASSERT_EQ(w.bytes.size(), c.windows * 5120);
    for (std::size_t b = 0; b < 80; ++b) {
        for (std::size_t t = 0; t < 16; ++t) {
            const float want = t < c.real_positions ? static_cast<float>(b * 100000 + c.first_frame + t) : pad;
            ASSERT_EQ(bits(window_value(w, c.window, b, t)), bits(want)) << "band " << b << " position " << t;
        }
    }
}

// The last three are windows starting past the last frame, and past the last
// frame + 16, as on very long inputs once the start sum has drifted: they
// hold only padding and keep their size.
INSTANTIATE_TEST_SUITE_P(Windows, Packing,
                         ::testing::Values(PackCase{4, 1, 0, 0, 4}, PackCase{81, 25, 24, 77, 4},
                                           PackCase{81, 25, 20, 64, 16}, PackCase{4, 40, 1, 3, 1},
                                           PackCase{4, 40, 2, 0, 0}, PackCase{4, 40, 39, 0, 0}));

}  // namespace
}  // namespace ostrel::audio
