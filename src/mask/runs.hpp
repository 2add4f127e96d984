// The mask as the record describes it: each row kept as its runs, in memory
// that grows with the record rather than with width x height, or drawn when
// its runs would take more room than its pixels. The runs are
// those of the rasterisation rule, and its errors come in the Canvas's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "mask/raster.hpp"

namespace ostrel::mask {

// A run's column is 16 bits wide, so every piece but a row's first starts
// at one of the columns 0 .. 65535 or just past them.
inline constexpr std::uint64_t kRunColumns = 65536;

// The record's reader keeps each row as its runs, kRowBytes for the row
// and kPieceBytes a piece, with room made for the runs a row announces
// before they arrive, at most kMostRuns: a row's runs that ascend have a
// column each, and a row announcing more is drawn. Once kRowsBeforeChoice
// rows are in, a record whose rows so far take more bytes as runs than as
// pixels is drawn instead: its runs would outgrow the drawn mask, and the
// dense tiles would read them as pixels anyway.
inline constexpr std::uint64_t kRowBytes = 8;
inline constexpr std::uint64_t kPieceBytes = 4;
inline constexpr std::uint64_t kMostRuns = kRunColumns;
inline constexpr std::uint64_t kRowsBeforeChoice = 16;

// Whether rows of `width` columns holding `pieces` pieces take more room as runs.
inline bool runs_outgrow_pixels(std::uint64_t rows, std::uint64_t pieces, std::uint64_t width) {
    return add_bytes(multiply_bytes(rows, kRowBytes), multiply_bytes(pieces, kPieceBytes)) > multiply_bytes(rows, width);
}

// Row i < row_count() holds the pieces begin[i] .. begin[i + 1] - 1: piece p
// holds value_of(pieces[p]) from column start_of(pieces[p]) up to the next
// piece's start, the last one up to the width. A row's first piece starts at
// column 0 and neighbouring pieces differ in value. A row without pieces,
// and every row from row_count() on, is 0. Every start but the first comes
// from a run's column, so all are at most 65536: a piece is its start and
// value in one 32-bit word. There are begin.back() pieces. A mask whose runs
// would take more room than its pixels is kept drawn instead, in `drawn`.
struct RunMask {
    std::uint64_t width = 0, height = 0;
    std::optional<Mask8> drawn;
    std::vector<std::size_t> begin{0};
    std::unique_ptr<std::uint32_t[]> pieces;

    std::size_t row_count() const { return begin.size() - 1; }
    static constexpr std::uint32_t piece(std::uint32_t start, std::uint8_t value) { return start << 8 | value; }
    static constexpr std::uint32_t start_of(std::uint32_t piece) { return piece >> 8; }
    static constexpr std::uint8_t value_of(std::uint32_t piece) { return static_cast<std::uint8_t>(piece); }
};

// Reads one record from the start of `bytes` into its rows of runs for a
// (height, width) mask. std::nullopt for bytes that do not hold a record,
// whatever else is wrong with them; then, as decode_and_reconstruct()
// reports them, Panic(kShapeTooLarge), std::bad_alloc, Panic(kIndexOutOfBounds).
std::optional<RunMask> decode_runs(std::span<const std::uint8_t> bytes, std::uint64_t width, std::uint64_t height);

}  // namespace ostrel::mask
