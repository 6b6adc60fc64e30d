"""Trace sets from files laid out by other tools: which stored array plays
which part, and the set made from them.

A foreign file keeps its traces, inputs, outputs and key under names of its
own ("plaintext", "trace_array", "textin", ...). ``Names`` says which stored
name plays each role (``DEFAULTS`` are tried when it says nothing); the
HDF5, .npy and foreign .npz readers look them up, and ``assemble`` (or
``build_set``, from a file's arrays by name) checks the arrays against each
other and makes the ``TraceSet``: the traces as channel 1, the inputs as
``tx``, the outputs as ``rx``, the key as ``key_array`` (one row per trace)
and any other per-trace arrays in ``extras``, all read as they are asked for.
"""

from __future__ import annotations

from typing import Any, Dict, Iterable, Mapping, Optional, Tuple

from ..errors import TraceFileError
from .base import TraceSet

__all__ = ["ROLES", "DEFAULTS", "Names", "as_names", "parse_names", "build_set", "assemble", "one_key",
           "KEY_SCAN_TRACES"]

#: What a stored array can stand for: samples (traces x samples), the bytes
#: sent (inputs: plaintexts), received (outputs: ciphertexts), the key (one
#: row per trace, or one row for all) and the targeted intermediate value
#: per trace (labels, as the public profiling databases call it).
ROLES = ("traces", "inputs", "outputs", "key", "labels")
#: The names each role is looked for under when none is given, in order:
#: the ones the public databases and the common capture tools use.
DEFAULTS: Dict[str, Tuple[str, ...]] = {
    "traces": ("traces", "trace_array", "traces_array", "waves"),
    "inputs": ("plaintext", "plaintexts", "inputs", "textin", "pt"),
    "outputs": ("ciphertext", "ciphertexts", "outputs", "textout", "ct"),
    "key": ("key", "keys", "keylist"),
    "labels": ("labels",),
}

# A key is compared row by row in blocks of this many traces, so that a
# check over a million traces stays a few MiB.
KEY_SCAN_TRACES = 1 << 16


class Names:
    """Stored names by role; roles left out are looked up under their
    ``defaults`` (several names tried in order) or are absent."""

    def __init__(self, mapping: Optional[Mapping[str, str]] = None, **names: str) -> None:
        given = dict(mapping or {}, **names)
        unknown = sorted(set(given) - set(ROLES))
        if unknown:
            raise ValueError("unknown role %s (roles: %s)" % (", ".join(unknown), ", ".join(ROLES)))
        for role, name in given.items():
            if not isinstance(name, str) or not name:
                raise ValueError("the name given for %s is empty" % role)
        self.given: Dict[str, str] = given

    def candidates(self, role: str, defaults: Iterable[str] = ()) -> Tuple[str, ...]:
        """The names to look for: the given one alone, else the defaults."""
        if role in self.given:
            return (self.given[role],)
        return tuple(defaults)

    def __bool__(self) -> bool:
        return bool(self.given)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Names) and other.given == self.given

    def __repr__(self) -> str:
        return "Names(%s)" % ", ".join("%s=%r" % item for item in sorted(self.given.items()))


def as_names(names: Any) -> Names:
    """``Names`` from None, a ``Names`` or a mapping role -> stored name."""
    if isinstance(names, Names):
        return names
    if names is None:
        return Names()
    if isinstance(names, Mapping):
        return Names(names)
    raise TypeError("names: a Names or a mapping role -> name, not %s" % type(names).__name__)


def parse_names(text: str) -> Names:
    """``"inputs=plaintext,key=metadata.key"`` as ``Names``: comma-separated
    ROLE=NAME pairs. A NAME of the form ``DATASET.FIELD`` names a field of a
    compound dataset (HDF5)."""
    mapping: Dict[str, str] = {}
    for part in text.split(","):
        part = part.strip()
        if not part:
            continue
        role, sep, name = part.partition("=")
        role, name = role.strip(), name.strip()
        if not sep or not name:
            raise ValueError("%r is not ROLE=NAME (roles: %s)" % (part, ", ".join(ROLES)))
        if role in mapping:
            raise ValueError("%s is named twice" % role)
        mapping[role] = name
    return Names(mapping)


def _shape(a: Any) -> Tuple[int, ...]:
    return tuple(int(x) for x in a.shape)


def build_set(path: str, fmt: str, arrays: Mapping[str, Any], names: Any = None,
              metadata: Optional[Dict[str, Any]] = None, sample_period: float = 0.0, *,
              guard: Any = None) -> TraceSet:
    """The trace set of a file's named arrays (stored name -> array-like with
    ``shape`` and ``dtype``, read by slicing), each role found under the name
    ``names`` gives or else under ``DEFAULTS``. Arrays that play no role and
    hold one entry per trace are kept in ``extras``."""
    names = as_names(names)
    roles: Dict[str, Any] = {}
    where: Dict[str, str] = {}
    for role in ROLES:
        for candidate in names.candidates(role, DEFAULTS[role]):
            if candidate in arrays:
                roles[role], where[role] = arrays[candidate], candidate
                break
        else:
            if role in names.given:
                raise TraceFileError(path, "no array %s for %s (arrays: %s)" % (
                    names.given[role], role, ", ".join(sorted(arrays)) or "none"))
    n = _shape(roles["traces"])[0] if "traces" in roles and _shape(roles["traces"]) else None
    extras = {name: a for name, a in arrays.items()
              if name not in where.values() and _shape(a) and _shape(a)[0] == n}
    return assemble(path, fmt, roles, where=where, extras=extras, metadata=metadata, sample_period=sample_period,
                    guard=guard)


def assemble(path: str, fmt: str, arrays: Mapping[str, Any], *, where: Optional[Mapping[str, str]] = None,
             extras: Optional[Mapping[str, Any]] = None, metadata: Optional[Dict[str, Any]] = None,
             sample_period: float = 0.0, guard: Any = None, chunk_traces: Optional[int] = None) -> TraceSet:
    """The trace set of ``arrays`` (role -> array-like with ``shape`` and
    ``dtype``, read by slicing). ``where`` names each role's stored array in
    the errors. Traces must be a 2-D array of numbers; inputs and outputs
    (n, bytes) of 8-bit integers; the key (n, bytes) or (bytes,) for every
    trace. ``extras``: other arrays of one entry per trace, kept by name."""
    import numpy as np

    where = dict(where or {})

    def name(role: str) -> str:
        return where.get(role, role)

    traces = arrays.get("traces")
    if traces is None:
        raise TraceFileError(path, "no traces array (name it: traces=NAME)")
    shape = _shape(traces)
    if len(shape) != 2 or traces.dtype.kind not in "iuf" or traces.dtype.itemsize > 8:
        raise TraceFileError(path, "%s is %s %s, not traces x samples of numbers"
                             % (name("traces"), "x".join(map(str, shape)) or "a scalar", traces.dtype))
    n = shape[0]

    def rows(role: str) -> Any:
        a = arrays.get(role)
        if a is None:
            return None
        s = _shape(a)
        if a.dtype.kind not in "iu" or a.dtype.itemsize != 1:
            raise TraceFileError(path, "%s (%s) holds %s, not bytes" % (name(role), role, a.dtype))
        if role == "key" and len(s) == 1:
            return a
        if len(s) != 2 or s[0] != n:
            raise TraceFileError(path, "%s (%s) is %s where %d rows of bytes were due"
                                 % (name(role), role, "x".join(map(str, s)) or "a scalar", n))
        return a

    tx, rx, key = rows("inputs"), rows("outputs"), rows("key")
    kept: Dict[str, Any] = {}
    for extra, a in dict(extras or {}, **({"labels": arrays["labels"]} if "labels" in arrays else {})).items():
        s = _shape(a)
        if not s or s[0] != n:
            raise TraceFileError(path, "%s is %s where one entry per trace (%d) was due"
                                 % (where.get(extra, extra), "x".join(map(str, s)) or "a scalar", n))
        kept[extra] = a
    empty = np.zeros((n, 0), dtype=np.uint8)
    ts = TraceSet({1: traces}, metadata=metadata or {}, sample_period=sample_period, path=path, format=fmt,
                  count=n, tx_array=tx if tx is not None else empty, rx_array=rx if rx is not None else empty,
                  chunk_traces=chunk_traces, guard=guard)
    ts.key_array = key  # type: ignore[attr-defined]
    ts.extras = kept  # type: ignore[attr-defined]
    return ts


def one_key(ts: Any, what: str = "this analysis", traces: Optional[int] = None) -> Optional[bytes]:
    """The key every trace of ``ts`` (the first ``traces`` only, when given)
    was made with, None when the set holds no key; ``ValueError`` naming two
    traces that differ when it varies."""
    import numpy as np

    keys = getattr(ts, "key_array", None)
    if keys is None:
        return None
    guard = getattr(ts, "_guard", None) or (lambda load: load())
    if len(keys.shape) == 1:
        return bytes(guard(lambda: np.asarray(keys[:], dtype=np.uint8)))
    n = int(keys.shape[0]) if traces is None else min(int(keys.shape[0]), traces)
    if n == 0:
        return None
    first = guard(lambda: np.asarray(keys[0:1], dtype=np.uint8))[0]
    for start in range(0, n, KEY_SCAN_TRACES):
        block = guard(lambda: np.asarray(keys[start:min(n, start + KEY_SCAN_TRACES)], dtype=np.uint8))
        differ = np.nonzero((block != first).any(axis=1))[0]
        if len(differ):
            i = start + int(differ[0])
            raise ValueError("%s: the key varies from trace to trace (trace 0: %s, trace %d: %s), and %s needs "
                             "one key; select a set with a fixed key (with HDF5, --group)"
                             % (getattr(ts, "path", "") or "the trace set", first.tobytes().hex(), i,
                                block[int(differ[0])].tobytes().hex(), what))
    return first.tobytes()
