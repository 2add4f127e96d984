// libFuzzer harness for the audio core: arbitrary f32 samples (NaN, infinities
// and subnormals included) through resampling, the transform and the packing
// into windows, for both model versions.
//
// Input layout (little-endian):
//   byte 0      bit 0: version (V1, V2); bits 1-2: sample rate 16000, 44100, 0, or bytes 1-4;
//               bits 3-7: the FFT check's frame length and batch size
//   bytes 1..   the samples, 4 bytes each as the bits of an f32 (after the rate, if given)
//
// The input length bounds the work: at most kMaxSamples samples are used.
//
// Each input runs through one transformer kept across inputs, packed window by
// window as the module does, and through one built afresh and packed whole;
// both must give the same bytes, so no call leaves state behind. The FFT is
// checked on its own as well: a frame of the samples against a DFT in double
// precision, and frames at every lane of a batch, on every SIMD path, against
// the same frames transformed alone.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <complex>
#include <map>
#include <new>
#include <optional>
#include <vector>

#include "audio/fft.hpp"
#include "audio/resample.hpp"
#include "audio/transforms.hpp"
#include "reference/audio_model.hpp"
#include "support/panic.hpp"

namespace {

using namespace ostrel;
using namespace ostrel::audio;

constexpr std::size_t kMaxSamples = 48000;

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

// The same bits, or both NaN: which of two NaN operands an instruction passes
// on is the compiler's choice of operand order, and no NaN reaches a window.
bool same(float a, float b) {
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b) || (a != a && b != b);
}

// exp(-2 pi i m / n) for m = 0 .. n-1, in double precision.
const std::vector<std::complex<double>>& dft_roots(std::size_t n) {
    static std::map<std::size_t, std::vector<std::complex<double>>> roots;
    std::vector<std::complex<double>>& r = roots[n];
    if (r.empty()) {
        for (std::size_t m = 0; m < n; ++m) r.emplace_back(unit_root(m, n).cos, -unit_root(m, n).sin);
    }
    return r;
}

void check_fft(const std::vector<float>& samples, std::uint8_t selector) {
    static constexpr std::size_t kSizes[] = {2, 8, 10, 32, 40, 50, 200, 250, 800};
    const std::size_t n = kSizes[selector % std::size(kSizes)];
    // Frames at offsets 0 .. 15 of the samples, zeros past their end.
    std::vector<float> signal(n + 16, 0.0f);
    std::copy_n(samples.begin(), std::min(samples.size(), signal.size()), signal.begin());

    RealFft alone(n, SimdPath::Baseline);
    std::vector<std::vector<Complex>> spectra(16, std::vector<Complex>(alone.bins()));
    for (std::size_t j = 0; j < 16; ++j) alone.forward(std::span(signal).subspan(j, n), spectra[j]);

    // Normwise, an FFT's error is at most a small multiple of eps log2(n)
    // (Higham, Accuracy and Stability of Numerical Algorithms, 24.1: about
    // 7 eps log2(n)), whatever the input; subnormal values add an absolute
    // term. Sums of values near the f32 limit overflow, so those frames only
    // take the bit checks.
    const bool moderate = std::all_of(signal.begin(), signal.begin() + n, [](float v) { return std::fabs(v) <= 1e30f; });
    if (moderate) {
        const std::vector<std::complex<double>>& roots = dft_roots(n);
        double error = 0.0;
        double norm = 0.0;
        for (std::size_t k = 0; k < alone.bins(); ++k) {
            std::complex<double> want = 0.0;
            for (std::size_t i = 0; i < n; ++i) want += static_cast<double>(signal[i]) * roots[(k * i) % n];
            error += std::norm(std::complex<double>(spectra[0][k].re, spectra[0][k].im) - want);
            norm += std::norm(want);
        }
        const double bound = 8.0 * std::ldexp(1.0, -24) * std::log2(static_cast<double>(n));
        check(std::sqrt(error) <= bound * std::sqrt(norm) + 1e-40 * static_cast<double>(n),
              "FFT differs from the double-precision DFT beyond its error bound");
    }

    for (SimdPath path : available_simd_paths()) {
        RealFft batched(n, path);
        const std::size_t lanes = batched.lanes();
        const std::size_t counts[] = {1, lanes / 2 + 1, lanes - 1, lanes};
        const std::size_t count = counts[selector / std::size(kSizes) % 4];
        batched.forward_batch(signal.data(), 1, count, {});
        for (std::size_t j = 0; j < count; ++j) {
            for (std::size_t k = 0; k < batched.bins(); ++k) {
                const Complex got = batched.batch_bin(k, j);
                check(same(got.re, spectra[j][k].re) && same(got.im, spectra[j][k].im),
                      "a frame's spectrum differs between its batch and alone");
            }
        }
    }
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

    check_fft(samples, static_cast<std::uint8_t>(flags >> 3));

    // Every rate is handled as 16000 Hz once the input the rate rule picks
    // is resampled: one window per 640 samples.
    const std::vector<float> resampled = needs_resampling(sample_rate) ? resample_nearest(samples) : samples;
    const std::size_t windows = static_cast<std::size_t>(static_cast<float>(resampled.size()) / 640.0f);

    // The module's own path, batches read in place and windows packed as
    // their frames are finished, on every SIMD path, against the frames of
    // the streaming reference packed afterwards.
    const ModelConfig& config = model_config(version);
    const PreprocessedWindows want = to_preprocessed_bytes(streamed_frames(config, resampled), config.pad_value);
    check(want.count == windows && want.bytes.size() == windows * kWindowBytes, "window count");
    for (SimdPath path : available_simd_paths()) {
        const PreprocessedWindows got = run_melspectrogram(version, samples, sample_rate, path);
        check(got.count == windows && got.bytes == want.bytes, "the module's windows differ from the streamed reference's");
    }
    const std::vector<std::uint8_t>& kept = want.bytes;

    // Levels are floored before the logarithm: V1 values lie in [-4, 4], and
    // V2 values never fall below the value of silence; neither is ever NaN.
    const float lowest = config.pad_value;
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
