// What the resampler's vector kernels work from and offer, as plain data and
// function pointers, compiled once per SIMD path (resize_lanes.hpp): no
// library type, so the per-path translation units include nothing whose
// inline functions could be shared between instruction sets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "support/simd.hpp"

namespace ostrel::mask {

// Output rows are made a block at a time: the horizontal pass puts the
// block's rows across the lanes of the widest path (AVX-512, 16 floats), so
// that one load serves every row of an output column.
inline constexpr std::size_t kBlockRows = 16;

// The taps of the output indices base, base + 1, ... along one axis:
// output o reads source indices first[o - base] .. first[o - base] + count - 1
// with the weights weights[offsets[o - base] .. offsets[o - base + 1]), count =
// offsets[o - base + 1] - offsets[o - base].
struct TapsView {
    const std::uint64_t* first = nullptr;
    const std::size_t* offsets = nullptr;
    const float* weights = nullptr;
    std::size_t base = 0;
};

struct ResizeKernels {
    // The path's own width alone (path_kernels()).
    static constexpr bool kNarrowerWidths = false;

    std::size_t lanes = 0;

    // n taps of the vertical pass, rows `stride` bytes apart: for x < count,
    // out[x] = (start ? 0 : out[x]) + f32(src[x]) * w[0] + f32(src[stride +
    // x]) * w[1] + ..., each product and sum rounded, in that order.
    void (*accumulate_rows)(const std::uint8_t* src, std::size_t stride, std::size_t count, const float* w,
                            std::size_t n, bool start, float* out) = nullptr;

    // Rows r < rows of `t` (`count` floats each, t_stride apart) in the
    // column layout of a block: block[x * kBlockRows + r] = t[r * t_stride + x],
    // with rows from `rows` on written as zeros.
    void (*to_block)(const float* t, std::size_t t_stride, std::size_t count, std::size_t rows, float* block) = nullptr;

    // For output columns x0 .. x1 - 1 of the block: the sum over k of
    // block[(first + k) * kBlockRows + r] * w_k from 0, rounded to an 8-bit
    // value v (clamped to [0, 255], halves away from zero, NaN to 0), and v /
    // 255 written to rows y0 .. y0 + rows - 1 of a row-major float image
    // (`stride` floats a row), columns x0 .. x1 - 1.
    void (*horizontal_unit_floats)(const float* block, TapsView columns_of, std::size_t x0, std::size_t x1,
                                   std::size_t y0, std::size_t rows, float* image, std::size_t stride) = nullptr;

    // The same sums for one row of vertical sums held as a row (`row[x]`),
    // for blocks in the row layout: v / 255 in out[x - x0] for output
    // columns x0 .. x1 - 1.
    void (*row_unit_floats)(const float* row, TapsView columns_of, std::size_t x0, std::size_t x1,
                            float* out) = nullptr;
};

}  // namespace ostrel::mask
