// The resampler's two passes written once for W lanes. Included only by the
// path source (src/simd_path.cpp), compiled once for each path's instruction
// set; everything here has internal linkage.
//
// What keeps the bits: a lane is one output row (horizontal pass) or one
// column (vertical pass), and runs exactly the scalar sum of its taps, from
// +0 in ascending tap order, each product and sum rounded on its own (the
// build forbids fused multiply-adds); the rounding to 8-bit values and the
// division by 255 are unit_float.hpp's, per lane. No path reorders a sum, so
// every width gives the same values.
#pragma once

#include <cstddef>
#include <cstdint>

#include "mask/resize_kernels.hpp"
#include "mask/unit_float.hpp"
#include "support/lanes.hpp"

namespace ostrel::mask {
namespace {

template <std::size_t W>
struct ResizeLanes {
    using Vec = simd::Vec<W>;
    using F = typename Vec::F;
    using I = typename Vec::I;
    static constexpr std::size_t kGroups = kBlockRows / W;
    static_assert(kBlockRows % W == 0);

    // Plain loops over the rows: the compiler runs them across the path's
    // vector lanes.
    static void accumulate_rows(const std::uint8_t* src, std::size_t stride, std::size_t count, const float* w,
                                std::size_t n, bool start, float* out) {
        std::size_t k = 0;
        if (start) {
            for (std::size_t x = 0; x < count; ++x) out[x] = 0.0f + static_cast<float>(src[x]) * w[0];
            src += stride;
            k = 1;
        }
        for (; k < n; ++k, src += stride) {
            for (std::size_t x = 0; x < count; ++x) out[x] = out[x] + static_cast<float>(src[x]) * w[k];
        }
    }

    // W columns of W rows at a time are turned into the column layout.
    static void to_block(const float* t, std::size_t t_stride, std::size_t count, std::size_t rows, float* block) {
        static const float zeros[W] = {};
        const float* src[kBlockRows];
        for (std::size_t r = 0; r < kBlockRows; ++r) src[r] = r < rows ? t + r * t_stride : nullptr;
        std::size_t x = 0;
        for (; x + W <= count; x += W) {
            for (std::size_t g = 0; g < kGroups; ++g) {
                F a[W];
                for (std::size_t i = 0; i < W; ++i) a[i] = Vec::loadf(src[W * g + i] ? src[W * g + i] + x : zeros);
                Vec::transpose(a);
                for (std::size_t i = 0; i < W; ++i) Vec::store(block + (x + i) * kBlockRows + W * g, a[i]);
            }
        }
        for (; x < count; ++x) {
            for (std::size_t r = 0; r < kBlockRows; ++r) block[x * kBlockRows + r] = src[r] ? src[r][x] : 0.0f;
        }
    }

    // Output column xo of the block's rows, kGroups vectors of W rows.
    static void column_sums(const float* block, TapsView columns_of, std::size_t xo, F* acc) {
        const std::size_t j = xo - columns_of.base;
        const float* wk = columns_of.weights + columns_of.offsets[j];
        const std::size_t n = columns_of.offsets[j + 1] - columns_of.offsets[j];
        const float* col = block + columns_of.first[j] * kBlockRows;
        for (std::size_t g = 0; g < kGroups; ++g) acc[g] = F{};
        for (std::size_t k = 0; k < n; ++k) {
            const float weight = wk[k];
            for (std::size_t g = 0; g < kGroups; ++g) acc[g] = acc[g] + Vec::loadf(col + k * kBlockRows + W * g) * weight;
        }
    }

    static F rounded(F sum) { return unit_float_of_sum<F, I>(sum); }

    // W output columns at a time are turned back into rows in the registers
    // and stored as runs of W contiguous floats; a partial block of rows and
    // the last columns go one value at a time.
    static void horizontal_unit_floats(const float* block, TapsView columns_of, std::size_t x0, std::size_t x1,
                                       std::size_t y0, std::size_t rows, float* image, std::size_t stride) {
        std::size_t xo = x0;
        for (; rows == kBlockRows && xo + W <= x1; xo += W) {
            F values[kGroups][W];
            for (std::size_t c = 0; c < W; ++c) {
                F acc[kGroups];
                column_sums(block, columns_of, xo + c, acc);
                for (std::size_t g = 0; g < kGroups; ++g) values[g][c] = rounded(acc[g]);
            }
            for (std::size_t g = 0; g < kGroups; ++g) {
                Vec::transpose(values[g]);
                for (std::size_t i = 0; i < W; ++i) Vec::store(image + (y0 + W * g + i) * stride + xo, values[g][i]);
            }
        }
        for (; xo < x1; ++xo) {
            F acc[kGroups];
            column_sums(block, columns_of, xo, acc);
            for (std::size_t g = 0; g < kGroups; ++g) {
                const F value = rounded(acc[g]);
                for (std::size_t i = 0; i < W && W * g + i < rows; ++i) image[(y0 + W * g + i) * stride + xo] = value[i];
            }
        }
    }

    // Output columns xo .. xo + W - 1 of one row, a lane each, lanes from x1
    // on left at 0. Each lane's sum is the scalar one of the block path
    // (from +0, products and sums rounded one at a time, in tap order); the
    // taps differ from lane to lane, so they are gathered one by one.
    static F row_sums(const float* row, TapsView columns_of, std::size_t xo, std::size_t x1) {
        alignas(sizeof(F)) float sums[W] = {};
        for (std::size_t i = 0; i < W && xo + i < x1; ++i) {
            const std::size_t j = xo + i - columns_of.base;
            const float* wk = columns_of.weights + columns_of.offsets[j];
            const std::size_t n = columns_of.offsets[j + 1] - columns_of.offsets[j];
            sums[i] = window_sum(row + columns_of.first[j], 1, wk, n);
        }
        return Vec::loadf(sums);
    }

    static void row_unit_floats(const float* row, TapsView columns_of, std::size_t x0, std::size_t x1, float* out) {
        std::size_t xo = x0;
        for (; xo + W <= x1; xo += W) Vec::store(out + (xo - x0), rounded(row_sums(row, columns_of, xo, x1)));
        if (xo < x1) {
            const F value = rounded(row_sums(row, columns_of, xo, x1));
            for (std::size_t i = 0; xo + i < x1; ++i) out[xo + i - x0] = value[i];
        }
    }

    static ResizeKernels kernels() noexcept {
        return ResizeKernels{W, &accumulate_rows, &to_block, &horizontal_unit_floats, &row_unit_floats};
    }
};

}  // namespace
}  // namespace ostrel::mask
