import subprocess
import sys
import textwrap

import pytest

import ostrel_py

# A record with one run in row 0; with width 0 the run cannot be written and the
# call ends with an internal error.
PANICKING_RECORD = bytes([0x91, 0x91, 0x91, 0x92, 0x00, 0x00])


def _panic_exception_class():
    try:
        ostrel_py.reconstruct_mask(PANICKING_RECORD, 0, 1)
    except BaseException as error:  # noqa: B036 - the class derives from BaseException only
        return type(error)
    raise AssertionError("expected an internal error")


PanicException = _panic_exception_class()


class Index:
    """An integer-like object that is not an int: it only has __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.fixture
def panic_exception():
    return PanicException


def run_python(code, check=True):
    """Runs code in a fresh interpreter (process-wide state starts empty there)."""
    result = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120
    )
    if check and result.returncode != 0:
        raise AssertionError(f"subprocess failed:\n{result.stdout}\n{result.stderr}")
    return result
