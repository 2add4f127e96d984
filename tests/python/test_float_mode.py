"""The caller's floating-point mode: the results are those of round-to-nearest
with subnormals kept, whatever rounding or flushing the calling thread has
set, before the call or from Python code the call runs (__float__,
__index__, finalizers), and the caller gets its mode back from every call,
failed ones too."""

import ctypes
import gc
import hashlib
import platform
import sys

import msgpack
import numpy as np
import pytest

import ostrel_py
from conftest import PANICKING_RECORD, run_python

libm = ctypes.CDLL("libm.so.6")
# fenv_t, laid out alike by glibc and musl, as 32-bit words: the x87 control
# word in word 0 and MXCSR in word 7 (x86_64), or FPCR in word 0 (AArch64).
# MODE_BITS sets a mode's bits there; CONTROL masks what the mode is, the
# exception flags left out.
MODE_BITS, CONTROL, FENV_WORDS = {
    "x86_64": ({"upward": {0: 0x800, 7: 0x4000}, "downward": {0: 0x400, 7: 0x2000},
                "toward-zero": {0: 0xC00, 7: 0x6000}, "flush-to-zero": {7: 0x8040}}, {0: 0xFFFF, 7: 0xFFC0}, 8),
    "aarch64": ({"upward": {0: 1 << 22}, "downward": {0: 2 << 22}, "toward-zero": {0: 3 << 22},
                 "flush-to-zero": {0: 1 << 24}}, {0: 0xFFFFFFFF}, 2),
}[platform.machine()]
FEnv = ctypes.c_uint32 * FENV_WORDS

RECORD = bytes.fromhex("91 93 92 92 00 cc ff 92 03 00 91 92 01 cc 80 92 92 00 7f 92 04 cc c8")
WAV = (np.random.default_rng(3).standard_normal(9000) * 0.2).astype(np.float32)
CASES = {
    "v1": lambda: b"".join(ostrel_py.vxmv1_melspectrogram(WAV, 16000)),
    "v2-44100": lambda: b"".join(ostrel_py.vxmv2_melspectrogram(WAV, 44100)),
    **{f"mask-{name}": (lambda name=name: ostrel_py.reconstruct_mask(RECORD, 7, 3, (2.3, name)).tobytes())
       for name in ("linear", "cubic", "gaussian")},
    "bad-record": lambda: ostrel_py.reconstruct_mask(RECORD[:-2], 7, 3),
    "panic": lambda: ostrel_py.reconstruct_mask(PANICKING_RECORD, 0, 1),
}


def outcome(call):
    try:
        return call()
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        return type(error)


def in_mode(bits, call):
    """The call's outcome under the caller's mode plus `bits`, and whether the call left that mode."""
    default, left = FEnv(), FEnv()
    libm.fegetenv(default)
    wanted = FEnv(*default)
    for word, bit in bits.items():
        wanted[word] |= bit
    libm.fesetenv(wanted)
    try:
        result = outcome(call)
        libm.fegetenv(left)
    finally:
        libm.fesetenv(default)
    return result, all(left[word] & mask == wanted[word] & mask for word, mask in CONTROL.items())


@pytest.mark.parametrize("mode", MODE_BITS)
def test_results_and_the_callers_mode_survive_other_modes(mode, capfd):
    expected = {name: outcome(call) for name, call in CASES.items()}
    for name, call in CASES.items():
        assert in_mode(MODE_BITS[mode], call) == (expected[name], True), name
    capfd.readouterr()  # the panic's report


# ---- Python code run inside a call changes the calling thread's mode ----

FE_DOWNWARD = {"x86_64": 0x400, "aarch64": 0x800000}[platform.machine()]


def feathered_record(width, height):
    """Every row a ramp of runs from 0 up: a record whose resize is sensitive to every rounding."""
    row = [[column, column % 256] for column in range(width)]
    return msgpack.packb([[row] * height])


class SetsDownward:
    """A scale or size whose conversion leaves downward rounding behind."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        libm.fesetround(FE_DOWNWARD)
        return float(self.value)

    def __index__(self):
        libm.fesetround(FE_DOWNWARD)
        return self.value


def finalizer_sets_downward():
    """Garbage in a cycle whose finalizer leaves downward rounding behind, and
    the collector set to run at the next tracked allocation: on 3.11 that is
    the list an audio call makes; later CPythons collect only between bytecodes."""

    class Cycle:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            libm.fesetround(FE_DOWNWARD)

    gc.collect()
    Cycle()
    gc.set_threshold(1)


FEATHERED = feathered_record(300, 200)
HOOKED = {
    # 1.1 narrowed to single precision rounding downward is 0x3F8CCCCC, not 0x3F8CCCCD.
    "scale __float__": (lambda: ostrel_py.reconstruct_mask(FEATHERED, 300, 200, (SetsDownward(1.1), "linear")),
                        lambda: ostrel_py.reconstruct_mask(FEATHERED, 300, 200, (1.1, "linear"))),
    "width __index__": (lambda: ostrel_py.reconstruct_mask(FEATHERED, SetsDownward(300), 200, (0.7, "cubic")),
                        lambda: ostrel_py.reconstruct_mask(FEATHERED, 300, 200, (0.7, "cubic"))),
    "sample_rate __index__": (lambda: ostrel_py.vxmv2_melspectrogram(WAV, SetsDownward(44100)),
                              lambda: ostrel_py.vxmv2_melspectrogram(WAV, 44100)),
}


def audio_with_finalizer():
    finalizer_sets_downward()
    return ostrel_py.vxmv1_melspectrogram(WAV, 16000)


if sys.version_info < (3, 12):
    HOOKED["finalizer"] = (audio_with_finalizer, lambda: ostrel_py.vxmv1_melspectrogram(WAV, 16000))


def as_bits(result):
    return (result.shape, result.tobytes()) if isinstance(result, np.ndarray) else result


@pytest.mark.parametrize("hook", HOOKED)
def test_python_code_inside_a_call_changes_neither_its_result_nor_the_callers_mode(hook):
    hooked, plain = HOOKED[hook]
    expected = as_bits(plain())
    thresholds = gc.get_threshold()
    before = libm.fegetround()
    try:
        result = as_bits(hooked())
        after = libm.fegetround()
    finally:
        gc.set_threshold(*thresholds)
        libm.fesetround(before)
    assert result == expected
    assert after == before


def test_taps_made_while_python_code_changed_the_mode_are_not_kept():
    # A later call with the same sizes reads the taps the hooked call kept.
    result = run_python(f"""
        import ctypes, hashlib, msgpack, ostrel_py
        libm = ctypes.CDLL("libm.so.6")
        class Scale:
            def __float__(self):
                libm.fesetround({FE_DOWNWARD})
                return 1.5
        record = msgpack.packb([[[[c, c] for c in range(256)]] * 200])
        ostrel_py.reconstruct_mask(record, 300, 200, (Scale(), "linear"))
        libm.fesetround(0)
        print(hashlib.sha256(ostrel_py.reconstruct_mask(record, 300, 200, (1.5, "linear")).tobytes()).hexdigest())
    """)
    record = feathered_record(256, 200)
    fresh = ostrel_py.reconstruct_mask(record, 300, 200, (1.5, "linear"))
    assert result.stdout.strip() == hashlib.sha256(fresh.tobytes()).hexdigest()
