// The resampler's weights: the filters and their names, the taps (weighted
// source indices) of each output along an axis, and the bounds that decide
// whether zero weights may be trimmed. The dense tiles and the runs' calm
// stretches (resize.cpp) read the same taps with the same weights, so that
// every sum has the same operands in the same order.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include <math.h>

#include "support/memory.hpp"
#include "support/saturate.hpp"

namespace ostrel::mask {

enum class FilterType { Nearest, Linear, CatmullRom, Gaussian };

// Exact, case-sensitive names; anything unrecognised selects Linear.
FilterType filter_from_name(std::string_view name);

namespace taps {

// The taps of whole axes kept between calls (taps.cpp): the rows and columns
// of two kinds of resize, each kept only up to kMostKeptBytes, so that at
// most 4 MiB stays held for the life of the process.
inline constexpr std::size_t kKeptAxes = 4;
inline constexpr std::size_t kMostKeptBytes = std::size_t{1} << 20;

// 1 / (0.5 * sqrt(2 * pi)), the peak of a normal density with sigma 0.5. It
// does not cancel exactly when the weights are normalised, so it stays.
inline constexpr float kGaussianPeak = std::bit_cast<float>(0x3F4C422Au);  // 0.7978846

inline float nearest_kernel(float) { return 1.0f; }

inline float linear_kernel(float x) {
    const float a = std::fabs(x);
    return a < 1.0f ? 1.0f - a : 0.0f;
}

// Catmull-Rom cubic. Written one rounded step at a time; the squared term comes
// from x itself and the cube from |x|, which differ in no bit but fix the order.
inline float catmull_rom_kernel(float x) {
    const float a = std::fabs(x);
    const float a2 = x * x;
    const float a3 = a * (a * a);
    if (a < 1.0f) {
        const float t = 9.0f * a3 + -15.0f * a2;
        return (t + 6.0f) / 6.0f;
    }
    if (a < 2.0f) {
        const float t = 15.0f * a2 + -3.0f * a3;
        const float u = t + -24.0f * a;
        return (u + 12.0f) / 6.0f;
    }
    return 0.0f;  // also for NaN
}

inline float gaussian_kernel(float x) {
    float e = -(x * x);
    e = e + e;
    // ::expf from the C library, never a vectorised or constant-folded variant.
    return ::expf(e) * kGaussianPeak;
}

// A kernel applied in place to each value of an output's tap arguments; the
// kernel is inlined into the loop.
template <float (*Kernel)(float)>
void apply_kernel(float* x, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) x[k] = Kernel(x[k]);
}

struct Filter {
    void (*apply)(float* x, std::size_t n) = nullptr;
    float support = 0.0f;
    // Whether the kernel takes negative values. Without them every weight is
    // K / sum with 0 <= K <= sum, so no weight exceeds 1.
    bool negative_lobes = false;
};

inline Filter filter_of(FilterType type) {
    switch (type) {
    case FilterType::Nearest:
        return {apply_kernel<nearest_kernel>, 0.0f};
    case FilterType::Linear:
        return {apply_kernel<linear_kernel>, 1.0f};
    case FilterType::CatmullRom:
        return {apply_kernel<catmull_rom_kernel>, 2.0f, true};
    case FilterType::Gaussian:
        return {apply_kernel<gaussian_kernel>, 3.0f};
    }
    return {apply_kernel<linear_kernel>, 1.0f};
}

// Maps source pixels to output pixels along one axis.
class Axis {
public:
    Axis() = default;
    Axis(std::uint64_t n, std::uint64_t n_out, Filter filter)
        : n_(n), filter_(filter) {
        ratio_ = static_cast<float>(n) / static_cast<float>(n_out);
        sratio_ = ratio_ < 1.0f ? 1.0f : ratio_;
        reach_ = sratio_ * filter.support;
    }

    // The axis of a resize that keeps both sizes, a copy: output o reads
    // source index o alone. The nearest filter's window would be that too,
    // but its centre o + 0.5 rounds to an even number from 2^23 on.
    static Axis unchanged(std::uint64_t n) {
        Axis axis(n, n, filter_of(FilterType::Nearest));
        axis.unchanged_ = true;
        return axis;
    }

    // Fills `weights` for output index o and returns the first source index;
    // the taps are first .. first + weights.size() - 1, never none. `spread`
    // is the sum of the kernel's |values| over the size of their sum, s: 1
    // without negative lobes (the two sums are then the same), not finite
    // where s is 0 or not finite.
    // Inlined: it is the body of fill()'s loop over a strip's outputs.
    [[gnu::always_inline]] std::uint64_t taps(std::uint64_t o, std::vector<float>& weights, float& spread) const {
        if (unchanged_) [[unlikely]] return identity_tap(o, weights, spread);
        const float centre = (static_cast<float>(o) + 0.5f) * ratio_;
        const std::int64_t last = static_cast<std::int64_t>(n_ - 1);
        const std::int64_t first =
            std::clamp<std::int64_t>(floor_i64(centre - reach_), 0, last);
        std::int64_t end = ceil_i64(reach_ + centre);
        end = end <= first ? first + 1 : std::min(end, last + 1);

        // Each weight is K((f32(i) - c) / sratio), summed in index order, then
        // divided by the sum. The steps run over all the taps one after
        // the other, so the divisions of one step do not wait on each other.
        const float c = centre + -0.5f;
        const std::size_t count = static_cast<std::size_t>(end - first);
        weights.resize(count);
        float* w = weights.data();
        for (std::size_t k = 0; k < count; ++k) w[k] = (static_cast<float>(first + static_cast<std::int64_t>(k)) - c) / sratio_;
        filter_.apply(w, count);
        float sum = 0.0f, size = 0.0f;
        for (std::size_t k = 0; k < count; ++k) sum = sum + w[k];
        for (std::size_t k = 0; k < count && filter_.negative_lobes; ++k) size = size + std::fabs(w[k]);
        spread = (filter_.negative_lobes ? size : sum) / std::fabs(sum);
        for (std::size_t k = 0; k < count; ++k) w[k] = w[k] / sum;
        return static_cast<std::uint64_t>(first);
    }

    const Filter& filter() const noexcept { return filter_; }
    bool is_unchanged() const noexcept { return unchanged_; }
    std::uint64_t size() const noexcept { return n_; }

    // No output has more taps than this: they span 2 * reach + 2
    // of them at most, give or take the rounding of its ends, and never more
    // than the axis has.
    std::size_t most_taps() const noexcept {
        const float span = 2.0f * reach_ + 4.0f;
        return span < static_cast<float>(n_) ? static_cast<std::size_t>(span) : static_cast<std::size_t>(n_);
    }

private:
    static std::uint64_t identity_tap(std::uint64_t o, std::vector<float>& weights, float& spread) {
        weights.assign(1, 1.0f);
        spread = 1.0f;
        return o;
    }

    std::uint64_t n_ = 0;
    Filter filter_{};
    float ratio_ = 0.0f, sratio_ = 0.0f, reach_ = 0.0f;
    bool unchanged_ = false;
};

// The taps of a run of output indices along one axis, kept side by side
// and refilled for each run: output o reads source indices first[o - base]
// .. first[o - base] + count(o) - 1 with the weights weights[offsets[o -
// base] .. offsets[o - base + 1]).
struct Taps {
    std::vector<std::uint64_t> first;
    std::vector<std::size_t> offsets;
    std::vector<float> weights;
    std::vector<float> scratch;
    std::uint64_t base = 0;
    // How far from c the sum of c * w_k over an output's weights, from +0 in order in single precision, may lie, as a
    // share of |c|. For n taps of spread R (Axis::taps), the weights' sum
    // lies within about n 2^-24 R of 1 (the rounding of their sum and
    // divisions), and the sum of c * w_k within about n 2^-24 R |c| of c
    // times it: (n + 1) 2^-21 R bounds both. Infinite where R is not finite or
    // n too large for that bound.
    double error = 0.0;

    // The taps of outputs o0 .. o1 - 1. With `trim`, weights of exactly
    // zero at either end of an output's taps are left out. A sum over finite values
    // then changes at most in the sign of a zero (0 + v * 0 is the +0 a sum
    // starts from; s + v * 0 is s unless s is a zero), and a zero's sign never
    // reaches an 8-bit value.
    void fill(const Axis& axis, std::uint64_t o0, std::uint64_t o1, bool trim) {
        first.clear();
        offsets.assign(1, 0);
        weights.clear();
        base = o0;
        // Sized once, for the most taps an output has, so that growing never
        // holds two copies.
        const std::size_t count = static_cast<std::size_t>(o1 - o0);
        first.reserve(count);
        offsets.reserve(count + 1);
        const std::uint64_t most = multiply_bytes(count, axis.most_taps());
        if (most <= weights.max_size()) weights.reserve(static_cast<std::size_t>(most));
        float spread = 0.0f, most_spread = 0.0f;
        for (std::uint64_t o = o0; o < o1; ++o) {
            std::uint64_t at = axis.taps(o, scratch, spread);
            most_spread = std::max(most_spread, spread == spread ? spread : std::numeric_limits<float>::infinity());
            std::size_t begin = 0, end = scratch.size();
            while (trim && end - begin > 1 && scratch[begin] == 0.0f) ++begin, ++at;
            while (trim && end - begin > 1 && scratch[end - 1] == 0.0f) --end;
            first.push_back(at);
            weights.insert(weights.end(), scratch.begin() + begin, scratch.begin() + end);
            offsets.push_back(weights.size());
        }
        const std::size_t n = axis.most_taps();
        error = most_spread <= 0x1p20f && n < (std::size_t{1} << 20) ? (n + 1) * 0x1p-21 * most_spread
                                                                      : std::numeric_limits<double>::infinity();
    }
    // The taps of outputs 0 .. n_out - 1, as fill() makes them: copied from
    // the last few made this way when one was for the same axis, sizes and
    // trim (taps.cpp). True when they were copied.
    bool fill_all(const Axis& axis, std::uint64_t n_out, bool trim);
};

// Whether every sum of 8-bit values with the weights of outputs 0 .. n_out - 1
// is finite: 255 * sum |w_k| for each, from taps already made for all of
// them, or else made again one at a time.
inline bool sums_of_values_are_finite(const Axis& axis, std::uint64_t n_out, const Taps* all) {
    if (!axis.filter().negative_lobes) return true;
    std::vector<float> made;
    float bound = 0.0f, spread = 0.0f;
    for (std::uint64_t o = 0; o < n_out; ++o) {
        if (all == nullptr) axis.taps(o, made, spread);
        const float* w = all != nullptr ? all->weights.data() + all->offsets[o] : made.data();
        const std::size_t n = all != nullptr ? all->offsets[o + 1] - all->offsets[o] : made.size();
        float sum = 0.0f;
        for (std::size_t k = 0; k < n; ++k) sum += 255.0f * std::fabs(w[k]);
        bound = std::max(bound, sum);
    }
    return bound < std::numeric_limits<float>::max() / 2;  // NaN fails too
}

// Bytes the taps of `count` outputs may take; saturates.
inline std::uint64_t taps_bytes(const Axis& axis, std::uint64_t count) {
    return multiply_bytes(count, 2 * sizeof(std::size_t) + sizeof(float) * axis.most_taps());
}

}  // namespace taps
}  // namespace ostrel::mask
