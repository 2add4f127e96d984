// The audio-to-log-mel transformer, its streaming spectrogram, the two model
// configurations, and the packing of results into 16-frame windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "audio/fft.hpp"
#include "audio/utils.hpp"

namespace ostrel::audio {

enum class ModelVersion { V1, V2 };

// How every log-mel value x is brought into the model's range.
struct MelNormalization {
    enum class Kind { SymmetricClip, Standardize };
    Kind kind = Kind::Standardize;
    float min_level_db = 0.0f;  // SymmetricClip only

    static MelNormalization symmetric_clip(float min_level_db) { return {Kind::SymmetricClip, min_level_db}; }
    static MelNormalization standardize() { return {Kind::Standardize, 0.0f}; }

    float apply(float x) const noexcept;
    // apply() to every value, the kind tested once so that the loop vectorises.
    void apply_all(std::span<float> values) const noexcept;
};

// The levels of `levels` followed by `normalization`, as the rule the
// lanes apply to each batch of energies.
fft_detail::LevelRule level_rule(const LogMelLevels& levels, const MelNormalization& normalization);

// Windows packed back to back: `count` windows of kWindowBytes each.
struct PreprocessedWindows {
    std::size_t count = 0;
    std::vector<std::uint8_t> bytes;
};

// Normalised log-mel frames, (1, 1, kBands, frames) row-major: element
// [0, 0, b, i] is mel_frames[b * frames + i].
struct TransformResult {
    static constexpr std::size_t kBands = 80;
    static constexpr std::size_t kWindowFrames = 16;
    static constexpr std::size_t kWindowBytes = kBands * kWindowFrames * sizeof(float);

    std::vector<float> mel_frames;
    std::size_t frames = 0;
    std::uint64_t chunk_count = 0;     // windows to emit, one per video frame
    std::optional<float> start_offset; // frame position of the first window; absent: 0

    // chunk_count windows of kWindowFrames frames, window k starting near
    // frame 3.2 k; positions without a frame hold pad_value. Each window is
    // kBands x kWindowFrames little-endian f32, band-major.
    PreprocessedWindows to_preprocessed_bytes(float pad_value) &&;

    // The same windows, each written to the kWindowBytes bytes that
    // `destination(k)` returns for window k, in window order, so that callers
    // can have them written straight where they are kept.
    void pack_windows(float pad_value, const std::function<std::uint8_t*(std::size_t)>& destination) const;

private:
    // Fatal unless mel_frames holds kBands rows of `frames`; std::bad_alloc
    // when chunk_count windows could not even be counted in bytes.
    void check_windows() const;
};

// Streaming short-time Fourier transform: hop_size samples in, the spectrum
// of the newest fft_size samples out once enough samples have arrived.
class Spectrogram {
public:
    Spectrogram(std::size_t fft_size, std::size_t hop_size, SimdPath path = best_simd_path());

    // Pushes at most hop_size samples (short chunks are padded with zeros).
    // Returns bins 0 .. fft_size/2 of the windowed frame's DFT, or nothing
    // while fewer than fft_size samples have been pushed. The span stays
    // valid until the next add() or reset().
    std::optional<std::span<const Complex>> add(std::span<const float> frames);

    // The spectrum of one frame of fft_size samples, windowed as add() windows
    // its buffer; the streaming state is left alone. The span stays valid
    // until the next add(), spectrum_of() or reset().
    std::span<const Complex> spectrum_of(std::span<const float> frame);

    // The windowed spectra of `count` (1 ..= lanes()) frames of fft_size
    // samples at once, frame j starting at first + j * hop_size, left in the
    // returned FFT's batch; the streaming state is left alone. Each spectrum
    // has the bits spectrum_of() gives for its frame.
    RealFft& batch_spectra(const float* first, std::size_t count);
    std::size_t lanes() const noexcept { return fft_.lanes(); }

    // Back to the state after construction.
    void reset() noexcept;

    std::size_t fft_size() const noexcept { return fft_size_; }
    std::size_t hop_size() const noexcept { return hop_size_; }
    std::uint64_t total_samples() const noexcept { return total_samples_; }
    std::span<const float> window() const noexcept { return window_; }
    std::span<const float> sample_buffer() const noexcept { return sample_buffer_; }
    std::span<const float> fft_input() const noexcept { return fft_input_; }
    std::span<const Complex> fft_output() const noexcept { return fft_output_; }

private:
    std::size_t fft_size_;
    std::size_t hop_size_;
    std::uint64_t total_samples_ = 0;
    std::vector<float> window_;         // periodic Hann
    std::vector<float> sample_buffer_;  // the newest fft_size samples
    std::vector<float> fft_input_;      // sample_buffer_ times window_
    std::vector<Complex> fft_output_;   // bins 0 .. fft_size/2
    RealFft fft_;
};

class Audio2MelSpectrogram {
public:
    // Builds the filterbank, the Hann window and the FFT plan. hop_size must
    // lie in 1 ..= n_fft, and the filterbank must have TransformResult::kBands
    // rows; anything else is a fatal error.
    // `path` picks the FFT's vector kernels; every path gives the same bits.
    Audio2MelSpectrogram(std::uint32_t sample_rate, std::size_t n_fft, std::size_t hop_size, bool center,
                         std::optional<float> preemphasis, MelConfig mel_config, float min_level,
                         float amplitude_scale, float log_multiplier, float ref_level_db,
                         SimdPath path = best_simd_path());

    // Samples at sample_rate to normalised log-mel frames, one per hop, over
    // the whole 25-per-second video frames the samples span. Nothing when no
    // frame results. The streaming state is reset before returning.
    std::optional<TransformResult> transform(std::vector<float> samples, MelNormalization normalization);

    const Spectrogram& spectrogram() const noexcept { return spectrogram_; }
    const Matrix& mel_filters() const noexcept { return mel_filters_; }
    std::size_t n_fft() const noexcept { return n_fft_; }
    std::size_t hop_size() const noexcept { return hop_size_; }
    std::uint32_t sample_rate() const noexcept { return sample_rate_; }
    bool center() const noexcept { return center_; }
    std::optional<float> preemphasis() const noexcept { return preemphasis_; }
    const LogMelLevels& levels() const noexcept { return levels_; }

private:
    Spectrogram spectrogram_;
    std::optional<float> preemphasis_;
    Matrix mel_filters_;
    std::vector<BinRange> filter_ranges_;
    std::size_t n_fft_;
    std::size_t hop_size_;
    std::uint32_t sample_rate_;
    LogMelLevels levels_;
    bool center_;
    std::vector<float> energies_;     // per-batch scratch: bands x lanes
    std::vector<float> edge_frames_;  // a batch of frames that reach past the input
};

// The constants of one model version.
struct ModelConfig {
    std::uint32_t sample_rate;
    std::size_t n_fft;
    std::size_t hop_size;
    bool center;
    std::optional<float> preemphasis;
    MelConfig mel;
    LogMelLevels levels;
    MelNormalization normalization;
    float pad_value;
};

ModelConfig model_config(ModelVersion version);

Audio2MelSpectrogram make_transformer(ModelVersion version, SimdPath path = best_simd_path());

// Everything after the samples were copied out of the caller's array:
// nearest-sample resampling of 44100 Hz input, transform with the version's
// normalisation, and packing with its pad value. Nothing only when the
// transform produced no frame.
std::optional<PreprocessedWindows> run_melspectrogram(Audio2MelSpectrogram& transformer, ModelVersion version,
                                                      std::vector<float> samples, std::uint32_t sample_rate);

// run_melspectrogram() up to the packing, which the caller does with
// pack_windows() and the version's pad value.
std::optional<TransformResult> run_transform(Audio2MelSpectrogram& transformer, ModelVersion version,
                                             std::vector<float> samples, std::uint32_t sample_rate);

}  // namespace ostrel::audio
