// GCC/Clang vector types of W float, int32, double or int64 lanes, with the
// loads, stores and shuffles the kernels share. Included only by the
// per-SIMD-path translation units, which compile it for their own instruction
// set; all of it has internal linkage there, so a function compiled for a
// wide path can never stand in for a baseline one at link time.
//
// Lane arithmetic is IEEE single (or double) precision per lane, like the
// scalar code: a kernel that runs the scalar operations in their order on
// every lane gives the same bits at any width.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace ostrel::simd {
namespace {

// Spelled out per width: GCC does not apply a vector_size that depends on a
// template parameter to a typedef.
template <std::size_t W>
struct VectorTypes;
template <>
struct VectorTypes<4> {
    typedef float F __attribute__((vector_size(16)));
    typedef std::int32_t I __attribute__((vector_size(16)));
    typedef std::uint32_t U __attribute__((vector_size(16)));
    typedef double D __attribute__((vector_size(32)));
    typedef std::int64_t L __attribute__((vector_size(32)));
};
template <>
struct VectorTypes<8> {
    typedef float F __attribute__((vector_size(32)));
    typedef std::int32_t I __attribute__((vector_size(32)));
    typedef std::uint32_t U __attribute__((vector_size(32)));
    typedef double D __attribute__((vector_size(64)));
    typedef std::int64_t L __attribute__((vector_size(64)));
};
template <>
struct VectorTypes<16> {
    typedef float F __attribute__((vector_size(64)));
    typedef std::int32_t I __attribute__((vector_size(64)));
    typedef std::uint32_t U __attribute__((vector_size(64)));
    typedef double D __attribute__((vector_size(128)));
    typedef std::int64_t L __attribute__((vector_size(128)));
};

template <std::size_t W>
struct Vec {
    using F = typename VectorTypes<W>::F;
    using I = typename VectorTypes<W>::I;
    using U = typename VectorTypes<W>::U;
    // W lanes of double and of int64, for work that needs more precision.
    using D = typename VectorTypes<W>::D;
    using L = typename VectorTypes<W>::L;
    static_assert(sizeof(F) == W * sizeof(float));

    template <class T>
    static T load(const void* p) {
        T v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    static F loadf(const float* p) { return load<F>(p); }
    template <class T>
    static void store(void* p, T v) {
        std::memcpy(p, &v, sizeof v);
    }

    // The even and the odd elements of a followed by b; the first or the
    // second halves of a and b interleaved.
    template <std::size_t... K>
    static F evens(F a, F b, std::index_sequence<K...>) {
        return __builtin_shufflevector(a, b, (2 * K)...);
    }
    template <std::size_t... K>
    static F odds(F a, F b, std::index_sequence<K...>) {
        return __builtin_shufflevector(a, b, (2 * K + 1)...);
    }
    template <std::size_t... K>
    static F interleave_low(F a, F b, std::index_sequence<K...>) {
        return __builtin_shufflevector(a, b, (K % 2 == 0 ? K / 2 : W + K / 2)...);
    }
    template <std::size_t... K>
    static F interleave_high(F a, F b, std::index_sequence<K...>) {
        return __builtin_shufflevector(a, b, (K % 2 == 0 ? W / 2 + K / 2 : W + W / 2 + K / 2)...);
    }
    static F evens(F a, F b) { return evens(a, b, std::make_index_sequence<W>()); }
    static F odds(F a, F b) { return odds(a, b, std::make_index_sequence<W>()); }

    // rows[j][t] becomes rows[t][j]: each round of interleaving row j with
    // row j + W/2 swaps one bit of the row index with one of the lane index.
    static void transpose(F* rows) {
        constexpr auto lanes = std::make_index_sequence<W>();
        for (std::size_t round = 1; round < W; round *= 2) {
            F next[W];
            for (std::size_t j = 0; j < W / 2; ++j) {
                next[2 * j] = interleave_low(rows[j], rows[j + W / 2], lanes);
                next[2 * j + 1] = interleave_high(rows[j], rows[j + W / 2], lanes);
            }
            for (std::size_t j = 0; j < W; ++j) rows[j] = next[j];
        }
    }
};

}  // namespace
}  // namespace ostrel::simd
