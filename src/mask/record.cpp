// The record drawn as it is read: the reader's rows and runs handed straight
// to a Canvas of 8-bit values or of the module's floats.
#include "mask/record.hpp"

#include <cstddef>
#include <utility>

namespace ostrel::mask {
namespace {

// Draws the rows into a canvas as they arrive. Without a mask to draw into
// (a shape too large, or memory that cannot be had) the bytes are still read
// through, so that a record that does not decode is reported as such first.
template <class T>
std::optional<Buffer<T>> draw_record(std::span<const std::uint8_t> bytes, std::uint64_t width, std::uint64_t height,
                                     const T (&palette)[256]) {
    Canvas<T> canvas(width, height, palette);
    if (!RecordReader(bytes, canvas).read()) return std::nullopt;
    return canvas.finish();
}

}  // namespace

std::optional<Mask8> decode_and_reconstruct(std::span<const std::uint8_t> bytes, std::uint64_t width,
                                            std::uint64_t height) {
    std::optional<Buffer<std::uint8_t>> data = draw_record(bytes, width, height, kIdentityPalette.cells);
    if (!data) return std::nullopt;
    return Mask8{width, height, std::move(*data)};
}

std::optional<UnitFloatImage> decode_and_reconstruct_unit_floats(std::span<const std::uint8_t> bytes,
                                                                 std::uint64_t width, std::uint64_t height) {
    std::optional<Buffer<float>> data = draw_record(bytes, width, height, kUnitFloatPalette.cells);
    if (!data) return std::nullopt;
    return UnitFloatImage{width, height, std::move(*data)};
}

}  // namespace ostrel::mask
