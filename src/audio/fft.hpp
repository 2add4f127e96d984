// The forward FFT of real frames: the module's own, written for the frame
// lengths of the audio transforms. A batch of frames is transformed at once,
// one frame per vector lane, and every lane runs the same operations in the
// same order, so a frame's spectrum has the same bits whichever batch, lane
// or SIMD path computed it, on every platform.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

#include "audio/fft_kernels.hpp"
#include "support/simd.hpp"

namespace ostrel::audio {

// One complex value; the FFT writes arrays of these.
struct Complex {
    float re = 0.0f;
    float im = 0.0f;
};

// The cosine and sine of 2 pi k / n in double precision, by the module's own
// series after exact reduction to the first octant: the same bits on every
// platform and compiler, and within one unit in the last place of the true
// values once rounded to f32. The FFT's twiddles come from here.
struct UnitRoot {
    double cos = 1.0;
    double sin = 0.0;
};
UnitRoot unit_root(std::size_t k, std::size_t n) noexcept;

// A forward, unnormalised DFT of `size` real samples:
// X[k] = sum over n of x[n] * exp(-2 pi i k n / size), for k = 0 .. size/2.
// The bins above size/2 are the conjugates of those below and are never
// needed. `size` must be even, with size/2 a product of 2, 3 and 5 (800 is
// 2 * 4 * 4 * 5 * 5); the tables for a size are built once per process.
class RealFft {
public:
    // Throws Panic for a size it cannot transform, std::bad_alloc when its
    // memory cannot be had. `path` must be one of available_simd_paths().
    explicit RealFft(std::size_t size, SimdPath path = best_simd_path());

    static bool supports(std::size_t size) noexcept;

    std::size_t size() const noexcept { return size_; }
    std::size_t bins() const noexcept { return size_ / 2 + 1; }
    std::size_t lanes() const noexcept { return kernels_.lanes; }
    SimdPath path() const noexcept { return path_; }

    // Transforms size() samples of `input` into bins() values of `output`.
    void forward(std::span<const float> input, std::span<Complex> output);

    // Transforms `count` (1 ..= lanes()) frames at once: frame j is the size()
    // samples from first + j * step, multiplied by `window` when it is not
    // empty. The spectra stay in the batch until the next call.
    void forward_batch(const float* first, std::size_t step, std::size_t count, std::span<const float> window);

    // Bin k of lane j's spectrum from the last forward_batch().
    Complex batch_bin(std::size_t k, std::size_t j) const noexcept;

    // The mel energies of every lane of the last batch: energies[band * lanes() + j]
    // for the rows of `filters` (bands x bins() weights, row-major) over their
    // `ranges`, from magnitudes sqrt((re^2 + im^2) + floor); see
    // fft_detail::Kernels::mel_energies.
    void batch_mel_energies(std::span<const float> filters, std::span<const BinRange> ranges, float floor,
                            std::span<float> energies);

    // `values` (a multiple of lanes() of them, such as a batch's energies)
    // turned in place into normalised log-mel values by `rule`, in lanes.
    void batch_levels(const fft_detail::LevelRule& rule, std::span<float> values) const;

private:
    std::shared_ptr<const struct FftPlan> plan_;
    fft_detail::Kernels kernels_;
    SimdPath path_;
    std::size_t size_ = 0;
    // The kernels' working memory, in one block that every batch writes
    // before it reads, so it is never cleared: the ping-pong buffers of the
    // complex transform, the batch's spectra and their magnitudes.
    std::unique_ptr<float[]> memory_;
    float* work_ = nullptr;
    float* spectrum_ = nullptr;
    float* magnitudes_ = nullptr;
};

}  // namespace ostrel::audio
