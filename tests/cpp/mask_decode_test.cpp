#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "mask/record.hpp"
#include "reference/mask_model.hpp"

namespace ostrel::mask {
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
    EXPECT_EQ(last[299999], (ostrel::mask::Run{299999 & 0xFF, 7}));
}

}  // namespace
}  // namespace ostrel::mask

namespace ostrel::mask {
namespace {

// Each integer encoding at the edges of what a number may hold, in both
// places of a run, with and without bytes after the record (a run near the
// end of the input is read by the careful path, elsewhere by the quick one).
struct NumberCase {
    const char* name;
    const char* bytes;
    std::optional<std::uint16_t> value;  // nullopt: rejected
};

const NumberCase kNumbers[] = {
    {"fixint_0", "00", 0},
    {"fixint_127", "7F", 127},
    {"uint8_0", "CC 00", 0},
    {"uint8_255", "CC FF", 255},
    {"uint16_65535", "CD FF FF", 65535},
    {"uint32_65535", "CE 00 00 FF FF", 65535},
    {"uint32_65536", "CE 00 01 00 00", std::nullopt},
    {"uint32_max", "CE FF FF FF FF", std::nullopt},
    {"uint64_65535", "CF 00 00 00 00 00 00 FF FF", 65535},
    {"uint64_65536", "CF 00 00 00 00 00 01 00 00", std::nullopt},
    {"uint64_high_bits", "CF 01 00 00 00 00 00 00 00", std::nullopt},
    {"uint64_max", "CF FF FF FF FF FF FF FF FF", std::nullopt},
    {"int8_127", "D0 7F", 127},
    {"int8_minus_1", "D0 FF", std::nullopt},
    {"int8_min", "D0 80", std::nullopt},
    {"int16_32767", "D1 7F FF", 32767},
    {"int16_minus_1", "D1 FF FF", std::nullopt},
    {"int32_65535", "D2 00 00 FF FF", 65535},
    {"int32_65536", "D2 00 01 00 00", std::nullopt},
    {"int32_min", "D2 80 00 00 00", std::nullopt},
    {"int64_65535", "D3 00 00 00 00 00 00 FF FF", 65535},
    {"int64_65536", "D3 00 00 00 00 00 01 00 00", std::nullopt},
    {"int64_minus_1", "D3 FF FF FF FF FF FF FF FF", std::nullopt},
    {"negative_fixint_min", "E0", std::nullopt},
    {"float64", "CB 00 00 00 00 00 00 00 00", std::nullopt},
    {"reserved", "C1", std::nullopt},
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.name; }

class NumberEncodings : public testing::TestWithParam<NumberCase> {};

TEST_P(NumberEncodings, ReadAsColumnAndAsValue) {
    const NumberCase& c = GetParam();
    for (const char* tail : {"", " C1 C1 C1 C1 C1 C1 C1 C1"}) {
        for (bool as_column : {true, false}) {
            const std::string run = as_column ? std::string(c.bytes) + " 05" : "05 " + std::string(c.bytes);
            std::optional<Rows> want;
            if (c.value) want = as_column ? one_run(*c.value, 5) : one_run(5, *c.value);
            EXPECT_EQ(decode(hex("91 91 91 92 " + run + tail)), want) << (as_column ? "column" : "value") << tail;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Bytes, NumberEncodings, testing::ValuesIn(kNumbers),
                         [](const auto& info) { return std::string(info.param.name); });

// The other elements in each of their encodings: record and list headers of
// every width, bins in each list position, keys in each width, and values of
// every type read over as unknown entries (a wrong length misaligns the rest).
const Rows kRun12 = one_run(1, 2);
const DecodeCase kElements[] = {
    {"record_array16", "DC 00 01 91 91 92 01 02", kRun12},
    {"record_array32", "DD 00 00 00 01 91 91 92 01 02", kRun12},
    {"record_array16_two", "DC 00 02 90 90", std::nullopt},
    {"record_map16", "DE 00 01 A4 64 61 74 61 91 91 92 01 02", kRun12},
    {"record_map32", "DF 00 00 00 01 A4 64 61 74 61 91 91 92 01 02", kRun12},
    {"record_map16_empty", "DE 00 00", std::nullopt},
    {"rows_array16_runs_array32", "91 DC 00 01 DD 00 00 00 01 92 01 02", kRun12},
    {"data_bin16_empty", "91 C5 00 00", kNoRows},
    {"data_bin32_empty", "91 C6 00 00 00 00", kNoRows},
    {"data_bin16_one", "91 C5 00 01 00", std::nullopt},
    {"row_bin16_empty", "91 91 C5 00 00", Rows{{}}},
    {"row_bin32_empty", "91 91 C6 00 00 00 00", Rows{{}}},
    {"row_bin32_one", "91 91 C6 00 00 00 01 00", std::nullopt},
    {"run_bin8_two", "91 91 91 C4 02 01 02", kRun12},
    {"run_bin16_two", "91 91 91 C5 00 02 01 02", kRun12},
    {"run_bin32_two", "91 91 91 C6 00 00 00 02 01 02", kRun12},
    {"run_bin16_one", "91 91 91 C5 00 01 01", std::nullopt},
    {"run_bin32_cut", "91 91 91 C6 00 00 00 03 01 02", std::nullopt},
    {"key_str8", "81 D9 04 64 61 74 61 91 91 92 01 02", kRun12},
    {"key_str16", "81 DA 00 04 64 61 74 61 91 91 92 01 02", kRun12},
    {"key_str32", "81 DB 00 00 00 04 64 61 74 61 91 91 92 01 02", kRun12},
    {"key_bin16", "81 C5 00 04 64 61 74 61 91 91 92 01 02", kRun12},
    {"key_bin32", "81 C6 00 00 00 04 64 61 74 61 91 91 92 01 02", kRun12},
    {"key_uint16_zero", "81 CD 00 00 91 91 92 01 02", kRun12},
    {"key_uint32_zero", "81 CE 00 00 00 00 91 91 92 01 02", kRun12},
    {"key_uint64_zero", "81 CF 00 00 00 00 00 00 00 00 91 91 92 01 02", kRun12},
    {"key_str16_longer", "82 DA 00 05 64 61 74 61 61 90 00 91 91 92 01 02", kRun12},
    {"key_str32_prefix", "82 DB 00 00 00 03 64 61 74 90 00 91 91 92 01 02", kRun12},
    {"key_uint64_one", "82 CF 00 00 00 00 00 00 00 01 90 00 91 91 92 01 02", kRun12},
    {"key_int64_zero", "81 D3 00 00 00 00 00 00 00 00 90", std::nullopt},
    {"key_str8_cut", "81 D9 04 64 61 74", std::nullopt},
    {"skip_str8", "82 A1 78 D9 02 41 42 00 91 91 92 01 02", kRun12},
    {"skip_str16", "82 A1 78 DA 00 02 41 42 00 91 91 92 01 02", kRun12},
    {"skip_str32", "82 A1 78 DB 00 00 00 02 41 42 00 91 91 92 01 02", kRun12},
    {"skip_bin16", "82 A1 78 C5 00 02 41 42 00 91 91 92 01 02", kRun12},
    {"skip_bin32", "82 A1 78 C6 00 00 00 02 41 42 00 91 91 92 01 02", kRun12},
    {"skip_fixext2", "82 A1 78 D5 07 41 42 00 91 91 92 01 02", kRun12},
    {"skip_fixext4", "82 A1 78 D6 07 41 42 43 44 00 91 91 92 01 02", kRun12},
    {"skip_fixext8", "82 A1 78 D7 07 00 00 00 00 00 00 00 00 00 91 91 92 01 02", kRun12},
    {"skip_fixext16",
     "82 A1 78 D8 07 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 91 91 92 01 02", kRun12},
    {"skip_ext8", "82 A1 78 C7 02 07 41 42 00 91 91 92 01 02", kRun12},
    {"skip_ext16", "82 A1 78 C8 00 02 07 41 42 00 91 91 92 01 02", kRun12},
    {"skip_ext32", "82 A1 78 C9 00 00 00 02 07 41 42 00 91 91 92 01 02", kRun12},
    {"skip_float32", "82 A1 78 CA 00 00 00 00 00 91 91 92 01 02", kRun12},
    {"skip_float64", "82 A1 78 CB 00 00 00 00 00 00 00 00 00 91 91 92 01 02", kRun12},
    {"skip_uint8_int8", "83 A1 78 CC FF A1 79 D0 80 00 91 91 92 01 02", kRun12},
    {"skip_uint16_int16", "83 A1 78 CD FF FF A1 79 D1 80 00 00 91 91 92 01 02", kRun12},
    {"skip_uint32_int32", "83 A1 78 CE FF FF FF FF A1 79 D2 80 00 00 00 00 91 91 92 01 02", kRun12},
    {"skip_uint64_int64",
     "83 A1 78 CF FF FF FF FF FF FF FF FF A1 79 D3 80 00 00 00 00 00 00 00 00 91 91 92 01 02", kRun12},
    {"skip_false_true", "83 A1 78 C2 A1 79 C3 00 91 91 92 01 02", kRun12},
    {"skip_array16_map16", "82 A1 78 DC 00 02 C0 DE 00 01 C0 C0 00 91 91 92 01 02", kRun12},
    {"skip_array32_map32", "82 A1 78 DD 00 00 00 02 C0 DF 00 00 00 01 C0 C0 00 91 91 92 01 02", kRun12},
    {"skip_map_counts_keys_and_values", "82 A1 78 81 C0 00 91 91 92 01 02", std::nullopt},
    {"skip_reserved", "82 A1 78 C1 00 91 91 92 01 02", std::nullopt},
    {"skip_ext32_cut", "82 A1 78 C9 00 00 00 05 07 41 42 00 91 91 92 01 02", std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Elements, DecodeTable, testing::ValuesIn(kElements),
                         [](const auto& info) { return std::string(info.param.name); });

// Every prefix of a record that holds each kind of element is cut short, and
// so is refused, by the model and by drawing alike.
TEST(DecodeTruncation, EveryProperPrefixIsRefused) {
    const std::vector<std::uint8_t> whole = hex(
        "83 A1 78 92 81 C0 DA 00 01 41 C7 01 07 00 CD 01 00 93 D0 05 C5 00 03 01 02 03 C4 00 "
        "A4 64 61 74 61 92 91 92 CE 00 00 00 01 D3 00 00 00 00 00 00 00 09 91 C4 02 03 04");
    ASSERT_TRUE(decode(whole));
    for (std::size_t n = 0; n < whole.size(); ++n) {
        const std::span<const std::uint8_t> prefix(whole.data(), n);
        EXPECT_FALSE(decode_compact_mask(prefix)) << n << " bytes";
        EXPECT_FALSE(decode_and_reconstruct_unit_floats(prefix, 4, 1)) << n << " bytes";
    }
}

// `levels` levels deep in all, the record map being level 1: a skipped value
// whose containers each open with `opener`, ending in `leaf`.
std::vector<std::uint8_t> nested(std::size_t levels, const std::string& opener, const std::string& leaf) {
    std::string text = "82 A1 78";
    for (std::size_t i = 2; i < levels; ++i) text += " " + opener;
    return hex(text + " " + leaf + " A4 64 61 74 61 90");
}

struct NestingCase {
    const char* name;
    const char* opener;
    const char* leaf;
};

const NestingCase kNesting[] = {
    {"array16_array16", "DC 00 01", "DC 00 00"},
    {"array32_array32", "DD 00 00 00 01", "DD 00 00 00 00"},
    {"fixmap_fixmap", "81 C0", "80"},
    {"map16_map16", "DE 00 01 C0", "DE 00 00"},
    {"map32_map32", "DF 00 00 00 01 C0", "DF 00 00 00 00"},
    {"array_ext8", "91", "C7 00 07"},
    {"array_ext16", "91", "C8 00 00 07"},
    {"map_ext32", "81 C0", "C9 00 00 00 00 07"},
    {"array_fixext16", "91", "D8 07 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"},
};

void PrintTo(const NestingCase& c, std::ostream* os) { *os << c.name; }

class DecodeNesting : public testing::TestWithParam<NestingCase> {};

TEST_P(DecodeNesting, LimitIsTheSameForEveryContainerKind) {
    const NestingCase& c = GetParam();
    EXPECT_TRUE(decode(nested(1023, c.opener, c.leaf)));
    EXPECT_FALSE(decode(nested(1024, c.opener, c.leaf)));
}

INSTANTIATE_TEST_SUITE_P(Kinds, DecodeNesting, testing::ValuesIn(kNesting),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ostrel::mask
