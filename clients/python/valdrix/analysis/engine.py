"""Where the adding happens: the compiled kernel, the threads that share a
chunk's columns or rows, and the checks every accumulator makes on its input.

The kernel is the package's extension module ``valdrix._kernels``, built by
the install (or by the checkout's CMake build into a tree on PYTHONPATH).
Without it numpy adds, several times more slowly, and the tools say so.
"""

from __future__ import annotations

import os
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, List, Optional

import numpy as np

try:
    from .. import _kernels  # type: ignore[attr-defined]
except ImportError:
    _kernels = None

# Below this many samples in a chunk, one thread is faster than handing out work.
_PARALLEL_MIN = 1 << 20
# Per-group sums up to this many elements are kept per core and added up.
_PRIVATE_SUMS = 1 << 16
# A row on a page of its own costs mapping the page in: about what adding
# this many samples costs, as parallel_rows weighs work.
_PAGE_WORK = 256
# Rows a numpy fallback takes at once.
_SUB_ROWS = 1024

_pool: Optional[ThreadPoolExecutor] = None
_pool_lock = threading.Lock()

KERNEL_MISSING = ("the compiled analysis kernel valdrix._kernels is not installed: numpy adds, several times "
                  "more slowly (install the package with a C compiler and python3-dev)")


def kernels_available() -> bool:
    """Whether the compiled accumulation kernel is in use (else numpy adds)."""
    return _kernels is not None


def kernel() -> Any:
    """The compiled kernel module, or None."""
    return _kernels


def threads() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def _executor() -> ThreadPoolExecutor:
    global _pool
    with _pool_lock:
        if _pool is None:
            _pool = ThreadPoolExecutor(max_workers=threads(), thread_name_prefix="valdrix-analysis")
    return _pool


def parallel_columns(work: Callable[[int, int], None], n: int, s: int) -> None:
    """Runs work(c0, c1) over column ranges covering [0, s), one per core."""
    parts = min(threads(), max(1, s // 64))
    if parts == 1 or n * s < _PARALLEL_MIN:
        work(0, s)
        return
    # Column ranges on multiples of 64 samples keep threads off each other's cache lines.
    edges = [min(s, ((s * k // parts) + 63) // 64 * 64) for k in range(parts)] + [s]
    pool = _executor()
    futures = [pool.submit(work, a, b) for a, b in zip(edges[:-1], edges[1:]) if b > a]
    for f in futures:
        f.result()


def copy_rows(view: np.ndarray) -> np.ndarray:
    """A contiguous copy of a 2-D view whose rows lie far apart (the fields of
    a mapped file's records), its rows shared among the cores: each row lies
    on a page of its own, and mapping those pages in is what such a copy
    waits for, which cores do side by side."""
    out = np.empty(view.shape, dtype=view.dtype)

    def work(a: int, b: int) -> None:
        out[a:b] = view[a:b]

    parallel_rows(work, len(view), _PAGE_WORK)
    return out


def parallel_rows(work: Callable[[int, int], Any], n: int, s: int) -> List[Any]:
    """Runs work(r0, r1) over row ranges covering [0, n), one per core; returns their results."""
    parts = min(threads(), n)
    if parts <= 1 or n * s < _PARALLEL_MIN:
        return [work(0, n)]
    edges = [n * k // parts for k in range(parts + 1)]
    pool = _executor()
    futures = [pool.submit(work, a, b) for a, b in zip(edges[:-1], edges[1:]) if b > a]
    return [f.result() for f in futures]


class NonFiniteError(ValueError):
    """Samples that are NaN or infinite: no statistic of them means anything.
    ``trace`` and ``sample`` locate the first one within the chunk given."""

    def __init__(self, count: int, traces: int, trace: int, sample: int, value: float) -> None:
        self.count, self.traces, self.trace, self.sample, self.value = count, traces, trace, sample, value
        super().__init__(self.describe())

    def describe(self, first_trace: int = 0, first_sample: int = 0) -> str:
        return ("%d non-finite sample%s (NaN or inf) in %d trace%s, the first (%s) at trace %d, sample %d: "
                "nothing is computed from them (--window or --traces can leave them out)"
                % (self.count, "" if self.count == 1 else "s", self.traces, "" if self.traces == 1 else "s",
                   self.value, self.trace + first_trace, self.sample + first_sample))


def as_traces(traces: Any) -> np.ndarray:
    """traces as a 2-D array (traces, samples); float traces must be finite."""
    x = np.asarray(traces)
    if x.ndim == 1:
        x = x[None, :]
    if x.ndim != 2:
        raise ValueError("traces must be a 2-D array (traces, samples), got shape %s" % (x.shape,))
    if x.dtype.kind == "f" or x.dtype.kind == "c":
        bad = ~np.isfinite(x)
        if bad.any():
            rows = bad.any(axis=1)
            i = int(np.argmax(rows))
            j = int(np.argmax(bad[i]))
            raise NonFiniteError(int(bad.sum()), int(rows.sum()), i, j, float(np.real(x[i, j])))
    elif x.dtype.kind not in "iub":
        raise ValueError("traces must be numbers, got %s" % x.dtype)
    return x


def is_small_int(x: np.ndarray) -> bool:
    """Whether x converts to int16 without loss (the exact integer path)."""
    return (x.dtype.kind == "i" and x.dtype.itemsize <= 2) or (x.dtype.kind in "ub" and x.dtype.itemsize == 1)


def kernel_ready(x: np.ndarray) -> np.ndarray:
    """x as int16 with contiguous samples (a view where it already is)."""
    if x.dtype != np.int16 or (x.shape[1] > 1 and x.strides[1] != 2):
        x = np.ascontiguousarray(x, dtype=np.int16)
    return x


def bucket_sums(x: np.ndarray, buckets: np.ndarray, sums: np.ndarray, moments: Optional[np.ndarray] = None,
                distinct: bool = False) -> None:
    """sums[buckets[i, m], j] += x[i, j] for every trace i and slot m whose
    bucket is not negative. sums: (K, samples), int64 for integer traces
    (exact) or float64. moments, when given, (2, samples) of sums' dtype:
    every trace's x and x^2 are added into it on the way. distinct: the
    caller knows that no trace names one bucket in two slots. With the
    compiled kernel, sums may also be its int32 partial sums kept from call
    to call, (ceil(samples / w), K, w) with w = _kernels.BLOCK_COLS, which
    the caller folds in time (see _kernels.c)."""
    k = kernel()
    n, s = x.shape
    if sums.dtype == np.int32 and (k is None or not is_small_int(x)):
        raise ValueError("int32 partial sums take integer traces and the compiled kernel")
    if k is not None and is_small_int(x) and sums.dtype in (np.int64, np.int32):
        xk = kernel_ready(x)
        idx = np.ascontiguousarray(buckets, dtype=np.int32)
        # The kernel folds its int32 partial sums in time for the most adds one row can make to one bucket.
        hits = 1
        if not distinct and idx.shape[1] > 1:
            ordered = np.sort(idx, axis=1)
            hits = idx.shape[1] if ((ordered[:, 1:] == ordered[:, :-1]) & (ordered[:, 1:] >= 0)).any() else 1
        parallel_columns(lambda a, b: k.bucket_sums(xk, idx, sums, a, b, hits, moments), n, s)
        return

    def work(a: int, b: int) -> None:
        for r in range(0, n, _SUB_ROWS):
            rows = np.asarray(x[r:r + _SUB_ROWS, a:b], dtype=sums.dtype)
            if moments is not None:
                moments[0, a:b] += rows.sum(axis=0)
                moments[1, a:b] += (rows * rows).sum(axis=0)
            idx = buckets[r:r + _SUB_ROWS]
            for m in range(idx.shape[1]):
                v = idx[:, m]
                order = np.argsort(v, kind="stable")
                sv = v[order]
                keep = sv >= 0
                if not keep.any():
                    continue
                order, sv = order[keep], sv[keep]
                starts = np.flatnonzero(np.r_[True, sv[1:] != sv[:-1]])
                sums[sv[starts], a:b] += np.add.reduceat(rows[order], starts, axis=0)

    parallel_columns(work, n, s)
