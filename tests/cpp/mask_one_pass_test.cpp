// The one-pass reader must give exactly what decoding and then rasterising
// give: the same values, the same refusal, the same first error. Records are
// written by hand in every encoding, then mutated at random so that decoding
// and rasterisation errors meet in every order.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "mask/record.hpp"
#include "reference/mask_model.hpp"
#include "support/panic.hpp"

namespace ostrel::mask {
namespace {

using Bytes = std::vector<std::uint8_t>;

// What a call ends with: the values, a refusal, or an error's message.
struct Outcome {
    std::string kind;
    Bytes levels;
    std::vector<float> floats;

    friend bool operator==(const Outcome&, const Outcome&) = default;
};

Outcome two_steps(const Bytes& bytes, std::uint64_t width, std::uint64_t height) {
    const std::optional<CompactMaskModel> model = decode_compact_mask(bytes);
    if (!model) return {"refused", {}, {}};
    try {
        const Mask8 mask = reconstruct_ndarray(*model, width, height);
        Outcome out{"ok", Bytes(mask.data.begin(), mask.data.end()), {}};
        for (std::uint8_t v : out.levels) out.floats.push_back(static_cast<float>(v) / 255.0f);
        return out;
    } catch (const Panic& p) {
        return {p.message, {}, {}};
    } catch (const std::bad_alloc&) {
        return {"bad_alloc", {}, {}};
    }
}

template <class F>
Outcome one_pass(F&& call) {
    try {
        auto result = call();
        if (!result) return {"refused", {}, {}};
        return {"ok", {}, {}};
    } catch (const Panic& p) {
        return {p.message, {}, {}};
    } catch (const std::bad_alloc&) {
        return {"bad_alloc", {}, {}};
    }
}

void expect_same(const Bytes& bytes, std::uint64_t width, std::uint64_t height) {
    const Outcome want = two_steps(bytes, width, height);

    Outcome levels = one_pass([&] { return decode_and_reconstruct(bytes, width, height); });
    Outcome floats = one_pass([&] { return decode_and_reconstruct_unit_floats(bytes, width, height); });
    if (levels.kind == "ok") {
        const Mask8 m = *decode_and_reconstruct(bytes, width, height);
        levels.levels.assign(m.data.begin(), m.data.end());
        levels.floats = want.floats;
        const UnitFloatImage f = *decode_and_reconstruct_unit_floats(bytes, width, height);
        floats.levels = want.levels;
        floats.floats.assign(f.data.begin(), f.data.end());
        EXPECT_EQ(f.width, width);
        EXPECT_EQ(f.height, height);
    }
    std::string hex;
    for (std::uint8_t b : bytes) hex += std::to_string(b) + " ";
    EXPECT_EQ(levels, want) << "levels, record " << hex << "width " << width << " height " << height;
    EXPECT_EQ(floats, want) << "floats, record " << hex << "width " << width << " height " << height;
}

// Hand-written records: every integer and list encoding, the map form, bins,
// trailing bytes, and errors of both kinds.
const std::vector<Bytes> kRecords = {
    {0x91, 0x92, 0x92, 0x92, 0x00, 0xCC, 0xFF, 0x92, 0x03, 0x00, 0x90},
    {0x91, 0x92, 0x92, 0x92, 0x00, 0xCC, 0xFF, 0x92, 0x03, 0x00, 0x90, 0xC1, 0xFF},
    {0x81, 0xA4, 'd', 'a', 't', 'a', 0x91, 0x91, 0x92, 0x01, 0x07},
    {0xDC, 0x00, 0x01, 0xDD, 0x00, 0x00, 0x00, 0x02, 0xDC, 0x00, 0x01, 0x92, 0xD0, 0x02, 0xD1, 0x01, 0x2C, 0xC4, 0x00},
    {0x91, 0x93, 0x91, 0xC4, 0x03, 0x01, 0x09, 0xFF, 0xC5, 0x00, 0x00, 0x91, 0x92, 0xCE, 0x00, 0x00, 0x00, 0x02,
     0xCF, 0, 0, 0, 0, 0, 0, 0x01, 0x00},
    {0x91, 0x91, 0x92, 0x92, 0x05, 0x0A, 0x92, 0x02, 0x14},
    {0x91, 0x91, 0x92, 0x92, 0x02, 0x09, 0x92, 0x02, 0x07},
    {0x91, 0x92, 0x91, 0x92, 0x09, 0x01, 0x91, 0x92, 0xD2, 0xFF, 0xFF, 0xFF, 0xFF, 0x00},  // bad column, then bad int
    {0x91, 0x92, 0x91, 0x92, 0x09, 0x01, 0x91, 0x92, 0x00},                           // bad column, then cut short
    {0x91, 0x94, 0x90, 0x90, 0x90, 0x90},
    {0x91, 0xC4, 0x00},
    {0x91, 0x91, 0xC4, 0x01, 0x05},
    {0x91, 0x91, 0x91, 0xC4, 0x01, 0x05},
    {0x91, 0x91, 0x91, 0x93, 0x00, 0x00, 0x00},
    {0x91, 0x91, 0x91, 0x92, 0xD3, 0, 0, 0, 0, 0, 0, 0x01, 0x00, 0xCD, 0xFF, 0xFF},
    {0x92, 0x90, 0x90},
    {0x90},
    {},
};

TEST(OnePass, MatchesDecodeThenRasterise) {
    const std::uint64_t sizes[][2] = {{5, 2}, {10, 3}, {0, 3}, {3, 0}, {0, 0}, {1, 1}, {300, 4}};
    for (const Bytes& record : kRecords) {
        for (const auto& size : sizes) expect_same(record, size[0], size[1]);
    }
}

TEST(OnePass, ShapeAndMemoryErrorsComeAfterDecoding) {
    const std::uint64_t huge = std::uint64_t{1} << 63;
    for (const Bytes& record : kRecords) {
        expect_same(record, huge, 2);
        expect_same(record, 0, huge);
    }
}

// `v` in one of the integer encodings that can hold it, picked by `pick`.
void push_number(Bytes& r, unsigned v, unsigned pick) {
    const auto byte = [](unsigned x) { return static_cast<std::uint8_t>(x); };
    switch (pick % 4) {
    case 0:
        if (v < 128) {
            r.push_back(byte(v));
            return;
        }
        [[fallthrough]];
    case 1:
        if (v < 256) {
            r.insert(r.end(), {0xCC, byte(v)});
            return;
        }
        [[fallthrough]];
    case 2: r.insert(r.end(), {0xCD, byte(v >> 8), byte(v)}); return;
    default: r.insert(r.end(), {0xCE, 0, 0, byte(v >> 8), byte(v)}); return;
    }
}

TEST(OnePass, MatchesOnMutatedRecords) {
    std::mt19937 rng(12345);
    // A valid base: rows of runs with columns below 12, values of all widths.
    for (int round = 0; round < 4000; ++round) {
        Bytes r = {0x91};
        const int rows = static_cast<int>(rng() % 5);
        r.push_back(static_cast<std::uint8_t>(0x90 + rows));
        for (int i = 0; i < rows; ++i) {
            const int runs = static_cast<int>(rng() % 4);
            r.push_back(static_cast<std::uint8_t>(0x90 + runs));
            for (int k = 0; k < runs; ++k) {
                r.push_back(0x92);
                push_number(r, static_cast<unsigned>(rng() % 12), rng());
                push_number(r, static_cast<unsigned>(rng() % 700), rng());
            }
        }
        const int mutations = static_cast<int>(rng() % 3);
        for (int m = 0; m < mutations && !r.empty(); ++m) {
            const std::size_t at = rng() % r.size();
            switch (rng() % 3) {
            case 0: r[at] = static_cast<std::uint8_t>(rng()); break;
            case 1: r.erase(r.begin() + static_cast<std::ptrdiff_t>(at)); break;
            default: r.insert(r.begin() + static_cast<std::ptrdiff_t>(at), static_cast<std::uint8_t>(rng())); break;
            }
        }
        expect_same(r, 1 + rng() % 12, rng() % 5);
    }
}

// Smaller masks start uninitialised and must have every cell written: the
// heap is first handed a block of the same size full of non-zero bytes, which
// the allocator gives back for the mask.
TEST(OnePass, WritesEveryCellOfAnUninitialisedMask) {
    const std::uint64_t sizes[][2] = {{5, 2}, {10, 3}, {300, 4}, {64, 70}};
    for (const Bytes& record : kRecords) {
        for (const auto& size : sizes) {
            const Outcome want = two_steps(record, size[0], size[1]);
            if (want.kind != "ok") continue;
            for (std::size_t cell : {std::size_t{1}, sizeof(float)}) {
                const std::size_t bytes = static_cast<std::size_t>(size[0] * size[1]) * cell;
                void* dirty = std::malloc(bytes);
                ASSERT_NE(dirty, nullptr);
                std::memset(dirty, 0x5A, bytes);
                std::free(dirty);
                if (cell == 1) {
                    const Mask8 m = *decode_and_reconstruct(record, size[0], size[1]);
                    EXPECT_EQ(Bytes(m.data.begin(), m.data.end()), want.levels);
                } else {
                    const UnitFloatImage f = *decode_and_reconstruct_unit_floats(record, size[0], size[1]);
                    EXPECT_EQ(std::vector<float>(f.data.begin(), f.data.end()), want.floats);
                }
            }
        }
    }
}

// Masks of 32 MiB and more start as lazily zeroed pages and skip writing zeros.
TEST(OnePass, LargeMasksMatchToo) {
    Bytes record = {0x91, 0x93, 0x92, 0x92, 0x00, 0xCC, 0xFF, 0x92, 0xCD, 0x0F, 0xA0, 0x00, 0x90,
                    0x93, 0x92, 0xCD, 0x0F, 0xFF, 0x07, 0x92, 0x05, 0x00, 0x92, 0x06, 0x09};
    expect_same(record, 4096, 2048);
    record[5] = 0xCD;  // now cut short: refused
    expect_same(record, 4096, 2048);
}

}  // namespace
}  // namespace ostrel::mask
