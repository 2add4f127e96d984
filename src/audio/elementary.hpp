// The module's own elementary functions of binary32 arguments, so that no
// C library's maths enters the audio results: the log10 of the levels (every
// input correctly rounded, to nearest with ties to even; the levels run it in
// lanes, log10_lanes.hpp), and the cosine, exponentials and logarithms from
// which the Hann window and the mel filterbank are built, correctly rounded
// for the arguments those use (tests/cpp/audio_elementary_test.cpp checks
// every one against a higher-precision oracle).
//
// Special inputs as a C library treats them: log10 and ln of +0 or -0 give
// -inf, of a negative number NaN, of +inf +inf; NaN gives NaN.
#pragma once

namespace ostrel::audio::cr {

// log10(x), correctly rounded for every x: the one-lane form of the lanes.
float log10(float x) noexcept;

// The same results, each from a double-double evaluation (about 2^-75
// relative error) rounded once. The lanes take it for the rare inputs whose
// rounding their double evaluation cannot decide; it is much slower.
float log10_accurate(float x) noexcept;

// The natural logarithm, by log10_accurate()'s double-double evaluation.
float ln(float x) noexcept;

// e^x and 10^x, from a double evaluation (relative error under 2^-50)
// rounded once; exact for the powers of ten a float holds (10^0 .. 10^10).
float exp(float x) noexcept;
float exp10(float x) noexcept;

// cos(x) for |x| < 2^19 (the window needs [0, 2 pi]), from a double
// evaluation (relative error under 2^-50) rounded once; NaN for larger,
// infinite and NaN x.
float cos(float x) noexcept;

}  // namespace ostrel::audio::cr
