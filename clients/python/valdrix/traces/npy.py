"""Trace sets kept as bare NumPy ``.npy`` arrays, as many capture scripts
leave them: one (traces x samples) array of numbers, with the inputs,
outputs and key, when there are any, in arrays of their own beside it.

Every array is mapped from its file, never loaded: reads take the rows
asked for. Its header is checked first: an array of Python objects (which
only unpickling could load) or of records is refused, and the header's shape
must match the file's size exactly.

The arrays beside ``DIR/STEM.npy`` are found by name. A STEM ending in
``traces`` (``traces.npy``, ``run1_traces.npy``) gives the prefix before it
(``""``, ``run1_``), any other STEM the prefix ``STEM_``; then the inputs are
PREFIX + ``textin``, ``plaintext``, ``plaintexts`` or ``inputs``, the outputs
PREFIX + ``textout``, ``ciphertext``, ``ciphertexts`` or ``outputs``, the key
PREFIX + ``keylist``, ``key`` or ``keys``, each with ``.npy``, the first that
exists. ``names`` (``inputs=FILE`` ...) gives them explicitly, relative to the
traces' folder.
"""

from __future__ import annotations

import math
import mmap
import os
import tokenize
import warnings
from typing import Any, Dict, Optional, Tuple

from ..errors import TraceFileError
from .base import TraceSet, open_entry
from .names import Names, as_names, assemble

__all__ = ["read_npy", "MAGIC", "BESIDE"]

MAGIC = b"\x93NUMPY"
#: Names looked for beside the traces, after the prefix, by role.
BESIDE: Dict[str, Tuple[str, ...]] = {
    "inputs": ("textin", "plaintext", "plaintexts", "inputs"),
    "outputs": ("textout", "ciphertext", "ciphertexts", "outputs"),
    "key": ("keylist", "key", "keys"),
}
# numpy's own limit on a header's text (it parses it as a Python literal).
_MAX_HEADER = 10000


def _open_array(path: str, shown: str) -> Any:
    """The array of a .npy file, mapped; ``shown`` is how errors name it."""
    import numpy as np

    f, size = open_entry(path)
    with f, warnings.catch_warnings():
        # numpy compiles the header's text as a Python literal: a damaged
        # one would print the compiler's warnings on the tools' stderr.
        warnings.simplefilter("ignore", DeprecationWarning)
        warnings.simplefilter("ignore", SyntaxWarning)
        try:
            version = np.lib.format.read_magic(f)
            if version == (1, 0):
                shape, fortran, dtype = np.lib.format.read_array_header_1_0(f, max_header_size=_MAX_HEADER)
            elif version in ((2, 0), (3, 0)):
                shape, fortran, dtype = np.lib.format.read_array_header_2_0(f, max_header_size=_MAX_HEADER)
            else:
                raise ValueError("npy version %d.%d" % version)
        except (ValueError, SyntaxError, TypeError, EOFError, OverflowError, MemoryError, RecursionError, KeyError,
                IndexError, tokenize.TokenError) as e:
            # numpy parses the header as a Python literal and says so in
            # whichever way the parser failed; the file's own text is cut short.
            said = (str(e).splitlines() or [type(e).__name__])[0]
            raise TraceFileError(shown, "not a readable .npy array (%s)" % (said[:120] + "..." * (len(said) > 120))
                                 ) from None
        header = f.tell()
        if any(d < 0 for d in shape):
            raise TraceFileError(shown, "claims a negative shape %s" % (shape,))
        if dtype.hasobject:
            raise TraceFileError(shown, "holds Python objects (a pickle), which are never loaded")
        if dtype.names is not None or dtype.subdtype is not None or dtype.kind not in "biuf":
            raise TraceFileError(shown, "holds %s, not numbers" % dtype)
        nbytes = math.prod(shape) * dtype.itemsize
        if header + nbytes != size:
            raise TraceFileError(shown, "claims %s %s (%d bytes) but holds %d" % (
                "x".join(map(str, shape)) or "a scalar", dtype, nbytes, size - header))
        if nbytes == 0:
            return np.zeros(shape, dtype=dtype)
        mm = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
    return np.ndarray(shape, dtype=dtype, buffer=mm, offset=header, order="F" if fortran else "C")


def _beside(path: str, role: str) -> Optional[str]:
    folder, file = os.path.split(path)
    stem = file[:-4] if file.lower().endswith(".npy") else file
    prefix = stem[:-6] if stem.lower().endswith("traces") else stem + "_"
    for word in BESIDE[role]:
        candidate = os.path.join(folder, prefix + word + ".npy")
        if os.path.lexists(candidate) and os.path.abspath(candidate) != os.path.abspath(path):
            return candidate
    return None


def read_npy(path: str, names: Any = None, *, inputs: Optional[str] = None,
             outputs: Optional[str] = None, key: Optional[str] = None) -> TraceSet:
    """Reads a .npy array of traces with its inputs, outputs and key (see the
    module's notes). ``inputs``, ``outputs``, ``key``: those arrays' files,
    overriding ``names`` and the names looked for beside the traces."""
    path = os.fspath(path)
    names = as_names(names)
    given = {"inputs": inputs, "outputs": outputs, "key": key}
    traces = _open_array(path, path)
    arrays: Dict[str, Any] = {"traces": traces}
    where: Dict[str, str] = {"traces": path}
    folder = os.path.dirname(path)
    for role in ("inputs", "outputs", "key", "labels"):
        if given.get(role):
            found: Optional[str] = os.fspath(given[role])  # type: ignore[arg-type]
        elif role in names.given:
            found = os.path.join(folder, names.given[role])
        elif role in BESIDE:
            found = _beside(path, role)
        else:
            found = None
        if found is None:
            continue
        try:
            arrays[role] = _open_array(found, found)
        except TraceFileError as e:
            raise TraceFileError(path, "%s (%s): %s" % (found, role, e.problem)) from None
        where[role] = found
    if "traces" in names.given and os.path.basename(path) != names.given["traces"]:
        raise TraceFileError(path, "traces= does not apply to a .npy file: the file itself holds the traces")
    if traces.ndim == 1:  # one trace
        arrays["traces"] = traces.reshape(1, -1)
    ts = assemble(path, "npy", arrays, where=where)
    # What another process (a Dask worker) needs to read the same set by its path.
    beside = {r: os.path.abspath(where[r]) for r in ("inputs", "outputs", "key", "labels") if r in where}
    ts.read_options = dict(names=Names(beside) or None)  # type: ignore[attr-defined]
    return ts
