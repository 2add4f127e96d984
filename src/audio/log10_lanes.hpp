// The module's binary32 log10, correctly rounded, written once for W lanes.
// The mel stage's lanes (mel_lanes.hpp) compile it for each path's
// instruction set; everything here has internal linkage.
//
// Each lane evaluates log10 in double precision with a known error bound and
// rounds that to float. Where the double result lies so close to a midpoint
// between two floats that the bound cannot tell on which side the true value
// lies, and for the special inputs (zero, subnormal, negative, infinite,
// NaN), the lane takes its result from cr::log10() instead. Every result
// is the correctly rounded one, so the bits cannot depend on W, the path or
// the platform; tests/exhaustive/log10_exhaustive.cpp holds every input to
// that. Changing the series, the bound or kNearMidpoint needs that test run
// again (`make log10-test`).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "audio/elementary.hpp"
#include "support/lanes.hpp"

namespace ostrel::audio {
namespace {

constexpr double kLog10Two = std::bit_cast<double>(0x3FD34413509F79FFull);  // log10(2)

// log10(m) = (2 / ln 10) atanh(s) with s = (m - 1) / (m + 1), and
// atanh(s) = s (1 + z/3 + z^2/5 + ...) with z = s^2: the series' first eight
// terms, coefficient k being 2 / ((2k + 1) ln 10), summed by Estrin's scheme
// (pairs, then pairs of pairs), whose short chain of dependent steps lets
// the lanes of several vectors overlap.
constexpr double log10_series_coefficient(std::size_t k) {
    return (2.0 * cr::detail::kInvLn10.hi) / static_cast<double>(2 * k + 1);
}

// Error bound. With m in [sqrt(2)/2, sqrt(2)), |s| <= 0.1716 and z <= 0.02944.
// The dropped terms add at most z^8 / (17 (1 - z)) < 2^-44.7 of log10(m);
// the roundings (the quotient, z, its powers, the coefficients, the pairs'
// steps, the products, log10(2) and the sum) at most 10 units of 2^-53 of
// the result, since |log10(m)| <= |e| log10(2) / 2 for e != 0 and nothing
// cancels. So the double result is within 2^-44.6 of the result's magnitude,
// under 2^8.4 units in its last place. A lane whose result lies within
// kNearMidpoint units of a float midpoint (the 29 bits that rounding to float
// drops read 2^28) is decided by cr::log10(); 16 times the bound leaves
// room.
constexpr std::uint32_t kNearMidpoint = 1u << 12;

template <std::size_t W>
struct Log10Lanes {
    using Vec = simd::Vec<W>;
    using F = typename Vec::F;
    using I = typename Vec::I;
    using U = typename Vec::U;
    using D = typename Vec::D;
    using L = typename Vec::L;

    template <class To, class From>
    static To bits(From v) {
        static_assert(sizeof(To) == sizeof(From));
        return __builtin_bit_cast(To, v);
    }

    // The log10 of N vectors at once, each step over all of them in turn so
    // that their chains of dependent operations overlap.
    template <std::size_t N>
    [[gnu::always_inline]] static inline void log10(const float* in, float* out) {
        F rounded[N];
        I decide[N];
        D s[N], exponent[N];
        for (std::size_t n = 0; n < N; ++n) {
            const F x = Vec::loadf(in + n * W);
            // Integer work on the patterns is unsigned, so that no input overflows.
            const U u = bits<U>(x);
            // Zero, subnormals, the negatives, infinity and NaN: none arises
            // from the levels' floor, and cr::log10() takes them all.
            decide[n] = u - 0x00800000u >= 0x7F000000u;
            // x = 2^e m with m in [sqrt(2)/2, sqrt(2)): the exponent is counted
            // from the bits of sqrt(2)/2, rounded down to a float.
            const I e = bits<I>(u - 0x3F3504F3u) >> 23;
            const F m_float = bits<F>(u - (bits<U>(e) << 23));
            const D m = __builtin_convertvector(m_float, D);
            exponent[n] = __builtin_convertvector(e, D);
            // m - 1 and m + 1 are exact.
            s[n] = (m - 1.0) / (m + 1.0);
        }
        for (std::size_t n = 0; n < N; ++n) {
            const D z = s[n] * s[n];
            const D z2 = z * z;
            const D z4 = z2 * z2;
            constexpr auto c = log10_series_coefficient;
            const D low = (c(0) + c(1) * z) + (c(2) + c(3) * z) * z2;
            const D high = (c(4) + c(5) * z) + (c(6) + c(7) * z) * z2;
            const D log_m = s[n] * (low + high * z4);
            const D result = exponent[n] * kLog10Two + log_m;
            rounded[n] = __builtin_convertvector(result, F);
            // The low 32 bits of each result's pattern hold the 29 that
            // rounding to float drops: counted from 2^28 - kNearMidpoint on,
            // modulo 2^29, they are at most 2 kNearMidpoint just near a
            // midpoint. (Compared as 32-bit lanes: GCC splits a comparison of
            // 64-bit lanes wider than the hardware's vectors into scalars.)
            const U low_bits = __builtin_convertvector(__builtin_bit_cast(L, result), U);
            decide[n] |= ((low_bits + (kNearMidpoint - (1u << 28))) & 0x1FFFFFFFu) <= 2 * kNearMidpoint;
        }
        for (std::size_t n = 0; n < N; ++n) Vec::store(out + n * W, rounded[n]);

        // Rare: a lane to decide in any of the vectors.
        I any_vector = decide[0];
        for (std::size_t n = 1; n < N; ++n) any_vector |= decide[n];
        std::int32_t any = 0;
        for (std::size_t j = 0; j < W; ++j) any |= any_vector[j];
        if (any != 0) {
            std::int32_t flags[N * W];
            for (std::size_t n = 0; n < N; ++n) Vec::store(flags + n * W, decide[n]);
            // Out of line, so that the common path keeps its registers.
            cr::log10_flagged(in, out, flags, N * W);
        }
    }

    // log10 of `count` values, a multiple of W, blocks of kBlock vectors
    // first. `out` must not overlap `in`: flagged lanes are read again.
    static constexpr std::size_t kBlock = 4;
    static void log10_all(const float* in, float* out, std::size_t count) {
        std::size_t i = 0;
        for (; i + kBlock * W <= count; i += kBlock * W) log10<kBlock>(in + i, out + i);
        for (; i < count; i += W) log10<1>(in + i, out + i);
    }
};

}  // namespace
}  // namespace ostrel::audio
