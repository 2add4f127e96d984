// What the FFT's vector kernels work from and what they offer, as plain data
// and function pointers. The kernels are compiled once per SIMD path (see
// fft_lanes.hpp); this header is all the rest of the code sees of them, and
// it holds no library type, so the per-path translation units include nothing
// whose inline functions could be shared between instruction sets.
#pragma once

#include <cstddef>

#include "support/simd.hpp"

namespace ostrel::audio {

// One pass of the complex transform: sub-transforms of `length` points, each
// split by a butterfly of `radix` points, `stride` of them side by side.
struct FftStage {
    std::size_t radix = 0;   // 2, 3, 4 or 5
    std::size_t length = 0;  // n
    std::size_t stride = 0;  // s; n * s is the transform's length
    // For q = 0 .. n/radix - 1 and k = 1 .. radix - 1, the twiddle
    // exp(-2 pi i q k / n) as (re, im) at index 2 * (q * (radix - 1) + k - 1).
    const float* twiddles = nullptr;
};

// Everything a real transform of 2 * half samples needs, shared read-only.
struct FftTables {
    std::size_t half = 0;  // points of the complex transform
    const FftStage* stages = nullptr;
    std::size_t stage_count = 0;
    // For k = 0 .. half: (cos, -sin) of 2 pi k / (2 * half), the rotation that
    // joins the even and odd halves of the spectrum.
    const float* join = nullptr;
    float sin_3 = 0.0f;  // sin(2 pi / 3)
    float cos_5[2] = {};  // cos(2 pi / 5), cos(4 pi / 5)
    float sin_5[2] = {};  // sin(2 pi / 5), sin(4 pi / 5)
};

// The kernels of one SIMD path. Buffers hold one value per lane side by side:
// a complex array of n points is n * 2 * lanes floats, point i's real parts at
// [2 i lanes, 2 i lanes + lanes) and its imaginary parts after them.
struct FftKernels {
    std::size_t lanes = 0;

    // The spectra, bins 0 .. half, of `count` <= lanes real frames of
    // 2 * half samples: frame j starts at first + j * step and is multiplied
    // by `window` (2 * half values) unless that is null, after the
    // pre-emphasis y[n] = x[n] - c x[n-1] with c = *emphasis unless that is
    // null (then first[j * step - 1] is read too). Lanes from count on
    // transform zeros. `work` holds 4 * half * lanes floats, `spectrum`
    // (half + 1) * 2 * lanes.
    void (*spectra)(const FftTables& tables, const float* first, std::size_t step, std::size_t count,
                    const float* window, const float* emphasis, float* work, float* spectrum) = nullptr;
};

// The kernels of path P, built in fft_path.cpp (see on_simd_path()).
// Every path also has the kernels of the narrower widths down to 4 lanes,
// compiled for its instruction set, for batches of few frames: the table of
// the narrowest width that holds `at_least` lanes, or of the path's own
// width when none does. Every width gives the same bits.
template <SimdPath P>
FftKernels fft_kernels(std::size_t at_least) noexcept;

// The kernels of `path`, a path this CPU has.
FftKernels fft_kernels_for(SimdPath path, std::size_t at_least = simd_lanes(SimdPath::Avx512));

}  // namespace ostrel::audio
