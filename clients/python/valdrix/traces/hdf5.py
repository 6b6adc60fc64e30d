"""HDF5 trace sets (Debian's python3-h5py), as the public side-channel
databases publish them.

Two layouts are read. The profiling databases' (ASCAD and its successors):
groups ``Profiling_traces`` and ``Attack_traces``, each with ``traces``
(traces x samples, int8 in the published files), ``labels`` (the targeted
intermediate per trace) and ``metadata``, a compound dataset whose fields
include ``plaintext``, ``key``, ``ciphertext`` and ``masks``. And a plain one:
datasets for the traces, inputs, outputs and key at the top of the file or
of a group. One selector picks the group (``group=``; default
``Attack_traces`` when the file has it); ``names`` says under which names
the datasets or compound fields are stored (see ``names.Names``).

Nothing in a file reaches beyond it: external links, datasets kept in
external raw files and virtual datasets are refused, as are filters other
than HDF5's own (a plugin would be loaded from the library's search path).
A dataset's claims are checked against what the file stores before anything
is read: a contiguous dataset must be allocated in full inside the file, a
chunked one must store every chunk its shape needs, in chunks of at most
``MAX_CHUNK`` bytes, and claim at most ``MAX_RATIO`` times the bytes it
stores. Reads slice the datasets, so memory grows with what is asked for and
one chunk, never with the whole set. Damage to the container itself is the
HDF5 library's to find; whatever it raises becomes a ``TraceFileError``.
"""

from __future__ import annotations

import math
import numbers
import os
import re
from typing import Any, Callable, Dict, List, Optional, Tuple

from ..errors import TraceFileError
from .base import CHUNK_BYTES, TraceSet, open_entry
from .names import DEFAULTS, ROLES, Names, as_names, assemble

__all__ = ["read_hdf5", "SIGNATURE", "GROUPS", "DEFAULT_GROUP", "MAX_CHUNK", "MAX_RATIO"]

SIGNATURE = b"\x89HDF\r\n\x1a\n"
#: The profiling databases' groups, and the one read unless another is asked for.
GROUPS = ("Profiling_traces", "Attack_traces")
DEFAULT_GROUP = "Attack_traces"
#: A chunk is decoded whole; this bounds the memory one read can take.
MAX_CHUNK = 64 << 20
#: Deflate expands at most about 1032 times; a dataset claiming more than
#: this many times what it stores cannot be honest.
MAX_RATIO = 1100
# HDF5's built-in filters and LZF (which h5py carries): deflate, shuffle,
# fletcher32, szip, nbit, scaleoffset, lzf.
_FILTERS = {1: "deflate", 2: "shuffle", 3: "fletcher32", 4: "szip", 5: "nbit", 6: "scaleoffset", 32000: "lzf"}
# The compound dataset whose fields hold the inputs, outputs and key when no
# dataset of that name exists.
_METADATA = "metadata"
_SMALL_ATTR = 4096
# HDF5 itself gives up after 16 nested soft links.
_MAX_SOFT_LINKS = 16
# Decoded chunks kept per dataset, so that consecutive reads that share a
# chunk decode it once.
_CACHE = 16 << 20


def _h5py() -> Any:
    try:
        import h5py
    except ImportError as e:  # pragma: no cover - depends on the host
        raise ImportError("HDF5 trace sets need h5py (Debian: python3-h5py)") from e
    return h5py


def _say(e: BaseException) -> str:
    return re.sub(r"\s+", " ", str(e)).strip() or type(e).__name__


class _File:
    """The open file, its size, and the checks every name and dataset pass."""

    def __init__(self, path: str, h5: Any, f: Any, size: int) -> None:
        self.path, self.h5, self.f, self.size = path, h5, f, size

    def fault(self, problem: str) -> TraceFileError:
        return TraceFileError(self.path, problem)

    def guard(self, load: Callable[[], Any], what: str = "the file") -> Any:
        try:
            return load()
        except TraceFileError:
            raise
        except (OSError, RuntimeError, ValueError, KeyError, TypeError, IndexError, OverflowError,
                MemoryError) as e:
            raise self.fault("%s cannot be read (%s)" % (what, _say(e))) from None

    def child(self, group: Any, name: str, depth: int = 0) -> Any:
        """``group[name]``, after checking that each link on the way stays in
        the file, soft links too (their paths are walked the same way); None
        when there is no such name."""
        h5 = self.h5
        if depth > _MAX_SOFT_LINKS:
            raise self.fault("the soft link to %s leads through more than %d others (a loop?)"
                             % (name, _MAX_SOFT_LINKS))
        node = group
        parts = [p for p in name.split("/") if p]
        base = [p for p in str(self.guard(lambda: group.name, name) or "").split("/") if p]
        for i, part in enumerate(parts):
            where = "/".join(base + parts[:i + 1])
            if not isinstance(node, h5.Group):
                return None
            link = self.guard(lambda: node.get(part, getlink=True), where)
            if link is None:
                return None
            if isinstance(link, h5.ExternalLink):
                raise self.fault("%s is an external link to %s in %s, which is not followed"
                                 % (where, link.path, link.filename))
            if isinstance(link, h5.SoftLink):
                node = self.child(self.f if link.path.startswith("/") else node, link.path, depth + 1)
            elif isinstance(link, h5.HardLink):
                node = self.guard(lambda: node.get(part), where)
            else:
                raise self.fault("%s is a link of a kind this reader does not follow" % where)
            if node is None:  # a soft link to nothing
                return None
        return node

    def dataset(self, ds: Any, where: str) -> Any:
        """Checks that a dataset's data is in this file and that its shape
        claims no more than the file stores."""
        h5 = self.h5

        def check() -> None:
            if ds.is_virtual:
                raise self.fault("%s is a virtual dataset (its data is in other files), which is not read" % where)
            dcpl = ds.id.get_create_plist()
            if dcpl.get_external_count():
                raise self.fault("%s keeps its data in external files, which are not read" % where)
            for i in range(dcpl.get_nfilters()):
                code = dcpl.get_filter(i)[0]
                if code not in _FILTERS:
                    raise self.fault("%s is stored through filter %d, which this reader does not decode"
                                     % (where, code))
            if h5.check_dtype(vlen=ds.dtype) is not None or h5.check_dtype(ref=ds.dtype) is not None \
                    or ds.dtype.hasobject:
                raise self.fault("%s holds variable-length data or references, not numbers" % where)
            shape = tuple(ds.shape or ())
            nbytes = math.prod(shape) * ds.dtype.itemsize
            layout = dcpl.get_layout()
            stored = ds.id.get_storage_size()
            if layout == h5.h5d.CHUNKED:
                chunks = ds.chunks
                chunk_bytes = math.prod(chunks) * ds.dtype.itemsize
                if chunk_bytes > MAX_CHUNK:
                    raise self.fault("%s has chunks of %d bytes (at most %d)" % (where, chunk_bytes, MAX_CHUNK))
                needed = math.prod(-(-s // c) for s, c in zip(shape, chunks))
                held = ds.id.get_num_chunks() if needed else 0
                if held < needed:
                    raise self.fault("%s claims %s entries in %d chunks, %d are stored"
                                     % (where, "x".join(map(str, shape)), needed, held))
                if nbytes > MAX_RATIO * stored + MAX_CHUNK:
                    raise self.fault("%s claims %d bytes from %d stored, more than compression can give"
                                     % (where, nbytes, stored))
            elif layout == h5.h5d.CONTIGUOUS and nbytes:
                offset = ds.id.get_offset()
                if offset is None or stored < nbytes:
                    raise self.fault("%s claims %s %s (%d bytes) but stores %d"
                                     % (where, "x".join(map(str, shape)), ds.dtype, nbytes, stored))
                if offset + nbytes > self.size:
                    raise self.fault("%s lies beyond the end of the file" % where)
            elif layout not in (h5.h5d.COMPACT, h5.h5d.CONTIGUOUS):
                raise self.fault("%s has a storage layout this reader does not read" % where)
        self.guard(check, where)
        return ds


class _Column:
    """A dataset, or one field of a compound dataset, read by slicing:
    ``column[a:b]`` is a numpy array of those rows and nothing more. Every
    fault is a ``TraceFileError`` naming the file."""

    def __init__(self, file: _File, ds: Any, where: str, field: Optional[str] = None) -> None:
        self._file, self._ds, self._where, self._field = file, ds, where, field
        if field is None:
            self.dtype = ds.dtype
            self.shape = tuple(ds.shape)
            self.chunks = ds.chunks
        else:
            sub = ds.dtype.fields[field][0]
            self.dtype = sub.base
            self.shape = tuple(ds.shape) + tuple(sub.shape)
            self.chunks = None
        self.ndim = len(self.shape)

    def __len__(self) -> int:
        return self.shape[0] if self.shape else 0

    def __repr__(self) -> str:
        return "<HDF5 %s: %s %s>" % (self._where, "x".join(map(str, self.shape)), self.dtype)

    def _rows(self, start: int, stop: int) -> Any:
        import numpy as np

        if stop <= start:
            return np.zeros((0,) + self.shape[1:], dtype=self.dtype)
        if self._field is None:
            return self._ds[start:stop]
        return self._ds.fields(self._field)[start:stop]

    def __getitem__(self, key: Any) -> Any:
        import numpy as np

        def load() -> Any:
            first, rest = (key[0], key[1:]) if isinstance(key, tuple) and key else (key, ())
            n = len(self)
            if first is Ellipsis:
                first, rest = slice(None), (Ellipsis,) + tuple(rest)
            if isinstance(first, slice):
                start, stop, step = first.indices(n)
                if step > 0:
                    lo, hi = start, max(start, stop)
                    block = self._rows(lo, hi)[::step]
                else:
                    lo, hi = stop + 1, start + 1
                    block = self._rows(max(0, lo), hi)[::-1][::-step]
            elif isinstance(first, numbers.Integral) and not isinstance(first, bool):
                i = int(first) + (n if int(first) < 0 else 0)
                if not 0 <= i < n:
                    raise IndexError("index %d is out of range for %d traces" % (int(first), n))
                block = self._rows(i, i + 1)[0]
                return block[rest] if rest else block
            else:  # a selection of rows: read the span they cover
                rows = np.asarray(first)
                if rows.dtype == bool:
                    rows = np.nonzero(rows)[0]
                rows = np.where(rows < 0, rows + n, rows)
                if len(rows) and (rows.min() < 0 or rows.max() >= n):
                    raise IndexError("a row selection reaches outside %d traces" % n)
                wanted = np.unique(rows)
                if len(wanted) and wanted[-1] - wanted[0] + 1 > 4 * len(wanted):  # scattered: row by row
                    block = np.stack([self._rows(int(i), int(i) + 1)[0] for i in wanted])
                    block = block[np.searchsorted(wanted, rows)]
                else:
                    lo = int(wanted[0]) if len(wanted) else 0
                    block = self._rows(lo, int(wanted[-1]) + 1 if len(wanted) else 0)[rows - lo]
            return block[(slice(None),) + tuple(rest)] if rest else block
        return self._file.guard(load, self._where)

    def __array__(self, dtype: Any = None) -> Any:
        import numpy as np

        return np.asarray(self[:], dtype=dtype)


def _attrs(file: _File, node: Any) -> Dict[str, Any]:
    """Small scalar and text attributes of the file or group, as metadata."""
    import numpy as np

    out: Dict[str, Any] = {}

    def collect() -> None:
        for name in list(node.attrs.keys())[:256]:
            try:
                if node.attrs.get_id(name).get_storage_size() > _SMALL_ATTR * 8:
                    continue
                value = node.attrs.get(name)
            except (OSError, RuntimeError, TypeError, ValueError, KeyError):
                continue  # settings the file describes in a type of its own: not needed to read the traces
            if isinstance(value, bytes):
                value = value.decode("utf-8", "replace")
            elif isinstance(value, np.generic):
                value = value.item()
            elif isinstance(value, np.ndarray):
                if value.dtype.hasobject or value.size > _SMALL_ATTR:
                    continue
                value = value.tolist()
            if isinstance(value, (str, int, float, bool, list)):
                out[str(name)] = value
    file.guard(collect, "the attributes")
    return out


def _find(file: _File, group: Any, role: str, names: Names, prefix: str) -> Tuple[Any, str]:
    """The array playing ``role`` in ``group`` and where it is, or (None, "")."""
    h5 = file.h5
    for name in names.candidates(role, DEFAULTS[role]):
        node = file.child(group, name)
        if isinstance(node, h5.Dataset):
            where = prefix + name
            return _Column(file, file.dataset(node, where), where), where
        if node is not None:
            raise file.fault("%s%s is a group, not a dataset" % (prefix, name))
        dataset, field = (name.rsplit(".", 1) if "." in name else (_METADATA, name))
        node = file.child(group, dataset)
        if isinstance(node, h5.Dataset) and node.dtype.names and field in node.dtype.names:
            where = "%s%s.%s" % (prefix, dataset, field)
            return _Column(file, file.dataset(node, prefix + dataset), where, field), where
        if role in names.given:
            raise file.fault("no dataset or field %s%s for %s" % (prefix, name, role))
    return None, ""


def _pick_group(file: _File, group: Optional[str], names: Names) -> Tuple[Any, str]:
    h5, root = file.h5, file.f
    if group is not None:
        node = file.child(root, group)
        if not isinstance(node, h5.Group):
            raise file.fault("no group %s (groups: %s)" % (group, ", ".join(_groups(file)) or "none"))
        return node, group.strip("/") + "/"
    if any(file.child(root, n) is not None for n in names.candidates("traces", DEFAULTS["traces"])):
        return root, ""
    for name in (DEFAULT_GROUP,) + tuple(g for g in GROUPS if g != DEFAULT_GROUP):
        node = file.child(root, name)
        if isinstance(node, h5.Group):
            return node, name + "/"
    groups = _groups(file)
    if len(groups) == 1:
        return file.child(root, groups[0]), groups[0] + "/"
    raise file.fault("no traces dataset at the top of the file%s" % (
        "; choose a group (group=, --group): %s" % ", ".join(groups) if groups else ""))


def _groups(file: _File) -> List[str]:
    h5 = file.h5

    def names() -> List[str]:
        found = []
        for name in list(file.f.keys())[:1000]:
            link = file.f.get(name, getlink=True)
            if isinstance(link, h5.HardLink) and isinstance(file.f.get(name), h5.Group):
                found.append(name)
        return found
    return file.guard(names, "the file's groups")


def read_hdf5(path: str, group: Optional[str] = None, names: Any = None) -> TraceSet:
    """Reads an HDF5 trace set; see the module's notes. ``group``: the group
    holding the traces; ``names``: where each role's data is stored."""
    path = os.fspath(path)
    h5 = _h5py()
    names = as_names(names)
    f, size = open_entry(path)  # refuses FIFOs and devices before HDF5 opens the path
    f.close()
    try:
        h5file = h5.File(path, "r", rdcc_nbytes=_CACHE)
    except (OSError, RuntimeError, ValueError) as e:
        raise TraceFileError(path, "not a readable HDF5 file (%s)" % _say(e)) from None
    try:
        ts = _read(_File(path, h5, h5file, size), group, names)
    except BaseException:
        h5file.close()  # a set that is refused keeps no descriptor open
        raise
    return ts


def _read(file: _File, group: Optional[str], names: Names) -> TraceSet:
    h5, path = file.h5, file.path
    node, prefix = _pick_group(file, group, names)
    arrays: Dict[str, Any] = {}
    where: Dict[str, str] = {}
    for role in ROLES:
        column, at = _find(file, node, role, names, prefix)
        if column is not None:
            arrays[role], where[role] = column, at
    if "traces" not in arrays:
        raise file.fault("no traces dataset in %s (name it: traces=NAME)" % (prefix.rstrip("/") or "the file"))
    extras: Dict[str, Any] = {}
    meta = file.child(node, _METADATA)
    used = {where[r].rsplit(".", 1)[1] for r in where if where[r].startswith(prefix + _METADATA + ".")}
    if isinstance(meta, h5.Dataset) and meta.dtype.names:
        for field in meta.dtype.names:
            if field not in used:
                extras[field] = _Column(file, file.dataset(meta, prefix + _METADATA), prefix + _METADATA + "." + field,
                                        field)
    metadata = _attrs(file, file.f)
    if node is not file.f:
        metadata.update(_attrs(file, node))
        metadata["group"] = prefix.rstrip("/")
    period = metadata.get("sample_period", 0.0)
    period = float(period) if isinstance(period, (int, float)) and math.isfinite(period) and period > 0 else 0.0
    traces = arrays["traces"]
    chunk_traces = None
    if traces.chunks and traces.ndim == 2:  # whole chunks of the dataset per step, about CHUNK_BYTES of them
        rows = traces.chunks[0]
        row_bytes = max(1, traces.shape[1] * traces.dtype.itemsize)
        if rows * row_bytes <= 4 * CHUNK_BYTES:  # not for chunks that run down a column
            chunk_traces = max(rows, CHUNK_BYTES // row_bytes // rows * rows)
    ts = assemble(path, "hdf5", arrays, where=where, extras=extras, metadata=metadata, sample_period=period,
                  guard=file.guard, chunk_traces=chunk_traces)
    # What another process (a Dask worker) needs to read the same set by its path.
    ts.read_options = dict(group=prefix.rstrip("/") or None, names=names or None)  # type: ignore[attr-defined]
    return ts
