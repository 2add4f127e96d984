"""Memory and references across many calls, on success and on every error path,
and requests for memory that cannot exist."""

import contextlib
import ctypes
import gc
import mmap
import os
import sys

import numpy as np
import pytest

import ostrel_py
from conftest import PANICKING_RECORD, Index, PanicException, run_python
from test_numpy_exchange import is_free, registry  # noqa: F401 - registry is a fixture

EXAMPLE = bytes.fromhex("91 92 92 92 00 cc ff 92 03 00 90")
EXAMPLE_MASK = [[1.0, 1.0, 1.0, 0.0, 0.0], [0.0] * 5]
SANITIZED = os.environ.get("OSTREL_SANITIZED") == "1"
CI = os.environ.get("CI") == "true"
CALLS = 300 if SANITIZED else 2000


class Refused(Exception):
    pass


class RaisingIndex:
    def __index__(self):
        raise Refused("no index")


def _heap_counter():
    """Bytes the C allocator has handed out and not taken back, or None."""
    libc = ctypes.CDLL(None)
    sanitizer = getattr(libc, "__sanitizer_get_current_allocated_bytes", None)
    if sanitizer is not None:
        sanitizer.restype = ctypes.c_size_t
        return sanitizer
    # glibc before 2.33 has only mallinfo, whose int fields hold the sizes
    # modulo 2**32: read as unsigned, the growth the test measures is exact.
    mallinfo, field = getattr(libc, "mallinfo2", None), ctypes.c_size_t
    if mallinfo is None:
        mallinfo, field = getattr(libc, "mallinfo", None), ctypes.c_uint
    if mallinfo is None:
        return None

    class Mallinfo(ctypes.Structure):
        _fields_ = [(name, field) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]

    mallinfo.restype = Mallinfo
    return lambda: mallinfo().uordblks + mallinfo().hblkhd


heap_bytes = _heap_counter()

wav = np.random.default_rng(1).standard_normal(1300).astype(np.float32)
strided = np.random.default_rng(2).standard_normal(3000).astype(np.float32)[::-2]
scale = (0.7, "cubic")
big_index = Index(2**31)


def outcome(call):
    try:
        call()
    except BaseException as error:  # noqa: B036 - PanicException derives from BaseException
        return type(error)
    return None


# Each case: the call, the objects whose reference counts must not move, and
# the outcome it must have every time.
CASES = {
    "dummy": (lambda: ostrel_py.dummy_func(), [], None),
    "mask": (lambda: ostrel_py.reconstruct_mask(EXAMPLE, 5, 2), [EXAMPLE], None),
    "mask-resized": (lambda: ostrel_py.reconstruct_mask(EXAMPLE, 5, 2, scale), [EXAMPLE, scale], None),
    "mask-by-keyword": (lambda: ostrel_py.reconstruct_mask(bytes=EXAMPLE, width=5, height=2, scale=None),
                        [EXAMPLE], None),
    "mask-bad-bytes": (lambda: ostrel_py.reconstruct_mask(bytearray(EXAMPLE), 5, 2), [], TypeError),
    "mask-bad-record": (lambda: ostrel_py.reconstruct_mask(EXAMPLE[:-3], 5, 2), [], ValueError),
    "mask-negative-width": (lambda: ostrel_py.reconstruct_mask(EXAMPLE, -1, 2), [], OverflowError),
    "mask-raising-index": (lambda: ostrel_py.reconstruct_mask(EXAMPLE, RaisingIndex(), 2), [], Refused),
    "mask-scale-length": (lambda: ostrel_py.reconstruct_mask(EXAMPLE, 5, 2, (1.0,)), [], ValueError),
    "mask-scale-name": (lambda: ostrel_py.reconstruct_mask(EXAMPLE, 5, 2, (1.0, b"x")), [], TypeError),
    "mask-panic": (lambda: ostrel_py.reconstruct_mask(PANICKING_RECORD, 0, 1), [PANICKING_RECORD],
                   PanicException),
    "mask-shape-panic": (lambda: ostrel_py.reconstruct_mask(EXAMPLE, 2**63, 2), [], PanicException),
    "mask-no-memory": (lambda: ostrel_py.reconstruct_mask(EXAMPLE, big_index, big_index), [big_index],
                       MemoryError),
    "mask-resize-no-memory": (lambda: ostrel_py.reconstruct_mask(EXAMPLE, 5, 2, (1e30, "linear")), [],
                              MemoryError),
    "mask-missing-argument": (lambda: ostrel_py.reconstruct_mask(EXAMPLE, 5), [EXAMPLE], TypeError),
    "mask-unknown-keyword": (lambda: ostrel_py.reconstruct_mask(EXAMPLE, 5, 2, size=1), [EXAMPLE], TypeError),
    "v1": (lambda: ostrel_py.vxmv1_melspectrogram(wav, 16000), [wav], None),
    "v2-strided": (lambda: ostrel_py.vxmv2_melspectrogram(strided, 16000), [strided, strided.base], None),
    "v1-44100": (lambda: ostrel_py.vxmv1_melspectrogram(wav, 44100), [wav], None),
    "v2-not-float32": (lambda: ostrel_py.vxmv2_melspectrogram(wav.astype(np.float64), 16000), [wav], TypeError),
    "v1-not-array": (lambda: ostrel_py.vxmv1_melspectrogram([0.0] * 700, 16000), [], TypeError),
    "v2-rate-overflow": (lambda: ostrel_py.vxmv2_melspectrogram(wav, 2**32), [wav], OverflowError),
    "v1-rate-type": (lambda: ostrel_py.vxmv1_melspectrogram(wav, "16000"), [wav], TypeError),
    "v2-too-many": (lambda: ostrel_py.vxmv2_melspectrogram(wav, 16000, 1), [wav], TypeError),
}


@pytest.mark.skipif(heap_bytes is None, reason="no way to read the C heap's size on this platform")
@pytest.mark.parametrize("call, held, expected", CASES.values(), ids=CASES.keys())
def test_repeated_calls_keep_memory_and_references_flat(call, held, expected, capfd):
    assert outcome(call) is expected
    for _ in range(CALLS // 10):
        outcome(call)
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in held]
    heap, blocks = heap_bytes(), sys.getallocatedblocks()
    for _ in range(CALLS):
        outcome(call)
    gc.collect()
    heap_growth, block_growth = heap_bytes() - heap, sys.getallocatedblocks() - blocks
    capfd.readouterr()  # the internal-error reports of the panicking cases
    assert [sys.getrefcount(obj) for obj in held] == refs
    # One leaked object or buffer per call would add at least CALLS blocks or
    # 16 * CALLS bytes; the slack is for the allocators' own bookkeeping.
    assert block_growth < CALLS // 10
    assert heap_growth < 4 * CALLS


def test_audio_calls_leave_no_borrow_behind(registry):  # noqa: F811
    for call, held, _ in (CASES["v1"], CASES["v2-strided"], CASES["v2-not-float32"]):
        outcome(call)
        for array in held:
            if isinstance(array, np.ndarray):
                assert is_free(registry, array)


IMPOSSIBLE = {
    "mask-cells": (lambda: ostrel_py.reconstruct_mask(b"\x91\x90", 2**63 - 1, 1), MemoryError),
    "mask-cells-overflow": (lambda: ostrel_py.reconstruct_mask(b"\x91\x90", 2**32, 2**31), PanicException),
    "mask-scale-1e30": (lambda: ostrel_py.reconstruct_mask(EXAMPLE, 5, 2, (1e30, "nearest")), MemoryError),
    "mask-scale-inf": (lambda: ostrel_py.reconstruct_mask(EXAMPLE, 5, 2, (float("inf"), "gaussian")), MemoryError),
    "mask-scale-wide": (lambda: ostrel_py.reconstruct_mask(b"\x91\x90", 2**20, 1, (2.0**20, "linear")), MemoryError),
    # A run outside the mask is reported before the resize's memory is.
    "mask-outside-then-huge-resize": (
        lambda: ostrel_py.reconstruct_mask(bytes.fromhex("91 92 90 91 92 05 01"), 2, 2, (1e30, "linear")), PanicException),
    "mask-declared-rows": (lambda: ostrel_py.reconstruct_mask(b"\x91\xdd\xff\xff\xff\xff\x90", 1, 1), ValueError),
    "mask-declared-runs": (lambda: ostrel_py.reconstruct_mask(b"\x91\x91\xdd\xff\xff\xff\xff\x92\x00\x01", 1, 1),
                           ValueError),
}


@pytest.mark.parametrize("call, error", IMPOSSIBLE.values(), ids=IMPOSSIBLE.keys())
def test_impossible_requests_fail_cleanly(call, error, capfd):
    with pytest.raises(error):
        call()
    capfd.readouterr()
    assert ostrel_py.reconstruct_mask(EXAMPLE, 5, 2).tolist() == EXAMPLE_MASK


@pytest.mark.skipif(SANITIZED, reason="under ASan, operator new ends the process on an impossible size")
@pytest.mark.parametrize("function", [ostrel_py.vxmv1_melspectrogram, ostrel_py.vxmv2_melspectrogram])
def test_audio_declaring_2_to_the_40_samples_is_memory_error(function, registry):  # noqa: F811
    one = np.zeros(1, np.float32)
    huge = np.lib.stride_tricks.as_strided(one, shape=(2**40,), strides=(0,))
    with pytest.raises(MemoryError):
        function(huge, 16000)
    assert is_free(registry, one)
    assert len(function(wav, 16000)) == 2


@pytest.mark.skipif(SANITIZED, reason="under ASan, operator new ends the process on an impossible size")
def test_audio_whose_windows_exceed_the_machine_is_memory_error(registry):  # noqa: F811
    # Contiguous samples are read in place, so nothing is copied that could
    # fail first: a result of 1.5 times physical memory (8 bytes of windows
    # per 4-byte sample) is refused before any of it is made.
    page = os.sysconf("SC_PAGE_SIZE")
    pages = mmap.mmap(-1, os.sysconf("SC_PHYS_PAGES") * 3 // 4 * page, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS)
    samples = np.frombuffer(pages, np.float32)
    with pytest.raises(MemoryError):
        ostrel_py.vxmv1_melspectrogram(samples, 16000)
    assert is_free(registry, samples)
    del samples
    pages.close()


# Shapes whose resize once needed far more memory than its result: a wide,
# short mask (a drawn mask and buffers of 16 rows of the whole width, every
# output column's weights at once), a tall, narrow one (every output row's
# weights at once), and a tiny mask made huge. Each runs with its address
# space capped at the interpreter's plus one and a half times the result; a
# small call of the same shape gives the values the large one must start and
# end with.
BOUNDED = {
    "wide-short": (bytes.fromhex("91 92 91 92 00 cc ff 91 92 05 07"), (2**24, 2), (64, 2), (0.5, "linear")),
    "tall-narrow": (bytes.fromhex("91 91 91 92 00 cc ff"), (2, 2**24), (2, 64), (0.5, "linear")),
    "tiny-upscaled": (bytes.fromhex("91 91 91 92 00 cc ff"), (1, 1), (1, 1), (4096.0, "cubic")),
}


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's shadow memory cannot live under an address-space limit")
@pytest.mark.parametrize("record, size, small_size, scale", BOUNDED.values(), ids=BOUNDED.keys())
def test_resize_memory_is_bounded_by_the_result(record, size, small_size, scale):
    small = ostrel_py.reconstruct_mask(record, *small_size, scale).ravel()
    result = run_python(f"""
        import os
        import resource

        os.environ["OPENBLAS_NUM_THREADS"] = "1"  # no reserve for threads NumPy would start
        import ostrel_py

        ostrel_py.reconstruct_mask(b"\\x91\\x90", 1, 1)  # binds NumPy before the cap
        with open("/proc/self/status") as status:
            used = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
        width, height, factor = {size[0]}, {size[1]}, {scale[0]}
        result_bytes = 4 * int(width * factor) * int(height * factor)
        resource.setrlimit(resource.RLIMIT_AS, (used + 3 * result_bytes // 2, resource.RLIM_INFINITY))
        out = ostrel_py.reconstruct_mask({record!r}, width, height, {scale!r}).ravel()
        print(out.size, *out[:4].tolist(), out[4:].min().item(), out[4:].max().item())
    """)
    count, *head, low, high = result.stdout.split()
    assert int(count) == int(size[0] * scale[0]) * int(size[1] * scale[0])
    assert [float(v) for v in head] == small[:4].tolist()
    assert float(low) == float(high) == small[-1].item()


# ---- a container's memory limit ----


def _memory_cgroup_parents():
    """Folders under which a memory cgroup can be made: (folder, cgroup v2?),
    the process's own cgroup first, then the top of the hierarchy."""
    with open("/proc/self/mountinfo") as mounts, open("/proc/self/cgroup") as cgroups:
        mounts, cgroups = [line.split() for line in mounts], [line.rstrip("\n").split(":", 2) for line in cgroups]
    for fields in mounts:
        kind, options = fields[fields.index("-") + 1], fields[fields.index("-") + 3].split(",")
        v2 = kind == "cgroup2"
        if not (v2 or (kind == "cgroup" and "memory" in options)) or fields[3] != "/":
            continue
        own = [path for id_, controllers, path in cgroups if (id_ == "0" and not controllers) == v2
               and (v2 or "memory" in controllers.split(","))]
        yield from ((os.path.join(fields[4], path.lstrip("/")), v2) for path in own + ["/"])


@contextlib.contextmanager
def memory_cgroup(limit):
    """A new memory cgroup limited to `limit` bytes, as a container runtime makes one: its cgroup.procs file."""
    if os.geteuid() != 0:
        pytest.fail("making a memory cgroup needs root") if CI else pytest.skip("making a memory cgroup needs root")
    for parent, v2 in _memory_cgroup_parents():
        folder = os.path.join(parent, f"ostrel-test-{os.getpid()}")
        try:
            os.mkdir(folder)
            if v2 and not os.path.exists(os.path.join(folder, "memory.max")):
                with open(os.path.join(parent, "cgroup.subtree_control"), "w") as control:
                    control.write("+memory")
            with open(os.path.join(folder, "memory.max" if v2 else "memory.limit_in_bytes"), "w") as file:
                file.write(str(limit))
        except OSError:
            if os.path.isdir(folder):
                os.rmdir(folder)
            continue
        try:
            yield os.path.join(folder, "cgroup.procs")
        finally:
            os.rmdir(folder)
        return
    reason = "no memory cgroup could be made here (no memory controller mounted, or none delegated)"
    pytest.fail(reason) if CI else pytest.skip(reason)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine alone can outgrow the limit")
def test_calls_beyond_a_containers_memory_limit_are_memory_errors():
    # Each refused call would need several times the limit: read in place,
    # copied first (refused before the copy), a plain mask, a resized one.
    # Calls that fit must still run. The kernel kills a process that
    # outgrows its cgroup instead of failing an allocation.
    with memory_cgroup(300 << 20) as procs:
        result = run_python(f"""
            import os
            with open({procs!r}, "w") as procs:
                procs.write(str(os.getpid()))
            import numpy as np
            import ostrel_py

            def outcome(call):
                try:
                    result = call()
                except MemoryError:
                    return "MemoryError"
                return "x".join(map(str, result.shape)) if hasattr(result, "shape") else str(len(result))

            def ones(width, height):  # rows of one run of 255
                return bytes([0x91, 0xDC]) + height.to_bytes(2, "big") + bytes([0x91, 0x92, 0, 0xCC, 0xFF]) * height

            samples = np.zeros(600_000_000, np.float32)  # untouched pages: no memory yet
            print(outcome(lambda: ostrel_py.vxmv1_melspectrogram(samples[:300_000_000], 16000)),
                  outcome(lambda: ostrel_py.vxmv2_melspectrogram(samples[::2], 16000)),
                  outcome(lambda: ostrel_py.reconstruct_mask(ones(30000, 30000), 30000, 30000)),
                  outcome(lambda: ostrel_py.reconstruct_mask(ones(1000, 1000), 1000, 1000, (30.0, "linear"))),
                  outcome(lambda: ostrel_py.vxmv2_melspectrogram(samples[:16_000_000:2], 16000)),
                  outcome(lambda: ostrel_py.reconstruct_mask(ones(4000, 4000), 4000, 4000)),
                  outcome(lambda: ostrel_py.reconstruct_mask(ones(2000, 2000), 2000, 2000, (2.0, "cubic"))))
        """)
    assert result.stdout.split() == ["MemoryError"] * 4 + ["12500", "4000x4000", "4000x4000"]
