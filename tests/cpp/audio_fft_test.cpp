#include <bit>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "audio/fft.hpp"
#include "audio/transforms.hpp"
#include "reference/audio_model.hpp"

namespace ostrel::audio {
namespace {

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// Bits of a spectrum value, every NaN alike: which of two NaN operands an
// instruction passes on is the compiler's choice of operand order.
std::uint32_t spectrum_bits(float v) { return v != v ? 0x7FC00000u : bits(v); }

// The lengths the transform accepts that cover every radix and their orders,
// and the one the model uses.
const std::size_t kSizes[] = {2, 4, 6, 8, 10, 12, 16, 18, 20, 24, 30, 32, 40, 50, 54, 60, 64,
                              90, 100, 128, 250, 256, 400, 720, 750, 800, 1000, 1024, 2048};

TEST(UnitRoot, TwiddlesAreWithinAnUlpOfTheTrueValues) {
    for (std::size_t n : {1u, 3u, 5u, 7u, 8u, 400u, 800u, 1000u, 2048u}) {
        for (std::size_t k = 0; k < n; ++k) {
            const long double angle = 2.0L * 3.14159265358979323846264338327950288L * k / n;
            const UnitRoot r = unit_root(k, n);
            for (const auto& [got, want] : {std::pair{r.cos, std::cos(angle)}, std::pair{r.sin, std::sin(angle)}}) {
                const float f = static_cast<float>(got);
                const float ulp = std::nextafter(std::fabs(static_cast<float>(want)), INFINITY) -
                                  std::fabs(static_cast<float>(want));
                // The reference itself is off by about 1e-20 where the true value is 0.
                ASSERT_LE(std::fabs(static_cast<long double>(f) - want), ulp + 1e-18L) << k << "/" << n;
            }
        }
    }
    // Exact where the circle meets the axes.
    EXPECT_EQ(unit_root(200, 800).cos, 0.0);
    EXPECT_EQ(unit_root(400, 800).cos, -1.0);
    EXPECT_EQ(unit_root(600, 800).sin, -1.0);
}

TEST(RealFft, AcceptsEvenSizesWhoseHalfHasOnlyFactorsTwoThreeFive) {
    for (std::size_t n : kSizes) EXPECT_TRUE(RealFft::supports(n)) << n;
    for (std::size_t n : {0u, 1u, 3u, 14u, 22u, 802u}) EXPECT_FALSE(RealFft::supports(n)) << n;
}

// The 800-point tables are computed by the compiler, the others when a
// transform is made: both must hold the bits of unit_root() run here.
TEST(RealFft, TablesHoldTheBitsOfTwiddlesComputedAtRunTime) {
    volatile std::size_t opaque = 0;  // keeps the reference values out of the compiler's reach
    auto re = [&](std::size_t k, std::size_t n) { return bits(static_cast<float>(unit_root(k + opaque, n).cos)); };
    auto im = [&](std::size_t k, std::size_t n) { return bits(static_cast<float>(-unit_root(k + opaque, n).sin)); };
    for (std::size_t size : {800u, 400u, 1000u}) {
        RealFft fft(size);
        const FftTables& t = fft.tables();
        ASSERT_EQ(t.half, size / 2);
        std::size_t points = 1;
        for (std::size_t s = 0; s < t.stage_count; ++s) {
            const FftStage& stage = t.stages[s];
            ASSERT_EQ(stage.length * stage.stride, size / 2) << size;
            points *= stage.radix;
            for (std::size_t q = 0; q < stage.length / stage.radix; ++q) {
                for (std::size_t k = 1; k < stage.radix; ++k) {
                    const float* w = stage.twiddles + 2 * (q * (stage.radix - 1) + k - 1);
                    ASSERT_EQ(bits(w[0]), re(q * k, stage.length)) << size << " stage " << s;
                    ASSERT_EQ(bits(w[1]), im(q * k, stage.length)) << size << " stage " << s;
                }
            }
        }
        ASSERT_EQ(points, size / 2);
        for (std::size_t k = 0; k <= size / 2; ++k) {
            ASSERT_EQ(bits(t.join[2 * k]), re(k, size)) << size;
            ASSERT_EQ(bits(t.join[2 * k + 1]), im(k, size)) << size;
        }
        EXPECT_EQ(bits(t.sin_3), bits(static_cast<float>(unit_root(1 + opaque, 3).sin)));
        EXPECT_EQ(bits(t.cos_5[1]), bits(static_cast<float>(unit_root(2 + opaque, 5).cos)));
        EXPECT_EQ(bits(t.sin_5[1]), bits(static_cast<float>(unit_root(2 + opaque, 5).sin)));
    }
}

std::vector<std::vector<float>> test_frames(std::size_t n) {
    std::mt19937 rng(11);
    std::normal_distribution<float> noise(0.0f, 0.3f);
    std::vector<std::vector<float>> frames;
    auto add = [&](auto value) {
        std::vector<float> x(n);
        for (std::size_t i = 0; i < n; ++i) x[i] = value(i);
        frames.push_back(std::move(x));
    };
    const double tau = 6.283185307179586;
    add([&](std::size_t) { return noise(rng); });
    add([&](std::size_t i) { return static_cast<float>(std::sin(tau * 3.0 * i / n)); });           // bin centre
    add([&](std::size_t i) { return static_cast<float>(0.7 * std::cos(tau * 5.37 * i / n + 1)); });  // between bins
    add([&](std::size_t i) { return i == n / 3 ? 1.0f : 0.0f; });                                    // impulse
    add([&](std::size_t) { return 0.0f; });                                                          // silence
    add([&](std::size_t i) { return (i / 7) % 2 ? 1.0f : -1.0f; });                                  // full scale
    add([&](std::size_t i) { return noise(rng) * 1e-38f * (i % 3 ? 1.0f : 1e-5f); });               // subnormals
    return frames;
}

// The error of a spectrum in the 2-norm, relative to the true spectrum's
// 2-norm, against a DFT computed in double precision (with an absolute term
// for frames of subnormal values, where f32 keeps fewer bits).
//
// The worst case for a radix-2-like FFT in floating point is about
// 7 eps log2(n), eps = 2^-24, when every rounding of every pass adds up
// (Higham, Accuracy and Stability of Numerical Algorithms, 24.1, with
// twiddles within an ulp). Roundings are not that correlated: on these
// frames the error stays between 0.2 and 0.6 eps log2(n), as the FFT library
// the module used before did on the same frames. The bound asserted,
// 0.75 eps log2(n), leaves room for that spread and fails for a twiddle off
// by more than a few ulps or a lost rounding step.
TEST(RealFft, SpectraAgreeWithADoublePrecisionDft) {
    for (std::size_t n : kSizes) {
        RealFft fft(n);
        const double eps = std::ldexp(1.0, -24);
        const double bound = 0.75 * eps * std::log2(static_cast<double>(n));
        for (const std::vector<float>& x : test_frames(n)) {
            std::vector<Complex> got(fft.bins());
            fft.forward(x, got);
            double error = 0.0;
            double norm = 0.0;
            for (std::size_t k = 0; k < fft.bins(); ++k) {
                std::complex<double> want = 0.0;
                for (std::size_t i = 0; i < n; ++i) {
                    const UnitRoot w = unit_root(k * i, n);
                    want += static_cast<double>(x[i]) * std::complex<double>(w.cos, -w.sin);
                }
                error += std::norm(std::complex<double>(got[k].re, got[k].im) - want);
                norm += std::norm(want);
            }
            EXPECT_LE(std::sqrt(error), bound * std::sqrt(norm) + 1e-42 * n) << "size " << n;
        }
    }
}

// Frames at every offset of a long signal, transformed alone and in batches
// of two groupings (full batches and a last partial one), on every path this
// CPU has. One frame holds a NaN, so its batch takes the dense mel sums.
TEST(RealFft, AFrameHasTheSameBitsInAnyBatchOnAnyPath) {
    constexpr std::size_t kSize = 800, kStep = 200, kFrames = 37;
    std::mt19937 rng(2);
    std::normal_distribution<float> noise(0.0f, 0.2f);
    std::vector<float> signal((kFrames - 1) * kStep + kSize);
    for (float& v : signal) v = noise(rng);
    signal[20 * kStep + 5] = std::numeric_limits<float>::quiet_NaN();
    signal[5000] = std::numeric_limits<float>::denorm_min();

    const Matrix filters = mel(kModelMel);
    const std::vector<BinRange> ranges = nonzero_bin_ranges(filters);
    const LogMelLevels levels{1e-5f, 1.0f, 20.0f, 20.0f};
    Spectrogram alone(kSize, kStep, SimdPath::Baseline);
    std::vector<std::vector<Complex>> spectra;
    std::vector<std::vector<float>> columns;
    for (std::size_t f = 0; f < kFrames; ++f) {
        const std::span<const Complex> s = alone.spectrum_of(std::span(signal).subspan(f * kStep, kSize));
        spectra.emplace_back(s.begin(), s.end());
        std::vector<float> magnitudes(s.size()), column(80);
        log_mel_column(s, filters, ranges, levels, magnitudes, column);
        columns.push_back(column);
    }

    for (SimdPath path : available_simd_paths()) {
        Spectrogram batched(kSize, kStep, path);
        const MelKernels mel_kernels = mel_kernels_for(path);
        const std::size_t lanes = batched.lanes();
        std::vector<float> energies(80 * lanes), magnitudes((kSize / 2 + 1) * lanes);
        for (std::size_t offset : {std::size_t{0}, std::size_t{3}}) {
            for (std::size_t start = offset; start < kFrames; start += lanes) {
                const std::size_t count = std::min(lanes, kFrames - start);
                RealFft& fft = batched.batch_spectra(signal.data() + start * kStep, count);
                mel_kernels.mel_energies(fft.batch_spectra(), kMagnitudeFloor, kModelFilterbank.view(),
                                         magnitudes.data(), energies.data());
                for (std::size_t j = 0; j < count; ++j) {
                    const std::size_t f = start + j;
                    for (std::size_t k = 0; k < fft.bins(); ++k) {
                        const Complex got = fft.batch_bin(k, j);
                        ASSERT_EQ(spectrum_bits(got.re), spectrum_bits(spectra[f][k].re)) << simd_path_name(path) << " frame " << f;
                        ASSERT_EQ(spectrum_bits(got.im), spectrum_bits(spectra[f][k].im)) << simd_path_name(path) << " frame " << f;
                    }
                    for (std::size_t b = 0; b < 80; ++b) {
                        ASSERT_EQ(bits(levels.apply(energies[b * lanes + j])), bits(columns[f][b]))
                            << simd_path_name(path) << " frame " << f << " band " << b;
                    }
                }
                // The levels and either normalisation in lanes, against the scalar steps.
                for (const MelNormalization& n : {MelNormalization::symmetric_clip(-100.0f), MelNormalization::standardize()}) {
                    std::vector<float> values = energies;
                    mel_kernels.levels(level_rule(levels, n), values.data(), values.size());
                    for (std::size_t j = 0; j < count; ++j) {
                        for (std::size_t b = 0; b < 80; ++b) {
                            ASSERT_EQ(bits(values[b * lanes + j]), bits(n.apply(columns[start + j][b])))
                                << simd_path_name(path) << " frame " << start + j << " band " << b;
                        }
                    }
                }
            }
        }
    }
}

TEST(RealFft, TransformsGiveTheSameBitsOnEveryPath) {
    std::mt19937 rng(4);
    std::normal_distribution<float> noise(0.0f, 0.2f);
    std::vector<float> samples(16000 + 123);
    for (float& v : samples) v = noise(rng);
    for (ModelVersion version : {ModelVersion::V1, ModelVersion::V2}) {
        const std::vector<float> want = transform_frames(Audio2MelSpectrogram(version, SimdPath::Baseline), samples).mel_frames;
        for (SimdPath path : available_simd_paths()) {
            const std::vector<float> got = transform_frames(Audio2MelSpectrogram(version, path), samples).mel_frames;
            ASSERT_EQ(got.size(), want.size());
            for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(bits(got[i]), bits(want[i])) << simd_path_name(path) << " " << i;
        }
    }
}

}  // namespace
}  // namespace ostrel::audio
