"""Arbitrary Python objects in every parameter: only the documented exception
classes come out (or the caller's own exception, unchanged), and the module
keeps working afterwards."""

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import ostrel_py
from conftest import PanicException

EXAMPLE = bytes.fromhex("91 92 92 92 00 cc ff 92 03 00 90")
EXAMPLE_MASK = [[1.0, 1.0, 1.0, 0.0, 0.0], [0.0] * 5]
WAV = np.linspace(-0.5, 0.5, 700, dtype=np.float32)
DOCUMENTED = (TypeError, ValueError, OverflowError, MemoryError)
MASK_PANICS = {
    "ndarray: index out of bounds",
    "ndarray: Shape too large, product of non-zero axis lengths overflows isize",
}


class Hostile(Exception):
    """What the hostile objects below raise; it must reach the caller as it is."""


class HostileBase(BaseException):
    pass


def raiser(error):
    def method(self, *args):
        raise error("hostile")
    return method


def returner(value):
    def method(self, *args):
        return value
    return method


# Objects whose conversions fail in every way a conversion can: raising our own
# exceptions (derived from Exception or only from BaseException), raising the
# module's own classes, or returning the wrong type or an out-of-range value.
BEHAVIOURS = {
    "raises": raiser(Hostile),
    "raises-base": raiser(HostileBase),
    "raises-type-error": raiser(TypeError),
    "raises-overflow": raiser(OverflowError),
    "returns-str": returner("7"),
    "returns-float": returner(7.5),
    "returns-none": returner(None),
    "returns-huge": returner(2**200),
    "returns-negative": returner(-(2**70)),
    "returns-nan": returner(float("nan")),
    "returns-self": lambda self, *args: self,
    # Calls into the module from inside a conversion, then returns a usable value.
    "reenters": lambda self, *args: (module_still_works(), 5)[1],
}

ODD_CLASSES = [
    type(f"{method}-{name}", (), {method: behaviour})
    for method in ("__index__", "__float__", "__str__", "__int__", "__len__", "__iter__")
    for name, behaviour in BEHAVIOURS.items()
]


class BytesSubclass(bytes):
    pass


class TupleSubclass(tuple):
    pass


class StrSubclass(str):
    __str__ = raiser(Hostile)


class FloatSubclass(float):
    __float__ = raiser(Hostile)


class IntSubclass(int):
    __index__ = raiser(Hostile)


class ArraySubclass(np.ndarray):
    pass


arrays = st.sampled_from([
    WAV, WAV[::-3], WAV[:0], WAV.astype(">f4"), WAV.astype(np.float64), WAV.reshape(35, 20),
    np.float32(1.0), np.array(1.0, np.float32), WAV.view(ArraySubclass), np.array(["a"]),
    np.zeros(3, dtype=[("x", np.float32)]), np.zeros(700, dtype=object),
])
# Numbers are edge values, not arbitrary ones: a width of 2**31 or a factor of
# 30000 asks, legitimately, for gigabytes that would be written; sizes here are
# either small or far beyond any memory.
EDGE_NUMBERS = [
    -1, 0, 1, 2, 5, 7, 2**41, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -(2**63), 2**70,
    float("nan"), float("inf"), -float("inf"), -1.0, -0.0, 0.5, 1.0, 2.0, 1e30, 1e-30, 5e-324, 1e300,
]
odd_objects = st.sampled_from(ODD_CLASSES).map(lambda cls: cls())
scalars = st.one_of(
    odd_objects, st.none(), st.booleans(), st.sampled_from(EDGE_NUMBERS), st.text(max_size=4),
    st.binary(max_size=12), st.sampled_from([
        EXAMPLE, BytesSubclass(EXAMPLE), bytearray(EXAMPLE), memoryview(EXAMPLE), "\ud800", StrSubclass("cubic"),
        FloatSubclass(2.0), IntSubclass(3), np.uint32(16000), np.int64(-1), np.float32(0.5), 1j, object(),
        [], {}, type, ...,
    ]),
    arrays,
)
filter_names = st.sampled_from(["nearest", "gaussian", "x", StrSubclass("linear")])
objects = st.one_of(
    scalars,
    st.tuples(scalars, filter_names),
    st.tuples(scalars, filter_names).map(TupleSubclass),
    st.tuples(st.sampled_from([2.0, 0.5]), scalars),
    st.lists(scalars, max_size=3).map(tuple),
    st.lists(scalars, max_size=2),
)


@st.composite
def arguments(draw, plausible):
    """Arguments for the parameters named in `plausible`, each either one of its
    plausible values or a hostile object, passed by position or by keyword;
    now and then one is missing, surplus or given twice."""
    names = list(plausible)
    values = [draw(st.sampled_from(plausible[name]) if draw(st.booleans()) else objects) for name in names]
    count = draw(st.sampled_from([len(names)] * 4 + list(range(len(names)))))
    positional = draw(st.integers(0, count))
    args = values[:positional]
    kwargs = {name: value for name, value in zip(names[positional:count], values[positional:count])}
    extra = draw(st.sampled_from([None] * 6 + ["positional", "keyword", "twice"]))
    if extra == "positional":
        args.append(draw(objects))
    elif extra == "keyword":
        kwargs["other"] = draw(objects)
    elif extra == "twice" and args:
        kwargs[names[0]] = args[0]
    return args, kwargs


def call(function, args, kwargs):
    try:
        function(*args, **kwargs)
    except Hostile as error:
        assert error.args == ("hostile",)
    except HostileBase as error:
        assert error.args == ("hostile",)
    except DOCUMENTED:
        pass
    except PanicException as error:
        return error.args[0]
    return None


def module_still_works():
    assert ostrel_py.dummy_func() == 0
    assert ostrel_py.reconstruct_mask(EXAMPLE, 5, 2).tolist() == EXAMPLE_MASK
    assert len(ostrel_py.vxmv2_melspectrogram(WAV, 16000)) == 1


hostile_settings = settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@hostile_settings
@given(arguments({"bytes": [EXAMPLE], "width": [5, 7], "height": [2, 3],
                  "scale": [None, (2.0, "linear"), (0.5, "cubic")]}))
def test_reconstruct_mask_with_hostile_arguments(drawn):
    panic = call(ostrel_py.reconstruct_mask, *drawn)
    assert panic is None or panic in MASK_PANICS
    module_still_works()


@hostile_settings
@given(st.sampled_from([ostrel_py.vxmv1_melspectrogram, ostrel_py.vxmv2_melspectrogram]),
       arguments({"wav": [WAV, WAV[::-2]], "sample_rate": [16000, 44100]}))
def test_melspectrogram_with_hostile_arguments(function, drawn):
    assert call(function, *drawn) is None
    module_still_works()


@settings(max_examples=50, deadline=None)
@given(st.lists(objects, max_size=2), st.dictionaries(st.text(max_size=3), objects, max_size=2))
def test_dummy_func_with_hostile_arguments(args, kwargs):
    assert call(ostrel_py.dummy_func, args, kwargs) is None
    module_still_works()
