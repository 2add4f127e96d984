"""The same inputs give the same numbers on every platform.

OSTREL_REFERENCE_OUTPUTS names a file that platform_outputs.py wrote with the
module built for another machine (`make test-aarch64` writes one on the build
machine and runs this test on AArch64); without it there is nothing to compare.
"""

import os

import numpy as np
import pytest

import platform_outputs

PATH = os.environ.get("OSTREL_REFERENCE_OUTPUTS")
META, ARRAYS = platform_outputs.read(PATH) if PATH else ({"cases": []}, {})
CASES = {case["id"]: case for case in META["cases"]}

pytestmark = pytest.mark.skipif(not PATH, reason="OSTREL_REFERENCE_OUTPUTS is not set")


def differing(got, expected):
    bad = np.flatnonzero(got.view(np.uint32) != expected.view(np.uint32))
    return f"{bad.size} of {got.size} values differ in their bits from {META.get('machine')}, first at {bad[:5]}"


# Masks and audio windows alike: the module's FFT and every other step are
# single precision in a fixed order with no fused multiply-add, the audio's
# log10, cosines, exponentials and logarithms are the module's own and
# correctly rounded, and the masks' libm expf gives the same bits on both.
@pytest.mark.parametrize("case_id", list(CASES))
def test_outputs_are_bit_identical(case_id):
    got = platform_outputs.compute(CASES[case_id], ARRAYS)
    expected = ARRAYS[f"out.{case_id}"]
    assert got.shape == expected.shape
    assert np.array_equal(got.view(np.uint32), expected.view(np.uint32)), differing(got, expected)
