// Float to integer conversion that saturates instead of overflowing: values
// past either end of the integer type give its bounds, NaN gives 0, and
// everything else truncates toward zero as a plain conversion does (which
// would be undefined outside the type's range).
#pragma once

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

}  // namespace ostrel
