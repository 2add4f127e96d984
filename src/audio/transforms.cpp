// The transformer: the models' configurations, the signal cut, padded and
// pre-emphasised, the frames through the FFT and mel kernels a batch at a
// time, and the packing of the result into windows.
#include "audio/transforms.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "audio/elementary.hpp"
#include "support/panic.hpp"
#include "audio/resample.hpp"
#include "support/saturate.hpp"

namespace ostrel::audio {
namespace {

constexpr float kTwoPi = std::bit_cast<float>(0x40C90FDBu);            // 6.2831855
constexpr float kVideoFramesPerSecond = 25.0f;
constexpr float kFramesPerWindowStep = std::bit_cast<float>(0x404CCCCDu);  // 3.2: 80 frames/s over 25 video frames/s

constexpr float kPreemphasisV1 = std::bit_cast<float>(0x3F7851ECu);  // 0.97
constexpr float kMinLevelV1 = std::bit_cast<float>(0x3727C5A5u);     // 9.99999338e-06, not the f32 nearest 1e-5
constexpr float kMinLevelV2 = std::bit_cast<float>(0x3727C5ACu);     // 1e-05
constexpr float kMinLevelDbV1 = -100.0f;
// Each version pads with the value its normalisation gives to silence.
constexpr float kPadValueV1 = -4.0f;
constexpr float kPadValueV2 = std::bit_cast<float>(0xC02A2B20u);  // Standardize(-5.0) = -2.6588821

// The analysed signal, never built whole: `lead` zeros, the `kept` samples
// of `input`, one sample `after`, then zeros up to `total` samples.
struct Signal {
    const float* input;
    std::size_t lead;
    std::size_t kept;
    float after;
    std::size_t total;

    // Samples [start, start + count) as contiguous memory: in the input
    // itself where they all lie there, else assembled in `scratch`.
    const float* span(std::size_t start, std::size_t count, std::vector<float>& scratch) const {
        if (start >= lead && start + count <= lead + kept) return input + (start - lead);
        scratch.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = start + i;
            float v = 0.0f;
            if (at >= lead && at < lead + kept) {
                v = input[at - lead];
            } else if (at == lead + kept) {
                v = after;
            }
            scratch[i] = v;
        }
        return scratch.data();
    }
};

// The input cut or padded with zeros to `length` samples plus, uncentred,
// one FFT length; centred, between n_fft/2 zeros on either side; then
// pre-emphasised, in place on the kept samples: y[i] = x[i] - c x[i-1] with
// x[-1] = 0, so the zeros before the input stay zeros, and of the zeros after
// it only the first changes.
Signal signal_of(std::vector<float>& samples, std::uint64_t length, const ModelConfig& config) {
    const std::size_t n_fft = config.mel.n_fft;
    const std::size_t extra = config.center ? 0 : n_fft;
    const std::size_t lead = config.center ? n_fft / 2 : 0;
    if (length > std::numeric_limits<std::size_t>::max() - extra - 2 * lead) throw std::bad_alloc();
    const std::size_t body = static_cast<std::size_t>(length) + extra;
    Signal signal{samples.data(), lead, std::min(samples.size(), body), 0.0f, lead + body + lead};

    if (config.preemphasis && signal.total > 0 && signal.kept > 0) {
        const float c = *config.preemphasis;
        float* x = samples.data();
        signal.after = 0.0f - c * x[signal.kept - 1];
        // Backwards, so each step still reads its predecessor's original value.
        for (std::size_t i = signal.kept - 1; i > 0; --i) x[i] = x[i] - c * x[i - 1];
        x[0] = x[0] - c * 0.0f;
    }
    return signal;
}

// Copies f32 values into a byte buffer, each as its 4 little-endian bytes.
void store_le(std::uint8_t* dst, const float* src, std::size_t count) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(dst, src, count * sizeof(float));
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t bits = std::bit_cast<std::uint32_t>(src[i]);
            for (std::size_t byte = 0; byte < 4; ++byte) dst[4 * i + byte] = static_cast<std::uint8_t>(bits >> (8 * byte));
        }
    }
}

}  // namespace

std::vector<float> hann_window(std::size_t length) {
    // Periodic: divided by length, not length - 1, so the window is one
    // period of the cosine and its last value is not zero.
    std::vector<float> window(length);
    for (std::size_t n = 0; n < length; ++n) {
        const float t = (static_cast<float>(n) * kTwoPi) / static_cast<float>(length);
        window[n] = (1.0f - cr::cos(t)) * 0.5f;
    }
    return window;
}

void TransformResult::pack_windows(float pad_value,
                                   const std::function<std::uint8_t*(std::size_t)>& destination) const {
    if (mel_frames.size() % kBands != 0 || mel_frames.size() / kBands != frames) {
        panic("Failed to pad mel spectrogram array: mel_frames does not hold 80 bands of `frames` values");
    }
    if (chunk_count > std::numeric_limits<std::size_t>::max() / kWindowBytes) throw std::bad_alloc();
    const std::size_t count = static_cast<std::size_t>(chunk_count);
    float pad[kWindowFrames];
    std::fill(std::begin(pad), std::end(pad), pad_value);

    // Window starts follow a running f32 sum rather than 3.2 * k; the models
    // were trained on windows cut this way, rounding drift included. On very
    // long inputs the drift carries the last starts past the last frame: such
    // windows hold pad_value wherever no frame exists, like any window that
    // reaches past the end, and every window keeps its fixed size.
    float start = 0.0f;
    for (std::size_t k = 0; k < count; ++k) {
        const std::uint64_t first = round_u64(start);
        const std::size_t available =
            first < frames ? static_cast<std::size_t>(std::min<std::uint64_t>(kWindowFrames, frames - first)) : 0;
        std::uint8_t* window = destination(k);
        for (std::size_t b = 0; b < kBands; ++b) {
            std::uint8_t* dst = window + b * kWindowFrames * sizeof(float);
            if (available > 0) store_le(dst, mel_frames.data() + b * frames + first, available);
            store_le(dst + available * sizeof(float), pad, kWindowFrames - available);
        }
        start = start + kFramesPerWindowStep;
    }
}

MelKernels mel_kernels_for(SimdPath path) {
    return on_simd_path(path, []<SimdPath P>() { return mel_kernels<P>(); });
}

Audio2MelSpectrogram::Audio2MelSpectrogram(const ModelConfig& config, SimdPath path)
    : config_(config),
      window_(hann_window(config.mel.n_fft)),
      fft_(config.mel.n_fft, path),
      mel_kernels_(mel_kernels_for(path)),
      mel_filters_(mel(config.mel)),
      filter_ranges_(nonzero_bin_ranges(mel_filters_)),
      level_rule_(level_rule(config.levels, config.normalization)),
      magnitudes_(fft_.bins() * fft_.lanes()),
      energies_(TransformResult::kBands * fft_.lanes()) {
    if (config.hop_size == 0 || config.hop_size > config.mel.n_fft) panic("hop_size must be in 1..=n_fft");
}

TransformResult Audio2MelSpectrogram::transform(std::vector<float> samples) {
    // Keep whole 25-per-second video frames only; one extra FFT length of
    // audio (or zeros) lets an uncentred transform reach the last video frame.
    const float samples_per_video_frame = config_.mel.sample_rate / kVideoFramesPerSecond;
    const std::uint64_t chunk_count =
        saturating_truncate<std::uint64_t>(static_cast<float>(samples.size()) / samples_per_video_frame);
    const std::uint64_t length =
        saturating_truncate<std::uint64_t>(samples_per_video_frame * static_cast<float>(chunk_count));
    const Signal signal = signal_of(samples, length, config_);

    // A frame ends with every hop once n_fft samples have gone by. The signal
    // holds at least n_fft samples, so with the models' hop, which divides
    // n_fft, there is at least one frame.
    const std::size_t n_fft = config_.mel.n_fft, hop = config_.hop_size;
    const std::size_t hops = signal.total / hop;
    const std::size_t silent_hops = (n_fft + hop - 1) / hop - 1;
    const std::size_t frames = hops > silent_hops ? hops - silent_hops : 0;

    constexpr std::size_t bands = TransformResult::kBands;
    if (frames > std::numeric_limits<std::size_t>::max() / bands) throw std::bad_alloc();
    TransformResult result{std::vector<float>(bands * frames), frames, chunk_count};

    // The frame completed by hop h is the slice of the signal ending with that
    // hop; frames are windowed straight from there, a batch of consecutive
    // frames at a time, one per vector lane. A frame's values do not depend
    // on its batch (see audio/fft_lanes.hpp and audio/mel_lanes.hpp).
    const std::size_t lanes = fft_.lanes();
    for (std::size_t frame = 0; frame < frames; frame += lanes) {
        const std::size_t count = std::min(lanes, frames - frame);
        const std::size_t start = (frame + silent_hops + 1) * hop - n_fft;
        transform_batch(signal.span(start, (count - 1) * hop + n_fft, edge_frames_), count, frame, result);
    }
    return result;
}

void Audio2MelSpectrogram::transform_batch(const float* first, std::size_t count, std::size_t frame,
                                           TransformResult& result) {
    constexpr std::size_t bands = TransformResult::kBands;
    const std::size_t lanes = fft_.lanes();
    fft_.forward_batch(first, config_.hop_size, count, window_);
    mel_kernels_.mel_energies(fft_.batch_spectra(), fft_.bins(), kMagnitudeFloor, mel_filters_.values.data(),
                              filter_ranges_.data(), bands, magnitudes_.data(), energies_.data());
    // Every lane, those past the batch's frames too, which hold the energies
    // of silence: whole vectors cost less than a partial one.
    mel_kernels_.levels(level_rule_, energies_.data(), energies_.size());
    for (std::size_t b = 0; b < bands; ++b) {
        std::copy_n(energies_.data() + b * lanes, count, result.mel_frames.data() + b * result.frames + frame);
    }
}

ModelConfig model_config(ModelVersion version) {
    const MelConfig mel_config{16000.0f, 800, TransformResult::kBands, 55.0f, 7600.0f, false, true};
    if (version == ModelVersion::V1) {
        return ModelConfig{mel_config, 200, false, kPreemphasisV1, LogMelLevels{kMinLevelV1, 1.0f, 20.0f, 20.0f},
                           MelNormalization::symmetric_clip(kMinLevelDbV1), kPadValueV1};
    }
    return ModelConfig{mel_config, 200, true, std::nullopt, LogMelLevels{kMinLevelV2, 1.0f, 1.0f, 0.0f},
                       MelNormalization::standardize(), kPadValueV2};
}

Audio2MelSpectrogram make_transformer(ModelVersion version, SimdPath path) {
    return Audio2MelSpectrogram(model_config(version), path);
}

TransformResult run_transform(Audio2MelSpectrogram& transformer, std::vector<float> samples,
                              std::uint32_t sample_rate) {
    if (sample_rate == 44100) samples = resample_nearest(samples);
    return transformer.transform(std::move(samples));
}

}  // namespace ostrel::audio
