"""Eight threads calling every function at once get exactly the single-threaded
results, while another thread rewrites a shared array under write borrows of
the shared registry: no call reads it half written. On a free-threaded
CPython the calls run at the same time, and importing the module leaves the
GIL off."""

import ctypes
import os
import subprocess
import sys
import sysconfig
import threading
import time

import numpy as np
import pytest

import ostrel_py
from test_numpy_exchange import ALREADY_BORROWED, is_free, registry  # noqa: F401 - registry is a fixture

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 8
ROUNDS = 100

RECORD = bytes.fromhex("91 93 92 92 00 cc ff 92 03 40 90 91 92 01 80")
SHARED_WAV = np.random.default_rng(0).standard_normal(2600).astype(np.float32)
# The two contents the writer puts in WRITTEN, one second of audio each.
STATES = [np.random.default_rng(seed).standard_normal(16000).astype(np.float32) for seed in (1, 2)]
WRITTEN = STATES[0].copy()


def jobs_for(thread):
    """The calls one thread makes: on shared inputs, and on inputs of its own."""
    own_wav = np.random.default_rng(100 + thread).standard_normal(1300 + 640 * thread).astype(np.float32)
    own_record = bytes.fromhex("91 91 91 92") + bytes([thread, 0xCC, 10 * thread + 5])
    return [
        lambda: ostrel_py.dummy_func(),
        lambda: ostrel_py.reconstruct_mask(RECORD, 5, 3),
        lambda: ostrel_py.reconstruct_mask(RECORD, 5, 3, (1.7, "gaussian")),
        lambda: ostrel_py.reconstruct_mask(own_record, 8, 2, (0.6, "cubic")),
        lambda: ostrel_py.vxmv1_melspectrogram(SHARED_WAV, 16000),
        lambda: ostrel_py.vxmv2_melspectrogram(SHARED_WAV[::-1], 44100),
        lambda: ostrel_py.vxmv1_melspectrogram(own_wav, 16000),
        lambda: ostrel_py.vxmv2_melspectrogram(own_wav[::2], 16000),
        lambda: ostrel_py.vxmv1_melspectrogram(WRITTEN, 16000),
        lambda: ostrel_py.vxmv2_melspectrogram(WRITTEN[::4], 16000),
        lambda: ostrel_py.vxmv1_melspectrogram(SHARED_WAV[:700], 16000),
        lambda: ostrel_py.reconstruct_mask(RECORD, 5, 1),  # an internal error
        lambda: ostrel_py.vxmv1_melspectrogram(own_wav.astype(np.float64), 16000),  # refused
    ], own_wav


def comparable(result):
    """Bits, so that any difference counts, NaN included."""
    if isinstance(result, np.ndarray):
        return (result.shape, result.dtype.str, result.tobytes())
    return tuple(result) if isinstance(result, list) else result


def run(job):
    try:
        return comparable(job())
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        return (type(error).__name__, error.args)


def single_threaded(job):
    """The outcomes a job may have: WRITTEN read in either state, or refused
    while the writer holds it."""
    outcomes = set()
    for state in STATES:
        WRITTEN[:] = state
        outcomes.add(run(job))
    if len(outcomes) > 1:
        outcomes.add(("PanicException", (ALREADY_BORROWED,)))
    return outcomes


def held(function, restype):
    """A registry function called with the GIL held (where there is one), as
    extension modules call it."""
    prototype = ctypes.PYFUNCTYPE(restype, ctypes.c_void_p, ctypes.py_object)
    return prototype(ctypes.cast(function, ctypes.c_void_p).value)


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_concurrent_calls_match_single_threaded_results(registry, fast_switching, capfd):  # noqa: F811
    plans = [jobs_for(t) for t in range(THREADS)]
    expected = [[single_threaded(job) for job in jobs] for jobs, _ in plans]
    results = [[] for _ in range(THREADS)]
    barrier = threading.Barrier(THREADS + 1)
    done = threading.Event()
    acquire_mut, release_mut = held(registry.acquire_mut, ctypes.c_int), held(registry.release_mut, None)
    writes = [0]

    def writer():
        barrier.wait()
        # It yields between writes, so that calls start both while it writes
        # and while it does not.
        while not done.is_set():
            time.sleep(0)
            if acquire_mut(registry.flags, WRITTEN) != 0:
                continue  # a call is reading it
            try:
                WRITTEN[:] = STATES[writes[0] % 2]
            finally:
                release_mut(registry.flags, WRITTEN)
            writes[0] += 1

    def worker(t):
        jobs = plans[t][0]
        barrier.wait()
        for r in range(ROUNDS):
            # Each thread walks its jobs from a different starting point, so
            # different functions overlap in every round.
            for k in range(len(jobs)):
                i = (k + t + r) % len(jobs)
                results[t].append((i, run(jobs[i])))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
    writing = threading.Thread(target=writer)
    for thread in threads + [writing]:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    done.set()
    writing.join(timeout=60)
    capfd.readouterr()  # the internal-error reports

    assert not any(thread.is_alive() for thread in threads + [writing])
    assert writes[0] > 0
    for t in range(THREADS):
        assert len(results[t]) == ROUNDS * len(expected[t])
        for i, result in results[t]:
            assert result in expected[t][i], (t, i)
    for array in [SHARED_WAV, WRITTEN] + [own for _, own in plans]:
        assert is_free(registry, array)


@pytest.mark.skipif(not FREE_THREADED, reason="the interpreter has a GIL")
def test_import_leaves_the_gil_off():
    environment = {name: value for name, value in os.environ.items() if name != "PYTHON_GIL"}
    subprocess.run(
        [sys.executable, "-W", "error", "-c", "import sys, ostrel_py; assert not sys._is_gil_enabled()"],
        env=environment, check=True, timeout=60,
    )
