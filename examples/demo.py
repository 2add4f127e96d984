"""Runs the module's jobs on the bundled samples and shows what came out.

    make demo

Mask: a 1920 x 1080 face-region mask with a feathered edge (made by
make_mask_sample.py) at its own size and resized with each filter. Audio: the
bundled speech recording through both model versions. Every call is timed,
and an overview of the input waveform, both versions' spectrograms and the
masks, drawn at their true relative sizes, is saved as a PNG file.
"""

import sys
import time
import wave
from pathlib import Path

import numpy as np

import ostrel_py

HERE = Path(__file__).parent
DATA = HERE / "data"
OUT = HERE.parent / "demo-out"
SHADES = " .:-=+*#%@"
MASK_SIZE = (1920, 1080)  # width, height of face_mask_1080p.msgpack
FRAMES_PER_SECOND = 80  # spectrogram frames: a hop of 200 samples at 16 kHz


def render(mask):
    """Two characters per pixel, denser characters for higher values."""
    levels = np.minimum((mask * len(SHADES)).astype(int), len(SHADES) - 1)
    return "\n".join("    " + "".join(SHADES[v] * 2 for v in row) for row in levels)


def timed(function, *args, calls=5):
    """The result of a call and the shortest duration of `calls` calls, in
    milliseconds: the time the call takes when nothing else gets in its way."""
    best = float("inf")
    for _ in range(calls):
        start = time.perf_counter()
        result = function(*args)
        best = min(best, time.perf_counter() - start)
    return result, best * 1e3


def mask_demo():
    record = (DATA / "face_mask_1080p.msgpack").read_bytes()
    width, height = MASK_SIZE
    print(f"== reconstruct_mask: {len(record)} bytes of MessagePack, {width} x {height} ==")
    masks = []  # (scale, mask, milliseconds)
    for scale in [None, (0.5, "cubic"), (0.25, "nearest"), (0.25, "linear"), (0.25, "cubic"), (0.25, "gaussian")]:
        mask, ms = timed(ostrel_py.reconstruct_mask, record, width, height, scale)
        print(f"scale {scale}: {mask.shape[1]} x {mask.shape[0]} float32, "
              f"values {mask.min():.4f} .. {mask.max():.4f}, {ms:.2f} ms (best of 5)")
        masks.append((scale, mask, ms))
    print("at scale 0.025, linear, as text (rows with a value above zero):")
    text = render(ostrel_py.reconstruct_mask(record, width, height, (0.025, "linear")))
    print("\n".join(line for line in text.splitlines() if line.strip()))
    return masks
def read_wav(path):
    with wave.open(str(path), "rb") as f:
        assert f.getsampwidth() == 2 and f.getnchannels() == 1
        rate = f.getframerate()
        pcm = np.frombuffer(f.readframes(f.getnframes()), dtype="<i2")
    return pcm.astype(np.float32) / np.float32(32768.0), rate


def audio_demo():
    wav, rate = read_wav(DATA / "speech.wav")
    print(f"\n== mel spectrograms: {len(wav)} samples at {rate} Hz ({len(wav) / rate:.2f} s) ==")
    results = {}  # version: (windows, milliseconds)
    for name, function in [("V1", ostrel_py.vxmv1_melspectrogram), ("V2", ostrel_py.vxmv2_melspectrogram)]:
        windows, ms = timed(function, wav, rate)
        values = np.frombuffer(b"".join(windows), dtype="<f4")
        print(
            f"{function.__name__}: {len(windows)} windows of {len(windows[0])} bytes "
            f"(80 bands x 16 frames), values {values.min():.4f} .. {values.max():.4f}, {ms:.2f} ms (best of 5)"
        )
        results[name] = (windows, ms)
    return wav, rate, results


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


def save_overview(wav, rate, audio, masks):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    seconds = len(wav) / rate
    fig = plt.figure(figsize=(14, 17), dpi=100)
    # Rows in figure fractions: waveform, two spectrograms, then the masks.
    left, right = 0.06, 0.90
    wave_axes = fig.add_axes([left, 0.86, right - left, 0.1])
    time_axis = np.arange(len(wav)) / rate
    wave_axes.plot(time_axis, wav, linewidth=0.4, color="0.2")
    wave_axes.set(xlim=(0, seconds), xlabel="time (s)", ylabel="sample",
                  title=f"input: speech.wav, {rate} Hz mono, as float32 ({seconds:.2f} s)")

    for row, (name, (windows, ms)) in enumerate(audio.items()):
        frames = reassemble(windows)
        axes = fig.add_axes([left, 0.65 - row * 0.2, right - left, 0.15])
        image = axes.imshow(frames, origin="lower", aspect="auto", cmap="magma", interpolation="nearest",
                            extent=(0, frames.shape[1] / FRAMES_PER_SECOND, -0.5, 79.5))
        axes.set(xlim=(0, seconds), xlabel="time (s)", ylabel="mel band (0: 55 Hz, 79: 7600 Hz)",
                 title=f"vxmv{name[1]}_melspectrogram: {len(windows)} windows put back together, "
                       f"{frames.shape[1]} frames x 80 bands; the call took {ms:.2f} ms (best of 5)")
        bar = fig.colorbar(image, cax=fig.add_axes([right + 0.01, 0.65 - row * 0.2, 0.015, 0.15]))
        bar.set_label(f"{name} value (normalised level)")

    # Masks in one row, one pixel of the figure per `shrink` mask pixels for every panel.
    shrink = 5
    width_px, height_px = fig.get_size_inches() * fig.dpi
    x, top = left * width_px, 0.34 * height_px
    for scale, mask, ms in masks:
        w, h = mask.shape[1] / shrink, mask.shape[0] / shrink
        axes = fig.add_axes([x / width_px, (top - h) / height_px, w / width_px, h / height_px])
        image = axes.imshow(mask, cmap="gray", vmin=0.0, vmax=1.0, interpolation="nearest")
        axes.set_xticks([])
        axes.set_yticks([])
        label = "own size" if scale is None else f"{scale[0]} {scale[1]}"
        axes.set_title(f"{label}\n{mask.shape[1]} x {mask.shape[0]}\n{ms:.2f} ms", fontsize=9)
        x += w + 30
    low = (top - masks[0][1].shape[0] / shrink) / height_px
    bar = fig.colorbar(image, cax=fig.add_axes([x / width_px, low, 0.015, 0.34 - low]))
    bar.set_label("mask value")
    fig.text(left, 0.40, f"reconstruct_mask: face_mask_1080p.msgpack ({MASK_SIZE[0]} x {MASK_SIZE[1]}, feathered "
             f"edge) at its own size and resized,\ndrawn at 1/{shrink} of their pixel sizes, with the time each "
             "call took (best of 5)", fontsize=11, va="top")

    OUT.mkdir(exist_ok=True)
    path = OUT / "overview.png"
    fig.savefig(path, bbox_inches="tight", pad_inches=0.3)
    plt.close(fig)
    return path


def main():
    print(f"ostrel_py from {ostrel_py.__file__}; warm-up call returned {ostrel_py.dummy_func()}\n")
    masks = mask_demo()
    wav, rate, audio = audio_demo()
    path = save_overview(wav, rate, audio, masks)
    print(f"\nOverview of the input, both versions' spectrograms and the masks: {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
