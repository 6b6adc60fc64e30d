"""TRS, the Inspector trace-set format the common side-channel tools read.

A header of tag-length-value objects (little-endian), the trace-block marker
0x5F 0x00, then one record per trace: its title (TS bytes, the label when the
set is labelled), its data (DS bytes: ``tx`` then ``rx``) and NS int16 samples
(every channel's samples, one channel after the other). The description (DC) is
a JSON text of the set's metadata with a ``layout`` entry (channels, samples
per channel, tx and rx lengths, sample period) from which a reader splits the
records again. NT is written as 0 and patched when the writer closes; a reader
counts whole records from the file size, so a file cut short reads up to its
last whole trace.
"""

from __future__ import annotations

import array
import errno
import json
import mmap
import os
import struct
import sys
import time
from typing import IO, Any, Dict, List, Optional, Sequence, Tuple

from ..errors import TraceFileError
from ..trace import Trace
from .base import (LABEL_NAMES, UNLABELLED, TraceSet, TraceWriter, _disk_error, _is_int, _is_period, _np,
                   _regular_file, _sample_period)

__all__ = ["read_trs", "TrsWriter"]


# TRS header tags.
NT, NS, SC, DS, TS, GT, DC, XO, XL, YL, XS, YS, TO, LS = range(0x41, 0x4F)
TRACE_BLOCK = 0x5F
SC_INT16 = 0x02
_CODINGS = {0x01: "i1", 0x02: "<i2", 0x04: "<i4", 0x14: "<f4"}
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


# --------------------------------------------------------------------------
# TRS reading.

class RecordLayout:
    """Where the records of a TRS file lie, for a reader that copies them
    into memory of its own (os.preadv) rather than through the mapping.

    path; first: the file offset of record 0; size: bytes per record;
    count: whole records; tx_at, rx_at: offsets of the data in a record;
    waves_at: channel to the offset of its samples; dtype: the samples';
    identity: (device, inode) of the file that was read."""

    def __init__(self, path: str, first: int, size: int, count: int, tx_at: int, rx_at: int,
                 waves_at: Dict[int, int], dtype: str, identity: Tuple[int, int]) -> None:
        self.path, self.first, self.size, self.count = path, first, size, count
        self.tx_at, self.rx_at, self.waves_at, self.dtype = tx_at, rx_at, waves_at, dtype
        self.identity = identity

    def open(self) -> Optional[int]:
        """A descriptor of the same file, to read the records with, or None
        where the path no longer leads to it (replaced, removed)."""
        try:
            fd = os.open(self.path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        except OSError:
            return None
        st = os.fstat(fd)
        if (st.st_dev, st.st_ino) != self.identity:
            os.close(fd)
            return None
        return fd


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
        st = os.fstat(f.fileno())
    base = h.size
    data_at = base + h.ts
    samples_at = data_at + h.ds
    common = dict(metadata=h.metadata, sample_period=h.period, path=path, format="trs", count=n)
    def field(offset: int, width: int, dtype: str, itemsize: int) -> Any:
        if not n:
            return _np.zeros((0, width), dtype=dtype)
        return _np.ndarray((n, width), dtype=dtype, buffer=mm, offset=offset, strides=(h.record, itemsize))

    fmt = _CODINGS[h.coding]
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
    ts.record_layout = RecordLayout(path, base, h.record, n, data_at - base, data_at + h.tx_len - base,
                                    {c: samples_at + k * h.samples * h.sample_size - base
                                     for k, c in enumerate(h.channels)}, fmt, (st.st_dev, st.st_ino))
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



def _wave_bytes(wave: Any) -> bytes:
    if isinstance(wave, _np.ndarray):
        return wave.astype("<i2", copy=False).tobytes()
    data = array.array("h", wave)
    if sys.byteorder == "big":
        data.byteswap()
    return data.tobytes()



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


