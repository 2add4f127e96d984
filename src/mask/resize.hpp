// Resampling of a mask by a scale factor with a named filter, into the floats
// v / 255 of 8-bit values v, fixed to the bit: every weight and every pixel
// is computed in single precision, one rounded operation at a time, in a
// fixed order.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "mask/plan.hpp"
#include "mask/raster.hpp"
#include "mask/runs.hpp"
#include "mask/taps.hpp"
#include "support/simd.hpp"

namespace ostrel::mask {

// Resamples to (scaled_size(height), scaled_size(width)): vertical pass into
// sums, then horizontal pass with clamping and rounding half away from zero
// to an 8-bit value v, written as v / 255. Unchanged sizes copy the mask; an
// empty mask gives zeros. Fails only with std::bad_alloc, when the sizes
// involved cannot be allocated. `path` picks the vector kernels of both
// passes; every path gives the same bits.
UnitFloatImage resize_to_unit_floats(const Mask8& mask, float scale, FilterType filter,
                                     SimdPath path = best_simd_path());

// That resize, with the same bits as resize_to_unit_floats() of the mask
// drawn; the plan's memory already granted.
UnitFloatImage resize_to_unit_floats(const RunMask& mask, const ResizePlan& plan, SimdPath path = best_simd_path());

// The module's call with a scale: the record read and resized to floats;
// at an unchanged size, decode_and_reconstruct_unit_floats(), the call
// without one.
// std::nullopt for bytes that do not hold a record, whatever else is wrong
// with them; then, as decode_and_reconstruct() reports them,
// Panic(kShapeTooLarge), std::bad_alloc, Panic(kIndexOutOfBounds); then
// std::bad_alloc for a resize whose plan does not fit in the memory at hand,
// refused before its result is made.
std::optional<UnitFloatImage> reconstruct_resized(std::span<const std::uint8_t> bytes, std::uint64_t width,
                                                  std::uint64_t height, float scale, FilterType filter);

}  // namespace ostrel::mask
