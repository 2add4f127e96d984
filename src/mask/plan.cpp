// The plan of one resize: its axes, its buffers (EngineBuffers, which the
// engine allocates from) and the memory its path holds, each buffer counted
// at the most it can hold, so that a call that cannot fit is refused before
// its result is made.
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
std::uint64_t block_reach(const ResizePlan& p, std::uint64_t rows) {
    const double ratio = std::max(1.0, static_cast<double>(p.height) / static_cast<double>(p.height_out));
    const double reach = static_cast<double>(kBlockRows) * ratio + static_cast<double>(p.rows.most_taps()) + 2.0;
    return reach >= static_cast<double>(rows) ? rows : static_cast<std::uint64_t>(reach);
}

// The engine's buffers of a plan whose other fields are set; `held` rows of
// the record are runs.
EngineBuffers buffers_of(const ResizePlan& p, std::uint64_t held) {
    EngineBuffers b;
    // The first block has the most rows; the column layout has a lane for
    // each of kBlockRows.
    const std::size_t rows = static_cast<std::size_t>(std::min<std::uint64_t>(kBlockRows, p.height_out));
    b.sums = rows * p.tile_columns;
    b.block = rows >= kRowLayoutRows ? kBlockRows * p.tile_columns : 0;
    b.spans = p.tile_columns;
    b.rebased = p.strip_outputs;
    if (!p.from_runs) return b;
    b.cursors = static_cast<std::size_t>(block_reach(p, held));
    b.walk = p.rows.most_taps();
    b.marks = static_cast<std::size_t>(std::min(p.width, kRunColumns) / 64 + 1);
    b.drawn = std::max(p.tile_columns, std::min(kDrawnRowBytes, p.drawn_rows * p.tile_columns)) + kDrawSlack;
    b.drawn_rows = p.drawn_rows;
    const std::uint64_t block = multiply_bytes(block_reach(p, p.height), p.width);
    if (block <= kBlockDrawBytes && (p.filter != FilterType::Nearest || p.width_out >= p.width)) b.block_rows = static_cast<std::size_t>(block) + kDrawSlack;
    return b;
}

std::uint64_t bytes_of(const EngineBuffers& b) {
    const std::uint64_t floats = add_bytes(b.sums, b.block) * sizeof(float);
    const std::uint64_t spans = add_bytes(multiply_bytes(b.spans, kSpanBytes), multiply_bytes(b.rebased, sizeof(std::uint64_t)));
    const std::uint64_t cursors = multiply_bytes(add_bytes(multiply_bytes(b.cursors, 2), b.walk), kCursorBytes);
    const std::uint64_t bytes = add_bytes(b.drawn, add_bytes(b.drawn_rows / 8 + 1, b.block_rows));
    return add_bytes(add_bytes(floats, spans), add_bytes(add_bytes(cursors, bytes), b.marks * sizeof(std::uint64_t)));
}

}  // namespace

std::uint32_t scaled_size(std::uint64_t n, float scale) {
    return saturating_truncate<std::uint32_t>(static_cast<float>(n) * scale);
}

ResizePlan plan_resize(std::uint64_t width, std::uint64_t height, float scale, FilterType filter, const RunMask* runs) {
    ResizePlan p;
    p.width = width;
    p.height = height;
    p.width_out = scaled_size(width, scale);
    p.height_out = scaled_size(height, scale);
    const bool unchanged = p.width_out == width && p.height_out == height;
    p.filter = unchanged ? FilterType::Nearest : filter;
    p.from_runs = runs != nullptr && !runs->drawn;
    const std::uint64_t result = multiply_bytes(multiply_bytes(p.width_out, p.height_out), sizeof(float));
    p.memory_bound = add_bytes(result, kSmallBytes);
    if (width == 0 || height == 0 || p.width_out == 0 || p.height_out == 0) return p;

    const taps::Filter kernel = taps::filter_of(p.filter);
    p.rows = unchanged ? taps::Axis::unchanged(height) : taps::Axis(height, p.height_out, kernel);
    p.columns = unchanged ? taps::Axis::unchanged(width) : taps::Axis(width, p.width_out, kernel);
    // The rows' taps are made at once where they can be kept between calls;
    // the columns', where more than one block reads each of them.
    p.all_rows = p.height_out <= kBlockRows || taps::taps_bytes(p.rows, p.height_out) <= taps::kMostKeptBytes;
    p.all_columns = p.height_out > kBlockRows;
    p.strip_outputs = static_cast<std::size_t>(p.all_columns ? p.width_out : std::min<std::uint64_t>(p.width_out, kStripOutputs));
    p.tile_columns = std::max(static_cast<std::size_t>(std::min<std::uint64_t>(kTileColumns, width)), p.columns.most_taps());
    if (p.from_runs) p.drawn_rows = static_cast<std::size_t>(std::min<std::uint64_t>(block_reach(p, height), kDrawnRowBytes));
    p.buffers = buffers_of(p, p.from_runs ? runs->row_count() : 0);

    // Besides the rows' taps, the check of the sums' range may make each
    // row's taps again, one at a time.
    const std::uint64_t row_taps = add_bytes(taps_with_scratch(p.rows, p.all_rows ? p.height_out : kBlockRows),
                                             multiply_bytes(p.rows.most_taps(), 2 * sizeof(float)));
    const std::uint64_t column_taps = taps_with_scratch(p.columns, p.strip_outputs);
    p.memory_bound = add_bytes(add_bytes(p.memory_bound, add_bytes(row_taps, column_taps)), bytes_of(p.buffers));
    return p;
}

}  // namespace ostrel::mask
