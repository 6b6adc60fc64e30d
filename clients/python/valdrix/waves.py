"""Decoding of wave samples: the one place that knows their encoding.

``osc_get_channel_wave`` answers the samples as they lie in the channel's
sample memory: 2 bytes per sample, sample i at byte 2 i. The encoding is the
logic design's; the capture core (and the simulated one) writes signed 16-bit
two's-complement values, least significant byte first. Everything in this
package that turns answer bytes into samples goes through ``decode``, so a
logic design with another encoding changes ``SAMPLE_DTYPE`` here and nowhere
else.

numpy is used where it is installed: a wave is then a numpy int16 array that
shares the answer's buffer. Without numpy it is an ``array('h')``.
"""

from __future__ import annotations

import array
import sys
from typing import Any, Optional, Union

try:  # numpy is optional: the core runs on the standard library alone
    import numpy as _np
except ImportError:  # pragma: no cover - depends on the host
    _np = None

__all__ = ["SAMPLE_DTYPE", "SAMPLE_BYTES", "HAVE_NUMPY", "decode", "Wave"]

#: numpy dtype of one sample as it comes off the wire: little-endian int16.
SAMPLE_DTYPE = "<i2"
#: Bytes per sample on the wire.
SAMPLE_BYTES = 2
#: True where numpy can be imported.
HAVE_NUMPY = _np is not None

#: A wave: numpy int16 array, or array('h') without numpy.
Wave = Union["array.array[int]", Any]


def decode(data: Union[bytes, bytearray, memoryview], numpy: Optional[bool] = None) -> Wave:
    """Samples from the bytes of a wave answer (len(data) / 2 of them).

    numpy: True for a numpy int16 array, False for ``array('h')``, None (the
    default) for numpy where it is installed. A numpy result made from a
    bytearray shares its memory instead of copying it.
    """
    if len(data) % SAMPLE_BYTES:
        raise ValueError("a wave has 2 bytes per sample, got %d bytes" % len(data))
    if numpy is None:
        numpy = HAVE_NUMPY
    if numpy:
        if _np is None:
            raise ImportError("numpy is not installed")
        wave = _np.frombuffer(data, dtype=SAMPLE_DTYPE)
        # Native order on little-endian hosts: a view; elsewhere one swap.
        return wave if wave.dtype.isnative else wave.astype(_np.int16)
    wave = array.array("h")
    wave.frombytes(bytes(data))
    if sys.byteorder == "big":
        wave.byteswap()
    return wave
