// The log-mel levels, scalar: what turns a mel energy into a log-mel value,
// how that value is normalised for the model, and the IEEE maxNum and minNum
// the floor and the clip take. The transformer runs the same steps in lanes
// (mel_lanes.hpp), from the LevelRule that level_rule() makes.
#pragma once

#include <bit>

#include "audio/elementary.hpp"
#include "audio/mel_kernels.hpp"

namespace ostrel::audio {

// What turns a mel energy m into a log-mel value:
// log_multiplier * log10(max(m, min_level) * amplitude_scale) - ref_level_db.
struct LogMelLevels {
    float min_level = 0.0f;
    float amplitude_scale = 1.0f;
    float log_multiplier = 1.0f;
    float ref_level_db = 0.0f;

    // In this order, each step rounded: maxNum (a NaN energy takes the
    // floor), scale, the correctly rounded log10, multiply, subtract. The
    // transformer runs the same steps in lanes (LevelRule).
    float apply(float energy) const noexcept;
};

// The constant under every magnitude's square root: it keeps every magnitude
// away from zero, so that its logarithm stays finite.
inline constexpr float kMagnitudeFloor = std::bit_cast<float>(0x3089705Fu);  // 1e-9

// IEEE maxNum and minNum: when one operand is NaN the other is the result;
// of +0.0 and -0.0 the second operand. Inline and the module's own, unlike a
// C library's fmaxf and fminf, whose choice between zeros varies.
constexpr float max_num(float a, float b) noexcept { return (a > b || b != b) ? a : b; }
constexpr float min_num(float a, float b) noexcept { return (a < b || b != b) ? a : b; }

inline float LogMelLevels::apply(float energy) const noexcept {
    const float floored = max_num(energy, min_level);
    const float scaled = floored * amplitude_scale;
    const float log = cr::log10(scaled);
    return log_multiplier * log - ref_level_db;
}

// How every log-mel value x is brought into the model's range.
struct MelNormalization {
    enum class Kind { SymmetricClip, Standardize };
    Kind kind = Kind::Standardize;
    float min_level_db = 0.0f;  // SymmetricClip only

    static constexpr MelNormalization symmetric_clip(float min_level_db) { return {Kind::SymmetricClip, min_level_db}; }
    static constexpr MelNormalization standardize() { return {Kind::Standardize, 0.0f}; }

    float apply(float x) const noexcept;
};

// The levels of `levels` followed by `normalization`, as the rule the
// lanes apply to each batch of energies.
LevelRule level_rule(const LogMelLevels& levels, const MelNormalization& normalization);

}  // namespace ostrel::audio
