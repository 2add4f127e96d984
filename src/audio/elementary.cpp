// The lanes' out-of-line log10 of the values they cannot decide
// (elementary.hpp).
#include "audio/elementary.hpp"

namespace ostrel::audio::cr {

void log10_flagged(const float* in, float* out, const std::int32_t* flags, std::size_t count) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        if (flags[i] != 0) out[i] = log10(in[i]);
    }
}

}  // namespace ostrel::audio::cr
