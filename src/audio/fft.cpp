// The real FFT's tables for the audio's 800 samples, compile-time constants.
#include "audio/fft.hpp"

#include <array>

namespace ostrel::audio {

namespace {

// The audio transforms' frame length.
constexpr std::size_t kModelFftSize = 800;

// The tables of the models' length as constants of the module, computed by
// the compiler: no state is made for them at run time.
struct ModelTables {
    static constexpr std::size_t kHalf = kModelFftSize / 2;
    static constexpr FftPasses kPasses = fft_passes(kHalf);
    struct Values {
        float twiddles[kPasses.twiddle_floats];
        float join[2 * (kHalf + 1)];
    };
    static constexpr Values kValues = [] {
        Values v{};
        fill_fft_twiddles(kHalf, kPasses, v.twiddles, v.join);
        return v;
    }();
    // Built after the values, as the stages point into them.
    static constexpr std::array<FftStage, kPasses.count> kStages = [] {
        std::array<FftStage, kPasses.count> stages{};
        for (std::size_t i = 0; i < kPasses.count; ++i) stages[i] = fft_stage(kPasses, i, kValues.twiddles);
        return stages;
    }();
    static constexpr FftTables kTables = fft_tables_over(kHalf, kStages.data(), kPasses.count, kValues.join);
};

static_assert(fft_half_supported(ModelTables::kHalf));

}  // namespace

const FftTables& model_fft_tables() noexcept { return ModelTables::kTables; }

}  // namespace ostrel::audio
