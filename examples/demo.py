"""Runs the module's jobs on the bundled samples and shows what came out.

    make demo

Mask: the bundled face-region mask at its own size and resized with two
filters, printed as text. Audio: the bundled speech recording through both
model versions; the mel windows are saved as a PNG image.
"""

import struct
import sys
import wave
import zlib
from pathlib import Path

import numpy as np

import ostrel_py

HERE = Path(__file__).parent
DATA = HERE / "data"
OUT = HERE.parent / "demo-out"
SHADES = " .:-=+*#%@"


def render(mask):
    """One character per pixel, darker characters for higher values."""
    levels = np.minimum((mask * len(SHADES)).astype(int), len(SHADES) - 1)
    return "\n".join("    " + "".join(SHADES[v] for v in row) for row in levels)


def describe(title, mask):
    print(f"{title}: shape {mask.shape}, dtype {mask.dtype}, values {mask.min():.4f} .. {mask.max():.4f}")


def mask_demo():
    record = (DATA / "face_mask.msgpack").read_bytes()
    width, height = 28, 24
    print(f"== reconstruct_mask: {len(record)} bytes of MessagePack, {width} x {height} ==")
    mask = ostrel_py.reconstruct_mask(record, width, height)
    describe("at its own size", mask)
    print(render(mask))
    for scale in [(1.5, "cubic"), (0.5, "nearest")]:
        resized = ostrel_py.reconstruct_mask(record, width, height, scale)
        describe(f"scale {scale}", resized)
        print(render(resized))
    return mask


def read_wav(path):
    with wave.open(str(path), "rb") as f:
        assert f.getsampwidth() == 2 and f.getnchannels() == 1
        rate = f.getframerate()
        pcm = np.frombuffer(f.readframes(f.getnframes()), dtype="<i2")
    return (pcm.astype(np.float32) / np.float32(32768.0)), rate


def write_png(path, image):
    """Writes an 8-bit grayscale image (rows, columns) as a PNG file."""
    height, width = image.shape
    raw = b"".join(b"\x00" + row.tobytes() for row in image.astype(np.uint8))

    def chunk(kind, data):
        body = kind + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    png = b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 0, 0, 0, 0))
    png += chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")
    path.write_bytes(png)


def windows_image(windows, low, high, count=24):
    """The first windows side by side, low bands at the bottom, one gap column between them."""
    tiles = []
    for window in windows[:count]:
        values = np.frombuffer(window, dtype="<f4").reshape(80, 16)[::-1]
        tiles.append((values - low) / (high - low) * 255.0)
        tiles.append(np.full((80, 1), 255.0))
    image = np.clip(np.hstack(tiles), 0, 255)
    return np.kron(image, np.ones((2, 2)))  # twice as large, for the eye


def audio_demo():
    wav, rate = read_wav(DATA / "speech.wav")
    print(f"\n== mel spectrograms: {len(wav)} samples at {rate} Hz ({len(wav) / rate:.2f} s) ==")
    images = []
    for name, function, (low, high) in [
        ("vxmv1_melspectrogram", ostrel_py.vxmv1_melspectrogram, (-4.0, 4.0)),
        ("vxmv2_melspectrogram", ostrel_py.vxmv2_melspectrogram, (-3.0, 3.0)),
    ]:
        windows = function(wav, rate)
        values = np.frombuffer(b"".join(windows), dtype="<f4")
        print(
            f"{name}: {len(windows)} windows of {len(windows[0])} bytes "
            f"(80 bands x 16 frames), values {values.min():.4f} .. {values.max():.4f}"
        )
        images.append(windows_image(windows, low, high))
    OUT.mkdir(exist_ok=True)
    path = OUT / "mel_windows.png"
    separator = np.full((6, images[0].shape[1]), 255.0)
    write_png(path, np.vstack([images[0], separator, images[1]]))
    print(f"first 24 windows of V1 (top) and V2 (bottom) saved to {path}")


def main():
    print(f"ostrel_py from {ostrel_py.__file__}; warm-up call returned {ostrel_py.dummy_func()}\n")
    mask_demo()
    audio_demo()
    return 0


if __name__ == "__main__":
    sys.exit(main())
