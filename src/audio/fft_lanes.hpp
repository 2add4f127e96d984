// The FFT kernels written once for a vector of W lanes, one frame per lane.
// Included only by fft_path.cpp, which the build compiles once for each SIMD
// path's instruction set; everything here has internal linkage, so no
// function compiled for a wide path can stand in for a baseline one at link
// time.
//
// What keeps the bits: every lane runs exactly the operations of the scalar
// algorithm, in the order written, each rounded on its own (the build forbids
// contraction into fused multiply-adds). A frame's spectrum therefore does not
// depend on its lane, on the other frames of its batch, or on W. Reordering a
// sum, fusing a multiply-add or folding the 0.5 of the real-input join into a
// twiddle would change results in their last bits and break that promise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/fft_kernels.hpp"
#include "support/lanes.hpp"

namespace ostrel::audio {
namespace {

template <std::size_t W>
struct FftLanes {
    using Vec = simd::Vec<W>;
    using F = typename Vec::F;
    using I = typename Vec::I;

    struct C {
        F re;
        F im;
    };

    static constexpr std::size_t kPoint = 2 * W;  // floats per complex point

    static F load(const float* p) { return Vec::loadf(p); }
    static void store(float* p, F v) { Vec::store(p, v); }
    static C get(const float* buffer, std::size_t i) { return {load(buffer + i * kPoint), load(buffer + i * kPoint + W)}; }
    static void put(float* buffer, std::size_t i, C c) {
        store(buffer + i * kPoint, c.re);
        store(buffer + i * kPoint + W, c.im);
    }

    static C add(C a, C b) { return {a.re + b.re, a.im + b.im}; }
    static C sub(C a, C b) { return {a.re - b.re, a.im - b.im}; }
    // a * (wr + i wi)
    static C rotate(C a, float wr, float wi) { return {a.re * wr - a.im * wi, a.re * wi + a.im * wr}; }
    // a * -i and a * i
    static C minus_i(C a) { return {a.im, -a.re}; }
    static C plus_i(C a) { return {-a.im, a.re}; }

    // Frames into the first buffer as complex points (x[2i], x[2i+1]), one
    // frame per lane. With `emphasis` each sample is first pre-emphasised,
    // y[n] = x[n] - c x[n-1] with c = *emphasis and x[-1] the sample before
    // the frame; then each is multiplied by its window value. A full batch
    // goes a block of W points at a time: each frame's 2W samples are loaded
    // and windowed as vectors, split into real and imaginary parts, and the
    // W x W blocks turned so that lanes run across frames. The products are
    // the same as one sample at a time.
    static void gather(std::size_t half, const float* first, std::size_t step, std::size_t count,
                       const float* window, const float* emphasis, float* out) {
        const float c = emphasis != nullptr ? *emphasis : 0.0f;
        std::size_t i = 0;
        if (count == W) {
            for (; i + W <= half; i += W) {
                F re[W];
                F im[W];
                for (std::size_t j = 0; j < W; ++j) {
                    const float* x = first + j * step + 2 * i;
                    F a = load(x);
                    F b = load(x + W);
                    if (emphasis != nullptr) {
                        a = a - c * load(x - 1);
                        b = b - c * load(x + W - 1);
                    }
                    if (window != nullptr) {
                        a = a * load(window + 2 * i);
                        b = b * load(window + 2 * i + W);
                    }
                    re[j] = Vec::evens(a, b);
                    im[j] = Vec::odds(a, b);
                }
                Vec::transpose(re);
                Vec::transpose(im);
                for (std::size_t t = 0; t < W; ++t) put(out, i + t, C{re[t], im[t]});
            }
        }
        // The rest, and partial batches, lane by lane straight into the
        // buffer (assembling vectors from single floats on the stack would
        // stall every load on the stores before it).
        for (std::size_t j = 0; j < W; ++j) {
            const float* frame = first + j * step;
            float* lane = out + j;
            for (std::size_t k = i; k < half; ++k) {
                float re = 0.0f;
                float im = 0.0f;
                if (j < count) {
                    re = frame[2 * k];
                    im = frame[2 * k + 1];
                    if (emphasis != nullptr) {
                        re = re - c * frame[2 * k - 1];
                        im = im - c * frame[2 * k];
                    }
                    if (window != nullptr) {
                        re = re * window[2 * k];
                        im = im * window[2 * k + 1];
                    }
                }
                lane[k * kPoint] = re;
                lane[k * kPoint + W] = im;
            }
        }
    }

    // One decimation-in-frequency pass of the self-sorting (Stockham) form:
    // point r + s (q + j m) of the input feeds the radix-p butterfly whose k-th
    // output, turned by exp(-2 pi i q k / n), lands at r + s (p q + k).
    template <std::size_t P>
    static void pass(const FftTables& t, const FftStage& stage, const float* in, float* out) {
        const std::size_t n = stage.length;
        const std::size_t s = stage.stride;
        const std::size_t m = n / P;
        for (std::size_t q = 0; q < m; ++q) {
            const float* tw = stage.twiddles + 2 * q * (P - 1);
            for (std::size_t r = 0; r < s; ++r) {
                C a[P];
                for (std::size_t j = 0; j < P; ++j) a[j] = get(in, r + s * (q + j * m));
                C y[P];
                butterfly<P>(t, a, y);
                put(out, r + s * P * q, y[0]);
                for (std::size_t k = 1; k < P; ++k) {
                    // The first twiddle of every stage is exactly 1.
                    const C turned = q == 0 ? y[k] : rotate(y[k], tw[2 * (k - 1)], tw[2 * (k - 1) + 1]);
                    put(out, r + s * (P * q + k), turned);
                }
            }
        }
    }

    // y[k] = sum over j of a[j] exp(-2 pi i j k / P).
    template <std::size_t P>
    static void butterfly(const FftTables& t, const C* a, C* y) {
        if constexpr (P == 2) {
            y[0] = add(a[0], a[1]);
            y[1] = sub(a[0], a[1]);
        } else if constexpr (P == 3) {
            const C sum = add(a[1], a[2]);
            const C diff = sub(a[1], a[2]);
            y[0] = add(a[0], sum);
            const C mid{a[0].re - sum.re * 0.5f, a[0].im - sum.im * 0.5f};
            const C turn = minus_i(C{diff.re * t.sin_3, diff.im * t.sin_3});
            y[1] = add(mid, turn);
            y[2] = sub(mid, turn);
        } else if constexpr (P == 4) {
            const C t0 = add(a[0], a[2]);
            const C t1 = sub(a[0], a[2]);
            const C t2 = add(a[1], a[3]);
            const C t3 = minus_i(sub(a[1], a[3]));
            y[0] = add(t0, t2);
            y[1] = add(t1, t3);
            y[2] = sub(t0, t2);
            y[3] = sub(t1, t3);
        } else {
            static_assert(P == 5);
            const float c1 = t.cos_5[0], c2 = t.cos_5[1], s1 = t.sin_5[0], s2 = t.sin_5[1];
            const C t1 = add(a[1], a[4]);
            const C t2 = add(a[2], a[3]);
            const C d1 = sub(a[1], a[4]);
            const C d2 = sub(a[2], a[3]);
            y[0] = add(add(a[0], t1), t2);
            const C b1{(a[0].re + t1.re * c1) + t2.re * c2, (a[0].im + t1.im * c1) + t2.im * c2};
            const C b2{(a[0].re + t1.re * c2) + t2.re * c1, (a[0].im + t1.im * c2) + t2.im * c1};
            const C e1{d1.re * s1 + d2.re * s2, d1.im * s1 + d2.im * s2};
            const C e2{d1.re * s2 - d2.re * s1, d1.im * s2 - d2.im * s1};
            y[1] = add(b1, minus_i(e1));
            y[4] = add(b1, plus_i(e1));
            y[2] = add(b2, minus_i(e2));
            y[3] = add(b2, plus_i(e2));
        }
    }

    static void spectra(const FftTables& t, const float* first, std::size_t step, std::size_t count,
                        const float* window, const float* emphasis, float* work, float* spectrum) {
        const std::size_t half = t.half;
        float* in = work;
        float* out = work + half * kPoint;
        gather(half, first, step, count, window, emphasis, in);
        for (std::size_t i = 0; i < t.stage_count; ++i) {
            const FftStage& stage = t.stages[i];
            switch (stage.radix) {
            case 2:
                pass<2>(t, stage, in, out);
                break;
            case 3:
                pass<3>(t, stage, in, out);
                break;
            case 4:
                pass<4>(t, stage, in, out);
                break;
            default:
                pass<5>(t, stage, in, out);
                break;
            }
            float* done = out;
            out = in;
            in = done;
        }

        // The complex transform Z of z[i] = x[2i] + i x[2i+1] holds the
        // transforms of the even samples, E = (Z[k] + conj Z[half-k]) / 2, and
        // of the odd ones, O = (Z[k] - conj Z[half-k]) / 2i; the real frame's
        // spectrum is X[k] = E[k] + exp(-2 pi i k / 2 half) O[k].
        const C z0 = get(in, 0);
        put(spectrum, 0, C{z0.re + z0.im, F{}});
        put(spectrum, half, C{z0.re - z0.im, F{}});
        for (std::size_t k = 1; k < half; ++k) {
            const C zk = get(in, k);
            const C zc = get(in, half - k);
            const C even{(zk.re + zc.re) * 0.5f, (zk.im - zc.im) * 0.5f};
            const C odd{(zk.im + zc.im) * 0.5f, (zc.re - zk.re) * 0.5f};
            const C turned = rotate(odd, t.join[2 * k], t.join[2 * k + 1]);
            put(spectrum, k, add(even, turned));
        }
    }

    static FftKernels kernels() noexcept { return FftKernels{W, &spectra}; }
};

}  // namespace
}  // namespace ostrel::audio
