// The module's scalar log10 (the lanes' one-lane form) and the out-of-line
// accurate log10 the lanes fall back on (elementary.hpp).
#include "audio/elementary.hpp"

#include "audio/log10_lanes.hpp"

namespace ostrel::audio::cr {

float log10(float x) noexcept {
    float y = 0.0f;
    Log10Lanes<1>::log10<1>(&x, &y);
    return y;
}

float log10_accurate(float x) noexcept { return log10_exact(x); }

}  // namespace ostrel::audio::cr
