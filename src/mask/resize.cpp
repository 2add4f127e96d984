// The dense resampler: the two passes over a drawn 8-bit mask on the per-path
// kernels (or the nearest filter's copy), with the taps of taps.hpp.
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
#include "mask/taps.hpp"
#include "support/memory.hpp"
#include "support/panic.hpp"
#include "support/saturate.hpp"

namespace ostrel::mask {
namespace {

using namespace taps;

// Output rows are made a block at a time: the vertical pass writes the
// block's rows, a strip of columns at a time, into a buffer laid out by
// column, where one column of the block is contiguous, and the horizontal
// pass then sums each output column for all rows of the block across vector
// lanes. An output of fewer rows than a block is held as its rows instead,
// and the horizontal pass puts output columns across the lanes. Either way
// the working memory is at most the intermediate image of width x output
// height values, and the weights are those of the rows and columns being
// written. Both passes run on the SIMD path's kernels.
//
// The two passes into `out`, a row-major image of width_out floats a row.
void resize_passes(const Mask8& mask, std::uint64_t height_out, std::uint64_t width_out, Filter filter, SimdPath path,
                   float* out) {
    const ResizeKernels kernels = kernels_for<ResizeKernels>(path);
    const std::size_t w = static_cast<std::size_t>(mask.width);
    const std::size_t h_out = static_cast<std::size_t>(height_out);
    const std::size_t w_out = static_cast<std::size_t>(width_out);
    PassTaps pass(mask.width, mask.height, width_out, height_out, filter);
    Taps columns_of;

    if (h_out < kBlockRows) {
        // All output rows at once, as rows: the intermediate image itself.
        Buffer<float> rows = Buffer<float>::uninitialised(checked_product(w, h_out, sizeof(float)));
        kernels.vertical_rows(mask.data.data(), w, 0, w, pass.rows_of.view(), 0, h_out, rows.data(), w);
        for (std::size_t x0 = 0; x0 < w_out; x0 += kStripColumns) {
            const std::size_t x1 = std::min(w_out, x0 + kStripColumns);
            columns_of.fill(pass.columns_axis, x0, x1, pass.trim_columns);
            for (std::size_t y = 0; y < h_out; ++y) {
                kernels.row_unit_floats(rows.data() + y * w, columns_of.view(), x0, x1, out + y * w_out + x0);
            }
        }
        return;
    }

    // Every block writes every output column: with more than one block the
    // columns' weights are made once and kept.
    const bool one_block = h_out == kBlockRows;
    if (!one_block) columns_of.fill_all(pass.columns_axis, w_out, pass.trim_columns);
    const std::size_t strip = std::min(w, kStripColumns);
    Buffer<float> rows = Buffer<float>::uninitialised(kBlockRows * strip);
    Buffer<float> block = Buffer<float>::uninitialised(checked_product(w, kBlockRows, sizeof(float)));
    for (std::size_t y0 = 0; y0 < h_out; y0 += kBlockRows) {
        const std::size_t count = std::min<std::size_t>(kBlockRows, h_out - y0);
        if (!pass.all_rows) pass.rows_of.fill(pass.rows_axis, y0, y0 + count, true);
        for (std::size_t x0 = 0; x0 < w; x0 += strip) {
            const std::size_t x1 = std::min(w, x0 + strip);
            kernels.vertical_rows(mask.data.data(), w, x0, x1, pass.rows_of.view(), y0, count, rows.data(), strip);
            kernels.to_block(rows.data(), strip, x1 - x0, count, block.data() + x0 * kBlockRows);
        }
        for (std::size_t x0 = 0; x0 < w_out; x0 += kStripColumns) {
            const std::size_t x1 = std::min(w_out, x0 + kStripColumns);
            if (one_block) columns_of.fill(pass.columns_axis, x0, x1, pass.trim_columns);
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
    // The runs resampler (run_resize.cpp), in vectors that may double their
    // capacity once: a block's output rows as stretches of 12 bytes, at most
    // one a column and one a run boundary (65536 a row); each output
    // column's weight id and up to 4096 distinct sets of weights; and its
    // dense fallback, which draws the source rows and columns a block
    // reaches, at most the whole mask, with its rows and block of floats.
    const std::uint64_t stretches = multiply_bytes(std::min<std::uint64_t>(width, 65536) + 1, 2 * kBlockRows * 12);
    const std::uint64_t patterns = add_bytes(multiply_bytes(w_out, sizeof(std::uint32_t)),
                                             multiply_bytes(taps_of(std::min<std::uint64_t>(w_out, 4096), column_taps), 2));
    const auto reached = [](std::uint64_t n, std::uint64_t n_out, std::uint64_t outputs, std::uint64_t taps) {
        const double ratio = std::max(1.0, static_cast<double>(n) / static_cast<double>(n_out));
        const double span = static_cast<double>(outputs) * ratio + static_cast<double>(taps) + 2.0;
        return span >= static_cast<double>(n) ? n : static_cast<std::uint64_t>(span);
    };
    const std::uint64_t span = reached(width, w_out, kStripColumns, column_taps);
    const std::uint64_t drawn = multiply_bytes(reached(height, h_out, kBlockRows, row_taps), span);
    const std::uint64_t fallback =
        add_bytes(multiply_bytes(drawn, 2), multiply_bytes(span, 4 * kBlockRows * sizeof(float)));
    const std::uint64_t runs = add_bytes(add_bytes(stretches, patterns), fallback);
    return add_bytes(add_bytes(add_bytes(result, intermediate), add_bytes(rows, columns)), add_bytes(runs, kSmall));
}

}  // namespace ostrel::mask
