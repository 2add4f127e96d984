"""Typed use of the module; `mypy --strict` must accept it as it stands."""

from typing import assert_type

import numpy as np
import numpy.typing as npt

import ostrel_py

RECORD = bytes.fromhex("91 92 92 92 00 cc ff 92 03 00 90")

assert_type(ostrel_py.dummy_func(), int)

mask = ostrel_py.reconstruct_mask(RECORD, 5, 2)
assert_type(mask, npt.NDArray[np.float32])
resized = ostrel_py.reconstruct_mask(bytes=RECORD, width=5, height=2, scale=(2.0, "cubic"))
total: float = float(resized.sum())

wav: npt.NDArray[np.float32] = np.zeros(16000, dtype=np.float32)
windows = ostrel_py.vxmv1_melspectrogram(wav, 16000)
assert_type(windows, list[bytes])
first: npt.NDArray[np.float32] = np.frombuffer(ostrel_py.vxmv2_melspectrogram(wav, sample_rate=16000)[0], "<f4")
