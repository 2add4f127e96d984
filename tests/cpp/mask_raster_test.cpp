#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <new>
#include <string>
#include <vector>

#include "mask/raster.hpp"
#include "reference/mask_model.hpp"
#include "support/panic.hpp"

// Huge requests must surface as std::bad_alloc under the sanitizers too.
extern "C" __attribute__((visibility("default"), used)) const char* __asan_default_options() { return "allocator_may_return_null=1"; }

namespace ostrel::mask {
namespace {

using Rows = std::vector<std::vector<Run>>;

CompactMaskModel model_of(const Rows& rows) {
    CompactMaskModel model;
    for (const auto& row : rows) {
        model.runs.insert(model.runs.end(), row.begin(), row.end());
        model.row_ends.push_back(model.runs.size());
    }
    return model;
}

constexpr const char* kIndex = "ndarray: index out of bounds";
constexpr const char* kShape = "ndarray: Shape too large, product of non-zero axis lengths overflows isize";

struct RasterCase {
    const char* name;
    std::uint64_t width, height;
    Rows rows;
    std::vector<std::uint8_t> expected;  // row-major
    const char* panic = nullptr;
};

const RasterCase kCases[] = {
    {"example", 5, 2, {{{0, 255}, {3, 0}}, {}}, {255, 255, 255, 0, 0, 0, 0, 0, 0, 0}},
    {"no_rows", 3, 2, {}, {0, 0, 0, 0, 0, 0}},
    {"fewer_rows_than_height", 2, 3, {{{0, 9}}}, {9, 9, 0, 0, 0, 0}},
    {"single_run_fills_row_mod_256", 4, 1, {{{0, 300}}}, {44, 44, 44, 44}},
    {"last_column", 4, 1, {{{3, 7}}}, {0, 0, 0, 7}},
    {"repeated_column", 4, 1, {{{2, 9}, {2, 7}}}, {0, 0, 7, 7}},
    {"column_moves_back", 8, 1, {{{5, 10}, {2, 20}}}, {0, 0, 20, 20, 20, 20, 20, 20}},
    {"zero_overwrites_after_moving_back", 8, 1, {{{5, 10}, {2, 0}}}, {0, 0, 0, 0, 0, 0, 0, 0}},
    {"zero_overwrites_gap", 6, 1, {{{1, 5}, {4, 0}, {2, 0}}}, {0, 5, 0, 0, 0, 0}},
    {"values_256_511_65535", 3, 1, {{{0, 256}, {1, 511}, {2, 65535}}}, {0, 255, 255}},
    {"width_zero_empty_rows", 0, 3, {{}, {}, {}, {}}, {}},
    {"height_zero_no_rows", 5, 0, {}, {}},
    {"width_zero_run", 0, 3, {{{0, 1}}}, {}, kIndex},
    {"empty_row_beyond_height", 4, 2, {{}, {}, {}}, {}, kIndex},
    {"run_row_beyond_height", 4, 1, {{}, {{0, 1}}}, {}, kIndex},
    {"column_equals_width", 4, 1, {{{1, 3}, {4, 1}}}, {}, kIndex},
    {"empty_but_too_large", std::uint64_t{1} << 63, 0, {}, {}, kShape},
    {"too_large", std::uint64_t{1} << 31, std::uint64_t{1} << 32, {}, {}, kShape},
    {"shape_checked_first", std::uint64_t{1} << 63, 0, {{{0, 1}}}, {}, kShape},
};

void PrintTo(const RasterCase& c, std::ostream* os) { *os << c.name; }

class RasterTable : public testing::TestWithParam<RasterCase> {};

TEST_P(RasterTable, Rasterises) {
    const RasterCase& c = GetParam();
    const CompactMaskModel model = model_of(c.rows);
    if (c.panic) {
        try {
            reconstruct_ndarray(model, c.width, c.height);
            FAIL() << "expected a panic";
        } catch (const Panic& p) {
            EXPECT_EQ(p.message, c.panic);
        }
        return;
    }
    const Mask8 mask = reconstruct_ndarray(model, c.width, c.height);
    EXPECT_EQ(mask.width, c.width);
    EXPECT_EQ(mask.height, c.height);
    EXPECT_EQ(std::vector<std::uint8_t>(mask.data.begin(), mask.data.end()), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, RasterTable, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Raster, UnobtainableMemoryIsBadAlloc) {
    // Representable as a shape, but no machine has the memory.
    EXPECT_THROW(reconstruct_ndarray(model_of({}), (std::uint64_t{1} << 32) - 1, std::uint64_t{1} << 31),
                 std::bad_alloc);
}

}  // namespace
}  // namespace ostrel::mask
