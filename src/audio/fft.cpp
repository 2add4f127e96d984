#include "audio/fft.hpp"

#include <bit>
#include <utility>

#include "support/panic.hpp"

namespace ostrel::audio {

// The tables of one transform size, shared by every RealFft of that size.
struct FftPlan {
    std::vector<fft_detail::Stage> stages;
    std::vector<float> twiddles;
    std::vector<float> join;
    fft_detail::Tables tables;
};

namespace {

constexpr double kTwoPi = std::bit_cast<double>(0x401921FB54442D18ull);  // 6.283185307179586

// sin and cos by their Taylor series on |t| <= pi/4, evaluated by Horner's
// rule from the smallest term; ten terms leave the truncation far below a
// double's rounding.
double sin_series(double t) {
    const double x = t * t;
    double r = 1.0;
    for (int j = 10; j >= 1; --j) r = 1.0 - (x / static_cast<double>((2 * j) * (2 * j + 1))) * r;
    return t * r;
}

double cos_series(double t) {
    const double x = t * t;
    double r = 1.0;
    for (int j = 10; j >= 1; --j) r = 1.0 - (x / static_cast<double>((2 * j - 1) * (2 * j))) * r;
    return r;
}

// The radices of a complex transform of `half` points, a product of 2, 3
// and 5: fours first, since they need the fewest operations per point.
std::vector<std::size_t> radices(std::size_t half) {
    std::vector<std::size_t> out;
    for (std::size_t p : {4, 2, 3, 5}) {
        for (; half % p == 0; half /= p) out.push_back(p);
    }
    return out;
}

float twiddle_re(std::size_t k, std::size_t n) { return static_cast<float>(unit_root(k, n).cos); }
float twiddle_im(std::size_t k, std::size_t n) { return static_cast<float>(-unit_root(k, n).sin); }

std::shared_ptr<const FftPlan> build_plan(std::size_t size) {
    auto plan = std::make_shared<FftPlan>();
    const std::size_t half = size / 2;
    std::size_t length = half;
    std::size_t stride = 1;
    const std::vector<std::size_t> factors = radices(half);
    std::vector<std::size_t> offsets;
    for (std::size_t p : factors) {
        offsets.push_back(plan->twiddles.size());
        for (std::size_t q = 0; q < length / p; ++q) {
            for (std::size_t k = 1; k < p; ++k) {
                plan->twiddles.push_back(twiddle_re(q * k, length));
                plan->twiddles.push_back(twiddle_im(q * k, length));
            }
        }
        plan->stages.push_back(fft_detail::Stage{p, length, stride, nullptr});
        length /= p;
        stride *= p;
    }
    for (std::size_t i = 0; i < plan->stages.size(); ++i) plan->stages[i].twiddles = plan->twiddles.data() + offsets[i];
    for (std::size_t k = 0; k <= half; ++k) {
        plan->join.push_back(twiddle_re(k, size));
        plan->join.push_back(twiddle_im(k, size));
    }
    fft_detail::Tables& t = plan->tables;
    t.half = half;
    t.stages = plan->stages.data();
    t.stage_count = plan->stages.size();
    t.join = plan->join.data();
    t.sin_3 = static_cast<float>(unit_root(1, 3).sin);
    t.cos_5[0] = static_cast<float>(unit_root(1, 5).cos);
    t.cos_5[1] = static_cast<float>(unit_root(2, 5).cos);
    t.sin_5[0] = static_cast<float>(unit_root(1, 5).sin);
    t.sin_5[1] = static_cast<float>(unit_root(2, 5).sin);
    return plan;
}

// The transforms use 800 samples on every call; its tables are built once.
std::shared_ptr<const FftPlan> plan_for(std::size_t size) {
    constexpr std::size_t kCommonSize = 800;
    if (size == kCommonSize) {
        static const std::shared_ptr<const FftPlan> common = build_plan(kCommonSize);
        return common;
    }
    return build_plan(size);
}

fft_detail::Kernels kernels_for(SimdPath path) {
    constexpr fft_detail::Kernels (*kByPath[])() noexcept = {fft_detail::baseline_kernels, fft_detail::avx2_kernels,
                                                             fft_detail::avx512_kernels};
    return kByPath[simd_path_index(path)]();
}

}  // namespace

UnitRoot unit_root(std::size_t k, std::size_t n) noexcept {
    // Exact reductions on the fraction k / n of a turn: by symmetry about the
    // real axis, then about the imaginary axis, then about the diagonal, to
    // an angle of at most pi/4.
    k %= n;
    bool negate_sin = false;
    bool negate_cos = false;
    bool swap = false;
    if (2 * k > n) {  // 2 pi - a
        k = n - k;
        negate_sin = true;
    }
    if (4 * k > n) {  // pi - a, with a = 2 pi (n - 2k) / 2n
        k = n - 2 * k;
        n = 2 * n;
        negate_cos = true;
    }
    if (8 * k > n) {  // pi/2 - a, with a = 2 pi (n - 4k) / 4n
        k = n - 4 * k;
        n = 4 * n;
        swap = true;
    }
    const double t = (kTwoPi * static_cast<double>(k)) / static_cast<double>(n);
    double c = cos_series(t);
    double s = sin_series(t);
    if (swap) std::swap(c, s);
    if (negate_cos) c = -c;
    if (negate_sin) s = -s;
    return UnitRoot{c, s};
}

bool RealFft::supports(std::size_t size) noexcept {
    // The bound keeps every index of the reductions in unit_root() exact.
    if (size < 2 || size % 2 != 0 || size > (std::size_t{1} << 31)) return false;
    std::size_t rest = size / 2;
    for (std::size_t p : {2, 3, 5}) {
        while (rest % p == 0) rest /= p;
    }
    return rest == 1;
}

RealFft::RealFft(std::size_t size, SimdPath path) : path_(path), size_(size) {
    if (!supports(size)) panic("fft size must be even, with half of it a product of 2, 3 and 5");
    kernels_ = kernels_for(path);
    plan_ = plan_for(size);
    const std::size_t half = size / 2;
    const std::size_t work = 4 * half * lanes();
    const std::size_t spectrum = (half + 1) * 2 * lanes();
    memory_.reset(new float[work + spectrum + bins() * lanes()]);
    work_ = memory_.get();
    spectrum_ = work_ + work;
    magnitudes_ = spectrum_ + spectrum;
}

void RealFft::forward(std::span<const float> input, std::span<Complex> output) {
    if (input.size() < size_ || output.size() < bins()) panic("fft: buffer shorter than the plan");
    forward_batch(input.data(), 0, 1, {});
    for (std::size_t k = 0; k < bins(); ++k) output[k] = batch_bin(k, 0);
}

void RealFft::forward_batch(const float* first, std::size_t step, std::size_t count, std::span<const float> window) {
    if (count == 0 || count > lanes()) panic("fft: batch must hold 1 ..= lanes frames");
    if (!window.empty() && window.size() != size_) panic("fft: window must hold size samples");
    kernels_.spectra(plan_->tables, first, step, count, window.empty() ? nullptr : window.data(), work_, spectrum_);
}

Complex RealFft::batch_bin(std::size_t k, std::size_t j) const noexcept {
    const std::size_t at = k * 2 * lanes() + j;
    return Complex{spectrum_[at], spectrum_[at + lanes()]};
}

void RealFft::batch_mel_energies(std::span<const float> filters, std::span<const BinRange> ranges, float floor,
                                 std::span<float> energies) {
    const std::size_t bands = ranges.size();
    if (filters.size() != bands * bins() || energies.size() < bands * lanes()) {
        panic("fft: filterbank or energies do not match the spectrum");
    }
    for (const BinRange& r : ranges) {
        if (r.first > r.last || r.last > bins()) panic("fft: filter range outside the spectrum");
    }
    kernels_.mel_energies(spectrum_, bins(), floor, filters.data(), ranges.data(), bands, magnitudes_, energies.data());
}

void RealFft::batch_levels(const fft_detail::LevelRule& rule, std::span<float> values) const {
    if (values.size() % lanes() != 0) panic("fft: levels need whole vectors of lanes");
    kernels_.levels(rule, values.data(), values.size());
}

}  // namespace ostrel::audio
