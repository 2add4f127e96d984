// The resampler: filter kernels, the taps (weighted source indices) of each
// output along each axis, and the two passes over the per-path kernels (or
// the nearest filter's copy).
#include "mask/resize.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <vector>

#include <math.h>

#include "mask/resize_kernels.hpp"
#include "support/memory.hpp"
#include "support/panic.hpp"
#include "support/saturate.hpp"

namespace ostrel::mask {
namespace {

// 1 / (0.5 * sqrt(2 * pi)), the peak of a normal density with sigma 0.5. It
// does not cancel exactly when the weights are normalised, so it stays.
constexpr float kGaussianPeak = std::bit_cast<float>(0x3F4C422Au);  // 0.7978846

float nearest_kernel(float) { return 1.0f; }

float linear_kernel(float x) {
    const float a = std::fabs(x);
    return a < 1.0f ? 1.0f - a : 0.0f;
}

// Catmull-Rom cubic. Written one rounded step at a time; the squared term comes
// from x itself and the cube from |x|, which differ in no bit but fix the order.
float catmull_rom_kernel(float x) {
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

float gaussian_kernel(float x) {
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

Filter filter_of(FilterType type) {
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

std::size_t checked_product(std::uint64_t a, std::uint64_t b, std::uint64_t size) {
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
    TapsView view() const {
        return {first.data(), offsets.data(), weights.data(), static_cast<std::size_t>(base)};
    }
};

// The bound on a sum of 8-bit values with these weights, raised to cover it.
float raise_bound(float bound, const float* weights, std::size_t count) {
    float sum = 0.0f;
    for (std::size_t k = 0; k < count; ++k) sum += 255.0f * std::fabs(weights[k]);
    return std::max(bound, sum);
}

bool bound_is_finite(float bound) { return bound < std::numeric_limits<float>::max() / 2; }  // NaN fails too

// Whether every sum of 8-bit values with the weights of outputs 0 .. n_out - 1
// is finite: from taps already made for all of them, or else made again
// one at a time.
bool sums_of_values_are_finite(const Axis& axis, std::uint64_t n_out, const Taps* all) {
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
std::size_t taps_bytes(const Axis& axis, std::uint64_t count) {
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(static_cast<std::size_t>(count), 2 * sizeof(std::size_t) + sizeof(float) * axis.most_taps(),
                               &bytes)) {
        return std::numeric_limits<std::size_t>::max();
    }
    return bytes;
}

// Output rows are made a block at a time: the vertical pass writes the
// block's rows, a strip of columns at a time, into a buffer laid out by
// column, where one column of the block is contiguous, and the horizontal
// pass then sums each output column for all rows of the block across vector
// lanes. An output of fewer rows than a block is held as its rows instead,
// and the horizontal pass puts output columns across the lanes. Either way
// the working memory is at most the intermediate image of width x output
// height values, and the weights are those of the rows and columns being
// written. Both passes run on the SIMD path's kernels.
// Columns a strip holds: output columns whose taps are made together when
// they are not kept, and source columns of the vertical pass between its rows and
// the block.
constexpr std::size_t kStripColumns = 512;

// The two passes into `out`, a row-major image of width_out floats a row.
void resize_passes(const Mask8& mask, std::uint64_t height_out, std::uint64_t width_out, Filter filter, SimdPath path,
                   float* out) {
    const ResizeKernels kernels = kernels_for<ResizeKernels>(path);
    const std::size_t w = static_cast<std::size_t>(mask.width);
    const std::size_t h_out = static_cast<std::size_t>(height_out);
    const std::size_t w_out = static_cast<std::size_t>(width_out);
    const Axis rows_axis(mask.height, height_out, filter);
    const Axis columns_axis(mask.width, width_out, filter);
    // The rows' taps are made all at once when they take no more room
    // than a block of the intermediate image, else a block's at a time.
    Taps rows_of, columns_of;
    const bool all_rows = h_out < kBlockRows || taps_bytes(rows_axis, h_out) <= kBlockRows * w * sizeof(float);
    if (all_rows) rows_of.fill(rows_axis, 0, h_out, true);
    // The vertical pass sums 8-bit values, always finite; the horizontal pass sums
    // its results, finite whenever the vertical weights keep them so.
    const bool trim_columns = sums_of_values_are_finite(rows_axis, height_out, all_rows ? &rows_of : nullptr);

    if (h_out < kBlockRows) {
        // All output rows at once, as rows: the intermediate image itself.
        Buffer<float> rows = Buffer<float>::uninitialised(checked_product(w, h_out, sizeof(float)));
        kernels.vertical_rows(mask.data.data(), w, 0, w, rows_of.view(), 0, h_out, rows.data(), w);
        for (std::size_t x0 = 0; x0 < w_out; x0 += kStripColumns) {
            const std::size_t x1 = std::min(w_out, x0 + kStripColumns);
            columns_of.fill(columns_axis, x0, x1, trim_columns);
            for (std::size_t y = 0; y < h_out; ++y) {
                kernels.row_unit_floats(rows.data() + y * w, columns_of.view(), x0, x1, out + y * w_out + x0);
            }
        }
        return;
    }

    // Every block writes every output column: with more than one block the
    // columns' weights are made once and kept.
    const bool one_block = h_out == kBlockRows;
    if (!one_block) columns_of.fill(columns_axis, 0, w_out, trim_columns);
    const std::size_t strip = std::min(w, kStripColumns);
    Buffer<float> rows = Buffer<float>::uninitialised(kBlockRows * strip);
    Buffer<float> block = Buffer<float>::uninitialised(checked_product(w, kBlockRows, sizeof(float)));
    for (std::size_t y0 = 0; y0 < h_out; y0 += kBlockRows) {
        const std::size_t count = std::min<std::size_t>(kBlockRows, h_out - y0);
        if (!all_rows) rows_of.fill(rows_axis, y0, y0 + count, true);
        for (std::size_t x0 = 0; x0 < w; x0 += strip) {
            const std::size_t x1 = std::min(w, x0 + strip);
            kernels.vertical_rows(mask.data.data(), w, x0, x1, rows_of.view(), y0, count, rows.data(), strip);
            kernels.to_block(rows.data(), strip, x1 - x0, count, block.data() + x0 * kBlockRows);
        }
        for (std::size_t x0 = 0; x0 < w_out; x0 += kStripColumns) {
            const std::size_t x1 = std::min(w_out, x0 + kStripColumns);
            if (one_block) columns_of.fill(columns_axis, x0, x1, trim_columns);
            kernels.horizontal_unit_floats(block.data(), columns_of.view(), x0, x1, y0, count, out, w_out);
        }
    }
}

}  // namespace

FilterType filter_from_name(std::string_view name) {
    if (name == "nearest" || name == "lowest") return FilterType::Nearest;
    // "lanzos" and "highest" are names of the cubic, not of a kernel of their own.
    if (name == "catmullrom" || name == "cubic" || name == "medium" || name == "lanzos" || name == "highest") {
        return FilterType::CatmullRom;
    }
    if (name == "gaussian" || name == "high") return FilterType::Gaussian;
    return FilterType::Linear;
}

std::uint32_t scaled_size(std::uint64_t n, float scale) {
    return saturating_truncate<std::uint32_t>(static_cast<float>(n) * scale);
}

UnitFloatImage resize_to_unit_floats(const Mask8& mask, float scale, FilterType filter_type, SimdPath path) {
    const std::uint64_t w = mask.width, h = mask.height;
    const std::uint64_t w_out = scaled_size(w, scale), h_out = scaled_size(h, scale);

    UnitFloatImage result{w_out, h_out, {}};
    const std::size_t result_size = checked_product(w_out, h_out, sizeof(float));

    if (w == 0 || h == 0 || w_out == 0 || h_out == 0) {
        result.data = Buffer<float>::zeroed(result_size);
        return result;
    }
    result.data = Buffer<float>::uninitialised(result_size);
    float* dst = result.data.data();
    if (w_out == w && h_out == h) {
        const std::uint8_t* src = mask.data.data();
        for (std::size_t i = 0; i < result_size; ++i) dst[i] = unit_float(static_cast<float>(src[i]));
        return result;
    }
    if (filter_type == FilterType::Nearest) {
        // Every output of the nearest filter has one tap, of weight 1, so
        // both passes reduce to copying that pixel's value: the sums
        // 0 + v * 1 are v, and v rounds to itself. The output is written a
        // strip of columns at a time, whose source columns are kept; each
        // row's source row is found as the row is written.
        constexpr std::size_t kNearestStrip = 4096;
        const Filter filter = filter_of(filter_type);
        const Axis rows_axis(h, h_out, filter), columns_axis(w, w_out, filter);
        std::vector<float> weights;
        std::vector<std::uint64_t> columns;
        for (std::size_t x0 = 0; x0 < static_cast<std::size_t>(w_out); x0 += kNearestStrip) {
            const std::size_t x1 = std::min(static_cast<std::size_t>(w_out), x0 + kNearestStrip);
            columns.clear();
            for (std::size_t x = x0; x < x1; ++x) columns.push_back(columns_axis.taps(x, weights));
            for (std::size_t y = 0; y < static_cast<std::size_t>(h_out); ++y) {
                const std::uint8_t* src = mask.data.data() + rows_axis.taps(y, weights) * static_cast<std::size_t>(w);
                float* row = dst + y * static_cast<std::size_t>(w_out) + x0;
                for (std::size_t j = 0; j < columns.size(); ++j) row[j] = kUnitFloatPalette.cells[src[columns[j]]];
            }
        }
        return result;
    }
    resize_passes(mask, h_out, w_out, filter_of(filter_type), path, dst);
    return result;
}

std::uint64_t resize_memory_bound(std::uint64_t width, std::uint64_t height, float scale, FilterType filter_type) {
    const std::uint64_t w_out = scaled_size(width, scale), h_out = scaled_size(height, scale);
    const std::uint64_t result = multiply_bytes(multiply_bytes(w_out, h_out), sizeof(float));
    // Small buffers: the nearest filter's strip of source columns, the
    // vertical pass's strip of rows, the vectors' headers and slack.
    constexpr std::uint64_t kSmall = std::uint64_t{128} << 10;
    if (width == 0 || height == 0 || w_out == 0 || h_out == 0 || (w_out == width && h_out == height) ||
        filter_type == FilterType::Nearest) {
        return add_bytes(result, kSmall);
    }
    // The most taps an output of an axis has (Axis::most_taps, with room for
    // the rounding of its float arithmetic), and the bytes of the taps of
    // `count` outputs: a first index and an offset each, and the weights,
    // besides a scratch vector that may double its capacity once.
    const float support = filter_of(filter_type).support;
    const auto most_taps = [&](std::uint64_t n, std::uint64_t n_out) {
        const double ratio = std::max(1.0, static_cast<double>(n) / static_cast<double>(n_out));
        const double span = 2.0 * static_cast<double>(support) * ratio + 5.0;
        return span >= static_cast<double>(n) ? n : static_cast<std::uint64_t>(span);
    };
    const auto taps_of = [](std::uint64_t count, std::uint64_t taps) {
        const std::uint64_t each = add_bytes(2 * sizeof(std::uint64_t), multiply_bytes(taps, sizeof(float)));
        return add_bytes(multiply_bytes(add_bytes(count, 1), each), multiply_bytes(taps, 2 * sizeof(float)));
    };
    const std::uint64_t row_taps = most_taps(height, h_out), column_taps = most_taps(width, w_out);
    // Rows: all of them below a block or when they take no more than a block
    // of the intermediate image, else a block's; besides, the check of the
    // sums' range may make each row's taps again, one at a time.
    std::uint64_t rows = taps_of(std::min<std::uint64_t>(h_out, kBlockRows), row_taps);
    if (h_out >= kBlockRows) rows = std::max(rows, multiply_bytes(width, kBlockRows * sizeof(float)));
    rows = add_bytes(rows, multiply_bytes(row_taps, 2 * sizeof(float)));
    // Columns: a strip's at a time, or all of them when there is more than one block.
    const std::uint64_t columns = taps_of(h_out > kBlockRows ? w_out : std::min<std::uint64_t>(w_out, kStripColumns),
                                          column_taps);
    // The intermediate image below a block, else one block of it.
    const std::uint64_t intermediate =
        multiply_bytes(multiply_bytes(width, std::min<std::uint64_t>(h_out, kBlockRows)), sizeof(float));
    return add_bytes(add_bytes(add_bytes(result, intermediate), add_bytes(rows, columns)), kSmall);
}

}  // namespace ostrel::mask
