"""Trace-set files: TRS, NumPy .npz and .npy, zarr directory stores and HDF5.

Reading: ``read_traces(path)`` opens any of them as a ``TraceSet`` without
building a Python object per trace. The samples, inputs and answers stay in the
file (TRS, .npy and uncompressed .npz are memory-mapped, zarr and HDF5 are read
chunk by chunk) and come out as numpy arrays: ``ts.read(start, stop)`` or
``ts.chunks()`` give ``TraceChunk`` blocks, ``ts.tx_array``/``ts.rx_array``/
``ts.label_array`` the whole columns. ``ts.tx`` and ``ts.rx`` remain indexable
sequences of ``bytes``, built when an entry is asked for. A file is known by
its content, not by its name; one that is not a well-formed trace set raises
``TraceFileError`` naming the file and the fault, whichever way it is read.

Writing: ``open_writer(path)`` picks the format by the suffix (``.trs``,
``.npz``, ``.zarr``) and returns a ``TraceWriter``: ``append(trace)``,
``append_arrays(...)`` for batches, ``close()`` and ``abort()``.

Each format lives in its own module (``trs``, ``npz``, ``zarr``, ...), all of
them built on ``base``; this module only tells the formats apart.
"""

from __future__ import annotations

import importlib
import inspect
import os
import stat
from typing import Any, Dict, Iterable, Optional

from ..errors import TraceFileError
from ..trace import Trace
from .base import CHUNK_BYTES, LABEL_NAMES, UNLABELLED, TraceChunk, TraceSet, TraceWriter, label_code, open_entry
from .names import Names, parse_names
from .trs import TrsWriter, read_trs

__all__ = [
    "TraceSet", "TraceChunk", "TraceWriter", "TrsWriter", "TraceFileError", "Trace",
    "open_writer", "write_npz", "read_traces", "read_trs", "read_npz", "read_zarr", "detect_format",
    "LABEL_NAMES", "UNLABELLED", "CHUNK_BYTES", "FORMATS", "label_code", "Names", "parse_names",
]

#: The formats ``read_traces`` reads: name -> (module, reader, what a user calls it).
FORMATS: Dict[str, tuple] = {
    "trs": ("trs", "read_trs", "TRS"),
    "npz": ("npz", "read_npz", "NumPy .npz"),
    "npy": ("npy", "read_npy", "NumPy .npy"),
    "zarr": ("zarr", "read_zarr", "zarr directory store"),
    "hdf5": ("hdf5", "read_hdf5", "HDF5"),
}

_HDF5_MAGIC = b"\x89HDF\r\n\x1a\n"
_ZIP_MAGICS = (b"PK\x03\x04", b"PK\x05\x06")
_NPY_MAGIC = b"\x93NUMPY"
# TRS headers start with a tag of version 1 or 2 (0x41 to 0x7F).
_TRS_FIRST = range(0x41, 0x80)


def _known() -> str:
    return ", ".join(label for _, _, label in FORMATS.values())


def detect_format(path: str) -> str:
    """The format of ``path`` by its content: a key of ``FORMATS``. Raises
    ``TraceFileError`` for anything else, listing what is read."""
    path = os.fspath(path)
    st = os.stat(path)  # a missing or unreadable file stays the OSError it is
    if stat.S_ISDIR(st.st_mode):
        if os.path.lexists(os.path.join(path, ".zgroup")):
            return "zarr"
        raise TraceFileError(path, "a directory but not a zarr group (no .zgroup); trace sets are read from %s"
                             % _known())
    f, size = open_entry(path)
    with f:
        head = f.read(8)
        # HDF5 may keep a user block first: its signature then sits at 512,
        # 1024, 2048, ... bytes.
        at = 512
        hdf5 = head == _HDF5_MAGIC
        while not hdf5 and at + 8 <= min(size, 1 << 20):
            f.seek(at)
            hdf5 = f.read(8) == _HDF5_MAGIC
            at *= 2
    if not head:
        raise TraceFileError(path, "empty file")
    if hdf5:
        return "hdf5"
    if head[:4] in _ZIP_MAGICS:
        return "npz"
    if head[:6] == _NPY_MAGIC:
        return "npy"
    if head[0] in _TRS_FIRST and len(head) >= 2:
        return "trs"
    raise TraceFileError(path, "not a trace-set file (first bytes %s); trace sets are read from %s"
                         % (head[:4].hex(), _known()))


def _reader(path: str, kind: str) -> Any:
    module, name, label = FORMATS[kind]
    try:
        found = importlib.import_module("." + module, __name__)
    except ImportError as e:
        raise TraceFileError(path, "a %s file, which needs %s on this host" % (label, e.name or e)) from None
    return getattr(found, name)


def read_traces(path: str, **options: Any) -> TraceSet:
    """Reads a trace set in any format of ``FORMATS``, told apart by content.
    ``options`` go to the format's reader (for example ``group=`` for HDF5 or
    ``names=`` to map a foreign file's array names); a reader refuses options
    it does not know."""
    path = os.fspath(path)
    kind = detect_format(path)
    read = _reader(path, kind)
    if options:
        try:
            inspect.signature(read).bind(path, **options)
        except TypeError:
            raise ValueError("%s: a %s file takes no option %s" % (path, FORMATS[kind][2],
                                                                   ", ".join(sorted(options)))) from None
    return read(path, **options)


def read_npz(path: str, **options: Any) -> TraceSet:
    """Reads a .npz trace set. Needs numpy."""
    from .npz import read_npz as read
    return read(os.fspath(path), **options)


def read_zarr(path: str) -> TraceSet:
    """Reads a zarr directory store. Needs numpy and zarr (Debian: python3-zarr)."""
    from .zarr import read_zarr as read
    return read(os.fspath(path))


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
        from .npz import NpzWriter
        return NpzWriter(path, metadata, labels=labels, sample_period=sample_period)
    if suffix == ".zarr":
        from .zarr import ZarrWriter
        return ZarrWriter(path, metadata, labels=labels, resume=resume, sample_period=sample_period)
    raise ValueError("%s: unknown trace-file type (use .trs, .npz or .zarr)" % path)


def write_npz(path: str, traces: Iterable[Trace], metadata: Optional[Dict[str, Any]] = None,
              compressed: bool = False) -> int:
    """Writes the traces (all with the same channels and lengths) to a .npz
    file; returns how many. Needs numpy."""
    from .npz import NpzWriter
    with NpzWriter(os.fspath(path), metadata, compressed=compressed) as w:
        for t in traces:
            w.append(t)
    return w.count
