"""Zarr directory stores of traces (zarr format 2, Debian's python3-zarr).

Layout: one group; arrays ``channel_1``, ``channel_2`` (n x samples int16),
``tx``, ``rx`` (n x bytes uint8), ``label`` (n int8 codes: 0 fixed, 1 random,
-1 none; labelled sets only) and ``status`` (n uint32, when the capture status
is known), all chunked by traces with the same number of traces per chunk
(about 4 MiB of samples per channel chunk), Blosc-LZ4 compressed. The group's
attributes are the campaign's metadata plus ``sample_period`` (seconds) and
``layout`` (channels, samples, tx_len, rx_len, label_names).

The writer fills a temporary directory next to the target and renames it to
the asked-for name when it closes; ``abort()`` removes it. With
``resume=True`` it appends to an existing store in place (growing the first
axis), after cutting every array back to the shortest one; a store whose run
was killed before it was renamed is taken from its temporary directory.

The reader checks every array's metadata itself before zarr sees it (dtype,
shape, chunk size, codecs: Blosc or none, never a filter), that the chunks a
shape claims exist and, before decoding one, its Blosc header, so a store's
claims cannot make it allocate or loop beyond what the directory holds.
"""

from __future__ import annotations

import errno
import json
import math
import os
import shutil
import struct
import tempfile
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..errors import TraceFileError
from .base import (CHUNK_BYTES, LABEL_NAMES, TraceSet, TraceWriter, _disk_error, _is_int, _is_period,
                     _sample_period, label_code)

try:
    import zarr
except ImportError:  # pragma: no cover - depends on the host
    zarr = None

__all__ = ["read_zarr", "ZarrWriter"]

# Blosc's output is bounded by its header, checked against the chunk's size
# before decoding; other codecs size their output from what the chunk holds
# or claims, so they are not read.
_COMPRESSORS = {"blosc"}
_MAX_CHUNK = 64 << 20
_RESERVED = ("layout", "sample_period")


def _need_zarr() -> None:
    if zarr is None:
        raise ImportError("zarr trace stores need zarr (Debian: python3-zarr)")


def _json(path: str, name: str) -> Any:
    try:
        with open(os.path.join(path, name), "rb") as f:
            return json.loads(f.read().decode("utf-8"))
    except (FileNotFoundError, NotADirectoryError):
        return None
    except (ValueError, RecursionError, IsADirectoryError) as e:
        raise TraceFileError(path, "%s is not JSON (%s)" % (name, e)) from None


def _array_meta(path: str, name: str, ndim: int, dtypes: Tuple[str, ...]) -> Optional[Dict[str, Any]]:
    """The checked metadata of array ``name``, None when it is absent."""
    meta = _json(path, os.path.join(name, ".zarray"))
    if meta is None:
        return None
    where = "array %s" % name
    if not isinstance(meta, dict) or meta.get("zarr_format") != 2:
        raise TraceFileError(path, "%s is not a zarr format 2 array" % where)
    shape, chunks = meta.get("shape"), meta.get("chunks")
    if (not isinstance(shape, list) or not isinstance(chunks, list) or len(shape) != ndim or len(chunks) != ndim
            or not all(_is_int(v) and v >= 0 for v in shape) or not all(_is_int(v) and v >= 1 for v in chunks)):
        raise TraceFileError(path, "%s has a malformed shape or chunking" % where)
    if meta.get("dtype") not in dtypes:
        raise TraceFileError(path, "%s has dtype %r where %s was due" % (where, meta.get("dtype"), " or ".join(dtypes)))
    itemsize = np.dtype(meta["dtype"]).itemsize
    if math.prod(chunks) * itemsize > _MAX_CHUNK:
        raise TraceFileError(path, "%s has chunks of %d bytes (at most %d)" % (where, math.prod(chunks) * itemsize,
                                                                               _MAX_CHUNK))
    compressor = meta.get("compressor")
    if compressor is not None and (not isinstance(compressor, dict) or compressor.get("id") not in _COMPRESSORS):
        raise TraceFileError(path, "%s uses an unsupported compressor" % where)
    if meta.get("filters") not in (None, []):
        raise TraceFileError(path, "%s has filters (only Blosc chunks are read)" % where)
    if meta.get("order") not in ("C", "F") or meta.get("dimension_separator", ".") != ".":
        raise TraceFileError(path, "%s has an unsupported order or chunk naming" % where)
    if not isinstance(meta.get("fill_value"), (int, float, type(None))):
        raise TraceFileError(path, "%s has a malformed fill value" % where)
    needed = math.prod(-(-s // c) for s, c in zip(shape, chunks))
    if needed:
        held = sum(1 for entry in os.listdir(os.path.join(path, name)) if not entry.startswith("."))
        if held < needed:
            raise TraceFileError(path, "%s claims %s entries in %d chunks, %d are there" % (
                where, "x".join(map(str, shape)), needed, held))
    return meta


class _CheckedArray:
    """A zarr array whose chunks are checked before zarr decodes them: a
    Blosc chunk must say it unpacks to the chunk's size and fill its file, so
    a broken or hostile chunk cannot make the decoder allocate what it claims.
    Other attributes are the zarr array's."""

    def __init__(self, path: str, name: str, array: Any) -> None:
        self._path, self._name, self._array = path, name, array
        self._dir = os.path.join(path, name)
        self._blosc = (array.compressor is not None and array.compressor.codec_id == "blosc")
        self._chunk_bytes = math.prod(array.chunks) * array.dtype.itemsize
        self._checked: set = set()

    def __getattr__(self, name: str) -> Any:
        return getattr(self._array, name)

    def __len__(self) -> int:
        return self._array.shape[0]

    def __array__(self, dtype: Any = None) -> Any:
        return np.asarray(self[...], dtype=dtype)

    def _check(self, start: int, stop: int) -> None:
        if not self._blosc or stop <= start:
            return
        rows = self._array.chunks[0]
        columns = 1 if self._array.ndim == 1 else -(-self._array.shape[1] // self._array.chunks[1])
        for i in range(start // rows, -(-stop // rows)):
            for j in range(columns):
                key = "%d" % i if self._array.ndim == 1 else "%d.%d" % (i, j)
                if key in self._checked:
                    continue
                chunk = os.path.join(self._dir, key)
                try:
                    with open(chunk, "rb") as f:
                        head = f.read(16)
                        size = os.fstat(f.fileno()).st_size
                except FileNotFoundError:
                    continue  # zarr fills a missing chunk
                if len(head) < 16:
                    raise TraceFileError(self._path, "chunk %s/%s is cut short" % (self._name, key))
                nbytes, block, cbytes = struct.unpack("<III", head[4:16])
                if nbytes != self._chunk_bytes or cbytes != size or block > nbytes:
                    raise TraceFileError(self._path, "chunk %s/%s claims %d bytes in %d, a chunk holds %d in %d" % (
                        self._name, key, nbytes, cbytes, self._chunk_bytes, size))
                self._checked.add(key)

    def __getitem__(self, key: Any) -> Any:
        first = key[0] if isinstance(key, tuple) else key
        n = self._array.shape[0]
        if isinstance(first, slice):
            start, stop, _ = first.indices(n)
        elif first is Ellipsis:
            start, stop = 0, n
        else:
            try:
                start = int(first) + (n if int(first) < 0 else 0)
                stop = start + 1
            except TypeError:  # a selection of rows: check them all
                start, stop = 0, n
        self._check(max(0, start), min(n, stop))
        return self._array[key]


def read_zarr(path: str) -> TraceSet:
    """Reads a zarr store written by ``ZarrWriter`` (or one with its layout)."""
    _need_zarr()
    if not os.path.isdir(path):
        raise TraceFileError(path, "not a directory, so not a zarr store")
    group = _json(path, ".zgroup")
    if not isinstance(group, dict) or group.get("zarr_format") != 2:
        raise TraceFileError(path, "a directory but not a zarr group (no format 2 .zgroup)")
    attrs = _json(path, ".zattrs")
    if not isinstance(attrs, dict):
        raise TraceFileError(path, "the store has no attributes (.zattrs)")
    layout = attrs.get("layout")
    if not isinstance(layout, dict):
        raise TraceFileError(path, "the store has no layout attribute")
    channels = layout.get("channels")
    ints = [layout.get(k) for k in ("samples", "tx_len", "rx_len")]
    names = layout.get("label_names", list(LABEL_NAMES))
    if (not isinstance(channels, list) or not channels or not all(_is_int(c) and 0 < c < 256 for c in channels)
            or len(set(channels)) != len(channels) or not all(_is_int(v) and v >= 0 for v in ints)
            or not isinstance(names, list) or not all(isinstance(s, str) for s in names) or len(names) > 127):
        raise TraceFileError(path, "the layout attribute is malformed")
    samples, tx_len, rx_len = ints
    period = attrs.get("sample_period", 0.0)
    if period not in (0, 0.0, None) and not _is_period(period):
        raise TraceFileError(path, "sample_period %r is not a time" % (period,))
    expected = {"channel_%d" % c: (2, ("<i2",), samples) for c in channels}
    expected.update(tx=(2, ("|u1",), tx_len), rx=(2, ("|u1",), rx_len), label=(1, ("|i1",), None),
                    status=(1, ("<u4",), None))
    metas = {name: _array_meta(path, name, ndim, dtypes) for name, (ndim, dtypes, _) in expected.items()}
    lengths = {}
    for name, (ndim, _, width) in expected.items():
        meta = metas[name]
        if meta is None:
            if name not in ("label", "status"):
                raise TraceFileError(path, "the store has no %s array" % name)
            continue
        if width is not None and meta["shape"][1] != width:
            raise TraceFileError(path, "array %s is %d wide where the layout says %d" % (name, meta["shape"][1], width))
        lengths[name] = meta["shape"][0]
    if len(set(lengths.values())) != 1:
        raise TraceFileError(path, "arrays of different lengths: %s" % ", ".join(
            "%s %d" % item for item in sorted(lengths.items())))
    n = lengths["tx"]
    first = metas["channel_%d" % channels[0]]["chunks"][0]
    try:
        g = zarr.open_group(zarr.DirectoryStore(path), mode="r")
        arrays = {name: _CheckedArray(path, name, g[name]) for name, meta in metas.items() if meta is not None}
    except Exception as e:  # zarr and numcodecs raise many kinds for a broken store
        raise TraceFileError(path, "not a readable zarr store (%s)" % e) from None

    def guard(load: Callable[[], Any]) -> Any:
        try:
            return load()
        except (ValueError, RuntimeError, TypeError, KeyError, OSError) as e:
            raise TraceFileError(path, "a chunk cannot be read (%s)" % (str(e) or type(e).__name__)) from None

    metadata = {k: v for k, v in attrs.items() if k not in _RESERVED}
    label = arrays.get("label")
    return TraceSet({c: arrays["channel_%d" % c] for c in channels}, metadata=metadata,
                    sample_period=float(period or 0.0), path=path, format="zarr", count=n,
                    tx_array=arrays["tx"], rx_array=arrays["rx"], label_codes=label,
                    label_names=names if label is not None else None, status_array=arrays.get("status"),
                    chunk_traces=first, guard=guard)


class ZarrWriter(TraceWriter):
    """Writes a zarr trace store; see the module's notes."""

    def __init__(self, path: str, metadata: Optional[Dict[str, Any]] = None, *, labels: bool = False,
                 resume: bool = False, sample_period: Optional[float] = None) -> None:
        _need_zarr()
        self.path = path
        self.metadata = dict(metadata or {})
        self.sample_period = sample_period or _sample_period(self.metadata)
        self.labels = labels
        self.count = 0
        self.layout = None
        self.resumed = False
        self._label_names: List[str] = list(LABEL_NAMES)
        self._arrays: Dict[str, Any] = {}
        self._pending: List[Dict[str, Any]] = []
        self._pending_k = 0
        self._written = 0  # traces in every array
        self._chunk = 1
        self._status = False
        self._tmp: Optional[str] = None
        self._open = True
        try:
            if resume and not os.path.exists(path):
                self._adopt_crashed_run()
                if not os.path.exists(path):
                    raise OSError(errno.ENOENT, "no trace set to resume", path)
            if resume:
                self._resume()
            else:
                directory, name = os.path.split(os.path.abspath(path.rstrip("/")))
                self._tmp = tempfile.mkdtemp(prefix="." + name + ".", suffix=".part", dir=directory)
                self._group = zarr.open_group(zarr.DirectoryStore(self._tmp), mode="w")
        except OSError as e:
            self._cleanup()
            raise _disk_error(e, path) from e

    def _adopt_crashed_run(self) -> None:
        """A run that was killed never renamed its store into place: resuming
        takes the newest such store (it holds the metadata from its first
        batch on) as the asked-for one."""
        directory, name = os.path.split(os.path.abspath(self.path.rstrip("/")))
        found = [os.path.join(directory, entry) for entry in os.listdir(directory)
                 if entry.startswith("." + name + ".") and entry.endswith(".part")]
        found = [d for d in found if os.path.isfile(os.path.join(d, ".zattrs"))]
        if found:
            os.rename(max(found, key=os.path.getmtime), self.path.rstrip("/"))

    def _resume(self) -> None:
        try:
            ts = read_zarr(self.path)
        except TraceFileError as e:
            # A run stopped between arrays leaves them of different lengths:
            # cut them back to the shortest, as a TRS file is cut to its last
            # whole trace, then read again.
            if "different lengths" not in str(e):
                raise
            group = zarr.open_group(zarr.DirectoryStore(self.path), mode="r+")
            names = [k for k in group.array_keys()]
            shortest = min(group[k].shape[0] for k in names)
            for k in names:
                group[k].resize(shortest, *group[k].shape[1:])
            ts = read_zarr(self.path)
        self.resumed = True
        self._group = zarr.open_group(zarr.DirectoryStore(self.path), mode="r+")
        self.metadata = dict(ts.metadata)
        self.sample_period = ts.sample_period or self.sample_period
        attrs = self._group.attrs.asdict()
        self.layout = {k: attrs["layout"][k] for k in ("channels", "samples", "tx_len", "rx_len")}
        self._label_names = list(ts.label_names) if ts.labelled else list(LABEL_NAMES)
        self._arrays = {k: self._group[k] for k in self._group.array_keys()}
        self.labels = "label" in self._arrays
        self._status = "status" in self._arrays
        self._chunk = self._arrays["tx"].chunks[0]
        self.count = self._written = len(ts)

    def _create(self, status: bool) -> None:
        layout = self.layout
        samples = layout["samples"]
        self._chunk = max(1, CHUNK_BYTES // max(1, 2 * samples))
        compressor = zarr.storage.default_compressor

        def make(name: str, width: Optional[int], dtype: str, fill: int) -> None:
            shape = (0,) if width is None else (0, width)
            chunks = (self._chunk,) if width is None else (self._chunk, max(1, width))
            self._arrays[name] = self._group.create(name, shape=shape, chunks=chunks, dtype=dtype,
                                                    compressor=compressor, fill_value=fill)
        for c in layout["channels"]:
            make("channel_%d" % c, samples, "<i2", 0)
        make("tx", layout["tx_len"], "|u1", 0)
        make("rx", layout["rx_len"], "|u1", 0)
        if self.labels:
            make("label", None, "|i1", -1)
        self._status = status
        if status:
            make("status", None, "<u4", 0)
        self._save_attrs()

    def _save_attrs(self) -> None:
        layout = dict(self.layout or {"channels": [], "samples": 0, "tx_len": 0, "rx_len": 0},
                      label_names=self._label_names)
        attrs = {k: v for k, v in self.metadata.items() if k not in _RESERVED}
        attrs.update(layout=layout, sample_period=self.sample_period or 0.0)
        self._group.attrs.put(attrs)

    def append_arrays(self, waves: Dict[int, Any], tx: Any, rx: Any, labels: Optional[Sequence[str]] = None,
                      status: Any = None) -> None:
        """Adds k traces: waves channel -> (k, samples) int16, tx (k, tx_len)
        and rx (k, rx_len) uint8, k labels and k status words when known."""
        if not self._open:
            raise ValueError("the trace store %s is closed" % self.path)
        first = self.layout is None
        arrays, tx, rx, k = self._check_batch(waves, tx, rx, labels)
        try:
            if first:
                self.labels = self.labels or (labels is not None and any(labels))
                self._create(status is not None)
        except OSError as e:
            self._fail(e)
        batch: Dict[str, Any] = {"channel_%d" % c: a for c, a in arrays.items()}
        batch.update(tx=tx, rx=rx)
        if self.labels:
            codes = np.full(k, -1, dtype=np.int8)
            if labels is not None:
                codes[:] = [label_code(str(s), self._label_names) for s in labels]
            batch["label"] = codes
        if self._status:
            batch["status"] = np.zeros(k, dtype="<u4") if status is None else np.asarray(status, dtype="<u4")
        self._pending.append(batch)
        self._pending_k += k
        self.count += k
        if self._pending_k >= self._chunk:
            self._flush()

    def _flush(self) -> None:
        if not self._pending:
            return
        pending, self._pending, k = self._pending, [], self._pending_k
        self._pending_k = 0
        try:
            for name, array in self._arrays.items():
                array.append(np.concatenate([b[name] for b in pending]), axis=0)
        except OSError as e:
            self._fail(e)
        self._written += k

    def _fail(self, e: OSError) -> None:
        self.abort()
        raise _disk_error(e, self.path) from e

    def close(self) -> None:
        """Writes what is pending and the attributes, then renames the
        temporary store to the asked-for name."""
        if not self._open:
            return
        try:
            if self.layout is None:
                self.layout = {"channels": [], "samples": 0, "tx_len": 0, "rx_len": 0}
            self._flush()
            self._save_attrs()
            if self._tmp is not None:
                self._rename()
        except OSError as e:
            self._fail(e)
        self._open = False
        self._cleanup()

    def _rename(self) -> None:
        target = self.path.rstrip("/")
        old = None
        if os.path.isdir(target):
            directory, name = os.path.split(os.path.abspath(target))
            old = tempfile.mkdtemp(prefix="." + name + ".", suffix=".old", dir=directory)
            os.rename(target, os.path.join(old, "store"))
        elif os.path.lexists(target):
            os.unlink(target)
        os.rename(self._tmp, target)
        self._tmp = None
        if old is not None:
            shutil.rmtree(old, ignore_errors=True)

    def _cleanup(self) -> None:
        tmp, self._tmp = self._tmp, None
        if tmp is not None:
            shutil.rmtree(tmp, ignore_errors=True)

    def abort(self) -> None:
        """A new store: removes the temporary directory, nothing is left under
        the asked-for name. A resumed store: keeps what was appended (cut back
        to the last batch every array holds) and saves the attributes.
        ``count`` is then the traces left under the asked-for name."""
        if not self._open:
            return
        self._open = False
        if self.resumed:
            try:
                self._flush_quietly()
                self.count = self._written
                for array in self._arrays.values():
                    if array.shape[0] != self._written:
                        array.resize(self._written, *array.shape[1:])
                self._save_attrs()
            except OSError:
                pass
        else:
            self.count = 0
        self._cleanup()

    def _flush_quietly(self) -> None:
        pending, self._pending = self._pending, []
        self._pending_k = 0
        try:
            for name, array in self._arrays.items():
                array.append(np.concatenate([b[name] for b in pending]), axis=0) if pending else None
            self._written += sum(len(b["tx"]) for b in pending)
        except OSError:
            pass
