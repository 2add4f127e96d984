// The plan of one resize, and the memory its path holds: each buffer of the
// engine (resize.cpp) counted at the most it can hold, so that a call that
// cannot fit is refused before its result is made. Any change to the
// engine's buffers must keep this a bound.
#include "mask/plan.hpp"

#include <algorithm>

#include "support/memory.hpp"
#include "support/saturate.hpp"

namespace ostrel::mask {
namespace {

// Stack frames, vectors' headers and the allocator's own slack.
constexpr std::uint64_t kSmallBytes = std::uint64_t{100} << 10;

// The taps of `count` outputs of `axis`, with its scratch vector of one
// output's weights, which may double its capacity once.
std::uint64_t taps_with_scratch(const taps::Axis& axis, std::uint64_t count) {
    return add_bytes(taps::taps_bytes(axis, add_bytes(count, 1)), multiply_bytes(axis.most_taps(), 2 * sizeof(float)));
}

// Source rows a block of output rows reads, at most `rows` of them: those
// of kBlockRows outputs a step of the ratio apart, and one window's taps.
std::uint64_t block_reach(const ResizePlan& p, const taps::Axis& axis, std::uint64_t rows) {
    const double ratio = std::max(1.0, static_cast<double>(p.height) / static_cast<double>(p.height_out));
    const double reach = static_cast<double>(kBlockRows) * ratio + static_cast<double>(axis.most_taps()) + 2.0;
    return reach >= static_cast<double>(rows) ? rows : static_cast<std::uint64_t>(reach);
}

// The engine's buffers besides the taps and the result: a dense tile's
// sums in rows and in the column layout, its spans (a source column each
// at most) and rebased taps (an output of a strip each at most); from runs,
// two cursors of each source row a block reads that the record holds, the
// tile's drawn rows and their marks of 0, a block's rows drawn across the
// width, the columns where pieces start, and the cursors of one output
// row's taps.
std::uint64_t engine_bytes(const ResizePlan& p, const taps::Axis& rows, std::uint64_t held) {
    const std::uint64_t tile = multiply_bytes(p.tile_columns, 2 * kBlockRows * sizeof(float) + 10 * sizeof(std::size_t));
    std::uint64_t bytes = add_bytes(tile, multiply_bytes(p.strip_outputs, sizeof(std::uint64_t)));
    if (!p.from_runs) return bytes;
    bytes = add_bytes(bytes, multiply_bytes(block_reach(p, rows, held), 6 * sizeof(std::size_t)));
    bytes = add_bytes(bytes, p.drawn_bytes + kDrawSlack + p.drawn_rows / 8 + p.block_bytes + kDrawSlack);
    const std::uint64_t marks = (std::min(p.width, kRunColumns) / 64 + 1) * sizeof(std::uint64_t);
    const std::uint64_t walk = multiply_bytes(rows.most_taps(), 3 * sizeof(std::size_t));
    return add_bytes(bytes, add_bytes(marks, walk));
}

}  // namespace

std::uint32_t scaled_size(std::uint64_t n, float scale) {
    return saturating_truncate<std::uint32_t>(static_cast<float>(n) * scale);
}

ResizePlan plan_resize(std::uint64_t width, std::uint64_t height, float scale, FilterType filter, bool from_runs,
                       std::uint64_t held) {
    ResizePlan p;
    p.width = width;
    p.height = height;
    p.width_out = scaled_size(width, scale);
    p.height_out = scaled_size(height, scale);
    const bool unchanged = p.width_out == width && p.height_out == height;
    p.filter = unchanged ? FilterType::Nearest : filter;
    p.from_runs = from_runs;
    const std::uint64_t result = multiply_bytes(multiply_bytes(p.width_out, p.height_out), sizeof(float));
    p.memory_bound = add_bytes(result, kSmallBytes);
    if (width == 0 || height == 0 || p.width_out == 0 || p.height_out == 0) return p;

    const taps::Filter kernel = taps::filter_of(p.filter);
    p.rows = unchanged ? taps::Axis::unchanged(height) : taps::Axis(height, p.height_out, kernel);
    p.columns = unchanged ? taps::Axis::unchanged(width) : taps::Axis(width, p.width_out, kernel);
    const taps::Axis &rows = p.rows, &columns = p.columns;
    // The rows' taps are made at once where they can be kept between calls;
    // the columns', where more than one block reads each of them.
    p.all_rows = p.height_out <= kBlockRows || taps::taps_bytes(rows, p.height_out) <= taps::kMostKeptBytes;
    p.all_columns = p.height_out > kBlockRows;
    p.strip_outputs = static_cast<std::size_t>(p.all_columns ? p.width_out : std::min<std::uint64_t>(p.width_out, kStripOutputs));
    p.tile_columns = std::max(kTileColumns, columns.most_taps());
    if (from_runs) {
        p.drawn_rows = static_cast<std::size_t>(std::min<std::uint64_t>(block_reach(p, rows, height), kDrawnRowBytes));
        p.drawn_bytes = std::max(p.tile_columns, std::min(kDrawnRowBytes, p.drawn_rows * p.tile_columns));
        const std::uint64_t block = multiply_bytes(block_reach(p, rows, height), width);
        p.block_bytes = block <= kBlockDrawBytes && p.width_out >= width ? static_cast<std::size_t>(block) : 0;
    }

    // Besides the rows' taps, the check of the sums' range may make each
    // row's taps again, one at a time.
    const std::uint64_t row_taps = add_bytes(taps_with_scratch(rows, p.all_rows ? p.height_out : kBlockRows),
                                             multiply_bytes(rows.most_taps(), 2 * sizeof(float)));
    const std::uint64_t column_taps = taps_with_scratch(columns, p.strip_outputs);
    p.memory_bound = add_bytes(add_bytes(p.memory_bound, add_bytes(row_taps, column_taps)), engine_bytes(p, rows, held));
    return p;
}

}  // namespace ostrel::mask
