// The per-path half of `make bench`: the module's audio transform, its FFT and
// its mask resizes on every SIMD path this CPU has, the paths timed call by
// call in one process (one call of each path per round, in rotating order),
// so that a ratio between two paths is not a difference between two moments
// of a shared machine. Prints one JSON object, the median milliseconds of
// every path per case and the name of the path the module picks by itself;
// benchmarks/bench.py puts them into its table.
//
//     ostrel_paths_bench [--quick] [--seconds S]
//
// --seconds is the time one case may take (1 s by default, 0.3 s with --quick).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "audio/fft.hpp"
#include "audio/transforms.hpp"
#include "mask/resize.hpp"
#include "noise.hpp"
#include "reference/real_fft.hpp"
#include "reference/simd_paths.hpp"
#include "support/simd.hpp"

namespace {

using namespace ostrel;

constexpr std::uint32_t kSampleRate = 16000;

// One audio call of the module without Python: samples to windows packed
// back to back in `out`. The only place this file uses the transformer.
void audio_call(audio::ModelVersion version, SimdPath path, const std::vector<float>& samples,
                std::vector<std::uint8_t>& out) {
    const audio::Audio2MelSpectrogram transformer(version, path);
    constexpr std::size_t size = audio::kWindowBytes;
    const audio::TransformPlan plan = audio::plan_transform(transformer.config(), samples.size(), kSampleRate);
    out.resize(static_cast<std::size_t>(plan.windows) * size);
    transformer.transform(samples, plan, [&](std::size_t k) { return out.data() + k * size; });
}

// The module's FFT alone over every frame of `samples`, a batch of lanes at a time.
void fft_frames(audio::RealFft& fft, const std::vector<float>& samples) {
    constexpr std::size_t hop = 200;
    const std::size_t frames = (samples.size() - fft.n_fft()) / hop + 1;
    for (std::size_t f = 0; f < frames; f += fft.lanes()) {
        fft.forward_batch(samples.data() + f * hop, hop, std::min(fft.lanes(), frames - f), {});
    }
}

// A mask of a few elliptic blobs whose edges fade over 16 pixels.
mask::Mask8 blobs(std::uint64_t width, std::uint64_t height) {
    mask::Mask8 m{width, height, Buffer<std::uint8_t>::uninitialised(width * height)};
    const double centres[3][4] = {{0.3, 0.4, 0.15, 0.2}, {0.6, 0.55, 0.2, 0.12}, {0.45, 0.7, 0.1, 0.18}};
    for (std::uint64_t y = 0; y < height; ++y) {
        for (std::uint64_t x = 0; x < width; ++x) {
            double d = 1e300;
            for (const auto& c : centres) {
                const double rx = c[2] * width, ry = c[3] * height;
                const double dx = (x - c[0] * width) / rx, dy = (y - c[1] * height) / ry;
                d = std::min(d, (std::sqrt(dx * dx + dy * dy) - 1) * std::min(rx, ry));
            }
            m.data.data()[y * width + x] = static_cast<std::uint8_t>(std::clamp(std::round(255 * (0.5 - d / 16)), 0.0, 255.0));
        }
    }
    return m;
}

using Call = std::function<void(SimdPath)>;

struct Case {
    std::string name;
    Call call;
};

double now_ms() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Median milliseconds per path, the paths interleaved: round r runs every
// path once, starting from path r mod count.
std::vector<double> time_paths(const Call& call, std::span<const SimdPath> paths, double budget_ms) {
    const std::size_t count = paths.size();
    double round_ms = 0;
    for (SimdPath path : paths) call(path);  // warm-up
    for (SimdPath path : paths) {
        const double t0 = now_ms();
        call(path);
        round_ms += now_ms() - t0;
    }
    const auto rounds = static_cast<std::size_t>(std::clamp(budget_ms / std::max(round_ms, 1e-6), 7.0, 5000.0));
    std::vector<std::vector<double>> times(count);
    for (std::size_t r = 0; r < rounds; ++r) {
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t p = (r + i) % count;
            const double t0 = now_ms();
            call(paths[p]);
            times[p].push_back(now_ms() - t0);
        }
    }
    std::vector<double> medians;
    for (auto& t : times) medians.push_back(median(std::move(t)));
    return medians;
}

std::vector<Case> cases() {
    std::vector<Case> all;
    auto windows = std::make_shared<std::vector<std::uint8_t>>();
    for (double seconds : {0.04, 0.2, 1.0, 10.0, 60.0}) {
        auto samples = std::make_shared<std::vector<float>>(noise(static_cast<std::size_t>(seconds * kSampleRate)));
        for (auto version : {audio::ModelVersion::V1, audio::ModelVersion::V2}) {
            char name[64];
            std::snprintf(name, sizeof name, "audio V%d %g s", version == audio::ModelVersion::V1 ? 1 : 2, seconds);
            all.push_back({name, [=](SimdPath path) { audio_call(version, path, *samples, *windows); }});
        }
    }
    {
        auto samples = std::make_shared<std::vector<float>>(noise(60 * kSampleRate));
        all.push_back({"fft 60 s", [=](SimdPath path) {
                           audio::RealFft fft(800, path);
                           fft_frames(fft, *samples);
                       }});
    }
    struct Resize {
        std::uint64_t width, height;
        float scale;
        mask::FilterType filter;
        const char* filter_name;
    };
    const Resize resizes[] = {
        {512, 512, 2.0f, mask::FilterType::Linear, "linear"},
        {512, 512, 0.5f, mask::FilterType::CatmullRom, "cubic"},
        {1920, 1080, 2.0f, mask::FilterType::Linear, "linear"},
        {1920, 1080, 1.5f, mask::FilterType::CatmullRom, "cubic"},
        {1920, 1080, 0.5f, mask::FilterType::Linear, "linear"},
        {1920, 1080, 0.5f, mask::FilterType::CatmullRom, "cubic"},
        {1920, 1080, 0.5f, mask::FilterType::Gaussian, "gaussian"},
        {1920, 1080, 0.5f, mask::FilterType::Nearest, "nearest"},
        {1u << 20, 2, 0.5f, mask::FilterType::Linear, "linear"},
    };
    for (const Resize& r : resizes) {
        auto m = std::make_shared<mask::Mask8>(blobs(r.width, r.height));
        char name[96];
        std::snprintf(name, sizeof name, "mask resize %llux%llu %g %s", static_cast<unsigned long long>(r.width),
                      static_cast<unsigned long long>(r.height), r.scale, r.filter_name);
        all.push_back({name, [=](SimdPath path) {
                           const mask::UnitFloatImage out = mask::resize_to_unit_floats(*m, r.scale, r.filter, path);
                           if (out.data.size() == 0) std::abort();
                       }});
    }
    return all;
}

}  // namespace

int main(int argc, char** argv) {
    double budget_ms = 1000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            budget_ms = 300;
        } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            budget_ms = 1000 * std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--quick] [--seconds S]\n", argv[0]);
            return 2;
        }
    }
    const ostrel::SimdPaths available = ostrel::available_simd_paths();
    const std::span<const ostrel::SimdPath> paths(available.begin(), available.end());
    std::printf("{\"default\": \"%s\", \"paths\": [", ostrel::simd_path_name(ostrel::best_simd_path()));
    for (std::size_t i = 0; i < paths.size(); ++i) std::printf("%s\"%s\"", i ? ", " : "", ostrel::simd_path_name(paths[i]));
    std::printf("], \"cases\": [");
    const char* separator = "\n";
    // With one path there is nothing to compare.
    if (paths.size() > 1) {
        for (const Case& c : cases()) {
            const std::vector<double> ms = time_paths(c.call, paths, budget_ms);
            std::printf("%s  {\"name\": \"%s\", \"ms\": [", separator, c.name.c_str());
            for (std::size_t i = 0; i < ms.size(); ++i) std::printf("%s%.6f", i ? ", " : "", ms[i]);
            std::printf("]}");
            std::fflush(stdout);
            separator = ",\n";
        }
    }
    std::printf("\n]}\n");
    return 0;
}
