"""Type stubs for the ostrel_py extension module."""

import numpy
import numpy.typing

__all__ = ["dummy_func", "reconstruct_mask", "vxmv1_melspectrogram", "vxmv2_melspectrogram"]

def dummy_func() -> int:
    """Dummy function for warmup."""

def reconstruct_mask(
    bytes: bytes,
    width: int,
    height: int,
    scale: tuple[float, str] | None = None,
) -> numpy.typing.NDArray[numpy.float32]:
    """Reconstructs a grayscale mask from a serialized CompactMaskModel."""

def vxmv1_melspectrogram(wav: numpy.typing.NDArray[numpy.float32], sample_rate: int) -> list[bytes]:
    """Converts a wav file to a mel spectrogram in bytes for the Voxmime V1 model."""

def vxmv2_melspectrogram(wav: numpy.typing.NDArray[numpy.float32], sample_rate: int) -> list[bytes]:
    """Converts a wav file to a mel spectrogram in bytes for the Voxmime V2 model."""
