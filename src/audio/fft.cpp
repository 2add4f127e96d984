// The real FFT's passes and twiddle tables (compile-time constants for the
// audio's 800 samples, built at run time for other lengths), and the batch
// interface over the per-path kernels.
#include "audio/fft.hpp"

#include <array>

#include "support/panic.hpp"

namespace ostrel::audio {

namespace {

// The passes of a complex transform of `half` points, a product of 2, 3 and
// 5: radix-4 passes first, since they need the fewest operations per point,
// then 2, 3 and 5. Pass i splits sub-transforms of length[i] points,
// stride[i] of them side by side, and its twiddles start at float
// offset[i] of the twiddle table.
struct Passes {
    static constexpr std::size_t kMax = 64;
    std::size_t radix[kMax] = {};
    std::size_t length[kMax] = {};
    std::size_t stride[kMax] = {};
    std::size_t offset[kMax] = {};
    std::size_t count = 0;
    std::size_t twiddle_floats = 0;
};

constexpr Passes passes_of(std::size_t half) noexcept {
    Passes passes;
    std::size_t length = half;
    std::size_t stride = 1;
    for (std::size_t p : {4, 2, 3, 5}) {
        for (; length % p == 0; length /= p, stride *= p) {
            const std::size_t i = passes.count++;
            passes.radix[i] = p;
            passes.length[i] = length;
            passes.stride[i] = stride;
            passes.offset[i] = passes.twiddle_floats;
            passes.twiddle_floats += 2 * (length / p) * (p - 1);
        }
    }
    return passes;
}

constexpr float twiddle_re(std::size_t k, std::size_t n) noexcept { return static_cast<float>(unit_root(k, n).cos); }
constexpr float twiddle_im(std::size_t k, std::size_t n) noexcept { return static_cast<float>(-unit_root(k, n).sin); }

// The twiddles of every pass (passes.twiddle_floats floats) and the join
// rotations (2 * (half + 1) floats) of a real transform of 2 * half samples.
// The same code fills the constant tables while the module is compiled and
// any other length's tables at run time.
constexpr void fill_twiddles(std::size_t half, const Passes& passes, float* twiddles, float* join) noexcept {
    for (std::size_t i = 0; i < passes.count; ++i) {
        const std::size_t p = passes.radix[i];
        const std::size_t n = passes.length[i];
        float* out = twiddles + passes.offset[i];
        for (std::size_t q = 0; q < n / p; ++q) {
            for (std::size_t k = 1; k < p; ++k) {
                *out++ = twiddle_re(q * k, n);
                *out++ = twiddle_im(q * k, n);
            }
        }
    }
    for (std::size_t k = 0; k <= half; ++k) {
        join[2 * k] = twiddle_re(k, 2 * half);
        join[2 * k + 1] = twiddle_im(k, 2 * half);
    }
}

constexpr FftStage stage_of(const Passes& passes, std::size_t i, const float* twiddles) noexcept {
    return FftStage{passes.radix[i], passes.length[i], passes.stride[i], twiddles + passes.offset[i]};
}

constexpr FftTables tables_over(std::size_t half, const FftStage* stages, std::size_t stage_count,
                                         const float* join) noexcept {
    FftTables t;
    t.half = half;
    t.stages = stages;
    t.stage_count = stage_count;
    t.join = join;
    t.sin_3 = static_cast<float>(unit_root(1, 3).sin);
    t.cos_5[0] = static_cast<float>(unit_root(1, 5).cos);
    t.cos_5[1] = static_cast<float>(unit_root(2, 5).cos);
    t.sin_5[0] = static_cast<float>(unit_root(1, 5).sin);
    t.sin_5[1] = static_cast<float>(unit_root(2, 5).sin);
    return t;
}

// The tables of one length as constants of the module, computed by the
// compiler: no state is made for them at run time.
template <std::size_t Size>
struct ConstantTables {
    static constexpr std::size_t kHalf = Size / 2;
    static constexpr Passes kPasses = passes_of(kHalf);
    struct Values {
        float twiddles[kPasses.twiddle_floats];
        float join[2 * (kHalf + 1)];
    };
    static constexpr Values kValues = [] {
        Values v{};
        fill_twiddles(kHalf, kPasses, v.twiddles, v.join);
        return v;
    }();
    // Built after the values, as the stages point into them.
    static constexpr std::array<FftStage, kPasses.count> kStages = [] {
        std::array<FftStage, kPasses.count> stages{};
        for (std::size_t i = 0; i < kPasses.count; ++i) stages[i] = stage_of(kPasses, i, kValues.twiddles);
        return stages;
    }();
    static constexpr FftTables kTables = tables_over(kHalf, kStages.data(), kPasses.count, kValues.join);
};

// The audio transforms' frame length.
constexpr std::size_t kConstantSize = 800;


}  // namespace

const FftTables& model_fft_tables() noexcept { return ConstantTables<kConstantSize>::kTables; }

FftKernels fft_kernels_for(SimdPath path, std::size_t at_least) {
    return on_simd_path(path, [at_least]<SimdPath P>() { return fft_kernels<P>(at_least); });
}

// The tables of a length without constant ones, built by the RealFft that uses them.
struct FftPlan {
    std::vector<float> twiddles;
    std::vector<float> join;
    std::vector<FftStage> stages;
    FftTables tables;

    explicit FftPlan(std::size_t n_fft) {
        const std::size_t half = n_fft / 2;
        const Passes passes = passes_of(half);
        twiddles.resize(passes.twiddle_floats);
        join.resize(2 * (half + 1));
        fill_twiddles(half, passes, twiddles.data(), join.data());
        for (std::size_t i = 0; i < passes.count; ++i) stages.push_back(stage_of(passes, i, twiddles.data()));
        tables = tables_over(half, stages.data(), passes.count, join.data());
    }
};

RealFft::RealFft(RealFft&&) noexcept = default;
RealFft& RealFft::operator=(RealFft&&) noexcept = default;
RealFft::~RealFft() = default;

bool RealFft::supports(std::size_t n_fft) noexcept {
    // The bound keeps every index of the reductions in unit_root() exact.
    if (n_fft < 2 || n_fft % 2 != 0 || n_fft > (std::size_t{1} << 31)) return false;
    std::size_t rest = n_fft / 2;
    for (std::size_t p : {2, 3, 5}) {
        while (rest % p == 0) rest /= p;
    }
    return rest == 1;
}

RealFft::RealFft(std::size_t n_fft, SimdPath path) : n_fft_(n_fft) {
    if (!supports(n_fft)) panic("fft size must be even, with half of it a product of 2, 3 and 5");
    kernels_ = fft_kernels_for(path);
    if (n_fft == kConstantSize) {
        tables_ = &ConstantTables<kConstantSize>::kTables;
    } else {
        plan_ = std::make_unique<const FftPlan>(n_fft);
        tables_ = &plan_->tables;
    }
    const std::size_t half = n_fft / 2;
    const std::size_t work = 4 * half * lanes();
    const std::size_t spectrum = (half + 1) * 2 * lanes();
    memory_.reset(new float[work + spectrum]);
    work_ = memory_.get();
    spectrum_ = work_ + work;
}

void RealFft::forward(std::span<const float> input, std::span<Complex> output) {
    if (input.size() < n_fft_ || output.size() < bins()) panic("fft: buffer shorter than the plan");
    forward_batch(input.data(), 0, 1, {});
    for (std::size_t k = 0; k < bins(); ++k) output[k] = batch_bin(k, 0);
}

void RealFft::forward_batch(const float* first, std::size_t step, std::size_t count, std::span<const float> window,
                            const float* emphasis) {
    if (count == 0 || count > lanes()) panic("fft: batch must hold 1 ..= lanes frames");
    if (!window.empty() && window.size() != n_fft_) panic("fft: window must hold size samples");
    kernels_.spectra(*tables_, first, step, count, window.empty() ? nullptr : window.data(), emphasis, work_,
                     spectrum_);
}

Complex RealFft::batch_bin(std::size_t k, std::size_t j) const noexcept {
    const std::size_t at = k * 2 * lanes() + j;
    return Complex{spectrum_[at], spectrum_[at + lanes()]};
}

}  // namespace ostrel::audio
