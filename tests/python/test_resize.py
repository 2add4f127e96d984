"""reconstruct_mask with scale: new sizes, filter names and resampled values."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import ostrel_py
from test_compact_mask import record


def rows_of(mask):
    """A record that rasterises to exactly `mask` (one run per column)."""
    return record([[(c, int(v)) for c, v in enumerate(line)] for line in mask])


def resized(mask, scale, name):
    mask = np.asarray(mask, np.uint8)
    h, w = mask.shape
    out = ostrel_py.reconstruct_mask(rows_of(mask), w, h, (scale, name))
    assert out.dtype == np.float32 and out.flags.c_contiguous
    levels = np.rint(out * 255).astype(np.uint8)
    # Every value is exactly one of the 256 quotients k / 255.
    np.testing.assert_array_equal(out.view(np.uint32), (levels.astype(np.float32) / np.float32(255)).view(np.uint32))
    return levels


RAMP = [[0, 255]]
STEPS = [[10, 20, 30, 40]] * 2
IMPULSE = [[0, 0, 0, 0], [0, 255, 0, 0], [0, 0, 0, 0]]

TABLE = [
    (RAMP, 2.0, "nearest", [[0, 0, 255, 255]] * 2),
    (RAMP, 2.0, "linear", [[0, 64, 191, 255]] * 2),
    (RAMP, 2.0, "catmullrom", [[0, 53, 202, 255]] * 2),
    (RAMP, 2.0, "lanzos", [[0, 53, 202, 255]] * 2),
    (RAMP, 2.0, "gaussian", [[12, 69, 186, 243]] * 2),
    (STEPS, 0.5, "nearest", [[20, 40]]),
    (STEPS, 0.5, "linear", [[17, 33]]),
    (STEPS, 0.5, "cubic", [[16, 34]]),
    (STEPS, 0.5, "gaussian", [[18, 32]]),
    (IMPULSE, 1.25, "lowest", [[0] * 5, [0, 255, 0, 0, 0], [0] * 5]),
    (IMPULSE, 1.25, "triangle", [[0] * 5, [0, 179, 128, 0, 0], [0] * 5]),
    (IMPULSE, 1.25, "medium", [[0] * 5, [0, 202, 143, 0, 0], [0] * 5]),
    (IMPULSE, 1.25, "high", [[3, 20, 15, 1, 0], [17, 135, 99, 5, 0], [3, 20, 15, 1, 0]]),
]


@pytest.mark.parametrize("mask, scale, name, expected", TABLE)
def test_filter_tables(mask, scale, name, expected):
    np.testing.assert_array_equal(resized(mask, scale, name), np.array(expected, np.uint8))


@pytest.mark.parametrize("name, same_as", [
    ("Nearest", "linear"), (" nearest", "linear"), ("nearest ", "linear"), ("", "linear"),
    ("bicubic", "linear"), ("lanzos", "cubic"), ("highest", "cubic"), ("lowest", "nearest"),
    ("low", "linear"), ("high", "gaussian"),
])
def test_filter_names(name, same_as):
    mask = [[0, 255, 0], [90, 0, 200]]
    np.testing.assert_array_equal(resized(mask, 1.7, name), resized(mask, 1.7, same_as))


@pytest.mark.parametrize("width, height, scale, shape", [
    (10, 1, 0.7, (0, 7)),          # single precision: 7, not 6
    (100, 2, 1.05, (2, 104)),      # single precision: 104, not 105
    (3, 3, 0.2, (0, 0)),
    (0, 3, 2.0, (6, 0)),
    (4, 3, -1.0, (0, 0)),
    (4, 3, math.nan, (0, 0)),
    (4, 3, -math.inf, (0, 0)),
])
def test_new_size(width, height, scale, shape):
    rows = [[(0, 7)]] * height if width else []
    out = ostrel_py.reconstruct_mask(record(rows), width, height, (scale, "linear"))
    assert out.shape == shape and out.dtype == np.float32


def test_worked_example():
    data = bytes.fromhex("91 92 92 92 00 CC FF 92 03 00 90")
    up = ostrel_py.reconstruct_mask(data, 5, 2, (2.0, "nearest"))
    assert up.shape == (4, 10)
    assert up.tolist() == [[1.0] * 6 + [0.0] * 4] * 2 + [[0.0] * 10] * 2
    down = ostrel_py.reconstruct_mask(data + b"\xc1", 5, 2, (0.5, "nearest"))
    assert down.tolist() == [[0.0, 0.0]]


@pytest.mark.parametrize("name", ["gaussian", "nearest", "linear", "cubic"])
def test_unit_scale_is_exactly_no_scale(name):
    data = rows_of([[0, 255, 7], [1, 2, 3]])
    plain = ostrel_py.reconstruct_mask(data, 3, 2)
    same = ostrel_py.reconstruct_mask(data, 3, 2, (1.0, name))
    np.testing.assert_array_equal(same.view(np.uint32), plain.view(np.uint32))


def test_huge_scale_is_memory_error_and_the_process_survives():
    with pytest.raises(MemoryError):
        ostrel_py.reconstruct_mask(rows_of([[1, 2], [3, 4]]), 2, 2, (1e30, "linear"))
    np.testing.assert_array_equal(resized(RAMP, 2.0, "nearest"), [[0, 0, 255, 255]] * 2)


# A run past the width of a mask too large to hold: its memory is refused
# first, with a scale as without one.
@pytest.mark.parametrize("scale", [None, (1.0, "linear"), (0.9, "x")])
def test_memory_is_refused_before_a_run_outside_the_mask(scale):
    with pytest.raises(MemoryError):
        ostrel_py.reconstruct_mask(bytes.fromhex("91929292000592010991920003"), 1, 2**62, scale)


masks = hnp.arrays(np.uint8, st.tuples(st.integers(1, 6), st.integers(1, 6)))


@settings(max_examples=150, deadline=None)
@given(masks, st.integers(1, 4))
def test_nearest_integer_upscale_repeats_pixels(mask, factor):
    expected = np.repeat(np.repeat(mask, factor, axis=0), factor, axis=1)
    np.testing.assert_array_equal(resized(mask, float(factor), "nearest"), expected)


@settings(max_examples=150, deadline=None)
@given(hnp.arrays(np.uint8, st.tuples(st.integers(1, 5), st.integers(1, 12))),
       st.sampled_from(["nearest", "linear", "cubic"]))
def test_unchanged_height_leaves_rows_independent(mask, name):
    # The height stays and the width grows: the vertical pass must reproduce
    # the rows exactly, so each output row is that row resized on its own.
    h = mask.shape[0]
    scale = 1.0 + 1.0 / (h + 1)
    out = resized(mask, scale, name)
    assert out.shape[0] == h
    for r in range(h):
        np.testing.assert_array_equal(out[r], resized(mask[r:r + 1], scale, name)[0])
