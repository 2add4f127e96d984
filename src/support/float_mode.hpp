// The floating-point mode a call computes in.
//
// The module's results are defined in round-to-nearest with subnormal
// numbers kept, the mode every Linux process starts in. A caller, or a
// library loaded into the process (one built with fast-math turns on
// flush-to-zero for the whole process when it loads), may leave another
// rounding mode or flushing behind, and the control register is per thread
// state that the arithmetic reads implicitly. FloatModeGuard puts the
// defined mode in place for its lifetime and gives the caller's back when
// it ends, however it ends.
//
// On x86_64 this is MXCSR (all SSE and AVX arithmetic; the module uses no
// x87 instruction, so the x87 control word is left alone), on AArch64 FPCR.
// The register is written only when it differs from the defined mode, and
// then every exception is masked too, so that a caller's unmasked trap
// cannot end the process on an inexact result.
//
// The compiler does not know that arithmetic reads the register: it may move
// a multiply it can see across the write. The guard holds calls into other
// translation units (the argument conversion, the cores), which stay inside.
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

class FloatModeGuard {
public:
    FloatModeGuard() noexcept : saved_(read_float_control()) {
        const FloatControl wanted = kDefinedFloatControl | (saved_ & kFloatStatusBits);
        changed_ = saved_ != wanted;
        if (changed_) write_float_control(wanted);
    }
    ~FloatModeGuard() {
        if (changed_) write_float_control(saved_);
    }
    FloatModeGuard(const FloatModeGuard&) = delete;
    FloatModeGuard& operator=(const FloatModeGuard&) = delete;

private:
    FloatControl saved_;
    bool changed_;
};

}  // namespace ostrel
