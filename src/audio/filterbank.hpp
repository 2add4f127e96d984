// The mel filterbank: triangular filters on the Slaney (or HTK) mel scale
// over the bins of a spectrum, and the range of bins each filter weights. All
// arithmetic is single precision, one rounding per operation, in the order
// written, with the module's own logarithms and exponentials.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "audio/mel_kernels.hpp"

namespace ostrel::audio {

// A row-major two-dimensional f32 array.
struct Matrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<float> values;

    float at(std::size_t row, std::size_t col) const { return values[row * cols + col]; }
    std::span<const float> row(std::size_t r) const { return {values.data() + r * cols, cols}; }
};

struct MelConfig {
    float sample_rate = 16000.0f;
    std::size_t n_fft = 800;
    std::size_t n_mels = 80;
    std::optional<float> fmin;  // absent: 0 Hz
    std::optional<float> fmax;  // absent: sample_rate / 2
    bool htk = false;           // HTK mel formula instead of the Slaney scale
    bool normalize = true;      // scale each filter by 2 / its width in Hz
};

// The n_mels + 2 filter edges in Hz: equal steps on the mel scale from fmin
// to fmax, converted back to Hz. Filter i rises from edge i to edge i + 1 and
// falls to edge i + 2.
std::vector<float> mel_frequencies(const MelConfig& config);

// The (n_mels, n_fft/2 + 1) triangular mel filterbank.
Matrix mel(MelConfig config);

// Per filter, the smallest range holding every weight that is not zero
// (NaN weights count as non-zero). An all-zero filter gets an empty range.
std::vector<BinRange> nonzero_bin_ranges(const Matrix& filters);

}  // namespace ostrel::audio
