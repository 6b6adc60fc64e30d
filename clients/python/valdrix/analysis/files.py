"""Running an analysis over a whole trace file: chunk by chunk in bounded
memory on every core, or as Dask tasks on a cluster whose workers reopen the
file by its path and return accumulators that the caller merges."""

from __future__ import annotations

import os
import struct
import zipfile
from typing import Any, Callable, Dict, Iterable, Optional, Tuple

import numpy as np

from ..errors import TraceFileError
from ..traces import read_traces
from .aes import HW, SBOX
from . import engine
from .engine import NonFiniteError
from .models import as_model
from .reader import chunk_rows as reader_rows, record_chunks
from .stats import CPA, SNR, TTest, _list

__all__ = ["analyze", "open_set", "FILE_ERRORS"]

#: What reading a file that is not a trace set may raise.
FILE_ERRORS: Tuple[type, ...] = (TraceFileError, ValueError, OSError, KeyError, IndexError, EOFError, OverflowError,
                                 MemoryError, struct.error, zipfile.BadZipFile)

_LABEL_CODES = {"fixed": 0, "random": 1}
class _Source:
    """One channel (and sample window) of a trace set, read in chunks of
    numpy arrays: views of the memory-mapped file where the format allows."""

    def __init__(self, ts: Any, channel: Optional[int] = None, window: Optional[Tuple[int, int]] = None,
                 limit: Optional[int] = None) -> None:
        self.ts = ts
        channels = list(ts.channels)
        if not channels:
            raise ValueError("the trace set holds no samples")
        if channel is None:
            # Channel B carries the target's supply current on this instrument.
            channel = 2 if 2 in channels else channels[0]
        if channel not in channels:
            raise ValueError("the trace set has no channel %d (it has %s)" % (channel, _list(channels)))
        self.channel = channel
        self.waves = ts.waves[channel]
        total = int(self.waves.shape[0]) if hasattr(self.waves, "shape") else len(self.waves)
        self.n = total if limit is None else min(total, limit)
        samples = int(ts.samples)
        if samples == 0 or total == 0:
            raise ValueError("no traces with samples in the file: not a trace set, or an empty one")
        a, b = window if window is not None else (0, samples)
        if not (0 <= a < b <= samples):
            raise ValueError("the window %d:%d does not lie within the %d samples of a trace" % (a, b, samples))
        self.window = (a, b)
        self.samples = b - a
        self._tx_list = None

    def chunk_rows(self, budget: int = 32 << 20) -> int:
        """Traces per chunk: about ``budget`` bytes of samples where a chunk is
        read into memory, 8 times that where it is a view of a mapped file or
        of an array already in memory (fewer, larger steps for the kernel)."""
        if isinstance(self.waves, np.ndarray):
            budget *= 8
        rows = min(65535, max(256, budget // max(2 * self.samples, 1)))
        store = getattr(self.waves, "chunks", None)  # a zarr array: whole chunks of the store
        if isinstance(store, tuple) and store and isinstance(store[0], int) and store[0] > 0:
            rows = max(store[0], rows // store[0] * store[0])
        return rows

    def samples_of(self, start: int, stop: int, records: Optional[np.ndarray] = None) -> np.ndarray:
        """The samples of traces [start, stop): from ``records``, their
        records as reader.record_chunks copied them, where given."""
        a, b = self.window
        if records is not None:
            layout = self.ts.record_layout
            dtype = np.dtype(layout.dtype)
            return np.ndarray((len(records), b - a), dtype=dtype, buffer=records,
                              offset=layout.waves_at[self.channel] + a * dtype.itemsize,
                              strides=(records.strides[0], dtype.itemsize))
        x = self.waves[start:stop, a:b] if hasattr(self.waves, "shape") else np.asarray(
            [row[a:b] for row in self.waves[start:stop]])
        return np.asarray(x)

    def _extras(self, start: int, stop: int) -> Any:
        """The inputs and labels of traces [start, stop), without their samples."""
        a = self.window[0]
        return self.ts.read(start, stop, self.channel, (a, a))

    def data_of(self, field: str, start: int, stop: int, records: Optional[np.ndarray] = None) -> np.ndarray:
        """The inputs ("tx") or answers ("rx") of traces [start, stop), (n, width) bytes."""
        whole = getattr(self.ts, field + "_array", None)
        if records is not None:
            at = getattr(self.ts.record_layout, field + "_at")
            return records[:, at:at + whole.shape[1]].copy()
        if isinstance(whole, np.ndarray):
            return engine.copy_rows(whole[start:stop])
        if hasattr(self.ts, "read"):
            return getattr(self._extras(start, stop), field)
        rows = getattr(self.ts, field)[start:stop]
        width = len(rows[0]) if len(rows) else 0
        return np.frombuffer(b"".join(rows), dtype=np.uint8).reshape(len(rows), width)

    def labels_of(self, start: int, stop: int) -> np.ndarray:
        if hasattr(self.ts, "read"):
            codes = np.asarray(self._extras(start, stop).labels).astype(np.int32)
            names = list(getattr(self.ts, "label_names", None) or ["fixed", "random"])
            # Map the set's own codes onto 0 = fixed, 1 = random, -1 anything else.
            lut = np.array([_LABEL_CODES.get(name, -1) for name in names] + [-1], dtype=np.int32)
            return np.where(codes >= 0, lut[np.clip(codes, 0, len(names))], -1).astype(np.int32)
        labels = getattr(self.ts, "labels", None) or []
        if not len(labels):
            return np.full(stop - start, -1, dtype=np.int32)
        return np.array([_LABEL_CODES.get(str(s).strip(), -1) for s in labels[start:stop]], dtype=np.int32)

    def has_labels(self) -> bool:
        if hasattr(self.ts, "labelled"):
            return bool(self.ts.labelled) and bool((self.labels_of(0, min(self.n, 4096)) >= 0).any())
        return bool(getattr(self.ts, "labels", None))

    def data_width(self, field: str = "tx") -> int:
        rows = getattr(self.ts, field + "_array", None)
        if rows is not None:
            return int(rows.shape[1]) if rows.ndim == 2 else 0
        rows = getattr(self.ts, field)
        return len(rows[0]) if len(rows) else 0
def open_set(path: Any, **options: Any) -> Any:
    """Reads a trace set (TRS, .npz, a zarr store, HDF5, ...) for analysis,
    with the reader's options (an HDF5 group, mapped names); a file that is
    not one raises TraceFileError (a ValueError)."""
    try:
        return read_traces(path, **options)
    except (TraceFileError, OSError):
        raise
    except FILE_ERRORS as e:
        raise TraceFileError("%s: not a trace set (%s)" % (path, e)) from e


def _snr_bytes(params: Dict[str, Any]) -> list:
    byte = params.get("byte")
    return list(range(16)) if byte is None else [byte]


def _new_accumulator(kind: str, samples: int, params: Dict[str, Any]) -> Any:
    if kind == "tvla":
        return TTest(samples, order=params.get("order", 1))
    if kind == "snr":
        return SNR(samples, classes=9 if params.get("key") is not None else 256)
    if kind == "cpa":
        return CPA(samples, model=params.get("model"), bytes=params.get("bytes", range(16)))
    raise ValueError("unknown analysis %r (tvla, snr or cpa)" % (kind,))


def snr_classes(pts: np.ndarray, key: Optional[bytes], byte: Optional[int] = None) -> np.ndarray:
    """The classes of an SNR over plaintexts: pt[b] itself, or with the key the
    Hamming weight of the first round's S-box output HW(Sbox(pt[b] ^ key[b])),
    which (unlike Sbox(pt[b] ^ key[b]), a one-to-one function of pt[b]) groups
    traces by what the key decides. (n, 16), or (n,) for one ``byte``."""
    pts = np.asarray(pts, dtype=np.uint8)
    cols = slice(None) if byte is None else byte
    values = pts[:, :16][:, cols]
    if key is None:
        return values
    k = np.frombuffer(bytes(key), dtype=np.uint8)[cols]
    return HW[SBOX[values ^ k]]


def _feed(acc: Any, src: "_Source", kind: str, params: Dict[str, Any], start: int, stop: int,
          records: Optional[np.ndarray] = None) -> None:
    x = src.samples_of(start, stop, records)
    try:
        if kind == "tvla":
            acc.update(x, src.labels_of(start, stop))
        elif kind == "snr":
            acc.update(x, snr_classes(src.data_of("tx", start, stop, records), params.get("key"), params.get("byte")))
        else:
            acc.update(x, src.data_of(acc.model.field, start, stop, records))
    except NonFiniteError as e:
        raise NonFiniteError(e.count, e.traces, e.trace + start, e.sample + src.window[0], e.value) from None


def _check(src: "_Source", kind: str, params: Dict[str, Any]) -> None:
    if src.n == 0:
        raise ValueError("the trace set holds no traces")
    if kind == "tvla" and not src.has_labels():
        raise ValueError("the traces are not labelled fixed or random (capture with valdrix-capture --tvla)")
    if kind == "snr":
        need = max(_snr_bytes(params)) + 1
        if src.data_width("tx") < need:
            raise ValueError("the traces carry %d input bytes, the analysis needs %d" % (src.data_width("tx"), need))
    if kind == "cpa":
        model = params["model"]
        need = max(model.needs(b) for b in params.get("bytes", range(16)))
        width = src.data_width(model.field)
        if width < need:
            what = "input" if model.field == "tx" else "answer (ciphertext)"
            raise ValueError("the traces carry %d %s bytes, the %s model needs %d" % (width, what, model.name, need))


def _accumulate_part(path: str, kind: str, params: Dict[str, Any], start: int, stop: int) -> Any:
    """A Dask task: reopens the set by path, accumulates traces [start, stop)."""
    src = _Source(open_set(path, **params.get("read_options", {})), params.get("channel"), params.get("window"))
    acc = _new_accumulator(kind, src.samples, params)
    step = src.chunk_rows()
    for a in range(start, stop, step):
        _feed(acc, src, kind, params, a, min(stop, a + step))
    return acc


def analyze(path_or_set: Any, kind: str, *, channel: Optional[int] = None, window: Optional[Tuple[int, int]] = None,
            traces: Optional[int] = None, order: int = 1, key: Optional[bytes] = None, byte: Optional[int] = None,
            model: Any = None, bytes_: Iterable[int] = range(16), scheduler: Optional[str] = None,
            progress: Optional[Callable[[int, int], None]] = None) -> Any:
    """Runs one analysis ("tvla", "snr" or "cpa") over a trace set and returns
    the filled accumulator (TTest, SNR or CPA).

    path_or_set: a file path or a TraceSet; channel: default 2 where the set has
    it; window: (a, b) samples; traces: only the first N. snr: every byte of
    the plaintext in one pass (``snr()`` is then (16, samples)), or ``byte``
    alone; classes are pt[b], or HW(Sbox(pt[b] ^ key[b])) with a key. cpa:
    ``model`` (a Model, a name such as "last-round-hd", or f(values,
    guesses)), ``bytes_`` the bytes to attack. scheduler: a Dask scheduler
    address: the file is then read by the cluster's workers by its path (which
    they must see). progress(done, total) is called as traces are added.
    Samples that are NaN or infinite raise NonFiniteError (a ValueError)
    naming the first."""
    params: Dict[str, Any] = {"channel": channel, "window": window, "order": order, "byte": byte,
                              "key": None if key is None else bytes(key), "model": as_model(model),
                              "bytes": list(bytes_)}
    if params["key"] is not None and len(params["key"]) != 16:
        raise ValueError("a key is 16 bytes, got %d" % len(params["key"]))
    ts = open_set(path_or_set) if isinstance(path_or_set, (str, os.PathLike)) else path_or_set
    if traces is not None and traces < 1:
        raise ValueError("at least 1 trace must be analysed, not %d" % traces)
    src = _Source(ts, channel, window, traces)
    params["channel"] = src.channel
    params["window"] = src.window
    _check(src, kind, params)
    if scheduler:
        path = getattr(ts, "path", None) or (os.fspath(path_or_set) if isinstance(path_or_set, (str, os.PathLike))
                                             else None)
        if not path:
            raise ValueError("a Dask run needs the trace set's path")
        # Workers reopen the same set: the same HDF5 group, the same mapped names.
        params["read_options"] = dict(getattr(ts, "read_options", None) or {})
        return _analyze_dask(os.path.abspath(path), kind, params, src, scheduler, progress)
    acc = _new_accumulator(kind, src.samples, params)
    # An SNR adds every sample into a sum per class of each byte: what is
    # left to win is the mapping's page faults, which copying the records avoids.
    layout = getattr(ts, "record_layout", None) if kind == "snr" else None
    fd = layout.open() if layout is not None else None
    if fd is not None:
        chunks = record_chunks(layout, fd, 0, src.n, reader_rows(layout))
    else:
        step = src.chunk_rows()
        chunks = ((a, min(src.n, a + step), None) for a in range(0, src.n, step))
    try:
        for a, b, records in chunks:
            _feed(acc, src, kind, params, a, b, records)
            if progress:
                progress(b, src.n)
    finally:
        chunks.close()
    return acc
def _analyze_dask(path: str, kind: str, params: Dict[str, Any], src: _Source, scheduler: str,
                  progress: Optional[Callable[[int, int], None]]) -> Any:
    try:
        from distributed import Client, as_completed
    except ImportError as e:
        raise RuntimeError("--scheduler needs Dask (Debian: python3-dask python3-distributed)") from e
    try:
        client = Client(scheduler, timeout="10s")
    except (OSError, TimeoutError, ValueError) as e:  # ValueError: not an address
        raise RuntimeError("cannot reach the Dask scheduler at %s: %s" % (scheduler, e)) from e
    with client:
        try:
            client.wait_for_workers(1, timeout=10)
        except (OSError, TimeoutError) as e:
            raise RuntimeError("the Dask scheduler at %s has no workers" % scheduler) from e
        workers = max(1, sum(client.nthreads().values()))
        step = src.chunk_rows()
        # A few parts per worker thread, whole chunks each, so the cluster stays busy to the end.
        per = max(step, -(-src.n // (4 * workers)) // step * step)
        parts = [(a, min(src.n, a + per)) for a in range(0, src.n, per)]
        futures = {client.submit(_accumulate_part, path, kind, params, a, b, pure=False): (a, b) for a, b in parts}
        acc = None
        done = 0
        for future in as_completed(futures):
            a, b = futures[future]
            try:
                part = future.result()
            except Exception as e:  # raised on a worker (which may not see the file) or a worker lost
                raise RuntimeError("a Dask worker failed on traces %d to %d of %s: %s: %s"
                                   % (a, b - 1, path, type(e).__name__, e)) from e
            acc = part if acc is None else acc.merge(part)
            done += b - a
            if progress:
                progress(done, src.n)
            future.release()
    return acc


