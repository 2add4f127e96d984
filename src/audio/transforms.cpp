// The transformer: the models' configurations, the frames of the signal
// through the FFT and mel kernels a batch at a time, read where the samples
// lie and pre-emphasised as they are gathered, and the windows packed from
// the finished frames.
#include "audio/transforms.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "audio/resample.hpp"
#include "support/panic.hpp"
#include "support/saturate.hpp"

namespace ostrel::audio {
namespace {

constexpr float kVideoFramesPerSecond = 25.0f;
constexpr float kFramesPerWindowStep = std::bit_cast<float>(0x404CCCCDu);  // 3.2: 80 frames/s over 25 video frames/s

constexpr float kPreemphasisV1 = std::bit_cast<float>(0x3F7851ECu);  // 0.97
constexpr float kMinLevelV1 = std::bit_cast<float>(0x3727C5A5u);     // 9.99999338e-06, not the f32 nearest 1e-5
constexpr float kMinLevelV2 = std::bit_cast<float>(0x3727C5ACu);     // 1e-05
constexpr float kMinLevelDbV1 = -100.0f;
// Each version pads with the value its normalisation gives to silence.
constexpr float kPadValueV1 = -4.0f;
constexpr float kPadValueV2 = std::bit_cast<float>(0xC02A2B20u);  // Standardize(-5.0) = -2.6588821

constexpr ModelConfig kConfigV1{kModelMel, 200, false, kPreemphasisV1, LogMelLevels{kMinLevelV1, 1.0f, 20.0f, 20.0f},
                                MelNormalization::symmetric_clip(kMinLevelDbV1), kPadValueV1};
constexpr ModelConfig kConfigV2{kModelMel, 200, true, std::nullopt, LogMelLevels{kMinLevelV2, 1.0f, 1.0f, 0.0f},
                                MelNormalization::standardize(), kPadValueV2};

static_assert(kModelBins == kModelMel.n_fft / 2 + 1 && kModelMel.n_mels == kBands);
static_assert(kModelTaper.size() == kModelMel.n_fft);

// Windows hold little-endian f32, and the module's platforms (x86_64 and
// AArch64) keep floats so in memory: values are copied as they lie.
static_assert(std::endian::native == std::endian::little, "windows are written as the floats lie in memory");

// Sample `at` of the analysed signal, pre-emphasised with c when `emphasis`:
// y[i] = x[i] - c x[i-1] with x[-1] = 0, so the zeros before the samples
// stay zeros, and of the zeros after them only the first changes.
float signal_at(std::span<const float> samples, const TransformPlan& plan, const float* emphasis, std::size_t at) {
    if (at < plan.lead || at > plan.lead + plan.kept) return 0.0f;
    const std::size_t i = at - plan.lead;
    if (i == plan.kept) return emphasis != nullptr && i > 0 ? 0.0f - *emphasis * samples[i - 1] : 0.0f;
    if (emphasis == nullptr) return samples[i];
    return samples[i] - *emphasis * (i > 0 ? samples[i - 1] : 0.0f);
}

// Samples [start, start + span) of the analysed signal into `out`, each the
// value signal_at() gives: the run of samples in one loop without branches,
// which the compiler vectorises, the zeros around it filled, and the two
// values that differ from their neighbours' rule (the first sample, whose
// predecessor is a zero, and the one after the samples) from signal_at().
void signal_span(std::span<const float> samples, const TransformPlan& plan, const float* emphasis,
                 std::size_t start, std::size_t span, float* out) {
    const std::size_t end = start + span;
    const std::size_t first = std::clamp(plan.lead, start, end);
    const std::size_t last = std::clamp(plan.lead + plan.kept, first, end);
    std::fill(out, out + (first - start), 0.0f);
    std::size_t at = first;
    if (at < last && at == plan.lead) {
        out[at - start] = signal_at(samples, plan, emphasis, at);
        ++at;
    }
    if (emphasis != nullptr) {
        const float c = *emphasis;
        for (; at < last; ++at) out[at - start] = samples[at - plan.lead] - c * samples[at - plan.lead - 1];
    } else {
        std::copy(samples.data() + (at - plan.lead), samples.data() + (last - plan.lead), out + (at - start));
    }
    std::fill(out + (last - start), out + span, 0.0f);
    const std::size_t after = plan.lead + plan.kept;
    if (after >= start && after < end) out[after - start] = signal_at(samples, plan, emphasis, after);
}

}  // namespace

const ModelConfig& model_config(ModelVersion version) noexcept {
    return version == ModelVersion::V1 ? kConfigV1 : kConfigV2;
}

TransformPlan plan_transform(const ModelConfig& config, std::size_t input, std::uint32_t sample_rate) {
    TransformPlan plan;
    plan.input = input;
    plan.resample = needs_resampling(sample_rate);
    const std::size_t samples = plan.resample ? resampled_length(input) : input;

    // Keep whole 25-per-second video frames only; one extra FFT length of
    // audio (or zeros) lets an uncentred transform reach the last video frame.
    const float samples_per_video_frame = config.mel.sample_rate / kVideoFramesPerSecond;
    plan.windows = saturating_truncate<std::uint64_t>(static_cast<float>(samples) / samples_per_video_frame);
    const std::uint64_t length =
        saturating_truncate<std::uint64_t>(samples_per_video_frame * static_cast<float>(plan.windows));

    const std::size_t n_fft = config.mel.n_fft, hop = config.hop_size;
    const std::size_t extra = config.center ? 0 : n_fft;
    plan.lead = config.center ? n_fft / 2 : 0;
    if (length > std::numeric_limits<std::size_t>::max() - extra - 2 * plan.lead) throw std::bad_alloc();
    const std::size_t body = static_cast<std::size_t>(length) + extra;
    plan.kept = std::min(samples, body);
    plan.total = plan.lead + body + plan.lead;

    // A frame ends with every hop once n_fft samples have gone by. The signal
    // holds at least n_fft samples, so with the models' hop, which divides
    // n_fft, there is at least one frame.
    const std::size_t hops = plan.total / hop;
    const std::size_t silent_hops = (n_fft + hop - 1) / hop - 1;
    plan.frames = hops > silent_hops ? hops - silent_hops : 0;
    return plan;
}

std::uint64_t transform_memory_bound(const TransformPlan& plan) {
    const std::uint64_t resampled = plan.resample ? std::uint64_t{resampled_length(plan.input)} * sizeof(float) : 0;
    return resampled + (std::uint64_t{256} << 10);
}

namespace detail {

WindowPacker::WindowPacker(std::size_t frames, std::uint64_t windows, float pad_value, const WindowSink& sink)
    : frames_(frames),
      windows_(windows),
      pad_value_(pad_value),
      sink_(sink),
      held_values_(windows > 0 ? new float[kBands * kCapacity] : nullptr) {}

void WindowPacker::add(const float* values, std::size_t stride, std::size_t count) {
    if (count > kMaxBatch) panic("WindowPacker: a batch holds at most kMaxBatch frames");
    if (windows_ == 0) return;
    if (held_ + count > kCapacity) {
        // Windows start in ascending order and every window that the held
        // frames complete was written, so the frames before the next
        // window's start are never read again; fewer than kWindowFrames are left.
        const std::uint64_t next_start = round_u64(start_);
        const std::size_t keep_from =
            static_cast<std::size_t>(std::min<std::uint64_t>(std::max<std::uint64_t>(next_start, base_), base_ + held_));
        const std::size_t drop = keep_from - base_;
        for (std::size_t b = 0; b < kBands; ++b) {
            float* row = held_values_.get() + b * kCapacity;
            std::memmove(row, row + drop, (held_ - drop) * sizeof(float));
        }
        base_ += drop;
        held_ -= drop;
        if (held_ + count > kCapacity) panic("WindowPacker: held frames exceed the capacity");
    }
    // Whole batches in copies of a size the compiler knows.
    const auto copy_rows = [&]<std::size_t N>(std::integral_constant<std::size_t, N>) {
        for (std::size_t b = 0; b < kBands; ++b) {
            std::memcpy(held_values_.get() + b * kCapacity + held_, values + b * stride, N * sizeof(float));
        }
    };
    if (count == 16) {
        copy_rows(std::integral_constant<std::size_t, 16>{});
    } else if (count == 8) {
        copy_rows(std::integral_constant<std::size_t, 8>{});
    } else {
        for (std::size_t b = 0; b < kBands; ++b) {
            std::memcpy(held_values_.get() + b * kCapacity + held_, values + b * stride, count * sizeof(float));
        }
    }
    held_ += count;
    emit(base_ + held_);
}

void WindowPacker::finish() { emit(frames_); }

void WindowPacker::emit(std::size_t done) {
    float pad[kWindowFrames];
    std::fill(std::begin(pad), std::end(pad), pad_value_);
    // Window starts follow a running f32 sum rather than 3.2 * k; the models
    // were trained on windows cut this way, rounding drift included. On very
    // long inputs the drift carries the last starts past the last frame: such
    // windows hold pad_value wherever no frame exists, like any window that
    // reaches past the end, and every window keeps its fixed size.
    for (; next_ < windows_; ++next_) {
        const std::uint64_t first = round_u64(start_);
        const std::size_t available =
            first < frames_ ? static_cast<std::size_t>(std::min<std::uint64_t>(kWindowFrames, frames_ - first)) : 0;
        if (available > 0 && first + available > done) return;
        std::uint8_t* window = sink_(static_cast<std::size_t>(next_));
        const float* held = held_values_.get() + (static_cast<std::size_t>(first) - base_);
        if (available == kWindowFrames) {
            // The common window, whole rows of a size the compiler knows.
            for (std::size_t b = 0; b < kBands; ++b) {
                std::memcpy(window + b * kWindowFrames * sizeof(float), held + b * kCapacity,
                            kWindowFrames * sizeof(float));
            }
            start_ = start_ + kFramesPerWindowStep;
            continue;
        }
        for (std::size_t b = 0; b < kBands; ++b) {
            std::uint8_t* dst = window + b * kWindowFrames * sizeof(float);
            if (available > 0) std::memcpy(dst, held + b * kCapacity, available * sizeof(float));
            std::memcpy(dst + available * sizeof(float), pad, (kWindowFrames - available) * sizeof(float));
        }
        start_ = start_ + kFramesPerWindowStep;
    }
}

void frames(const Audio2MelSpectrogram& transformer, std::span<const float> samples, const TransformPlan& plan,
            const FrameSink& take) {
    transformer.frames(samples, plan, take);
}

Audio2MelSpectrogram transformer_for(const ModelConfig& config, SimdPath path) {
    return Audio2MelSpectrogram(config, path);
}

}  // namespace detail

Audio2MelSpectrogram::Audio2MelSpectrogram(ModelVersion version, SimdPath path)
    : Audio2MelSpectrogram(model_config(version), path) {}

Audio2MelSpectrogram::Audio2MelSpectrogram(const ModelConfig& config, SimdPath path)
    : config_(&config), level_rule_(level_rule(config.levels, config.normalization)) {
    static_assert(detail::WindowPacker::kMaxBatch >= kWidestSimdLanes);
    for (std::size_t at_least : {std::size_t{16}, std::size_t{8}, std::size_t{4}}) {
        const FftKernels fft = kernels_for<FftKernels>(path, at_least);
        if (width_count_ == 0 || fft.lanes < widths_[width_count_ - 1].fft.lanes) {
            widths_[width_count_++] = Width{fft, kernels_for<MelKernels>(path, at_least)};
        }
    }
    const MelConfig& mel = config.mel;
    if (mel.sample_rate != kModelMel.sample_rate || mel.n_fft != kModelMel.n_fft || mel.n_mels != kModelMel.n_mels ||
        mel.fmin != kModelMel.fmin || mel.fmax != kModelMel.fmax || mel.htk != kModelMel.htk ||
        mel.normalize != kModelMel.normalize || config.hop_size != 200) {
        panic("Audio2MelSpectrogram: the configuration must use the models' filterbank, frame and hop");
    }
}

void Audio2MelSpectrogram::transform(std::span<const float> samples, const TransformPlan& plan,
                                     const WindowSink& sink) const {
    if (samples.size() != plan.input) panic("transform: the samples are not those planned for");
    if (plan.windows == 0) return;
    std::vector<float> resampled;
    if (plan.resample) {
        resampled = resample_nearest(samples);
        samples = resampled;
    }
    detail::WindowPacker packer(plan.frames, plan.windows, config_->pad_value, sink);
    frames(samples, plan, [&](const float* values, std::size_t stride, std::size_t count) {
        packer.add(values, stride, count);
    });
    packer.finish();
}

void Audio2MelSpectrogram::frames(std::span<const float> samples, const TransformPlan& plan,
                                  const detail::FrameSink& take) const {
    if (plan.frames == 0) return;
    const FftTables& tables = model_fft_tables();
    const std::size_t n_fft = config_->mel.n_fft, hop = config_->hop_size;
    const std::size_t half = tables.half, lanes = this->lanes();
    const float* emphasis = config_->preemphasis ? &*config_->preemphasis : nullptr;
    const MelFilters filters = kModelFilterbank.view();

    // One block, written before it is read, so never cleared, sized for the
    // widest batch: the FFT's two ping-pong buffers of half points, the
    // second one point longer, then the energies. With an even number of
    // passes the complex transform ends in the first buffer, so the spectra
    // (half + 1 points) go to the second. The batches that reach past the
    // samples are assembled there too, before the first pass writes it; the
    // magnitudes go to the first buffer, free again once the spectra are out.
    // Under 128 KiB on every path, so the C library serves it from its heap
    // rather than with fresh pages from the kernel.
    if (tables.stage_count % 2 != 0) panic("transform: the FFT must end in its first buffer");
    const std::size_t point = 2 * lanes;
    const std::unique_ptr<float[]> memory(new float[(2 * half + 1) * point + kBands * lanes]);
    float* work = memory.get();
    float* spectrum = work + half * point;
    float* edge = spectrum;
    float* energies = work + (2 * half + 1) * point;

    // The frame completed by hop h is the slice of the signal ending with that
    // hop; frames are tapered straight from there, a batch of consecutive
    // frames at a time, one per vector lane. A frame's values do not depend
    // on its batch (see audio/fft_lanes.hpp and audio/mel_lanes.hpp).
    const std::size_t silent_hops = (n_fft + hop - 1) / hop - 1;
    for (std::size_t frame = 0; frame < plan.frames; frame += lanes) {
        const std::size_t count = std::min(lanes, plan.frames - frame);
        const Width* width = &widths_[width_count_ - 1];
        while (width->fft.lanes < count) --width;
        const std::size_t start = (frame + silent_hops + 1) * hop - n_fft;
        const std::size_t span = (count - 1) * hop + n_fft;
        // In the caller's samples when the batch and, for the pre-emphasis,
        // the sample before it lie there; else assembled, pre-emphasised.
        const std::size_t before = emphasis != nullptr ? 1 : 0;
        if (start >= plan.lead + before && start + span <= plan.lead + plan.kept) {
            width->fft.spectra(tables, samples.data() + (start - plan.lead), hop, count, kModelTaper.data(), emphasis,
                               work, spectrum);
        } else {
            signal_span(samples, plan, emphasis, start, span, edge);
            width->fft.spectra(tables, edge, hop, count, kModelTaper.data(), nullptr, work, spectrum);
        }
        width->mel.mel_energies(spectrum, kMagnitudeFloor, filters, work, energies);
        // Every lane, those past the batch's frames too, which hold the
        // energies of silence: whole vectors cost less than a partial one.
        width->mel.levels(level_rule_, energies, kBands * width->mel.lanes);
        take(energies, width->mel.lanes, count);
    }
}

}  // namespace ostrel::audio
