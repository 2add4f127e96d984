// The log-mel normalisations, scalar, and the rule the mel kernels apply in
// lanes.
#include "audio/levels.hpp"

#include <bit>

namespace ostrel::audio {
namespace {

// SymmetricClip maps [min_level_db, 0] onto [-kMaxAbsValue, kMaxAbsValue].
constexpr float kMaxAbsValue = 4.0f;
constexpr float kClipScale = 8.0f;  // 2 * kMaxAbsValue

// Standardize: mean and deviation of the V2 model's training features.
constexpr float kMelMean = std::bit_cast<float>(0xC007E445u);  // -2.1233075
constexpr float kMelStd = std::bit_cast<float>(0x3F8A7C4Au);   // 1.081918

float standardized(float x) noexcept { return (x - kMelMean) / kMelStd; }

float clipped(float x, float min_level_db) noexcept {
    float v = x - min_level_db;
    v = v / (-min_level_db);
    v = kClipScale * v;
    v = v - kMaxAbsValue;
    // maxNum then minNum: a NaN becomes the lower bound.
    return min_num(max_num(v, -kMaxAbsValue), kMaxAbsValue);
}

}  // namespace

LevelRule level_rule(const LogMelLevels& levels, const MelNormalization& normalization) {
    return LevelRule{levels.min_level,
                     levels.amplitude_scale,
                     levels.log_multiplier,
                     levels.ref_level_db,
                     normalization.kind == MelNormalization::Kind::Standardize,
                     kMelMean,
                     kMelStd,
                     normalization.min_level_db};
}

float MelNormalization::apply(float x) const noexcept {
    return kind == Kind::Standardize ? standardized(x) : clipped(x, min_level_db);
}

}  // namespace ostrel::audio
