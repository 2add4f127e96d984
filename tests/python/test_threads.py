"""Eight threads calling every function at once get exactly the serial results."""

import sys
import threading

import numpy as np
import pytest

import ostrel_py
from test_numpy_exchange import is_free, registry  # noqa: F401 - registry is a fixture

THREADS = 8
ROUNDS = 6

RECORD = bytes.fromhex("91 93 92 92 00 cc ff 92 03 40 90 91 92 01 80")
SHARED_WAV = np.random.default_rng(0).standard_normal(2600).astype(np.float32)


def jobs_for(thread):
    """The calls one thread makes: shared inputs, and inputs of its own."""
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
        lambda: ostrel_py.reconstruct_mask(RECORD, 5, 1),  # an internal error
        lambda: ostrel_py.vxmv1_melspectrogram(own_wav.astype(np.float64), 16000),  # refused
    ], own_wav


def comparable(result):
    """Bits, so that any difference counts, NaN included."""
    if isinstance(result, np.ndarray):
        return (result.shape, result.dtype.str, result.tobytes())
    return result


def run(job):
    try:
        return comparable(job())
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        return (type(error).__name__, error.args)


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_concurrent_calls_match_serial_results(registry, fast_switching, capfd):  # noqa: F811
    plans = [jobs_for(t) for t in range(THREADS)]
    expected = [[run(job) for job in jobs] for jobs, _ in plans]
    results = [[] for _ in range(THREADS)]
    barrier = threading.Barrier(THREADS)

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
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
    capfd.readouterr()  # the internal-error reports

    assert not any(thread.is_alive() for thread in threads)
    for t in range(THREADS):
        assert len(results[t]) == ROUNDS * len(expected[t])
        for i, result in results[t]:
            assert result == expected[t][i], (t, i)
    for array in [SHARED_WAV] + [own for _, own in plans]:
        assert is_free(registry, array)
