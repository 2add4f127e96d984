// The out-of-line accurate log10 the lanes fall back on (elementary.hpp).
#include "audio/elementary.hpp"

namespace ostrel::audio::cr {

float log10_accurate(float x) noexcept { return log10_exact(x); }

}  // namespace ostrel::audio::cr
