"""Binding and conversion of arguments, and the exact errors callers get."""

import numpy as np
import pytest

import ostrel_py
from conftest import Index

RECORD = bytes([0x91, 0x90])  # a mask record with no rows
WAV = np.zeros(16, dtype=np.float32)
rm = ostrel_py.reconstruct_mask
v1 = ostrel_py.vxmv1_melspectrogram
v2 = ostrel_py.vxmv2_melspectrogram


class TypeErrorSubclass(TypeError):
    pass


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class SurrogateName:
    pass


SurrogateName.__qualname__ = "x\udcff"


def call(function, *args, **kwargs):
    return lambda: function(*args, **kwargs)


BINDING_ERRORS = [
    (call(rm), "reconstruct_mask() missing 3 required positional arguments: 'bytes', 'width', and 'height'"),
    (call(rm, RECORD, 1), "reconstruct_mask() missing 1 required positional argument: 'height'"),
    (call(rm, RECORD), "reconstruct_mask() missing 2 required positional arguments: 'width' and 'height'"),
    (call(rm, height=1), "reconstruct_mask() missing 2 required positional arguments: 'bytes' and 'width'"),
    (call(v1), "vxmv1_melspectrogram() missing 2 required positional arguments: 'wav' and 'sample_rate'"),
    (call(v2, sample_rate=1), "vxmv2_melspectrogram() missing 1 required positional argument: 'wav'"),
    (call(rm, b"x", 1, 2, None, 5), "reconstruct_mask() takes from 3 to 4 positional arguments but 5 were given"),
    (call(v2, WAV, 16000, 1), "vxmv2_melspectrogram() takes 2 positional arguments but 3 were given"),
    (call(v1, WAV, 16000, sample_rate=1), "vxmv1_melspectrogram() got multiple values for argument 'sample_rate'"),
    (call(v1, WAV, 16000, rate=1), "vxmv1_melspectrogram() got an unexpected keyword argument 'rate'"),
    (call(rm, RECORD, 1, 1, scale=None, width=2), "reconstruct_mask() got multiple values for argument 'width'"),
    # Binding finishes before anything is converted.
    (call(rm, None, 1, Bytes=1), "reconstruct_mask() got an unexpected keyword argument 'Bytes'"),
]


@pytest.mark.parametrize("thunk, message", BINDING_ERRORS)
def test_binding_errors(thunk, message):
    with pytest.raises(TypeError) as caught:
        thunk()
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)


def test_every_parameter_by_keyword():
    out = rm(scale=(1.0, "linear"), height=2, width=3, bytes=RECORD)
    assert out.shape == (2, 3)
    assert v1(sample_rate=16000, wav=WAV) == []


CONVERSION_ERRORS = [
    # (thunk, exception class, exact message)
    (call(rm, None, 1, 1), TypeError, "argument 'bytes': 'NoneType' object cannot be converted to 'PyBytes'"),
    (call(rm, bytearray(b"x"), 1, 1), TypeError, "argument 'bytes': 'bytearray' object cannot be converted to 'PyBytes'"),
    (call(rm, memoryview(b"x"), 1, 1), TypeError, "argument 'bytes': 'memoryview' object cannot be converted to 'PyBytes'"),
    (call(rm, RECORD, 1.0, 1), TypeError, "argument 'width': 'float' object cannot be interpreted as an integer"),
    (call(rm, RECORD, 1, "2"), TypeError, "argument 'height': 'str' object cannot be interpreted as an integer"),
    (call(rm, RECORD, -1, 1), OverflowError, "can't convert negative int to unsigned"),
    (call(rm, RECORD, 1, 2**64), OverflowError, "int too big to convert"),
    (call(rm, RECORD, 1, 1, [2.0, "nearest"]), TypeError, "argument 'scale': 'list' object cannot be converted to 'PyTuple'"),
    (call(rm, RECORD, 1, 1, (2.0,)), ValueError, "expected tuple of length 2, but got tuple of length 1"),
    (call(rm, RECORD, 1, 1, (2.0, "linear", 1)), ValueError, "expected tuple of length 2, but got tuple of length 3"),
    (call(rm, RECORD, 1, 1, ("2", "linear")), TypeError, "argument 'scale': must be real number, not str"),
    (call(rm, RECORD, 1, 1, (2.0, 3)), TypeError, "argument 'scale': 'int' object cannot be converted to 'PyString'"),
    (call(rm, RECORD, 1, 1, (2.0, b"linear")), TypeError, "argument 'scale': 'bytes' object cannot be converted to 'PyString'"),
    (call(v1, WAV, -1), OverflowError, "out of range integral type conversion attempted"),
    (call(v1, WAV, 4294967296), OverflowError, "out of range integral type conversion attempted"),
    (call(v2, WAV, 2**63), OverflowError, "Python int too large to convert to C long"),
    (call(v1, WAV, 16000.0), TypeError, "argument 'sample_rate': 'float' object cannot be interpreted as an integer"),
    (call(v1, WAV, None), TypeError, "argument 'sample_rate': 'NoneType' object cannot be interpreted as an integer"),
    # The sample_rate error wins over a bad wav.
    (call(v1, [0.0], -5), OverflowError, "out of range integral type conversion attempted"),
    (call(v1, [0.0], 16000), TypeError, "Expected a NumPy ndarray of type float32"),
    # Arguments are converted in order; the content of the bytes is read only after.
    (call(rm, b"\xc1", 1, 1, [1]), TypeError, "argument 'scale': 'list' object cannot be converted to 'PyTuple'"),
    (call(rm, None, -1, 1), TypeError, "argument 'bytes': 'NoneType' object cannot be converted to 'PyBytes'"),
]


@pytest.mark.parametrize("thunk, cls, message", CONVERSION_ERRORS)
def test_conversion_errors(thunk, cls, message):
    with pytest.raises(BaseException) as caught:
        thunk()
    assert type(caught.value) is cls
    assert str(caught.value) == message


def test_argument_prefix_keeps_the_cause_of_a_type_error():
    root = KeyError("root")
    inner = TypeError("inner")
    inner.__cause__ = root
    with pytest.raises(TypeError) as caught:
        rm(RECORD, RaisingIndex(inner), 1)
    assert caught.value.args == ("argument 'width': inner",)
    assert caught.value.__cause__ is root


@pytest.mark.parametrize(
    "error", [TypeErrorSubclass("sub"), ValueError("value"), ZeroDivisionError("zero")], ids=type
)
def test_other_failures_reach_the_caller_unchanged(error):
    with pytest.raises(type(error)) as caught:
        rm(RECORD, 1, RaisingIndex(error))
    assert caught.value is error
    with pytest.raises(type(error)) as caught:
        v1(WAV, RaisingIndex(error))
    assert caught.value is error


@pytest.mark.parametrize("function", [rm, v1, v2], ids=lambda f: f.__name__)
def test_a_keyword_utf8_cannot_hold_is_reported_as_a_python_function_reports_it(function):
    def plain(bytes, width, height, scale=None):
        pass

    with pytest.raises(TypeError) as expected:
        plain(**{"x\ud800": 1})
    with pytest.raises(TypeError) as caught:
        function(**{"x\ud800": 1})
    assert type(caught.value) is TypeError
    message = f"{function.__name__}() got an unexpected keyword argument 'x\ud800'"
    assert caught.value.args == (message,)
    assert expected.value.args[0].endswith(message.removeprefix(function.__name__))


@pytest.mark.parametrize("thunk, message", [
    (call(rm, RECORD, RaisingIndex(TypeError("bad \ud800")), 1), "argument 'width': bad \ud800"),
    (call(v1, WAV, RaisingIndex(TypeError("bad \ud800"))), "argument 'sample_rate': bad \ud800"),
    (call(rm, SurrogateName(), 1, 1), "argument 'bytes': 'x\udcff' object cannot be converted to 'PyBytes'"),
], ids=["index", "sample_rate", "type_name"])
def test_messages_keep_text_utf8_cannot_hold(thunk, message):
    with pytest.raises(TypeError) as caught:
        thunk()
    assert type(caught.value) is TypeError
    assert caught.value.args == (message,)


def test_string_that_cannot_be_encoded_fails_with_cpythons_error():
    with pytest.raises(UnicodeEncodeError):
        rm(RECORD, 1, 1, (2.0, "\ud800"))


@pytest.mark.parametrize(
    "width, height",
    [(True, 1), (Index(3), Index(2)), (np.int64(3), np.uint8(2)), (2**64 - 1, 0)],
)
def test_integers_and_index_objects_are_accepted(width, height):
    # 2**64 - 1 is a valid width; it only fails later, on the array size.
    try:
        out = rm(RECORD, width, height)
    except BaseException as error:
        assert type(error).__name__ == "PanicException"
        assert "Shape too large" in str(error)
    else:
        assert out.shape == (int(height), int(width))


@pytest.mark.parametrize("rate", [0, 48000, 4294967295, Index(16000), np.uint32(44100)])
def test_sample_rates_accepted_by_conversion(rate):
    assert v1(WAV, rate) == []


@pytest.mark.parametrize(
    "factor, shape",
    [(2, (4, 6)), (True, (2, 3)), (np.float64(0.5), (1, 1)), (Index(2), (4, 6)), (float("nan"), (0, 0))],
)
def test_scale_factor_conversions(factor, shape):
    assert rm(RECORD, 3, 2, (factor, "nearest")).shape == shape


def test_module_errors_carry_the_message_as_only_argument():
    with pytest.raises(ValueError) as caught:
        rm(b"", 1, 1)
    assert caught.value.args == ("Failed to deserialize CompactMaskModel",)
    with pytest.raises(TypeError) as caught:
        v2(np.zeros(3), 16000)
    assert caught.value.args == ("Expected a NumPy ndarray of type float32",)
