"""Eight threads calling every function at once get exactly the single-threaded
results, while another thread rewrites a shared array under write borrows of
the shared registry: no call reads it half written. On a free-threaded
CPython the calls run at the same time, and importing the module leaves the
GIL off. Neither a thread that changes an array under a call nor a fork while
other threads are inside calls can upset the module, and a worker process
can report its internal errors."""

import concurrent.futures
import ctypes
import multiprocessing
import os
import subprocess
import sys
import sysconfig
import threading
import time
import warnings

import numpy as np
import pytest

import ostrel_py
from conftest import PANICKING_RECORD, run_python
from test_numpy_exchange import ALREADY_BORROWED, PRELUDE, is_free, registry  # noqa: F401 - registry is a fixture

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


# A thread switches the array's dtype between float32 and float64 while two
# threads read it; the array is the last page before an inaccessible one where
# asked, so that a read past its end is a crash.
SWITCHED = PRELUDE + """
import mmap, sys, threading
ostrel_py.vxmv1_melspectrogram(np.zeros(1, dtype=np.float32), 16000)  # installs the registry
guarded = sys.argv[1] == "guarded"
if guarded:
    memory = mmap.mmap(-1, 2 * mmap.PAGESIZE)
    start = ctypes.addressof(ctypes.c_char.from_buffer(memory))
    assert ctypes.CDLL(None).mprotect(ctypes.c_void_p(start + mmap.PAGESIZE), mmap.PAGESIZE, 0) == 0
    wav = np.frombuffer(memory, dtype=np.float32, count=mmap.PAGESIZE // 4)
else:
    wav = np.zeros(1024, dtype=np.float32)
done = threading.Event()
outcomes = set()

def switcher():
    while not done.is_set():
        wav.dtype = np.float64 if wav.dtype == np.float32 else np.float32

def caller():
    for _ in range(300):
        try:
            outcomes.add(len(ostrel_py.vxmv1_melspectrogram(wav, 16000)))
        except TypeError:
            outcomes.add("refused")
        except BaseException as error:
            outcomes.add(type(error).__name__)

switching = threading.Thread(target=switcher)
callers = [threading.Thread(target=caller) for _ in range(2)]
for thread in [switching] + callers:
    thread.start()
for thread in callers:
    thread.join()
done.set()
switching.join()
wav.dtype = np.float32
get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
get_pointer.restype, get_pointer.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
record = Shared.from_address(get_pointer(getattr(multiarray, NAME.decode()), NAME))
assert record.acquire_mut(record.flags, wav) == 0, "a borrow was left behind"
record.release_mut(record.flags, wav)
assert outcomes <= {0, 1, "refused", "PanicException"}, outcomes  # 0: read halfway through a switch
"""


@pytest.mark.parametrize("placed", ["guarded", "anywhere"])
def test_a_dtype_switched_during_calls_leaves_no_borrow_and_is_read_within_the_array(placed):
    run_python(SWITCHED.replace("sys.argv[1]", repr(placed)))


# Three threads resize masks whose column weights the module keeps, a stripe
# every 100 columns, while the main thread forks children that each make a
# resize and an audio call. The parent has bound NumPy already, so that a
# child imports nothing.
FORKED = """
import os, threading, time, warnings
import numpy as np, ostrel_py
warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
WIDTH, ROWS = 12000, 16
ROW = bytes.fromhex("dc 0078") + b"".join(
    bytes.fromhex("92 cd") + c.to_bytes(2, "big") + bytes([0x10 + 0x40 * (c // 100 % 2)]) for c in range(0, WIDTH, 100))
RECORD = bytes.fromhex("91 dc") + ROWS.to_bytes(2, "big") + ROW * ROWS
wav = np.zeros(1280, dtype=np.float32)
ostrel_py.vxmv1_melspectrogram(wav, 16000)
done = threading.Event()

def resize():
    ostrel_py.reconstruct_mask(RECORD, WIDTH, ROWS, (1.5, "cubic"))

def resizer():
    while not done.is_set():
        resize()

threads = [threading.Thread(target=resizer) for _ in range(3)]
for thread in threads:
    thread.start()
children = []
for _ in range(30):
    time.sleep(0.002)
    pid = os.fork()
    if pid == 0:
        resize()
        ostrel_py.vxmv1_melspectrogram(wav, 16000)
        os._exit(0)
    children.append(pid)
done.set()
for thread in threads:
    thread.join()
deadline, hung = time.monotonic() + 60, 0
for pid in children:
    while os.waitpid(pid, os.WNOHANG) == (0, 0):
        if time.monotonic() >= deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            hung += 1
            break
        time.sleep(0.01)
print(hung)
"""


def test_children_forked_while_threads_are_inside_calls_make_every_call():
    assert run_python(FORKED).stdout.split() == ["0"]


# The wrapper README gives for worker processes: the internal error comes back
# as an ordinary exception with its message.
class InternalError(RuntimeError):
    pass


def call(function, *args):
    try:
        return function(*args)
    except Exception:
        raise
    except BaseException as error:
        if type(error).__name__ != "PanicException":
            raise
        raise InternalError(*error.args) from None


def mask_in_worker(record, width):
    return call(ostrel_py.reconstruct_mask, record, width, 1)


@pytest.mark.parametrize("pool", ["multiprocessing", "concurrent.futures"])
def test_a_worker_process_reports_an_internal_error_through_the_wrapper(pool):
    context = multiprocessing.get_context("fork")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
        if pool == "multiprocessing":
            workers = context.Pool(1)
            submit, result = lambda *a: workers.apply_async(mask_in_worker, a), lambda p: p.get(timeout=120)
        else:
            workers = concurrent.futures.ProcessPoolExecutor(1, mp_context=context)
            submit, result = lambda *a: workers.submit(mask_in_worker, *a), lambda f: f.result(timeout=120)
        with workers:
            good, bad = submit(bytes.fromhex("91 91 91 92 00 cc ff"), 2), submit(PANICKING_RECORD, 0)
            assert result(good).tolist() == [[1.0, 1.0]]
            with pytest.raises(InternalError, match="^ndarray: index out of bounds$"):
                result(bad)
