// The C++ half of `make bench`: the module's FFT alone, on every SIMD path
// this CPU has, against FFTW's single-precision real transform (a GPL library,
// timed here for comparison only, never used by the module), both one frame
// at a time and batched; the floor under the audio functions, the FFT plus
// the log10 of the log-mel values, with nothing around them; and that log10
// alone, the module's in lanes beside the C library's log10f.
// Per-frame times are in the counter `per_frame` (seconds).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <string>
#include <vector>

#include "audio/fft.hpp"
#include "audio/transforms.hpp"
#include "noise.hpp"
#include "reference/log10.hpp"
#include "reference/real_fft.hpp"
#include "reference/simd_paths.hpp"
#include "support/simd.hpp"

#if OSTREL_BENCH_FFTW
#include <fftw3.h>
#endif

namespace {

using namespace ostrel;
using namespace ostrel::audio;

constexpr std::size_t kFftSize = 800;
constexpr std::size_t kHop = 200;
constexpr std::size_t kBands = 80;

// Both versions compute 16 * windows / 5 + 1 frames for `seconds` of 16 kHz audio.
std::size_t frames_for(double seconds) {
    const auto windows = static_cast<std::size_t>(seconds * 25.0);
    return 16 * windows / 5 + 1;
}

double seconds_of(const benchmark::State& state) { return static_cast<double>(state.range(0)) / 100.0; }

void count_frames(benchmark::State& state, std::size_t frames) {
    state.counters["frames"] = static_cast<double>(frames);
    state.counters["per_frame"] = benchmark::Counter(static_cast<double>(frames),
                                                     benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

// The module's FFT over the frames of an input, a batch of lanes at a time.
// With `logs`, the module's log10 of one value per band and lane follows each
// batch, the values taken from the spectra so that nothing can be hoisted:
// the floor.
void module_fft(benchmark::State& state, SimdPath path, bool logs) {
    const std::size_t frames = frames_for(seconds_of(state));
    const std::vector<float> samples = noise((frames - 1) * kHop + kFftSize);
    RealFft fft(kFftSize, path);
    const Log10Kernels kernels = kernels_for<Log10Kernels>(path);
    std::vector<float> values(kBands * fft.lanes()), out(kBands * fft.lanes());
    for (auto _ : state) {
        for (std::size_t f = 0; f < frames; f += fft.lanes()) {
            const std::size_t count = std::min(fft.lanes(), frames - f);
            fft.forward_batch(samples.data() + f * kHop, kHop, count, {});
            if (!logs) continue;
            for (std::size_t b = 0; b < kBands; ++b) {
                for (std::size_t j = 0; j < fft.lanes(); ++j) values[b * fft.lanes() + j] = std::fabs(fft.batch_bin(b + 3, j).re) + 1e-5f;
            }
            kernels.log10(values.data(), out.data(), values.size());
            benchmark::DoNotOptimize(out.data());
        }
        benchmark::ClobberMemory();
    }
    count_frames(state, frames);
}

// log10 of 80 values per frame, 64 frames of level-like values (1e-6 to 10)
// at a time: the module's in lanes on `path`, or libm's log10f one by one.
std::vector<float> level_values() {
    std::mt19937 rng(11);
    std::uniform_real_distribution<float> exponent(-6.0f, 1.0f);
    std::vector<float> v(kBands * 64);
    for (float& x : v) x = std::pow(10.0f, exponent(rng));
    return v;
}

void module_log10(benchmark::State& state, SimdPath path) {
    const std::vector<float> in = level_values();
    std::vector<float> out(in.size());
    const Log10Kernels kernels = kernels_for<Log10Kernels>(path);
    for (auto _ : state) {
        kernels.log10(in.data(), out.data(), in.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    count_frames(state, 64);
}

void libm_log10f(benchmark::State& state) {
    const std::vector<float> in = level_values();
    std::vector<float> out(in.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < in.size(); ++i) out[i] = ::log10f(in[i]);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    count_frames(state, 64);
}

#if OSTREL_BENCH_FFTW
void fftw_one_at_a_time(benchmark::State& state, bool logs) {
    const std::size_t frames = frames_for(seconds_of(state));
    std::vector<float> samples = noise((frames - 1) * kHop + kFftSize);
    fftwf_complex* out = fftwf_alloc_complex(kFftSize / 2 + 1);
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(static_cast<int>(kFftSize), samples.data(), out,
                                            FFTW_MEASURE | FFTW_UNALIGNED);
    std::vector<float> logged(kBands);
    for (auto _ : state) {
        for (std::size_t f = 0; f < frames; ++f) {
            fftwf_execute_dft_r2c(plan, samples.data() + f * kHop, out);
            if (!logs) continue;
            for (std::size_t b = 0; b < kBands; ++b) logged[b] = std::log10(std::fabs(out[b + 3][0]) + 1e-5f);
            benchmark::DoNotOptimize(logged.data());
        }
        benchmark::ClobberMemory();
    }
    fftwf_destroy_plan(plan);
    fftwf_free(out);
    count_frames(state, frames);
}

// All frames in one many-transform plan over the overlapping input.
void fftw_batched(benchmark::State& state) {
    const std::size_t frames = frames_for(seconds_of(state));
    std::vector<float> samples = noise((frames - 1) * kHop + kFftSize);
    const int n = static_cast<int>(kFftSize);
    const int bins = n / 2 + 1;
    fftwf_complex* out = fftwf_alloc_complex(static_cast<std::size_t>(bins) * frames);
    fftwf_plan plan = fftwf_plan_many_dft_r2c(1, &n, static_cast<int>(frames), samples.data(), nullptr, 1,
                                              static_cast<int>(kHop), out, nullptr, 1, bins,
                                              FFTW_MEASURE | FFTW_PRESERVE_INPUT);
    for (auto _ : state) {
        fftwf_execute(plan);
        benchmark::ClobberMemory();
    }
    fftwf_destroy_plan(plan);
    fftwf_free(out);
    count_frames(state, frames);
}
#endif

// Input lengths in hundredths of a second: 0.04 s, 0.2 s, 1 s, 10 s, 60 s.
void lengths(benchmark::internal::Benchmark* b) {
    for (int hundredths : {4, 20, 100, 1000, 6000}) b->Arg(hundredths);
    b->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
}

void sixty_seconds(benchmark::internal::Benchmark* b) {
    b->Arg(6000)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);
}

int register_all() {
    for (SimdPath path : available_simd_paths()) {
        const std::string name = simd_path_name(path);
        benchmark::RegisterBenchmark(("fft/" + name).c_str(), module_fft, path, false)->Apply(sixty_seconds);
        benchmark::RegisterBenchmark(("log10_80/" + name).c_str(), module_log10, path)->Repetitions(5)->ReportAggregatesOnly(true);
    }
    benchmark::RegisterBenchmark("log10_80/libm_log10f", libm_log10f)->Repetitions(5)->ReportAggregatesOnly(true);
    // The floor that `make bench` puts beside the module: the path it uses.
    benchmark::RegisterBenchmark("fft_and_log10", module_fft, best_simd_path(), true)->Apply(lengths);
#if OSTREL_BENCH_FFTW
    benchmark::RegisterBenchmark("fft/fftw_one_at_a_time", fftw_one_at_a_time, false)->Apply(sixty_seconds);
    benchmark::RegisterBenchmark("fft/fftw_batched", fftw_batched)->Apply(sixty_seconds);
    benchmark::RegisterBenchmark("fftw_and_log10f", fftw_one_at_a_time, true)->Apply(lengths);
#endif
    return 0;
}

const int registered = register_all();

}  // namespace

BENCHMARK_MAIN();
