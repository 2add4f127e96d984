// The floor under the audio functions: the FFT library alone over the frames
// of an input, plus the log10f calls of its log-mel values, with nothing
// around them. Run by `make bench`, which puts these times beside the module's.
//
// With FFTW's single-precision real transform present (a GPL library, used
// here for comparison only, never by the module), the same frames through it
// are timed too.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstddef>
#include <random>
#include <vector>

#include <kissfft/kiss_fftr.h>

#if OSTREL_BENCH_FFTW
#include <fftw3.h>
#endif

namespace {

constexpr std::size_t kFftSize = 800;
constexpr std::size_t kHop = 200;
constexpr std::size_t kBands = 80;

// Both versions compute 16 * chunks / 5 + 1 frames for `seconds` of 16 kHz audio.
std::size_t frames_for(double seconds) {
    const auto chunks = static_cast<std::size_t>(seconds * 25.0);
    return 16 * chunks / 5 + 1;
}

std::vector<float> noise(std::size_t n) {
    std::mt19937 rng(7);
    std::normal_distribution<float> dist(0.0f, 0.1f);
    std::vector<float> x(n);
    for (float& v : x) v = dist(rng);
    return x;
}

double seconds_of(const benchmark::State& state) { return static_cast<double>(state.range(0)) / 10.0; }

void kissfft_and_log10f(benchmark::State& state) {
    const std::size_t frames = frames_for(seconds_of(state));
    const std::vector<float> samples = noise((frames - 1) * kHop + kFftSize);
    kiss_fftr_cfg cfg = kiss_fftr_alloc(static_cast<int>(kFftSize), 0, nullptr, nullptr);
    std::vector<kiss_fft_cpx> spectrum(kFftSize / 2 + 1);
    std::vector<float> logs(kBands);
    for (auto _ : state) {
        for (std::size_t f = 0; f < frames; ++f) {
            kiss_fftr(cfg, samples.data() + f * kHop, spectrum.data());
            // One log10f per band, of a value taken from the spectrum so the
            // calls cannot be hoisted.
            for (std::size_t b = 0; b < kBands; ++b) logs[b] = std::log10(std::fabs(spectrum[b + 3].r) + 1e-5f);
            benchmark::DoNotOptimize(logs.data());
        }
    }
    kiss_fftr_free(cfg);
    state.counters["frames"] = static_cast<double>(frames);
}

#if OSTREL_BENCH_FFTW
void fftw_and_log10f(benchmark::State& state) {
    const std::size_t frames = frames_for(seconds_of(state));
    const std::vector<float> samples = noise((frames - 1) * kHop + kFftSize);
    float* in = fftwf_alloc_real(kFftSize);
    fftwf_complex* out = fftwf_alloc_complex(kFftSize / 2 + 1);
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(static_cast<int>(kFftSize), in, out, FFTW_MEASURE);
    std::vector<float> logs(kBands);
    for (auto _ : state) {
        for (std::size_t f = 0; f < frames; ++f) {
            std::copy_n(samples.data() + f * kHop, kFftSize, in);
            fftwf_execute(plan);
            for (std::size_t b = 0; b < kBands; ++b) logs[b] = std::log10(std::fabs(out[b + 3][0]) + 1e-5f);
            benchmark::DoNotOptimize(logs.data());
        }
    }
    fftwf_destroy_plan(plan);
    fftwf_free(out);
    fftwf_free(in);
    state.counters["frames"] = static_cast<double>(frames);
}
#endif

// Input lengths in tenths of a second: 0.2 s, 1 s, 10 s, 60 s.
void lengths(benchmark::internal::Benchmark* b) {
    for (int tenths : {2, 10, 100, 600}) b->Arg(tenths);
    b->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
}

}  // namespace

BENCHMARK(kissfft_and_log10f)->Apply(lengths);
#if OSTREL_BENCH_FFTW
BENCHMARK(fftw_and_log10f)->Apply(lengths);
#endif

BENCHMARK_MAIN();
