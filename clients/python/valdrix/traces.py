"""Trace-set files: TRS (written as a campaign runs) and NumPy .npz.

TRS is the Inspector trace-set format that the common side-channel tools
read: a header of tag-length-value objects (little-endian), the trace-block
marker 0x5F 0x00, then one record per trace: its title (TS bytes), its data
(DS bytes: ``tx`` then ``rx``) and NS int16 samples (every channel's samples,
one channel after the other). The header's description (DC) is a JSON text
of the set's metadata with a ``layout`` entry (channels, samples per channel,
tx and rx lengths, sample period) from which a reader splits the records
again. NT is written as 0 and patched when the writer closes; a reader counts
whole records from the file size, so a file cut short by an interrupted run
reads up to its last whole trace.

``.npz`` holds ``channel_1``, ``channel_2`` (n x samples, int16), ``tx`` and
``rx`` (n x bytes, uint8), ``metadata`` (a 0-d string array holding JSON),
``sample_period`` and, for grouped sets, ``label``. It needs numpy and holds
sets that fit in memory.
"""

from __future__ import annotations

import array
import json
import os
import struct
import sys
import time
from dataclasses import dataclass, field
from typing import IO, Any, Dict, Iterable, List, Optional, Sequence

from .trace import Trace

try:
    import numpy as _np
except ImportError:  # pragma: no cover - depends on the host
    _np = None

__all__ = ["TraceSet", "TrsWriter", "write_npz", "read_traces", "read_trs", "read_npz"]

# TRS header tags.
NT, NS, SC, DS, TS, GT, DC, XO, XL, YL, XS, YS, TO, LS = range(0x41, 0x4F)
TRACE_BLOCK = 0x5F
SC_INT16 = 0x02
_CODINGS = {0x01: ("b", "i1"), 0x02: ("h", "<i2"), 0x04: ("i", "<i4"), 0x14: ("f", "<f4")}
# Room kept in the description so that close() can rewrite it with what the
# run learnt (counts of retries, an end time) without moving the traces.
_DC_SLACK = 1024
_TITLE_SIZE = 8
_FLUSH_SECONDS = 1.0


@dataclass
class TraceSet:
    """The traces of a file.

    waves: channel number to a 2-D array (n_traces, n_samples): numpy int16
        where numpy is installed (memory-mapped for TRS), else a list of
        ``array('h')`` rows.
    tx, rx: the bytes sent and received, one entry per trace.
    labels: each trace's group ("fixed", "random") or "".
    metadata: the settings the file was written with, as written.
    sample_period: seconds between samples (0.0 when the file does not say).
    """

    waves: Dict[int, Any]
    tx: List[bytes]
    rx: List[bytes]
    metadata: Dict[str, Any]
    sample_period: float = 0.0
    labels: List[str] = field(default_factory=list)

    def __len__(self) -> int:
        return len(self.tx)

    @property
    def channels(self) -> List[int]:
        """The channel numbers held, in order."""
        return sorted(self.waves)

    @property
    def samples(self) -> int:
        """Samples per channel and trace."""
        for rows in self.waves.values():
            return len(rows[0]) if len(rows) else 0
        return 0

    def __getitem__(self, i: int) -> Trace:
        """Trace ``i`` of the set as a ``Trace`` record."""
        return Trace(waves={c: rows[i] for c, rows in self.waves.items()}, tx=self.tx[i], rx=self.rx[i], index=i,
                     sample_period=self.sample_period or None, label=self.labels[i] if self.labels else "")


def _tlv(tag: int, value: bytes, long_form: bool = False) -> bytes:
    n = len(value)
    if n < 0x80 and not long_form:
        return bytes((tag, n)) + value
    return bytes((tag, 0x84)) + struct.pack("<I", n) + value


def _wave_bytes(wave: Any) -> bytes:
    if _np is not None and isinstance(wave, _np.ndarray):
        return wave.astype("<i2", copy=False).tobytes()
    data = array.array("h", wave)
    if sys.byteorder == "big":
        data.byteswap()
    return data.tobytes()


def _sample_period(metadata: Dict[str, Any]) -> Optional[float]:
    khz = metadata.get("sample_rate_khz")
    return 1.0 / (khz * 1000.0) if khz else None


class TrsWriter:
    """Writes a TRS file trace by trace.

    metadata: JSON-able settings, recorded in the header's description;
    entries added to ``writer.metadata`` during the run are written at close
    when they fit in the room kept for them. sample_period: seconds per
    sample (default: from ``metadata["sample_rate_khz"]`` or the first trace).
    labels: keep each trace's label as its title (8 bytes).

    Every trace must have the channels, samples and tx and rx lengths of the
    first. The file is valid at any moment up to its last whole trace;
    ``close()`` (or leaving the ``with`` block, also on an exception) patches
    the trace count into the header.
    """

    def __init__(self, path: str, metadata: Optional[Dict[str, Any]] = None,
                 sample_period: Optional[float] = None, labels: bool = False) -> None:
        self.path = path
        self.metadata: Dict[str, Any] = dict(metadata or {})
        self.sample_period = sample_period or _sample_period(self.metadata)
        self.labels = labels
        self.count = 0
        self._file: Optional[IO[bytes]] = open(path, "wb")
        self._layout: Optional[Dict[str, Any]] = None
        self._nt_at = 0
        self._dc_at = 0
        self._dc_size = 0
        self._flushed = time.monotonic()

    def __enter__(self) -> "TrsWriter":
        return self

    def __exit__(self, *exc: Any) -> bool:
        self.close()
        return False

    def _description(self) -> bytes:
        return json.dumps(dict(self.metadata, layout=self._layout), sort_keys=True).encode("utf-8")

    def _write_header(self, channels: Sequence[int], samples: int, tx_len: int, rx_len: int) -> None:
        self._layout = {"channels": list(channels), "samples": samples, "tx_len": tx_len, "rx_len": rx_len,
                        "sample_period": self.sample_period}
        ns = samples * len(channels)
        if tx_len + rx_len > 0xFFFF:
            raise ValueError("a TRS trace holds at most 65535 data bytes, got %d" % (tx_len + rx_len))
        description = self._description()
        self._dc_size = len(description) + _DC_SLACK
        head = bytearray()
        head += _tlv(NT, struct.pack("<I", 0))
        self._nt_at = 2
        head += _tlv(NS, struct.pack("<I", ns))
        head += _tlv(SC, bytes((SC_INT16,)))
        head += _tlv(DS, struct.pack("<H", tx_len + rx_len))
        if self.labels:
            head += _tlv(TS, bytes((_TITLE_SIZE,)))
        head += _tlv(GT, b"Valdrix-M4 trace set")
        self._dc_at = len(head) + 6
        head += _tlv(DC, description.ljust(self._dc_size), long_form=True)
        if self.sample_period:
            head += _tlv(XL, b"s")
            head += _tlv(XS, struct.pack("<f", self.sample_period))
        head += _tlv(YL, b"sample value")
        head += _tlv(YS, struct.pack("<f", 1.0))
        head += bytes((TRACE_BLOCK, 0))
        self._file.write(head)

    def append(self, trace: Trace) -> None:
        """Adds one trace at the end of the file."""
        if self._file is None:
            raise ValueError("the trace file is closed")
        channels = sorted(trace.waves)
        samples = len(trace.waves[channels[0]]) if channels else 0
        if self._layout is None:
            if self.sample_period is None:
                self.sample_period = trace.sample_period
            self._write_header(channels, samples, len(trace.tx), len(trace.rx))
        layout = self._layout
        if (channels != layout["channels"] or any(len(trace.waves[c]) != samples for c in channels)
                or samples != layout["samples"] or len(trace.tx) != layout["tx_len"]
                or len(trace.rx) != layout["rx_len"]):
            raise ValueError("trace %d does not match the set: channels %s, %d samples, %d tx and %d rx bytes"
                             % (trace.index, layout["channels"], layout["samples"], layout["tx_len"],
                                layout["rx_len"]))
        record = bytearray()
        if self.labels:
            record += trace.label.encode("utf-8")[:_TITLE_SIZE].ljust(_TITLE_SIZE)
        record += trace.tx + trace.rx
        for channel in channels:
            record += _wave_bytes(trace.waves[channel])
        self._file.write(record)
        self.count += 1
        now = time.monotonic()
        if now - self._flushed >= _FLUSH_SECONDS:
            self._file.flush()
            self._flushed = now

    def close(self) -> None:
        """Patches the trace count (and the description) and closes the file."""
        if self._file is None:
            return
        if self._layout is None:
            self._write_header([], 0, 0, 0)
        f, self._file = self._file, None
        try:
            f.seek(self._nt_at)
            f.write(struct.pack("<I", self.count))
            description = self._description()
            if len(description) <= self._dc_size:
                f.seek(self._dc_at)
                f.write(description.ljust(self._dc_size))
        finally:
            f.close()


def write_npz(path: str, traces: Iterable[Trace], metadata: Optional[Dict[str, Any]] = None,
              compressed: bool = False) -> int:
    """Writes the traces (all with the same channels and lengths) to a .npz
    file; returns how many. Needs numpy."""
    if _np is None:
        raise ImportError(".npz files need numpy (Debian: python3-numpy)")
    traces = list(traces)
    metadata = dict(metadata or {})
    channels = sorted(traces[0].waves) if traces else []
    arrays: Dict[str, Any] = {}
    for channel in channels:
        arrays["channel_%d" % channel] = _np.array([_np.asarray(t.waves[channel], dtype=_np.int16) for t in traces],
                                                   dtype=_np.int16).reshape(len(traces), -1)
    for name in ("tx", "rx"):
        lengths = {len(getattr(t, name)) for t in traces}
        if len(lengths) > 1:
            raise ValueError("every trace of a set has the same %s length, got %s" % (name, sorted(lengths)))
        width = lengths.pop() if lengths else 0
        buf = b"".join(getattr(t, name) for t in traces)
        arrays[name] = _np.frombuffer(buf, dtype=_np.uint8).reshape(len(traces), width)
    if any(t.label for t in traces):
        arrays["label"] = _np.array([t.label for t in traces])
    period = next((t.sample_period for t in traces if t.sample_period), None) or _sample_period(metadata) or 0.0
    arrays["sample_period"] = _np.array(period, dtype=_np.float64)
    arrays["metadata"] = _np.array(json.dumps(metadata, sort_keys=True))
    (_np.savez_compressed if compressed else _np.savez)(path, **arrays)
    return len(traces)


def _parse_trs_header(f: IO[bytes]) -> Dict[int, bytes]:
    tags: Dict[int, bytes] = {}
    while True:
        head = f.read(2)
        if len(head) < 2:
            raise ValueError("not a TRS file: the header has no trace-block marker")
        tag, length = head
        if length & 0x80:
            extra = f.read(length & 0x7F)
            length = int.from_bytes(extra, "little")
        value = f.read(length)
        if len(value) < length:
            raise ValueError("not a TRS file: tag 0x%02X is cut short" % tag)
        if tag == TRACE_BLOCK:
            return tags
        tags[tag] = value


def read_trs(path: str) -> TraceSet:
    """Reads a TRS file, also one cut short, up to its last whole trace."""
    with open(path, "rb") as f:
        tags = _parse_trs_header(f)
        header_size = f.tell()
        ns = struct.unpack("<I", tags[NS])[0] if NS in tags else 0
        nt = struct.unpack("<I", tags[NT])[0] if NT in tags else 0
        coding = tags.get(SC, bytes((SC_INT16,)))[0]
        if coding not in _CODINGS:
            raise ValueError("unknown TRS sample coding 0x%02X" % coding)
        ds = struct.unpack("<H", tags[DS][:2])[0] if DS in tags else 0
        ts = tags[TS][0] if TS in tags else 0
        sample_size = coding & 0x0F
        record = ts + ds + ns * sample_size
        whole = (os.fstat(f.fileno()).st_size - header_size) // record if record else 0
        n = whole if nt == 0 else min(nt, whole)
        try:
            metadata = json.loads(tags[DC].decode("utf-8")) if DC in tags else {}
            if not isinstance(metadata, dict):
                metadata = {"description": metadata}
        except ValueError:
            metadata = {"description": tags[DC].decode("utf-8", "replace").strip()}
        layout = metadata.pop("layout", None) or {"channels": [1], "samples": ns, "tx_len": ds, "rx_len": 0}
        period = layout.get("sample_period")
        if not period and XS in tags and tags.get(XL, b"s").strip(b"\0 ") == b"s":
            period = struct.unpack("<f", tags[XS][:4])[0]
        channels, samples = layout["channels"], layout["samples"]
        tx_len, rx_len = layout["tx_len"], layout["rx_len"]
        if len(channels) * samples != ns or tx_len + rx_len != ds:
            raise ValueError("the TRS description does not match its NS and DS")

        waves: Dict[int, Any] = {}
        if _np is not None:
            fmt = _CODINGS[coding][1]
            dtype = _np.dtype([("title", "S%d" % ts), ("data", "u1", (ds,)), ("samples", fmt, (ns,))])
            if n:
                rows = _np.memmap(path, dtype=dtype, mode="r", offset=header_size, shape=(n,))
            else:
                rows = _np.zeros(0, dtype=dtype)
            for k, channel in enumerate(channels):
                waves[channel] = rows["samples"][:, k * samples:(k + 1) * samples]
            data = rows["data"]
            tx = [bytes(row[:tx_len]) for row in data]
            rx = [bytes(row[tx_len:]) for row in data]
            labels = [t.decode("utf-8", "replace").strip() for t in rows["title"]] if ts else []
        else:
            typecode = _CODINGS[coding][0]
            waves = {channel: [] for channel in channels}
            tx, rx, labels = [], [], []
            for _ in range(n):
                raw = f.read(record)
                if ts:
                    labels.append(raw[:ts].decode("utf-8", "replace").strip())
                tx.append(raw[ts:ts + tx_len])
                rx.append(raw[ts + tx_len:ts + ds])
                body = array.array(typecode)
                body.frombytes(raw[ts + ds:])
                if sys.byteorder == "big":
                    body.byteswap()
                for k, channel in enumerate(channels):
                    waves[channel].append(body[k * samples:(k + 1) * samples])
    return TraceSet(waves=waves, tx=tx, rx=rx, metadata=metadata, sample_period=float(period or 0.0),
                    labels=labels)


def read_npz(path: str) -> TraceSet:
    """Reads a .npz trace set written by ``write_npz``. Needs numpy."""
    if _np is None:
        raise ImportError(".npz files need numpy (Debian: python3-numpy)")
    with _np.load(path, allow_pickle=False) as z:
        metadata = json.loads(str(z["metadata"][()])) if "metadata" in z.files else {}
        waves = {int(name.split("_", 1)[1]): z[name] for name in z.files if name.startswith("channel_")}
        tx = [bytes(row) for row in z["tx"]] if "tx" in z.files else []
        rx = [bytes(row) for row in z["rx"]] if "rx" in z.files else [b""] * len(tx)
        labels = [str(s) for s in z["label"]] if "label" in z.files else []
        period = float(z["sample_period"][()]) if "sample_period" in z.files else 0.0
    if not tx and waves:
        tx = [b""] * len(next(iter(waves.values())))
        rx = list(tx)
    return TraceSet(waves=waves, tx=tx, rx=rx, metadata=metadata, sample_period=period or 0.0, labels=labels)


def read_traces(path: str) -> TraceSet:
    """Reads a TRS or .npz trace set (told apart by their first bytes)."""
    with open(path, "rb") as f:
        magic = f.read(2)
    return read_npz(path) if magic == b"PK" else read_trs(path)
