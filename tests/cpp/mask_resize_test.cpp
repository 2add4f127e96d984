#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include <math.h>

#include "mask/resize.hpp"
#include "mask/taps.hpp"
#include "every_simd_path.hpp"
#include "reference/mask_model.hpp"

namespace ostrel::mask {
namespace {

Mask8 mask_of(std::uint64_t width, std::uint64_t height, const std::vector<std::uint8_t>& values) {
    Mask8 m{width, height, Buffer<std::uint8_t>::uninitialised(values.size())};
    std::copy(values.begin(), values.end(), m.data.begin());
    return m;
}

std::vector<std::uint8_t> values_of(const Mask8& m) { return {m.data.begin(), m.data.end()}; }

struct ResizeCase {
    const char* name;
    std::uint64_t width, height;
    std::vector<std::uint8_t> input;
    float scale;
    const char* filter;
    std::uint64_t width_out, height_out;
    std::vector<std::uint8_t> expected;
};

const std::vector<std::uint8_t> kRamp{0, 255};
const std::vector<std::uint8_t> kSteps{10, 20, 30, 40, 10, 20, 30, 40};
const std::vector<std::uint8_t> kImpulse{0, 0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0};

const ResizeCase kCases[] = {
    {"ramp_nearest", 2, 1, kRamp, 2.0f, "nearest", 4, 2, {0, 0, 255, 255, 0, 0, 255, 255}},
    {"ramp_linear", 2, 1, kRamp, 2.0f, "linear", 4, 2, {0, 64, 191, 255, 0, 64, 191, 255}},
    {"ramp_cubic", 2, 1, kRamp, 2.0f, "catmullrom", 4, 2, {0, 53, 202, 255, 0, 53, 202, 255}},
    {"ramp_lanzos", 2, 1, kRamp, 2.0f, "lanzos", 4, 2, {0, 53, 202, 255, 0, 53, 202, 255}},
    {"ramp_gaussian", 2, 1, kRamp, 2.0f, "gaussian", 4, 2, {12, 69, 186, 243, 12, 69, 186, 243}},
    {"steps_nearest", 4, 2, kSteps, 0.5f, "nearest", 2, 1, {20, 40}},
    {"steps_linear", 4, 2, kSteps, 0.5f, "linear", 2, 1, {17, 33}},
    {"steps_cubic", 4, 2, kSteps, 0.5f, "cubic", 2, 1, {16, 34}},
    {"steps_gaussian", 4, 2, kSteps, 0.5f, "gaussian", 2, 1, {18, 32}},
    {"impulse_nearest", 4, 3, kImpulse, 1.25f, "nearest", 5, 3, {0, 0, 0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"impulse_linear", 4, 3, kImpulse, 1.25f, "linear", 5, 3, {0, 0, 0, 0, 0, 0, 179, 128, 0, 0, 0, 0, 0, 0, 0}},
    {"impulse_cubic", 4, 3, kImpulse, 1.25f, "medium", 5, 3, {0, 0, 0, 0, 0, 0, 202, 143, 0, 0, 0, 0, 0, 0, 0}},
    {"impulse_gaussian", 4, 3, kImpulse, 1.25f, "high", 5, 3,
     {3, 20, 15, 1, 0, 17, 135, 99, 5, 0, 3, 20, 15, 1, 0}},
    {"unchanged_size_copies", 2, 1, kRamp, 1.0f, "gaussian", 2, 1, kRamp},
    {"empty_width", 0, 3, {}, 2.0f, "linear", 0, 6, {}},
    {"shrinks_to_nothing", 4, 3, kImpulse, 0.2f, "linear", 0, 0, {}},
    {"negative_scale", 4, 3, kImpulse, -1.0f, "linear", 0, 0, {}},
    {"nan_scale", 4, 3, kImpulse, std::numeric_limits<float>::quiet_NaN(), "cubic", 0, 0, {}},
};

void PrintTo(const ResizeCase& c, std::ostream* os) { *os << c.name; }

class ResizeTable : public testing::TestWithParam<ResizeCase> {};

TEST_P(ResizeTable, MatchesKnownOutput) {
    const ResizeCase& c = GetParam();
    const Mask8 out = resize(mask_of(c.width, c.height, c.input), c.scale, filter_from_name(c.filter));
    EXPECT_EQ(out.width, c.width_out);
    EXPECT_EQ(out.height, c.height_out);
    EXPECT_EQ(values_of(out), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Masks, ResizeTable, testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ResizeNames, ExactBytesOnly) {
    const std::pair<const char*, FilterType> names[] = {
        {"nearest", FilterType::Nearest},   {"lowest", FilterType::Nearest},
        {"linear", FilterType::Linear},     {"triangle", FilterType::Linear},
        {"low", FilterType::Linear},        {"catmullrom", FilterType::CatmullRom},
        {"cubic", FilterType::CatmullRom},  {"medium", FilterType::CatmullRom},
        {"lanzos", FilterType::CatmullRom}, {"highest", FilterType::CatmullRom},
        {"gaussian", FilterType::Gaussian}, {"high", FilterType::Gaussian},
        {"Nearest", FilterType::Linear},    {" nearest", FilterType::Linear},
        {"nearest ", FilterType::Linear},   {"", FilterType::Linear},
    };
    for (const auto& [name, type] : names) EXPECT_EQ(filter_from_name(name), type) << '"' << name << '"';
}

TEST(ResizeSize, SinglePrecisionProductTruncatedAndSaturated) {
    EXPECT_EQ(scaled_size(10, 0.7f), 7u);
    EXPECT_EQ(scaled_size(100, 1.05f), 104u);
    EXPECT_EQ(scaled_size(3, 0.2f), 0u);
    EXPECT_EQ(scaled_size(5, -1.0f), 0u);
    EXPECT_EQ(scaled_size(5, std::numeric_limits<float>::quiet_NaN()), 0u);
    EXPECT_EQ(scaled_size(0, std::numeric_limits<float>::infinity()), 0u);
    EXPECT_EQ(scaled_size(1, 4294967040.0f), 4294967040u);
    EXPECT_EQ(scaled_size(2, 2147483648.0f), 4294967295u);
    EXPECT_EQ(scaled_size(1, 1e30f), 4294967295u);
}

TEST(ResizeSize, ImpossibleSizesAreBadAlloc) {
    const Mask8 m = mask_of(2, 2, {1, 2, 3, 4});
    EXPECT_THROW(resize(m, 1e30f, FilterType::Linear), std::bad_alloc);
    EXPECT_THROW(resize(m, 2147483648.0f, FilterType::Nearest), std::bad_alloc);
}

// An unchanged size is a copy at any height: each output reads its own
// source index alone, also from 2^23 on, where (o + 0.5) * 1 rounds to an
// even number.
TEST(ResizePlan, UnchangedSizesReadEachSourceIndexAlone) {
    const std::uint64_t height = (std::uint64_t{1} << 23) + 4;
    for (FilterType f : {FilterType::Nearest, FilterType::Linear, FilterType::CatmullRom, FilterType::Gaussian}) {
        const ResizePlan plan = plan_resize(16, height, 1.0f, f, nullptr);
        for (const auto& [axis, n] : {std::pair{&plan.rows, height}, std::pair{&plan.columns, std::uint64_t{16}}}) {
            for (std::uint64_t o : {std::uint64_t{0}, n / 2 - 1, n - 5, n - 4, n - 3, n - 2, n - 1}) {
                std::vector<float> weights;
                float spread = 0.0f;
                EXPECT_EQ(axis->taps(o, weights, spread), o) << "filter " << static_cast<int>(f);
                EXPECT_EQ(weights, std::vector<float>{1.0f});
            }
        }
    }
}

// Taps kept from an earlier resize are those fill() makes for the axis,
// whatever other axes came between: every axis is made once, found again
// while kept, pushed out by newer ones (the least recently used first) and
// made again. The axes' sizes are used by no other test, so that the cache
// starts without them.
TEST(ResizeTaps, KeptAxesAreTheFreshOnes) {
    const std::uint64_t slots = taps::kKeptAxes;
    std::vector<taps::Axis> axes;
    for (std::uint64_t i = 0; i < slots + 2; ++i) {
        const FilterType type = i % 2 ? FilterType::Gaussian : FilterType::CatmullRom;
        axes.emplace_back(1000 + i, 333 + 7 * i, taps::filter_of(type));
    }
    // Each step: the axis, and whether its taps are copied from the kept ones.
    std::vector<std::pair<std::uint64_t, bool>> steps;
    for (std::uint64_t i = 0; i < slots; ++i) steps.emplace_back(i, false);
    for (std::uint64_t i = 0; i < slots; ++i) steps.emplace_back(i, true);
    steps.emplace_back(slots, false);      // pushes out axis 0
    steps.emplace_back(slots + 1, false);  // and axis 1
    for (std::uint64_t i = 2; i < slots + 2; ++i) steps.emplace_back(i, true);
    steps.emplace_back(0, false);
    for (const auto& [i, kept_expected] : steps) {
        const taps::Axis& axis = axes[i];
        const std::uint64_t n_out = 333 + 7 * i;
        taps::Taps kept, fresh;
        EXPECT_EQ(kept.fill_all(axis, n_out, i % 3 == 0), kept_expected) << "axis " << i;
        fresh.fill(axis, 0, n_out, i % 3 == 0);
        ASSERT_EQ(kept.first, fresh.first) << "axis " << i;
        ASSERT_EQ(kept.offsets, fresh.offsets) << "axis " << i;
        ASSERT_EQ(kept.weights.size(), fresh.weights.size()) << "axis " << i;
        EXPECT_EQ(std::memcmp(kept.weights.data(), fresh.weights.data(), fresh.weights.size() * sizeof(float)), 0)
            << "axis " << i;
    }
}

TEST(ResizeValues, UnitFloatsAreExactQuotients) {
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
    const Buffer<float> f = to_unit_floats(all);
    EXPECT_EQ(f[0], 0.0f);
    EXPECT_EQ(f[255], 1.0f);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(f[128]), 0x3F008081u);  // 0.5019608
    EXPECT_TRUE(std::is_sorted(f.begin(), f.end()));
}

// A direct transcription of the resampling, pixel by pixel, to check the
// blocked and vectorised passes against on shapes that straddle their blocks.
float ref_kernel(FilterType f, float x) {
    const float a = std::fabs(x);
    switch (f) {
    case FilterType::Nearest:
        return 1.0f;
    case FilterType::Linear:
        return a < 1.0f ? 1.0f - a : 0.0f;
    case FilterType::CatmullRom: {
        const float a2 = x * x, a3 = a * (a * a);
        if (a < 1.0f) return ((9.0f * a3 + -15.0f * a2) + 6.0f) / 6.0f;
        if (a < 2.0f) return (((15.0f * a2 + -3.0f * a3) + -24.0f * a) + 12.0f) / 6.0f;
        return 0.0f;
    }
    case FilterType::Gaussian: {
        float e = -(x * x);
        e = e + e;
        return ::expf(e) * std::bit_cast<float>(0x3F4C422Au);
    }
    }
    return 0.0f;
}

std::vector<float> ref_weights(FilterType f, std::uint64_t n, std::uint64_t n_out, std::uint64_t o,
                               std::int64_t& first) {
    const float support = f == FilterType::Nearest ? 0.0f : f == FilterType::Linear ? 1.0f
                          : f == FilterType::CatmullRom ? 2.0f : 3.0f;
    const float ratio = static_cast<float>(n) / static_cast<float>(n_out);
    const float sratio = ratio < 1.0f ? 1.0f : ratio;
    const float reach = sratio * support;
    const float centre = (static_cast<float>(o) + 0.5f) * ratio;
    first = std::clamp<std::int64_t>(static_cast<std::int64_t>(std::floor(centre - reach)), 0, n - 1);
    std::int64_t end = static_cast<std::int64_t>(std::ceil(reach + centre));
    end = end <= first ? first + 1 : std::min<std::int64_t>(end, n);
    const float c = centre + -0.5f;
    std::vector<float> w;
    float sum = 0.0f;
    for (std::int64_t i = first; i < end; ++i) {
        w.push_back(ref_kernel(f, (static_cast<float>(i) - c) / sratio));
        sum = sum + w.back();
    }
    for (float& x : w) x = x / sum;
    return w;
}

std::vector<std::uint8_t> ref_resize(const Mask8& m, std::uint64_t wo, std::uint64_t ho, FilterType f) {
    const std::uint64_t w = m.width, h = m.height;
    std::vector<float> t(w * ho);
    for (std::uint64_t y = 0; y < ho; ++y) {
        std::int64_t first;
        const auto wk = ref_weights(f, h, ho, y, first);
        for (std::uint64_t x = 0; x < w; ++x) {
            float acc = 0.0f;
            for (std::size_t k = 0; k < wk.size(); ++k) acc = acc + static_cast<float>(m.data[(first + k) * w + x]) * wk[k];
            t[y * w + x] = acc;
        }
    }
    std::vector<std::uint8_t> r(wo * ho);
    for (std::uint64_t x = 0; x < wo; ++x) {
        std::int64_t first;
        const auto wk = ref_weights(f, w, wo, x, first);
        for (std::uint64_t y = 0; y < ho; ++y) {
            float acc = 0.0f;
            for (std::size_t k = 0; k < wk.size(); ++k) acc = acc + t[y * w + first + k] * wk[k];
            acc = std::round(std::max(0.0f, std::min(255.0f, acc)));
            r[y * wo + x] = static_cast<std::uint8_t>(acc);
        }
    }
    return r;
}

// Both outputs (levels and levels / 255).
OSTREL_EVERY_SIMD_PATH(ResizeOnEveryPath);

TEST_P(ResizeOnEveryPath, BlockedPassesMatchPixelByPixelResampling) {
    const SimdPath path = GetParam();
    std::mt19937 rng(12345);
    const struct { std::uint64_t w, h; float s; } shapes[] = {
        {1, 1, 3.0f}, {37, 19, 1.7f}, {600, 3, 1.1f}, {1100, 2, 0.9f}, {23, 41, 0.33f}, {5, 70, 1.0f / 7.0f},
        {333, 17, 0.05f}, {17, 33, 1.0f}, {29, 22, 1.7f}, {700, 20, 0.95f}, {67, 45, 2.0f}, {1200, 17, 0.95f},
        {5000, 2, 1.5f},
    };
    for (const auto& s : shapes) {
        std::vector<std::uint8_t> values(s.w * s.h);
        for (auto& v : values) v = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() : 0);
        const Mask8 m = mask_of(s.w, s.h, values);
        for (FilterType f : {FilterType::Nearest, FilterType::Linear, FilterType::CatmullRom, FilterType::Gaussian}) {
            const Mask8 out = resize(m, s.s, f, path);
            ASSERT_EQ(out.width, scaled_size(s.w, s.s));
            ASSERT_EQ(out.height, scaled_size(s.h, s.s));
            const std::vector<std::uint8_t> want = out.width == s.w && out.height == s.h
                                                       ? values
                                                       : ref_resize(m, out.width, out.height, f);
            EXPECT_EQ(values_of(out), want) << s.w << "x" << s.h << " s=" << s.s << " filter="
                                            << static_cast<int>(f);
            const UnitFloatImage floats = resize_to_unit_floats(m, s.s, f, path);
            ASSERT_EQ(floats.data.size(), want.size());
            for (std::size_t i = 0; i < want.size(); ++i) {
                ASSERT_EQ(std::bit_cast<std::uint32_t>(floats.data[i]),
                          std::bit_cast<std::uint32_t>(static_cast<float>(want[i]) / 255.0f))
                    << s.w << "x" << s.h << " s=" << s.s << " at " << i;
            }
        }
    }
}

}  // namespace
}  // namespace ostrel::mask
