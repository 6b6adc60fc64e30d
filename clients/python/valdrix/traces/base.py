"""What every trace-set format shares: the trace set read as it is asked
for (``TraceSet``, ``TraceChunk``), the writers' common behaviour
(``TraceWriter``), layout checks, safe opening of a file that may be a FIFO
or a device, and the write-to-a-temporary-then-rename step.

A file that is not a well-formed trace set raises ``TraceFileError`` naming
the file and the fault, from whichever access path met it; what is read is
bounded by the file's size, never by a count its header claims.
"""

from __future__ import annotations

import errno
import html
import json
import fcntl
import math
import os
import shutil
import stat
import tempfile
from typing import IO, Any, Callable, Dict, Iterator, List, Optional, Sequence, Tuple

from ..errors import TraceFileError
from ..trace import Trace

import numpy as _np

#: Label codes: ``label_array`` holds 0 for "fixed", 1 for "random", -1 for an
#: unlabelled trace; other names get 2, 3, ... in ``label_names``.
LABEL_NAMES = ("fixed", "random")
UNLABELLED = -1
# Chunks handed out by default hold about this many bytes of samples and data.
CHUNK_BYTES = 4 << 20


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
        .npz.
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
                 status_array: Any = None, chunk_traces: Optional[int] = None, key_array: Any = None,
                 guard: Optional[Callable[[Callable[[], Any]], Any]] = None) -> None:
        self.waves = waves
        self.metadata = metadata if metadata is not None else {}
        self.sample_period = float(sample_period or 0.0)
        self.path, self.format = path, format
        self.status_array = status_array
        #: per-trace keys, an (n, key bytes) uint8 array-like, for the formats that store them
        self.key_array = key_array
        #: what ``read_traces(path, **read_options)`` needs to reopen the same set
        #: in another process (the group, the names a foreign file was read with)
        self.read_options: Dict[str, Any] = {}
        #: for a TRS file, where its records lie (a trs.RecordLayout), else None
        self.record_layout: Any = None
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

    def _repr_html_(self) -> str:
        """A notebook's view: what the set holds, from its layout and
        settings alone (nothing is read from the traces)."""
        period = self.sample_period
        rows = [("file", "%s (%s)" % (self.path, self.format) if self.path else "in memory"),
                ("traces", "{:,}".format(self._n)),
                ("channels", ", ".join(map(str, self.channels)) or "none"),
                ("samples", "{:,} per channel and trace".format(self.samples)
                 + (" at %s kS/s (%.6g s)" % ("%.6g" % (1e-3 / period), period * self.samples) if period else "")),
                ("inputs / outputs", "%d / %d bytes per trace" % (self._width(self._tx_array, self._tx),
                                                                  self._width(self._rx_array, self._rx)))]
        if self.labelled:
            rows.append(("labels", ", ".join(self.label_names)))
        key = getattr(self, "key_array", None)
        if key is not None and getattr(key, "shape", None):
            rows.append(("key", "%d bytes per trace" % (key.shape[-1] if len(key.shape) > 1 else key.shape[0])))
        for name in sorted(self.metadata)[:12]:
            value = self.metadata[name]
            text = json.dumps(value, sort_keys=True, default=str) if not isinstance(value, str) else value
            rows.append((name, text if len(text) <= 120 else text[:117] + "..."))
        if len(self.metadata) > 12:
            rows.append(("", "and %d more settings in .metadata" % (len(self.metadata) - 12)))
        body = "".join("<tr><th style=\"text-align:left\">%s</th><td style=\"text-align:left\">%s</td></tr>"
                       % (html.escape(k), html.escape(v)) for k, v in rows)
        return "<table><caption style=\"text-align:left\">TraceSet</caption>%s</table>" % body

    @staticmethod
    def _width(array: Any, rows: Any) -> int:
        shape = getattr(array, "shape", None)
        if shape is not None and len(shape) == 2:
            return int(shape[1])
        return len(rows[0]) if rows is not None and len(rows) else 0

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
            self._codes = _np.array(codes, dtype=_np.int8)
        self._names = names

    def _label_codes(self, start: int, stop: int) -> Any:
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


def _is_int(v: Any) -> bool:
    return isinstance(v, int) and not isinstance(v, bool)


def _is_period(v: Any) -> bool:
    return isinstance(v, (int, float)) and not isinstance(v, bool) and math.isfinite(v) and v > 0


def open_entry(path: str, store: Optional[str] = None, follow: bool = True) -> Tuple[IO[bytes], int]:
    """Opens a file for reading only if it is a regular file, with its size.

    A FIFO, socket or device is refused without being opened (a FIFO would
    block the open, a device could feed bytes forever); the open itself does
    not block either, for an entry swapped in between. ``store``: the trace
    set the entry belongs to, named in the errors (the entry's path
    relative to it). ``follow=False`` refuses symbolic links."""
    where = (store, os.path.relpath(path, store)) if store else (path, None)

    def fault(problem: str) -> TraceFileError:
        return TraceFileError(where[0], "%s %s" % (where[1], problem) if where[1] else problem)
    try:
        st = os.lstat(path)
        if stat.S_ISLNK(st.st_mode):
            if not follow:
                raise fault("is a symbolic link, which is not followed")
            st = os.stat(path)
    except OSError as e:
        if not where[1] and e.errno != errno.ELOOP:
            raise  # the file asked for: missing or unreadable, the OSError it is
        if isinstance(e, FileNotFoundError):
            raise fault("does not exist") from None
        if e.errno == errno.ELOOP:
            raise fault("is a loop of symbolic links") from None
        raise fault(e.strerror or str(e)) from None
    if stat.S_ISDIR(st.st_mode):
        raise fault("is a directory" if where[1] else "a directory, not a trace file")
    if not stat.S_ISREG(st.st_mode):
        raise fault("is not a regular file" if where[1] else "not a regular file")
    flags = os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0) | (0 if follow else os.O_NOFOLLOW)
    try:
        fd = os.open(path, flags)
    except OSError as e:
        if not where[1] and e.errno != errno.ELOOP:
            raise
        raise fault(e.strerror or str(e)) from None
    st = os.fstat(fd)
    if not stat.S_ISREG(st.st_mode):
        os.close(fd)
        raise fault("is not a regular file" if where[1] else "not a regular file")
    os.set_blocking(fd, True)
    return os.fdopen(fd, "rb"), st.st_size


_regular_file = open_entry


def put_file(path: str, data: Any) -> None:
    """Writes ``data`` beside ``path`` and renames it over it: a reader, a
    full disk or a kill leaves the old file or the new one, whole, and at
    worst a hidden ``.NAME.<pid>.part`` that the next writer removes."""
    folder, name = os.path.split(path)
    tmp = os.path.join(folder, ".%s.%d.part" % (name, os.getpid()))
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | getattr(os, "O_CLOEXEC", 0), 0o666)
    try:
        view = memoryview(data).cast("B")
        while view:
            view = view[os.write(fd, view):]
        os.close(fd)
        fd = -1
        os.replace(tmp, path)
    except BaseException:
        if fd >= 0:
            os.close(fd)
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def temporary_beside(path: str) -> Tuple[str, int]:
    """A new directory ``.NAME.<random>.part`` beside ``path`` for a writer
    that renames its result into place, and the fd of the lock that marks it
    in use. Left-overs of killed writers of the same name are removed first."""
    remove_leftovers(path)
    parent, name = os.path.split(os.path.abspath(path.rstrip("/")))
    tmp = tempfile.mkdtemp(prefix="." + name + ".", suffix=".part", dir=parent)
    try:
        return tmp, hold_lock(tmp)
    except OSError:
        shutil.rmtree(tmp, ignore_errors=True)
        raise


def remove_leftovers(path: str) -> List[str]:
    """Removes the ``.NAME.*.part`` directories that killed writers of
    ``path`` left beside it, but not one a live writer holds locked;
    returns those removed."""
    parent, name = os.path.split(os.path.abspath(path.rstrip("/")))
    removed = []
    try:
        entries = os.listdir(parent)
    except OSError:
        return removed
    for entry in entries:
        if not (entry.startswith("." + name + ".") and entry.endswith(".part")):
            continue
        full = os.path.join(parent, entry)
        try:
            st = os.lstat(full)
        except OSError:
            continue
        if not stat.S_ISDIR(st.st_mode) or _locked(full):
            continue
        shutil.rmtree(full, ignore_errors=True)
        removed.append(full)
    return removed


def _locked(directory: str) -> bool:
    """Whether a live writer holds the lock file of its temporary directory."""
    lock = os.path.join(directory, ".lock")
    try:
        fd = os.open(lock, os.O_RDWR | os.O_NOFOLLOW | getattr(os, "O_CLOEXEC", 0))
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        return True
    finally:
        os.close(fd)
    return False


def hold_lock(directory: str) -> int:
    """Takes the lock that tells ``remove_leftovers`` this temporary
    directory is being written; released when the returned fd is closed
    (by the writer or by the kernel when the process dies)."""
    fd = os.open(os.path.join(directory, ".lock"), os.O_RDWR | os.O_CREAT | getattr(os, "O_CLOEXEC", 0), 0o666)
    fcntl.flock(fd, fcntl.LOCK_EX)
    return fd


def _sample_period(metadata: Dict[str, Any]) -> Optional[float]:
    khz = metadata.get("sample_rate_khz")
    return 1.0 / (khz * 1000.0) if isinstance(khz, (int, float)) and khz > 0 else None


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


