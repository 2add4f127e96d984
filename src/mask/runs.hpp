// The mask as the record describes it: each row kept as its runs, in memory
// that grows with the record rather than with width x height, and the
// resampler that works from them.
//
// What keeps the bits: the runs are those of the rasterisation rule (a row
// whose columns do not simply ascend is drawn by the rule into one 8-bit
// row and read back as runs), its errors come in the Canvas's order, and
// the resampler computes every output value with the dense passes' taps,
// weights and order of operations (run_resize.cpp says how).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "mask/raster.hpp"
#include "mask/resize.hpp"
#include "support/simd.hpp"

namespace ostrel::mask {

// Row i < row_count() holds the pieces begin[i] .. begin[i + 1] - 1 of
// `starts` and `values`: values[p] from column starts[p] up to the next
// piece's start, the last one up to the width. A row's first piece starts at
// column 0 and neighbouring pieces differ in value. A row without pieces,
// and every row from row_count() on, is 0. Every start but the first comes
// from a run's column, so all are at most 65536.
//
// A mask whose rows average about as many runs as pixels is kept drawn
// instead, in `drawn`, and resized by the dense passes.
struct RunMask {
    std::uint64_t width = 0, height = 0;
    std::optional<Mask8> drawn;
    std::vector<std::size_t> begin{0};
    std::vector<std::uint32_t> starts;
    std::vector<std::uint8_t> values;

    std::size_t row_count() const { return begin.size() - 1; }
    // The pieces of rows lo .. hi - 1, for rows that have any.
    std::size_t pieces_in(std::uint64_t lo, std::uint64_t hi) const;
};

// Reads one record from the start of `bytes` into its rows of runs for a
// (height, width) mask. std::nullopt for bytes that do not hold a record,
// whatever else is wrong with them; then, as decode_and_reconstruct()
// reports them, Panic(kShapeTooLarge), std::bad_alloc, Panic(kIndexOutOfBounds).
std::optional<RunMask> decode_runs(std::span<const std::uint8_t> bytes, std::uint64_t width, std::uint64_t height);

// The resize of resize_to_unit_floats() from the runs, with the same bits on
// every path: the mask drawn from `mask` and resized there gives this result.
UnitFloatImage resize_runs_to_unit_floats(const RunMask& mask, float scale, FilterType filter,
                                          SimdPath path = best_simd_path());

}  // namespace ostrel::mask
