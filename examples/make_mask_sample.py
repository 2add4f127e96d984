"""Writes the mask samples of examples/data, the way a face tracker sends them:

- face_mask_1080p.msgpack: the lower half of a face (jaw and mouth) in a
  1920 x 1080 video frame, its edge feathered over 24 pixels; the demo reads it;
- face_mask.msgpack: the same shape in a 28 x 24 frame, feathered over two
  pixels; the cross-platform check (tests/python/platform_outputs.py) reads it.

    python examples/make_mask_sample.py
"""

from pathlib import Path

import msgpack
import numpy as np

DATA = Path(__file__).parent / "data"

# name: frame size, centre and radii of the face ellipse, how much it narrows
# towards the chin, the rows over which the mask fades in below the nose, and
# the width of the feathered edge.
SAMPLES = {
    "face_mask.msgpack": dict(size=(28, 24), centre=(13.5, 11.0), radii=(10.5, 11.5), chin=0.0, fade=(5, 8), feather=2),
    "face_mask_1080p.msgpack": dict(
        size=(1920, 1080), centre=(960.0, 560.0), radii=(250.0, 330.0), chin=0.35, fade=(430, 520), feather=24
    ),
}


def face_mask(size, centre, radii, chin, fade, feather):
    width, height = size
    y, x = np.mgrid[0:height, 0:width].astype(np.float64)
    # Inside the ellipse the value rises from 0 at its edge to 1 `feather` pixels in.
    narrowing = 1.0 - chin * np.clip((y - centre[1]) / radii[1], 0.0, 1.0)
    r = np.hypot((x - centre[0]) / (radii[0] * narrowing), (y - centre[1]) / radii[1])
    inside = np.clip((1.0 - r) * radii[1] / feather, 0.0, 1.0)
    top = y < fade[1]
    inside[top] *= np.clip((y[top] - fade[0]) / (fade[1] - fade[0]), 0.0, 1.0)
    return np.round(inside * 255).astype(np.uint8)


def to_runs(mask):
    """A run wherever the value along a row changes."""
    rows = []
    for line in mask:
        changes = np.flatnonzero(np.diff(line.astype(np.int16), prepend=0))
        rows.append([[int(c), int(line[c])] for c in changes])
    return rows


if __name__ == "__main__":
    for name, sample in SAMPLES.items():
        record = msgpack.packb([to_runs(face_mask(**sample))])
        path = DATA / name
        path.write_bytes(record)
        print(f"{path}: {len(record)} bytes, {sample['size'][0]} x {sample['size'][1]}")
