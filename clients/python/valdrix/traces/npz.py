"""NumPy .npz trace sets.

Layout (a zip of .npy arrays, as ``numpy.savez`` writes, members stored
uncompressed unless asked): ``channel_1``, ``channel_2`` (n x samples int16),
``tx``, ``rx`` (n x bytes uint8), ``metadata`` (0-d string: the settings as
JSON), ``sample_period`` (0-d float64 seconds), and for labelled sets ``label``
(n int8 codes: 0 fixed, 1 random, -1 none) with ``label_names`` (the names by
code); ``status`` (n uint32) when the capture status is known. Older sets
with ``label`` as strings, or a single ``traces`` array, read too. A file of
another tool (no ``channel_N`` and no ``tx`` member, or any file read with
``names=``) has its members found by role, as ``names.build_set`` does.

The reader maps stored members straight from the file (no copy, chunked
access). A compressed member is never decompressed whole: it is read in
pieces of at most 16 MiB as rows are asked for (going back means reading
again from its start), after its claimed size has been checked against what
deflate can make of its compressed size and, at the first access, its CRC
over one pass through it (deflate turns some damage into other data); the small members (metadata, label
names, ...) may unpack to at most 16 MiB.

The writer streams: each array goes to a spool file in a temporary
directory ``.NAME.<random>.part`` beside the target, and ``close()`` assembles
the zip there and renames it to the asked-for name, so a failed run leaves
nothing under that name. A run killed before it closes leaves that
directory behind: the next writer of the same name removes it (unless its
writer is alive: it holds a lock in it). The disk needs room for about twice
the set while it closes.
"""

from __future__ import annotations

import json
import math
import mmap
import os
import shutil
import struct
import threading
import tokenize
import zipfile
import zlib
from typing import Any, Dict, List, Optional, Sequence

import numpy as np

from ..errors import TraceFileError
from .base import (LABEL_NAMES, TraceSet, TraceWriter, _disk_error, _regular_file, _sample_period, label_code,
                   temporary_beside)

__all__ = ["read_npz", "NpzWriter"]

# Deflate cannot expand data more than about 1032 times; a member claiming
# more than this is lying about its size.
_DEFLATE_RATIO = 1100
_COPY_BLOCK = 1 << 20
# Compressed members are unpacked in pieces of at most this size; members
# read whole (settings, label names, text labels) may unpack to at most this.
_PIECE = 16 << 20
_SMALL = 16 << 20
_READERS = 4
_ZIP64_FROM = 0x7FFF0000


class _Member:
    """One .npy member: its header checked against the zip's sizes."""

    def __init__(self, path: str, zf: zipfile.ZipFile, info: zipfile.ZipInfo, size: int) -> None:
        self.name = info.filename[:-4]
        where = "member %s" % info.filename
        if info.flag_bits & 0x1:
            raise TraceFileError(path, "%s is encrypted" % where)
        if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
            raise TraceFileError(path, "%s uses an unsupported compression (%d)" % (where, info.compress_type))
        if info.compress_type == zipfile.ZIP_STORED:
            if info.file_size != info.compress_size:
                raise TraceFileError(path, "%s: its stored and unpacked sizes differ" % where)
        elif info.file_size > _DEFLATE_RATIO * info.compress_size + 1024:
            raise TraceFileError(path, "%s claims %d bytes from %d compressed" % (where, info.file_size,
                                                                                  info.compress_size))
        if not 0 <= info.header_offset <= info.header_offset + info.compress_size <= size:
            raise TraceFileError(path, "%s lies beyond the end of the file" % where)
        with zf.open(info) as f:
            version = np.lib.format.read_magic(f)
            if version == (1, 0):
                shape, fortran, dtype = np.lib.format.read_array_header_1_0(f)
            elif version in ((2, 0), (3, 0)):
                shape, fortran, dtype = np.lib.format.read_array_header_2_0(f)
            else:
                raise ValueError("npy version %d.%d" % version)
            header = f.tell()
        if dtype.hasobject:
            raise TraceFileError(path, "%s holds Python objects, not an array of numbers or text" % where)
        nbytes = math.prod(shape) * dtype.itemsize
        if header + nbytes != info.file_size:
            raise TraceFileError(path, "%s claims %s %s (%d bytes) but holds %d" % (
                where, "x".join(map(str, shape)) or "a scalar", dtype, nbytes, info.file_size - header))
        self.info, self.shape, self.fortran, self.dtype, self.header = info, shape, fortran, dtype, header


class _Deflated:
    """A compressed member as an array read by rows: each slice is unpacked
    from the member in pieces (zipfile seeks by unpacking forward, at most
    16 MiB at a time), so memory follows what is asked for, never the size
    the member claims. Faults are ``TraceFileError``s naming the file."""

    def __init__(self, path: str, member: "_Member") -> None:
        self._path, self._member = path, member
        self.shape, self.dtype = tuple(member.shape), member.dtype
        self.ndim = len(self.shape)
        self._row = member.dtype.itemsize * math.prod(self.shape[1:])
        self._lock = threading.Lock()
        self._zip: Any = None
        # Readers of the member, each where its last read ended: chunked
        # passes of several workers go on from where they were instead of
        # unpacking again from the start.
        self._readers: List[Any] = []
        self._verified = False

    def __len__(self) -> int:
        return self.shape[0] if self.shape else 0

    def __array__(self, dtype: Any = None) -> Any:
        return np.asarray(self[...], dtype=dtype)

    def _reader(self, at: int) -> Any:
        if self._zip is None:
            f, _ = _regular_file(self._path)
            self._zip = zipfile.ZipFile(f)
        if not self._verified:
            # Deflate may turn damaged data into other data without a
            # complaint: only the member's CRC, checked at its end, tells. So
            # it is read through once before any row is used.
            with self._zip.open(self._member.info) as g:
                while g.read(_PIECE):
                    pass
            self._verified = True
        behind = [g for g in self._readers if g.tell() <= at]
        if behind:
            return max(behind, key=lambda g: g.tell())
        if len(self._readers) >= _READERS:
            self._readers.pop(0).close()
        g = self._zip.open(self._member.info)
        self._readers.append(g)
        return g

    def _bytes(self, at: int, size: int) -> bytes:
        at += self._member.header
        with self._lock:
            try:
                g = self._reader(at)
                g.seek(at)
                data = g.read(size)
                self._readers.remove(g)
                self._readers.append(g)  # the most recently used last
            except TraceFileError:
                raise
            except (zipfile.BadZipFile, zlib.error, EOFError, OSError, ValueError) as e:
                self._readers, self._zip = [], None
                raise TraceFileError(self._path, "member %s cannot be read (%s)" % (
                    self._member.info.filename, str(e) or type(e).__name__)) from None
        if len(data) != size:
            raise TraceFileError(self._path, "member %s ends before the rows it claims" % self._member.info.filename)
        return data

    def __getitem__(self, key: Any) -> Any:
        first, rest = (key[0], key[1:]) if isinstance(key, tuple) else (key, ())
        n = len(self)
        if not self.shape:
            return np.frombuffer(self._bytes(0, self.dtype.itemsize), dtype=self.dtype).reshape(())[key]
        if first is Ellipsis:
            first, rest = slice(None), (Ellipsis,) + tuple(rest)
        if isinstance(first, slice):
            start, stop, step = first.indices(n)
            stop = max(start, stop)
            if step != 1:
                return self[start:stop][(slice(None, None, step),) + tuple(rest)]
            data = self._bytes(start * self._row, (stop - start) * self._row)
            rows = np.frombuffer(data, dtype=self.dtype).reshape((stop - start,) + self.shape[1:])
            return rows[(slice(None),) + tuple(rest)] if rest else rows
        elif isinstance(first, (int, np.integer)):
            i = int(first) + (n if int(first) < 0 else 0)
            if not 0 <= i < n:
                raise IndexError("row %d of %d" % (int(first), n))
            rows = np.frombuffer(self._bytes(i * self._row, self._row), dtype=self.dtype).reshape(self.shape[1:])
        else:
            raise TypeError("a compressed member's rows are selected by an index or a slice")
        return rows[tuple(rest)] if rest else rows


def _scan(array: Any, kind: str) -> Any:
    """min and max of an array-like, read in pieces."""
    low = high = None
    step = max(1, _PIECE // max(1, array.dtype.itemsize))
    for at in range(0, len(array), step):
        block = np.asarray(array[at:at + step])
        low = block.min() if low is None else min(low, block.min())
        high = block.max() if high is None else max(high, block.max())
    return low, high


def _data_offset(path: str, mm: Any, info: zipfile.ZipInfo) -> int:
    at = info.header_offset
    local = bytes(mm[at:at + 30])
    if len(local) < 30 or local[:4] != b"PK\x03\x04":
        raise TraceFileError(path, "member %s has no local header" % info.filename)
    name_len, extra_len = struct.unpack("<HH", local[26:30])
    return at + 30 + name_len + extra_len


def read_npz(path: str, names: Any = None) -> TraceSet:
    """Reads a .npz trace set. Stored members are mapped, not loaded.
    ``names``: a ``names.Names`` (or a mapping role -> member name) saying
    which member plays each part in another tool's file."""
    try:
        return _read(path, names)
    except TraceFileError:
        raise
    except (zipfile.BadZipFile, zipfile.LargeZipFile, zlib.error, EOFError, ValueError, KeyError, TypeError,
            SyntaxError, tokenize.TokenError, struct.error, NotImplementedError, RuntimeError, OverflowError,
            MemoryError) as e:
        # numpy's header parser and zipfile raise all of these for broken input.
        raise TraceFileError(path, "not a readable .npz trace set (%s)" % (str(e) or type(e).__name__)) from None


def _read(path: str, roles: Any) -> TraceSet:
    f, size = _regular_file(path)
    with f:
        zf = zipfile.ZipFile(f)
        members: Dict[str, _Member] = {}
        for info in zf.infolist():
            if not info.filename.endswith(".npy") or info.is_dir():
                raise TraceFileError(path, "member %s is not an array (.npy)" % info.filename)
            members[info.filename[:-4]] = _Member(path, zf, info, size)
        mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) if size else None

        def load(name: str) -> Any:
            m = members[name]
            if m.info.compress_type == zipfile.ZIP_STORED:
                at = _data_offset(path, mm, m.info) + m.header
                if at + m.info.file_size - m.header > size:
                    raise TraceFileError(path, "member %s lies beyond the end of the file" % m.info.filename)
                return np.ndarray(m.shape, dtype=m.dtype, buffer=mm, offset=at, order="F" if m.fortran else "C")
            if m.fortran and len(m.shape) > 1:
                raise TraceFileError(path, "member %s is compressed in Fortran order, which is not read in pieces"
                                     % m.info.filename)
            return _Deflated(path, m)

        def small(name: str, kinds: str, ndim: int) -> Any:
            m = members.get(name)
            if m is None:
                return None
            if m.info.file_size > _SMALL:
                raise TraceFileError(path, "%s holds %d bytes, more than the %d it may" % (name, m.info.file_size,
                                                                                         _SMALL))
            if m.dtype.kind not in kinds or len(m.shape) != ndim or (ndim and m.shape[0] > 1 << 16):
                raise TraceFileError(path, "%s is not a %s of %s" % (name, "scalar" if ndim == 0 else "list",
                                                                     "text" if kinds == "US" else "numbers"))
            return np.asarray(load(name))

        if roles is not None or not (any(name.startswith("channel_") for name in members) or "tx" in members):
            return _foreign(path, {name: load(name) for name in members}, roles, small)
        channels: Dict[int, Any] = {}
        for name in members:
            if name.startswith("channel_"):
                number = name[8:]
                if not number.isdigit() or not 0 < int(number) < 256:
                    raise TraceFileError(path, "array %s does not name a channel" % name)
                channels[int(number)] = name
        if not channels and "traces" in members:
            channels[1] = "traces"
        if not channels:
            raise TraceFileError(path, "no channel_N or traces array: not a trace set")
        first = members[channels[min(channels)]]
        if len(first.shape) != 2:
            raise TraceFileError(path, "%s is not a 2-D array (traces x samples)" % first.name)
        n, samples = first.shape
        waves = {}
        for c, name in channels.items():
            m = members[name]
            if m.shape != (n, samples) or m.dtype.kind not in "iuf":
                raise TraceFileError(path, "%s is %s %s where %dx%d numbers were due" % (
                    name, "x".join(map(str, m.shape)), m.dtype, n, samples))
            waves[c] = load(name)

        def data(name: str) -> Any:
            m = members.get(name)
            if m is None:
                return np.zeros((n, 0), dtype=np.uint8)
            if len(m.shape) != 2 or m.shape[0] != n or m.dtype != np.uint8:
                raise TraceFileError(path, "%s is %s %s where %d rows of uint8 were due" % (
                    name, "x".join(map(str, m.shape)), m.dtype, n))
            return load(name)

        tx, rx = data("tx"), data("rx")
        codes, names = None, None
        label = members.get("label")
        if label is not None:
            if len(label.shape) != 1 or label.shape[0] != n or label.dtype.kind not in "iuUS":
                raise TraceFileError(path, "label is not one entry per trace")
            if label.dtype.kind in "US" and label.info.file_size > _SMALL:
                raise TraceFileError(path, "label holds %d bytes of text, more than the %d read whole"
                                     % (label.info.file_size, _SMALL))
            raw = load("label")
            if label.dtype.kind in "US":
                names = list(LABEL_NAMES)
                codes = np.array([label_code(str(s), names) for s in raw.tolist()], dtype=np.int8)
            else:
                stored = small("label_names", "US", 1)
                names = [str(s) for s in stored.tolist()] if stored is not None else list(LABEL_NAMES)
                low, high = _scan(raw, "label")
                if n and (int(low) < -1 or int(high) >= len(names)):
                    raise TraceFileError(path, "label codes outside -1..%d" % (len(names) - 1))
                codes = raw
        status = members.get("status")
        if status is not None and (len(status.shape) != 1 or status.shape[0] != n or status.dtype.kind not in "iu"):
            raise TraceFileError(path, "status is not one number per trace")
        metadata: Dict[str, Any] = {}
        text = small("metadata", "US", 0)
        if text is not None:
            try:
                metadata = json.loads(str(text[()]))
            except (ValueError, RecursionError):
                metadata = None  # type: ignore[assignment]
            if not isinstance(metadata, dict):
                raise TraceFileError(path, "metadata is not a JSON object")
        period = small("sample_period", "iuf", 0)
        period = float(period[()]) if period is not None else 0.0
        if not math.isfinite(period) or period < 0:
            raise TraceFileError(path, "sample_period %r is not a time" % period)
        statuses = load("status") if status is not None else None
    return TraceSet(waves, metadata=metadata, sample_period=period, path=path, format="npz", count=n,
                    tx_array=tx, rx_array=rx, label_codes=codes, label_names=names, status_array=statuses)


def _foreign(path: str, arrays: Dict[str, Any], roles: Any, small: Any) -> TraceSet:
    """Another tool's .npz: its members found by role."""
    from .names import as_names, build_set
    roles = as_names(roles) if roles is not None else None
    metadata: Dict[str, Any] = {}
    text = small("metadata", "US", 0) if "metadata" in arrays and arrays["metadata"].dtype.kind in "US" else None
    if text is not None:
        try:
            metadata = json.loads(str(text[()]))
        except (ValueError, RecursionError):
            metadata = {"description": str(text[()])}
        if not isinstance(metadata, dict):
            metadata = {"description": str(text[()])}
        arrays.pop("metadata")

    def guard(load: Any) -> Any:
        try:
            return load()
        except TraceFileError:
            raise
        except (ValueError, OSError, zlib.error, zipfile.BadZipFile, EOFError) as e:
            raise TraceFileError(path, "cannot be read (%s)" % (str(e) or type(e).__name__)) from None
    ts = build_set(path, "npz", arrays, roles, metadata=metadata, guard=guard)
    ts.read_options = dict(names=roles) if roles else {}
    return ts


class NpzWriter(TraceWriter):
    """Writes a .npz trace set through spool files; see the module's notes."""

    def __init__(self, path: str, metadata: Optional[Dict[str, Any]] = None, *, labels: bool = False,
                 sample_period: Optional[float] = None, compressed: bool = False) -> None:
        self.path = path
        self.metadata = dict(metadata or {})
        self.sample_period = sample_period or _sample_period(self.metadata)
        self.labels = labels
        self.compressed = compressed
        self.count = 0
        self.layout = None
        self._label_names: List[str] = list(LABEL_NAMES)
        self._labelled = labels
        self._status = False
        self._spools: Dict[str, Any] = {}
        try:
            self._tmp: Optional[str]
            self._tmp, self._lock = temporary_beside(path)
        except OSError as e:
            raise _disk_error(e, path) from e

    def _spool(self, name: str) -> Any:
        f = self._spools.get(name)
        if f is None:
            f = self._spools[name] = open(os.path.join(self._tmp, name + ".raw"), "w+b")
        return f

    def append_arrays(self, waves: Dict[int, Any], tx: Any, rx: Any, labels: Optional[Sequence[str]] = None,
                      status: Any = None) -> None:
        """Adds k traces: waves channel -> (k, samples) int16, tx (k, tx_len)
        and rx (k, rx_len) uint8, k labels and k status words when known."""
        if self._tmp is None:
            raise ValueError("the trace file %s is closed" % self.path)
        first = self.layout is None
        arrays, tx, rx, k = self._check_batch(waves, tx, rx, labels)
        if first:
            self._status = status is not None
        codes = np.full(k, -1, dtype=np.int8)
        if labels is not None:
            codes[:] = [label_code(str(s), self._label_names) for s in labels]
            self._labelled = self._labelled or bool((codes >= 0).any())
        try:
            for c, a in arrays.items():
                self._spool("channel_%d" % c).write(a.tobytes())
            self._spool("tx").write(tx.tobytes())
            self._spool("rx").write(rx.tobytes())
            self._spool("label").write(codes.tobytes())
            if self._status:
                words = np.zeros(k, dtype="<u4") if status is None else np.asarray(status, dtype="<u4")
                self._spool("status").write(words.tobytes())
        except OSError as e:
            self.abort()
            raise _disk_error(e, self.path) from e
        self.count += k

    def close(self) -> None:
        """Assembles the zip next to the target and renames it into place."""
        if self._tmp is None:
            return
        layout = self.layout or {"channels": [], "samples": 0, "tx_len": 0, "rx_len": 0}
        n = self.count
        widths = {"channel_%d" % c: (layout["samples"], "<i2") for c in layout["channels"]}
        widths.update(tx=(layout["tx_len"], "|u1"), rx=(layout["rx_len"], "|u1"))
        out = os.path.join(self._tmp, "set.npz")
        try:
            with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED if self.compressed else zipfile.ZIP_STORED,
                                 allowZip64=True) as zf:
                for name, (width, descr) in widths.items():
                    self._member(zf, name, {"descr": descr, "fortran_order": False, "shape": (n, width)})
                if self._labelled:
                    self._member(zf, "label", {"descr": "|i1", "fortran_order": False, "shape": (n,)})
                    self._small(zf, "label_names", np.array(self._label_names))
                if self._status:
                    self._member(zf, "status", {"descr": "<u4", "fortran_order": False, "shape": (n,)})
                self._small(zf, "metadata", np.array(json.dumps(self.metadata, sort_keys=True)))
                self._small(zf, "sample_period", np.array(self.sample_period or 0.0, dtype=np.float64))
            os.replace(out, self.path)
        except OSError as e:
            self.abort()
            raise _disk_error(e, self.path) from e
        self._cleanup()

    def _member(self, zf: zipfile.ZipFile, name: str, header: Dict[str, Any]) -> None:
        spool = self._spools.pop(name, None)
        size = spool.seek(0, os.SEEK_END) if spool is not None else 0
        with zf.open(name + ".npy", "w", force_zip64=size >= _ZIP64_FROM) as m:
            np.lib.format.write_array_header_1_0(m, header)
            if spool is not None:
                spool.seek(0)
                while True:
                    block = spool.read(_COPY_BLOCK)
                    if not block:
                        break
                    m.write(block)
        if spool is not None:
            spool.close()
            os.unlink(spool.name)

    @staticmethod
    def _small(zf: zipfile.ZipFile, name: str, value: Any) -> None:
        with zf.open(name + ".npy", "w") as m:
            np.lib.format.write_array(m, value, allow_pickle=False)

    def _cleanup(self) -> None:
        for f in self._spools.values():
            try:
                f.close()
            except OSError:
                pass  # what it could not write is being thrown away
        self._spools.clear()
        tmp, self._tmp = self._tmp, None
        if tmp is not None:
            shutil.rmtree(tmp, ignore_errors=True)
            os.close(self._lock)

    def abort(self) -> None:
        """Removes the temporary files; nothing is left under the asked-for
        name (``count`` is 0)."""
        self._cleanup()
        self.count = 0
