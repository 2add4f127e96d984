"""Writes examples/data/face_mask.msgpack, the mask sample that the demo reads.

The mask covers the lower half of a face (jaw and mouth) in a 28 x 24 frame,
with an edge feathered over two pixels, the way a face tracker sends it.
"""

from pathlib import Path

import msgpack
import numpy as np

WIDTH, HEIGHT = 28, 24


def face_mask():
    y, x = np.mgrid[0:HEIGHT, 0:WIDTH].astype(np.float64)
    # An ellipse for the jaw, cut off above the nose line.
    r = np.hypot((x - 13.5) / 10.5, (y - 11.0) / 11.5)
    inside = np.clip((1.0 - r) * 11.5 / 2.0, 0.0, 1.0)
    inside[y < 8] *= np.clip((y[y < 8] - 5) / 3.0, 0.0, 1.0)
    return np.round(inside * 255).astype(np.uint8)


def to_runs(mask):
    rows = []
    for line in mask:
        runs, previous = [], 0
        for column, value in enumerate(line.tolist()):
            if value != previous:
                runs.append([column, value])
                previous = value
        rows.append(runs)
    return rows


if __name__ == "__main__":
    record = msgpack.packb([to_runs(face_mask())])
    path = Path(__file__).parent / "data" / "face_mask.msgpack"
    path.write_bytes(record)
    print(f"{path}: {len(record)} bytes, {WIDTH} x {HEIGHT}")
