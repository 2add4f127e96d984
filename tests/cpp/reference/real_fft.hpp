// The module's FFT kernels over any length they can transform, for the tests,
// the fuzzer and the benchmarks: a frame at a time or a batch of frames, with
// the tables of lengths other than the models' built at run time by the same
// functions that build the module's constant ones.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "audio/fft.hpp"
#include "support/panic.hpp"

namespace ostrel::audio {

// One complex value.
struct Complex {
    float re = 0.0f;
    float im = 0.0f;
};

// A forward, unnormalised DFT of `n_fft` real samples:
// X[k] = sum over n of x[n] * exp(-2 pi i k n / n_fft), for k = 0 .. n_fft/2.
class RealFft {
public:
    // `path` must be one of available_simd_paths().
    explicit RealFft(std::size_t n_fft, SimdPath path = best_simd_path()) : n_fft_(n_fft) {
        if (!supports(n_fft)) panic("fft size must be even, with half of it a product of 4 and 5");
        kernels_ = kernels_for<FftKernels>(path);
        const std::size_t half = n_fft / 2;
        if (n_fft == 800) {
            tables_ = model_fft_tables();
        } else {
            const FftPasses passes = fft_passes(half);
            twiddles_.resize(passes.twiddle_floats);
            join_.resize(2 * (half + 1));
            fill_fft_twiddles(half, passes, twiddles_.data(), join_.data());
            for (std::size_t i = 0; i < passes.count; ++i) stages_.push_back(fft_stage(passes, i, twiddles_.data()));
            tables_ = fft_tables_over(half, stages_.data(), passes.count, join_.data());
        }
        work_.resize(4 * half * lanes());
        spectrum_.resize((half + 1) * 2 * lanes());
    }

    // The bound keeps every index of the reductions in unit_root() exact.
    static bool supports(std::size_t n_fft) noexcept {
        return n_fft % 2 == 0 && n_fft <= (std::size_t{1} << 31) && fft_half_supported(n_fft / 2);
    }

    std::size_t n_fft() const noexcept { return n_fft_; }
    std::size_t bins() const noexcept { return n_fft_ / 2 + 1; }
    std::size_t lanes() const noexcept { return kernels_.lanes; }
    const FftTables& tables() const noexcept { return tables_; }

    // Transforms n_fft() samples of `input` into bins() values of `output`.
    void forward(std::span<const float> input, std::span<Complex> output) {
        if (input.size() < n_fft_ || output.size() < bins()) panic("fft: buffer shorter than the plan");
        forward_batch(input.data(), 0, 1, {});
        for (std::size_t k = 0; k < bins(); ++k) output[k] = batch_bin(k, 0);
    }

    // Transforms `count` (1 ..= lanes()) frames at once: frame j is the n_fft()
    // samples from first + j * step, pre-emphasised with *emphasis when that
    // is not null (FftKernels), multiplied by `taper` when it is not empty.
    // The spectra stay in the batch until the next call.
    void forward_batch(const float* first, std::size_t step, std::size_t count, std::span<const float> taper,
                       const float* emphasis = nullptr) {
        if (count == 0 || count > lanes()) panic("fft: batch must hold 1 ..= lanes frames");
        if (!taper.empty() && taper.size() != n_fft_) panic("fft: taper must hold size samples");
        kernels_.spectra(tables_, first, step, count, taper.empty() ? nullptr : taper.data(), emphasis,
                         work_.data(), spectrum_.data());
    }

    // Bin k of lane j's spectrum from the last forward_batch().
    Complex batch_bin(std::size_t k, std::size_t j) const noexcept {
        const std::size_t at = k * 2 * lanes() + j;
        return Complex{spectrum_[at], spectrum_[at + lanes()]};
    }

    // The spectra of the last forward_batch(), as the kernels lay them out.
    const float* batch_spectra() const noexcept { return spectrum_.data(); }

private:
    std::size_t n_fft_;
    FftKernels kernels_;
    std::vector<float> twiddles_;
    std::vector<float> join_;
    std::vector<FftStage> stages_;
    FftTables tables_;
    std::vector<float> work_;
    std::vector<float> spectrum_;
};

}  // namespace ostrel::audio
