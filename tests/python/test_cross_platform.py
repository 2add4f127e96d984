"""The same inputs give the same numbers on every platform.

OSTREL_REFERENCE_OUTPUTS names a file that platform_outputs.py wrote with the
module built for another machine (`make test-aarch64` writes one on the build
machine and runs this test on AArch64); without it there is nothing to compare.
"""

import os

import numpy as np
import pytest

import platform_outputs
from test_melspectrogram import TOLERANCE

PATH = os.environ.get("OSTREL_REFERENCE_OUTPUTS")
META, ARRAYS = platform_outputs.read(PATH) if PATH else ({"cases": []}, {})
CASES = {case["id"]: case for case in META["cases"]}

pytestmark = pytest.mark.skipif(not PATH, reason="OSTREL_REFERENCE_OUTPUTS is not set")


def differing(got, expected):
    bad = np.flatnonzero(got.view(np.uint32) != expected.view(np.uint32))
    return f"{bad.size} of {got.size} values differ in their bits from {META.get('machine')}, first at {bad[:5]}"


@pytest.mark.parametrize("case_id", [k for k, c in CASES.items() if c["kind"] == "mask"])
def test_masks_are_bit_identical(case_id):
    got = platform_outputs.compute(CASES[case_id], ARRAYS)
    expected = ARRAYS[f"out.{case_id}"]
    assert got.shape == expected.shape
    assert np.array_equal(got.view(np.uint32), expected.view(np.uint32)), differing(got, expected)


# The audio windows are not compared bit for bit: the FFT library's arithmetic
# is its own, and Debian's AArch64 build of it fuses multiply-adds where the
# x86-64 build cannot, so spectra differ in their last bits (the module's own
# arithmetic, libm's cosf, expf, logf, log10f and powf included, gives the
# same bits on both). Each platform's single-precision FFT is within the error
# bound that test_melspectrogram derives for the log-mel values, so the two
# are within twice that bound, which its TOLERANCE covers.
@pytest.mark.parametrize("case_id", [k for k, c in CASES.items() if c["kind"] == "audio"])
def test_audio_windows_agree_to_the_fft_rounding(case_id):
    got = platform_outputs.compute(CASES[case_id], ARRAYS)
    expected = ARRAYS[f"out.{case_id}"]
    assert got.shape == expected.shape
    np.testing.assert_allclose(got, expected, rtol=0, atol=TOLERANCE)
