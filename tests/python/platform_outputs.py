"""A fixed set of inputs and the module's outputs for them, written on one
machine and checked on another (test_cross_platform.py).

    python tests/python/platform_outputs.py OUT.npz

The file holds the inputs as well as the outputs, so the checking side
recomputes from exactly the same bytes and samples whatever its NumPy's random
generators would give.
"""

import json
import platform
import sys
import wave
from pathlib import Path

import msgpack
import numpy as np

import ostrel_py

DATA = Path(__file__).resolve().parents[2] / "examples" / "data"
FILTERS = ["nearest", "linear", "cubic", "gaussian"]
SCALES = [0.25, 0.5, 0.7, 1.3, 2.0, 3.7]
AUDIO = {"v1": ostrel_py.vxmv1_melspectrogram, "v2": ostrel_py.vxmv2_melspectrogram}


def to_record(mask):
    """The record of an 8-bit mask: a run wherever the value changes."""
    rows = []
    for line in mask:
        changes = np.flatnonzero(np.diff(line.astype(np.int16), prepend=0))
        rows.append([[int(c), int(line[c])] for c in changes])
    return msgpack.packb([rows])


def soft_face(width, height, seed):
    """An elliptical region with a graded edge and speckle, like a face mask."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:height, 0:width]
    r = np.hypot((x - width * 0.5) / (width * 0.38), (y - height * 0.6) / (height * 0.42))
    mask = np.clip((1.15 - r) * 4.0, 0.0, 1.0) * 255.0
    mask += rng.integers(-12, 13, size=mask.shape) * (mask > 0)
    return np.clip(mask, 0, 255).astype(np.uint8)


def read_wav(path):
    with wave.open(str(path), "rb") as f:
        rate = f.getframerate()
        pcm = np.frombuffer(f.readframes(f.getnframes()), dtype="<i2")
    return pcm.astype(np.float32) / np.float32(32768.0), rate


def make_inputs():
    """(cases, arrays): each case's parameters, and its input array by name."""
    cases, arrays = [], {}
    sources = [("face", (DATA / "face_mask.msgpack").read_bytes(), 28, 24)]
    for width, height, seed in [(96, 80, 1), (33, 47, 2)]:
        sources.append((f"soft{width}x{height}", to_record(soft_face(width, height, seed)), width, height))
    for source, record, width, height in sources:
        arrays[f"record.{source}"] = np.frombuffer(record, np.uint8)
        for factor in SCALES:
            for name in FILTERS:
                cases.append(dict(kind="mask", source=source, width=width, height=height,
                                  factor=factor, filter=name))
    speech, rate = read_wav(DATA / "speech.wav")
    rng = np.random.default_rng(3)
    t = np.arange(44100) / 44100
    chirp = (0.4 * np.sin(2 * np.pi * (80 + 3000 * t) * t) + 0.01 * rng.standard_normal(t.size)).astype(np.float32)
    for source, wav, sample_rate in [("speech", speech, rate), ("chirp44k", chirp, 44100)]:
        arrays[f"wav.{source}"] = wav
        for version in AUDIO:
            cases.append(dict(kind="audio", source=source, sample_rate=sample_rate, version=version))
    for case in cases:
        case["id"] = "-".join(str(v) for k, v in case.items() if k not in ("width", "height", "sample_rate"))
    return cases, arrays


def compute(case, arrays):
    """The module's output for one case: float32 values."""
    if case["kind"] == "mask":
        record = arrays[f"record.{case['source']}"].tobytes()
        return ostrel_py.reconstruct_mask(record, case["width"], case["height"], (case["factor"], case["filter"]))
    windows = AUDIO[case["version"]](arrays[f"wav.{case['source']}"], case["sample_rate"])
    return np.frombuffer(b"".join(windows), "<f4").reshape(-1, 80, 16)


def write(path):
    cases, arrays = make_inputs()
    outputs = {f"out.{case['id']}": compute(case, arrays) for case in cases}
    meta = dict(machine=platform.machine(), numpy=np.__version__, python=platform.python_version(), cases=cases)
    np.savez_compressed(path, meta=np.array(json.dumps(meta)), **arrays, **outputs)


def read(path):
    """(meta, arrays) of a file that write() made."""
    with np.load(path, allow_pickle=False) as data:
        arrays = {k: data[k] for k in data.files if k != "meta"}
        meta = json.loads(str(data["meta"]))
    return meta, arrays


if __name__ == "__main__":
    write(sys.argv[1])
