// What the resampler's vector kernels work from and offer, as plain data and
// function pointers. The kernels are compiled once per SIMD path (see
// resize_lanes.hpp); this header holds no library type, so the per-path
// translation units include nothing whose inline functions could be shared
// between instruction sets.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel::resize_detail {

// Output rows are made a block of this many at a time.
inline constexpr std::size_t kBlockRows = 16;

// The windows of every output index along one axis: output o reads source
// indices first[o] .. first[o] + count - 1 with the weights
// weights[offsets[o] .. offsets[o + 1]), count = offsets[o + 1] - offsets[o].
struct WindowsView {
    const std::uint64_t* first = nullptr;
    const std::size_t* offsets = nullptr;
    const float* weights = nullptr;
};

struct Kernels {
    std::size_t lanes = 0;

    // T[y][x] = sum over k of f32(M[first + k][x]) * w_k, starting from 0, for
    // output rows y0 + r, r < rows <= kBlockRows, of a mask of `width`
    // columns: each row summed whole into `rows_buffer` (kBlockRows x width),
    // then turned into `block`, where block[x * kBlockRows + r] is T[y0 + r][x]
    // and rows from `rows` on read as zeros.
    void (*vertical_block)(const std::uint8_t* mask, std::size_t width, WindowsView rows_of, std::size_t y0,
                           std::size_t rows, float* rows_buffer, float* block) = nullptr;

    // For output columns x0 .. x1 - 1 of the block: the sum over k of
    // block[(first + k) * kBlockRows + r] * w_k from 0, rounded to a level
    // (clamped to [0, 255], halves away from zero, NaN to 0), into
    // levels[(x - x0) * kBlockRows + r].
    void (*horizontal_levels)(const float* block, WindowsView columns_of, std::size_t x0, std::size_t x1,
                              std::int32_t* levels) = nullptr;

    // The same levels, as level / 255, written straight to rows y0 .. y0 +
    // rows - 1 of a row-major float image (`stride` floats a row), columns
    // x0 .. x1 - 1.
    void (*horizontal_unit_floats)(const float* block, WindowsView columns_of, std::size_t x0, std::size_t x1,
                                   std::size_t y0, std::size_t rows, float* image, std::size_t stride) = nullptr;
};

// One per SimdPath. Where a path does not exist (the wide ones off x86_64),
// its getter returns the baseline kernels; it is never chosen there.
Kernels baseline_kernels() noexcept;
Kernels avx2_kernels() noexcept;
Kernels avx512_kernels() noexcept;

}  // namespace ostrel::resize_detail
