// The audio-to-log-mel transformer: the two model versions' configurations,
// the transform of samples into normalised log-mel frames, a batch of frames
// at a time through the FFT and mel kernels, and the packing of those frames
// into 16-frame windows as they are finished.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "audio/elementary.hpp"
#include "audio/fft.hpp"
#include "audio/filterbank.hpp"
#include "audio/levels.hpp"
#include "audio/mel_kernels.hpp"
#include "support/filled.hpp"

namespace ostrel::audio {

enum class ModelVersion { V1, V2 };

// A window: kBands rows of kWindowFrames consecutive frames, as
// little-endian f32, band-major.
inline constexpr std::size_t kBands = 80;
inline constexpr std::size_t kWindowFrames = 16;
inline constexpr std::size_t kWindowBytes = kBands * kWindowFrames * sizeof(float);

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

const ModelConfig& model_config(ModelVersion version) noexcept;

// The periodic Hann taper (the Hann window of signal processing; here
// "window" names the model's 16-frame windows) of `length` samples: divided
// by length, not length - 1, so the taper is one period of the cosine and
// its last value is not zero.
constexpr std::vector<float> hann_taper(std::size_t length) {
    constexpr float kTwoPi = std::bit_cast<float>(0x40C90FDBu);  // 6.2831855
    std::vector<float> taper = filled(length, 0.0f);
    for (std::size_t n = 0; n < length; ++n) {
        const float t = (static_cast<float>(n) * kTwoPi) / static_cast<float>(length);
        taper[n] = (1.0f - cr::cos(t)) * 0.5f;
    }
    return taper;
}

// The models' taper, computed by the compiler.
inline constexpr std::array<float, 800> kModelTaper = [] {
    std::array<float, 800> out{};
    const std::vector<float> taper = hann_taper(out.size());
    for (std::size_t n = 0; n < out.size(); ++n) out[n] = taper[n];
    return out;
}();

// What a transform of `input` samples makes, and the signal it analyses:
// the samples at the models' rate (resampled first when `resample`), then
// `lead` zeros, the first `kept` of them, then zeros up to `total` samples
// (before pre-emphasis, which also turns the first zero after the samples
// into -c times the last one).
struct TransformPlan {
    std::size_t input = 0;      // the samples the plan was made for
    bool resample = false;      // brought to the models' rate first (resample.hpp)
    std::uint64_t windows = 0;  // to emit, one per video frame
    std::size_t frames = 0;     // frames of kBands values, one per hop
    std::size_t lead = 0;
    std::size_t kept = 0;
    std::size_t total = 0;
};

// The plan of a transform of `samples` samples at `sample_rate`: the rate
// rule of resample.hpp applied, then the samples fitted to whole video
// frames. Made once per call, before a sample is read, so that the windows
// are counted first. std::bad_alloc when the signal's length does not fit a
// size_t.
TransformPlan plan_transform(const ModelConfig& config, std::size_t samples, std::uint32_t sample_rate);

// An upper bound on the bytes transform() allocates besides the windows for
// `plan`: the samples brought to the models' rate, its working block (under
// 128 KiB on every path) and the packer's held frames.
std::uint64_t transform_memory_bound(const TransformPlan& plan);

// Where window k is written: kWindowBytes bytes, asked for in window order.
using WindowSink = std::function<std::uint8_t*(std::size_t)>;

class Audio2MelSpectrogram;

// The transform's inner steps, which the tests hold to reference models
// step by step; the module calls transform() alone.
namespace detail {

// Cuts frames into windows as they arrive. Window k starts near frame 3.2 k
// (a running f32 sum) and holds kWindowFrames frames; positions without a
// frame hold pad_value. Each window is written as soon as its frames are in,
// so only the frames that windows still need are kept.
class WindowPacker {
public:
    // The most frames one add() takes.
    static constexpr std::size_t kMaxBatch = 16;

    WindowPacker(std::size_t frames, std::uint64_t windows, float pad_value, const WindowSink& sink);

    // The next `count` (at most kMaxBatch) frames: band b of the j-th at
    // values[b * stride + j].
    void add(const float* values, std::size_t stride, std::size_t count);

    // After the last frame: the windows left, padded where frames run out.
    void finish();

private:
    static constexpr std::size_t kCapacity = 2 * kWindowFrames + kMaxBatch;  // frames kept per band

    void emit(std::size_t done);

    std::size_t frames_;
    std::uint64_t windows_;
    float pad_value_;
    const WindowSink& sink_;
    std::unique_ptr<float[]> held_values_;  // kBands rows of kCapacity frames
    std::size_t base_ = 0;                  // the frame in slot 0
    std::size_t held_ = 0;                  // frames base_ .. base_ + held_ - 1 are held
    std::uint64_t next_ = 0;                // the next window to write
    float start_ = 0.0f;                    // its start
};

// What frames() hands each batch of frames to.
using FrameSink = std::function<void(const float*, std::size_t, std::size_t)>;

// Every frame of `plan` over `samples` (at the models' rate), a batch of at
// most the path's width at a time in frame order: take(values, stride,
// count) gets band b of the batch's j-th frame at values[b * stride + j].
void frames(const Audio2MelSpectrogram& transformer, std::span<const float> samples, const TransformPlan& plan,
            const FrameSink& take);

// A transformer over a configuration of the caller's, which must outlive it,
// with the models' filterbank, FFT length and hop (the tables are theirs);
// anything else is a fatal error.
Audio2MelSpectrogram transformer_for(const ModelConfig& config, SimdPath path = best_simd_path());

}  // namespace detail

class Audio2MelSpectrogram {
public:
    // The version's constant configuration, taper and filterbank, and the
    // vector kernels of `path`; every path gives the same bits. Allocates
    // nothing: the tables are constants of the module.
    explicit Audio2MelSpectrogram(ModelVersion version, SimdPath path = best_simd_path());

    const ModelConfig& config() const noexcept { return *config_; }

    // The windows of `samples`, the plan_transform() of their count and rate:
    // one per 25-per-second video frame the samples span at the models'
    // rate, window k written to sink(k) in order, straight from each batch
    // of frames. Other samples than those planned for are a fatal error.
    void transform(std::span<const float> samples, const TransformPlan& plan, const WindowSink& sink) const;

private:
    friend void detail::frames(const Audio2MelSpectrogram&, std::span<const float>, const TransformPlan&,
                               const detail::FrameSink&);
    friend Audio2MelSpectrogram detail::transformer_for(const ModelConfig&, SimdPath);

    Audio2MelSpectrogram(const ModelConfig& config, SimdPath path);

    // The widest batch: the path's own width.
    std::size_t lanes() const noexcept { return widths_[0].fft.lanes; }

    void frames(std::span<const float> samples, const TransformPlan& plan, const detail::FrameSink& take) const;

    // The path's kernels at its own width, then at each narrower one down to
    // 4 lanes: a batch of few frames (a short input's, or the last one) takes
    // the narrowest that holds it, and the same bits.
    struct Width {
        FftKernels fft;
        MelKernels mel;
    };

    const ModelConfig* config_;
    Width widths_[3];
    std::size_t width_count_ = 0;
    LevelRule level_rule_;
};

}  // namespace ostrel::audio
