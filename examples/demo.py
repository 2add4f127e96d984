"""Runs the module's jobs on the bundled samples and shows what came out.

    make demo

Mask: the bundled face-region mask at its own size and resized with two
filters, printed as text. Audio: the bundled speech recording through both
model versions. An overview image of the input waveform, both versions'
windows and the mask resized with every filter is saved as a PNG file.
"""

import sys
import wave
from pathlib import Path

import numpy as np

import ostrel_py

HERE = Path(__file__).parent
DATA = HERE / "data"
OUT = HERE.parent / "demo-out"
SHADES = " .:-=+*#%@"
MASK_SIZE = (28, 24)  # width, height of the bundled mask


def render(mask):
    """Two characters per pixel, denser characters for higher values."""
    levels = np.minimum((mask * len(SHADES)).astype(int), len(SHADES) - 1)
    return "\n".join("    " + "".join(SHADES[v] * 2 for v in row) for row in levels)


def describe(title, mask):
    print(f"{title}: shape {mask.shape}, dtype {mask.dtype}, values {mask.min():.4f} .. {mask.max():.4f}")


def mask_demo():
    record = (DATA / "face_mask.msgpack").read_bytes()
    width, height = MASK_SIZE
    print(f"== reconstruct_mask: {len(record)} bytes of MessagePack, {width} x {height} ==")
    mask = ostrel_py.reconstruct_mask(record, width, height)
    describe("at its own size", mask)
    print(render(mask))
    for scale in [(1.5, "cubic"), (0.5, "nearest")]:
        resized = ostrel_py.reconstruct_mask(record, width, height, scale)
        describe(f"scale {scale}", resized)
        print(render(resized))
    return record


def read_wav(path):
    with wave.open(str(path), "rb") as f:
        assert f.getsampwidth() == 2 and f.getnchannels() == 1
        rate = f.getframerate()
        pcm = np.frombuffer(f.readframes(f.getnframes()), dtype="<i2")
    return pcm.astype(np.float32) / np.float32(32768.0), rate


def audio_demo():
    wav, rate = read_wav(DATA / "speech.wav")
    print(f"\n== mel spectrograms: {len(wav)} samples at {rate} Hz ({len(wav) / rate:.2f} s) ==")
    results = {}
    for name, function in [("V1", ostrel_py.vxmv1_melspectrogram), ("V2", ostrel_py.vxmv2_melspectrogram)]:
        windows = function(wav, rate)
        values = np.frombuffer(b"".join(windows), dtype="<f4")
        print(
            f"{function.__name__}: {len(windows)} windows of {len(windows[0])} bytes "
            f"(80 bands x 16 frames), values {values.min():.4f} .. {values.max():.4f}"
        )
        results[name] = windows
    return wav, results


def window_starts(count):
    """Window k starts at frame round(s_k), s_k the running float32 sum of 3.2."""
    starts, s = [], np.float32(0.0)
    for _ in range(count):
        starts.append(int(np.floor(s + np.float32(0.5))))
        s = np.float32(s + np.float32(3.2))
    return starts


def reassemble(windows):
    """The (80, frames) spectrogram that the overlapping windows were cut from."""
    starts = window_starts(len(windows))
    frames = np.zeros((80, starts[-1] + 16), dtype=np.float32)
    for start, window in zip(starts, windows):
        frames[:, start : start + 16] = np.frombuffer(window, "<f4").reshape(80, 16)
    return frames


def gray(values, low, high):
    """Float values to an 8-bit image."""
    return np.clip((values - low) / (high - low) * 255.0, 0, 255).astype(np.uint8)


def save_overview(wav, windows, record):
    from PIL import Image, ImageDraw

    width, margin, label = 1100, 14, 16
    inner = width - 2 * margin
    panels = []  # (caption, image)

    plot = Image.new("L", (inner, 110), 255)
    draw = ImageDraw.Draw(plot)
    step, mid = len(wav) / inner, plot.height / 2
    for x in range(inner):
        chunk = wav[int(x * step) : int((x + 1) * step) + 1]
        draw.line([(x, mid - chunk.max() * mid), (x, mid - chunk.min() * mid)], fill=40)
    panels.append(("input: speech.wav, 16 kHz mono, as float32", plot))

    for name, (low, high) in [("V1", (-4.0, 4.0)), ("V2", (-3.0, 3.0))]:
        frames = reassemble(windows[name])
        image = Image.fromarray(gray(frames[::-1], low, high)).resize((inner, 160), Image.NEAREST)
        panels.append(
            (f"{name}: {len(windows[name])} windows put back together: {frames.shape[1]} frames x 80 bands "
             f"(low bands at the bottom)", image)
        )
        tiles = [gray(np.frombuffer(w, "<f4").reshape(80, 16)[::-1], low, high) for w in windows[name][40:70]]
        strip = np.hstack([np.pad(t, ((0, 0), (0, 2)), constant_values=255) for t in tiles])
        panels.append(
            (f"{name}: windows 40 to 69 as returned, each 16 frames x 80 bands",
             Image.fromarray(strip).resize((strip.shape[1] * 2, 160), Image.NEAREST))
        )

    w, h = MASK_SIZE
    masks = [("own size", ostrel_py.reconstruct_mask(record, w, h), 6)]
    for filter_name in ["nearest", "linear", "cubic", "gaussian"]:
        masks.append((f"x2.5 {filter_name}", ostrel_py.reconstruct_mask(record, w, h, (2.5, filter_name)), 2))
    row = Image.new("L", (inner, h * 6 + label), 255)
    draw, x = ImageDraw.Draw(row), 0
    for caption, mask, zoom in masks:
        tile = Image.fromarray((mask * 255).round().astype(np.uint8))
        tile = tile.resize((mask.shape[1] * zoom, mask.shape[0] * zoom), Image.NEAREST)
        row.paste(tile, (x, label))
        draw.text((x, 0), f"{caption}: {mask.shape[1]} x {mask.shape[0]}", fill=0)
        x += tile.width + 30
    panels.append(("reconstruct_mask: face_mask.msgpack at its own size, and scaled by 2.5 with each filter", row))

    height = sum(panel.height + label + margin for _, panel in panels) + margin
    canvas = Image.new("L", (width, height), 255)
    draw, y = ImageDraw.Draw(canvas), margin
    for caption, panel in panels:
        draw.text((margin, y), caption, fill=0)
        canvas.paste(panel, (margin, y + label))
        y += panel.height + label + margin
    OUT.mkdir(exist_ok=True)
    path = OUT / "overview.png"
    canvas.save(path)
    return path


def main():
    print(f"ostrel_py from {ostrel_py.__file__}; warm-up call returned {ostrel_py.dummy_func()}\n")
    record = mask_demo()
    wav, windows = audio_demo()
    path = save_overview(wav, windows, record)
    print(f"\nOverview of the input, both versions' windows and the masks: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
