"""The caller's floating-point mode: the results are those of round-to-nearest
with subnormals kept, whatever rounding or flushing the calling thread has
set, and the caller gets its mode back from every call, failed ones too."""

import ctypes
import platform

import numpy as np
import pytest

import ostrel_py
from conftest import PANICKING_RECORD

libm = ctypes.CDLL("libm.so.6")
# femode_t: the x87 control word and MXCSR in the high half (x86_64), or FPCR (AArch64).
MODE_BITS = {
    "x86_64": {"upward": 0x4000 << 32 | 0x800, "downward": 0x2000 << 32 | 0x400,
               "toward-zero": 0x6000 << 32 | 0xC00, "flush-to-zero": 0x8040 << 32},
    "aarch64": {"upward": 1 << 22, "downward": 2 << 22, "toward-zero": 3 << 22, "flush-to-zero": 1 << 24},
}[platform.machine()]

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
    """The call's outcome under the caller's mode plus `bits`, and the mode the call left."""
    default, wanted, left = ctypes.c_uint64(), ctypes.c_uint64(), ctypes.c_uint64()
    libm.fegetmode(ctypes.byref(default))
    wanted.value = default.value | bits
    libm.fesetmode(ctypes.byref(wanted))
    try:
        result = outcome(call)
        libm.fegetmode(ctypes.byref(left))
    finally:
        libm.fesetmode(ctypes.byref(default))
    return result, left.value == wanted.value


@pytest.mark.parametrize("mode", MODE_BITS)
def test_results_and_the_callers_mode_survive_other_modes(mode, capfd):
    expected = {name: outcome(call) for name, call in CASES.items()}
    for name, call in CASES.items():
        assert in_mode(MODE_BITS[mode], call) == (expected[name], True), name
    capfd.readouterr()  # the panic's report
