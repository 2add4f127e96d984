// The rule the mel kernels apply in lanes, from a model's levels and
// normalisation.
#include "audio/levels.hpp"

#include <bit>

namespace ostrel::audio {
namespace {

// Standardize: mean and deviation of the V2 model's training features.
constexpr float kMelMean = std::bit_cast<float>(0xC007E445u);  // -2.1233075
constexpr float kMelStd = std::bit_cast<float>(0x3F8A7C4Au);   // 1.081918

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

}  // namespace ostrel::audio
