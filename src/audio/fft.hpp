// The forward FFT of real frames: the module's own, written for the audio
// transforms' 800-sample frames. A batch of frames is transformed at once,
// one frame per vector lane, and every lane runs the same operations in the
// same order, so a frame's spectrum has the same bits whichever batch, lane
// or SIMD path computed it, on every platform.
#pragma once

#include <bit>
#include <cstddef>
#include <utility>

#include "audio/elementary.hpp"
#include "audio/fft_kernels.hpp"
#include "support/simd.hpp"

namespace ostrel::audio {

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
    // Ten terms of each series leave the truncation far below a double's rounding.
    const double t = (kTwoPiDouble * static_cast<double>(k)) / static_cast<double>(n);
    double c = cr::detail::cos_series(t, 10);
    double s = cr::detail::sin_series(t, 10);
    if (swap) std::swap(c, s);
    if (negate_cos) c = -c;
    if (negate_sin) s = -s;
    return UnitRoot{c, s};
}

// The passes of a complex transform of `half` points, a product of 4 and 5
// (the models' 400 is 4 x 4 x 5 x 5): radix-4 passes first, since they need
// the fewest operations per point, then radix 5. Pass i splits
// sub-transforms of length[i] points, stride[i] of them side by side, and
// its twiddles start at float offset[i] of the twiddle table.
struct FftPasses {
    static constexpr std::size_t kMax = 32;
    std::size_t radix[kMax] = {};
    std::size_t length[kMax] = {};
    std::size_t stride[kMax] = {};
    std::size_t offset[kMax] = {};
    std::size_t count = 0;
    std::size_t twiddle_floats = 0;
};

// Whether the passes reach a length of one: `half` has no factor but 4 and 5.
constexpr bool fft_half_supported(std::size_t half) noexcept {
    if (half == 0) return false;
    for (std::size_t p : {4, 5}) {
        while (half % p == 0) half /= p;
    }
    return half == 1;
}

constexpr FftPasses fft_passes(std::size_t half) noexcept {
    FftPasses passes;
    std::size_t length = half;
    std::size_t stride = 1;
    for (std::size_t p : {4, 5}) {
        for (; length % p == 0; length /= p, stride *= p) {
            const std::size_t i = passes.count++;
            passes.radix[i] = p;
            passes.length[i] = length;
            passes.stride[i] = stride;
            passes.offset[i] = passes.twiddle_floats;
            passes.twiddle_floats += 2 * (length / p) * (p - 1);
        }
    }
    return passes;
}

constexpr float twiddle_re(std::size_t k, std::size_t n) noexcept { return static_cast<float>(unit_root(k, n).cos); }
constexpr float twiddle_im(std::size_t k, std::size_t n) noexcept { return static_cast<float>(-unit_root(k, n).sin); }

// The twiddles of every pass (passes.twiddle_floats floats) and the join
// rotations (2 * (half + 1) floats) of a real transform of 2 * half samples.
constexpr void fill_fft_twiddles(std::size_t half, const FftPasses& passes, float* twiddles, float* join) noexcept {
    for (std::size_t i = 0; i < passes.count; ++i) {
        const std::size_t p = passes.radix[i];
        const std::size_t n = passes.length[i];
        float* out = twiddles + passes.offset[i];
        for (std::size_t q = 0; q < n / p; ++q) {
            for (std::size_t k = 1; k < p; ++k) {
                *out++ = twiddle_re(q * k, n);
                *out++ = twiddle_im(q * k, n);
            }
        }
    }
    for (std::size_t k = 0; k <= half; ++k) {
        join[2 * k] = twiddle_re(k, 2 * half);
        join[2 * k + 1] = twiddle_im(k, 2 * half);
    }
}

constexpr FftStage fft_stage(const FftPasses& passes, std::size_t i, const float* twiddles) noexcept {
    return FftStage{passes.radix[i], passes.length[i], passes.stride[i], twiddles + passes.offset[i]};
}

constexpr FftTables fft_tables_over(std::size_t half, const FftStage* stages, std::size_t stage_count,
                                    const float* join) noexcept {
    FftTables t;
    t.half = half;
    t.stages = stages;
    t.stage_count = stage_count;
    t.join = join;
    t.cos_5[0] = static_cast<float>(unit_root(1, 5).cos);
    t.cos_5[1] = static_cast<float>(unit_root(2, 5).cos);
    t.sin_5[0] = static_cast<float>(unit_root(1, 5).sin);
    t.sin_5[1] = static_cast<float>(unit_root(2, 5).sin);
    return t;
}

// The tables of the audio transforms' 800-sample frames: constants of the
// module, computed by the compiler from the functions above.
const FftTables& model_fft_tables() noexcept;

}  // namespace ostrel::audio
