// The resampler's weights: the filter kernels, the taps (weighted source
// indices) of each output along an axis, and the bounds that decide whether
// zero weights may be trimmed. Shared by the dense passes (resize.cpp) and
// the passes over runs (run_resize.cpp), which must read the same taps with
// the same weights so that every sum has the same operands in the same order.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <vector>

#include <math.h>

#include "mask/resize.hpp"
#include "mask/resize_kernels.hpp"
#include "support/saturate.hpp"

namespace ostrel::mask::taps {

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
    void (*apply)(float* x, std::size_t n);
    float support;
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
    Axis(std::uint64_t n, std::uint64_t n_out, Filter filter)
        : n_(n), filter_(filter) {
        ratio_ = static_cast<float>(n) / static_cast<float>(n_out);
        sratio_ = ratio_ < 1.0f ? 1.0f : ratio_;
        reach_ = sratio_ * filter.support;
    }

    // Fills `weights` for output index o and returns the first source index;
    // the taps are first .. first + weights.size() - 1, never none.
    std::uint64_t taps(std::uint64_t o, std::vector<float>& weights) const {
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
        float sum = 0.0f;
        for (std::size_t k = 0; k < count; ++k) sum = sum + w[k];
        for (std::size_t k = 0; k < count; ++k) w[k] = w[k] / sum;
        return static_cast<std::uint64_t>(first);
    }

    const Filter& filter() const noexcept { return filter_; }
    std::uint64_t size() const noexcept { return n_; }

    // No output has more taps than this: they span 2 * reach + 2
    // of them at most, give or take the rounding of its ends, and never more
    // than the axis has.
    std::size_t most_taps() const noexcept {
        const float span = 2.0f * reach_ + 4.0f;
        return span < static_cast<float>(n_) ? static_cast<std::size_t>(span) : static_cast<std::size_t>(n_);
    }

private:
    std::uint64_t n_;
    Filter filter_;
    float ratio_, sratio_, reach_;
};

inline std::size_t checked_product(std::uint64_t a, std::uint64_t b, std::uint64_t size) {
    std::uint64_t n = 0;
    if (__builtin_mul_overflow(a, b, &n) || __builtin_mul_overflow(n, size, &n) ||
        n > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
        throw std::bad_alloc();
    }
    return static_cast<std::size_t>(a * b);
}

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
        std::size_t most = 0;
        first.reserve(count);
        offsets.reserve(count + 1);
        if (!__builtin_mul_overflow(count, axis.most_taps(), &most)) weights.reserve(most);
        for (std::uint64_t o = o0; o < o1; ++o) {
            std::uint64_t at = axis.taps(o, scratch);
            std::size_t begin = 0, end = scratch.size();
            while (trim && end - begin > 1 && scratch[begin] == 0.0f) ++begin, ++at;
            while (trim && end - begin > 1 && scratch[end - 1] == 0.0f) --end;
            first.push_back(at);
            weights.insert(weights.end(), scratch.begin() + begin, scratch.begin() + end);
            offsets.push_back(weights.size());
        }
    }
    // The taps of outputs 0 .. n_out - 1, as fill() makes them: copied from
    // the last few made this way when one was for the same axis, sizes and
    // trim (taps.cpp). True when they were copied.
    bool fill_all(const Axis& axis, std::uint64_t n_out, bool trim);

    TapsView view() const {
        return {first.data(), offsets.data(), weights.data(), static_cast<std::size_t>(base)};
    }
};

// The bound on a sum of 8-bit values with these weights, raised to cover it.
inline float raise_bound(float bound, const float* weights, std::size_t count) {
    float sum = 0.0f;
    for (std::size_t k = 0; k < count; ++k) sum += 255.0f * std::fabs(weights[k]);
    return std::max(bound, sum);
}

inline bool bound_is_finite(float bound) { return bound < std::numeric_limits<float>::max() / 2; }  // NaN fails too

// Whether every sum of 8-bit values with the weights of outputs 0 .. n_out - 1
// is finite: from taps already made for all of them, or else made again
// one at a time.
inline bool sums_of_values_are_finite(const Axis& axis, std::uint64_t n_out, const Taps* all) {
    if (!axis.filter().negative_lobes) return true;
    float bound = 0.0f;
    if (all != nullptr) {
        for (std::size_t o = 0; o + 1 < all->offsets.size(); ++o) {
            bound = raise_bound(bound, all->weights.data() + all->offsets[o], all->offsets[o + 1] - all->offsets[o]);
        }
        return bound_is_finite(bound);
    }
    std::vector<float> weights;
    for (std::uint64_t o = 0; o < n_out; ++o) {
        axis.taps(o, weights);
        bound = raise_bound(bound, weights.data(), weights.size());
    }
    return bound_is_finite(bound);
}

// Bytes the taps of `count` outputs may take; saturates.
inline std::size_t taps_bytes(const Axis& axis, std::uint64_t count) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<std::size_t>(count), 2 * sizeof(std::size_t) + sizeof(float) * axis.most_taps(),
                               &bytes)) {
        return std::numeric_limits<std::size_t>::max();
    }
    return bytes;
}

// The axes of a resize and the rows' taps, made alike by both resamplers so
// that their sums have the same operands: the rows' taps trimmed, made all
// at once when they take no more room than a block of the intermediate
// image (else a block's at a time, by the caller), and whether the columns'
// taps may be trimmed: the vertical pass sums 8-bit values, always finite;
// the horizontal pass sums its results, finite whenever the vertical
// weights keep them so.
struct PassTaps {
    Axis rows_axis, columns_axis;
    Taps rows_of;
    bool all_rows = false, trim_columns = false;

    PassTaps(std::uint64_t width, std::uint64_t height, std::uint64_t width_out, std::uint64_t height_out,
             Filter filter)
        : rows_axis(height, height_out, filter), columns_axis(width, width_out, filter) {
        const auto h_out = static_cast<std::size_t>(height_out);
        all_rows = h_out < kBlockRows ||
                   taps_bytes(rows_axis, h_out) <= kBlockRows * static_cast<std::size_t>(width) * sizeof(float);
        if (all_rows) rows_of.fill_all(rows_axis, h_out, true);
        trim_columns = sums_of_values_are_finite(rows_axis, height_out, all_rows ? &rows_of : nullptr);
    }
};

// Axes whose taps are kept between calls at once: the rows and columns of
// two kinds of resize (taps.cpp).
inline constexpr std::size_t kKeptAxes = 4;

// Columns a strip holds: output columns whose taps are made together when
// they are not kept, and source columns of the vertical pass between its rows and
// the block.
inline constexpr std::size_t kStripColumns = 512;

}  // namespace ostrel::mask::taps
