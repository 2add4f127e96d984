// The floating-point mode a call computes in.
//
// The module's results are defined in round-to-nearest with subnormal
// numbers kept, the mode every Linux process starts in. A caller, or a
// library loaded into the process (one built with fast-math turns on
// flush-to-zero for the whole process when it loads), may leave another
// rounding mode or flushing behind, and the control register is per thread
// state that the arithmetic reads implicitly. So may Python code that runs
// in the middle of a call: a scale's __float__, a size's __index__, a
// finalizer the collector runs while the call makes Python objects.
//
// FloatModeGuard keeps the caller's mode for its lifetime and gives it back
// when it ends, however it ends and whatever ran inside.
// enter_defined_float_mode() puts the defined mode in place: a call runs it
// after the last step that may have run Python code and before its first
// floating-point operation, and again wherever Python code may have run
// since.
//
// On x86_64 this is MXCSR (all SSE and AVX arithmetic; the module uses no
// x87 instruction, so the x87 control word is only given back), on AArch64
// FPCR.
// The register is written only when it differs from the mode wanted, and
// the defined mode masks every exception too, so that a caller's unmasked
// trap cannot end the process on an inexact result.
//
// The compiler does not know that arithmetic reads the register: it may move
// a multiply it can see across the write. Calls into other translation units
// (the cores) stay on their side of it; arithmetic inline after it takes its
// operand through float_mode_fence().
#pragma once

#include <cstdint>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

namespace ostrel {

#if defined(__x86_64__)
using FloatControl = std::uint32_t;
// Round to nearest (RC = 0), every exception masked (bits 7 to 12),
// flush-to-zero (bit 15) and denormals-are-zero (bit 6) off: MXCSR's power-on value.
inline constexpr FloatControl kDefinedFloatControl = 0x1F80;
// The sticky exception flags (bits 0 to 5), which control nothing.
inline constexpr FloatControl kFloatStatusBits = 0x3F;
inline FloatControl read_float_control() noexcept { return _mm_getcsr(); }
inline void write_float_control(FloatControl value) noexcept { _mm_setcsr(value); }
// The x87 control word, which no arithmetic of the module reads, but which is
// part of the caller's mode that Python code run inside a call may change.
inline std::uint16_t read_x87_control() noexcept {
    std::uint16_t value;
    asm volatile("fnstcw %0" : "=m"(value));
    return value;
}
inline void write_x87_control(std::uint16_t value) noexcept { asm volatile("fldcw %0" : : "m"(value)); }
#elif defined(__aarch64__)
using FloatControl = std::uint64_t;
// Round to nearest, no flushing (FZ, FZ16, FIZ), no default-NaN or alternate
// handling, no traps: FPCR all zero, as Linux starts a process.
inline constexpr FloatControl kDefinedFloatControl = 0;
inline constexpr FloatControl kFloatStatusBits = 0;  // FPSR holds them, apart
inline FloatControl read_float_control() noexcept {
    FloatControl value;
    asm volatile("mrs %0, fpcr" : "=r"(value));
    return value;
}
inline void write_float_control(FloatControl value) noexcept { asm volatile("msr fpcr, %0" : : "r"(value) : "memory"); }
#else
#error "the floating-point control register of this architecture is not known"
#endif

// Whether the calling thread computes in the defined mode.
inline bool in_defined_float_mode() noexcept {
    return (read_float_control() & ~kFloatStatusBits) == kDefinedFloatControl;
}

// Puts the defined mode in place, keeping the sticky exception flags.
inline void enter_defined_float_mode() noexcept {
    const FloatControl current = read_float_control();
    const FloatControl wanted = kDefinedFloatControl | (current & kFloatStatusBits);
    if (current != wanted) write_float_control(wanted);
}

// `value` as the compiler must take it after everything before: arithmetic on
// the result cannot be moved above an enter_defined_float_mode() before it.
template <class T>
inline T float_mode_fence(T value) noexcept {
    asm volatile("" : "+m"(value));
    return value;
}

// The caller's mode, kept while the guard lives and given back when it ends,
// whatever ran in between; the defined mode put in place on entry.
class FloatModeGuard {
public:
    FloatModeGuard() noexcept : saved_(read_float_control()) { enter_defined_float_mode(); }
    ~FloatModeGuard() {
        if ((read_float_control() ^ saved_) & ~kFloatStatusBits) write_float_control(saved_);
#if defined(__x86_64__)
        if (read_x87_control() != saved_x87_) write_x87_control(saved_x87_);
#endif
    }
    FloatModeGuard(const FloatModeGuard&) = delete;
    FloatModeGuard& operator=(const FloatModeGuard&) = delete;

private:
    FloatControl saved_;
#if defined(__x86_64__)
    std::uint16_t saved_x87_ = read_x87_control();
#endif
};

}  // namespace ostrel
