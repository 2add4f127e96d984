// Resampling of an 8-bit mask by a scale factor with a named filter, and the
// conversion of mask values to floats in [0, 1].
//
// Results are fixed to the bit: every weight and every pixel is computed in
// single precision, one rounded operation at a time, in a fixed order.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "mask/raster.hpp"
#include "support/buffer.hpp"
#include "support/simd.hpp"

namespace ostrel::mask {

enum class FilterType { Nearest, Linear, CatmullRom, Gaussian };

// Exact, case-sensitive names; anything unrecognised selects Linear.
FilterType filter_from_name(std::string_view name);

// The size an axis of n pixels takes at scale s: f32(n) * s rounded to single
// precision, truncated, and saturated to [0, 4294967295] (NaN gives 0).
std::uint32_t scaled_size(std::uint64_t n, float scale);

// Resamples to (scaled_size(height), scaled_size(width)): vertical pass into a
// float image, then horizontal pass with clamping and rounding half away from
// zero to an 8-bit value v, written as v / 255. Unchanged sizes copy the mask;
// an empty mask gives zeros. Fails only with std::bad_alloc, when the sizes
// involved cannot be allocated. `path` picks the vector kernels of both
// passes; every path gives the same bits.
UnitFloatImage resize_to_unit_floats(const Mask8& mask, float scale, FilterType filter,
                                     SimdPath path = best_simd_path());

// An upper bound on the bytes a resize of a (height, width) mask holds at
// once, the result included and the mask or its runs not, on the dense
// passes (resize_to_unit_floats) and on the runs (runs.hpp), for the refusal
// of a call that cannot fit before its result is made; saturates at
// kUnlimitedBytes. Any change to either resampler's buffers must keep it a
// bound.
std::uint64_t resize_memory_bound(std::uint64_t width, std::uint64_t height, float scale, FilterType filter);

}  // namespace ostrel::mask
