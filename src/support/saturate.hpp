// Float to integer conversions that saturate instead of overflowing: values
// past either end of the integer type give its bounds, NaN gives 0, and
// everything else truncates toward zero as a plain conversion does (which
// would be undefined outside the type's range), or rounds to nearest.
#pragma once

#include <cstdint>
#include <limits>

namespace ostrel {

template <class Int>
constexpr Int saturating_truncate(float value) noexcept {
    using Limits = std::numeric_limits<Int>;
    // 2^digits, the first float above the type's range, exact in single precision.
    constexpr float kAbove = static_cast<float>(Limits::max() / 2 + 1) * 2.0f;
    if (value != value) return 0;
    if (value >= kAbove) return Limits::max();
    if (value <= static_cast<float>(Limits::min())) return Limits::min();
    return static_cast<Int>(value);
}

// The floor and the ceiling of a float as an int64, saturating likewise (NaN
// gives 0), without a C library call: below 2^23 in magnitude the truncation
// is exact as a float and tells whether the value had a fraction; from there
// on every float is a whole number.
constexpr std::int64_t floor_i64(float value) noexcept {
    const std::int64_t whole = saturating_truncate<std::int64_t>(value);
    const bool below = static_cast<float>(whole) > value && whole != std::numeric_limits<std::int64_t>::min();
    return below ? whole - 1 : whole;
}

constexpr std::int64_t ceil_i64(float value) noexcept {
    const std::int64_t whole = saturating_truncate<std::int64_t>(value);
    const bool above = static_cast<float>(whole) < value && whole != std::numeric_limits<std::int64_t>::max();
    return above ? whole + 1 : whole;
}

// To nearest with halves away from zero, saturating likewise: from 2^23 on
// every float is a whole number; below, the fraction left after truncation is
// exact, and a half or more rounds up.
constexpr std::uint64_t round_u64(float value) noexcept {
    if (!(value < 0x1p23f)) return saturating_truncate<std::uint64_t>(value);
    const std::uint64_t whole = saturating_truncate<std::uint64_t>(value);
    return whole + static_cast<std::uint64_t>(value - static_cast<float>(whole) >= 0.5f);
}

}  // namespace ostrel
