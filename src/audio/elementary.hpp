// The module's own elementary functions of binary32 arguments, so that no
// C library's maths enters the audio results: the log10 of the levels (every
// input correctly rounded, to nearest with ties to even; the levels run it in
// lanes, log10_lanes.hpp), and the cosine, exponentials and logarithms from
// which the Hann taper and the mel filterbank are built, correctly rounded
// for the arguments those use (tests/cpp/audio_elementary_test.cpp checks
// every one against a higher-precision oracle).
//
// All are constexpr: the compiler evaluates them for the taper and
// filterbank tables, with the bits a call at run time gives, as plain double
// arithmetic rounded step by step. Only baseline translation units call
// them; the per-path kernels reach log10() through log10_flagged(), out of
// line.
//
// Special inputs as a C library treats them: log10 and ln of +0 or -0 give
// -inf, of a negative number NaN, of +inf +inf; NaN gives NaN.
//
// Beside them, IEEE maxNum and minNum, which the filterbank's clamps take.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace ostrel::audio::cr {

// out[i] = log10(in[i]) for every i below `count` whose flags[i] is not
// zero; the other outputs are left alone. Compiled once, in the baseline's
// instruction set (elementary.cpp): the lanes take it for the rare inputs
// whose rounding their double evaluation cannot decide.
[[gnu::cold]] void log10_flagged(const float* in, float* out, const std::int32_t* flags, std::size_t count) noexcept;

namespace detail {

// A value hi + lo with |lo| at most half a unit in the last place of hi.
// The error-free steps below hold because every operation is rounded on its
// own (the build forbids fused multiply-adds) and to nearest.
struct Double2 {
    double hi = 0.0;
    double lo = 0.0;
};

constexpr Double2 two_sum(double a, double b) {
    const double s = a + b;
    const double bb = s - a;
    return {s, (a - (s - bb)) + (b - bb)};
}

// For |a| >= |b|.
constexpr Double2 quick_two_sum(double a, double b) {
    const double s = a + b;
    return {s, b - (s - a)};
}

// a = hi + lo with hi holding the top 26 bits, so that products of halves are exact.
constexpr Double2 split(double a) {
    const double c = 134217729.0 * a;  // 2^27 + 1
    const double hi = c - (c - a);
    return {hi, a - hi};
}

constexpr Double2 two_product(double a, double b) {
    const double p = a * b;
    const Double2 x = split(a);
    const Double2 y = split(b);
    return {p, ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo};
}

constexpr Double2 add(Double2 a, Double2 b) {
    Double2 s = two_sum(a.hi, b.hi);
    const Double2 t = two_sum(a.lo, b.lo);
    s = quick_two_sum(s.hi, s.lo + t.hi);
    return quick_two_sum(s.hi, s.lo + t.lo);
}

constexpr Double2 multiply(Double2 a, Double2 b) {
    const Double2 p = two_product(a.hi, b.hi);
    return quick_two_sum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

// 1 / n to double-double precision.
constexpr Double2 reciprocal(double n) {
    const double hi = 1.0 / n;
    const Double2 p = two_product(hi, n);
    return {hi, ((1.0 - p.hi) - p.lo) / n};
}

constexpr Double2 kLn2{std::bit_cast<double>(0x3FE62E42FEFA39EFull), std::bit_cast<double>(0x3C7ABC9E3B39803Full)};
constexpr Double2 kInvLn10{std::bit_cast<double>(0x3FDBCB7B1526E50Eull),
                           std::bit_cast<double>(0x3C695355BAAAFAD3ull)};
constexpr Double2 kLn10{std::bit_cast<double>(0x40026BB1BBB55516ull), std::bit_cast<double>(0xBCAF48AD494EA3E9ull)};
// ln(2) with a 45-bit high part, so that k * kLn2High is exact for |k| < 2^8.
constexpr double kLn2High = std::bit_cast<double>(0x3FE62E42FEFA3A00ull);
constexpr double kLn2Low = std::bit_cast<double>(0xBCE0CA86C3898D00ull);
constexpr double kInvLn2 = std::bit_cast<double>(0x3FF71547652B82FEull);
// pi/2 in three parts, the first two of 33 bits, so that k times each of
// them is exact for |k| < 2^20.
constexpr double kHalfPi1 = std::bit_cast<double>(0x3FF921FB54400000ull);
constexpr double kHalfPi2 = std::bit_cast<double>(0x3DD0B4611A600000ull);
constexpr double kHalfPi3 = std::bit_cast<double>(0x3BA3198A2E037073ull);
constexpr double kTwoOverPi = std::bit_cast<double>(0x3FE45F306DC9C883ull);

constexpr float kQuietNaN = std::bit_cast<float>(0x7FC00000u);
constexpr float kInfinity = std::bit_cast<float>(0x7F800000u);

// cos t and sin t for |t| <= pi/4 by their Taylor series to the terms in
// t^(2 terms) and t^(2 terms + 1), evaluated by Horner's rule from the
// smallest term.
constexpr double cos_series(double t, int terms) {
    const double x = t * t;
    double r = 1.0;
    for (int j = terms; j >= 1; --j) r = 1.0 - (x / static_cast<double>((2 * j - 1) * (2 * j))) * r;
    return r;
}

constexpr double sin_series(double t, int terms) {
    const double x = t * t;
    double r = 1.0;
    for (int j = terms; j >= 1; --j) r = 1.0 - (x / static_cast<double>((2 * j) * (2 * j + 1))) * r;
    return t * r;
}

// The integer nearest v (ties to even), for |v| < 2^51: adding 1.5 * 2^52
// leaves no fraction bits, and the rounding of that sum is the rounding to
// an integer.
constexpr double nearest_integer(double v) { return (v + 0x1.8p52) - 0x1.8p52; }

// The float nearest hi + lo. Rounding hi alone gives it unless hi is exactly
// halfway between two floats (no power of two is), where lo's sign decides.
constexpr float round_to_float(Double2 v) {
    float f = static_cast<float>(v.hi);
    const double below_or_above = v.hi - static_cast<double>(f);
    if (v.lo != 0.0 && below_or_above != 0.0) {
        const bool outward = (below_or_above > 0.0) == (f > 0.0f);
        const float other = std::bit_cast<float>(std::bit_cast<std::uint32_t>(f) + (outward ? 1u : ~0u));
        const double midpoint = (static_cast<double>(f) + static_cast<double>(other)) * 0.5;
        if (v.hi == midpoint && (v.lo > 0.0) == (below_or_above > 0.0)) f = other;
    }
    return f;
}

// ln(x) for positive finite x, relative error about 2^-75. x = 2^e m with m
// in [sqrt(2)/2, sqrt(2)), ln(m) = 2 atanh(s), s = (m - 1) / (m + 1), and
// atanh(s) = s (1 + z/3 + z^2/5 + ...) with z = s^2 <= 0.02944: the terms
// from z^4 on, at most 8.3e-8, in double, the first four in double-double;
// the terms after z^14 are below 2^-80.
constexpr Double2 ln_positive(float x) {
    std::uint32_t u = std::bit_cast<std::uint32_t>(x);
    int shift = 0;
    if (u < 0x00800000u) {
        u = std::bit_cast<std::uint32_t>(x * 0x1p23f);
        shift = -23;
    }
    const std::int32_t e = static_cast<std::int32_t>(u - 0x3F3504F3u) >> 23;
    const double m = std::bit_cast<float>(u - (static_cast<std::uint32_t>(e) << 23));

    const double a = m - 1.0;  // exact, as is b
    const double b = m + 1.0;
    const double s_hi = a / b;
    const Double2 p = two_product(s_hi, b);
    const Double2 s{s_hi, ((a - p.hi) - p.lo) / b};
    Double2 z = two_product(s.hi, s.hi);
    z = quick_two_sum(z.hi, z.lo + 2.0 * s.hi * s.lo);

    double tail = 1.0 / 29.0;
    for (int k = 13; k >= 4; --k) tail = tail * z.hi + 1.0 / static_cast<double>(2 * k + 1);
    Double2 sum{tail, 0.0};
    for (int k = 3; k >= 0; --k) sum = add(multiply(sum, z), reciprocal(static_cast<double>(2 * k + 1)));
    const Double2 ln_m = multiply(multiply(s, Double2{2.0, 0.0}), sum);

    const double exponent = static_cast<double>(e + shift);
    const Double2 e_ln2 = add(two_product(exponent, kLn2.hi), Double2{exponent * kLn2.lo, 0.0});
    return add(e_ln2, ln_m);
}

// What a C library gives for the logarithm of a special input, when x is
// one (zero, negative, infinite or NaN).
constexpr bool log_special(float x, float& result) {
    const std::uint32_t u = std::bit_cast<std::uint32_t>(x);
    if (u - 1u < 0x7F7FFFFFu) return false;
    if ((u & 0x7FFFFFFFu) == 0) {
        result = -kInfinity;
    } else if ((u & 0x7FFFFFFFu) > 0x7F800000u) {
        result = std::bit_cast<float>(u | 0x00400000u);  // the NaN, quiet
    } else {
        result = u == 0x7F800000u ? kInfinity : kQuietNaN;
    }
    return true;
}

// e^(hi + lo) for |hi| < 110, |lo| tiny against hi's last place, relative
// error under 2^-50: e^(k ln 2 + r) = 2^k e^r with |r| <= ln(2)/2, e^r by its
// series to r^13/13! (the rest is below 2^-57).
constexpr double exp_double(double hi, double lo) {
    const double k = nearest_integer(hi * kInvLn2);
    const double r = ((hi - k * kLn2High) - k * kLn2Low) + lo;
    double sum = 1.0;
    for (int i = 13; i >= 1; --i) sum = sum * (r / static_cast<double>(i)) + 1.0;
    // 2^k is a normal double for every k here.
    const auto exponent = static_cast<std::uint64_t>(static_cast<std::int64_t>(k) + 1023);
    return sum * std::bit_cast<double>(exponent << 52);
}

// e^y for y = hi + lo, to float, with C library results at the ends.
constexpr float exp_to_float(double hi, double lo, float x) {
    if (x != x) return x + x;
    if (hi > 89.0) return kInfinity;
    if (hi < -104.0) return 0.0f;
    return static_cast<float>(exp_double(hi, lo));
}

}  // namespace detail

// log10(x), correctly rounded for every x, from a double-double evaluation
// (about 2^-75 relative error) rounded once; much slower than the lanes'.
constexpr float log10(float x) noexcept {
    float special = 0.0f;
    if (detail::log_special(x, special)) return special;
    return detail::round_to_float(detail::multiply(detail::ln_positive(x), detail::kInvLn10));
}

// The natural logarithm, by log10()'s double-double evaluation.
constexpr float ln(float x) noexcept {
    float special = 0.0f;
    if (detail::log_special(x, special)) return special;
    return detail::round_to_float(detail::ln_positive(x));
}

// e^x and 10^x, from a double evaluation (relative error under 2^-50)
// rounded once; exact for the powers of ten a float holds (10^0 .. 10^10).
constexpr float exp(float x) noexcept { return detail::exp_to_float(x, 0.0, x); }

constexpr float exp10(float x) noexcept {
    using namespace detail;
    // y ln(10) to double-double precision, so that its rounding costs nothing.
    Double2 y = two_product(x, kLn10.hi);
    y = quick_two_sum(y.hi, y.lo + static_cast<double>(x) * kLn10.lo);
    return exp_to_float(y.hi, y.lo, x);
}

// cos(x) for |x| < 2^19 (the taper needs [0, 2 pi]), from a double
// evaluation (relative error under 2^-50) rounded once; NaN for larger,
// infinite and NaN x.
constexpr float cos(float x) noexcept {
    using namespace detail;
    if (x - x != 0.0f) return x - x;  // NaN for infinite and NaN x
    if (!(x < 0x1p19f && x > -0x1p19f)) return kQuietNaN;  // beyond the reduction's reach
    // x = k pi/2 + r with |r| <= pi/4; the cosine is then that of r or its
    // sine, signed by k mod 4. The series run to r^18 and r^19, whose next
    // terms are below 2^-67.
    const double v = x;
    const double k = nearest_integer(v * kTwoOverPi);
    const double r = ((v - k * kHalfPi1) - k * kHalfPi2) - k * kHalfPi3;
    const double c = cos_series(r, 9);
    const double s = sin_series(r, 9);
    switch (static_cast<std::int64_t>(k) & 3) {
    case 0:
        return static_cast<float>(c);
    case 1:
        return static_cast<float>(-s);
    case 2:
        return static_cast<float>(-c);
    default:
        return static_cast<float>(s);
    }
}

}  // namespace ostrel::audio::cr

namespace ostrel::audio {

// IEEE maxNum and minNum: when one operand is NaN the other is the result;
// of +0.0 and -0.0 the second operand. Inline and the module's own, unlike a
// C library's fmaxf and fminf, whose choice between zeros varies.
constexpr float max_num(float a, float b) noexcept { return (a > b || b != b) ? a : b; }
constexpr float min_num(float a, float b) noexcept { return (a < b || b != b) ? a : b; }

}  // namespace ostrel::audio
