// The log-mel levels: what turns a mel energy into a log-mel value, and how
// that value is normalised for the model. The transformer runs the levels in
// lanes (mel_lanes.hpp), from the LevelRule that level_rule() makes.
#pragma once

#include <bit>

#include "audio/mel_kernels.hpp"

namespace ostrel::audio {

// What turns a mel energy m into a log-mel value:
// log_multiplier * log10(max(m, min_level) * amplitude_scale) - ref_level_db,
// in this order, each step rounded: maxNum (a NaN energy takes the floor),
// scale, the correctly rounded log10, multiply, subtract.
struct LogMelLevels {
    float min_level = 0.0f;
    float amplitude_scale = 1.0f;
    float log_multiplier = 1.0f;
    float ref_level_db = 0.0f;
};

// The constant under every magnitude's square root: it keeps every magnitude
// away from zero, so that its logarithm stays finite.
inline constexpr float kMagnitudeFloor = std::bit_cast<float>(0x3089705Fu);  // 1e-9

// How every log-mel value x is brought into the model's range (LevelRule
// gives each kind's steps).
struct MelNormalization {
    enum class Kind { SymmetricClip, Standardize };
    Kind kind = Kind::Standardize;
    float min_level_db = 0.0f;  // SymmetricClip only

    static constexpr MelNormalization symmetric_clip(float min_level_db) { return {Kind::SymmetricClip, min_level_db}; }
    static constexpr MelNormalization standardize() { return {Kind::Standardize, 0.0f}; }
};

// The levels of `levels` followed by `normalization`, as the rule the
// lanes apply to each batch of energies.
LevelRule level_rule(const LogMelLevels& levels, const MelNormalization& normalization);

}  // namespace ostrel::audio
