// libFuzzer harness for the mask core: decoding, rasterisation, resizing and
// the conversion to floats, with what each step promises checked on the way.
// The module's record reader is held to a MessagePack library's decoding of
// the same bytes (msgpack_oracle.hpp) and to the drawing rule written plainly,
// and its resize from the record's runs to the dense passes over the drawn
// mask, bit for bit on every SIMD path.
//
// Input layout (little-endian):
//   byte 0      bit 0: resize; bits 1-2: filter (nearest, linear, cubic, gaussian)
//   bytes 1-2   width
//   bytes 3-4   height
//   bytes 5-8   scale factor, as the bits of an f32
//   bytes 9..   the record, with whatever follows it
//
// Sizes are bounded here so that a run exercises the code's logic rather than
// the machine's memory and time: the mask keeps at most kMaxCells cells, and
// a resize is skipped when its output or intermediate image would pass
// kMaxResized, or the products its two passes sum would pass kMaxTapsSummed.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "mask/record.hpp"
#include "mask/resize.hpp"
#include "mask/runs.hpp"
#include "mask/taps.hpp"
#include "msgpack_oracle.hpp"
#include "reference/mask_model.hpp"
#include "support/panic.hpp"

namespace {

using namespace ostrel;
using namespace ostrel::mask;

constexpr std::uint64_t kMaxCells = std::uint64_t{1} << 16;
constexpr std::uint64_t kMaxResized = std::uint64_t{1} << 18;
// An input is resized eight times here (twice on each path, and for the
// reference), each tap under the sanitizers' checks of every comparison: a
// million taps a resize keep an input to a few seconds on a loaded machine.
constexpr std::uint64_t kMaxTapsSummed = std::uint64_t{1} << 20;
constexpr std::size_t kHeaderBytes = 9;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "mask fuzzer: %s\n", what);
    std::abort();
}

void check(bool ok, const char* what) {
    if (!ok) fail(what);
}

std::uint16_t u16_at(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

float f32_at(const std::uint8_t* p) {
    return std::bit_cast<float>(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                                std::uint32_t{p[3]} << 24);
}

// The rasterisation rule written plainly, one cell at a time: nothing when
// the model does not fit the shape.
std::optional<std::vector<std::uint8_t>> naive_raster(const CompactMaskModel& model, std::uint64_t width,
                                                      std::uint64_t height) {
    std::vector<std::uint8_t> cells(static_cast<std::size_t>(width * height), 0);
    for (std::size_t i = 0; i < model.row_count(); ++i) {
        const std::span<const Run> runs = model.row(i);
        if (runs.empty()) {
            if (width != 0 && i >= height) return std::nullopt;
            continue;
        }
        if (i >= height) return std::nullopt;
        for (std::size_t k = 0; k < runs.size(); ++k) {
            if (runs[k].column >= width) return std::nullopt;
        }
        // Each run fills from its column to the next run's column and the last
        // one to the edge; the gap before a run carries the previous value, and
        // a run at or left of an earlier one's column overwrites just its cell.
        std::uint64_t next = 0;
        std::uint8_t carried = 0;
        std::uint8_t* row = cells.data() + i * width;
        for (const Run& run : runs) {
            for (std::uint64_t c = next; c < run.column; ++c) row[c] = carried;
            carried = static_cast<std::uint8_t>(run.value & 0xFF);
            row[run.column] = carried;
            next = std::uint64_t{run.column} + 1;
        }
        for (std::uint64_t c = next; c < width; ++c) row[c] = carried;
    }
    return cells;
}

void check_model(const CompactMaskModel& model) {
    std::size_t previous = 0;
    for (std::size_t end : model.row_ends) {
        check(end >= previous && end <= model.runs.size(), "row ends out of order");
        previous = end;
    }
    if (!model.row_ends.empty()) check(model.row_ends.back() == model.runs.size(), "runs outside every row");
}

bool same_floats(const Buffer<float>& a, const Buffer<float>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

void check_resize(const Mask8& mask, const RunMask& runs, float scale, FilterType filter) {
    const std::uint64_t w_out = scaled_size(mask.width, scale);
    const std::uint64_t h_out = scaled_size(mask.height, scale);
    if (w_out * h_out > kMaxResized || mask.width * h_out > kMaxResized) return;
    // Each output row sums at most most_taps() rows over every source column,
    // each output column at most most_taps() columns over every output row.
    if (w_out != 0 && h_out != 0) {
        const taps::Filter kernel = taps::filter_of(filter);
        const std::uint64_t rows = taps::Axis(mask.height, h_out, kernel).most_taps();
        const std::uint64_t columns = taps::Axis(mask.width, w_out, kernel).most_taps();
        if (mask.width * h_out * rows + w_out * h_out * columns > kMaxTapsSummed) return;
    }

    // The module resizes straight into floats, each an 8-bit value divided by
    // 255; the reference reads the values back, and refuses any other float.
    const Mask8 out = resize(mask, scale, filter);
    check(out.width == w_out && out.height == h_out, "resized shape");
    check(out.data.size() == w_out * h_out, "resized buffer size");
    const UnitFloatImage floats = resize_to_unit_floats(mask, scale, filter);
    check(floats.width == w_out && floats.height == h_out, "resized float shape");
    // Every SIMD path runs the same sums in the same order.
    for (SimdPath path : available_simd_paths()) {
        check(same_floats(resize_to_unit_floats(mask, scale, filter, path).data, floats.data),
              "a SIMD path's resize differs from the default path's");
        const UnitFloatImage from_runs = resize_to_unit_floats(runs, plan_resize(runs.width, runs.height, scale, filter, &runs), path);
        check(from_runs.width == w_out && from_runs.height == h_out, "shape of the resize from runs");
        check(same_floats(from_runs.data, floats.data), "the resize from runs differs from the dense passes");
    }
    if (out.data.empty()) return;
    if (mask.data.empty()) {
        check(std::all_of(out.data.begin(), out.data.end(), [](std::uint8_t v) { return v == 0; }),
              "an empty mask resizes to zeros");
        return;
    }
    if (w_out == mask.width && h_out == mask.height) {
        check(std::equal(out.data.begin(), out.data.end(), mask.data.begin()), "unchanged size copies");
        return;
    }
    // Every kernel but the cubic has non-negative weights that sum to one, so
    // each output value stays between the smallest and largest input values.
    if (filter != FilterType::CatmullRom) {
        const auto [lo, hi] = std::minmax_element(mask.data.begin(), mask.data.end());
        for (std::uint8_t v : out.data) check(v >= *lo && v <= *hi, "resized value outside the input's range");
    }
}

template <class Step>
std::optional<std::string> panic_of(Step&& step) {
    try {
        step();
    } catch (const Panic& panic) {
        return panic.message;
    }
    return std::nullopt;
}

void run(const std::uint8_t* data, std::size_t size) {
    const std::uint8_t flags = data[0];
    const std::uint64_t width = u16_at(data + 1);
    std::uint64_t height = u16_at(data + 3);
    if (width * height > kMaxCells) height = kMaxCells / width;
    const float scale = f32_at(data + 5);
    const bool resizing = flags & 1;
    const auto filter = static_cast<FilterType>((flags >> 1) & 3);
    const std::span<const std::uint8_t> record(data + kHeaderBytes, size - kHeaderBytes);

    // The module decodes and draws in one pass; it must end exactly as the
    // two steps in sequence do: the same refusal, internal error or values.
    std::optional<Mask8> fused;
    std::optional<UnitFloatImage> fused_floats;
    const auto fused_panic = panic_of([&] { fused = decode_and_reconstruct(record, width, height); });
    const auto fused_floats_panic =
        panic_of([&] { fused_floats = decode_and_reconstruct_unit_floats(record, width, height); });
    std::optional<RunMask> runs;
    const auto runs_panic = panic_of([&] { runs = decode_runs(record, width, height); });

    const std::optional<CompactMaskModel> model = decode_compact_mask(record);
    const std::optional<CompactMaskModel> truth = oracle::decode(record);
    check(model.has_value() == truth.has_value(), "the reader and the library disagree on accepting");
    if (!model) {
        check(!fused_panic && !fused && !fused_floats_panic && !fused_floats, "one pass accepted a bad record");
        check(!runs_panic && !runs, "the runs' reader accepted a bad record");
        return;
    }
    check_model(*model);
    check(model->runs == truth->runs && model->row_ends == truth->row_ends,
          "the reader decodes differently from the library");

    const std::optional<std::vector<std::uint8_t>> expected = naive_raster(*truth, width, height);
    Mask8 mask;
    const auto panic = panic_of([&] { mask = reconstruct_ndarray(*model, width, height); });
    check(panic == fused_panic && panic == fused_floats_panic, "one pass and the steps end differently");
    check(panic == runs_panic, "the runs' reader and the steps end differently");
    if (panic) {
        check(!expected, "rasterisation refused a model that fits");
        check(*panic == "ndarray: index out of bounds", "unexpected internal error");
        return;
    }
    check(expected.has_value(), "rasterisation accepted a model that does not fit");
    check(mask.width == width && mask.height == height && mask.data.size() == expected->size(), "mask shape");
    check(std::equal(mask.data.begin(), mask.data.end(), expected->begin()), "mask differs from the rule");

    check(fused && fused->width == width && fused->height == height, "one-pass mask shape");
    check(std::equal(mask.data.begin(), mask.data.end(), fused->data.begin(), fused->data.end()),
          "one-pass mask differs");
    const Buffer<float> values = to_unit_floats(mask.data.span());
    for (std::size_t i = 0; i < values.size(); ++i) {
        check(values[i] == static_cast<float>(mask.data[i]) / 255.0f, "float value");
    }
    check(fused_floats && fused_floats->width == width && fused_floats->height == height, "one-pass float shape");
    check(same_floats(values, fused_floats->data), "one-pass floats differ");

    check(runs.has_value(), "the runs' reader refused a mask that fits");
    if (resizing) check_resize(mask, *runs, scale, filter);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kHeaderBytes) return -1;
    try {
        run(data, size);
    } catch (const Panic& panic) {
        std::fprintf(stderr, "mask fuzzer: unexpected internal error: %s\n", panic.message.c_str());
        std::abort();
    } catch (const std::bad_alloc&) {
        fail("out of memory within the harness's size bounds");
    }
    return 0;
}
