"""Batch capture: many traces per request, read straight into numpy arrays.

The request carries a 24-byte header (bus, channel mask, window offset and
length, input length, answer length, count, per-trace time-out in ms, flags)
and the inputs back to back. The answer is one record per input, in input
order, each of a fixed size: result (0 complete, 1 missed trigger, 2 bus
error), the bus error's status, the last trigger status word, the target's
answer bytes and the selected channels' samples. A failed trace keeps its
place, so inputs and traces never lose their pairing.
"""

from __future__ import annotations

import struct
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple

from . import waves

# numpy is imported where arrays are made, not here: the protocol client
# imports this module for BatchInfo and runs on the standard library alone.
if TYPE_CHECKING:
    import numpy as np


def __getattr__(name: str) -> Any:
    # ``batch.np``, for the code that fills batches, is numpy on first use.
    if name == "np":
        import numpy
        return numpy
    raise AttributeError("module %r has no attribute %r" % (__name__, name))

__all__ = ["TraceBatch", "BatchInfo", "COMPLETE", "MISSED", "BUS_ERROR"]

#: Result of each trace of a batch.
COMPLETE, MISSED, BUS_ERROR = 0, 1, 2

REQUEST = struct.Struct(">BBIIHHIIH")
RECORD_HEAD = 8
#: The frame's length field bounds an answer.
FRAME_LIMIT = 0xFFFFFFFF


class BatchInfo(NamedTuple):
    """What the instrument's batch capture offers (its 0x0F01 answer)."""

    version: int
    buses: int  # bit b set: bus code b is served
    memory_samples: int  # per channel; offset + length must stay inside
    max_request: int  # largest request payload
    max_answer: int  # largest answer payload

    @classmethod
    def decode(cls, answer: bytes) -> "BatchInfo":
        return cls(*struct.unpack(">HHIII", answer))


def record_size(rx_len: int, channels: Sequence[int], samples: int) -> int:
    return RECORD_HEAD + rx_len + len(channels) * waves.SAMPLE_BYTES * samples


def input_array(inputs: Any) -> "np.ndarray":
    """The inputs as an (N, tx_len) uint8 array: from such an array, or a
    sequence of byte strings that all have the same length."""
    import numpy as np
    if isinstance(inputs, np.ndarray):
        if inputs.ndim != 2 or inputs.dtype != np.uint8:
            raise ValueError("inputs as an array must be 2-D uint8 (one row per trace)")
        return np.ascontiguousarray(inputs)
    rows = [bytes(x) if not isinstance(x, str) else x.encode() for x in inputs]
    if not rows:
        raise ValueError("a batch needs at least one input")
    size = len(rows[0])
    if any(len(r) != size for r in rows):
        raise ValueError("every input of a batch must have the same length")
    if size == 0:
        return np.zeros((len(rows), 0), np.uint8)
    return np.frombuffer(b"".join(rows), np.uint8).reshape(len(rows), size)


class _Rows(Sequence[bytes]):
    """An (N, k) uint8 array seen as N byte strings, each built on access."""

    def __init__(self, array: "np.ndarray") -> None:
        self._array = array

    def __len__(self) -> int:
        return len(self._array)

    def __getitem__(self, i: Any) -> Any:
        if isinstance(i, slice):
            return [r.tobytes() for r in self._array[i]]
        return self._array[i].tobytes()

    def __iter__(self) -> Iterator[bytes]:
        for row in self._array:
            yield row.tobytes()

    def __eq__(self, other: object) -> bool:
        return list(self) == list(other)  # type: ignore[call-overload]


class TraceBatch:
    """N traces captured by one call, as arrays.

    ``waves``: channel -> (N, samples) int16 array. ``tx_array``,
    ``rx_array``: (N, tx_len) and (N, rx_len) uint8 arrays; ``tx`` and ``rx``
    the same as N byte strings. ``status``: each trace's last trigger status
    word (0x102, TRIGGER_COMPLETE, when it completed). ``result``: 0
    complete, 1 missed trigger, 2 bus error; ``error``: the bus error's
    status (1 Busy, 2 TimeOut, 0x8000 internal). A failed trace keeps its
    place; its samples and answer bytes are zeros.
    """

    def __init__(self, waves_: Dict[int, "np.ndarray"], tx: "np.ndarray", rx: "np.ndarray",
                 status: "np.ndarray", result: "np.ndarray", error: "np.ndarray",
                 sample_period: Optional[float] = None) -> None:
        self.waves = waves_
        self.tx_array = tx
        self.rx_array = rx
        self.status = status
        self.result = result
        self.error = error
        self.sample_period = sample_period

    @classmethod
    def empty(cls, count: int, tx: "np.ndarray", rx_len: int, channels: Sequence[int], samples: int,
              sample_period: Optional[float] = None) -> "TraceBatch":
        import numpy as np
        return cls({c: np.zeros((count, samples), np.int16) for c in channels}, tx,
                   np.zeros((count, rx_len), np.uint8), np.zeros(count, np.uint32),
                   np.full(count, MISSED, np.uint16), np.zeros(count, np.uint16), sample_period)

    @classmethod
    def from_records(cls, raw: "np.ndarray", tx: "np.ndarray", channels: Sequence[int], rx_len: int, samples: int,
                     sample_period: Optional[float] = None) -> "TraceBatch":
        """The traces of a batch's (N, R) records, their waves and answers
        viewed in place rather than copied out."""
        import numpy as np
        waves_: Dict[int, "np.ndarray"] = {}
        at = RECORD_HEAD + rx_len
        width = waves.SAMPLE_BYTES * samples
        for channel in channels:
            waves_[channel] = raw[:, at:at + width].view(waves.SAMPLE_DTYPE)
            at += width
        return cls(waves_, tx, raw[:, RECORD_HEAD:RECORD_HEAD + rx_len],
                   raw[:, 4:8].view(">u4").ravel().astype(np.uint32), raw[:, 0:2].view(">u2").ravel().astype(np.uint16),
                   raw[:, 2:4].view(">u2").ravel().astype(np.uint16), sample_period)

    @classmethod
    def concatenate(cls, parts: Sequence["TraceBatch"]) -> "TraceBatch":
        import numpy as np
        first = parts[0]
        return cls({c: np.concatenate([p.waves[c] for p in parts]) for c in first.waves},
                   np.concatenate([p.tx_array for p in parts]), np.concatenate([p.rx_array for p in parts]),
                   np.concatenate([p.status for p in parts]), np.concatenate([p.result for p in parts]),
                   np.concatenate([p.error for p in parts]), first.sample_period)

    def __len__(self) -> int:
        return len(self.status)

    @property
    def tx(self) -> Sequence[bytes]:
        return _Rows(self.tx_array)

    @property
    def rx(self) -> Sequence[bytes]:
        return _Rows(self.rx_array)

    @property
    def complete(self) -> "np.ndarray":
        """Boolean mask of the traces that completed."""
        return self.result == COMPLETE

    def put(self, i: int, other: "TraceBatch", j: int = 0) -> None:
        """Trace ``j`` of ``other`` replaces trace ``i`` (a trace captured again)."""
        for channel, wave in self.waves.items():
            wave[i] = other.waves[channel][j]
        self.rx_array[i] = other.rx_array[j]
        self.status[i], self.result[i], self.error[i] = other.status[j], other.result[j], other.error[j]

    def head(self, n: int) -> "TraceBatch":
        """The first ``n`` traces (views, no copies)."""
        return TraceBatch({c: w[:n] for c, w in self.waves.items()}, self.tx_array[:n], self.rx_array[:n],
                          self.status[:n], self.result[:n], self.error[:n], self.sample_period)

    def __repr__(self) -> str:
        return "<TraceBatch of %d traces, %d complete, channels %s>" % (
            len(self), int(self.complete.sum()), ",".join(map(str, self.waves)))


def encode_request(bus: int, channels: Sequence[int], offset: int, length: int, tx: "np.ndarray",
                   rx_len: int, timeout_ms: int) -> bytes:
    mask = 0
    for channel in channels:
        mask |= 1 << (channel - 1)
    count, tx_len = tx.shape
    return REQUEST.pack(bus, mask, offset, length, tx_len, rx_len, count, timeout_ms, 0) + tx.tobytes()


def per_request(tx_len: int, record: int, info: BatchInfo, answer_cap: int) -> int:
    """The most traces of one request that fits the instrument's limits and
    the frame's length, its answer at most ``answer_cap`` bytes (one record
    at least)."""
    per = max(1, min(answer_cap, info.max_answer, FRAME_LIMIT) // record)
    if tx_len:
        per = min(per, max(1, (info.max_request - REQUEST.size) // tx_len))
    return per


def splits(count: int, tx_len: int, record: int, info: BatchInfo, answer_cap: int) -> List[Tuple[int, int]]:
    """Ranges of traces for requests of at most ``per_request`` traces."""
    per = per_request(tx_len, record, info, answer_cap)
    return [(first, min(first + per, count)) for first in range(0, count, per)]

