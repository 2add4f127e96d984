// Every one of the 2^32 binary32 inputs through the module's log10: the
// scalar form and every SIMD path this CPU has, each result held to the
// correctly rounded one. The oracle is independent of the module: the C
// library's double log10, and where its result lies too close to a midpoint
// between two floats for its error to be ruled out, its x87 log10l (64-bit
// significand), then libquadmath's log10q (113 bits). x86_64 only; runs on
// every core.
#include <quadmath.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "audio/elementary.hpp"
#include "reference/log10.hpp"
#include "reference/simd_paths.hpp"

namespace {

using ostrel::SimdPath;
using ostrel::audio::Log10Kernels;

constexpr std::uint64_t kChunk = 1u << 16;
constexpr std::uint64_t kInputs = std::uint64_t{1} << 32;

struct Tally {
    std::uint64_t long_double_decided = 0;  // results the double oracle could not round alone
    std::uint64_t quad_decided = 0;         // nor the long double one
    std::uint64_t failures = 0;
};

std::mutex report_lock;
bool list_hard = false;  // print the inputs that log10q decides

// The float nearest log10(x) for positive finite x. The C library's double
// log10 (within 2 units of 2^-52) rounds it alone unless it lies within 2^-45
// of the value from a midpoint between two floats; then its x87 log10l
// (64-bit significand, within a few units of 2^-63), and within 2^-50 of a
// midpoint libquadmath's log10q, which must be at least 2^-100 away.
float oracle(float x, Tally& tally) {
    const double d = std::log10(static_cast<double>(x));
    const float fd = static_cast<float>(d);
    const float next_d = std::nextafter(fd, d > fd ? INFINITY : -INFINITY);
    const double midpoint_d = (static_cast<double>(fd) + static_cast<double>(next_d)) / 2;  // exact
    if (std::fabs(d - midpoint_d) > std::fabs(d) * 0x1p-45) return fd;

    ++tally.long_double_decided;
    const long double l = log10l(static_cast<long double>(x));
    const float f = static_cast<float>(l);
    const long double back = f;
    const float neighbour = std::nextafter(f, l > back ? INFINITY : -INFINITY);
    const long double midpoint = (back + static_cast<long double>(neighbour)) / 2;
    if (std::fabs(l - midpoint) > std::fabs(l) * 0x1p-50L) return f;

    ++tally.quad_decided;
    const __float128 q = log10q(static_cast<__float128>(x));
    const __float128 mq = static_cast<__float128>(midpoint);
    const __float128 gap = q > mq ? q - mq : mq - q;
    const __float128 magnitude = q > 0 ? q : -q;
    if (gap <= magnitude * static_cast<__float128>(0x1p-100)) {
        std::lock_guard<std::mutex> hold(report_lock);
        std::printf("undecided: log10 of %a lies within 2^-100 of a midpoint\n", static_cast<double>(x));
        ++tally.failures;
    }
    // The side of the midpoint q lies on gives the float.
    const float result = (q > mq) == (neighbour > f) ? neighbour : f;
    if (list_hard) {
        std::lock_guard<std::mutex> hold(report_lock);
        std::printf("near a midpoint: 0x%08Xu -> 0x%08Xu\n", std::bit_cast<std::uint32_t>(x),
                    std::bit_cast<std::uint32_t>(result));
    }
    return result;
}

// What a correctly rounding C library gives for a special input.
bool special(float x, float& result) {
    if (std::isnan(x) || x < 0.0f) {
        result = NAN;
    } else if (x == 0.0f) {
        result = -INFINITY;
    } else if (std::isinf(x)) {
        result = INFINITY;
    } else {
        return false;
    }
    return true;
}

bool same(float got, float want) {
    return std::isnan(want) ? std::isnan(got) : std::bit_cast<std::uint32_t>(got) == std::bit_cast<std::uint32_t>(want);
}

void fail(const char* form, float x, float got, float want, Tally& tally) {
    std::lock_guard<std::mutex> hold(report_lock);
    if (++tally.failures <= 20) {
        std::printf("%s: log10(%a) [0x%08X] gave %a [0x%08X], correctly rounded is %a [0x%08X]\n", form,
                    static_cast<double>(x), std::bit_cast<std::uint32_t>(x), static_cast<double>(got),
                    std::bit_cast<std::uint32_t>(got), static_cast<double>(want), std::bit_cast<std::uint32_t>(want));
    }
}

struct Path {
    const char* name;
    Log10Kernels kernels;
};

void worker(std::atomic<std::uint64_t>& next, std::uint64_t end, const std::vector<Path>& paths, Tally& total) {
    Tally tally;
    std::vector<float> in(kChunk), want(kChunk), out(kChunk);
    for (;;) {
        const std::uint64_t start = next.fetch_add(kChunk);
        if (start >= end) break;
        for (std::uint64_t i = 0; i < kChunk; ++i) {
            const float x = std::bit_cast<float>(static_cast<std::uint32_t>(start + i));
            in[i] = x;
            float w = 0.0f;
            if (!special(x, w)) w = oracle(x, tally);
            want[i] = w;
            const float got = ostrel::audio::scalar_log10(x);
            if (!same(got, w)) fail("scalar", x, got, w, tally);
        }
        for (const Path& p : paths) {
            p.kernels.log10(in.data(), out.data(), kChunk);
            for (std::uint64_t i = 0; i < kChunk; ++i) {
                if (!same(out[i], want[i])) fail(p.name, in[i], out[i], want[i], tally);
            }
        }
    }
    std::lock_guard<std::mutex> hold(report_lock);
    total.long_double_decided += tally.long_double_decided;
    total.quad_decided += tally.quad_decided;
    total.failures += tally.failures;
}

}  // namespace

// Optional arguments: --list-hard prints the inputs that log10q decides,
// which tests/cpp/audio_elementary_test.cpp keeps among its cases; the first
// input's pattern and a count of inputs, in hexadecimal, run a part only.
int main(int argc, char** argv) {
    if (argc > 1 && std::string_view(argv[1]) == "--list-hard") {
        list_hard = true;
        --argc;
        ++argv;
    }
    const std::uint64_t first = argc > 2 ? std::strtoull(argv[1], nullptr, 16) / kChunk * kChunk : 0;
    const std::uint64_t end = argc > 2 ? std::min<std::uint64_t>(kInputs, first + std::strtoull(argv[2], nullptr, 16)) : kInputs;
    const auto started = std::chrono::steady_clock::now();
    std::vector<Path> paths;
    for (SimdPath path : ostrel::available_simd_paths()) {
        paths.push_back({ostrel::simd_path_name(path), ostrel::kernels_for<Log10Kernels>(path)});
    }
    std::printf("log10 of binary32 inputs 0x%08llX to 0x%08llX: the scalar form and the paths",
                static_cast<unsigned long long>(first), static_cast<unsigned long long>(end - 1));
    for (const Path& p : paths) std::printf(" %s", p.name);
    std::printf("\n");
    std::fflush(stdout);

    std::atomic<std::uint64_t> next{first};
    Tally total;
    std::vector<std::thread> threads;
    const unsigned count = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned t = 0; t < count; ++t) threads.emplace_back(worker, std::ref(next), end, std::cref(paths), std::ref(total));
    for (std::thread& t : threads) t.join();

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("%llu results decided by log10l, %llu by log10q, %llu failures, %.0f s on %u threads\n",
                static_cast<unsigned long long>(total.long_double_decided),
                static_cast<unsigned long long>(total.quad_decided), static_cast<unsigned long long>(total.failures),
                seconds, count);
    return total.failures == 0 ? 0 : 1;
}
