// The resize plan: the engine's sizes and caps, each with its reason, and
// the plan of one call made from them: the output's size, where its source
// rows come from, how its taps are made, its strips and tiles, and the
// memory all of that needs. The engine (resize.cpp) reads it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "mask/resize_kernels.hpp"
#include "mask/runs.hpp"
#include "mask/taps.hpp"

namespace ostrel::mask {

// A block of fewer output rows than this takes the row layout instead, its
// output columns across the lanes: below a quarter of the lanes the block
// layout would sum mostly empty ones.
inline constexpr std::size_t kRowLayoutRows = 4;

// A dense tile: the source columns whose vertical sums are held at once, as
// floats in the rows and again in the column layout, 2 x 16 x 4 bytes a
// column: 64 KiB, the size of Zen 4's and Neoverse N1's L1 data caches
// together with the 8-bit rows read, so that the horizontal pass reads what
// the vertical pass just wrote. A tile is narrower where the mask is, and
// wider where one output's taps alone span more columns.
inline constexpr std::size_t kTileColumns = 512;

// Output columns whose taps are made together when a single block is
// written, where no taps are kept across blocks: a few KiB whatever the width.
inline constexpr std::size_t kStripOutputs = 512;

// Calm outputs (windows inside one stretch of every row's runs) fewer than
// this in a row, between run boundaries of the block's rows, are summed in
// a dense tile: each such group costs a walk over the runs in every output
// row, about what a dense tile costs for this many outputs.
inline constexpr std::size_t kCalmOutputs = 8;

// From runs, a block whose calm stretches (outputs between its run
// boundaries whose windows cross none) hold fewer outputs than this on
// average, with windows of 6 columns, has all its source rows drawn across
// the width at once, and is summed as a drawn mask's block: walking a
// stretch in each output row, and drawing the tiles between, costs more
// than the dense sums of that many outputs (a boundary every 30 columns,
// doubled, is 1.4x slower walked). Wider windows cost more an output, and
// a block of fewer rows sums with lanes to spare, so fewer outputs make up
// for a walk. The nearest filter's reductions walk every other row or more
// at one tap a row, which no dense sum beats.
inline constexpr std::size_t kCalmStretchOutputs = 64;

// Such a block's rows take at most this many bytes; wider or taller ones
// stay in tiles.
inline constexpr std::size_t kBlockDrawBytes = std::size_t{1} << 20;

// A dense tile's source rows drawn from runs, at most this many bytes of
// them at once: a block's rows together at the scales in use, so that each
// is drawn once per tile, and a bounded part of them at any reduction.
inline constexpr std::size_t kDrawnRowBytes = std::size_t{64} << 10;

// Bytes a drawn piece may write past the end of its segment: a piece no
// longer than this is drawn with one 16-byte store (a feathered edge's
// pieces are mostly one pixel), and the tile's row keeps the room.
inline constexpr std::size_t kDrawSlack = 16;

// The size an axis of n pixels takes at scale s: f32(n) * s rounded to single
// precision, truncated, and saturated to [0, 4294967295] (NaN gives 0).
std::uint32_t scaled_size(std::uint64_t n, float scale);

// The engine's buffers, in elements: the plan fills this, the engine
// allocates from it and nothing else, and the memory bound counts it, so
// that the two cannot differ. Each is the most its buffer holds.
struct EngineBuffers {
    std::size_t sums = 0;     // floats: a tile's vertical sums, tile_columns for each output row of a block
    std::size_t block = 0;    // floats: the same in the column layout, kBlockRows lanes a column
    std::size_t spans = 0;    // a tile's spans of outputs, at most one a source column
    std::size_t rebased = 0;  // a strip's taps rebased into their tile, one an output
    // From runs: a drawing and a walking cursor for each source row a block
    // reads that the record holds, and one for each tap of an output row.
    std::size_t cursors = 0, walk = 0;
    std::size_t marks = 0;       // words of a bit for each column where pieces may start
    std::size_t drawn = 0;       // bytes of a tile's rows drawn at once, with the last piece's slack
    std::size_t drawn_rows = 0;  // those rows, a bit each for a row of 0
    std::size_t block_rows = 0;  // bytes of a block's rows drawn whole, with slack; 0 where never
};

// Bytes of the engine's elements, which the plan counts without their types.
inline constexpr std::size_t kSpanBytes = 5 * sizeof(std::uint64_t);
inline constexpr std::size_t kCursorBytes = 3 * sizeof(std::size_t);

// One resize. An unchanged size copies the mask: that is the nearest filter's
// resize over axes whose taps are the identity (Axis::unchanged()).
struct ResizePlan {
    std::uint64_t width = 0, height = 0, width_out = 0, height_out = 0;
    FilterType filter{};
    taps::Axis rows, columns;  // empty where the result has no pixel
    bool from_runs = false;    // source rows drawn from runs, else read from a drawn mask
    // Whether the rows' taps are made at once (else a block's at a time) and
    // the columns' (else a strip's at a time, strip_outputs columns).
    bool all_rows = false, all_columns = false;
    std::size_t strip_outputs = 0;
    std::size_t tile_columns = 0;  // the most source columns a dense tile holds
    // From runs, the most source rows a tile's rows drawn at once hold.
    std::size_t drawn_rows = 0;
    EngineBuffers buffers;
    // An upper bound on the bytes the resize holds at once besides its
    // source, its result included; saturates at kUnlimitedBytes.
    std::uint64_t memory_bound = 0;
};

// The plan of a resize of a (height, width) mask: from `runs` (of which it
// holds runs->row_count() rows, or its drawn mask), or from a drawn mask
// where runs is null.
ResizePlan plan_resize(std::uint64_t width, std::uint64_t height, float scale, FilterType filter,
                       const RunMask* runs);

// Whether the calm stretches between the boundary columns of a block of
// `rows` output rows hold fewer than kCalmStretchOutputs outputs each on
// average, for windows of 6 columns and a whole block, proportionally fewer
// for wider windows, and a quarter for fewer rows (none at all counts as
// fewer). `next(from)` gives the first boundary at or after column `from`
// (from 1: column 0 starts every row), or the width. A stretch of g source
// columns holds about (g - a window's columns) * width_out / width outputs
// whose windows cross no boundary.
template <class Next>
bool calm_stretches_are_short(const ResizePlan& p, std::size_t rows, Next&& next) {
    const std::uint64_t span = p.columns.most_taps();
    const double outputs_per_column = static_cast<double>(p.width_out) / static_cast<double>(p.width);
    double calm = 0.0;
    std::uint64_t stretches = 0;
    for (std::uint64_t from = 0, to = next(1);; to = next(to + 1)) {
        if (to - from > span) {
            calm += static_cast<double>(to - from - span) * outputs_per_column;
            ++stretches;
        }
        if (to >= p.width) break;
        from = to;
    }
    // A block of fewer rows than kBlockRows leaves lanes of the dense sums
    // empty and writes its values one at a time.
    const double outputs = static_cast<double>(rows < kBlockRows ? kCalmStretchOutputs / 4 : kCalmStretchOutputs) *
                           6.0 / static_cast<double>(std::max<std::uint64_t>(span, 6));
    return calm < outputs * static_cast<double>(std::max<std::uint64_t>(stretches, 1));
}

}  // namespace ostrel::mask
