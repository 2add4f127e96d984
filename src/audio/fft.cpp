#include "audio/fft.hpp"

#include <climits>
#include <new>
#include <type_traits>

#include <kissfft/kiss_fft.h>
#include <kissfft/kiss_fftr.h>

#include "support/panic.hpp"

namespace ostrel::audio {

// The library's complex type and ours share their layout, so spectra are
// written straight into the caller's array.
static_assert(sizeof(Complex) == sizeof(kiss_fft_cpx) && alignof(Complex) == alignof(kiss_fft_cpx));
static_assert(std::is_standard_layout_v<Complex> && std::is_same_v<kiss_fft_scalar, float>);

struct RealFft::Plan {
    kiss_fftr_cfg cfg = nullptr;

    Plan() = default;
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    ~Plan() { kiss_fftr_free(cfg); }
};

RealFft::RealFft(std::size_t size) : plan_(std::make_unique<Plan>()), size_(size) {
    // The real-input transform runs a complex one of half the length.
    if (size == 0 || size % 2 != 0 || size > static_cast<std::size_t>(INT_MAX)) {
        panic("fft size must be even and in 2..=INT_MAX");
    }
    plan_->cfg = kiss_fftr_alloc(static_cast<int>(size), 0, nullptr, nullptr);
    if (plan_->cfg == nullptr) throw std::bad_alloc();
}

RealFft::~RealFft() = default;
RealFft::RealFft(RealFft&&) noexcept = default;
RealFft& RealFft::operator=(RealFft&&) noexcept = default;

void RealFft::forward(std::span<const float> input, std::span<Complex> output) {
    if (input.size() < size_ || output.size() < bins()) panic("fft: buffer shorter than the plan");
    kiss_fftr(plan_->cfg, input.data(), reinterpret_cast<kiss_fft_cpx*>(output.data()));
}

}  // namespace ostrel::audio
