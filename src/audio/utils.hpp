// Building blocks of the log-mel features: the mel filterbank, the log-mel
// column of one analysis frame, fitting audio to a length, and nearest-sample
// resampling. All arithmetic is single precision, one rounding per operation,
// in the order written in the sources.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "audio/elementary.hpp"
#include "audio/fft.hpp"

namespace ostrel::audio {

// A row-major two-dimensional f32 array.
struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<float> values;

    float at(std::size_t row, std::size_t col) const { return values[row * cols + col]; }
    std::span<const float> row(std::size_t r) const { return {values.data() + r * cols, cols}; }
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

// The n_mels + 2 filter edges in Hz: equal steps on the mel scale from fmin
// to fmax, converted back to Hz. Filter i rises from edge i to edge i + 1 and
// falls to edge i + 2.
std::vector<float> mel_frequencies(const MelConfig& config);

// The (n_mels, n_fft/2 + 1) triangular mel filterbank.
Matrix mel(MelConfig config);

// Per filter, the smallest range holding every weight that is not zero
// (NaN weights count as non-zero). An all-zero filter gets an empty range.
std::vector<BinRange> nonzero_bin_ranges(const Matrix& filters);

// What turns a mel energy m into a log-mel value:
// log_multiplier * log10(max(m, min_level) * amplitude_scale) - ref_level_db.
struct LogMelLevels {
    float min_level = 0.0f;
    float amplitude_scale = 1.0f;
    float log_multiplier = 1.0f;
    float ref_level_db = 0.0f;

    // In this order, each step rounded: maxNum (a NaN energy takes the
    // floor), scale, the correctly rounded log10, multiply, subtract. The
    // transformer runs the same steps in lanes (fft_detail::LevelRule).
    float apply(float energy) const noexcept;
};

// The constant under every magnitude's square root: it keeps every magnitude
// away from zero, so that its logarithm stays finite.
inline constexpr float kMagnitudeFloor = std::bit_cast<float>(0x3089705Fu);  // 1e-9

// The working form used once per frame: writes filters.rows log-mel values to
// `column` from bins 0 .. filters.cols - 1 of `spectrum`, using `magnitudes`
// (filters.cols values) as scratch. `ranges` must come from
// nonzero_bin_ranges(filters).
void log_mel_column(std::span<const Complex> spectrum, const Matrix& filters, std::span<const BinRange> ranges,
                    const LogMelLevels& levels, std::span<float> magnitudes, std::span<float> column);

// One log-mel column, (filters.rows, 1), from a frame's spectrum. Only bins
// 0 .. n_fft/2 are read, where filters.cols == n_fft/2 + 1; a spectrum with
// fewer bins than that is a fatal error.
Matrix log_mel_spectrogram(std::span<const Complex> spectrum, const Matrix& filters, float min_level,
                           float amplitude_scale, float log_multiplier, float ref_level_db);

// The samples brought to exactly length + extra values: cut at the end, or
// extended at the end with zeros.
std::vector<float> crop_pad_audio(std::vector<float> samples, std::size_t length, std::size_t extra);

// 44100 Hz audio reduced to 16000 Hz by taking, for every output instant, the
// nearest input sample; no filtering.
std::vector<float> resample_nearest(std::span<const float> samples);

// IEEE maxNum and minNum: when one operand is NaN the other is the result;
// of +0.0 and -0.0 the second operand. Inline and the module's own, unlike a
// C library's fmaxf and fminf, whose choice between zeros varies.
inline float max_num(float a, float b) noexcept { return (a > b || b != b) ? a : b; }
inline float min_num(float a, float b) noexcept { return (a < b || b != b) ? a : b; }

inline float LogMelLevels::apply(float energy) const noexcept {
    const float floored = max_num(energy, min_level);
    const float scaled = floored * amplitude_scale;
    const float log = cr::log10(scaled);
    return log_multiplier * log - ref_level_db;
}

// f32 to unsigned conversions: truncating toward zero, or rounding to nearest
// with halves away from zero; both saturate, and negative values and NaN give 0.
std::uint64_t truncate_u64(float value) noexcept;
std::uint32_t truncate_u32(float value) noexcept;
std::uint64_t round_u64(float value) noexcept;

}  // namespace ostrel::audio
