"""Throughput of ostrel_py's calls on 1, 2 and as many threads as there are cores.

Each row is one kind of call: a 1080p feathered face mask (examples/data)
halved with the cubic filter, and one second of speech (examples/data) to V1
windows. For each number of threads, every thread makes the same number of
calls back to back on inputs of its own, started together; the time is from
the start to the last thread's end. The numbers of threads take turns, round
after round, and the median of each is reported as calls per second and as
the speed-up over one thread. On a free-threaded CPython calls run at the
same time; with the GIL they run one at a time, and the speed-up stays near
1. Nothing is asserted: this measures, the tests check results.

    python benchmarks/threads.py [--quick]
    python benchmarks/threads.py --single-against OTHER_PYTHON [--quick]

--single-against times single-threaded calls of each kind in this
interpreter and in OTHER_PYTHON (which imports its own build of the module),
alternating the two interpreters' processes, and prints the median CPU time
per call of each and their ratio.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import sysconfig
import threading
import time
import wave
from pathlib import Path

import numpy as np

import ostrel_py

DATA = Path(__file__).resolve().parent.parent / "examples" / "data"


def face_mask():
    record = (DATA / "face_mask_1080p.msgpack").read_bytes()
    return lambda: ostrel_py.reconstruct_mask(record, 1920, 1080, (0.5, "cubic"))


def speech_second():
    with wave.open(str(DATA / "speech.wav")) as f:
        assert f.getframerate() == 16000 and f.getsampwidth() == 2 and f.getnchannels() == 1
        samples = np.frombuffer(f.readframes(16000), dtype="<i2")
    wav = (samples / 32768).astype(np.float32)
    return lambda: ostrel_py.vxmv1_melspectrogram(wav, 16000)


# name: a maker of one thread's call, with inputs of its own.
CASES = {"mask 1080p feathered, halved, cubic": face_mask, "audio 1 s, V1": speech_second}


def cores():
    return len(os.sched_getaffinity(0))


def timed_run(calls, count):
    """Seconds from the start of len(calls) threads, each making `count` calls
    of its own, to the end of the last."""
    barrier = threading.Barrier(len(calls) + 1)
    ends = [0.0] * len(calls)

    def worker(i):
        call = calls[i]
        barrier.wait()
        for _ in range(count):
            call()
        ends[i] = time.perf_counter()

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(calls))]
    for thread in threads:
        thread.start()
    start = time.perf_counter()
    barrier.wait()
    for thread in threads:
        thread.join()
    return max(ends) - start


def throughput_rows(quick):
    counts = sorted({1, 2, cores()})
    rounds = 3 if quick else 9
    rows = []
    for name, make in CASES.items():
        calls = [make() for _ in range(max(counts))]
        for call in calls:  # warm-up: the binding to NumPy, kept weights
            call()
        one = time.perf_counter()
        calls[0]()
        one = time.perf_counter() - one
        # Each thread's share lasts about 0.2 s (0.05 s with --quick).
        per_thread = max(2, int((0.05 if quick else 0.2) / max(one, 1e-6)))
        rates = {n: [] for n in counts}
        for r in range(rounds):
            order = counts[r % len(counts):] + counts[: r % len(counts)]
            for n in order:
                rates[n].append(n * per_thread / timed_run(calls[:n], per_thread))
        base = statistics.median(rates[1])
        for n in counts:
            rate = statistics.median(rates[n])
            rows.append((name, n, rate, rate / base))
    return rows


def single_call_seconds(quick):
    """{case: median seconds per call} of single-threaded calls, in the
    thread's CPU time, which other processes of the machine hardly change."""
    result = {}
    for name, make in CASES.items():
        call = make()
        call()
        times = []
        for _ in range(30 if quick else 200):
            t0 = time.thread_time()
            call()
            times.append(time.thread_time() - t0)
        result[name] = statistics.median(times)
    return result


def single_against(other, quick):
    """Single-threaded calls in this interpreter and in `other`, their
    processes alternating; {python: {case: [medians]}}."""
    script = [str(Path(__file__).resolve()), "--single-json"] + (["--quick"] if quick else [])
    pythons = [sys.executable, other]
    medians = {python: {name: [] for name in CASES} for python in pythons}
    for r in range(3 if quick else 8):
        for python in pythons if r % 2 == 0 else pythons[::-1]:
            out = subprocess.run([python, *script], check=True, capture_output=True, text=True).stdout
            for name, seconds in json.loads(out).items():
                medians[python][name].append(seconds)
    return medians


def describe(python):
    code = ("import sys, sysconfig, numpy, ostrel_py; gil = getattr(sys, '_is_gil_enabled', lambda: True)(); "
            "print(f'CPython {sys.version.split()[0]}"
            "{\"t\" if sysconfig.get_config_var(\"Py_GIL_DISABLED\") else \"\"}, GIL {\"on\" if gil else \"off\"}, "
            "NumPy {numpy.__version__}, {ostrel_py.__file__}')")
    return subprocess.run([python, "-c", code], check=True, capture_output=True, text=True).stdout.strip()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter rounds, for a smoke run")
    parser.add_argument("--single-against", metavar="PYTHON", help="compare single-threaded calls with PYTHON")
    parser.add_argument("--single-json", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.single_json:
        print(json.dumps(single_call_seconds(args.quick)))
        return
    if args.single_against:
        medians = single_against(args.single_against, args.quick)
        this, other = sys.executable, args.single_against
        print(f"A: {describe(this)}\nB: {describe(other)}\n")
        print("| call | A per call | B per call | A / B |\n|---|---:|---:|---:|")
        for name in CASES:
            a, b = statistics.median(medians[this][name]), statistics.median(medians[other][name])
            print(f"| {name} | {a * 1e6:.1f} µs | {b * 1e6:.1f} µs | {a / b:.3f} |")
        return
    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print(f"{describe(sys.executable)}; {cores()} cores{'' if free else ' (the calls take turns at the GIL)'}\n")
    if free and gil:
        print("warning: the GIL is on in a free-threaded interpreter\n")
    print("| call | threads | calls per second | against 1 thread |\n|---|---:|---:|---:|")
    for name, n, rate, speedup in throughput_rows(args.quick):
        print(f"| {name} | {n} | {rate:.0f} | {speedup:.2f}x |")


if __name__ == "__main__":
    main()
