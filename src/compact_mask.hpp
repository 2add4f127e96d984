// CompactMaskModel: a grayscale mask as rows of (column, value) runs, its
// MessagePack decoding, and its rasterisation into an 8-bit mask.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "support/buffer.hpp"

namespace ostrel {

// Where a new value begins along a row, not a length: the value holds from
// `column` up to the next run's column (or the right edge).
struct Run {
    std::uint16_t column;
    std::uint16_t value;

    friend bool operator==(const Run&, const Run&) = default;
};

// Rows are stored flat: row i is runs[(i ? row_ends[i-1] : 0) .. row_ends[i]),
// so a model with many short rows costs one allocation, not one per row.
struct CompactMaskModel {
    std::vector<Run> runs;
    std::vector<std::size_t> row_ends;

    std::size_t row_count() const { return row_ends.size(); }
    std::span<const Run> row(std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : row_ends[i - 1];
        return std::span<const Run>(runs).subspan(begin, row_ends[i] - begin);
    }
};

// Decodes one MessagePack value from the start of `bytes`; bytes after it are
// ignored. Every malformed or mistyped input gives std::nullopt.
std::optional<CompactMaskModel> decode_compact_mask(std::span<const std::uint8_t> bytes);

// A row-major 8-bit mask: element (r, c) is data[r * width + c].
struct Mask8 {
    std::uint64_t height = 0, width = 0;
    Buffer<std::uint8_t> data;
};

// Rasterises the model into a zero-filled (height, width) mask. Throws Panic
// with "ndarray: Shape too large, ..." when height * width (a zero length
// counted as 1) exceeds INT64_MAX, and "ndarray: index out of bounds" for a row
// at or beyond height or a run column at or beyond width; std::bad_alloc when
// the mask's memory cannot be had.
Mask8 reconstruct_ndarray(const CompactMaskModel& model, std::uint64_t width, std::uint64_t height);

// A row-major image of values v / 255, v an 8-bit level: element (r, c) is
// data[r * width + c].
struct UnitFloatImage {
    std::uint64_t height = 0, width = 0;
    Buffer<float> data;
};

// decode_compact_mask() then reconstruct_ndarray(), in one pass over the
// bytes that writes each run straight into the mask, without a decoded model
// in between. The outcome is that of the two steps in sequence: std::nullopt
// for bytes that do not decode (whatever else is wrong with the record), then
// the same Panic or std::bad_alloc. The second form returns v / 255 for each
// level v, as to_unit_floats() would.
std::optional<Mask8> decode_and_reconstruct(std::span<const std::uint8_t> bytes, std::uint64_t width,
                                            std::uint64_t height);
std::optional<UnitFloatImage> decode_and_reconstruct_unit_floats(std::span<const std::uint8_t> bytes,
                                                                 std::uint64_t width, std::uint64_t height);

}  // namespace ostrel
