// The resize from runs against the dense passes over the drawn mask, bit for
// bit, on every SIMD path: masks from one constant to noise, scales that
// shrink and grow by periodic and irregular factors, every filter.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "every_simd_path.hpp"
#include "mask/record.hpp"
#include "mask/resize.hpp"

namespace ostrel::mask {
namespace {

void put_header(std::vector<std::uint8_t>& out, std::size_t n) {
    if (n < 16) {
        out.push_back(static_cast<std::uint8_t>(0x90 | n));
    } else {
        out.insert(out.end(), {0xDC, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
    }
}

void put_number(std::vector<std::uint8_t>& out, unsigned v) {
    if (v < 128) {
        out.push_back(static_cast<std::uint8_t>(v));
    } else {
        out.insert(out.end(), {0xCD, static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
    }
}

using Row = std::vector<std::pair<unsigned, unsigned>>;

std::vector<std::uint8_t> record_of(const std::vector<Row>& rows) {
    std::vector<std::uint8_t> out{0x91};
    put_header(out, rows.size());
    for (const Row& row : rows) {
        put_header(out, row.size());
        for (auto [column, value] : row) {
            out.push_back(0x92);
            put_number(out, column);
            put_number(out, value);
        }
    }
    return out;
}

// A row's runs: a new run wherever the value changes.
Row runs_of(const std::vector<std::uint8_t>& values) {
    Row row;
    for (unsigned c = 0; c < values.size(); ++c) {
        if (c == 0 || values[c] != values[c - 1]) row.emplace_back(c, values[c]);
    }
    return row;
}

enum class Structure { Constant, HardBlob, SoftBlob, BlockEdges, Noise, NoiseBand, NoiseBelow, Scribble };

std::vector<Row> rows_of(Structure s, unsigned w, unsigned h) {
    std::mt19937 rng(w * 7919 + h);
    std::vector<Row> rows;
    for (unsigned y = 0; y < h; ++y) {
        std::vector<std::uint8_t> v(w);
        for (unsigned x = 0; x < w; ++x) {
            // Distance from an ellipse that crosses the top and left edges.
            const float d = std::hypot((x - 0.3f * w) / (0.5f * w), (y - 0.3f * h) / (0.5f * h)) - 1.0f;
            switch (s) {
            case Structure::Constant: v[x] = 200; break;
            case Structure::HardBlob: v[x] = d <= 0 ? 255 : 0; break;
            case Structure::SoftBlob:
                v[x] = static_cast<std::uint8_t>(std::clamp(std::round(255 * (0.5f - d * 6)), 0.0f, 255.0f));
                break;
            // Boundaries on the source rows and columns where blocks of 16
            // output rows begin at scales 0.5, 1 and 2.
            case Structure::BlockEdges: v[x] = ((y / 8) % 2 == 1) != ((x / 16) % 2 == 1) ? 255 : 0; break;
            case Structure::Noise: v[x] = static_cast<std::uint8_t>(rng()); break;
            // Noise in a band of columns narrow enough that the mask stays runs.
            case Structure::NoiseBand: v[x] = x >= w / 2 && x < w / 2 + w / 8 ? static_cast<std::uint8_t>(rng()) : d <= 0 ? 255 : 0; break;
            // Noisy rows after enough smooth ones that the mask stays runs.
            case Structure::NoiseBelow: v[x] = y >= h - 6 ? static_cast<std::uint8_t>(rng()) : d <= 0 ? 255 : 0; break;
            case Structure::Scribble: break;
            }
        }
        if (s != Structure::Scribble) {
            rows.push_back(runs_of(v));
            continue;
        }
        // Runs in any order, by the rule: values above 255 and columns that
        // step back included.
        Row row;
        for (unsigned k = rng() % 6; k > 0; --k) row.emplace_back(rng() % w, rng() % 600);
        rows.push_back(row);
    }
    return rows;
}

struct Case {
    Structure structure;
    unsigned width, height;
    bool drawn = false;  // whether the mask is kept drawn rather than as runs
};

class RunResize : public testing::TestWithParam<std::tuple<Case, SimdPath>> {};

TEST_P(RunResize, MatchesTheDensePassesBitForBit) {
    const auto [c, path] = GetParam();
    const std::vector<std::uint8_t> record = record_of(rows_of(c.structure, c.width, c.height));
    const std::optional<Mask8> drawn = decode_and_reconstruct(record, c.width, c.height);
    const std::optional<RunMask> runs = decode_runs(record, c.width, c.height);
    ASSERT_TRUE(drawn && runs);
    ASSERT_EQ(runs->drawn.has_value(), c.drawn);
    for (float scale : {0.5f, 2.0f, 1.0f, 0.3f, 1.7f, 0.06f, 1.25f}) {
        for (FilterType f : {FilterType::Nearest, FilterType::Linear, FilterType::CatmullRom, FilterType::Gaussian}) {
            const UnitFloatImage want = resize_to_unit_floats(*drawn, scale, f, path);
            const UnitFloatImage got = resize_to_unit_floats(*runs, plan_resize(runs->width, runs->height, scale, f, &*runs), path);
            ASSERT_EQ(got.width, want.width);
            ASSERT_EQ(got.height, want.height);
            ASSERT_EQ(got.data.size(), want.data.size());
            for (std::size_t i = 0; i < want.data.size(); ++i) {
                ASSERT_EQ(std::bit_cast<std::uint32_t>(got.data[i]), std::bit_cast<std::uint32_t>(want.data[i]))
                    << "scale " << scale << " filter " << static_cast<int>(f) << " at row " << i / want.width
                    << " column " << i % want.width;
            }
        }
    }
}

const Case kCases[] = {
    // Fewer output rows than a block and more columns than a strip: strips
    // past the blob read only zeros.
    {Structure::HardBlob, 1500, 6},
    {Structure::Constant, 70, 45},    {Structure::HardBlob, 70, 45},  {Structure::HardBlob, 300, 9},
    {Structure::SoftBlob, 70, 45},    {Structure::SoftBlob, 37, 100, true}, {Structure::BlockEdges, 64, 64},
    {Structure::Noise, 70, 45, true}, {Structure::NoiseBand, 90, 45}, {Structure::NoiseBelow, 90, 70},
    {Structure::Scribble, 50, 40},
    // One run a row is 12 bytes as runs against 4 pixels: drawn.
    {Structure::Constant, 4, 64, true},
    // At 0.06 a block reads some 270 source rows of a tile of 512 columns,
    // more than kDrawnRowBytes: they are drawn a group at a time.
    {Structure::SoftBlob, 600, 300},
};

std::string case_name(const testing::TestParamInfo<std::tuple<Case, SimdPath>>& info) {
    static const char* const kNames[] = {"constant", "hard",       "soft",       "block_edges",
                                         "noise",    "noise_band", "noise_below", "scribble"};
    const Case& c = std::get<0>(info.param);
    return std::string(kNames[static_cast<int>(c.structure)]) + "_" + std::to_string(c.width) + "x" +
           std::to_string(c.height) + "_" + simd_path_name(std::get<1>(info.param));
}

// Three rows of one run in a 120000 x 120000 mask, reduced to 12 x 12: the
// resize needs memory for what it reads, not for the 14 GB drawn mask.
TEST(RunResizePlan, ASparseMaskNeedsMemoryForItsRunsAlone) {
    std::vector<std::uint8_t> record{0x91, 0xDC, 0x00, 0x03};
    for (int r = 0; r < 3; ++r) record.insert(record.end(), {0x91, 0x92, 0xCD, 0x03, 0xE8, 0xCC, 0xFF});
    const std::optional<RunMask> runs = decode_runs(record, 120000, 120000);
    ASSERT_TRUE(runs && !runs->drawn);
    const ResizePlan plan = plan_resize(runs->width, runs->height, 0.0001f, FilterType::Linear, &*runs);
    EXPECT_LT(plan.memory_bound, std::uint64_t{64} << 20);
    const UnitFloatImage out = resize_to_unit_floats(*runs, plan);
    EXPECT_EQ(out.width, 12u);
    EXPECT_EQ(out.height, 12u);
}

// A block whose runs change every few columns is summed from its rows drawn
// across the width: walking its short calm stretches, and drawing the tiles
// between them, costs more. Long stretches are walked, the more so for wide
// windows, and the nearest filter's reductions are never drawn whole.
TEST(RunResizePlan, BlocksWithShortCalmStretchesAreDrawn) {
    const auto every = [](std::uint64_t period, std::uint64_t width) {
        return [=](std::uint64_t from) { return std::min((from + period - 1) / period * period, width); };
    };
    const struct {
        std::uint64_t width, period;
        float scale;
        FilterType filter;
        bool drawn;
    } cases[] = {
        {801, 7, 2.0f, FilterType::CatmullRom, true},   {801, 7, 1.5f, FilterType::Linear, true},
        {801, 7, 2.0f, FilterType::Nearest, true},
        {1920, 30, 2.0f, FilterType::Linear, true},     {1920, 200, 2.0f, FilterType::Linear, false},
        {1920, 30, 4.0f, FilterType::Gaussian, false},  {801, 7, 0.5f, FilterType::CatmullRom, true},
        {801, 200, 0.5f, FilterType::CatmullRom, false}, {801, 7, 0.5f, FilterType::Nearest, false},
    };
    for (const auto& c : cases) {
        RunMask runs;
        runs.width = c.width;
        runs.height = 1000;
        const ResizePlan plan = plan_resize(c.width, 1000, c.scale, c.filter, &runs);
        const bool drawn = plan.buffers.block_rows != 0 && calm_stretches_are_short(plan, kBlockRows, every(c.period, c.width));
        EXPECT_EQ(drawn, c.drawn) << c.width << " every " << c.period << " at " << c.scale;
    }
}

INSTANTIATE_TEST_SUITE_P(Masks, RunResize,
                         testing::Combine(testing::ValuesIn(kCases), testing::ValuesIn(simd_paths_to_test())),
                         case_name);

}  // namespace
}  // namespace ostrel::mask
