#include "mask/resize.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>
#include <vector>

#include <math.h>

namespace ostrel {
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

struct Filter {
    float (*kernel)(float);
    float support;
};

Filter filter_of(FilterType type) {
    switch (type) {
    case FilterType::Nearest:
        return {nearest_kernel, 0.0f};
    case FilterType::Linear:
        return {linear_kernel, 1.0f};
    case FilterType::CatmullRom:
        return {catmull_rom_kernel, 2.0f};
    case FilterType::Gaussian:
        return {gaussian_kernel, 3.0f};
    }
    return {linear_kernel, 1.0f};
}

// floor/ceil results as signed integers, saturating instead of overflowing.
std::int64_t saturate_i64(float v) {
    if (std::isnan(v)) return 0;
    if (v >= 9223372036854775808.0f) return std::numeric_limits<std::int64_t>::max();
    if (v < -9223372036854775808.0f) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(v);
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
    // the window is first .. first + weights.size() - 1 and is never empty.
    std::uint64_t window(std::uint64_t o, std::vector<float>& weights) const {
        const float centre = (static_cast<float>(o) + 0.5f) * ratio_;
        const std::int64_t last = static_cast<std::int64_t>(n_ - 1);
        const std::int64_t first = std::clamp<std::int64_t>(saturate_i64(std::floor(centre - reach_)), 0, last);
        std::int64_t end = saturate_i64(std::ceil(reach_ + centre));
        end = end <= first ? first + 1 : std::min(end, last + 1);

        const float c = centre + -0.5f;
        weights.clear();
        float sum = 0.0f;
        for (std::int64_t i = first; i < end; ++i) {
            const float w = filter_.kernel((static_cast<float>(i) - c) / sratio_);
            weights.push_back(w);
            sum = sum + w;
        }
        for (float& w : weights) w = w / sum;
        return static_cast<std::uint64_t>(first);
    }

private:
    std::uint64_t n_;
    Filter filter_;
    float ratio_, sratio_, reach_;
};

// Four floats or four ints, one per vector lane. Every lane does exactly the
// scalar arithmetic of its own pixel, so vectors change speed, not results.
typedef float F4 __attribute__((vector_size(16)));
typedef std::int32_t I4 __attribute__((vector_size(16)));

F4 load4(const float* p) {
    F4 v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

void store4(float* p, F4 v) { std::memcpy(p, &v, sizeof v); }

// Rows a0..a3 become columns: a0 = (a0[0], a1[0], a2[0], a3[0]), and so on.
void transpose4(F4& a0, F4& a1, F4& a2, F4& a3) {
    const F4 t0 = __builtin_shufflevector(a0, a1, 0, 4, 1, 5);
    const F4 t1 = __builtin_shufflevector(a2, a3, 0, 4, 1, 5);
    const F4 t2 = __builtin_shufflevector(a0, a1, 2, 6, 3, 7);
    const F4 t3 = __builtin_shufflevector(a2, a3, 2, 6, 3, 7);
    a0 = __builtin_shufflevector(t0, t1, 0, 1, 4, 5);
    a1 = __builtin_shufflevector(t0, t1, 2, 3, 6, 7);
    a2 = __builtin_shufflevector(t2, t3, 0, 1, 4, 5);
    a3 = __builtin_shufflevector(t2, t3, 2, 3, 6, 7);
}

// Clamp to [0, 255], then round half away from zero; NaN (from weights that
// cancel) becomes 0 as every other float-to-integer conversion here does.
// Below one half (NaN included) the level is 0. From one half to 255, t + 0.5
// is exact in single precision or, below 1, rounds to a value in [1, 1.5], so
// truncating it rounds t half away from zero. For every float this gives what
// clamping and std::round give (checked over all 2^32 bit patterns).
I4 round_to_levels(F4 t) {
    t = t >= 0.5f ? t : F4{};
    t = t < 255.0f ? t : F4{} + 255.0f;
    return __builtin_convertvector(t + 0.5f, I4);
}

template <class Value>
Value level_value(std::uint8_t v) {
    if constexpr (std::is_same_v<Value, float>) {
        return static_cast<float>(v) / 255.0f;
    } else {
        return v;
    }
}

std::size_t checked_product(std::uint64_t a, std::uint64_t b, std::uint64_t size) {
    std::uint64_t n = 0;
    if (__builtin_mul_overflow(a, b, &n) || __builtin_mul_overflow(n, size, &n) ||
        n > static_cast<std::uint64_t>(std::numeric_limits<std::ptrdiff_t>::max())) {
        throw std::bad_alloc();
    }
    return static_cast<std::size_t>(a * b);
}

// The windows of every output index along one axis, kept side by side:
// output o reads source indices first[o] .. first[o] + count(o) - 1 with the
// weights weights[offsets[o] .. offsets[o + 1]).
struct Windows {
    std::vector<std::uint64_t> first;
    std::vector<std::size_t> offsets;
    std::vector<float> weights;

    // With `trim`, weights of exactly zero at either end of a window are left
    // out. A sum over finite values then changes at most in the sign of a zero
    // (0 + v * 0 is the +0 a sum starts from; s + v * 0 is s unless s is a
    // zero), and a zero's sign never reaches a level.
    Windows(const Axis& axis, std::uint64_t n_out, bool trim) {
        std::vector<float> column;
        offsets.push_back(0);
        for (std::uint64_t o = 0; o < n_out; ++o) {
            std::uint64_t at = axis.window(o, column);
            std::size_t begin = 0, end = column.size();
            while (trim && end - begin > 1 && column[begin] == 0.0f) ++begin, ++at;
            while (trim && end - begin > 1 && column[end - 1] == 0.0f) --end;
            first.push_back(at);
            weights.insert(weights.end(), column.begin() + begin, column.begin() + end);
            offsets.push_back(weights.size());
        }
    }
    std::size_t count(std::size_t o) const { return offsets[o + 1] - offsets[o]; }
    const float* of(std::size_t o) const { return weights.data() + offsets[o]; }

    // Whether every sum of 8-bit levels with these weights is finite.
    bool sums_of_levels_are_finite() const {
        float bound = 0.0f;
        for (std::size_t o = 0; o + 1 < offsets.size(); ++o) {
            float sum = 0.0f;
            for (std::size_t k = offsets[o]; k < offsets[o + 1]; ++k) sum += 255.0f * std::fabs(weights[k]);
            bound = std::max(bound, sum);
        }
        return bound < std::numeric_limits<float>::max() / 2;  // NaN fails too
    }
};

// Output rows are made a block at a time: the vertical pass writes the
// block's rows into a buffer laid out by column, where one column of the
// block is contiguous, and the horizontal pass then sums each output column
// for all rows of the block across vector lanes. The intermediate image is
// never held whole.
constexpr std::size_t kBlockRows = 16;
constexpr std::size_t kGroups = kBlockRows / 4;
// Output columns whose levels are gathered before they are stored.
constexpr std::size_t kStripColumns = 512;

// T[y][x] = sum over k of f32(M[first + k][x]) * w_k, starting from 0, for
// the block's rows y0 + r, r < rows. Each row is summed whole, a source row at
// a time, into `rows_buffer` (kBlockRows rows of the mask's width); the block
// is then turned into `block`, where block[x * kBlockRows + r] is T[y0 + r][x]
// and rows from `rows` on read as zeros.
void vertical_block(const Mask8& mask, const Windows& rows_of, std::size_t y0, std::size_t rows,
                    float* rows_buffer, float* block) {
    const std::size_t w = static_cast<std::size_t>(mask.width);
    for (std::size_t r = 0; r < rows; ++r) {
        const std::size_t y = y0 + r;
        float* t = rows_buffer + r * w;
        const float* wk = rows_of.of(y);
        const std::uint8_t* src = mask.data.data() + rows_of.first[y] * w;
        for (std::size_t x = 0; x < w; ++x) t[x] = 0.0f + static_cast<float>(src[x]) * wk[0];
        for (std::size_t k = 1, n = rows_of.count(y); k < n; ++k) {
            src += w;
            for (std::size_t x = 0; x < w; ++x) t[x] = t[x] + static_cast<float>(src[x]) * wk[k];
        }
    }

    static const float zeros[4] = {};
    const float* src[kBlockRows];
    for (std::size_t r = 0; r < kBlockRows; ++r) src[r] = r < rows ? rows_buffer + r * w : nullptr;
    std::size_t x = 0;
    for (; x + 4 <= w; x += 4) {
        for (std::size_t g = 0; g < kGroups; ++g) {
            F4 a[4];
            for (std::size_t i = 0; i < 4; ++i) a[i] = load4(src[4 * g + i] ? src[4 * g + i] + x : zeros);
            transpose4(a[0], a[1], a[2], a[3]);
            for (std::size_t i = 0; i < 4; ++i) store4(block + (x + i) * kBlockRows + 4 * g, a[i]);
        }
    }
    for (; x < w; ++x) {
        for (std::size_t r = 0; r < kBlockRows; ++r) block[x * kBlockRows + r] = src[r] ? src[r][x] : 0.0f;
    }
}

// Where the horizontal pass puts its values: 8-bit levels, or levels / 255
// as floats, the form the caller finally returns. `levels` holds, for each of
// `columns` output columns from x0, the levels of the block's rows in groups
// of four.
struct LevelsOut {
    std::uint8_t* data;
    std::size_t stride;
    void store(std::size_t y0, std::size_t rows, std::size_t x0, std::size_t columns, const I4* levels) const {
        for (std::size_t j = 0; j < columns; ++j) {
            for (std::size_t r = 0; r < rows; ++r) {
                data[(y0 + r) * stride + x0 + j] = static_cast<std::uint8_t>(levels[j * kGroups + r / 4][r % 4]);
            }
        }
    }
};

struct UnitFloatsOut {
    float* data;
    std::size_t stride;
    // Four columns of four rows at a time are turned back into rows, so that
    // every row is written in runs of contiguous floats.
    void store(std::size_t y0, std::size_t rows, std::size_t x0, std::size_t columns, const I4* levels) const {
        std::size_t j = 0;
        for (; rows == kBlockRows && j + 4 <= columns; j += 4) {
            for (std::size_t g = 0; g < kGroups; ++g) {
                F4 a[4];
                for (std::size_t i = 0; i < 4; ++i) a[i] = __builtin_convertvector(levels[(j + i) * kGroups + g], F4) / 255.0f;
                transpose4(a[0], a[1], a[2], a[3]);
                for (std::size_t i = 0; i < 4; ++i) store4(data + (y0 + 4 * g + i) * stride + x0 + j, a[i]);
            }
        }
        for (; j < columns; ++j) {
            for (std::size_t r = 0; r < rows; ++r) {
                data[(y0 + r) * stride + x0 + j] = static_cast<float>(levels[j * kGroups + r / 4][r % 4]) / 255.0f;
            }
        }
    }
};

template <class Out>
void resize_passes(const Mask8& mask, std::uint64_t height_out, std::uint64_t width_out, Filter filter, Out out) {
    const std::size_t w = static_cast<std::size_t>(mask.width);
    const std::size_t h_out = static_cast<std::size_t>(height_out);
    const std::size_t w_out = static_cast<std::size_t>(width_out);
    // The vertical pass sums levels, always finite; the horizontal pass sums
    // its results, finite whenever the vertical weights keep them so.
    const Windows rows_of(Axis(mask.height, height_out, filter), height_out, true);
    const Windows columns_of(Axis(mask.width, width_out, filter), width_out, rows_of.sums_of_levels_are_finite());

    Buffer<float> rows_buffer = Buffer<float>::uninitialised(checked_product(w, kBlockRows, sizeof(float)));
    Buffer<float> block = Buffer<float>::uninitialised(rows_buffer.size());
    std::vector<I4> levels(kStripColumns * kGroups);
    for (std::size_t y0 = 0; y0 < h_out; y0 += kBlockRows) {
        const std::size_t rows = std::min<std::size_t>(kBlockRows, h_out - y0);
        vertical_block(mask, rows_of, y0, rows, rows_buffer.data(), block.data());
        for (std::size_t x0 = 0; x0 < w_out; x0 += kStripColumns) {
            const std::size_t x1 = std::min(w_out, x0 + kStripColumns);
            for (std::size_t xo = x0; xo < x1; ++xo) {
                const float* wk = columns_of.of(xo);
                const float* col = block.data() + columns_of.first[xo] * kBlockRows;
                F4 acc[kGroups] = {};
                for (std::size_t k = 0, n = columns_of.count(xo); k < n; ++k) {
                    const float weight = wk[k];
                    for (std::size_t g = 0; g < kGroups; ++g) {
                        acc[g] = acc[g] + load4(col + k * kBlockRows + 4 * g) * weight;
                    }
                }
                for (std::size_t g = 0; g < kGroups; ++g) levels[(xo - x0) * kGroups + g] = round_to_levels(acc[g]);
            }
            out.store(y0, rows, x0, x1 - x0, levels.data());
        }
    }
}

}  // namespace

FilterType filter_from_name(std::string_view name) {
    if (name == "nearest" || name == "lowest") return FilterType::Nearest;
    // "lanzos" and "highest" name a kernel that was never built; they have
    // always meant the cubic.
    if (name == "catmullrom" || name == "cubic" || name == "medium" || name == "lanzos" || name == "highest") {
        return FilterType::CatmullRom;
    }
    if (name == "gaussian" || name == "high") return FilterType::Gaussian;
    return FilterType::Linear;
}

std::uint32_t scaled_size(std::uint64_t n, float scale) {
    const float v = static_cast<float>(n) * scale;
    if (!(v > 0.0f)) return 0;
    if (v >= 4294967296.0f) return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(v);
}

namespace {

// The resize into either kind of output: `Image` is Mask8 or UnitFloatImage.
template <class Image, class Out>
Image resize_into(const Mask8& mask, float scale, FilterType filter_type, Out (*out_of)(Image&)) {
    using Value = std::remove_reference_t<decltype(*Image{}.data.data())>;
    const std::uint64_t w = mask.width, h = mask.height;
    const std::uint64_t w_out = scaled_size(w, scale), h_out = scaled_size(h, scale);

    Image result{h_out, w_out, {}};
    const std::size_t result_size = checked_product(w_out, h_out, sizeof(Value));

    if (w == 0 || h == 0 || w_out == 0 || h_out == 0) {
        result.data = Buffer<Value>::zeroed(result_size);
        return result;
    }
    if (w_out == w && h_out == h) {
        result.data = Buffer<Value>::uninitialised(result_size);
        Value* dst = result.data.data();
        const std::uint8_t* src = mask.data.data();
        for (std::size_t i = 0; i < result_size; ++i) dst[i] = level_value<Value>(src[i]);
        return result;
    }

    result.data = Buffer<Value>::uninitialised(result_size);
    if (filter_type == FilterType::Nearest) {
        // Every window of the nearest filter is one source index with weight
        // 1, so both passes reduce to copying that pixel's level: the sums
        // 0 + v * 1 are v, and v rounds to itself.
        const Filter filter = filter_of(filter_type);
        const Windows rows_of(Axis(h, h_out, filter), h_out, false);
        const Windows columns_of(Axis(w, w_out, filter), w_out, false);
        Value values[256];
        for (std::size_t v = 0; v < 256; ++v) values[v] = level_value<Value>(static_cast<std::uint8_t>(v));
        const std::vector<std::uint64_t>& columns = columns_of.first;
        Value* dst = result.data.data();
        for (std::size_t y = 0; y < static_cast<std::size_t>(h_out); ++y) {
            const std::uint8_t* src = mask.data.data() + rows_of.first[y] * static_cast<std::size_t>(w);
            for (std::size_t x = 0; x < columns.size(); ++x) dst[x] = values[src[columns[x]]];
            dst += columns.size();
        }
        return result;
    }
    resize_passes(mask, h_out, w_out, filter_of(filter_type), out_of(result));
    return result;
}

}  // namespace

Mask8 resize(const Mask8& mask, float scale, FilterType filter_type) {
    return resize_into<Mask8>(mask, scale, filter_type,
                              +[](Mask8& m) { return LevelsOut{m.data.data(), static_cast<std::size_t>(m.width)}; });
}

UnitFloatImage resize_to_unit_floats(const Mask8& mask, float scale, FilterType filter_type) {
    return resize_into<UnitFloatImage>(mask, scale, filter_type,
                                       +[](UnitFloatImage& m) {
                                           return UnitFloatsOut{m.data.data(), static_cast<std::size_t>(m.width)};
                                       });
}

Buffer<float> to_unit_floats(std::span<const std::uint8_t> values) {
    Buffer<float> out = Buffer<float>::uninitialised(values.size());
    float* dst = out.data();
    for (std::size_t i = 0; i < values.size(); ++i) dst[i] = static_cast<float>(values[i]) / 255.0f;
    return out;
}

}  // namespace ostrel
