"""Calls one contender of one `make bench` case CALLS times, for instruction
counts under emulation: benchmarks/bench_aarch64.py runs it under qemu and
takes a run with two calls minus a run with one as the count of a warm call.

    python count_call.py CALLS CONTENDER audio VERSION SECONDS
    python count_call.py CALLS CONTENDER mask KIND WIDTH HEIGHT [FACTOR FILTER]
    python count_call.py CALLS CONTENDER map KIND WIDTH HEIGHT
    options: --text START SIZE   the module's .text, as the ELF file gives it
             --input FILE        the case's bench.MaskInput, pickled, instead
                                 of making it again (slow under emulation)

Around the calls after the first it tells the plugin of benchmarks/
block_counts.c, when that is loaded, the range of the module's code (with
--text) and when to count, so that its blocks describe one warm call.
Prints the module's file, so that the caller can check which one ran, and
where it was loaded.
"""

import gc
import os
import pickle
import sys

import bench

# block_counts.c's commands: lseek(-1, value, kMagic + command).
MAGIC, FIRST, END, RESET, DUMP = 0x6F737400, 1, 2, 3, 4


def plugin(command, value=0):
    try:
        os.lseek(-1, value, MAGIC + command)
    except OSError:
        pass


def load_address(path):
    """Where the process mapped the start of the file `path`."""
    real = os.path.realpath(path)
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split()
            if len(fields) >= 6 and fields[5] == real and int(fields[2], 16) == 0:
                return int(fields[0].split("-")[0], 16)
    raise SystemExit(f"{path} is not mapped")


def numba_decorators_uncompiled():
    """With numba's JIT off (bench_aarch64.py), its @jit functions run as
    Python, but @guvectorize and @vectorize with signatures still compile when
    librosa is imported, and one of librosa's compiles a call to a jitted
    function, which fails then unless a numba cache of an earlier run with the
    JIT holds it. librosa.stft calls none of them: they become stand-ins that
    refuse to be called, so that a count that did call one fails instead of
    counting something else."""
    import numba

    def uncompiled(*args, **kwargs):
        def wrap(function):
            def refuse(*args, **kwargs):
                raise RuntimeError(f"{function.__qualname__} needs numba's JIT, which is off")
            return refuse
        return wrap

    numba.guvectorize = numba.vectorize = uncompiled


def contenders(name, kind, args, mask_input):
    if kind == "audio":
        if name == "librosa" and os.environ.get("NUMBA_DISABLE_JIT") == "1":
            numba_decorators_uncompiled()
        version, seconds = int(args[0]), float(args[1])
        return bench.audio_contenders(bench.speech_like(seconds), version, [name])
    if mask_input is not None:
        with open(mask_input, "rb") as f:
            m = pickle.load(f)
    else:
        m = bench.MaskInput(int(args[1]), int(args[2]), args[0])
    if kind == "map":
        return bench.map_form_contenders(m)
    scale = (float(args[3]), args[4]) if len(args) == 5 else None
    return bench.mask_contenders(m, scale)


def main():
    argv = sys.argv[1:]
    text = mask_input = None
    if "--text" in argv:
        at = argv.index("--text")
        text = (int(argv[at + 1], 0), int(argv[at + 2], 0))
        del argv[at:at + 3]
    if "--input" in argv:
        at = argv.index("--input")
        mask_input = argv[at + 1]
        del argv[at:at + 2]
    calls, name, kind, args = int(argv[0]), argv[1], argv[2], argv[3:]
    call = dict(contenders(name, kind, args, mask_input))[name]
    if name.startswith("opencv"):
        import cv2

        cv2.setNumThreads(1)  # the module starts no thread
    base = load_address(bench.ostrel_py.__file__)
    print("module", bench.ostrel_py.__file__, hex(base), flush=True)
    if text is not None:
        plugin(FIRST, base + text[0])
        plugin(END, base + text[0] + text[1])
    gc.collect()
    gc.disable()  # as in bench.py
    call()
    plugin(RESET)
    for _ in range(calls - 1):
        call()
    plugin(DUMP)


if __name__ == "__main__":
    main()
