#include "audio/transforms.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "audio/elementary.hpp"
#include "support/panic.hpp"

namespace ostrel::audio {
namespace {

constexpr float kTwoPi = std::bit_cast<float>(0x40C90FDBu);            // 6.2831855
constexpr float kVideoFramesPerSecond = 25.0f;
constexpr float kFramesPerWindowStep = std::bit_cast<float>(0x404CCCCDu);  // 3.2: 80 frames/s over 25 video frames/s

// SymmetricClip maps [min_level_db, 0] onto [-kMaxAbsValue, kMaxAbsValue].
constexpr float kMaxAbsValue = 4.0f;
constexpr float kClipScale = 8.0f;  // 2 * kMaxAbsValue

// Standardize: mean and deviation of the V2 model's training features.
constexpr float kMelMean = std::bit_cast<float>(0xC007E445u);  // -2.1233075
constexpr float kMelStd = std::bit_cast<float>(0x3F8A7C4Au);   // 1.081918

constexpr float kPreemphasisV1 = std::bit_cast<float>(0x3F7851ECu);  // 0.97
constexpr float kMinLevelV1 = std::bit_cast<float>(0x3727C5A5u);     // 9.99999338e-06, not the f32 nearest 1e-5
constexpr float kMinLevelV2 = std::bit_cast<float>(0x3727C5ACu);     // 1e-05
constexpr float kMinLevelDbV1 = -100.0f;
// Each version pads with the value its normalisation gives to silence.
constexpr float kPadValueV1 = -4.0f;
constexpr float kPadValueV2 = std::bit_cast<float>(0xC02A2B20u);  // Standardize(-5.0) = -2.6588821

std::vector<float> hann_window(std::size_t size) {
    // Periodic: divided by size, not size - 1, so the window is one period of
    // the cosine and its last value is not zero.
    std::vector<float> window(size);
    for (std::size_t n = 0; n < size; ++n) {
        const float t = (static_cast<float>(n) * kTwoPi) / static_cast<float>(size);
        window[n] = (1.0f - cr::cos(t)) * 0.5f;
    }
    return window;
}

// A signal of `total` samples: `lead` zeros, the `kept` samples of `input`,
// one sample `after`, then zeros.
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

namespace {

float standardized(float x) noexcept { return (x - kMelMean) / kMelStd; }

float clipped(float x, float min_level_db) noexcept {
    float v = x - min_level_db;
    v = v / (-min_level_db);
    v = kClipScale * v;
    v = v - kMaxAbsValue;
    // maxNum then minNum: a NaN becomes the lower bound.
    return min_num(max_num(v, -kMaxAbsValue), kMaxAbsValue);
}

}  // namespace

fft_detail::LevelRule level_rule(const LogMelLevels& levels, const MelNormalization& normalization) {
    return fft_detail::LevelRule{levels.min_level,
                                 levels.amplitude_scale,
                                 levels.log_multiplier,
                                 levels.ref_level_db,
                                 normalization.kind == MelNormalization::Kind::Standardize,
                                 kMelMean,
                                 kMelStd,
                                 normalization.min_level_db};
}

float MelNormalization::apply(float x) const noexcept {
    return kind == Kind::Standardize ? standardized(x) : clipped(x, min_level_db);
}

void MelNormalization::apply_all(std::span<float> values) const noexcept {
    if (kind == Kind::Standardize) {
        for (float& v : values) v = standardized(v);
    } else {
        for (float& v : values) v = clipped(v, min_level_db);
    }
}

PreprocessedWindows TransformResult::to_preprocessed_bytes(float pad_value) && {
    check_windows();
    const std::size_t count = static_cast<std::size_t>(chunk_count);
    PreprocessedWindows out{count, std::vector<std::uint8_t>(count * kWindowBytes)};
    pack_windows(pad_value, [&](std::size_t k) { return out.bytes.data() + k * kWindowBytes; });
    mel_frames = {};
    return out;
}

void TransformResult::check_windows() const {
    if (mel_frames.size() % kBands != 0 || mel_frames.size() / kBands != frames) {
        panic("Failed to pad mel spectrogram array: mel_frames does not hold 80 bands of `frames` values");
    }
    if (chunk_count > std::numeric_limits<std::size_t>::max() / kWindowBytes) throw std::bad_alloc();
}

void TransformResult::pack_windows(float pad_value,
                                   const std::function<std::uint8_t*(std::size_t)>& destination) const {
    check_windows();
    const std::size_t count = static_cast<std::size_t>(chunk_count);
    float pad[kWindowFrames];
    std::fill(std::begin(pad), std::end(pad), pad_value);

    // Window starts follow a running f32 sum rather than 3.2 * k; the models
    // were trained on windows cut this way, rounding drift included. On very
    // long inputs the drift carries the last starts past the last frame: such
    // windows hold pad_value wherever no frame exists, like any window that
    // reaches past the end, and every window keeps its fixed size.
    float start = start_offset.value_or(0.0f);
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

Spectrogram::Spectrogram(std::size_t fft_size, std::size_t hop_size, SimdPath path)
    : fft_size_(fft_size),
      hop_size_(hop_size),
      window_(hann_window(fft_size)),
      sample_buffer_(fft_size, 0.0f),
      fft_input_(fft_size, 0.0f),
      fft_output_(fft_size / 2 + 1),
      fft_(fft_size, path) {
    if (hop_size == 0 || hop_size > fft_size) panic("hop_size must be in 1..=fft_size");
}

std::optional<std::span<const Complex>> Spectrogram::add(std::span<const float> frames) {
    if (frames.size() > hop_size_) panic("frames must be <= hop_size");
    // Keep the newest fft_size samples: drop one hop from the front, append the chunk.
    std::copy(sample_buffer_.begin() + static_cast<std::ptrdiff_t>(hop_size_), sample_buffer_.end(),
              sample_buffer_.begin());
    const auto tail = sample_buffer_.end() - static_cast<std::ptrdiff_t>(hop_size_);
    std::fill(std::copy(frames.begin(), frames.end(), tail), sample_buffer_.end(), 0.0f);
    total_samples_ += frames.size();
    if (total_samples_ < fft_size_) return std::nullopt;

    return spectrum_of(sample_buffer_);
}

std::span<const Complex> Spectrogram::spectrum_of(std::span<const float> frame) {
    if (frame.size() != fft_size_) panic("spectrum_of: frame must hold fft_size samples");
    const float* x = frame.data();
    const float* w = window_.data();
    float* in = fft_input_.data();
    for (std::size_t i = 0; i < fft_size_; ++i) in[i] = x[i] * w[i];
    fft_.forward(fft_input_, fft_output_);
    return std::span<const Complex>(fft_output_);
}

RealFft& Spectrogram::batch_spectra(const float* first, std::size_t count) {
    fft_.forward_batch(first, hop_size_, count, window_);
    return fft_;
}

void Spectrogram::reset() noexcept {
    total_samples_ = 0;
    std::fill(sample_buffer_.begin(), sample_buffer_.end(), 0.0f);
    std::fill(fft_input_.begin(), fft_input_.end(), 0.0f);
    std::fill(fft_output_.begin(), fft_output_.end(), Complex{});
}

Audio2MelSpectrogram::Audio2MelSpectrogram(std::uint32_t sample_rate, std::size_t n_fft, std::size_t hop_size,
                                           bool center, std::optional<float> preemphasis, MelConfig mel_config,
                                           float min_level, float amplitude_scale, float log_multiplier,
                                           float ref_level_db, SimdPath path)
    : spectrogram_(n_fft, hop_size, path),
      preemphasis_(preemphasis),
      mel_filters_(mel(mel_config)),
      filter_ranges_(nonzero_bin_ranges(mel_filters_)),
      n_fft_(n_fft),
      hop_size_(hop_size),
      sample_rate_(sample_rate),
      levels_{min_level, amplitude_scale, log_multiplier, ref_level_db},
      center_(center),
      energies_(TransformResult::kBands * spectrogram_.lanes()) {
    // Every frame becomes one column of the fixed 80-band output, and the
    // filterbank must cover exactly the spectrum's bins.
    if (mel_filters_.rows != TransformResult::kBands || mel_filters_.cols != n_fft / 2 + 1) {
        panic("mel filterbank must have 80 bands over n_fft/2 + 1 bins");
    }
}

std::optional<TransformResult> Audio2MelSpectrogram::transform(std::vector<float> samples,
                                                               MelNormalization normalization) {
    // The streaming state is back to its initial state however this call ends.
    struct ResetOnExit {
        Spectrogram& spectrogram;
        ~ResetOnExit() { spectrogram.reset(); }
    } reset_on_exit{spectrogram_};

    // Keep whole 25-per-second video frames only; one extra FFT length of
    // audio (or zeros) lets an uncentred transform reach the last video frame.
    const float samples_per_video_frame = static_cast<float>(sample_rate_) / kVideoFramesPerSecond;
    const std::uint64_t chunk_count = truncate_u64(static_cast<float>(samples.size()) / samples_per_video_frame);
    const std::uint64_t length = truncate_u64(samples_per_video_frame * static_cast<float>(chunk_count));

    // The analysed signal is the input cut or padded with zeros to `length`
    // samples plus, uncentred, one FFT length; centred, between n_fft/2
    // zeros on either side; then pre-emphasised. It is never built whole: the
    // kept input is pre-emphasised in place, and the few batches of frames
    // that reach into the zeros are assembled in a small buffer.
    const std::size_t extra = center_ ? 0 : n_fft_;
    const std::size_t lead = center_ ? n_fft_ / 2 : 0;
    if (length > std::numeric_limits<std::size_t>::max() - extra - 2 * lead) throw std::bad_alloc();
    const std::size_t body = static_cast<std::size_t>(length) + extra;
    Signal signal{samples.data(), lead, std::min(samples.size(), body), 0.0f, lead + body + lead};

    if (preemphasis_ && signal.total > 0) {
        // y[i] = x[i] - c x[i-1] with x[-1] = 0: the zeros before the input
        // stay zeros, and of the zeros after it only the first changes.
        const float c = *preemphasis_;
        float* x = samples.data();
        if (signal.kept > 0) {
            signal.after = 0.0f - c * x[signal.kept - 1];
            // Backwards, so each step still reads its predecessor's original value.
            for (std::size_t i = signal.kept - 1; i > 0; --i) x[i] = x[i] - c * x[i - 1];
            x[0] = x[0] - c * 0.0f;
        }
    }

    // A spectrum comes with every hop once fft_size samples have been pushed.
    const std::size_t hops = signal.total / hop_size_;
    const std::size_t silent_hops = (n_fft_ + hop_size_ - 1) / hop_size_ - 1;
    const std::size_t frames = hops > silent_hops ? hops - silent_hops : 0;
    if (frames == 0) return std::nullopt;

    constexpr std::size_t bands = TransformResult::kBands;
    if (frames > std::numeric_limits<std::size_t>::max() / bands) throw std::bad_alloc();
    TransformResult result{std::vector<float>(bands * frames), frames, chunk_count, std::nullopt};

    // Pushing whole hops through add() leaves the newest n_fft samples in the
    // spectrogram's buffer, so the frame completed by hop h is the slice of the
    // samples ending with that hop; frames are windowed straight from there,
    // a batch of consecutive frames at a time, one per vector lane. A frame's
    // values do not depend on its batch (see audio/fft_lanes.hpp).
    const std::size_t lanes = spectrogram_.lanes();
    const fft_detail::LevelRule rule = level_rule(levels_, normalization);
    for (std::size_t frame = 0; frame < frames; frame += lanes) {
        const std::size_t count = std::min(lanes, frames - frame);
        const std::size_t start = (frame + silent_hops + 1) * hop_size_ - n_fft_;
        const float* first = signal.span(start, (count - 1) * hop_size_ + n_fft_, edge_frames_);
        RealFft& fft = spectrogram_.batch_spectra(first, count);
        fft.batch_mel_energies(mel_filters_.values, filter_ranges_, kMagnitudeFloor, energies_);
        // Every lane, those past the batch's frames too, which hold the
        // energies of silence: whole vectors cost less than a partial one.
        fft.batch_levels(rule, energies_);
        const float* values = energies_.data();
        for (std::size_t b = 0; b < bands; ++b) {
            std::copy_n(values + b * lanes, count, result.mel_frames.data() + b * frames + frame);
        }
    }
    return result;
}

ModelConfig model_config(ModelVersion version) {
    const MelConfig mel_config{16000.0f, 800, 80, 55.0f, 7600.0f, false, true};
    if (version == ModelVersion::V1) {
        return ModelConfig{16000, 800, 200, false, kPreemphasisV1, mel_config,
                           LogMelLevels{kMinLevelV1, 1.0f, 20.0f, 20.0f},
                           MelNormalization::symmetric_clip(kMinLevelDbV1), kPadValueV1};
    }
    return ModelConfig{16000, 800, 200, true, std::nullopt, mel_config,
                       LogMelLevels{kMinLevelV2, 1.0f, 1.0f, 0.0f}, MelNormalization::standardize(), kPadValueV2};
}

Audio2MelSpectrogram make_transformer(ModelVersion version, SimdPath path) {
    const ModelConfig c = model_config(version);
    return Audio2MelSpectrogram(c.sample_rate, c.n_fft, c.hop_size, c.center, c.preemphasis, c.mel,
                                c.levels.min_level, c.levels.amplitude_scale, c.levels.log_multiplier,
                                c.levels.ref_level_db, path);
}

std::optional<TransformResult> run_transform(Audio2MelSpectrogram& transformer, ModelVersion version,
                                             std::vector<float> samples, std::uint32_t sample_rate) {
    if (sample_rate == 44100) samples = resample_nearest(samples);
    return transformer.transform(std::move(samples), model_config(version).normalization);
}

std::optional<PreprocessedWindows> run_melspectrogram(Audio2MelSpectrogram& transformer, ModelVersion version,
                                                      std::vector<float> samples, std::uint32_t sample_rate) {
    std::optional<TransformResult> result = run_transform(transformer, version, std::move(samples), sample_rate);
    if (!result) return std::nullopt;
    return std::move(*result).to_preprocessed_bytes(model_config(version).pad_value);
}

}  // namespace ostrel::audio
