// The mask record drawn as it is read: each run goes straight into the mask,
// with no decoded model in between.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "mask/raster.hpp"

namespace ostrel::mask {

// Reads one record from the start of `bytes` (bytes after it are ignored) and
// draws it into a zero-filled (height, width) mask. std::nullopt for bytes
// that do not hold a record, whatever else is wrong with them; then the
// drawing's Panic (kShapeTooLarge, kIndexOutOfBounds) or std::bad_alloc. The
// first form keeps the 8-bit values, for a resize; the second returns v / 255
// for each value v, the module's result.
std::optional<Mask8> decode_and_reconstruct(std::span<const std::uint8_t> bytes, std::uint64_t width,
                                            std::uint64_t height);
std::optional<UnitFloatImage> decode_and_reconstruct_unit_floats(std::span<const std::uint8_t> bytes,
                                                                 std::uint64_t width, std::uint64_t height);

}  // namespace ostrel::mask
