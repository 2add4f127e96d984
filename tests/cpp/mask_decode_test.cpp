#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "mask/record.hpp"

namespace ostrel {
namespace {

using Rows = std::vector<std::vector<Run>>;

std::vector<std::uint8_t> hex(const std::string& text) {
    std::vector<std::uint8_t> out;
    std::istringstream in(text);
    std::string byte;
    while (in >> byte) out.push_back(static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16)));
    return out;
}

std::optional<Rows> decode(const std::vector<std::uint8_t>& bytes) {
    auto model = decode_compact_mask(bytes);
    if (!model) return std::nullopt;
    Rows rows;
    for (std::size_t i = 0; i < model->row_count(); ++i) {
        auto row = model->row(i);
        rows.emplace_back(row.begin(), row.end());
    }
    return rows;
}

struct DecodeCase {
    const char* name;
    const char* bytes;
    std::optional<Rows> expected;  // nullopt: rejected
};

const Rows kNoRows{};
const Rows kExample{{{0, 255}, {3, 0}}, {}};
Rows one_run(std::uint16_t c, std::uint16_t v) { return {{{c, v}}}; }

const DecodeCase kCases[] = {
    {"example", "91 92 92 92 00 CC FF 92 03 00 90", kExample},
    {"trailing_bytes_ignored", "91 92 92 92 00 CC FF 92 03 00 90 C1 FF 00", kExample},
    {"empty_data", "91 90", kNoRows},
    {"empty_bin_data", "91 C4 00", kNoRows},
    {"array16_array32", "DC 00 01 DD 00 00 00 01 C5 00 00", Rows{{}}},
    {"map_str_key", "81 A4 64 61 74 61 90", kNoRows},
    {"map_bin_key", "81 C4 04 64 61 74 61 90", kNoRows},
    {"map_str8_key", "DE 00 01 D9 04 64 61 74 61 90", kNoRows},
    {"map_int_key", "81 00 90", kNoRows},
    {"map_uint8_key", "81 CC 00 90", kNoRows},
    {"map_extra_entry_after", "82 A4 64 61 74 61 90 A1 78 C0", kNoRows},
    {"map_extra_entries_before", "83 05 C0 A2 FF FE 92 81 C0 C3 D4 01 02 A4 64 61 74 61 90", kNoRows},
    {"uint16_max", "91 91 91 92 CD FF FF CD FF FF", one_run(65535, 65535)},
    {"uint64_in_range", "91 91 91 92 CF 00 00 00 00 00 00 FF FF 00", one_run(65535, 0)},
    {"signed_in_range", "91 91 91 92 D0 05 D1 00 07", one_run(5, 7)},
    {"int64_in_range", "91 91 91 92 D3 00 00 00 00 00 00 FF FF D2 00 00 00 01", one_run(65535, 1)},
    {"bin_run", "91 91 91 C4 03 05 07 09", one_run(5, 7)},
    {"empty_input", "", std::nullopt},
    {"reserved_marker", "C1", std::nullopt},
    {"reserved_marker_inside", "91 C1", std::nullopt},
    {"empty_record_array", "90", std::nullopt},
    {"two_element_record", "92 90 90", std::nullopt},
    {"bin_record", "C4 00", std::nullopt},
    {"nil_record", "C0", std::nullopt},
    {"empty_map", "80", std::nullopt},
    {"map_two_data", "82 A4 64 61 74 61 90 A4 64 61 74 61 90", std::nullopt},
    {"map_key_case", "81 A4 44 61 74 61 90", std::nullopt},
    {"map_key_int8_zero", "81 D0 00 90", std::nullopt},
    {"map_key_negative", "81 FF 90", std::nullopt},
    {"map_key_nil", "81 C0 90", std::nullopt},
    {"map_key_array", "81 90 90", std::nullopt},
    {"map_key_float", "81 CA 00 00 00 00 90", std::nullopt},
    {"map_key_ext", "81 D4 00 00 90", std::nullopt},
    {"data_nil", "91 C0", std::nullopt},
    {"data_map", "91 80", std::nullopt},
    {"data_str", "91 A0", std::nullopt},
    {"data_bin_nonempty", "91 C4 01 00", std::nullopt},
    {"data_ext", "91 D4 00 00", std::nullopt},
    {"row_nil", "91 91 C0", std::nullopt},
    {"row_bin_nonempty", "91 91 C4 01 05", std::nullopt},
    {"run_bin_short", "91 91 91 C4 01 05", std::nullopt},
    {"run_three", "91 91 91 93 00 00 00", std::nullopt},
    {"run_one", "91 91 91 91 00", std::nullopt},
    {"run_empty", "91 91 91 90", std::nullopt},
    {"uint32_too_big", "91 91 91 92 CE 00 01 00 00 00", std::nullopt},
    {"uint64_too_big", "91 91 91 92 00 CF 00 00 00 00 00 01 00 00", std::nullopt},
    {"int32_too_big", "91 91 91 92 D2 00 01 00 00 00", std::nullopt},
    {"negative_fixint", "91 91 91 92 FF 00", std::nullopt},
    {"int16_negative", "91 91 91 92 00 D1 FF FF", std::nullopt},
    {"float_value", "91 91 91 92 CA 3F 80 00 00 00", std::nullopt},
    {"bool_value", "91 91 91 92 00 C3", std::nullopt},
    {"truncated_run", "91 92 92 92 00 CC", std::nullopt},
    {"truncated_skipped_bin", "82 A1 78 C4 05 00 01", std::nullopt},
    {"huge_rows_short_input", "91 DD FF FF FF FF 90 90", std::nullopt},
    {"huge_runs_short_input", "91 91 DD FF FF FF FF 92 00 00", std::nullopt},
    {"huge_map_short_input", "DF FF FF FF FF A4 64 61 74 61 90", std::nullopt},
    {"late_malformed_byte", "91 93 91 92 00 01 91 92 00 01 91 92 00 C1", std::nullopt},
};

void PrintTo(const DecodeCase& c, std::ostream* os) { *os << c.name; }

class DecodeTable : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTable, AcceptsOrRejects) {
    EXPECT_EQ(decode(hex(GetParam().bytes)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Bytes, DecodeTable, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A skipped map value nested `levels` deep below the record map (level 1),
// ending in `leaf`.
std::vector<std::uint8_t> nested_skip(std::size_t levels, std::vector<std::uint8_t> leaf) {
    std::vector<std::uint8_t> out = hex("82 A1 78");
    out.insert(out.end(), levels - 2, 0x91);
    out.insert(out.end(), leaf.begin(), leaf.end());
    for (std::uint8_t b : hex("A4 64 61 74 61 90")) out.push_back(b);
    return out;
}

TEST(DecodeDepth, LimitIsAThousandAndTwentyThreeLevels) {
    EXPECT_TRUE(decode(nested_skip(1023, {0x90})));
    EXPECT_FALSE(decode(nested_skip(1024, {0x90})));
    EXPECT_TRUE(decode(nested_skip(1023, {0x80})));
    EXPECT_FALSE(decode(nested_skip(1024, {0x80})));
    // An ext value counts as a level of its own.
    EXPECT_TRUE(decode(nested_skip(1023, {0xD4, 0x00, 0x00})));
    EXPECT_FALSE(decode(nested_skip(1024, {0xD4, 0x00, 0x00})));
}

TEST(DecodeDepth, VeryDeepNestingIsRejectedWithoutExhaustingTheStack) {
    EXPECT_FALSE(decode(std::vector<std::uint8_t>(100000, 0x91)));
    EXPECT_FALSE(decode(nested_skip(200000, {0x90})));
}

TEST(DecodeGrowth, ListsLongerThanTheReservationGrowAsElementsArrive) {
    // 50000 empty rows, then one row of 300000 runs (4-byte bins).
    std::vector<std::uint8_t> bytes = hex("91 DD 00 00 C3 51");
    bytes.insert(bytes.end(), 50000, 0x90);
    for (std::uint8_t b : hex("DD 00 04 93 E0")) bytes.push_back(b);
    for (int i = 0; i < 300000; ++i) {
        for (int b : {0xC4, 0x02, i & 0xFF, 7}) bytes.push_back(static_cast<std::uint8_t>(b));
    }
    auto model = decode_compact_mask(bytes);
    ASSERT_TRUE(model);
    ASSERT_EQ(model->row_count(), 50001u);
    EXPECT_TRUE(model->row(49999).empty());
    auto last = model->row(50000);
    ASSERT_EQ(last.size(), 300000u);
    EXPECT_EQ(last[299999], (ostrel::Run{299999 & 0xFF, 7}));
}

}  // namespace
}  // namespace ostrel
