// Reference models of the audio path, for the C++ tests and the fuzzer: the
// streaming spectrogram that tapers one frame at a time as hops of samples
// arrive, the log-mel column of one spectrum written as plain scalar code,
// the whole transform made from them, and windows packed back to back. The
// module runs none of them: it transforms batches of frames in lanes and
// writes each window where it is kept; the tests hold it to these.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <vector>

#include "audio/fft.hpp"
#include "audio/filterbank.hpp"
#include "audio/levels.hpp"
#include "audio/transforms.hpp"
#include "reference/log10.hpp"
#include "reference/real_fft.hpp"
#include "support/panic.hpp"

namespace ostrel::audio {

// Streaming short-time Fourier transform: hop_size samples in, the spectrum
// of the newest fft_size samples out once enough samples have arrived.
class Spectrogram {
public:
    Spectrogram(std::size_t fft_size, std::size_t hop_size, SimdPath path = best_simd_path())
        : fft_size_(fft_size),
          hop_size_(hop_size),
          taper_(hann_taper(fft_size)),
          sample_buffer_(fft_size, 0.0f),
          fft_input_(fft_size, 0.0f),
          fft_output_(fft_size / 2 + 1),
          fft_(fft_size, path) {
        if (hop_size == 0 || hop_size > fft_size) panic("hop_size must be in 1..=fft_size");
    }

    // Pushes at most hop_size samples (short chunks are padded with zeros).
    // Returns bins 0 .. fft_size/2 of the tapered frame's DFT, or nothing
    // while fewer than fft_size samples have been pushed.
    std::optional<std::span<const Complex>> add(std::span<const float> samples) {
        if (samples.size() > hop_size_) panic("frames must be <= hop_size");
        // Keep the newest fft_size samples: drop one hop from the front, append the chunk.
        std::copy(sample_buffer_.begin() + static_cast<std::ptrdiff_t>(hop_size_), sample_buffer_.end(),
                  sample_buffer_.begin());
        const auto tail = sample_buffer_.end() - static_cast<std::ptrdiff_t>(hop_size_);
        std::fill(std::copy(samples.begin(), samples.end(), tail), sample_buffer_.end(), 0.0f);
        total_samples_ += samples.size();
        if (total_samples_ < fft_size_) return std::nullopt;
        return spectrum_of(sample_buffer_);
    }

    // The spectrum of one frame of fft_size samples, tapered, one sample at
    // a time; the streaming state is left alone.
    std::span<const Complex> spectrum_of(std::span<const float> frame) {
        if (frame.size() != fft_size_) panic("spectrum_of: frame must hold fft_size samples");
        for (std::size_t i = 0; i < fft_size_; ++i) fft_input_[i] = frame[i] * taper_[i];
        fft_.forward(fft_input_, fft_output_);
        return std::span<const Complex>(fft_output_);
    }

    // The tapered spectra of `count` (1 ..= lanes()) frames, frame j starting
    // at first + j * hop_size, left in the returned FFT's batch, as the
    // transformer makes them.
    RealFft& batch_spectra(const float* first, std::size_t count) {
        fft_.forward_batch(first, hop_size_, count, taper_);
        return fft_;
    }
    std::size_t lanes() const noexcept { return fft_.lanes(); }

private:
    std::size_t fft_size_;
    std::size_t hop_size_;
    std::uint64_t total_samples_ = 0;
    std::vector<float> taper_;
    std::vector<float> sample_buffer_;  // the newest fft_size samples
    std::vector<float> fft_input_;      // sample_buffer_ times taper_
    std::vector<Complex> fft_output_;   // bins 0 .. fft_size/2
    RealFft fft_;
};

// The log-mel level of one mel energy, scalar: LogMelLevels' steps in order.
inline float log_mel_level(const LogMelLevels& levels, float energy) {
    const float floored = max_num(energy, levels.min_level);
    const float scaled = floored * levels.amplitude_scale;
    const float log = scalar_log10(scaled);
    return levels.log_multiplier * log - levels.ref_level_db;
}

// A log-mel value normalised by `rule`, scalar: its steps in order.
inline float normalized(const LevelRule& rule, float x) {
    if (rule.standardize) return (x - rule.mean) / rule.deviation;
    constexpr float kBound = LevelRule::kClipBound;
    float v = x - rule.min_level_db;
    v = v / (-rule.min_level_db);
    v = (2.0f * kBound) * v;
    v = v - kBound;
    return min_num(max_num(v, -kBound), kBound);
}

// The log-mel values of one frame, scalar: writes filters.rows values to
// `column` from bins 0 .. filters.cols - 1 of `spectrum`, using `magnitudes`
// (filters.cols values) as scratch. `ranges` must come from
// nonzero_bin_ranges(filters).
inline void log_mel_column(std::span<const Complex> spectrum, const Matrix& filters, std::span<const BinRange> ranges,
                    const LogMelLevels& levels, std::span<float> magnitudes, std::span<float> column) {
    const std::size_t n_bins = filters.cols;
    if (spectrum.size() < n_bins || magnitudes.size() < n_bins || column.size() < filters.rows ||
        ranges.size() < filters.rows) {
        panic("log_mel_column: spectrum or buffers do not match the filterbank");
    }

    // The squares are summed first and the floor added to the sum.
    const Complex* bins = spectrum.data();
    float* mags = magnitudes.data();
    int finite = 1;
    for (std::size_t k = 0; k < n_bins; ++k) {
        const float re = bins[k].re;
        const float im = bins[k].im;
        const float m = std::sqrt((re * re + im * im) + kMagnitudeFloor);
        mags[k] = m;
        finite &= static_cast<int>(m <= std::numeric_limits<float>::max());
    }
    const bool all_finite = finite != 0;

    // Weights outside a filter's range are zero and add +0.0 to a sum of
    // non-negative finite terms, so summing the range alone gives the full
    // product's value. A NaN or infinite magnitude does reach every filter
    // (NaN * 0 and inf * 0 are NaN), so such a frame takes the full sum.
    for (std::size_t i = 0; i < filters.rows; ++i) {
        const float* weights = filters.values.data() + i * n_bins;
        const std::size_t first = all_finite ? ranges[i].first : 0;
        const std::size_t last = all_finite ? ranges[i].last : n_bins;
        float energy = 0.0f;
        for (std::size_t k = first; k < last; ++k) energy = energy + weights[k] * magnitudes[k];
        column[i] = log_mel_level(levels, energy);
    }
}

// Normalised log-mel frames, (1, 1, kBands, frames) row-major: element
// [0, 0, b, i] is mel_frames[b * frames + i].
struct TransformResult {
    std::vector<float> mel_frames;
    std::size_t frames = 0;
    std::uint64_t windows = 0;
};

// The rate of samples that the models take as they are.
inline constexpr std::uint32_t kModelRate = 16000;

// The transformer's frames of samples at the models' rate gathered whole, as
// its batches hand them over.
inline TransformResult transform_frames(const Audio2MelSpectrogram& transformer, std::span<const float> samples) {
    const TransformPlan plan = plan_transform(transformer.config(), samples.size(), kModelRate);
    TransformResult out{std::vector<float>(kBands * plan.frames), plan.frames, plan.windows};
    std::size_t next = 0;
    detail::frames(transformer, samples, plan, [&](const float* values, std::size_t stride, std::size_t count) {
        for (std::size_t b = 0; b < kBands; ++b) {
            for (std::size_t j = 0; j < count; ++j) out.mel_frames[b * plan.frames + next + j] = values[b * stride + j];
        }
        next += count;
    });
    if (next != plan.frames) panic("transform_frames: frames missing");
    return out;
}

// The same frames one at a time, as the streaming spectrogram makes them: the
// signal cut, padded and pre-emphasised whole, pushed a hop at a time, each
// spectrum's scalar log-mel column normalised.
inline TransformResult streamed_frames(const ModelConfig& config, std::span<const float> samples) {
    const TransformPlan plan = plan_transform(config, samples.size(), kModelRate);
    std::vector<float> signal(plan.total, 0.0f);
    std::copy_n(samples.begin(), plan.kept, signal.begin() + static_cast<std::ptrdiff_t>(plan.lead));
    if (config.preemphasis && plan.kept > 0) {
        const float c = *config.preemphasis;
        // Backwards, so each step reads its predecessor's original value;
        // the first zero after the samples changes too.
        const std::size_t end = std::min(plan.lead + plan.kept, plan.total - 1);
        for (std::size_t i = end; i > plan.lead; --i) signal[i] = signal[i] - c * signal[i - 1];
        signal[plan.lead] = signal[plan.lead] - c * 0.0f;
    }
    const std::size_t hop = config.hop_size;
    Spectrogram spectrogram(config.mel.n_fft, hop);
    const Matrix filters = mel(config.mel);
    const std::vector<BinRange> ranges = nonzero_bin_ranges(filters);
    std::vector<float> magnitudes(filters.cols), column(kBands);
    const LevelRule rule = level_rule(config.levels, config.normalization);
    std::vector<std::vector<float>> columns;
    for (std::size_t at = 0; at + hop <= signal.size(); at += hop) {
        const auto spectrum = spectrogram.add(std::span(signal).subspan(at, hop));
        if (!spectrum) continue;
        log_mel_column(*spectrum, filters, ranges, config.levels, magnitudes, column);
        for (float& v : column) v = normalized(rule, v);
        columns.push_back(column);
    }
    TransformResult out{std::vector<float>(kBands * columns.size()), columns.size(), plan.windows};
    for (std::size_t i = 0; i < columns.size(); ++i) {
        for (std::size_t b = 0; b < kBands; ++b) out.mel_frames[b * out.frames + i] = columns[i][b];
    }
    return out;
}

// Windows packed back to back: `count` windows of kWindowBytes each.
struct PreprocessedWindows {
    std::size_t count = 0;
    std::vector<std::uint8_t> bytes;
};

// The windows of frames already made, handed to the packer a batch at a time.
inline PreprocessedWindows to_preprocessed_bytes(const TransformResult& result, float pad_value) {
    const auto count = static_cast<std::size_t>(result.windows);
    PreprocessedWindows out{count, std::vector<std::uint8_t>(count * kWindowBytes)};
    const WindowSink sink = [&](std::size_t k) { return out.bytes.data() + k * kWindowBytes; };
    detail::WindowPacker packer(result.frames, result.windows, pad_value, sink);
    constexpr std::size_t kBatch = detail::WindowPacker::kMaxBatch;
    for (std::size_t i = 0; i < result.frames; i += kBatch) {
        packer.add(result.mel_frames.data() + i, result.frames, std::min(kBatch, result.frames - i));
    }
    packer.finish();
    return out;
}

// The module's windows of `samples` at `sample_rate`, packed back to back.
inline PreprocessedWindows run_melspectrogram(ModelVersion version, std::span<const float> samples,
                                              std::uint32_t sample_rate, SimdPath path = best_simd_path()) {
    const Audio2MelSpectrogram transformer(version, path);
    const TransformPlan plan = plan_transform(transformer.config(), samples.size(), sample_rate);
    const auto count = static_cast<std::size_t>(plan.windows);
    PreprocessedWindows out{count, std::vector<std::uint8_t>(count * kWindowBytes)};
    transformer.transform(samples, plan, [&](std::size_t k) {
        if (k >= count) panic("run_melspectrogram: window out of range");
        return out.bytes.data() + k * kWindowBytes;
    });
    return out;
}

}  // namespace ostrel::audio
