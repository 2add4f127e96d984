// libFuzzer harness for the audio core: arbitrary f32 samples (NaN, infinities
// and subnormals included) through resampling, the transform and the packing
// into windows, for both model versions.
//
// Input layout (little-endian):
//   byte 0      bit 0: version (V1, V2); bits 1-2: sample rate 16000, 44100, 0, or bytes 1-4
//   bytes 1..   the samples, 4 bytes each as the bits of an f32 (after the rate, if given)
//
// The input length bounds the work: at most kMaxSamples samples are used.
//
// Each input runs through one transformer kept across inputs, packed window by
// window as the module does, and through one built afresh and packed whole;
// both must give the same bytes, so no call leaves state behind.
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include "audio/transforms.hpp"
#include "support/panic.hpp"

namespace {

using namespace ostrel;
using namespace ostrel::audio;

constexpr std::size_t kMaxSamples = 48000;
constexpr std::size_t kWindowBytes = TransformResult::kWindowBytes;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "audio fuzzer: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

std::uint32_t u32_at(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

Audio2MelSpectrogram& kept_transformer(ModelVersion version) {
    static Audio2MelSpectrogram v1 = make_transformer(ModelVersion::V1);
    static Audio2MelSpectrogram v2 = make_transformer(ModelVersion::V2);
    return version == ModelVersion::V1 ? v1 : v2;
}

void run(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t flags = data[0];
    const ModelVersion version = (flags & 1) ? ModelVersion::V2 : ModelVersion::V1;
    std::size_t offset = 1;
    std::uint32_t sample_rate = 16000;
    switch ((flags >> 1) & 3) {
    case 1:
        sample_rate = 44100;
        break;
    case 2:
        sample_rate = 0;
        break;
    case 3:
        if (size < offset + 4) return;
        sample_rate = u32_at(data + offset);
        offset += 4;
        break;
    default:
        break;
    }
    std::vector<float> samples(std::min((size - offset) / 4, kMaxSamples));
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = std::bit_cast<float>(u32_at(data + offset + 4 * i));

    const std::size_t resampled = sample_rate == 44100 ? resample_nearest(samples).size() : samples.size();
    // Every rate is handled as 16000 Hz once 44100 Hz input is resampled:
    // one window per 640 samples.
    const std::size_t windows = static_cast<std::size_t>(static_cast<float>(resampled) / 640.0f);

    // The module's own path: the transform, then each window packed where it
    // is kept. It must match the packed windows of a fresh transformer.
    const std::optional<TransformResult> result = run_transform(kept_transformer(version), version, samples, sample_rate);
    check(result.has_value(), "no result");
    std::vector<std::uint8_t> kept(static_cast<std::size_t>(result->chunk_count) * kWindowBytes);
    std::size_t next = 0;
    result->pack_windows(model_config(version).pad_value, [&](std::size_t k) {
        check(k == next++ && k < result->chunk_count, "windows out of order");
        return kept.data() + k * kWindowBytes;
    });
    check(next == windows && kept.size() == windows * kWindowBytes, "window count");

    Audio2MelSpectrogram fresh_transformer = make_transformer(version);
    const std::optional<PreprocessedWindows> fresh =
        run_melspectrogram(fresh_transformer, version, samples, sample_rate);
    check(fresh.has_value() && fresh->count == windows, "fresh window count");
    check(kept == fresh->bytes, "a kept transformer and pack_windows differ from a fresh one");

    // Levels are floored before the logarithm: V1 values lie in [-4, 4], and
    // V2 values never fall below the value of silence; neither is ever NaN.
    const float lowest = model_config(version).pad_value;
    for (std::size_t i = 0; i < kept.size(); i += 4) {
        const float v = std::bit_cast<float>(u32_at(kept.data() + i));
        check(!std::isnan(v), "NaN in a window");
        check(v >= lowest, "value below silence");
        if (version == ModelVersion::V1) check(v <= 4.0f, "V1 value above 4");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return -1;
    try {
        run(data, size);
    } catch (const Panic& panic) {
        std::fprintf(stderr, "audio fuzzer: unexpected internal error: %s\n", panic.message.c_str());
        std::abort();
    } catch (const std::bad_alloc&) {
        fail("out of memory within the harness's size bounds");
    }
    return 0;
}
