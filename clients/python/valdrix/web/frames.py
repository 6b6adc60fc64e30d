"""The scope's binary WebSocket frames and the server-side reduction.

A frame is a 28-byte little-endian header followed by int16 samples::

    0  4s  magic b"VXW1"
    4  B   kind: 0 samples, 1 min/max pairs per pixel column
    5  B   channel count
    6  H   flags: bit 0 the capture completed, bit 1 channel A present,
           bit 2 channel B present
    8  I   frame number (increases by one per capture)
    12 I   samples per channel in the capture
    16 I   first sample shown (x0)
    20 I   end of the range shown (x1, exclusive)
    24 I   points per channel (n)

then, per channel present (A before B), kind 0: n samples x0..x1-1; kind 1:
n column minima then n column maxima, column j covering samples
x0 + floor(j (x1 - x0) / n) up to the next column's first. The header's
size keeps the samples 2-byte aligned, so the page reads them in place as
an Int16Array.
"""

from __future__ import annotations

import struct
from typing import Dict, Tuple

import numpy as np

__all__ = ["MAGIC", "HEADER", "encode", "decode_header", "reduce_minmax", "view_range"]

MAGIC = b"VXW1"
HEADER = struct.Struct("<4sBBHIIIII")
SAMPLES, MINMAX = 0, 1
FLAG_COMPLETE, FLAG_A, FLAG_B = 1, 2, 4
# The page draws at most a few thousand columns; a viewer cannot ask for more.
MAX_WIDTH = 8192


def view_range(total: int, x0: int, x1: int) -> Tuple[int, int]:
    """The viewer's range clipped to the capture; the whole capture when the
    range is empty or outside it."""
    x0 = max(0, min(int(x0), total))
    x1 = max(0, min(int(x1), total))
    if x1 <= x0:
        return 0, total
    return x0, x1


def reduce_minmax(wave: np.ndarray, x0: int, x1: int, columns: int) -> Tuple[np.ndarray, np.ndarray]:
    """Minimum and maximum of each of ``columns`` equal slices of wave[x0:x1]."""
    edges = x0 + (np.arange(columns, dtype=np.int64) * (x1 - x0)) // columns
    return np.minimum.reduceat(wave[:x1], edges), np.maximum.reduceat(wave[:x1], edges)


def encode(seq: int, waves: Dict[int, np.ndarray], complete: bool, x0: int, x1: int, width: int) -> bytes:
    """One viewer's frame of a capture: full resolution while the range has
    at most two samples per column of ``width``, min/max columns beyond."""
    channels = [c for c in (1, 2) if c in waves]
    total = len(waves[channels[0]]) if channels else 0
    x0, x1 = view_range(total, x0, x1)
    width = max(16, min(int(width), MAX_WIDTH))
    flags = (FLAG_COMPLETE if complete else 0) | (FLAG_A if 1 in waves else 0) | (FLAG_B if 2 in waves else 0)
    parts = []
    if x1 - x0 <= 2 * width:
        kind, n = SAMPLES, x1 - x0
        for c in channels:
            parts.append(np.ascontiguousarray(waves[c][x0:x1], dtype="<i2").tobytes())
    else:
        kind, n = MINMAX, width
        for c in channels:
            lo, hi = reduce_minmax(waves[c], x0, x1, width)
            parts.append(lo.astype("<i2").tobytes())
            parts.append(hi.astype("<i2").tobytes())
    head = HEADER.pack(MAGIC, kind, len(channels), flags, seq & 0xFFFFFFFF, total, x0, x1, n)
    return head + b"".join(parts)


def decode_header(frame: bytes) -> Dict[str, int]:
    magic, kind, nch, flags, seq, total, x0, x1, n = HEADER.unpack_from(frame)
    if magic != MAGIC:
        raise ValueError("not a scope frame")
    return {"kind": kind, "channels": nch, "flags": flags, "seq": seq, "total": total, "x0": x0, "x1": x1, "n": n}
