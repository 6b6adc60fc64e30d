"""Zarr directory stores of traces (zarr format 2, Debian's python3-zarr).

Layout: one group; arrays ``channel_1``, ``channel_2`` (n x samples int16),
``tx``, ``rx`` (n x bytes uint8), ``label`` (n int8 codes: 0 fixed, 1 random,
-1 none; labelled sets only) and ``status`` (n uint32, when the capture status
is known), all chunked by traces with the same number of traces per chunk
(about 4 MiB of samples per channel chunk), Blosc-LZ4 compressed. The group's
attributes are the campaign's metadata plus ``sample_period`` (seconds) and
``layout`` (channels, samples, tx_len, rx_len, label_names).

The writer works in place under the asked-for name, from its opening on (the
group and the campaign's metadata first, the arrays with the first batch).
Every file it changes is written beside its name and renamed over it, and an
array's shape is written only after the chunks it covers, so a store killed
at any moment reads up to its last complete chunk. The last, partial chunk
is written again at least once a second. ``resume=True`` cuts every array
back to the traces all of them hold and goes on from there.

The reader checks every array's metadata itself before zarr sees it (dtype,
shape, chunk size, codecs: Blosc or none, never a filter), then every entry
of the store by name, kind and size: a chunk name out of the array's grid,
anything that is not a regular file (a FIFO, a device, a symbolic link) or a
chunk of the wrong size is a fault, as is a chunk missing between chunks that
are there; chunks missing at the end mean a set cut short, read up to them.
Entries whose names start with a dot are ignored. Every file is opened
without blocking and without following links, and read up to a bound its
kind allows; a Blosc chunk's header must agree with the chunk before it is
decoded. So a store's claims cannot make a reader allocate or wait beyond
what the directory holds.
"""

from __future__ import annotations

import errno
import json
import math
import os
import re
import shutil
import stat
import struct
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ..errors import TraceFileError
from .base import (CHUNK_BYTES, LABEL_NAMES, TraceSet, TraceWriter, _disk_error, _is_int, _is_period,
                   _sample_period, label_code, open_entry, put_file)

try:
    import zarr
    from zarr.storage import Store as _ZarrStore
except ImportError:  # pragma: no cover - depends on the host
    zarr = None
    _ZarrStore = object

__all__ = ["read_zarr", "ZarrWriter"]

# Blosc's output is bounded by its header, checked against the chunk's size
# before decoding; other codecs size their output from what the chunk holds
# or claims, so they are not read.
_COMPRESSORS = {"blosc"}
_MAX_CHUNK = 64 << 20
_BLOSC_OVERHEAD = 16
_MAX_META = 1 << 20
_META_NAMES = (".zarray", ".zattrs", ".zgroup")
_RESERVED = ("layout", "sample_period")
_ARRAY = re.compile(r"^(channel_\d+|tx|rx|label|status)$")
_FLUSH_SECONDS = 1.0


def _need_zarr() -> None:
    if zarr is None:
        raise ImportError("zarr trace stores need zarr (Debian: python3-zarr)")


def _read_entry(store: str, name: str, bound: int) -> Optional[bytes]:
    """The bytes of a store's entry, None when it is absent; never follows a
    link, never blocks, never reads past ``bound``."""
    path = os.path.join(store, name)
    if not os.path.lexists(path):
        return None
    f, size = open_entry(path, store=store, follow=False)
    with f:
        if size > bound:
            raise TraceFileError(store, "%s holds %d bytes, more than the %d it may" % (name, size, bound))
        data = f.read(bound + 1)
    if len(data) != size:
        raise TraceFileError(store, "%s changed while it was read" % name)
    return data


def _json(path: str, name: str) -> Any:
    data = _read_entry(path, name, _MAX_META)
    if data is None:
        return None
    try:
        return json.loads(data.decode("utf-8"))
    except (ValueError, RecursionError) as e:
        raise TraceFileError(path, "%s is not JSON (%s)" % (name, e)) from None


def _array_meta(path: str, name: str, ndim: int, dtypes: Tuple[str, ...]) -> Optional[Dict[str, Any]]:
    """The checked metadata of array ``name``, None when it is absent."""
    folder = os.path.join(path, name)
    if not os.path.lexists(folder):
        return None
    if not stat.S_ISDIR(os.lstat(folder).st_mode):
        raise TraceFileError(path, "%s is not a directory (an array's place)" % name)
    meta = _json(path, os.path.join(name, ".zarray"))
    if meta is None:
        raise TraceFileError(path, "%s has no .zarray" % name)
    where = "array %s" % name
    if not isinstance(meta, dict) or meta.get("zarr_format") != 2:
        raise TraceFileError(path, "%s is not a zarr format 2 array" % where)
    shape, chunks = meta.get("shape"), meta.get("chunks")
    if (not isinstance(shape, list) or not isinstance(chunks, list) or len(shape) != ndim or len(chunks) != ndim
            or not all(_is_int(v) and 0 <= v < 1 << 48 for v in shape)
            or not all(_is_int(v) and v >= 1 for v in chunks)):
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
    meta["chunk_bytes"] = math.prod(chunks) * itemsize
    meta["held"] = _held(path, name, meta)
    return meta


def _held(path: str, name: str, meta: Dict[str, Any]) -> int:
    """The traces array ``name`` holds: its length, cut back to the first
    chunk missing at its end. Checks each entry's name, kind and size."""
    shape, chunks = meta["shape"], meta["chunks"]
    rows = -(-shape[0] // chunks[0])
    columns = 1 if len(shape) == 1 else max(1, -(-shape[1] // chunks[1]))
    blosc = meta["compressor"] is not None
    want = meta["chunk_bytes"]
    folder = os.path.join(path, name)
    seen: Dict[int, int] = {}
    for entry in sorted(os.listdir(folder)):
        if entry.startswith("."):
            continue  # metadata, or a file being written beside its name
        parts = entry.split(".")
        if (len(parts) != len(shape) or not all(p.isdigit() and (p == "0" or not p.startswith("0")) for p in parts)
                or (len(parts) == 2 and int(parts[1]) >= columns)):
            raise TraceFileError(path, "%s/%s is not a chunk of array %s" % (name, entry, name))
        st = os.lstat(os.path.join(folder, entry))
        if not stat.S_ISREG(st.st_mode):
            raise TraceFileError(path, "%s/%s is not a regular file" % (name, entry))
        size_ok = (_BLOSC_OVERHEAD <= st.st_size <= want + _BLOSC_OVERHEAD) if blosc else st.st_size == want
        if not size_ok:
            raise TraceFileError(path, "%s/%s holds %d bytes, a chunk of %s %s" % (
                name, entry, st.st_size, name, "%d to %d" % (_BLOSC_OVERHEAD, want + _BLOSC_OVERHEAD) if blosc
                else "exactly %d" % want))
        row = int(parts[0])
        seen[row] = seen.get(row, 0) + 1
    if len(shape) == 2 and shape[1] == 0:
        return shape[0]  # rows of no bytes: zarr keeps no chunks for them
    complete = 0
    while complete < rows and seen.get(complete, 0) == columns:
        complete += 1
    later = [r for r in seen if complete <= r < rows]
    if later:
        raise TraceFileError(path, "array %s lacks chunk %d of the %d its %s traces fill, though later ones are "
                             "there" % (name, complete, rows, shape[0]))
    return min(shape[0], complete * chunks[0])


class _Entries(_ZarrStore):
    """A read-only view of a store's directory for zarr: each entry opened
    safely, bounded by its kind, and a Blosc chunk's header checked against
    the chunk before zarr decodes it."""

    def __init__(self, root: str, chunk_bytes: Dict[str, Tuple[int, bool]]) -> None:
        self.root = root
        self._chunks = chunk_bytes  # array name -> (bytes of a decoded chunk, blosc)

    def __getitem__(self, key: str) -> bytes:
        parts = key.split("/")
        if any(p in ("", ".", "..") for p in parts) or len(parts) > 2:
            raise KeyError(key)
        name = parts[-1]
        array = self._chunks.get(parts[0]) if len(parts) == 2 and name not in _META_NAMES else None
        bound = _MAX_META if array is None else array[0] + _BLOSC_OVERHEAD
        data = _read_entry(self.root, os.path.join(*parts), bound)
        if data is None:
            raise KeyError(key)
        if array is not None and array[1]:
            if len(data) < 16:
                raise TraceFileError(self.root, "chunk %s is cut short" % key)
            nbytes, block, cbytes = struct.unpack("<III", data[4:16])
            if nbytes != array[0] or cbytes != len(data) or block > nbytes:
                raise TraceFileError(self.root, "chunk %s claims %d bytes in %d, a chunk holds %d in %d" % (
                    key, nbytes, cbytes, array[0], len(data)))
        return data

    def __contains__(self, key: object) -> bool:
        try:
            self[key]  # type: ignore[index]
        except KeyError:
            return False
        return True

    def __setitem__(self, key: str, value: Any) -> None:
        raise TraceFileError(self.root, "opened for reading")

    __delitem__ = __setitem__  # type: ignore[assignment]

    def __iter__(self) -> Any:
        return iter(())

    def __len__(self) -> int:
        return 0

    def listdir(self, path: str = "") -> List[str]:
        return []


class _CheckedArray:
    """A zarr array whose faults are ``TraceFileError``s naming the store,
    shortened to the traces the whole store holds. Other attributes are the
    zarr array's."""

    def __init__(self, path: str, name: str, array: Any, n: int) -> None:
        self._path, self._name, self._array, self._n = path, name, array, n
        self.shape = (n,) + tuple(array.shape[1:])
        self.ndim, self.dtype, self.chunks = array.ndim, array.dtype, array.chunks

    def __getattr__(self, name: str) -> Any:
        return getattr(self._array, name)

    def __len__(self) -> int:
        return self._n

    def __array__(self, dtype: Any = None) -> Any:
        return np.asarray(self[...], dtype=dtype)

    def __getitem__(self, key: Any) -> Any:
        first, rest = (key[0], key[1:]) if isinstance(key, tuple) else (key, ())
        if first is Ellipsis:
            first, rest = slice(None), ((Ellipsis,) if rest or self.ndim > 1 else ())
        if isinstance(first, slice):
            start, stop, step = first.indices(self._n)
            first = slice(start, max(start, stop) if step > 0 else stop, step)
        elif isinstance(first, (int, np.integer)):
            i = int(first)
            if not -self._n <= i < self._n:
                raise IndexError("trace %d of %d" % (i, self._n))
            first = i + self._n if i < 0 else i
        else:
            raise TypeError("a trace store's rows are selected by an index or a slice")
        try:
            return self._array[(first,) + tuple(rest)]
        except TraceFileError:
            raise
        except IndexError:
            raise
        except (ValueError, RuntimeError, TypeError, KeyError, OSError, struct.error) as e:
            raise TraceFileError(self._path, "array %s: a chunk cannot be read (%s)" % (
                self._name, str(e) or type(e).__name__)) from None


def _layout(path: str, attrs: Any) -> Tuple[List[int], int, int, int, List[str], float]:
    if not isinstance(attrs, dict):
        raise TraceFileError(path, "the store has no attributes (.zattrs)")
    layout = attrs.get("layout")
    if not isinstance(layout, dict):
        raise TraceFileError(path, "the store has no layout attribute")
    channels = layout.get("channels")
    ints = [layout.get(k) for k in ("samples", "tx_len", "rx_len")]
    names = layout.get("label_names", list(LABEL_NAMES))
    if (not isinstance(channels, list) or not all(_is_int(c) and 0 < c < 256 for c in channels)
            or len(set(channels)) != len(channels) or not all(_is_int(v) and v >= 0 for v in ints)
            or not isinstance(names, list) or not all(isinstance(s, str) for s in names) or len(names) > 127):
        raise TraceFileError(path, "the layout attribute is malformed")
    period = attrs.get("sample_period", 0.0)
    if period not in (0, 0.0, None) and not _is_period(period):
        raise TraceFileError(path, "sample_period %r is not a time" % (period,))
    return channels, ints[0], ints[1], ints[2], names, float(period or 0.0)


def _expected(channels: List[int], samples: int, tx_len: int, rx_len: int) -> Dict[str, Tuple[int, Tuple[str, ...],
                                                                                              Optional[int]]]:
    expected = {"channel_%d" % c: (2, ("<i2",), samples) for c in channels}
    expected.update(tx=(2, ("|u1",), tx_len), rx=(2, ("|u1",), rx_len), label=(1, ("|i1",), None),
                    status=(1, ("<u4",), None))
    return expected


def _survey(path: str) -> Tuple[Dict[str, Any], Dict[str, Dict[str, Any]], int]:
    """The store's attributes, its arrays' checked metadata and the traces
    every array holds."""
    if not os.path.isdir(path):
        raise TraceFileError(path, "not a directory, so not a zarr store")
    group = _json(path, ".zgroup")
    if not isinstance(group, dict) or group.get("zarr_format") != 2:
        raise TraceFileError(path, "a directory but not a zarr group (no format 2 .zgroup)")
    attrs = _json(path, ".zattrs")
    channels, samples, tx_len, rx_len, _, _ = _layout(path, attrs)
    if not channels:
        # No trace yet: arrays there are those of a run killed while it laid
        # them out, before the layout that names them was saved.
        return attrs, {}, 0
    expected = _expected(channels, samples, tx_len, rx_len)
    for entry in sorted(os.listdir(path)):
        if not entry.startswith(".") and entry not in expected:
            raise TraceFileError(path, "%s is not an array of the layout" % entry)
    metas: Dict[str, Dict[str, Any]] = {}
    for name, (ndim, dtypes, width) in expected.items():
        meta = _array_meta(path, name, ndim, dtypes)
        if meta is None:
            if channels and name not in ("label", "status"):
                raise TraceFileError(path, "the store has no %s array" % name)
            continue
        if width is not None and meta["shape"][1] != width:
            raise TraceFileError(path, "array %s is %d wide where the layout says %d" % (name, meta["shape"][1], width))
        metas[name] = meta
    if metas and len({m["chunks"][0] for m in metas.values()}) != 1:
        raise TraceFileError(path, "the arrays are chunked by different numbers of traces")
    n = min((m["held"] for m in metas.values()), default=0)
    return attrs, metas, n


def read_zarr(path: str) -> TraceSet:
    """Reads a zarr store written by ``ZarrWriter`` (or one with its layout),
    up to the last trace every array holds whole."""
    _need_zarr()
    attrs, metas, n = _survey(path)
    channels, samples, tx_len, rx_len, names, period = _layout(path, attrs)
    metadata = {k: v for k, v in attrs.items() if k not in _RESERVED}
    if not channels:  # a campaign that stopped before its first trace
        empty = np.zeros((0, 0), dtype=np.uint8)
        return TraceSet({}, metadata=metadata, sample_period=period, path=path, format="zarr", count=0,
                        tx_array=empty, rx_array=empty)
    store = _Entries(path, {name: (m["chunk_bytes"], m["compressor"] is not None) for name, m in metas.items()})
    try:
        g = zarr.open_group(store, mode="r")
        arrays = {name: _CheckedArray(path, name, g[name], n) for name in metas}
    except TraceFileError:
        raise
    except Exception as e:  # zarr and numcodecs raise many kinds for a broken store
        raise TraceFileError(path, "not a readable zarr store (%s)" % e) from None

    def guard(load: Callable[[], Any]) -> Any:
        try:
            return load()
        except TraceFileError:
            raise
        except (ValueError, RuntimeError, TypeError, KeyError, OSError) as e:
            raise TraceFileError(path, "a chunk cannot be read (%s)" % (str(e) or type(e).__name__)) from None

    label = arrays.get("label")
    first = metas["channel_%d" % channels[0]]["chunks"][0]
    return TraceSet({c: arrays["channel_%d" % c] for c in channels}, metadata=metadata,
                    sample_period=period, path=path, format="zarr", count=n,
                    tx_array=arrays["tx"], rx_array=arrays["rx"], label_codes=label,
                    label_names=names if label is not None else None, status_array=arrays.get("status"),
                    chunk_traces=first, guard=guard)


def _put_json(path: str, value: Any) -> None:
    put_file(path, json.dumps(value, indent=4, sort_keys=True, ensure_ascii=True).encode("ascii"))


class _Column:
    """One array of a store being written: its chunks are encoded and put
    here, its shape only after them."""

    def __init__(self, root: str, name: str, width: Optional[int], dtype: str, fill: int, rows: int,
                 compressor: Any) -> None:
        self.folder = os.path.join(root, name)
        self.width, self.dtype, self.fill, self.rows, self.compressor = width, np.dtype(dtype), fill, rows, compressor
        self.meta = {"zarr_format": 2, "shape": [0] if width is None else [0, width],
                     "chunks": [rows] if width is None else [rows, max(1, width)], "dtype": self.dtype.str,
                     "compressor": compressor.get_config(), "fill_value": fill, "order": "C", "filters": None,
                     "dimension_separator": "."}

    @classmethod
    def existing(cls, root: str, name: str, meta: Dict[str, Any]) -> "_Column":
        from numcodecs import get_codec
        width = meta["shape"][1] if len(meta["shape"]) == 2 else None
        column = cls(root, name, width, meta["dtype"], meta["fill_value"] or 0, meta["chunks"][0],
                     get_codec(meta["compressor"]))
        return column

    def create(self) -> None:
        os.makedirs(self.folder, exist_ok=True)
        _put_json(os.path.join(self.folder, ".zarray"), self.meta)

    def put_chunk(self, index: int, rows: Any) -> None:
        """Chunk ``index`` holding ``rows`` (fewer than a chunk: the rest is fill)."""
        shape = (self.rows,) if self.width is None else (self.rows, max(1, self.width))
        block = np.full(shape, self.fill, dtype=self.dtype)
        if self.width != 0:
            block[:len(rows)] = rows
        key = "%d" % index if self.width is None else "%d.0" % index
        put_file(os.path.join(self.folder, key), bytes(self.compressor.encode(block)))

    def read_chunk(self, index: int, count: int) -> Any:
        key = "%d" % index if self.width is None else "%d.0" % index
        with open(os.path.join(self.folder, key), "rb") as f:
            data = f.read()
        shape = (self.rows,) if self.width is None else (self.rows, max(1, self.width))
        block = np.frombuffer(bytes(self.compressor.decode(data)), dtype=self.dtype).reshape(shape)
        return block[:count, :self.width] if self.width is not None else block[:count]

    def set_length(self, n: int) -> None:
        self.meta["shape"][0] = n
        _put_json(os.path.join(self.folder, ".zarray"), self.meta)

    def clear_beyond(self, n: int) -> None:
        """Removes chunks past the one holding trace ``n - 1`` and left-over
        files of a killed write."""
        last = -(-n // self.rows)
        for entry in os.listdir(self.folder):
            row = entry.split(".")[0]
            stale = entry.startswith(".") and entry.endswith(".part") or (row.isdigit() and int(row) >= last)
            if stale:
                try:
                    os.unlink(os.path.join(self.folder, entry))
                except OSError:
                    pass


class ZarrWriter(TraceWriter):
    """Writes a zarr trace store in place; see the module's notes."""

    def __init__(self, path: str, metadata: Optional[Dict[str, Any]] = None, *, labels: bool = False,
                 resume: bool = False, sample_period: Optional[float] = None) -> None:
        _need_zarr()
        self.path = path.rstrip("/") or path
        self.metadata = dict(metadata or {})
        self.sample_period = sample_period or _sample_period(self.metadata)
        self.labels = labels
        self.count = 0
        self.layout = None
        self.resumed = False
        self._label_names: List[str] = list(LABEL_NAMES)
        self._columns: Dict[str, _Column] = {}
        self._pending: Dict[str, List[Any]] = {}
        self._written = 0  # traces in every array's shape
        self._whole = 0  # traces in whole chunks on disk
        self._chunk = 1
        self._status = False
        self._open = True
        self._flushed = time.monotonic()
        self._lock = threading.Lock()
        try:
            if resume:
                if not os.path.exists(self.path):
                    raise OSError(errno.ENOENT, "no trace set to resume", self.path)
                self._resume()
            else:
                self._start()
        except OSError as e:
            self._open = False
            raise _disk_error(e, path) from e

    def _start(self) -> None:
        if os.path.lexists(self.path):
            if os.path.isdir(self.path) and not os.path.islink(self.path):
                if os.listdir(self.path) and not os.path.lexists(os.path.join(self.path, ".zgroup")):
                    raise OSError(errno.EEXIST, "exists and is not a zarr store, so it is not replaced", self.path)
                shutil.rmtree(self.path)
            else:
                os.unlink(self.path)
        os.mkdir(self.path)
        _put_json(os.path.join(self.path, ".zgroup"), {"zarr_format": 2})
        self._save_attrs()

    def _resume(self) -> None:
        attrs, metas, n = _survey(self.path)
        channels, samples, tx_len, rx_len, names, period = _layout(self.path, attrs)
        self.resumed = True
        for entry in os.listdir(self.path):
            if entry.startswith(".") and entry.endswith(".part"):  # a killed write's
                os.unlink(os.path.join(self.path, entry))
        self.metadata = {k: v for k, v in attrs.items() if k not in _RESERVED}
        self.sample_period = period or self.sample_period
        if not channels:  # no trace yet: the first batch lays the arrays out
            for entry in os.listdir(self.path):
                if not entry.startswith(".") and os.path.isdir(os.path.join(self.path, entry)):
                    shutil.rmtree(os.path.join(self.path, entry))
            return
        self.layout = {"channels": channels, "samples": samples, "tx_len": tx_len, "rx_len": rx_len}
        self._label_names = list(names)
        self._columns = {name: _Column.existing(self.path, name, meta) for name, meta in metas.items()}
        self.labels = "label" in self._columns
        self._status = "status" in self._columns
        self._chunk = self._columns["tx"].rows
        # A run killed between arrays leaves them of different lengths and
        # chunks past a shape: all are cut back to what every array holds.
        whole = n - n % self._chunk
        self._pending = {name: [] for name in self._columns}
        if n > whole:
            for name, column in self._columns.items():
                self._pending[name].append(column.read_chunk(whole // self._chunk, n - whole))
        for column in self._columns.values():
            column.clear_beyond(n)
            column.set_length(n)
        self.count = self._written = n
        self._whole = whole

    def _create(self, status: bool) -> None:
        from numcodecs import Blosc
        layout = self.layout
        samples = layout["samples"]
        self._chunk = max(1, CHUNK_BYTES // max(1, 2 * samples))
        compressor = Blosc(cname="lz4", clevel=5, shuffle=Blosc.SHUFFLE)

        def make(name: str, width: Optional[int], dtype: str, fill: int) -> None:
            column = self._columns[name] = _Column(self.path, name, width, dtype, fill, self._chunk, compressor)
            column.create()
            self._pending[name] = []
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
        _put_json(os.path.join(self.path, ".zattrs"), attrs)

    def append_arrays(self, waves: Dict[int, Any], tx: Any, rx: Any, labels: Optional[Sequence[str]] = None,
                      status: Any = None) -> None:
        """Adds k traces: waves channel -> (k, samples) int16, tx (k, tx_len)
        and rx (k, rx_len) uint8, k labels and k status words when known."""
        if not self._open:
            raise ValueError("the trace store %s is closed" % self.path)
        first = not self._columns
        arrays, tx, rx, k = self._check_batch(waves, tx, rx, labels)
        try:
            if first:
                self.labels = self.labels or (labels is not None and any(labels))
                self._create(status is not None)
        except OSError as e:
            self._fail(e)
        names_before = len(self._label_names)
        batch: Dict[str, Any] = {"channel_%d" % c: a for c, a in arrays.items()}
        batch.update(tx=tx, rx=rx)
        if self.labels:
            codes = np.full(k, -1, dtype=np.int8)
            if labels is not None:
                codes[:] = [label_code(str(s), self._label_names) for s in labels]
            batch["label"] = codes
        if self._status:
            batch["status"] = np.zeros(k, dtype="<u4") if status is None else np.asarray(status, dtype="<u4")
        for name, rows in batch.items():
            self._pending[name].append(rows)
        self.count += k
        try:
            if len(self._label_names) != names_before:
                self._save_attrs()  # before any chunk holds the new code
            if self.count - self._whole >= self._chunk or time.monotonic() - self._flushed >= _FLUSH_SECONDS:
                self._flush()
        except OSError as e:
            self._fail(e)

    def _flush(self) -> None:
        """Puts every pending chunk of every array, then the shapes."""
        self._flushed = time.monotonic()
        if self.count == self._written or not self._columns:
            return
        whole = self._whole
        for name, column in self._columns.items():
            parts = self._pending[name]
            rows = np.concatenate(parts) if len(parts) > 1 else parts[0]
            at = 0
            index = whole // self._chunk
            while at < len(rows):
                column.put_chunk(index, rows[at:at + self._chunk])
                at += self._chunk
                index += 1
            tail = len(rows) % self._chunk
            self._pending[name] = [rows[len(rows) - tail:]] if tail else []
        for column in self._columns.values():
            column.set_length(self.count)
        self._written = self.count
        self._whole = self.count - self.count % self._chunk

    def _fail(self, e: OSError) -> None:
        self.abort()
        raise _disk_error(e, self.path) from e

    def close(self) -> None:
        """Writes what is pending and the attributes (with what ``metadata``
        gained during the run)."""
        if not self._open:
            return
        try:
            if self.layout is None:
                self.layout = {"channels": [], "samples": 0, "tx_len": 0, "rx_len": 0}
            self._flush()
            self._save_attrs()
        except OSError as e:
            self._fail(e)
        self._open = False

    def abort(self) -> None:
        """Keeps every trace the store holds whole (``count`` is then those)
        and saves the attributes; never raises. A new store that never got
        a trace is removed."""
        if not self._open:
            return
        self._open = False
        try:
            self._flush()
        except OSError:
            pass
        self.count = self._written
        if self.count == 0 and not self.resumed:
            shutil.rmtree(self.path, ignore_errors=True)
            return
        try:
            self._save_attrs()
        except OSError:
            pass
