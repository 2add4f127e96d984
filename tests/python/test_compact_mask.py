"""reconstruct_mask without scale: decoding of the record and rasterisation."""

import struct

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import ostrel_py

DECODE_ERROR = "Failed to deserialize CompactMaskModel"
INDEX = "ndarray: index out of bounds"
SHAPE = "ndarray: Shape too large, product of non-zero axis lengths overflows isize"


# --- MessagePack by hand, so every encoding can be chosen -------------------

def uint(v):
    if v < 0x80:
        return bytes([v])
    for marker, size in ((0xCC, 1), (0xCD, 2), (0xCE, 4), (0xCF, 8)):
        if v < 1 << (8 * size):
            return bytes([marker]) + v.to_bytes(size, "big")
    raise ValueError(v)


def array(n, form="fix"):
    if form == "fix" and n < 16:
        return bytes([0x90 | n])
    if form in ("fix", "16") and n < 1 << 16:
        return b"\xdc" + n.to_bytes(2, "big")
    return b"\xdd" + n.to_bytes(4, "big")


def bin_(data):
    return b"\xc4" + bytes([len(data)]) + data


def record(rows):
    """The canonical encoding of a list of rows of (column, value) runs."""
    out = array(1) + array(len(rows))
    for row in rows:
        out += array(len(row)) + b"".join(array(2) + uint(c) + uint(v) for c, v in row)
    return out


def unit(mask):
    return mask.astype(np.float32) / np.float32(255)


def rasterise(rows, width, height):
    """The rasteriser's rule in NumPy: an array, or the panic message."""
    if max(width, 1) * max(height, 1) > 2**63 - 1:
        return SHAPE
    mask = np.zeros((height, width), np.uint8)
    for i, row in enumerate(rows):
        if not row and width == 0:
            continue
        if i >= height:
            return INDEX
        nxt, carried = 0, 0
        for column, value in row:
            if column >= width:
                return INDEX
            mask[i, nxt:column] = carried
            carried = value % 256
            mask[i, column] = carried
            nxt = column + 1
        mask[i, nxt:] = carried
    return mask


def panic_of(call):
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return info.value.args[0]


def expect(data, width, height, expected):
    if isinstance(expected, str):
        assert panic_of(lambda: ostrel_py.reconstruct_mask(data, width, height)) == expected
        return
    out = ostrel_py.reconstruct_mask(data, width, height)
    assert out.dtype == np.float32 and out.shape == expected.shape and out.flags.c_contiguous
    np.testing.assert_array_equal(out.view(np.uint32), unit(expected).view(np.uint32))


# --- Decoding ---------------------------------------------------------------

EXAMPLE = bytes.fromhex("91 92 92 92 00 CC FF 92 03 00 90")
EXAMPLE_ROWS = [[(0, 255), (3, 0)], []]

# The generated records below cover the encodings broadly; these are the
# boundary cases worth naming.
ACCEPTED = [
    (EXAMPLE, EXAMPLE_ROWS),
    (EXAMPLE + b"\xc1\xff", EXAMPLE_ROWS),
    ("91 C4 00", []),
    ("81 C4 04 64 61 74 61 90", []),
    ("81 00 90", []),
    ("82 A4 64 61 74 61 90 A1 78 C0", []),
    ("91 91 91 92 CD FF FF CD FF FF", [[(65535, 65535)]]),
    ("91 91 91 92 D0 05 D1 00 07", [[(5, 7)]]),
    ("91 91 91 C4 03 05 07 09", [[(5, 7)]]),
]

REJECTED = [
    "", "C1", "90", "92 90 90", "80",
    "82 A4 64 61 74 61 90 A4 64 61 74 61 90",
    "81 A4 44 61 74 61 90", "81 D0 00 90",
    "91 91 C4 01 05", "91 91 91 93 00 00 00",
    "91 91 91 92 CE 00 01 00 00 00", "91 91 91 92 FF 00",
    "91 DD FF FF FF FF 90",
]


def as_bytes(data):
    return data if isinstance(data, bytes) else bytes.fromhex(data)


@pytest.mark.parametrize("data, rows", ACCEPTED)
def test_accepted_records_rasterise(data, rows):
    width = max([c for row in rows for c, _ in row], default=0) + 1
    expect(as_bytes(data), width, len(rows), rasterise(rows, width, len(rows)))


@pytest.mark.parametrize("data", REJECTED)
def test_rejected_records_raise_value_error(data):
    with pytest.raises(ValueError) as info:
        ostrel_py.reconstruct_mask(as_bytes(data), 4, 4)
    assert type(info.value) is ValueError
    assert info.value.args == (DECODE_ERROR,)


def test_nesting_limit_applies_to_skipped_values():
    def skipped(levels):
        return b"\x82\xa1x" + b"\x91" * (levels - 2) + b"\x90" + b"\xa4data\x90"

    assert ostrel_py.reconstruct_mask(skipped(1023), 3, 2).shape == (2, 3)
    for levels in (1024, 100_000):
        with pytest.raises(ValueError):
            ostrel_py.reconstruct_mask(skipped(levels), 3, 2)


def test_malformed_tail_is_reported_before_any_row_is_drawn():
    # Row 5 lies outside a 1-row mask, but the record itself is broken later.
    rows = [[(0, 1)]] * 6
    data = record(rows)[:-1] + b"\xc1"
    with pytest.raises(ValueError):
        ostrel_py.reconstruct_mask(data, 1, 1)
    assert panic_of(lambda: ostrel_py.reconstruct_mask(record(rows), 1, 1)) == INDEX


# --- Rasterisation ----------------------------------------------------------

RASTER = [
    (EXAMPLE_ROWS, 5, 2),
    ([], 3, 2),
    ([[(0, 9)]], 2, 3),
    ([[(0, 300)]], 4, 1),
    ([[(3, 7)]], 4, 1),
    ([[(2, 9), (2, 7)]], 4, 1),
    ([[(5, 10), (2, 20)]], 8, 1),
    ([[(5, 10), (2, 0)]], 8, 1),
    ([[(0, 256), (1, 511), (2, 65535)]], 3, 1),
    ([[], [], [], []], 0, 3),
    ([[(0, 1)]], 0, 3),
    ([[], [], []], 4, 2),
    ([[(4, 1)]], 4, 1),
    ([], 2**63, 0),
]


@pytest.mark.parametrize("rows, width, height", RASTER)
def test_rasterise(rows, width, height):
    expect(record(rows), width, height, rasterise(rows, width, height))


def test_worked_example_values():
    out = ostrel_py.reconstruct_mask(EXAMPLE, 5, 2)
    assert out.tolist() == [[1.0, 1.0, 1.0, 0.0, 0.0], [0.0] * 5]


def test_unobtainable_mask_is_memory_error_and_the_process_survives():
    with pytest.raises(MemoryError):
        ostrel_py.reconstruct_mask(b"\x91\x90", 2**32 - 1, 2**31)
    assert ostrel_py.reconstruct_mask(EXAMPLE, 5, 2).shape == (2, 5)


runs = st.lists(st.tuples(st.integers(0, 12), st.integers(0, 600)), max_size=5)


@settings(max_examples=300, deadline=None)
@given(st.lists(runs, max_size=6), st.integers(0, 10), st.integers(0, 7))
def test_rasteriser_matches_model(rows, width, height):
    expect(record(rows), width, height, rasterise(rows, width, height))


# --- Generated records, valid and not ---------------------------------------
# Each strategy yields (bytes, decoded value or None when the decoder must refuse).

def _int_encodings(v):
    out = [uint(v), b"\xcd" + struct.pack(">H", v), b"\xce" + struct.pack(">I", v),
           b"\xcf" + struct.pack(">Q", v), b"\xd2" + struct.pack(">i", v), b"\xd3" + struct.pack(">q", v)]
    if v < 256:
        out.append(b"\xcc" + bytes([v]))
    if v < 128:
        out.append(b"\xd0" + bytes([v]))
    if v < 32768:
        out.append(b"\xd1" + struct.pack(">h", v))
    return out


valid_int = st.integers(0, 65535).flatmap(lambda v: st.sampled_from(_int_encodings(v)).map(lambda b: (b, v)))
invalid_int = st.one_of(
    st.integers(65536, 2**32 - 1).map(lambda v: b"\xce" + struct.pack(">I", v)),
    st.integers(65536, 2**64 - 1).map(lambda v: b"\xcf" + struct.pack(">Q", v)),
    st.integers(-(2**31), -1).map(lambda v: b"\xd2" + struct.pack(">i", v)),
    st.integers(-32, -1).map(lambda v: struct.pack(">b", v)),
    st.sampled_from([b"\xc0", b"\xc2", b"\xca\x3f\x80\x00\x00", b"\xa1x", b"\x90"]),
).map(lambda b: (b, None))


def rarely(valid, invalid):
    """Mostly `valid`, one time in ten `invalid`, so whole records often survive."""
    return st.integers(0, 9).flatmap(lambda i: invalid if i == 0 else valid)


number = rarely(valid_int, invalid_int)


def _pair(a, b):
    return (array(2) + a[0] + b[0], None if a[1] is None or b[1] is None else (a[1], b[1]))


run = rarely(
    st.one_of(st.builds(_pair, number, number),
              st.binary(min_size=2, max_size=5).map(lambda d: (bin_(d), (d[0], d[1])))),
    st.one_of(st.binary(max_size=1).map(lambda d: (bin_(d), None)),
              st.lists(valid_int, max_size=4).filter(lambda xs: len(xs) != 2).map(
                  lambda xs: (array(len(xs)) + b"".join(b for b, _ in xs), None))),
)


def _list(items, form):
    values = [v for _, v in items]
    data = array(len(items), form) + b"".join(b for b, _ in items)
    return data, None if any(v is None for v in values) else values


forms = st.sampled_from(["fix", "16", "32"])
row = rarely(
    st.one_of(st.builds(_list, st.lists(run, max_size=4), forms), st.just((bin_(b""), []))),
    st.sampled_from([(bin_(b"\x00"), None), (b"\xc0", None), (b"\x80", None)]),
)
data_list = st.one_of(st.builds(_list, st.lists(row, max_size=5), forms), st.just((bin_(b""), [])))

skippable = st.recursive(
    st.sampled_from([b"\xc0", b"\xc3", b"\x05", b"\xff", b"\xd4\x01\x02", b"\xa1x", b"\xc4\x01\x00"]),
    lambda inner: st.lists(inner, max_size=3).map(lambda xs: array(len(xs)) + b"".join(xs)),
    max_leaves=6,
)
data_key = st.sampled_from([b"\xa4data", b"\xc4\x04data", b"\x00", b"\xcc\x00", b"\xd9\x04data"])
other_key = st.sampled_from([b"\xa4Data", b"\xa1x", b"\x07", b"\xcd\x01\x00", b"\xc4\x03dat"])
bad_key = st.sampled_from([b"\xd0\x00", b"\xff", b"\xc0", b"\x90", b"\xca\x00\x00\x00\x00"])


@st.composite
def records(draw):
    data, rows = draw(data_list)
    if draw(st.booleans()):
        return array(1, draw(forms)) + data, rows
    entries = [(draw(data_key), data)]
    entries += [(draw(other_key), draw(skippable)) for _ in range(draw(st.integers(0, 2)))]
    valid = rows
    if draw(st.integers(0, 9)) == 0:
        entries.append((draw(bad_key), b"\xc0"))
        valid = None
    order = draw(st.permutations(entries))
    return bytes([0x80 | len(order)]) + b"".join(k + v for k, v in order), valid


@settings(max_examples=400, deadline=None)
@given(records(), st.binary(max_size=3))
def test_generated_records_decode_as_modelled(rec, tail):
    data, rows = rec
    if rows is None:
        with pytest.raises(ValueError):
            ostrel_py.reconstruct_mask(data + tail, 4, 4)
        return
    width = max([c for r in rows for c, _ in r], default=0) + 1
    height = len(rows)
    expect(data + tail, width, height, rasterise(rows, width, height))
