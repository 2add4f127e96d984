"""Input sample arrays, output arrays, and the shared array-borrow registry."""

import array
import ctypes
import gc
import sys

import numpy as np
import pytest

import ostrel_py
from conftest import PanicException, run_python

NOT_FLOAT32 = "Expected a NumPy ndarray of type float32"
REGISTRY = "_RUST_NUMPY_BORROW_CHECKING_API"
ALREADY_BORROWED = "called `Result::unwrap()` on an `Err` value: AlreadyBorrowed"
RECORD = bytes([0x91, 0x92, 0x91, 0x92, 0x00, 0xCC, 0xFF, 0x90])  # row 0 all 255, row 1 empty


def speech_like(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / 16000.0
    return (0.3 * np.sin(2 * np.pi * 180 * t) * (1 + np.sin(2 * np.pi * 3 * t)) + 0.05 * rng.standard_normal(n)).astype(
        np.float32
    )


# ---- input arrays ----


@pytest.mark.parametrize(
    "wav",
    [
        [0.0] * 700,
        array.array("f", [0.0] * 700),
        np.zeros(700, dtype=np.float64),
        np.zeros(700, dtype=np.int16),
        np.zeros((700, 1), dtype=np.float32),
        np.zeros((1, 700), dtype=np.float32),
        np.zeros(700, dtype=np.float32).byteswap().view(np.dtype(">f4")),
        np.float32(1.0),
        None,
    ],
    ids=["list", "array.array", "float64", "int16", "column", "row", "byteswapped", "scalar", "None"],
)
@pytest.mark.parametrize("function", [ostrel_py.vxmv1_melspectrogram, ostrel_py.vxmv2_melspectrogram])
def test_refused_inputs(function, wav):
    with pytest.raises(TypeError) as caught:
        function(wav, 16000)
    assert caught.value.args == (NOT_FLOAT32,)


class Subclass(np.ndarray):
    pass


def structured_field(values):
    # A float32 field inside 6-byte records: its stride is not a multiple of 4.
    records = np.zeros(len(values), dtype=np.dtype([("a", "<f4"), ("b", "u1"), ("c", "u1")], align=False))
    records["a"] = values
    return records["a"]


def readonly(values):
    out = values.copy()
    out.flags.writeable = False
    return out


VIEWS = {
    "reversed": lambda base: base[::-1],
    "every second": lambda base: base[::2],
    "every third reversed": lambda base: base[::-3],
    "read-only": readonly,
    "subclass": lambda base: base.view(Subclass),
    "stride of 6 bytes": structured_field,
}


@pytest.mark.parametrize("view", VIEWS.values(), ids=VIEWS.keys())
@pytest.mark.parametrize("function", [ostrel_py.vxmv1_melspectrogram, ostrel_py.vxmv2_melspectrogram])
def test_views_are_read_in_index_order(function, view):
    base = speech_like(4000)
    wav = view(base)
    expected = function(np.ascontiguousarray(np.asarray(wav, dtype=np.float32)), 16000)
    assert function(wav, 16000) == expected
    assert len(expected) == len(wav) // 640


def test_the_input_is_never_written():
    wav = speech_like(3200)
    before = wav.copy()
    ostrel_py.vxmv1_melspectrogram(wav, 16000)
    assert np.array_equal(wav, before)


# ---- output arrays ----


def test_output_array_over_the_modules_buffer():
    out = ostrel_py.reconstruct_mask(RECORD, 4, 2)
    assert out.dtype == np.float32 and out.ndim == 2 and out.shape == (2, 4)
    assert out.flags.writeable and out.flags.c_contiguous
    assert not out.flags.owndata
    assert type(out.base).__name__ == "PySliceContainer"
    out[1, 1] = 0.25  # writeable memory of its own
    assert out.tolist() == [[1.0] * 4, [0.0, 0.25, 0.0, 0.0]]


@pytest.mark.parametrize("shape, width, height", [((0, 5), 5, 0), ((3, 0), 0, 3)])
def test_empty_output_arrays_do_not_own_their_data(shape, width, height):
    out = ostrel_py.reconstruct_mask(bytes([0x91, 0x90]), width, height)
    assert out.shape == shape and not out.flags.owndata
    assert type(out.base).__name__ == "PySliceContainer"


def test_slice_container_cannot_be_created_from_python():
    container_type = type(ostrel_py.reconstruct_mask(RECORD, 4, 2).base)
    with pytest.raises(TypeError):
        container_type()


def test_buffer_lives_as_long_as_the_last_array():
    out = ostrel_py.reconstruct_mask(RECORD, 4, 2)
    container = out.base
    held_by_arrays_and_us = sys.getrefcount(container)
    view = out[0, 1:3]
    del out
    gc.collect()
    assert view.tolist() == [1.0, 1.0]
    del view
    gc.collect()
    assert sys.getrefcount(container) == held_by_arrays_and_us - 1


# ---- the shared borrow registry, driven the way another extension module uses it ----


class SharedRecord(ctypes.Structure):
    _fields_ = [
        ("version", ctypes.c_uint64),
        ("flags", ctypes.c_void_p),
        ("acquire", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)),
        ("acquire_mut", ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)),
        ("release", ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)),
        ("release_mut", ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)),
    ]


def multiarray():
    import importlib

    return importlib.import_module("numpy._core.multiarray" if np.__version__ >= "2" else "numpy.core.multiarray")


@pytest.fixture(scope="module")
def registry():
    ostrel_py.vxmv1_melspectrogram(np.zeros(10, dtype=np.float32), 16000)  # installs it if nobody has
    capsule = getattr(multiarray(), REGISTRY)
    get_name = ctypes.pythonapi.PyCapsule_GetName
    get_name.restype, get_name.argtypes = ctypes.c_char_p, [ctypes.py_object]
    assert get_name(capsule) == REGISTRY.encode()
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    record = SharedRecord.from_address(get_pointer(capsule, REGISTRY.encode()))
    assert record.version == 1
    return record


def is_free(registry, array):
    """True when nobody holds any borrow of the array's memory."""
    if registry.acquire_mut(registry.flags, array) != 0:
        return False
    registry.release_mut(registry.flags, array)
    return True


def test_write_borrow_refuses_the_modules_read(registry):
    wav = speech_like(1000)
    assert registry.acquire_mut(registry.flags, wav) == 0
    try:
        with pytest.raises(PanicException) as caught:
            ostrel_py.vxmv2_melspectrogram(wav, 16000)
        assert caught.value.args == (ALREADY_BORROWED,)
        # A copy lives elsewhere and is free to read.
        assert len(ostrel_py.vxmv2_melspectrogram(wav.copy(), 16000)) == 1
    finally:
        registry.release_mut(registry.flags, wav)
    assert len(ostrel_py.vxmv2_melspectrogram(wav, 16000)) == 1
    assert is_free(registry, wav)


def test_read_borrows_of_others_are_shared(registry):
    wav = speech_like(1000)
    assert registry.acquire(registry.flags, wav) == 0
    try:
        assert len(ostrel_py.vxmv1_melspectrogram(wav, 16000)) == 1
        assert registry.acquire_mut(registry.flags, wav) == -1  # still read by us, not by the module
    finally:
        registry.release(registry.flags, wav)
    assert is_free(registry, wav)


@pytest.mark.parametrize(
    "held, read, conflict",
    [
        (lambda b: b[::2], lambda b: b[1::2], False),  # interleaved elements never meet
        (lambda b: b[::2], lambda b: b[2::2], True),  # same lattice, overlapping ranges
        (lambda b: b[:500], lambda b: b[500:], False),  # disjoint ranges
        (lambda b: b[:501], lambda b: b[500:], True),
        (lambda b: b[::-1], lambda b: b, True),  # the same memory seen backwards
        (lambda b: b[100:200], lambda b: b[150:300:3], True),
        # Conservative: the gaps between the held rows count as held too.
        (lambda b: b.reshape(10, 100)[:, :50], lambda b: b[50:100], True),
        (lambda b: b.reshape(10, 100)[:, :50], lambda b: b[140:160], True),
    ],
    ids=["interleaved", "same-lattice", "disjoint", "touching", "reversed", "strided-overlap",
         "gap-of-2d-block", "into-2d-block"],
)
def test_conflict_rules_between_views(registry, held, read, conflict):
    base = speech_like(1000)
    held_view = held(base)
    assert registry.acquire_mut(registry.flags, held_view) == 0
    try:
        if conflict:
            with pytest.raises(PanicException, match="AlreadyBorrowed"):
                ostrel_py.vxmv1_melspectrogram(read(base), 16000)
        else:
            ostrel_py.vxmv1_melspectrogram(read(base), 16000)
    finally:
        registry.release_mut(registry.flags, held_view)
    assert is_free(registry, base)


def test_registry_refuses_writes_to_read_only_arrays(registry):
    wav = readonly(speech_like(10))
    assert registry.acquire_mut(registry.flags, wav) == -2
    assert registry.acquire(registry.flags, wav) == 0
    assert registry.acquire(registry.flags, wav) == 0
    registry.release(registry.flags, wav)
    registry.release(registry.flags, wav)


def test_nothing_stays_borrowed_after_failures(registry):
    wav = speech_like(2000)
    with pytest.raises(TypeError):
        ostrel_py.vxmv1_melspectrogram(wav.reshape(2, 1000), 16000)
    with pytest.raises(OverflowError):
        ostrel_py.vxmv1_melspectrogram(wav, -1)
    ostrel_py.vxmv1_melspectrogram(wav, 44100)
    assert is_free(registry, wav)


def test_an_array_resized_by_a_finalizer_during_the_call_is_read_as_it_is_then(registry):
    # On 3.11 the collector runs as the result's objects are made, and with it
    # this finalizer; later CPythons run it only after the call.
    wav = speech_like(32000)
    before = ostrel_py.vxmv1_melspectrogram(wav, 16000)
    after = ostrel_py.vxmv1_melspectrogram(wav[:16000].copy(), 16000)

    class Resizer:
        def __init__(self):
            self.cycle = self  # only the collector frees it

        def __del__(self):
            wav.resize(16000, refcheck=False)

    thresholds = gc.get_threshold()
    gc.collect()
    Resizer()
    gc.set_threshold(1)
    try:
        windows = ostrel_py.vxmv1_melspectrogram(wav, 16000)
    finally:
        gc.set_threshold(*thresholds)
    gc.collect()
    assert windows == (after if sys.version_info < (3, 12) else before)
    assert len(wav) == 16000 and is_free(registry, wav)


# ---- registries installed by others; each case needs a fresh process ----

PRELUDE = """
import ctypes, importlib, numpy as np, ostrel_py
multiarray = importlib.import_module("numpy._core.multiarray" if np.__version__ >= "2" else "numpy.core.multiarray")
NAME = b"_RUST_NUMPY_BORROW_CHECKING_API"
capsule_new = ctypes.pythonapi.PyCapsule_New
capsule_new.restype = ctypes.py_object
capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
ACQ = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.py_object)
REL = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.py_object)
class Shared(ctypes.Structure):
    _fields_ = [("version", ctypes.c_uint64), ("flags", ctypes.c_void_p), ("acquire", ACQ),
                ("acquire_mut", ACQ), ("release", REL), ("release_mut", REL)]
def panic_message(call):
    try:
        call()
    except BaseException as error:
        assert type(error).__name__ == "PanicException", repr(error)
        return str(error)
    raise AssertionError("no error")
wav = np.zeros(700, dtype=np.float32)
"""


def test_a_registry_installed_by_another_module_is_used():
    run_python(
        PRELUDE
        + """
# It is given a private read-only view of the samples, based on the array,
# the same object both times, so that nothing can change its key in between.
calls = []
seen = lambda name, flags, array: calls.append((name, flags, id(array), array.base is wav, array.ctypes.data,
                                              array.shape, array.strides, array.flags.writeable))
acquire = ACQ(lambda flags, array: seen("acquire", flags, array) or 0)
acquire_mut = ACQ(lambda flags, array: -1)
release = REL(lambda flags, array: seen("release", flags, array))
release_mut = REL(lambda flags, array: None)
shared = Shared(1, 1234, acquire, acquire_mut, release, release_mut)
setattr(multiarray, NAME.decode(), capsule_new(ctypes.addressof(shared), NAME, None))
assert len(ostrel_py.vxmv1_melspectrogram(wav[::-1], 16000)) == 1
view = (True, wav[::-1].ctypes.data, (700,), (-4,), False)
assert [call[:2] + call[3:] for call in calls] == [("acquire", 1234) + view, ("release", 1234) + view], calls
assert calls[0][2] == calls[1][2]
"""
    )


@pytest.mark.parametrize(
    "setup, message",
    [
        (
            "setattr(multiarray, NAME.decode(), 5)",
            "Interal borrow checking API error: TypeError(\"'int' object cannot be converted to 'PyCapsule'\")",
        ),
        (
            "shared = Shared(0, 0, ACQ(lambda f, a: 0), ACQ(lambda f, a: 0), REL(lambda f, a: None), REL(lambda f, a: None))\n"
            "setattr(multiarray, NAME.decode(), capsule_new(ctypes.addressof(shared), NAME, None))",
            "Interal borrow checking API error: TypeError('Version 0 of borrow checking API is not supported "
            "by this version of rust-numpy')",
        ),
        (
            "shared = Shared(1, 0, ACQ(lambda f, a: 7), ACQ(lambda f, a: 0), REL(lambda f, a: None), REL(lambda f, a: None))\n"
            "setattr(multiarray, NAME.decode(), capsule_new(ctypes.addressof(shared), NAME, None))",
            "Unexpected return code 7 from borrow checking API",
        ),
    ],
    ids=["not-a-capsule", "version-0", "unknown-code"],
)
def test_unusable_registries(setup, message):
    result = run_python(
        PRELUDE
        + setup
        + """
print(panic_message(lambda: ostrel_py.vxmv1_melspectrogram(wav, 16000)))
assert ostrel_py.dummy_func() == 0
"""
    )
    assert result.stdout.strip() == message


def test_numpy_that_cannot_be_imported():
    result = run_python(
        """
        import sys
        sys.modules["numpy"] = None
        import ostrel_py
        try:
            ostrel_py.reconstruct_mask(bytes([0x91, 0x90]), 1, 1)
        except BaseException as error:
            print(type(error).__name__, str(error))
        """
    )
    assert result.stdout.startswith("PanicException Failed to access NumPy array API capsule: ")
