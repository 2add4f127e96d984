// The module's binary32 log10, correctly rounded, written once for W lanes.
// The per-path translation units (fft_path_*.cpp) compile it for their
// instruction set, and elementary.cpp compiles it for one lane as the scalar
// form; everything here has internal linkage.
//
// Each lane evaluates log10 in double precision with a known error bound and
// rounds that to float. Where the double result lies so close to a midpoint
// between two floats that the bound cannot tell on which side the true value
// lies, and for the special inputs (zero, negative, infinite, NaN), the lane
// takes its result from log10_accurate() instead. Every result is the
// correctly rounded one, so the bits cannot depend on W, the path or the
// platform; the exhaustive test (tests/log10/) holds every input to that.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

#include "audio/elementary.hpp"
#include "support/lanes.hpp"

namespace ostrel::audio::cr_detail {
namespace {

// log10(2) split so that e * kLog10TwoHigh is exact for every exponent e of a
// float (|e| < 2^8): its high part has 45 significant bits.
constexpr double kLog10TwoHigh = std::bit_cast<double>(0x3FD34413509F7A00ull);
constexpr double kLog10TwoLow = std::bit_cast<double>(0xBC90CEE0ED4CA7E9ull);
constexpr double kInvLn10 = std::bit_cast<double>(0x3FDBCB7B1526E50Eull);  // 1 / ln(10)

// log10(m) = (2 / ln 10) atanh(s) with s = (m - 1) / (m + 1), and
// atanh(s) = s (1 + z/3 + z^2/5 + ...) with z = s^2: the series' first eight
// terms, each coefficient 2 / ((2k + 1) ln 10).
constexpr std::size_t kTerms = 8;
constexpr double series_coefficient(std::size_t k) { return (2.0 * kInvLn10) / static_cast<double>(2 * k + 1); }

// Error bound. With m in [sqrt(2)/2, sqrt(2)), |s| <= 0.1716 and z <= 0.02944.
// The dropped terms add at most z^8 / (17 (1 - z)) < 2^-44.7 of log10(m);
// the roundings (the quotient, z, the coefficients, Horner's steps, the
// products and the two sums) at most 6 units of 2^-53 of the result, since
// |log10(m)| <= |e| log10(2) / 2 for e != 0 and nothing cancels. So the
// double result is within 2^-44.6 of the result's magnitude, under 2^8.4
// units in its last place. A lane whose result lies within kNearMidpoint
// units of a float midpoint (the 29 bits that rounding to float drops read
// 2^28) is decided by log10_accurate(); 16 times the bound leaves room.
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
        return std::bit_cast<To>(v);
    }

    static F log10(F x) {
        // Integer work on the patterns is unsigned, so that no input overflows.
        const U u = bits<U>(x);
        // Subnormals are scaled by 2^23 first, exactly, and their exponent
        // lowered to match; zero and the negatives go to the exact path anyway.
        const U subnormal = bits<U>(u - 1u < 0x007FFFFFu);
        const U scaled = (bits<U>(x * 0x1p23f) & subnormal) | (u & ~subnormal);
        const I exponent_shift = bits<I>(subnormal) & -23;

        // x = 2^e m with m in [sqrt(2)/2, sqrt(2)): the exponent is counted
        // from the bits of sqrt(2)/2, rounded down to a float.
        const I e = bits<I>(scaled - 0x3F3504F3u) >> 23;
        const F m_float = bits<F>(scaled - (bits<U>(e) << 23));
        const D m = __builtin_convertvector(m_float, D);
        const D exponent = __builtin_convertvector(e + exponent_shift, D);

        // m - 1 and m + 1 are exact.
        const D s = (m - 1.0) / (m + 1.0);
        const D z = s * s;
        D sum = D{} + series_coefficient(kTerms - 1);
        for (std::size_t k = kTerms - 1; k-- > 0;) sum = sum * z + series_coefficient(k);
        const D log_m = s * sum;
        const D result = exponent * kLog10TwoHigh + (exponent * kLog10TwoLow + log_m);
        F rounded = __builtin_convertvector(result, F);

        // The low 32 bits of each result's pattern hold the 29 that rounding
        // drops: taken from 2^28 - kNearMidpoint on, modulo 2^29, they are
        // below 2 kNearMidpoint + 1 just for results near a midpoint.
        const U low = __builtin_convertvector(__builtin_bit_cast(L, result), U);
        const I near = ((low + (kNearMidpoint - (1u << 28))) & 0x1FFFFFFFu) <= 2 * kNearMidpoint;
        // Zero, the negatives, infinity and NaN.
        const I special = u - 1u >= 0x7F7FFFFFu;
        const I decide = near | special;
        std::int32_t any = 0;
        for (std::size_t j = 0; j < W; ++j) any |= decide[j];
        if (any != 0) {
            for (std::size_t j = 0; j < W; ++j) {
                if (decide[j] != 0) rounded[j] = cr::log10_accurate(x[j]);
            }
        }
        return rounded;
    }
};

}  // namespace
}  // namespace ostrel::audio::cr_detail
