"""Times ostrel_py against the pipelines its callers would otherwise write.

Each case runs the module and its baselines interleaved, one call of each per
round in rotating order, for several rounds, and reports medians and the
ratio baseline time / module time (above 1: the module is faster). Nothing is
asserted: this measures, the tests check results.

    python benchmarks/bench.py [--floor floor.json] [--paths paths.json] [--quick]
"""

import argparse
import gc
import json
import statistics
import sys
import time
from pathlib import Path

import msgpack
import numpy as np

import ostrel_py

SR = 16000
N_FFT, HOP, BANDS, WINDOW_FRAMES = 800, 200, 80, 16
LENGTHS = [0.04, 0.2, 1.0, 10.0, 60.0]
# Calls that take microseconds are timed this many at a time.
TINY_CALLS = 1000
# A row in microseconds, without ratios (a call that does nothing is no baseline).
MICRO = "µs"


# ---------------------------------------------------------------- timing


def run_case(contenders, rounds, budget_s):
    """contenders: list of (name, callable). Returns {name: median seconds}."""
    for _, call in contenders:  # warm-up, and a first estimate
        call()
    start = time.perf_counter()
    for _, call in contenders:
        call()
    per_round = time.perf_counter() - start
    rounds = max(5, min(rounds, int(budget_s / max(per_round, 1e-9))))
    times = {name: [] for name, _ in contenders}
    for r in range(rounds):
        order = contenders[r % len(contenders):] + contenders[: r % len(contenders)]
        for name, call in order:
            t0 = time.perf_counter()
            call()
            times[name].append(time.perf_counter() - t0)
    return {name: statistics.median(ts) for name, ts in times.items()}


# ---------------------------------------------------------------- audio baselines


def speech_like(seconds, seed=1):
    rng = np.random.default_rng(seed)
    n = int(seconds * SR)
    t = np.arange(n) / SR
    pitch = 120 + 30 * np.sin(2 * np.pi * 0.7 * t)
    voiced = np.sin(2 * np.pi * np.cumsum(pitch) / SR) * (0.5 + 0.5 * np.sin(2 * np.pi * 3 * t))
    return (0.3 * voiced + 0.02 * rng.standard_normal(n)).astype(np.float32)


def numpy_filterbank():
    """Slaney-scale, area-normalised mel filters, built once as a user would keep them."""
    def hz_to_mel(hz):
        hz = np.asarray(hz, np.float64)
        return np.where(hz >= 1000, 15 + np.log(hz / 1000) / (np.log(6.4) / 27), hz / (200 / 3))

    def mel_to_hz(m):
        return np.where(m >= 15, 1000 * np.exp((m - 15) * (np.log(6.4) / 27)), m * (200 / 3))

    points = mel_to_hz(np.linspace(hz_to_mel(55.0), hz_to_mel(7600.0), BANDS + 2))
    bins = np.fft.rfftfreq(N_FFT, 1 / SR)
    lower = (bins[None, :] - points[:-2, None]) / (points[1:-1] - points[:-2])[:, None]
    upper = (points[2:, None] - bins[None, :]) / (points[2:] - points[1:-1])[:, None]
    weights = np.maximum(0, np.minimum(lower, upper)) * (2 / (points[2:] - points[:-2]))[:, None]
    return weights.astype(np.float32)


def fit(wav, version):
    """Whole 25-per-second video frames, plus the framing pad of each version."""
    chunks = int(len(wav) / (SR / 25))
    length = int(chunks * SR / 25)
    if version == 1:
        x = np.zeros(length + N_FFT, np.float32)
        n = min(len(wav), len(x))
        x[:n] = wav[:n]
        x = np.append(x[0], x[1:] - np.float32(0.97) * x[:-1])  # pre-emphasis
    else:
        x = np.pad(wav[:length], (N_FFT // 2, N_FFT // 2))
    return x, chunks


def normalise_and_pack(energy, chunks, version):
    """energy: (bands, frames). Log, normalise and cut the 16-frame windows."""
    if version == 1:
        db = 20 * np.log10(np.maximum(energy, 1e-5)) - 20
        values, pad = np.clip((db + 100) / 100 * 8 - 4, -4, 4), -4.0
    else:
        values, pad = (np.log10(np.maximum(energy, 1e-5)) + 2.1233075) / 1.081918, -2.6588821
    values = values.astype(np.float32)
    padded = np.concatenate([values, np.full((BANDS, WINDOW_FRAMES), pad, np.float32)], axis=1)
    windows, start = [], 0.0
    for _ in range(chunks):
        first = int(start + 0.5)
        windows.append(np.ascontiguousarray(padded[:, first:first + WINDOW_FRAMES]).tobytes())
        start += 3.2
    return windows


def make_numpy_pipeline(version):
    mel = numpy_filterbank()
    taper = (0.5 - 0.5 * np.cos(2 * np.pi * np.arange(N_FFT) / N_FFT)).astype(np.float32)

    def run(wav):
        x, chunks = fit(wav, version)
        count = (len(x) - N_FFT) // HOP + 1
        frames = np.lib.stride_tricks.as_strided(x, (count, N_FFT), (HOP * 4, 4))
        magnitude = np.abs(np.fft.rfft(frames * taper, axis=1))
        return normalise_and_pack(mel @ magnitude.T.astype(np.float32), chunks, version)

    return run


def make_librosa_pipeline(version):
    import librosa

    mel = librosa.filters.mel(sr=SR, n_fft=N_FFT, n_mels=BANDS, fmin=55, fmax=7600, norm="slaney")

    def run(wav):
        x, chunks = fit(wav, version)
        magnitude = np.abs(librosa.stft(x, n_fft=N_FFT, hop_length=HOP, window="hann", center=False))
        return normalise_and_pack(mel @ magnitude, chunks, version)

    return run


# ---------------------------------------------------------------- mask baselines


def blob_distance(width, height, seed=3):
    """Signed distance in pixels to the edge of a few elliptic blobs (negative inside)."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
    d = np.full((height, width), np.inf, np.float32)
    for _ in range(3):
        cx, cy = rng.uniform(0.25, 0.75) * width, rng.uniform(0.25, 0.75) * height
        rx, ry = rng.uniform(0.1, 0.22) * width, rng.uniform(0.1, 0.22) * height
        scale = min(rx, ry)
        d = np.minimum(d, (np.sqrt(((xx - cx) / rx) ** 2 + ((yy - cy) / ry) ** 2) - 1) * scale)
    return d


def face(width, height, feather):
    """A face-like region in a frame: the lower half of an ellipse, a fifth of
    the frame across, fading over `feather` pixels; elsewhere 0."""
    yy, xx = np.mgrid[0:height, 0:width].astype(np.float32)
    cx, cy, rx, ry = 0.5 * width, 0.42 * height, 0.11 * width, 0.26 * height
    d = (np.sqrt(((xx - cx) / rx) ** 2 + ((yy - cy) / ry) ** 2) - 1) * min(rx, ry)
    d = np.where(yy < cy, np.inf, d)
    return np.clip(np.round(255 * (0.5 - d / feather)), 0, 255).astype(np.uint8)


def make_mask(width, height, kind):
    if kind == "face":
        return face(width, height, 12)
    if kind == "noise":
        # Every pixel its own run: each differs from its left neighbour by a
        # step of 1 to 255, modulo 256.
        steps = np.random.default_rng(5).integers(1, 256, (height, width))
        return (np.cumsum(steps, axis=1) % 256).astype(np.uint8)
    d = blob_distance(width, height)
    if kind == "hard":
        return np.where(d <= 0, 255, 0).astype(np.uint8)
    # Feathered over 16 pixels across the edge.
    return np.clip(np.round(255 * (0.5 - d / 16)), 0, 255).astype(np.uint8)


def encode(mask):
    rows = []
    for row in mask:
        starts = np.flatnonzero(np.diff(row.astype(np.int16), prepend=np.int16(-1)))
        rows.append([[int(c), int(row[c])] for c in starts])
    return msgpack.packb([rows])


def rasterise(rows, width, height):
    mask = np.zeros((height, width), np.uint8)
    for i, runs in enumerate(rows):
        for k, (column, value) in enumerate(runs):
            end = runs[k + 1][0] if k + 1 < len(runs) else width
            mask[i, column:end] = value & 0xFF
    return mask


def pillow_filter(name):
    from PIL import Image

    # Pillow has no Gaussian; its bicubic, the widest of its three, stands in.
    return {"nearest": Image.NEAREST, "linear": Image.BILINEAR, "cubic": Image.BICUBIC,
            "gaussian": Image.BICUBIC}[name]


def opencv_resize(image, scale, area=False):
    """cv2.resize with the kernel named like the module's, or with INTER_AREA
    (the average over each output pixel's footprint) when `area`."""
    import cv2

    factor, name = scale
    size = (int(np.float32(image.shape[1]) * np.float32(factor)), int(np.float32(image.shape[0]) * np.float32(factor)))
    # OpenCV has no Gaussian either; its bicubic stands in. Its linear and
    # cubic kernels keep their width when downscaling (no antialiasing), so
    # they do less work than the module's and Pillow's there.
    flag = cv2.INTER_AREA if area else {"nearest": cv2.INTER_NEAREST, "linear": cv2.INTER_LINEAR,
                                        "cubic": cv2.INTER_CUBIC, "gaussian": cv2.INTER_CUBIC}[name]
    return cv2.resize(image, size, interpolation=flag)


def pillow_resize(mask, scale):
    from PIL import Image

    factor, name = scale
    size = (int(np.float32(mask.shape[1]) * np.float32(factor)), int(np.float32(mask.shape[0]) * np.float32(factor)))
    return np.asarray(Image.fromarray(mask).resize(size, pillow_filter(name)))


# ---------------------------------------------------------------- cases and table


def audio_contenders(wav, version, names=("module", "numpy", "librosa")):
    """Those of the module and the NumPy and librosa pipelines that `names`
    lists, on one waveform."""
    def module():
        call = ostrel_py.vxmv1_melspectrogram if version == 1 else ostrel_py.vxmv2_melspectrogram
        return lambda: call(wav, SR)

    def pipeline(make):
        run = make(version)
        return lambda: run(wav)

    makers = {"module": module, "numpy": lambda: pipeline(make_numpy_pipeline),
              "librosa": lambda: pipeline(make_librosa_pipeline)}
    return [(name, makers[name]()) for name in names]


def audio_rows(floor, quick):
    """The best peer of a case is the fastest of the NumPy pipeline (with its
    BLAS at the default thread count, and at one thread) and the librosa one."""
    from threadpoolctl import threadpool_limits

    rows = []
    for seconds in LENGTHS[:3] if quick else LENGTHS:
        wav = speech_like(seconds)
        for version in (1, 2):
            contenders = audio_contenders(wav, version)
            assert len({len(call()) for _, call in contenders}) == 1
            t = run_case(contenders, rounds=200, budget_s=3)
            with threadpool_limits(limits=1):
                one = run_case([contenders[0], ("numpy 1 thread", contenders[1][1])], rounds=200, budget_s=2)
            t["numpy 1 thread"] = one["numpy 1 thread"]
            t["best peer"] = min(t["numpy"], t["numpy 1 thread"], t["librosa"])
            t["floor"] = floor.get(seconds)
            rows.append((f"audio V{version} {seconds:g} s", t, ["best peer", "numpy", "numpy 1 thread", "librosa", "floor"]))
    return rows


def empty_call_rows():
    """What a call costs before its first sample: an empty array, beside the
    module's call that does nothing."""
    def many(call):
        def run():
            for _ in range(TINY_CALLS):
                call()
        return run

    empty = np.empty(0, np.float32)
    rows = []
    for version in (1, 2):
        module = ostrel_py.vxmv1_melspectrogram if version == 1 else ostrel_py.vxmv2_melspectrogram
        t = run_case([("module", many(lambda: module(empty, SR))), ("dummy_func", many(ostrel_py.dummy_func))],
                     rounds=200, budget_s=1)
        t = {name: seconds / TINY_CALLS for name, seconds in t.items()}
        t["module - dummy_func"] = t["module"] - t["dummy_func"]
        rows.append((f"audio V{version} empty array", t, ["dummy_func", "module - dummy_func"], MICRO))
    return rows


MASK_SCALES = [None, (0.5, "nearest"), (0.5, "linear"), (0.5, "cubic"), (0.5, "gaussian"), (2.0, "linear")]
# A result of one pixel: the call reads and checks the whole record and
# resizes next to nothing, which times reading the runs alone.
READ_ALONE = (0.001, "nearest")


def mask_cases(quick):
    """((width, height), kind, scales, map form) of every mask case; map form:
    whether the case also times its record written as a map."""
    sizes = [(1920, 1080)] if quick else [(512, 512), (1920, 1080)]
    cases = [(size, kind, MASK_SCALES + ([READ_ALONE] if kind == "soft" and size == (1920, 1080) else []),
              size == sizes[-1]) for size in sizes for kind in ("hard", "soft")]
    # What a lip-sync service sends: a face region in a 1080p frame, mostly
    # 0, with a thin feathered edge, halved and enlarged.
    cases.append(((1920, 1080), "face", [(0.5, "linear"), (1.5, "linear")], False))
    if not quick:
        # Where the record's runs say nothing: every pixel its own run.
        cases.append(((1920, 1080), "noise", MASK_SCALES, False))
    # A wide, short mask: a million columns and two rows, halved to one row.
    # Runs start below column 65536, so the last run of a row fills the rest.
    cases.append(((2**20, 2), "soft", [(0.5, "linear")], False))
    return cases


class MaskInput:
    """A case's mask as 8-bit and float32 images, its record and its rows."""

    def __init__(self, width, height, kind):
        mask = make_mask(min(width, 2**16), height, kind)
        self.width, self.height, self.kind = width, height, kind
        self.mask = np.pad(mask, ((0, 0), (0, width - mask.shape[1])), mode="edge")
        self.mask_f32 = self.mask.astype(np.float32) / 255
        self.record = encode(self.mask)
        self.rows = msgpack.unpackb(self.record)[0]
        self.runs = sum(len(row) for row in self.rows)
        self.map_record = msgpack.packb({"data": self.rows})


def mask_contenders(m, scale):
    """The module against unpacking, the NumPy and Pillow pipeline, the resize
    steps of Pillow and OpenCV alone, OpenCV's 8-bit resize (and for a
    downscale its INTER_AREA) followed by the conversion to float, as a
    caller with the 8-bit mask in hand would get the module's result, and
    the floor, on one case. The noise mask leaves out rasterising its two
    million runs in Python, seconds a call."""
    width, height, record = m.width, m.height, m.record
    contenders = [("module", lambda: ostrel_py.reconstruct_mask(record, width, height, scale)),
                  ("unpackb", lambda: msgpack.unpackb(record))]
    if scale == READ_ALONE:
        return contenders
    if m.kind != "noise" and scale is None:
        contenders.append(("msgpack+numpy", lambda: rasterise(
            msgpack.unpackb(record)[0], width, height).astype(np.float32) / 255))
    elif m.kind != "noise":
        contenders.append(("msgpack+numpy+pillow", lambda: pillow_resize(rasterise(
            msgpack.unpackb(record)[0], width, height), scale).astype(np.float32) / 255))
    if scale is not None:
        contenders.append(("pillow resize", lambda: pillow_resize(m.mask, scale)))
        contenders.append(("opencv resize u8", lambda: opencv_resize(m.mask, scale)))
        contenders.append(("opencv u8+float", lambda: opencv_resize(m.mask, scale).astype(np.float32) / 255))
        if scale[0] < 1:
            contenders.append(("opencv area u8+float",
                               lambda: opencv_resize(m.mask, scale, area=True).astype(np.float32) / 255))
        contenders.append(("opencv resize f32", lambda: opencv_resize(m.mask_f32, scale)))
    contenders.append(("floor", lambda: m.mask.astype(np.float32) / 255))
    return contenders


def map_form_contenders(m):
    """The same rows as the map {"data": rows}, against the array form: both
    forms should cost the same."""
    return [("module", lambda: ostrel_py.reconstruct_mask(m.map_record, m.width, m.height)),
            ("array form", lambda: ostrel_py.reconstruct_mask(m.record, m.width, m.height)),
            ("unpackb", lambda: msgpack.unpackb(m.map_record)),
            ("floor", lambda: m.mask.astype(np.float32) / 255)]


def scale_label(scale):
    return "none" if scale is None else "runs read alone" if scale == READ_ALONE else f"{scale[0]:g} {scale[1]}"


def mask_label(m, kind, scale):
    runs = f", {m.runs} runs" if scale == READ_ALONE else ""
    return f"mask {kind} {m.width}x{m.height} ({len(m.record) // 1024} KiB{runs}) {scale_label(scale)}"


def mask_rows(quick):
    rows = []
    cases = mask_cases(quick)
    for (width, height), kind, scales, map_form in cases:
        m = MaskInput(width, height, kind)
        assert (rasterise(m.rows, width, height) == m.mask).all()
        for scale in scales:
            contenders = mask_contenders(m, scale)
            t = run_case(contenders, rounds=100, budget_s=2)
            rows.append((mask_label(m, kind, scale), t, [name for name, _ in contenders[1:]],
                         *([(m.runs, "run")] if scale == READ_ALONE else [])))
        if map_form:
            contenders = map_form_contenders(m)
            t = run_case(contenders, rounds=100, budget_s=2)
            rows.append((f"mask {kind} {width}x{height} map form ({len(m.map_record) // 1024} KiB) none", t,
                         [name for name, _ in contenders[1:]]))
    return rows


def path_rows(path):
    """The core's cases from paths.cpp, every SIMD path the CPU has timed
    interleaved with the others: the path the module picks is the "module",
    each path its baseline (above 1: the module's choice is faster)."""
    if not path or not Path(path).exists():
        return []
    report = json.loads(Path(path).read_text())
    default = report["default"]
    rows = []
    for case in report["cases"]:
        t = {name: ms / 1e3 for name, ms in zip(report["paths"], case["ms"])}
        t["module"] = t[default]
        rows.append((f"{case['name']}, core on {default} by default", t,
                     [name for name in report["paths"] if name != default]))
    return rows


def duration(seconds, unit=None):
    """Milliseconds, or microseconds where asked and under 10 µs, where three
    decimals of a millisecond would hide the difference, or nanoseconds a
    thing where the unit is (count, thing)."""
    if isinstance(unit, tuple):
        return f"{seconds / unit[0] * 1e9:.2f} ns a {unit[1]}"
    if unit == MICRO or abs(seconds) < 1e-5:
        return f"{seconds * 1e6:.3f} µs"
    return f"{seconds * 1e3:.3f}"


def print_table(rows):
    print(f"| case | module ms | baseline: ms (baseline / module) |")
    print("|---|---:|---|")
    for label, t, baselines, *unit in rows:
        unit = unit[0] if unit else None
        cells = []
        for name in baselines:
            if t.get(name) is None:
                continue
            ratio = "" if unit == MICRO else f" ({t[name] / t['module']:.2f}x)"
            cells.append(f"{name} {duration(t[name], unit)}{ratio}")
        print(f"| {label} | {duration(t['module'], unit)} | {'; '.join(cells)} |")


def read_floor(path):
    """Google Benchmark JSON from floor.cpp: median ms per input length."""
    if not path or not Path(path).exists():
        return {}
    floor = {}
    for b in json.loads(Path(path).read_text())["benchmarks"]:
        if b.get("aggregate_name") == "median" and b["name"].startswith("fft_and_log10/"):
            hundredths = int(b["name"].split("/")[1])
            floor[hundredths / 100] = b["real_time"] / 1e3  # reported in ms
    return floor


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--floor", help="JSON written by the floor benchmark")
    parser.add_argument("--paths", help="JSON written by the per-path benchmark")
    parser.add_argument("--quick", action="store_true", help="fewer cases, for a smoke run")
    args = parser.parse_args()
    try:
        from threadpoolctl import threadpool_info
        blas = [(i["internal_api"], i.get("architecture"), i["num_threads"]) for i in threadpool_info()]
    except ImportError:
        blas = "threadpoolctl not installed"
    print(f"numpy {np.__version__}, BLAS {blas}, python {sys.version.split()[0]}\n")
    # The collector stays off while timing: `msgpack.unpackb` of a large
    # record builds hundreds of thousands of lists, and the collector's passes
    # over them (and over whatever the imports left behind) would be charged
    # to whichever baseline happens to allocate, at several times its own cost.
    import cv2
    import librosa  # noqa: F401

    cv2.setNumThreads(1)  # the module starts no thread
    gc.collect()
    gc.disable()
    print_table(empty_call_rows() + audio_rows(read_floor(args.floor), args.quick) + mask_rows(args.quick)
                + path_rows(args.paths))


if __name__ == "__main__":
    main()
