// The reader of the mask record, MessagePack bytes holding rows of
// (column, value) runs: into a model, or drawn straight into a mask.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "mask/raster.hpp"

namespace ostrel {

// Decodes one record from the start of `bytes`; bytes after it are ignored.
// Every malformed or mistyped input gives std::nullopt.
std::optional<CompactMaskModel> decode_compact_mask(std::span<const std::uint8_t> bytes);

// decode_compact_mask() then reconstruct_ndarray(), in one pass over the
// bytes that draws each run as it arrives, without a decoded model in
// between. The outcome is that of the two steps in sequence: std::nullopt for
// bytes that do not decode (whatever else is wrong with the record), then the
// same Panic or std::bad_alloc. The second form returns v / 255 for each
// level v, as to_unit_floats() would.
std::optional<Mask8> decode_and_reconstruct(std::span<const std::uint8_t> bytes, std::uint64_t width,
                                            std::uint64_t height);
std::optional<UnitFloatImage> decode_and_reconstruct_unit_floats(std::span<const std::uint8_t> bytes,
                                                                 std::uint64_t width, std::uint64_t height);

}  // namespace ostrel
