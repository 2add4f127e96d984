// Reference models of the mask path, for the C++ tests and the fuzzer: the
// record decoded into a plain model of rows and runs, that model drawn into an
// 8-bit mask, the conversion to floats, and the resize's 8-bit values. The
// module runs none of them: it draws runs as the reader meets them and resizes
// straight into floats, and the tests hold it to these steps.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "mask/raster.hpp"
#include "mask/record.hpp"
#include "mask/resize.hpp"
#include "support/buffer.hpp"

namespace ostrel::mask {

// Where a new value begins along a row, not a length: the value holds from
// `column` up to the next run's column (or the right edge).
struct Run {
    std::uint16_t column;
    std::uint16_t value;

    friend bool operator==(const Run&, const Run&) = default;
};

// Rows are stored flat: row i is runs[(i ? row_ends[i-1] : 0) .. row_ends[i]).
struct CompactMaskModel {
    std::vector<Run> runs;
    std::vector<std::size_t> row_ends;

    std::size_t row_count() const { return row_ends.size(); }
    std::span<const Run> row(std::size_t i) const {
        const std::size_t begin = i == 0 ? 0 : row_ends[i - 1];
        return std::span<const Run>(runs).subspan(begin, row_ends[i] - begin);
    }
};

// Keeps the rows as a model. Declared lengths are not trusted for memory: at
// most 1 MiB of elements is reserved ahead of their arrival, the rest grows
// as elements come in.
class ModelSink {
public:
    struct Row {};

    CompactMaskModel model;

    void begin_rows(std::uint64_t declared) {
        model.row_ends.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(declared, kMaxReservedRows)));
    }

    // Runs of all rows share one vector; growing it geometrically keeps many
    // small rows from reallocating once each.
    Row begin_row(std::uint64_t declared) {
        std::vector<Run>& runs = model.runs;
        const std::size_t wanted =
            runs.size() + static_cast<std::size_t>(std::min<std::uint64_t>(declared, kMaxReservedRuns));
        if (wanted > runs.capacity()) runs.reserve(std::max(wanted, 2 * runs.capacity()));
        return {};
    }

    void run(Row&, std::uint16_t column, std::uint16_t value) { model.runs.push_back(Run{column, value}); }
    void end_row(Row&) { model.row_ends.push_back(model.runs.size()); }

private:
    // Rows are budgeted as three machine words each, the footprint of a row
    // held as a list of its own, which keeps the budget valid whatever the layout.
    static constexpr std::size_t kReserveBytes = std::size_t{1} << 20;
    static constexpr std::size_t kMaxReservedRows = kReserveBytes / 24;
    static constexpr std::size_t kMaxReservedRuns = kReserveBytes / sizeof(Run);
};

// The record as a model; std::nullopt for every malformed or mistyped input.
inline std::optional<CompactMaskModel> decode_compact_mask(std::span<const std::uint8_t> bytes) {
    ModelSink sink;
    if (!RecordReader(bytes, sink).read()) return std::nullopt;
    return std::move(sink.model);
}

// The model drawn into a zero-filled (height, width) mask by the module's
// rasterisation rule, with its errors.
inline Mask8 reconstruct_ndarray(const CompactMaskModel& model, std::uint64_t width, std::uint64_t height) {
    Canvas<std::uint8_t> canvas(width, height, kIdentityPalette.cells);
    for (std::size_t i = 0; i < model.row_count(); ++i) {
        const std::span<const Run> runs = model.row(i);
        auto pen = canvas.begin_row(runs.size());
        for (const Run& run : runs) canvas.run(pen, run.column, run.value);
        canvas.end_row(pen);
    }
    return Mask8{width, height, canvas.finish()};
}

// v / 255 in single precision for each value, in order.
inline Buffer<float> to_unit_floats(std::span<const std::uint8_t> values) {
    Buffer<float> out = Buffer<float>::uninitialised(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) out[i] = static_cast<float>(values[i]) / 255.0f;
    return out;
}

// The resized mask's 8-bit values: each float of the module's result read back
// as the value v whose v / 255 it is. A float that is no such quotient throws
// std::logic_error.
inline Mask8 resize(const Mask8& mask, float scale, FilterType filter, SimdPath path = best_simd_path()) {
    float quotients[256];
    for (std::size_t v = 0; v < 256; ++v) quotients[v] = static_cast<float>(v) / 255.0f;
    const UnitFloatImage floats = resize_to_unit_floats(mask, scale, filter, path);
    Mask8 out{floats.width, floats.height, Buffer<std::uint8_t>::uninitialised(floats.data.size())};
    for (std::size_t i = 0; i < floats.data.size(); ++i) {
        const float* at = std::lower_bound(std::begin(quotients), std::end(quotients), floats.data[i]);
        if (at == std::end(quotients) || std::bit_cast<std::uint32_t>(*at) != std::bit_cast<std::uint32_t>(floats.data[i])) {
            throw std::logic_error("a resized float is no 8-bit value divided by 255");
        }
        out.data[i] = static_cast<std::uint8_t>(at - quotients);
    }
    return out;
}

}  // namespace ostrel::mask
