// The forward FFT of real frames, behind one small type so that the FFT
// library can be exchanged without touching the rest of the audio code.
#pragma once

#include <cstddef>
#include <memory>
#include <span>

namespace ostrel::audio {

// One complex value; the FFT writes arrays of these.
struct Complex {
    float re = 0.0f;
    float im = 0.0f;
};

// A forward, unnormalised DFT of `size` real samples:
// X[k] = sum over n of x[n] * exp(-2 pi i k n / size), for k = 0 .. size/2.
// The bins above size/2 are the conjugates of those below and are never
// needed, so the plan computes only the lower half. The plan owns all its
// working memory; applying it allocates nothing.
class RealFft {
public:
    // Plans a transform of `size` samples, an even number; throws
    // std::bad_alloc when the plan's memory cannot be had.
    explicit RealFft(std::size_t size);
    ~RealFft();
    RealFft(RealFft&&) noexcept;
    RealFft& operator=(RealFft&&) noexcept;
    RealFft(const RealFft&) = delete;
    RealFft& operator=(const RealFft&) = delete;

    std::size_t size() const noexcept { return size_; }
    std::size_t bins() const noexcept { return size_ / 2 + 1; }

    // Transforms size() samples of `input` into bins() values of `output`.
    void forward(std::span<const float> input, std::span<Complex> output);

private:
    struct Plan;
    std::unique_ptr<Plan> plan_;
    std::size_t size_ = 0;
};

}  // namespace ostrel::audio
