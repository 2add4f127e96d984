// The forward FFT of real frames: the module's own, written for the frame
// lengths of the audio transforms. A batch of frames is transformed at once,
// one frame per vector lane, and every lane runs the same operations in the
// same order, so a frame's spectrum has the same bits whichever batch, lane
// or SIMD path computed it, on every platform.
#pragma once

#include <bit>
#include <cstddef>
#include <memory>
#include <span>
#include <utility>
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
// values once rounded to f32. The FFT's twiddles come from here. Plain double
// arithmetic, each step rounded as written, so evaluating it while compiling
// gives the bits a call at run time gives.
struct UnitRoot {
    double cos = 1.0;
    double sin = 0.0;
};

inline constexpr double kTwoPiDouble = std::bit_cast<double>(0x401921FB54442D18ull);  // 6.283185307179586

// sin and cos by their Taylor series on |t| <= pi/4, evaluated by Horner's
// rule from the smallest term; ten terms leave the truncation far below a
// double's rounding.
constexpr double sin_series(double t) noexcept {
    const double x = t * t;
    double r = 1.0;
    for (int j = 10; j >= 1; --j) r = 1.0 - (x / static_cast<double>((2 * j) * (2 * j + 1))) * r;
    return t * r;
}

constexpr double cos_series(double t) noexcept {
    const double x = t * t;
    double r = 1.0;
    for (int j = 10; j >= 1; --j) r = 1.0 - (x / static_cast<double>((2 * j - 1) * (2 * j))) * r;
    return r;
}


constexpr UnitRoot unit_root(std::size_t k, std::size_t n) noexcept {
    // Exact reductions on the fraction k / n of a turn: by symmetry about the
    // real axis, then about the imaginary axis, then about the diagonal, to
    // an angle of at most pi/4.
    k %= n;
    bool negate_sin = false;
    bool negate_cos = false;
    bool swap = false;
    if (2 * k > n) {  // 2 pi - a
        k = n - k;
        negate_sin = true;
    }
    if (4 * k > n) {  // pi - a, with a = 2 pi (n - 2k) / 2n
        k = n - 2 * k;
        n = 2 * n;
        negate_cos = true;
    }
    if (8 * k > n) {  // pi/2 - a, with a = 2 pi (n - 4k) / 4n
        k = n - 4 * k;
        n = 4 * n;
        swap = true;
    }
    const double t = (kTwoPiDouble * static_cast<double>(k)) / static_cast<double>(n);
    double c = cos_series(t);
    double s = sin_series(t);
    if (swap) std::swap(c, s);
    if (negate_cos) c = -c;
    if (negate_sin) s = -s;
    return UnitRoot{c, s};
}

// The tables of the audio transforms' 800-sample frames, constants of the module.
const FftTables& model_fft_tables() noexcept;

// A forward, unnormalised DFT of `n_fft` real samples:
// X[k] = sum over n of x[n] * exp(-2 pi i k n / n_fft), for k = 0 .. n_fft/2.
// The bins above n_fft/2 are the conjugates of those below and are never
// needed. `n_fft` must be even, with n_fft/2 a product of 2, 3 and 5 (800 is
// 2 * 4 * 4 * 5 * 5). The tables of the audio transforms' 800 samples are
// constants, computed while the module is compiled; those of any other size
// are built by the RealFft that needs them, which is their only holder.
class RealFft {
public:
    // Throws Panic for a length it cannot transform, std::bad_alloc when its
    // memory cannot be had. `path` must be one of available_simd_paths().
    explicit RealFft(std::size_t n_fft, SimdPath path = best_simd_path());
    RealFft(RealFft&&) noexcept;
    RealFft& operator=(RealFft&&) noexcept;
    ~RealFft();

    static bool supports(std::size_t n_fft) noexcept;

    std::size_t n_fft() const noexcept { return n_fft_; }
    std::size_t bins() const noexcept { return n_fft_ / 2 + 1; }
    std::size_t lanes() const noexcept { return kernels_.lanes; }
    // The twiddles and passes the kernels run from.
    const FftTables& tables() const noexcept { return *tables_; }

    // Transforms n_fft() samples of `input` into bins() values of `output`.
    void forward(std::span<const float> input, std::span<Complex> output);

    // Transforms `count` (1 ..= lanes()) frames at once: frame j is the n_fft()
    // samples from first + j * step, pre-emphasised with *emphasis when that
    // is not null (FftKernels), multiplied by `window` when it is not empty.
    // The spectra stay in the batch until the next call.
    void forward_batch(const float* first, std::size_t step, std::size_t count, std::span<const float> window,
                       const float* emphasis = nullptr);

    // Bin k of lane j's spectrum from the last forward_batch().
    Complex batch_bin(std::size_t k, std::size_t j) const noexcept;

    // The spectra of the last forward_batch(), bins() bins a lane, as the
    // kernels lay them out (FftKernels).
    const float* batch_spectra() const noexcept { return spectrum_; }

private:
    // Tables built for this transform; empty for a size whose tables are constants.
    std::unique_ptr<const struct FftPlan> plan_;
    const FftTables* tables_ = nullptr;
    FftKernels kernels_;
    std::size_t n_fft_ = 0;
    // The kernels' working memory, in one block that every batch writes
    // before it reads, so it is never cleared: the ping-pong buffers of the
    // complex transform and the batch's spectra.
    std::unique_ptr<float[]> memory_;
    float* work_ = nullptr;
    float* spectrum_ = nullptr;
};

}  // namespace ostrel::audio
