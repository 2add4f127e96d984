"""Counts the instructions of `make bench`'s cases on AArch64 under qemu's
user-mode emulator, and of the module's SSE2 path under qemu-x86_64, and
prints them as markdown tables. Counts, not times: the emulator executes
every guest instruction, so a count is exact and repeatable whatever else the
machine does, but it weighs a square root like an addition.

A warm call's count is a run with two calls minus a run with one
(count_call.py), each counted from the end of its first call on by
block_counts.c, a plugin of this project: that leaves out the start and the
end of the process, which vary by some 10,000 instructions between runs.
The emulator's own example plugin (insn.c) counts each run whole as a check.
In the module's runs block_counts.c also counts block by block; each
instruction of the module goes to the stage of its code (STAGES, by the
function names the module's debug information gives for it, inlined ones
included) and code outside the module to the module code that called it.
benchmarks/aarch64 builds everything this takes and runs it.
"""

import argparse
import json
import os
import pickle
import re
import subprocess
import sys
import tempfile
import tomllib
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from types import SimpleNamespace

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import bench  # noqa: E402

LENGTHS = [0.0, 0.04, 0.2, 1.0, 10.0, 60.0]
AUDIO = ["module", "numpy", "librosa"]
PEERS = ["numpy", "librosa"]

# The stages of an audio call, each a pattern over the names of the
# functions an instruction belongs to (the function it was inlined into and
# every inlined one): the first stage whose pattern matches one of them takes
# the instruction. The module's other code is the Python frame (arguments,
# the copy of the samples, the bytes objects and their list) with the
# interpreter's work before and after the call.
STAGES = [
    ("levels (log10 included)", r"\blevels\b|log10"),
    ("gather frames x window", r"\bgather"),
    ("FFT passes", r"\bpass\b|\bpass<|butterfly"),
    ("join", r"\bjoin\b|FftLanes<\w+>::spectra\b"),
    ("magnitudes and mel sums", r"mel_energies|magnitude"),
    ("pack windows", r"\bpack|WindowPacker"),
    ("set-up", r"Audio2MelSpectrogram::~?Audio2MelSpectrogram\b|::mel\(|mel_frequencies|hann_window"
               r"|nonzero_bin_ranges|RealFft::~?RealFft\b|make_transformer|model_config|level_rule|kernels_for"
               r"|plan_transform|\bcr::"),
    ("signal and batch loop", r"Audio2MelSpectrogram::frames\b|::transform\(|transform_batch|forward_batch"
                              r"|signal_of|signal_at|resample|run_transform"),
]
PYTHON_FRAME = "Python frame and interpreter"


def frames_of(seconds, sample_rate=16000):
    """Spectrogram frames of an input: the samples of whole video frames, plus
    one FFT length, in hops of 200, less the 3 hops before the first frame ends."""
    samples = int(int(seconds * sample_rate) / 640) * 640
    return (samples + 800) // 200 - 3


# ---------------------------------------------------------------- running


class Platform:
    def __init__(self, name, qemu, python, module, env, lanes):
        self.name, self.qemu, self.python, self.module, self.env, self.lanes = name, qemu, python, module, env, lanes
        text = re.search(r"\.text\s+PROGBITS\s+([0-9a-f]+)\s+[0-9a-f]+\s+([0-9a-f]+)",
                         subprocess.run(["readelf", "-SW", module], check=True, capture_output=True,
                                        text=True).stdout)
        self.text = (int(text.group(1), 16), int(text.group(2), 16))


def mask_input(work, case):
    """The pickled bench.MaskInput of a mask case, made here once: making it
    under emulation would take longer than counting its calls."""
    kind, width, height = case[1], int(case[2]), int(case[3])
    path = work / f"mask-{kind}-{width}x{height}.pickle"
    if not path.exists():
        m = bench.MaskInput(width, height, kind)
        m.rows = None  # no contender reads them, and the noise mask's two million lists would load slowly
        with open(path, "wb") as f:
            pickle.dump(m, f)
    return path


def run(platform, plugins, work, calls, contender, case, blocks):
    """One run: the instructions insn.c counted in all, those block_counts.c
    counted after the first call, and its file with the blocks when asked for
    (with where the module was loaded)."""
    tag = re.sub(r"[^\w.]+", "_", f"{platform.name}-{contender}-{'-'.join(case)}-{calls}")
    log, dump = work / f"{tag}.log", work / f"{tag}.blocks"
    command = [*platform.qemu, "-plugin", f"{plugins}/libinsn.so,inline=on",
               "-plugin", f"{plugins}/libblock_counts.so,out={dump}" + ("" if blocks else ",blocks=off"),
               "-d", "plugin", "-D", str(log), platform.python, str(HERE / "count_call.py"),
               str(calls), contender, *case]
    if blocks:
        command += ["--text", hex(platform.text[0]), hex(platform.text[1])]
    if case[0] != "audio":
        command += ["--input", str(mask_input(work, case))]
    done = subprocess.run(command, env=platform.env, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed:\n{done.stdout}{done.stderr}")
    module, base = done.stdout.split("\n")[0].split()[1:3]
    if os.path.realpath(module) != os.path.realpath(platform.module):
        raise SystemExit(f"{platform.name}: ran {module}, not {platform.module}")
    insns = int(re.search(r"insns: (\d+)", log.read_text()).group(1))
    counted = int(re.match(r"total (\d+)", dump.read_text()).group(1))
    print(f"{tag}: {insns:,} in all, {counted:,} after the first call", file=sys.stderr, flush=True)
    return insns, counted, (dump, int(base, 16)) if blocks else None


def count_all(jobs, plugins, work, parallel):
    """jobs: (platform, contender, case, blocks). Returns {(platform name,
    contender, case): Count} of one warm call: the run with two calls minus
    the run with one, both by the instructions after the first call
    (`warm`: exact, run after run) and by all of each run (`whole`: within
    some 10,000 instructions, as the start and end of a process vary)."""
    for _, _, case, _ in jobs:
        if case[0] != "audio":
            mask_input(work, case)
    runs = [(job, calls) for job in jobs for calls in (1, 2)]
    with ThreadPoolExecutor(parallel) as pool:
        results = list(pool.map(lambda r: run(r[0][0], plugins, work, r[1], *r[0][1:]), runs))
    by_run = {((job[0].name, *job[1:3]), calls): result for (job, calls), result in zip(runs, results)}
    return {key: SimpleNamespace(warm=by_run[(key, 2)][1] - by_run[(key, 1)][1],
                                 whole=by_run[(key, 2)][0] - by_run[(key, 1)][0],
                                 marks=by_run[(key, 1)][1], blocks=by_run[(key, 2)][2])
            for key, calls in by_run if calls == 1}


# ---------------------------------------------------------------- stages


def stages_of(platform, count):
    """Instructions of one warm call by stage, from block_counts.c's file of
    the run with two calls. The interpreter's work that is no call of the
    module's goes to the Python frame, less what the run with one call
    counted: count_call.py's own work around the calls."""
    path, base = count.blocks
    first, end = base + platform.text[0], base + platform.text[0] + platform.text[1]
    blocks = []
    for line in path.read_text().splitlines()[1:]:
        _, start, executions, charged, offsets = line.split()
        blocks.append((int(start, 16), int(executions), int(charged), [int(o) for o in offsets.split(",")]))
    addresses = sorted({start + o - base for start, _, _, offsets in blocks if first <= start < end for o in offsets})
    symbolized = subprocess.run(["llvm-symbolizer", f"--obj={platform.module}", "--inlines", "--output-style=JSON"],
                                input="\n".join(hex(a) for a in addresses), check=True, capture_output=True,
                                text=True).stdout.splitlines()
    stage_at, widths = {}, set()
    for address, line in zip(addresses, symbolized):
        names = [frame["FunctionName"] for frame in json.loads(line)["Symbol"]]
        widths.update(re.findall(r"Lanes<(\d+)", " ".join(names)))
        stage_at[address] = next((stage for stage, pattern in STAGES if any(re.search(pattern, n) for n in names)),
                                 PYTHON_FRAME)
    # The module's kernels run on the path of platform.lanes lanes only.
    if widths - {str(platform.lanes)}:
        raise SystemExit(f"{platform.name}: the module ran kernels of {sorted(widths)} lanes, not {platform.lanes}")
    totals = {PYTHON_FRAME: -count.marks}
    for start, executions, charged, offsets in blocks:
        if first <= start < end:
            for o in offsets:
                stage = stage_at[start + o - base]
                totals[stage] = totals.get(stage, 0) + executions
            # Code outside the module belongs to the stage of the call that led there.
            stage = stage_at[start + offsets[-1] - base]
            totals[stage] = totals.get(stage, 0) + charged
        else:
            totals[PYTHON_FRAME] += executions * len(offsets)
    assert sum(totals.values()) == count.warm
    return totals


# ---------------------------------------------------------------- tables


def thousands(n):
    return f"{n:,}" if n is not None else "-"


def guest_versions(platform):
    """NumPy's BLAS as the emulated machine runs it, and the version of each
    package of the `bench` extra there (pyproject.toml pins them)."""
    extra = tomllib.loads((HERE.parent / "pyproject.toml").read_text())["project"]["optional-dependencies"]["bench"]
    names = [re.match(r"[\w.-]+", requirement)[0] for requirement in extra]
    probe = ("import importlib.metadata, threadpoolctl; "
             "print([(i['internal_api'], i.get('architecture'), i['num_threads']) "
             "for i in threadpoolctl.threadpool_info()], end='; '); "
             f"print(', '.join(n + ' ' + importlib.metadata.version(n) for n in {names!r}))")
    return subprocess.run([*platform.qemu, platform.python, "-c", probe], env=platform.env, check=True,
                          capture_output=True, text=True).stdout.strip()


def audio_case(version, seconds):
    return ("audio", str(version), f"{seconds:g}")


def audio_table(counts, sse2):
    print("| input | module | NumPy | librosa | best peer / module | module per frame | module, whole runs | "
          "SSE2 module |")
    print("|---|---:|---:|---:|---:|---:|---:|---:|")
    for version in (1, 2):
        for seconds in LENGTHS:
            case = audio_case(version, seconds)
            module = counts[("aarch64", "module", case)]
            peers = [counts[("aarch64", name, case)].warm for name in PEERS]
            ratio = f"{min(peers) / module.warm:.2f}x" if seconds > 0 else "-"
            label = "empty" if seconds == 0 else f"{seconds:g} s"
            sse2_count = counts.get((sse2, "module", case))
            print(f"| V{version} {label} | {thousands(module.warm)} | {thousands(peers[0])} | {thousands(peers[1])} | "
                  f"{ratio} | {thousands(round(module.warm / frames_of(seconds)))} | {thousands(module.whole)} | "
                  f"{thousands(sse2_count and sse2_count.warm)} |")


def stage_tables(stages, sse2):
    at = 10.0
    for version in (1, 2):
        columns = [("empty" if s == 0 else f"{s:g} s", stages[("aarch64", audio_case(version, s))]) for s in LENGTHS]
        per_frame = []
        if ("aarch64", audio_case(version, at)) in stages:
            per_frame.append((f"per frame, {at:g} s, NEON", stages[("aarch64", audio_case(version, at))],
                              frames_of(at)))
        if (sse2, audio_case(version, at)) in stages:
            per_frame.append((f"per frame, {at:g} s, SSE2", stages[(sse2, audio_case(version, at))], frames_of(at)))
        names = [name for name, _ in STAGES] + [PYTHON_FRAME]
        print(f"\nV{version}, instructions of one warm call by stage:\n")
        print("| stage | " + " | ".join(c for c, _ in columns) + " | " + " | ".join(c for c, _, _ in per_frame) + " |")
        print("|---|" + "---:|" * (len(columns) + len(per_frame)))
        for name in names + ["all"]:
            cells = [thousands(sum(t.values()) if name == "all" else t.get(name, 0)) for _, t in columns]
            cells += [thousands(round((sum(t.values()) if name == "all" else t.get(name, 0)) / n))
                      for _, t, n in per_frame]
            print(f"| {name} | " + " | ".join(cells) + " |")


def mask_jobs_and_rows(quick):
    """The mask cases as (label, case arguments, contender names)."""
    rows = []
    for (width, height), kind, scales, map_form in bench.mask_cases(quick):
        placeholder = SimpleNamespace(width=width, height=height, kind=kind, record=b"", mask=None, mask_f32=None,
                                      map_record=b"")
        for scale in scales:
            case = ("mask", kind, str(width), str(height), *(() if scale is None else (f"{scale[0]:g}", scale[1])))
            label = f"{kind} {width}x{height} {bench.scale_label(scale)}"
            rows.append((label, case, [name for name, _ in bench.mask_contenders(placeholder, scale)]))
        if map_form:
            rows.append((f"{kind} {width}x{height} map form none", ("map", kind, str(width), str(height)),
                         [name for name, _ in bench.map_form_contenders(placeholder)]))
    return rows


def mask_table(counts, rows):
    print("| case | module | baseline: instructions (baseline / module) |")
    print("|---|---:|---|")
    for label, case, names in rows:
        module = counts[("aarch64", "module", case)].warm
        cells = [f"{name} {thousands(counts[('aarch64', name, case)].warm)} "
                 f"({counts[('aarch64', name, case)].warm / module:.2f}x)" for name in names[1:]
                 if ("aarch64", name, case) in counts]
        print(f"| {label} | {thousands(module)} | {'; '.join(cells)} |")


def case_parts(text):
    parts = {"audio", "empty", "masks"}
    chosen = parts if text == "all" else set(text.split(","))
    if not chosen or chosen - parts:
        raise argparse.ArgumentTypeError(f"{text!r}: all, or some of {', '.join(sorted(parts))}, comma-separated")
    return chosen


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", required=True, help="the AArch64 root file system")
    parser.add_argument("--site", required=True, help="the AArch64 wheels' packages, put on PYTHONPATH")
    parser.add_argument("--aarch64-module", required=True, help="the module built in the root, with -g")
    parser.add_argument("--x86-module", required=True, help="the module built on this machine, with -g")
    parser.add_argument("--x86-python", required=True, help="the Python of this machine with NumPy and msgpack")
    parser.add_argument("--plugins", required=True, help="the folder of libinsn.so and libblock_counts.so")
    parser.add_argument("--jobs", type=int, default=2, help="emulators run side by side")
    parser.add_argument("--quick", action="store_true", help="fewer cases, for a smoke run")
    parser.add_argument("--cases", type=case_parts, default="all",
                        help="which cases to count: all, or some of audio, empty (the audio cases of an empty "
                             "array alone) and masks, comma-separated")
    parser.add_argument("--masks-module-only", action="store_true",
                        help="count the module alone on the mask cases, not their baselines")
    args = parser.parse_args()
    for name in ("root", "site", "aarch64_module", "x86_module", "plugins"):
        setattr(args, name, str(Path(getattr(args, name)).resolve()))

    # Fixed string hashes: hash randomisation moves a count by some 100,000
    # instructions. Without numba's compiler: librosa compiles its numba
    # functions when imported, for minutes under emulation and never to the
    # same count twice, and librosa.stft calls none of them (count_call.py
    # also keeps the decorators that would compile regardless from doing so).
    common = {"PATH": "/usr/bin:/bin", "LANG": "C.UTF-8", "HOME": "/tmp", "PYTHONHASHSEED": "0",
              "PYTHONDONTWRITEBYTECODE": "1", "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1",
              "NUMBA_DISABLE_JIT": "1"}
    aarch64 = Platform("aarch64", ["qemu-aarch64", "-cpu", "neoverse-n1", "-L", args.root],
                       f"{args.root}/usr/bin/python3", args.aarch64_module,
                       {**common, "PYTHONPATH": f"{Path(args.aarch64_module).parent}:{args.site}"}, 4)
    sse2 = Platform("sse2", ["qemu-x86_64", "-cpu", "Nehalem"], args.x86_python, args.x86_module,
                    {**common, "PYTHONPATH": str(Path(args.x86_module).parent)}, 4)

    if "audio" in args.cases:
        LENGTHS[:] = [0.0, 0.2] if args.quick else LENGTHS
    else:
        LENGTHS[:] = [0.0] if "empty" in args.cases else []
    jobs = [(aarch64, name, audio_case(v, s), name == "module") for v in (1, 2) for s in LENGTHS for name in AUDIO]
    jobs += [(sse2, "module", audio_case(v, s), True) for v in (1, 2) for s in LENGTHS]
    mask_rows = mask_jobs_and_rows(args.quick) if "masks" in args.cases else []
    jobs += [(aarch64, name, case, False) for _, case, names in mask_rows
             for name in (names[:1] if args.masks_module_only else names)]

    with tempfile.TemporaryDirectory(prefix="bench-aarch64-") as work:
        counts = count_all(jobs, args.plugins, Path(work), args.jobs)
        stages = {(p.name, case): stages_of(p, counts[(p.name, "module", case)])
                  for p, name, case, blocks in jobs if blocks}

    print("Instructions of one warm call under qemu's user-mode emulation (counts, not times): "
          "AArch64 (qemu-aarch64 -cpu neoverse-n1), NumPy and librosa from PyPI's AArch64 wheels, one thread "
          f"(BLAS {guest_versions(aarch64)}); SSE2: the module's baseline path under qemu-x86_64 -cpu Nehalem. "
          "'whole runs': the same difference of the runs counted whole by insn.c.\n")
    if LENGTHS:
        audio_table(counts, sse2.name)
        stage_tables(stages, sse2.name)
        print()
    if mask_rows:
        mask_table(counts, mask_rows)


if __name__ == "__main__":
    main()
