"""Trace-set files: TRS, NumPy .npz and zarr directory stores.

Reading: ``read_traces(path)`` opens any of the three as a ``TraceSet`` without
building a Python object per trace. The samples, inputs and answers stay in the
file (TRS and uncompressed .npz are memory-mapped, zarr is read chunk by chunk)
and come out as numpy arrays: ``ts.read(start, stop)`` or ``ts.chunks()`` give
``TraceChunk`` blocks, ``ts.tx_array``/``ts.rx_array``/``ts.label_array`` the
whole columns. ``ts.tx`` and ``ts.rx`` remain indexable sequences of ``bytes``,
built when an entry is asked for. A file that is not a well-formed trace set
raises ``TraceFileError`` naming the file and the fault; what is read is
bounded by the file's size, never by a count its header claims.

Writing: ``open_writer(path)`` picks the format by the suffix (``.trs``,
``.npz``, ``.zarr``) and returns a ``TraceWriter``: ``append(trace)``,
``append_arrays(...)`` for batches, ``close()`` and ``abort()``.

TRS is the Inspector trace-set format that the common side-channel tools read:
a header of tag-length-value objects (little-endian), the trace-block marker
0x5F 0x00, then one record per trace: its title (TS bytes, the label when the
set is labelled), its data (DS bytes: ``tx`` then ``rx``) and NS int16 samples
(every channel's samples, one channel after the other). The description (DC) is
a JSON text of the set's metadata with a ``layout`` entry (channels, samples
per channel, tx and rx lengths, sample period) from which a reader splits the
records again. NT is written as 0 and patched when the writer closes; a reader
counts whole records from the file size, so a file cut short reads up to its
last whole trace.

The .npz and zarr layouts are described in ``traces_npz`` and ``traces_zarr``.
"""

from __future__ import annotations

import array
import errno
import json
import math
import mmap
import os
import stat
import struct
import sys
import time
from typing import IO, Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

from .errors import TraceFileError
from .trace import Trace

try:
    import numpy as _np
except ImportError:  # pragma: no cover - depends on the host
    _np = None

__all__ = [
    "TraceSet", "TraceChunk", "TraceWriter", "TrsWriter", "TraceFileError", "Trace",
    "open_writer", "write_npz", "read_traces", "read_trs", "read_npz", "read_zarr", "LABEL_NAMES",
]

# TRS header tags.
NT, NS, SC, DS, TS, GT, DC, XO, XL, YL, XS, YS, TO, LS = range(0x41, 0x4F)
TRACE_BLOCK = 0x5F
SC_INT16 = 0x02
_CODINGS = {0x01: ("b", "i1"), 0x02: ("h", "<i2"), 0x04: ("i", "<i4"), 0x14: ("f", "<f4")}
# Tags of TRS version 1 and 2 run from 0x41 to 0x7F; anything else first is
# another kind of file (a text file starts with a printable byte below 0x41
# or a lower-case letter, which the length check then catches).
_TAG_RANGE = range(0x41, 0x80)
_MAX_TAGS = 4096
# Room kept in the description so that close() can rewrite it with what the
# run learnt (counts of retries, an end time) without moving the traces.
_DC_SLACK = 1024
_TITLE_SIZE = 8
_FLUSH_SECONDS = 1.0
_FLUSH_BYTES = 1 << 20

#: Label codes: ``label_array`` holds 0 for "fixed", 1 for "random", -1 for an
#: unlabelled trace; other names get 2, 3, ... in ``label_names``.
LABEL_NAMES = ("fixed", "random")
UNLABELLED = -1
# Chunks handed out by default hold about this many bytes of samples and data.
CHUNK_BYTES = 4 << 20


def _need_numpy(what: str) -> None:
    if _np is None:
        raise ImportError("%s needs numpy (Debian: python3-numpy)" % what)


def label_code(name: str, names: List[str]) -> int:
    """The code of label ``name``, adding it to ``names`` when it is new."""
    if not name:
        return UNLABELLED
    try:
        return names.index(name)
    except ValueError:
        if len(names) >= 127:
            raise ValueError("a trace set holds at most 127 distinct labels")
        names.append(name)
        return len(names) - 1


# --------------------------------------------------------------------------
# Sequences built on access.

class _LazyRows(Sequence):
    """A read-only sequence whose entries are made when asked for; compares
    equal to any sequence with the same entries."""

    def __init__(self, n: int) -> None:
        self._n = n

    def __len__(self) -> int:
        return self._n

    def _item(self, i: int) -> Any:  # pragma: no cover - overridden
        raise NotImplementedError

    def _items(self, start: int, stop: int) -> List[Any]:
        return [self._item(i) for i in range(start, stop)]

    def __getitem__(self, i: Any) -> Any:
        if isinstance(i, slice):
            start, stop, step = i.indices(self._n)
            if step == 1:
                return self._items(start, max(start, stop))
            return [self._item(k) for k in range(start, stop, step)]
        i = int(i)
        if i < 0:
            i += self._n
        if not 0 <= i < self._n:
            raise IndexError("trace %d of %d" % (i, self._n))
        return self._item(i)

    def __iter__(self) -> Iterator[Any]:
        block = 4096
        for start in range(0, self._n, block):
            yield from self._items(start, min(self._n, start + block))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, (Sequence, _LazyRows)) or isinstance(other, (str, bytes)):
            return NotImplemented
        return len(self) == len(other) and all(a == b for a, b in zip(self, other))

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        head = ", ".join(repr(x) for x in self[:3])
        return "<%d entries: %s%s>" % (self._n, head, ", ..." if self._n > 3 else "")


class BytesRows(_LazyRows):
    """The rows of an (n, width) uint8 array-like as ``bytes``, one per access."""

    def __init__(self, rows: Any, n: Optional[int] = None, guard: Optional[Callable[[Callable[[], Any]], Any]] = None
                 ) -> None:
        super().__init__(len(rows) if n is None else n)
        self._rows = rows
        self._guard = guard or (lambda load: load())

    def _item(self, i: int) -> bytes:
        return self._items(i, i + 1)[0]

    def _items(self, start: int, stop: int) -> List[bytes]:
        block = self._guard(lambda: _np.asarray(self._rows[start:stop]))
        return [row.tobytes() for row in block]


class _MmapBytes(_LazyRows):
    """A field of fixed-size records in a mapped file, as ``bytes`` (no numpy)."""

    def __init__(self, mm: Any, offset: int, record: int, width: int, n: int) -> None:
        super().__init__(n)
        self._mm, self._offset, self._record, self._width = mm, offset, record, width

    def _item(self, i: int) -> bytes:
        at = self._offset + i * self._record
        return bytes(self._mm[at:at + self._width])


class _MmapTitles(_MmapBytes):
    def _item(self, i: int) -> str:
        return super()._item(i).decode("utf-8", "replace").strip(" \0")


class _MmapSamples(_MmapBytes):
    """Sample rows of a TRS file as ``array`` rows, for hosts without numpy."""

    def __init__(self, mm: Any, offset: int, record: int, samples: int, typecode: str, n: int) -> None:
        self._typecode = typecode
        super().__init__(mm, offset, record, samples * array.array(typecode).itemsize, n)

    def _item(self, i: int) -> "array.array[Any]":
        row = array.array(self._typecode)
        row.frombytes(super()._item(i))
        if sys.byteorder == "big":
            row.byteswap()
        return row


class _LabelRows(_LazyRows):
    def __init__(self, ts: "TraceSet") -> None:
        super().__init__(len(ts))
        self._ts = ts

    def _items(self, start: int, stop: int) -> List[str]:
        codes = self._ts._label_codes(start, stop).tolist()
        names = self._ts.label_names if codes and max(codes) >= len(LABEL_NAMES) else LABEL_NAMES
        return [names[c] if c >= 0 else "" for c in codes]

    def _item(self, i: int) -> str:
        return self._items(i, i + 1)[0]


# --------------------------------------------------------------------------
# The trace set.

class TraceChunk:
    """Traces ``start`` to ``start + len(chunk)`` of a set as numpy arrays.

    waves: channel number to a (k, w) array (int16 for the sets this package
    writes); tx, rx: (k, length) uint8; labels: (k,) int8 codes (see
    ``LABEL_NAMES``; -1 unlabelled).
    """

    __slots__ = ("start", "waves", "tx", "rx", "labels")

    def __init__(self, start: int, waves: Dict[int, Any], tx: Any, rx: Any, labels: Any) -> None:
        self.start, self.waves, self.tx, self.rx, self.labels = start, waves, tx, rx, labels

    def __len__(self) -> int:
        return len(self.labels)

    @property
    def stop(self) -> int:
        return self.start + len(self.labels)

    def __repr__(self) -> str:
        return "TraceChunk(start=%d, traces=%d, channels=%s)" % (self.start, len(self), sorted(self.waves))


class TraceSet:
    """The traces of a file (or of memory), read as they are asked for.

    waves: channel number to a 2-D array-like (n_traces, n_samples): an
        ``np.memmap``-backed array for TRS, a zarr array for zarr, an ndarray for
        .npz; without numpy, a sequence of ``array('h')`` rows.
    tx, rx: the bytes sent and received, an indexable sequence of ``bytes``.
    labels: each trace's group ("fixed", "random") or "" (empty when the set
        is unlabelled).
    metadata: the settings the file was written with, as written.
    sample_period: seconds between samples (0.0 when the file does not say).
    path, format: the file and "trs", "npz", "zarr" ("" for a set in memory),
        so that another process can reopen it with ``read_traces(path)``.

    Numpy access: ``read(start, stop)``, ``chunks()``, ``tx_array``,
    ``rx_array``, ``label_array`` and ``label_names``.
    """

    def __init__(self, waves: Dict[int, Any], tx: Optional[Sequence[bytes]] = None,
                 rx: Optional[Sequence[bytes]] = None, metadata: Optional[Dict[str, Any]] = None,
                 sample_period: float = 0.0, labels: Optional[Sequence[str]] = None, *,
                 path: str = "", format: str = "", count: Optional[int] = None,
                 tx_array: Any = None, rx_array: Any = None,
                 label_codes: Any = None, label_names: Optional[Sequence[str]] = None,
                 status_array: Any = None, chunk_traces: Optional[int] = None,
                 guard: Optional[Callable[[Callable[[], Any]], Any]] = None) -> None:
        self.waves = waves
        self.metadata = metadata if metadata is not None else {}
        self.sample_period = float(sample_period or 0.0)
        self.path, self.format = path, format
        self.status_array = status_array
        self._tx, self._rx = tx, rx
        self._tx_array, self._rx_array = tx_array, rx_array
        self._labels = labels if labels else None
        self._labelled = bool(labels) or label_codes is not None
        self._codes = label_codes  # array-like of int8, or callable(start, stop)
        self._names = list(label_names) if label_names is not None else None
        self._chunk_traces = chunk_traces
        self._guard = guard or (lambda load: load())
        if count is None:
            if tx is not None:
                count = len(tx)
            elif tx_array is not None:
                count = len(tx_array)
            else:
                count = next((len(rows) for rows in waves.values()), 0)
        self._n = count

    def __len__(self) -> int:
        return self._n

    def __repr__(self) -> str:
        return "<TraceSet %s%d traces, channels %s, %d samples>" % (
            "%s %s, " % (self.format, self.path) if self.path else "", self._n, self.channels, self.samples)

    @property
    def channels(self) -> List[int]:
        """The channel numbers held, in order."""
        return sorted(self.waves)

    @property
    def samples(self) -> int:
        """Samples per channel and trace."""
        for rows in self.waves.values():
            shape = getattr(rows, "shape", None)
            if shape is not None and len(shape) == 2:
                return int(shape[1])
            return len(rows[0]) if len(rows) else 0
        return 0

    # Inputs and answers.
    @property
    def tx(self) -> Sequence[bytes]:
        if self._tx is None:
            self._tx = BytesRows(self.tx_array, self._n, self._guard)
        return self._tx

    @property
    def rx(self) -> Sequence[bytes]:
        if self._rx is None:
            self._rx = BytesRows(self.rx_array, self._n, self._guard)
        return self._rx

    def _bytes_array(self, rows: Sequence[bytes]) -> Any:
        _need_numpy("array access to a trace set")
        width = len(rows[0]) if len(rows) else 0
        if width == 0:
            return _np.zeros((len(rows), 0), dtype=_np.uint8)
        return _np.frombuffer(b"".join(rows), dtype=_np.uint8).reshape(len(rows), width)

    @property
    def tx_array(self) -> Any:
        """The inputs, an (n, tx_len) uint8 array (mapped or read lazily where the format allows)."""
        if self._tx_array is None:
            self._tx_array = self._bytes_array(self._tx or [])
        return self._tx_array

    @property
    def rx_array(self) -> Any:
        """The answers, an (n, rx_len) uint8 array."""
        if self._rx_array is None:
            self._rx_array = self._bytes_array(self._rx or [])
        return self._rx_array

    # Labels.
    @property
    def labelled(self) -> bool:
        return self._labelled

    @property
    def labels(self) -> Sequence[str]:
        if self._labels is None:
            self._labels = _LabelRows(self) if self._codes is not None else []
        return self._labels

    @property
    def label_names(self) -> List[str]:
        """Label names by code: ``label_names[label_array[i]]`` (code -1: unlabelled)."""
        if self._names is None:
            if callable(self._codes):
                self._codes(0, 0, names=True)
            else:
                self._codes_from_labels()
        return self._names  # type: ignore[return-value]

    def _codes_from_labels(self) -> None:
        names = list(LABEL_NAMES)
        if self._labels is not None and self._codes is None:
            codes = [label_code(str(s), names) for s in self._labels]
            self._codes = _np.array(codes, dtype=_np.int8) if _np is not None else None
        self._names = names

    def _label_codes(self, start: int, stop: int) -> Any:
        _need_numpy("label codes")
        if not self.labelled:
            return _np.full(max(0, stop - start), UNLABELLED, dtype=_np.int8)
        if self._codes is None:
            self._codes_from_labels()
        if callable(self._codes):
            return self._codes(start, stop)
        codes = self._guard(lambda: _np.asarray(self._codes[start:stop], dtype=_np.int8))
        if len(codes) and (int(codes.min()) < UNLABELLED or int(codes.max()) >= len(self.label_names)):
            raise TraceFileError(self.path or "trace set", "label codes outside -1..%d" % (len(self.label_names) - 1))
        return codes

    @property
    def label_array(self) -> Any:
        """(n,) int8 label codes: 0 "fixed", 1 "random", -1 unlabelled (see ``label_names``)."""
        return self._label_codes(0, self._n)

    def __getitem__(self, i: int) -> Trace:
        """Trace ``i`` of the set as a ``Trace`` record."""
        i = int(i)
        if i < 0:
            i += self._n
        if not 0 <= i < self._n:
            raise IndexError("trace %d of %d" % (i, self._n))
        waves = self._guard(lambda: {c: rows[i] for c, rows in self.waves.items()})
        return Trace(waves=waves, tx=self.tx[i], rx=self.rx[i], index=i,
                     sample_period=self.sample_period or None, label=self.labels[i] if self.labelled else "")

    # Chunked numpy access.
    def _window(self, window: Optional[Tuple[int, int]]) -> Tuple[int, int]:
        samples = self.samples
        if window is None:
            return 0, samples
        first, stop = (int(x) for x in window)
        if not 0 <= first <= stop <= samples:
            raise ValueError("window %d:%d is outside the traces' %d samples" % (first, stop, samples))
        return first, stop

    def _channels(self, channel: Optional[int]) -> List[int]:
        if channel is None:
            return self.channels
        if channel not in self.waves:
            raise ValueError("the set has no channel %s (channels %s)" % (channel, self.channels))
        return [channel]

    def read(self, start: int, stop: int, channel: Optional[int] = None,
             window: Optional[Tuple[int, int]] = None) -> TraceChunk:
        """Traces [start, stop) (clipped to the set) as numpy arrays; only
        ``channel`` when given; samples ``window`` = (first, stop) when given."""
        _need_numpy("TraceSet.read")
        start, stop, _ = slice(int(start), int(stop)).indices(self._n)
        stop = max(start, stop)
        first, last = self._window(window)
        channels = self._channels(channel)

        def load() -> TraceChunk:
            waves = {c: _np.ascontiguousarray(self.waves[c][start:stop, first:last]) for c in channels}
            return TraceChunk(start, waves, _np.array(self.tx_array[start:stop], dtype=_np.uint8),
                              _np.array(self.rx_array[start:stop], dtype=_np.uint8), self._label_codes(start, stop))
        return self._guard(load)

    def default_chunk(self, channel: Optional[int] = None, window: Optional[Tuple[int, int]] = None) -> int:
        """Traces per chunk that ``chunks()`` uses: the store's own chunking for
        zarr, else about ``CHUNK_BYTES`` of the selected samples and data."""
        if self._chunk_traces:
            return self._chunk_traces
        first, last = self._window(window)
        per_trace = 2 * (last - first) * len(self._channels(channel))
        per_trace += self.tx_array.shape[1] + self.rx_array.shape[1] + 1
        return max(1, CHUNK_BYTES // per_trace)

    def chunks(self, size: Optional[int] = None, channel: Optional[int] = None,
               window: Optional[Tuple[int, int]] = None) -> Iterator[TraceChunk]:
        """Consecutive ``TraceChunk``s of ``size`` traces covering the set."""
        size = int(size) if size else self.default_chunk(channel, window)
        if size < 1:
            raise ValueError("a chunk holds at least one trace")
        for start in range(0, self._n, size):
            yield self.read(start, start + size, channel, window)


# --------------------------------------------------------------------------
# TRS reading.

class _TrsHeader:
    """What a TRS header says, checked against the file it is in."""

    def __init__(self, path: str, f: IO[bytes], size: int) -> None:
        self.path = path
        self.tags: Dict[int, Tuple[int, bytes]] = {}  # tag -> (offset of its value, value)
        self._parse(f, size)
        tags = self.tags
        if NS not in tags:
            raise TraceFileError(path, "the TRS header has no sample count (NS)")
        if SC not in tags:
            raise TraceFileError(path, "the TRS header has no sample coding (SC)")
        self.ns = self._int(NS, 4)
        self.nt = self._int(NT, 4) if NT in tags else 0
        self.coding = self._int(SC, 1)
        if self.coding not in _CODINGS:
            raise TraceFileError(path, "unknown TRS sample coding 0x%02X" % self.coding)
        self.ds = self._int(DS, 2) if DS in tags else 0
        self.ts = self._int(TS, 1) if TS in tags else 0
        self.sample_size = self.coding & 0x0F
        self.record = self.ts + self.ds + self.ns * self.sample_size
        body = size - self.size
        if self.record == 0:
            if self.nt or body:
                raise TraceFileError(path, "traces of 0 bytes (NS and DS are 0) but %d traces or %d bytes follow"
                                     % (self.nt, body))
            self.whole = 0
        else:
            self.whole = body // self.record
        self.count = self.whole if self.nt == 0 else min(self.nt, self.whole)
        self._description()

    def _parse(self, f: IO[bytes], size: int) -> None:
        path = self.path
        if size == 0:
            raise TraceFileError(path, "empty file")
        at = 0
        for _ in range(_MAX_TAGS):
            head = f.read(2)
            if len(head) < 2:
                raise TraceFileError(path, "not a TRS file (no trace-block marker 0x5F in its %d bytes)" % size)
            tag, length = head
            if tag not in _TAG_RANGE:
                if at == 0:
                    raise TraceFileError(path, "not a TRS file (first tag 0x%02X)" % tag)
                raise TraceFileError(path, "not a TRS file (tag 0x%02X at byte %d)" % (tag, at))
            if length & 0x80:
                width = length & 0x7F
                if not 1 <= width <= 4:
                    raise TraceFileError(path, "TRS tag 0x%02X has a length field of %d bytes" % (tag, width))
                extra = f.read(width)
                if len(extra) < width:
                    raise TraceFileError(path, "the TRS header is cut short at byte %d" % at)
                length = int.from_bytes(extra, "little")
            left = size - f.tell()
            if length > left:
                raise TraceFileError(path, "TRS tag 0x%02X at byte %d claims %d bytes, the file has %d left"
                                     % (tag, at, length, left))
            offset = f.tell()
            value = f.read(length)
            if tag == TRACE_BLOCK:
                self.size = f.tell()
                return
            self.tags[tag] = (offset, value)
            at = f.tell()
        raise TraceFileError(path, "not a TRS file (more than %d header objects)" % _MAX_TAGS)

    def _int(self, tag: int, width: int) -> int:
        value = self.tags[tag][1]
        if len(value) != width:
            raise TraceFileError(self.path, "TRS tag 0x%02X holds %d bytes where %d were due" % (tag, len(value), width))
        return int.from_bytes(value, "little")

    def _description(self) -> None:
        path = self.path
        metadata: Any = {}
        if DC in self.tags:
            text = self.tags[DC][1].decode("utf-8", "replace")
            try:
                metadata = json.loads(text)
            except (ValueError, RecursionError):
                metadata = {"description": text.strip(" \0")}
            if not isinstance(metadata, dict):
                metadata = {"description": text.strip(" \0")}
        layout = metadata.pop("layout", None)
        self.foreign = layout is None
        if layout is None:  # a file from another tool: one channel, the data as tx
            layout = {"channels": [1] if self.ns else [], "samples": self.ns, "tx_len": self.ds, "rx_len": 0}
        if not isinstance(layout, dict):
            raise TraceFileError(path, "the TRS description's layout is not an object")
        channels = layout.get("channels")
        ints = [layout.get(k) for k in ("samples", "tx_len", "rx_len")]
        if (not isinstance(channels, list) or not all(_is_int(c) and 0 < c < 256 for c in channels)
                or len(set(channels)) != len(channels) or not all(_is_int(v) and v >= 0 for v in ints)):
            raise TraceFileError(path, "the TRS description's layout is malformed")
        samples, tx_len, rx_len = ints
        if len(channels) * samples != self.ns or tx_len + rx_len != self.ds:
            raise TraceFileError(path, "the TRS description (%d channels of %d samples, %d+%d data bytes) does not "
                                 "match its NS %d and DS %d" % (len(channels), samples, tx_len, rx_len, self.ns, self.ds))
        self.channels, self.samples, self.tx_len, self.rx_len = sorted(channels), samples, tx_len, rx_len
        period = layout.get("sample_period")
        if not _is_period(period):
            period = None
        if not period and XS in self.tags and self.tags.get(XL, (0, b"s"))[1].strip(b"\0 ") == b"s":
            xs = self.tags[XS][1]
            period = struct.unpack("<f", xs)[0] if len(xs) == 4 else None
        self.period = float(period) if _is_period(period) else 0.0
        self.layout = layout
        self.metadata = metadata


def _is_int(v: Any) -> bool:
    return isinstance(v, int) and not isinstance(v, bool)


def _is_period(v: Any) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) and v > 0


def _regular_file(path: str) -> Tuple[IO[bytes], int]:
    if not stat.S_ISREG(os.stat(path).st_mode):  # before open: a FIFO would block it
        raise TraceFileError(path, "a directory, not a trace file" if os.path.isdir(path) else "not a regular file")
    f = open(path, "rb")
    st = os.fstat(f.fileno())
    if not stat.S_ISREG(st.st_mode):
        f.close()
        raise TraceFileError(path, "not a regular file")
    return f, st.st_size


def read_trs(path: str) -> TraceSet:
    """Reads a TRS file, also one cut short, up to its last whole trace."""
    path = os.fspath(path)
    if os.path.isdir(path):
        raise TraceFileError(path, "a directory, not a TRS file")
    f, size = _regular_file(path)
    with f:
        h = _TrsHeader(path, f, size)
        n = h.count
        mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if n else None
    base = h.size
    data_at = base + h.ts
    samples_at = data_at + h.ds
    common = dict(metadata=h.metadata, sample_period=h.period, path=path, format="trs", count=n)
    if _np is None:
        typecode = _CODINGS[h.coding][0]
        waves = {c: _MmapSamples(mm, samples_at + k * h.samples * h.sample_size, h.record, h.samples, typecode, n)
                 for k, c in enumerate(h.channels)}
        return TraceSet(waves, tx=_MmapBytes(mm, data_at, h.record, h.tx_len, n),
                        rx=_MmapBytes(mm, data_at + h.tx_len, h.record, h.rx_len, n),
                        labels=_MmapTitles(mm, base, h.record, h.ts, n) if h.ts else None, **common)

    def field(offset: int, width: int, dtype: str, itemsize: int) -> Any:
        if not n:
            return _np.zeros((0, width), dtype=dtype)
        return _np.ndarray((n, width), dtype=dtype, buffer=mm, offset=offset, strides=(h.record, itemsize))

    fmt = _CODINGS[h.coding][1]
    waves = {c: field(samples_at + k * h.samples * h.sample_size, h.samples, fmt, h.sample_size)
             for k, c in enumerate(h.channels)}
    codes = None
    if h.ts:
        titles = _np.ndarray((n,), dtype="S%d" % h.ts, buffer=mm, offset=base, strides=(h.record,)) if n \
            else _np.zeros(0, dtype="S%d" % h.ts)
        codes = _TitleCodes(titles)
    ts = TraceSet(waves, tx_array=field(data_at, h.tx_len, "u1", 1), rx_array=field(data_at + h.tx_len, h.rx_len,
                  "u1", 1), label_codes=codes, **common)
    if codes is not None:
        codes.owner = ts
    return ts


class _TitleCodes:
    """Label codes of TRS titles: "fixed" 0, "random" 1, empty -1; other
    names are numbered 2, 3, ... in sorted order once all titles are seen."""

    def __init__(self, titles: Any) -> None:
        self.titles = titles
        self.table: Optional[Dict[bytes, int]] = None
        self.owner: Optional[TraceSet] = None

    @staticmethod
    def _name(raw: bytes) -> str:
        return raw.decode("utf-8", "replace").strip(" \0")

    def _full_table(self) -> Dict[bytes, int]:
        names = list(LABEL_NAMES)
        table: Dict[bytes, int] = {}
        others = set()
        step = 1 << 20
        for start in range(0, len(self.titles), step):
            others.update(_np.unique(self.titles[start:start + step]).tolist())
        decoded = {raw: self._name(raw) for raw in others}
        for name in sorted(set(decoded.values()) - set(LABEL_NAMES) - {""})[:125]:
            names.append(name)
        for raw, name in decoded.items():
            table[raw] = names.index(name) if name in names else (UNLABELLED if not name else len(names) - 1)
        self.table = table
        if self.owner is not None:
            self.owner._names = names
        return table

    def __call__(self, start: int, stop: int, names: bool = False) -> Any:
        if names:
            self._full_table()
            return None
        out = _np.empty(max(0, stop - start), dtype=_np.int8)
        step = 1 << 18
        for first in range(start, stop, step):
            last = min(stop, first + step)
            out[first - start:last - start] = self._block(self.titles[first:last])
        return out

    def _block(self, chunk: Any) -> Any:
        # Titles this package writes are compared whole; only others are sorted out.
        codes = _np.full(len(chunk), -2, dtype=_np.int8)
        for name, code in ((b"fixed", 0), (b"random", 1), (b"", UNLABELLED)):
            codes[chunk == name.ljust(chunk.itemsize)] = code
            codes[chunk == name] = code
        rest = codes == -2
        if rest.any():
            codes[rest] = self._sorted_out(chunk[rest])
        return codes

    def _sorted_out(self, chunk: Any) -> Any:
        unique, inverse = _np.unique(chunk, return_inverse=True)
        mapping = []
        for raw in unique.tolist():
            name = self._name(raw)
            if name in LABEL_NAMES:
                mapping.append(LABEL_NAMES.index(name))
            elif not name:
                mapping.append(UNLABELLED)
            else:
                table = self.table if self.table is not None else self._full_table()
                mapping.append(table.get(raw, UNLABELLED))
        return _np.array(mapping, dtype=_np.int8)[inverse]


# --------------------------------------------------------------------------
# Dispatch.

def read_npz(path: str) -> TraceSet:
    """Reads a .npz trace set. Needs numpy."""
    from .traces_npz import read_npz as read
    return read(os.fspath(path))


def read_zarr(path: str) -> TraceSet:
    """Reads a zarr directory store. Needs numpy and zarr (Debian: python3-zarr)."""
    from .traces_zarr import read_zarr as read
    return read(os.fspath(path))


def read_traces(path: str) -> TraceSet:
    """Reads a TRS file, a .npz file or a zarr directory store (told apart by
    their first bytes, a directory being zarr)."""
    path = os.fspath(path)
    if os.path.isdir(path):
        return read_zarr(path)
    f, size = _regular_file(path)
    with f:
        magic = f.read(4)
    if not magic:
        raise TraceFileError(path, "empty file")
    if magic in (b"PK\x03\x04", b"PK\x05\x06"):
        return read_npz(path)
    return read_trs(path)


# --------------------------------------------------------------------------
# Writing.

def _sample_period(metadata: Dict[str, Any]) -> Optional[float]:
    khz = metadata.get("sample_rate_khz")
    return 1.0 / (khz * 1000.0) if isinstance(khz, (int, float)) and khz > 0 else None


def _wave_bytes(wave: Any) -> bytes:
    if _np is not None and isinstance(wave, _np.ndarray):
        return wave.astype("<i2", copy=False).tobytes()
    data = array.array("h", wave)
    if sys.byteorder == "big":
        data.byteswap()
    return data.tobytes()


def _disk_error(e: OSError, path: str) -> OSError:
    """The error a writer raises for a failed file operation: the asked-for
    path, whatever temporary file the failure happened in."""
    err = OSError(e.errno, e.strerror or str(e), path)
    err.__cause__ = e
    return err


class TraceWriter:
    """What every trace-set writer offers (see ``open_writer``).

    ``count`` (and ``len()``) is the traces appended so far; ``metadata`` is
    saved when the writer closes, so entries added during the run are kept.
    Leaving a ``with`` block calls ``close()``, or ``abort()`` on an exception.
    """

    path: str
    metadata: Dict[str, Any]
    count: int = 0
    layout: Optional[Dict[str, Any]] = None
    sample_period: Optional[float] = None

    def __len__(self) -> int:
        return self.count

    def __enter__(self) -> "TraceWriter":
        return self

    def __exit__(self, kind: Any, *exc: Any) -> bool:
        if kind is None:
            self.close()
        else:
            self.abort()
        return False

    def append(self, trace: Trace) -> None:
        """Adds one trace."""
        _need_numpy("this trace-file format")
        if self.sample_period is None and trace.sample_period:
            self.sample_period = trace.sample_period
        waves = {c: _np.asarray(w, dtype=_np.int16).reshape(1, -1) for c, w in trace.waves.items()}
        self.append_arrays(waves, _np.frombuffer(trace.tx, dtype=_np.uint8).reshape(1, -1),
                           _np.frombuffer(trace.rx, dtype=_np.uint8).reshape(1, -1), [trace.label], [trace.status])

    def append_arrays(self, waves: Dict[int, Any], tx: Any, rx: Any, labels: Optional[Sequence[str]] = None,
                      status: Any = None) -> None:  # pragma: no cover - overridden
        raise NotImplementedError

    def close(self) -> None:  # pragma: no cover - overridden
        raise NotImplementedError

    def abort(self) -> None:  # pragma: no cover - overridden
        raise NotImplementedError

    def _check_batch(self, waves: Dict[int, Any], tx: Any, rx: Any,
                     labels: Optional[Sequence[str]]) -> Tuple[Dict[int, Any], Any, Any, int]:
        """Checks a batch against the set's layout (set by the first batch) and
        returns it as little-endian int16 and uint8 arrays with its size."""
        _need_numpy("append_arrays")
        channels = sorted(waves)
        arrays = {c: _np.asarray(waves[c]) for c in channels}
        tx, rx = _np.asarray(tx, dtype=_np.uint8), _np.asarray(rx, dtype=_np.uint8)
        k = len(tx)
        if tx.ndim != 2 or rx.ndim != 2 or len(rx) != k or any(a.ndim != 2 or len(a) != k for a in arrays.values()):
            raise ValueError("append_arrays wants (k, samples) waves and (k, length) tx and rx of the same k")
        if labels is not None and len(labels) != k:
            raise ValueError("append_arrays got %d labels for %d traces" % (len(labels), k))
        samples = arrays[channels[0]].shape[1] if channels else 0
        if self.layout is None:
            if tx.shape[1] + rx.shape[1] > 0xFFFF:
                raise ValueError("a trace holds at most 65535 data bytes, got %d" % (tx.shape[1] + rx.shape[1]))
            self.layout = {"channels": channels, "samples": samples, "tx_len": tx.shape[1], "rx_len": rx.shape[1]}
        layout = self.layout
        if (channels != layout["channels"] or any(a.shape[1] != samples for a in arrays.values())
                or samples != layout["samples"] or tx.shape[1] != layout["tx_len"]
                or rx.shape[1] != layout["rx_len"]):
            raise ValueError("trace %d does not match the set: channels %s, %d samples, %d tx and %d rx bytes"
                             % (self.count, layout["channels"], layout["samples"], layout["tx_len"], layout["rx_len"]))
        for c, a in arrays.items():
            if a.dtype.kind not in "iu" or (a.dtype.itemsize > 2 and len(a) and (a.min() < -32768 or a.max() > 32767)):
                raise ValueError("channel %d's samples are not int16 values" % c)
        arrays = {c: a.astype("<i2", copy=False) for c, a in arrays.items()}
        return arrays, tx, rx, k


class TrsWriter(TraceWriter):
    """Writes a TRS file as a campaign runs.

    metadata: JSON-able settings, recorded in the header's description;
    entries added to ``writer.metadata`` during the run are written at close
    when they fit in the room kept for them. sample_period: seconds per
    sample (default: from ``metadata["sample_rate_khz"]`` or the first trace).
    labels: keep each trace's label as its title (8 bytes). resume: append to
    an existing file (cut back to its last whole trace first).

    Every trace must have the channels, samples and tx and rx lengths of the
    first. The file is valid at any moment up to its last whole trace. A
    failed write (a full disk) cuts the file back to its last whole trace,
    patches the count and raises OSError naming the file; ``close()`` and
    ``abort()`` patch the trace count into the header.
    """

    def __init__(self, path: str, metadata: Optional[Dict[str, Any]] = None,
                 sample_period: Optional[float] = None, labels: bool = False, resume: bool = False) -> None:
        self.path = os.fspath(path)
        self.metadata: Dict[str, Any] = dict(metadata or {})
        self.sample_period = sample_period or _sample_period(self.metadata)
        self.labels = labels
        self.count = 0
        self.layout = None
        self._label_names: List[str] = list(LABEL_NAMES)
        self._title = _TITLE_SIZE if labels else 0
        self._record = 0
        self._data_at = 0  # where the first trace starts
        self._on_disk = 0  # whole traces in the file
        self._pending = bytearray()
        self._nt_at = 0
        self._dc_at = 0
        self._dc_size = 0
        self._flushed = time.monotonic()
        self._fd: Optional[int] = None
        self._relayout = False
        if resume and not os.path.exists(self.path):
            raise OSError(errno.ENOENT, "no trace set to resume", self.path)
        if resume and os.path.getsize(self.path) > 0:
            self._resume()
        else:
            try:
                self._fd = os.open(self.path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_CLOEXEC", 0),
                                   0o666)
            except OSError as e:
                raise _disk_error(e, self.path) from e

    def _resume(self) -> None:
        f, size = _regular_file(self.path)
        with f:
            h = _TrsHeader(self.path, f, size)
        if h.coding != SC_INT16 or (h.ts not in (0, _TITLE_SIZE)):
            raise TraceFileError(self.path, "cannot append to it: samples are not int16 or titles not %d bytes"
                                 % _TITLE_SIZE)
        if h.foreign or NT not in h.tags:
            raise TraceFileError(self.path, "cannot append to it: it was not written by this package")
        self.metadata = h.metadata
        self.labels = bool(h.ts)
        self._title = h.ts
        self.layout = {"channels": h.channels, "samples": h.samples, "tx_len": h.tx_len, "rx_len": h.rx_len}
        if h.whole == 0 and not h.channels and not h.ds:
            # A set closed before its first trace has no layout yet: the
            # first trace writes the header again with its own.
            self.layout, self._relayout = None, True
        self.sample_period = h.period or self.sample_period
        self._record, self._data_at = h.record, h.size
        self._nt_at, (self._dc_at, dc) = h.tags[NT][0], h.tags[DC]
        self._dc_size = len(dc)
        self.count = self._on_disk = h.whole
        try:
            self._fd = os.open(self.path, os.O_RDWR | getattr(os, "O_CLOEXEC", 0))
            os.ftruncate(self._fd, self._data_at + self._on_disk * self._record)
            # Until close, NT 0 lets a reader count whatever whole traces are there.
            os.pwrite(self._fd, struct.pack("<I", 0), self._nt_at)
            os.lseek(self._fd, 0, os.SEEK_END)
        except OSError as e:
            self._close_fd()
            raise _disk_error(e, self.path) from e

    def _description(self) -> bytes:
        layout = dict(self.layout or {}, sample_period=self.sample_period)
        return json.dumps(dict(self.metadata, layout=layout), sort_keys=True).encode("utf-8")

    def _header(self) -> bytes:
        layout = self.layout
        ns = layout["samples"] * len(layout["channels"])
        ds = layout["tx_len"] + layout["rx_len"]
        self._record = self._title + ds + 2 * ns
        description = self._description()
        self._dc_size = len(description) + _DC_SLACK
        head = bytearray()
        head += _tlv(NT, struct.pack("<I", 0))
        self._nt_at = 2
        head += _tlv(NS, struct.pack("<I", ns))
        head += _tlv(SC, bytes((SC_INT16,)))
        head += _tlv(DS, struct.pack("<H", ds))
        if self._title:
            head += _tlv(TS, bytes((self._title,)))
        head += _tlv(GT, b"Valdrix-M4 trace set")
        self._dc_at = len(head) + 6
        head += _tlv(DC, description.ljust(self._dc_size), long_form=True)
        if self.sample_period:
            head += _tlv(XL, b"s")
            head += _tlv(XS, struct.pack("<f", self.sample_period))
        head += _tlv(YL, b"sample value")
        head += _tlv(YS, struct.pack("<f", 1.0))
        head += bytes((TRACE_BLOCK, 0))
        return bytes(head)

    def _start(self) -> None:
        """Writes the header, once the first trace has given the layout."""
        head = self._header()
        try:
            self._write(head)
        except OSError as e:
            self._remove()
            raise _disk_error(e, self.path) from e
        self._data_at = len(head)

    def _write(self, data: Any) -> int:
        view = memoryview(data).cast("B")
        done = 0
        try:
            while done < len(view):
                done += os.write(self._fd, view[done:])  # type: ignore[arg-type]
        except OSError as e:
            e.written = done  # type: ignore[attr-defined]
            raise
        return done

    def _write_records(self, data: Any, k: int) -> None:
        """Writes k whole records; on a failure keeps the whole ones, cuts
        away the rest, patches the count, closes and raises."""
        try:
            self._write(data)
        except OSError as e:
            self._on_disk += getattr(e, "written", 0) // self._record
            self.count = self._on_disk
            self._pending.clear()
            self._finish(quiet=True)
            raise _disk_error(e, self.path) from e
        self._on_disk += k

    def _flush(self) -> None:
        if self._pending:
            data, k = bytes(self._pending), self.count - self._on_disk
            self._pending.clear()
            self._write_records(data, k)
        self._flushed = time.monotonic()

    def _ready(self, channels: List[int], samples: int, tx_len: int, rx_len: int, sample_period: Any) -> None:
        if self._fd is None:
            raise ValueError("the trace file %s is closed" % self.path)
        if self._relayout:
            self._relayout, self._data_at = False, 0
            try:
                os.ftruncate(self._fd, 0)
                os.lseek(self._fd, 0, os.SEEK_SET)
            except OSError as e:
                self._remove()
                raise _disk_error(e, self.path) from e
        if self.layout is None:
            if self.sample_period is None:
                self.sample_period = sample_period
            self.layout = {"channels": channels, "samples": samples, "tx_len": tx_len, "rx_len": rx_len}
            if tx_len + rx_len > 0xFFFF:
                self.layout = None
                raise ValueError("a TRS trace holds at most 65535 data bytes, got %d" % (tx_len + rx_len))
        if self._data_at == 0:
            self._start()

    def append(self, trace: Trace) -> None:
        """Adds one trace at the end of the file."""
        channels = sorted(trace.waves)
        samples = len(trace.waves[channels[0]]) if channels else 0
        self._ready(channels, samples, len(trace.tx), len(trace.rx), trace.sample_period)
        layout = self.layout
        if (channels != layout["channels"] or any(len(trace.waves[c]) != samples for c in channels)
                or samples != layout["samples"] or len(trace.tx) != layout["tx_len"]
                or len(trace.rx) != layout["rx_len"]):
            raise ValueError("trace %d does not match the set: channels %s, %d samples, %d tx and %d rx bytes"
                             % (trace.index, layout["channels"], layout["samples"], layout["tx_len"],
                                layout["rx_len"]))
        if self._title:
            self._pending += trace.label.encode("utf-8")[:self._title].ljust(self._title)
        self._pending += trace.tx + trace.rx
        for channel in channels:
            self._pending += _wave_bytes(trace.waves[channel])
        self.count += 1
        if len(self._pending) >= _FLUSH_BYTES or time.monotonic() - self._flushed >= _FLUSH_SECONDS:
            self._flush()

    def append_arrays(self, waves: Dict[int, Any], tx: Any, rx: Any, labels: Optional[Sequence[str]] = None,
                      status: Any = None) -> None:
        """Adds k traces in one write: waves channel -> (k, samples) int16,
        tx (k, tx_len) and rx (k, rx_len) uint8, labels k names. TRS keeps no
        status."""
        if self._fd is None:
            raise ValueError("the trace file %s is closed" % self.path)
        arrays, tx, rx, k = self._check_batch(waves, tx, rx, labels)
        self._ready(self.layout["channels"], self.layout["samples"], tx.shape[1], rx.shape[1], None)
        record, title = self._record, self._title
        buf = _np.empty((k, record), dtype=_np.uint8)
        if title:
            names = [str(s).encode("utf-8")[:title].ljust(title) for s in (labels or [""] * k)]
            buf[:, :title] = _np.frombuffer(b"".join(names), dtype=_np.uint8).reshape(k, title)
        at = title
        buf[:, at:at + tx.shape[1]] = tx
        at += tx.shape[1]
        buf[:, at:at + rx.shape[1]] = rx
        at += rx.shape[1]
        samples = self.layout["samples"]
        for c in self.layout["channels"]:
            _np.ndarray((k, samples), dtype="<i2", buffer=buf, offset=at, strides=(record, 2))[...] = arrays[c]
            at += 2 * samples
        self._flush()
        self.count += k
        self._write_records(buf, k)

    def _remove(self) -> None:
        """Not even a header: leaves no file that no reader would take."""
        self._close_fd()
        self.count = 0
        try:
            os.unlink(self.path)
        except OSError:
            pass

    def _close_fd(self) -> None:
        fd, self._fd = self._fd, None
        if fd is not None:
            os.close(fd)

    def _finish(self, quiet: bool) -> None:
        """Cuts the file to its whole traces, patches NT and the description."""
        fd = self._fd
        try:
            os.ftruncate(fd, self._data_at + self._on_disk * self._record)
            os.pwrite(fd, struct.pack("<I", self._on_disk), self._nt_at)
            description = self._description()
            if len(description) <= self._dc_size:
                os.pwrite(fd, description.ljust(self._dc_size), self._dc_at)
        except OSError as e:
            if not quiet:
                raise _disk_error(e, self.path) from e
        finally:
            self._close_fd()

    def close(self) -> None:
        """Writes what is pending, patches the trace count (and the
        description) and closes the file."""
        if self._fd is None:
            return
        if self.layout is None:
            self.layout = {"channels": [], "samples": 0, "tx_len": 0, "rx_len": 0}
        if self._data_at == 0:
            self._start()
        self._flush()
        self._finish(quiet=False)

    def abort(self) -> None:
        """Keeps every whole trace written so far, patches the count and closes;
        never raises (the run is already failing). ``count`` is then the
        traces the file holds; a file that never got a trace is removed."""
        if self._fd is None:
            return
        try:
            if self._data_at == 0 and self.layout is not None:
                self._start()
            if self._data_at:
                self._flush()
                self._finish(quiet=True)
            else:
                self._remove()
        except OSError:
            self._close_fd()


def _tlv(tag: int, value: bytes, long_form: bool = False) -> bytes:
    n = len(value)
    if n < 0x80 and not long_form:
        return bytes((tag, n)) + value
    return bytes((tag, 0x84)) + struct.pack("<I", n) + value


def open_writer(path: str, metadata: Optional[Dict[str, Any]] = None, *, labels: bool = False,
                resume: bool = False, sample_period: Optional[float] = None) -> TraceWriter:
    """A writer for ``path``, by its suffix: ``.trs`` TRS, ``.npz`` NumPy zip,
    ``.zarr`` zarr directory store. ``resume`` (TRS and zarr) appends to an
    existing set: ``writer.count`` is then the traces it holds and
    ``writer.metadata`` its stored metadata."""
    path = os.fspath(path)
    suffix = os.path.splitext(path.rstrip("/"))[1].lower()
    if suffix == ".trs":
        return TrsWriter(path, metadata, sample_period=sample_period, labels=labels, resume=resume)
    if suffix == ".npz":
        if resume:
            raise ValueError("%s: only TRS and zarr sets can be resumed" % path)
        from .traces_npz import NpzWriter
        return NpzWriter(path, metadata, labels=labels, sample_period=sample_period)
    if suffix == ".zarr":
        from .traces_zarr import ZarrWriter
        return ZarrWriter(path, metadata, labels=labels, resume=resume, sample_period=sample_period)
    raise ValueError("%s: unknown trace-file type (use .trs, .npz or .zarr)" % path)


def write_npz(path: str, traces: Iterable[Trace], metadata: Optional[Dict[str, Any]] = None,
              compressed: bool = False) -> int:
    """Writes the traces (all with the same channels and lengths) to a .npz
    file; returns how many. Needs numpy."""
    from .traces_npz import NpzWriter
    with NpzWriter(os.fspath(path), metadata, compressed=compressed) as w:
        for t in traces:
            w.append(t)
    return w.count
