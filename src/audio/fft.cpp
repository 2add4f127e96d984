#include "audio/fft.hpp"

#include <climits>
#include <cstdlib>
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

// The real-input transform needs an even length. An odd length goes through
// the complex transform with a zero imaginary part instead, which needs
// buffers of its own.
struct RealFft::Plan {
    kiss_fftr_cfg real = nullptr;
    kiss_fft_cfg complex = nullptr;
    std::vector<kiss_fft_cpx> complex_in;
    std::vector<kiss_fft_cpx> complex_out;

    Plan() = default;
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
    ~Plan() {
        kiss_fftr_free(real);
        kiss_fft_free(complex);
    }
};

RealFft::RealFft(std::size_t size) : plan_(std::make_unique<Plan>()), size_(size) {
    if (size == 0 || size > static_cast<std::size_t>(INT_MAX)) panic("fft size must be in 1..=INT_MAX");
    const int n = static_cast<int>(size);
    if (size % 2 == 0) {
        plan_->real = kiss_fftr_alloc(n, 0, nullptr, nullptr);
        if (plan_->real == nullptr) throw std::bad_alloc();
    } else {
        plan_->complex = kiss_fft_alloc(n, 0, nullptr, nullptr);
        if (plan_->complex == nullptr) throw std::bad_alloc();
        plan_->complex_in.resize(size);
        plan_->complex_out.resize(size);
    }
}

RealFft::~RealFft() = default;
RealFft::RealFft(RealFft&&) noexcept = default;
RealFft& RealFft::operator=(RealFft&&) noexcept = default;

void RealFft::forward(std::span<const float> input, std::span<Complex> output) {
    if (input.size() < size_ || output.size() < bins()) panic("fft: buffer shorter than the plan");
    if (plan_->real != nullptr) {
        kiss_fftr(plan_->real, input.data(), reinterpret_cast<kiss_fft_cpx*>(output.data()));
        return;
    }
    for (std::size_t i = 0; i < size_; ++i) plan_->complex_in[i] = kiss_fft_cpx{input[i], 0.0f};
    kiss_fft(plan_->complex, plan_->complex_in.data(), plan_->complex_out.data());
    for (std::size_t k = 0; k < bins(); ++k) output[k] = Complex{plan_->complex_out[k].r, plan_->complex_out[k].i};
}

}  // namespace ostrel::audio
