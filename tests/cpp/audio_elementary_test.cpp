// The module's own elementary functions against the C library's long double
// ones (80-bit on x86_64, 128-bit on AArch64). The log10 is checked here on a
// sample, on every SIMD path, so that every platform runs it; `make
// log10-test` checks all 2^32 inputs on x86_64.
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "audio/elementary.hpp"
#include "every_simd_path.hpp"
#include "reference/log10.hpp"
#include "support/simd.hpp"

namespace ostrel::audio {
namespace {

std::uint32_t bits(float v) { return std::bit_cast<std::uint32_t>(v); }

// The float nearest v, or nothing when v lies so close to a midpoint between
// two floats that its own error, a few units in its last place, could put it
// on either side.
std::optional<float> rounded(long double v) {
    const float f = static_cast<float>(v);
    const float next = std::nextafter(f, v > static_cast<long double>(f) ? INFINITY : -INFINITY);
    const long double midpoint = (static_cast<long double>(f) + static_cast<long double>(next)) / 2;
    if (std::fabs(v - midpoint) <= std::fabs(v) * 0x1p-58L) return std::nullopt;
    return f;
}

// Inputs whose log10 lies within 2^-50 of a midpoint between two floats, with
// their correctly rounded results, as `log10_exhaustive --list-hard` finds
// them (libquadmath decides each); the lanes hand such inputs on to the
// double-double evaluation.
constexpr std::uint32_t kNearMidpoints[][2] = {
    {0x0225F259u, 0xC213A7DEu}, {0x058ECD6Au, 0xC20B7CE1u}, {0x0A4D4CE8u, 0xC2000527u},
    {0x0AB667DDu, 0xC1FE0AF5u}, {0x0E10C607u, 0xC1EDFCE8u}, {0x0EFEEE7Au, 0xC1E99D23u},
    {0x10B88AECu, 0xC1E11A7Du}, {0x120B93DCu, 0xC1DAD957u}, {0x1266ADA7u, 0xC1D91A7Du},
    {0x13AE78D3u, 0xC1D2D957u}, {0x13B57A47u, 0xC1D2B653u}, {0x15964DC5u, 0xC1C9BBEDu},
    {0x1944E975u, 0xC1B7F01Fu}, {0x1EAC122Fu, 0xC19DEA75u}, {0x262CA79Au, 0xC1738F9Cu},
    {0x2846C871u, 0xC15F50DCu}, {0x2B1B73F9u, 0xC144201Du}, {0x2BB4E779u, 0xC13E4161u},
    {0x2F149212u, 0xC11DE885u}, {0x33B5EBFCu, 0xC0E24E31u}, {0x356366FBu, 0xC0C24E31u},
    {0x427A28E9u, 0x3FE5E87Du}, {0x43079CCEu, 0x40087799u}, {0x45BDEDC8u, 0x407228D0u},
    {0x499271D9u, 0x40C287B1u}, {0x4DFF4DDCu, 0x410BA8B4u}, {0x56F8C876u, 0x41622D04u},
    {0x5D610FE9u, 0x41900C01u}, {0x5F3315A3u, 0x4198E2CBu}, {0x604DF02Cu, 0x419E3014u},
    {0x610567E4u, 0x41A17EECu}, {0x62A6C1DDu, 0x41A97EECu}, {0x6307980Cu, 0x41AB2F6Eu},
    {0x63BF4495u, 0x41AEC9EAu}, {0x63CE2F36u, 0x41AF0CB5u}, {0x64A97E0Fu, 0x41B32F6Eu},
    {0x65716A23u, 0x41B6D28Au}, {0x65903D25u, 0x41B770F4u}, {0x6A581BF5u, 0x41CE8525u},
    {0x6F592C3Cu, 0x41E69E9Cu}, {0x711016A5u, 0x41EED3BDu}, {0x73CB20D6u, 0x41FC0FBAu},
    {0x7F6362E7u, 0x4219EBE5u},
};

// The sample: specials, exact powers of ten, subnormals, the near-midpoint
// inputs and a spread over every exponent of both signs.
OSTREL_EVERY_SIMD_PATH(Log10OnEveryPath);

TEST_P(Log10OnEveryPath, CorrectlyRounded) {
    std::vector<float> inputs;
    std::vector<std::optional<float>> want;
    const float inf = INFINITY, nan = NAN;
    const std::pair<float, float> specials[] = {{0.0f, -inf}, {-0.0f, -inf}, {-1.0f, nan}, {-inf, nan},
                                                {nan, nan},   {inf, inf},    {1.0f, 0.0f}};
    for (const auto& [x, y] : specials) inputs.push_back(x), want.push_back(y);
    float power = 1.0f;
    for (int k = 0; k <= 10; ++k, power *= 10.0f) inputs.push_back(power), want.push_back(static_cast<float>(k));
    for (const auto& [x, y] : kNearMidpoints) inputs.push_back(std::bit_cast<float>(x)), want.push_back(std::bit_cast<float>(y));
    std::size_t undecided = 0;
    for (std::uint64_t u = 1; u < (std::uint64_t{1} << 32); u += u < 0x00800000u ? 4093 : 65521) {
        const float x = std::bit_cast<float>(static_cast<std::uint32_t>(u));
        if (!(x > 0.0f) || std::isinf(x)) continue;
        inputs.push_back(x);
        want.push_back(rounded(std::log10(static_cast<long double>(x))));
        undecided += !want.back();
    }
    EXPECT_LT(undecided, 4u);
    while (inputs.size() % 16 != 0) inputs.push_back(1.0f), want.push_back(0.0f);

    std::vector<float> got(inputs.size());
    kernels_for<Log10Kernels>(GetParam()).log10(inputs.data(), got.data(), inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const float x = inputs[i];
        // The scalar forms and every path give the same bits, NaN included.
        ASSERT_EQ(bits(got[i]), bits(scalar_log10(x))) << "log10(" << x << ")";
        ASSERT_EQ(bits(got[i]), bits(cr::log10(x))) << "log10(" << x << ")";
        if (!want[i]) continue;
        if (std::isnan(*want[i])) {
            ASSERT_TRUE(std::isnan(got[i])) << "log10(" << x << ")";
        } else {
            ASSERT_EQ(bits(got[i]), bits(*want[i])) << "log10(" << std::hexfloat << x << ")";
        }
    }
}

// Every cosine of the Hann taper and every exponential and logarithm of the
// filterbanks, Slaney and HTK, as filterbank.cpp and transforms.cpp compute
// their arguments for the models' 800-point FFT and 80 bands from 55 to 7600 Hz.
TEST(Elementary, WindowAndFilterbankValuesAreCorrectlyRounded) {
    std::size_t checked = 0;
    const auto expect = [&](const char* name, float x, float got, long double exact) {
        const std::optional<float> want = rounded(exact);
        ASSERT_TRUE(want) << name << "(" << x << ") is too close to a midpoint for this oracle";
        EXPECT_EQ(bits(got), bits(*want)) << name << "(" << std::hexfloat << x << ")";
        ++checked;
    };
    const float two_pi = std::bit_cast<float>(0x40C90FDBu);
    for (int n = 0; n < 800; ++n) {
        const float t = (static_cast<float>(n) * two_pi) / 800.0f;
        expect("cos", t, cr::cos(t), std::cos(static_cast<long double>(t)));
    }

    const float lo = 55.0f, hi = 7600.0f;
    // Slaney: logarithmic above 1000 Hz (15.000001 mel).
    const float hz_per_mel = std::bit_cast<float>(0x42855555u), log_start_mel = std::bit_cast<float>(0x41700001u);
    const float log_rate = std::bit_cast<float>(0x3D8CCDBBu);
    const float ratio = hi / 1000.0f;
    const float ln = cr::ln(ratio);
    expect("ln", ratio, ln, std::log(static_cast<long double>(ratio)));
    const float mel_lo = lo / hz_per_mel, mel_hi = ln / log_rate + log_start_mel;
    const float step = (mel_hi - mel_lo) / 81.0f;
    for (int k = 0; k < 82; ++k) {
        const float m = mel_lo + step * static_cast<float>(k);
        if (!(m >= log_start_mel)) continue;
        const float arg = (m - log_start_mel) * log_rate;
        expect("exp", arg, cr::exp(arg), std::exp(static_cast<long double>(arg)));
    }
    // HTK: 2595 log10(1 + hz / 700) both ways.
    float htk[2];
    for (int i = 0; i < 2; ++i) {
        const float arg = (i == 0 ? lo : hi) / 700.0f + 1.0f;
        const float l = scalar_log10(arg);
        expect("log10", arg, l, std::log10(static_cast<long double>(arg)));
        htk[i] = l * 2595.0f;
    }
    const float htk_step = (htk[1] - htk[0]) / 81.0f;
    for (int k = 0; k < 82; ++k) {
        const float arg = (htk[0] + htk_step * static_cast<float>(k)) / 2595.0f;
        expect("exp10", arg, cr::exp10(arg), std::pow(10.0L, static_cast<long double>(arg)));
    }
    EXPECT_GT(checked, 800u + 1 + 40 + 2 + 82 - 1);
}

}  // namespace
}  // namespace ostrel::audio
