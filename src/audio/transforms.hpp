// The audio-to-log-mel transformer: the two model versions' configurations,
// the transform of samples into normalised log-mel frames, a batch of frames
// at a time through the FFT and mel kernels, and the packing of those frames
// into 16-frame windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "audio/fft.hpp"
#include "audio/mel_kernels.hpp"
#include "audio/filterbank.hpp"
#include "audio/levels.hpp"

namespace ostrel::audio {

enum class ModelVersion { V1, V2 };

// The constants of one model version. The mel filterbank's configuration
// holds the sample rate and the FFT length.
struct ModelConfig {
    MelConfig mel;
    std::size_t hop_size;
    bool center;
    std::optional<float> preemphasis;
    LogMelLevels levels;
    MelNormalization normalization;
    float pad_value;
};

ModelConfig model_config(ModelVersion version);

// The periodic Hann window of `length` samples.
std::vector<float> hann_window(std::size_t length);

// Normalised log-mel frames, (1, 1, kBands, frames) row-major: element
// [0, 0, b, i] is mel_frames[b * frames + i].
struct TransformResult {
    static constexpr std::size_t kBands = 80;
    static constexpr std::size_t kWindowFrames = 16;
    static constexpr std::size_t kWindowBytes = kBands * kWindowFrames * sizeof(float);

    std::vector<float> mel_frames;
    std::size_t frames = 0;
    std::uint64_t chunk_count = 0;  // windows to emit, one per video frame

    // chunk_count windows of kWindowFrames frames, window k starting near
    // frame 3.2 k; positions without a frame hold pad_value. Each window is
    // kBands x kWindowFrames little-endian f32, band-major, written to the
    // kWindowBytes bytes that `destination(k)` returns, in window order.
    // Fatal unless mel_frames holds kBands rows of `frames`; std::bad_alloc
    // when chunk_count windows could not even be counted in bytes.
    void pack_windows(float pad_value, const std::function<std::uint8_t*(std::size_t)>& destination) const;
};

class Audio2MelSpectrogram {
public:
    // Builds the filterbank (kBands bands), the Hann window and the FFT plan.
    // `path` picks the vector kernels; every path gives the same bits.
    explicit Audio2MelSpectrogram(const ModelConfig& config, SimdPath path = best_simd_path());

    // Samples at the configuration's sample rate to normalised log-mel
    // frames, one per hop, over the whole 25-per-second video frames the
    // samples span; there is always at least one frame. The transformer keeps
    // nothing of one call for the next.
    TransformResult transform(std::vector<float> samples);

    const ModelConfig& config() const noexcept { return config_; }
    std::span<const float> window() const noexcept { return window_; }

private:
    // The log-mel values of `count` frames at once, frame j of the batch
    // starting at first + j * hop_size, into frames frame .. frame + count - 1
    // of `result`.
    void transform_batch(const float* first, std::size_t count, std::size_t frame, TransformResult& result);

    ModelConfig config_;
    std::vector<float> window_;  // periodic Hann
    RealFft fft_;
    MelKernels mel_kernels_;
    Matrix mel_filters_;
    std::vector<BinRange> filter_ranges_;
    LevelRule level_rule_;
    // Per-batch scratch, written before it is read: magnitudes (bins x
    // lanes), energies (bands x lanes) and a batch of frames that reach
    // past the input.
    std::vector<float> magnitudes_;
    std::vector<float> energies_;
    std::vector<float> edge_frames_;
};

Audio2MelSpectrogram make_transformer(ModelVersion version, SimdPath path = best_simd_path());

// Everything after the samples were copied out of the caller's array:
// nearest-sample resampling of 44100 Hz input, then the transform. The
// caller packs the windows with pack_windows() and the version's pad value.
TransformResult run_transform(Audio2MelSpectrogram& transformer, std::vector<float> samples,
                              std::uint32_t sample_rate);

}  // namespace ostrel::audio
