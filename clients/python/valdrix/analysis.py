"""Side-channel analysis of trace sets: TVLA, SNR and CPA, one pass, any scale.

Every analysis is an accumulator: ``update()`` it with any number of chunks of
traces, ``merge()`` two of them (the state of one accumulator fed both inputs),
then ask for the result. Integer traces are added into exact int64 sums; float
traces (a second-order preprocessing, say) into Pébay-style central moments,
so neither the trace count nor the order of the chunks costs precision.

::

    from valdrix.analysis import TTest, CPA, analyze
    from valdrix.traces import read_traces

    ts = read_traces("campaign.trs")
    cpa = CPA(ts.samples)
    cpa.update(ts.waves[2][:1000], ts.tx_array[:1000])
    print(cpa.key().hex(), cpa.peaks())

    tvla = analyze("tvla.trs", "tvla")   # out of core, every core, chunk by chunk

- ``TTest(samples, order=1)``: Welch's t between the fixed (0) and random (1)
  groups; order 2 is the univariate test on the squares of the samples centred
  on their group's mean.
- ``SNR(samples, classes=256)``: variance of the class means over the mean of
  the variances within the classes.
- ``CPA(samples, model=None, bytes=range(16))``: Pearson correlation of a
  leakage model (default: the Hamming weight of AES-128's first-round S-box
  output) with every sample, for every key byte and guess. Traces are summed
  per byte value in one pass; the model enters as one 256 x 256 matrix
  product at the end, so any model of (input byte, guess) is as cheap.
- ``centred_product`` (second-order preprocessing), ``align`` (static
  alignment), ``key_rank``.
- ``analyze(path, kind, ...)``: the accumulation over a whole trace file in
  bounded memory, on every core, or as Dask tasks on a cluster
  (``scheduler="host:8786"``: the workers reopen the file by its path and
  return accumulators that the caller merges).

The heavy adding runs in the compiled ``valdrix._kernels`` where the install
built it, otherwise in numpy.
"""

from __future__ import annotations

import math
import os
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Dict, Iterable, List, Optional, Sequence, Tuple

import numpy as np

__all__ = [
    "TTest", "SNR", "CPA", "SBOX", "HW", "hw_sbox", "centred_product", "align", "key_rank",
    "analyze", "open_set", "LEAK_THRESHOLD", "kernels_available",
]

#: |t| above which a sample counts as leaking (the usual TVLA threshold).
LEAK_THRESHOLD = 4.5


def _load_kernels() -> Any:
    # A checkout's build puts the compiled kernel outside the source tree, in
    # VALDRIX_KERNELS_DIR/valdrix: the package looks there after its own folder.
    where = os.environ.get("VALDRIX_KERNELS_DIR")
    if where:
        package_path = sys.modules[__package__].__path__
        folder = os.path.join(where, "valdrix")
        if folder not in package_path:
            package_path.append(folder)
    try:
        from . import _kernels  # type: ignore[attr-defined]
    except ImportError:
        return None
    return _kernels


_kernels = _load_kernels()


def kernels_available() -> bool:
    """Whether the compiled accumulation kernel is in use (else numpy adds)."""
    return _kernels is not None


# ---------------------------------------------------------------------------
# AES tables and the default leakage model


def _make_sbox() -> np.ndarray:
    def mul(a: int, b: int) -> int:
        p = 0
        while b:
            if b & 1:
                p ^= a
            a = ((a << 1) ^ (0x11B if a & 0x80 else 0)) & 0xFF
            b >>= 1
        return p

    table = []
    for x in range(256):
        inv, power, e = 1, x, 254
        while e:
            if e & 1:
                inv = mul(inv, power)
            power = mul(power, power)
            e >>= 1
        rot = lambda b, n: ((b << n) | (b >> (8 - n))) & 0xFF  # noqa: E731
        table.append(inv ^ rot(inv, 1) ^ rot(inv, 2) ^ rot(inv, 3) ^ rot(inv, 4) ^ 0x63)
    return np.array(table, dtype=np.uint8)


#: AES's S-box.
SBOX = _make_sbox()
#: Hamming weight of each byte value.
HW = np.array([bin(v).count("1") for v in range(256)], dtype=np.uint8)


def hw_sbox(values: np.ndarray, guesses: np.ndarray) -> np.ndarray:
    """The default leakage model: HW(Sbox(value ^ guess)), (len(values), len(guesses))."""
    values = np.asarray(values, dtype=np.uint8)
    guesses = np.asarray(guesses, dtype=np.uint8)
    return HW[SBOX[values[:, None] ^ guesses[None, :]]]


# ---------------------------------------------------------------------------
# Threads: the kernels release the GIL, so columns are split over the cores.

_pool: Optional[ThreadPoolExecutor] = None
_pool_lock = threading.Lock()
# Below this many samples in a chunk, one thread is faster than handing out work.
_PARALLEL_MIN = 1 << 20


def _threads() -> int:
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return max(1, os.cpu_count() or 1)


def _parallel_columns(work: Callable[[int, int], None], n: int, s: int) -> None:
    """Runs work(c0, c1) over column ranges covering [0, s), one per core."""
    parts = min(_threads(), max(1, s // 64))
    if parts == 1 or n * s < _PARALLEL_MIN:
        work(0, s)
        return
    global _pool
    with _pool_lock:
        if _pool is None:
            _pool = ThreadPoolExecutor(max_workers=_threads(), thread_name_prefix="valdrix-analysis")
    # Column ranges on multiples of 64 samples keep threads off each other's cache lines.
    edges = [min(s, ((s * k // parts) + 63) // 64 * 64) for k in range(parts)] + [s]
    futures = [_pool.submit(work, a, b) for a, b in zip(edges[:-1], edges[1:]) if b > a]
    for f in futures:
        f.result()


# Per-group sums up to this many elements are kept per core and added up.
_PRIVATE_SUMS = 1 << 16


def _parallel_rows(work: Callable[[int, int], Any], n: int, s: int) -> List[Any]:
    """Runs work(r0, r1) over row ranges covering [0, n), one per core; returns their results."""
    parts = min(_threads(), n)
    if parts <= 1 or n * s < _PARALLEL_MIN:
        return [work(0, n)]
    global _pool
    with _pool_lock:
        if _pool is None:
            _pool = ThreadPoolExecutor(max_workers=_threads(), thread_name_prefix="valdrix-analysis")
    edges = [n * k // parts for k in range(parts + 1)]
    futures = [_pool.submit(work, a, b) for a, b in zip(edges[:-1], edges[1:]) if b > a]
    return [f.result() for f in futures]


def _as_2d(traces: Any) -> np.ndarray:
    x = np.asarray(traces)
    if x.ndim == 1:
        x = x[None, :]
    if x.ndim != 2:
        raise ValueError("traces must be a 2-D array (traces, samples), got shape %s" % (x.shape,))
    return x


def _is_small_int(x: np.ndarray) -> bool:
    """Whether x converts to int16 without loss (the exact integer path)."""
    return (x.dtype.kind == "i" and x.dtype.itemsize <= 2) or (x.dtype.kind in "ub" and x.dtype.itemsize == 1)


def _kernel_ready(x: np.ndarray) -> np.ndarray:
    """x as int16 with contiguous samples (a view where it already is)."""
    if x.dtype != np.int16 or (x.shape[1] > 1 and x.strides[1] != 2):
        x = np.ascontiguousarray(x, dtype=np.int16)
    return x


_SUB_ROWS = 1024


# ---------------------------------------------------------------------------
# Per-group statistics: exact integer sums or central moments


class _GroupStats:
    """Per-group count, and either exact int64 sums of x and x^2 (integer
    traces, order <= 2 moments) or float64 central moments up to ``order``
    (2 or 4). Both kinds may be present; ``moments()`` combines them."""

    def __init__(self, groups: int, samples: int, order: int) -> None:
        self.groups, self.samples, self.order = groups, samples, order
        self.n = np.zeros(groups, dtype=np.int64)
        # Exact sums, for integer traces when only the mean and variance are needed.
        self.int_n: Optional[np.ndarray] = None
        self.s1: Optional[np.ndarray] = None
        self.s2: Optional[np.ndarray] = None
        # Central moments: count, mean, M2[, M3, M4].
        self.mom: Optional[List[np.ndarray]] = None

    def update(self, x: np.ndarray, classes: np.ndarray) -> None:
        classes = np.asarray(classes).astype(np.int32, copy=False).ravel()
        if len(classes) != len(x):
            raise ValueError("one group per trace is needed: %d traces, %d groups" % (len(x), len(classes)))
        if x.shape[1] != self.samples:
            raise ValueError("traces of %d samples, the accumulator has %d" % (x.shape[1], self.samples))
        valid = (classes >= 0) & (classes < self.groups)
        counts = np.bincount(classes[valid], minlength=self.groups).astype(np.int64)
        self.n += counts
        if _is_small_int(x) and self.order == 2:
            self._update_ints(x, np.where(valid, classes, -1).astype(np.int32))
        else:
            self._update_moments(x, classes, valid)

    def _update_ints(self, x: np.ndarray, classes: np.ndarray) -> None:
        if self.s1 is None:
            self.int_n = np.zeros(self.groups, dtype=np.int64)
            self.s1 = np.zeros((self.groups, self.samples), dtype=np.int64)
            self.s2 = np.zeros((self.groups, self.samples), dtype=np.int64)
        self.int_n += np.bincount(classes[classes >= 0], minlength=self.groups)[: self.groups]
        s1, s2 = self.s1, self.s2
        if _kernels is not None:
            xk = _kernel_ready(x)
            if self.groups * self.samples <= _PRIVATE_SUMS:
                # Small sums: each core takes a run of whole rows into sums of its own.
                def rows(a: int, b: int) -> Tuple[np.ndarray, np.ndarray]:
                    p1, p2 = np.zeros_like(s1), np.zeros_like(s2)
                    _kernels.class_sums(xk[a:b], classes[a:b], p1, p2, 0, self.samples)
                    return p1, p2

                for p1, p2 in _parallel_rows(rows, len(xk), self.samples):
                    s1 += p1
                    s2 += p2
            else:
                _parallel_columns(lambda a, b: _kernels.class_sums(xk, classes, s1, s2, a, b), len(xk),
                                  self.samples)
            return

        def work(a: int, b: int) -> None:
            for r in range(0, len(x), _SUB_ROWS):
                c = classes[r:r + _SUB_ROWS]
                order = np.argsort(c, kind="stable")
                c = c[order]
                keep = c >= 0
                if not keep.any():
                    continue
                rows = np.asarray(x[r:r + _SUB_ROWS, a:b], dtype=np.int64)[order[keep]]
                c = c[keep]
                starts = np.flatnonzero(np.r_[True, c[1:] != c[:-1]])
                s1[c[starts], a:b] += np.add.reduceat(rows, starts, axis=0)
                s2[c[starts], a:b] += np.add.reduceat(rows * rows, starts, axis=0)

        _parallel_columns(work, len(x), self.samples)

    def _update_moments(self, x: np.ndarray, classes: np.ndarray, valid: np.ndarray) -> None:
        for g in np.unique(classes[valid]):
            rows = np.flatnonzero(classes == g)
            for r in range(0, len(rows), _SUB_ROWS):
                chunk = np.asarray(x[rows[r:r + _SUB_ROWS]], dtype=np.float64)
                self._merge_moments(int(g), _chunk_moments(chunk, self.order))

    def _merge_moments(self, g: int, other: List[Any]) -> None:
        if self.mom is None:
            k = self.order + 1
            self.mom = [np.zeros(self.groups, dtype=np.int64)] + [
                np.zeros((self.groups, self.samples)) for _ in range(k - 1)]
        mine = [self.mom[0][g]] + [m[g] for m in self.mom[1:]]
        merged = _pebay(mine, other)
        self.mom[0][g] = merged[0]
        for m, value in zip(self.mom[1:], merged[1:]):
            m[g] = value

    def merge(self, other: "_GroupStats") -> None:
        if (other.groups, other.samples, other.order) != (self.groups, self.samples, self.order):
            raise ValueError("cannot merge accumulators of different shapes")
        self.n += other.n
        if other.s1 is not None:
            if self.s1 is None:
                self.int_n, self.s1, self.s2 = other.int_n.copy(), other.s1.copy(), other.s2.copy()
            else:
                self.int_n += other.int_n
                self.s1 += other.s1
                self.s2 += other.s2
        if other.mom is not None:
            for g in range(self.groups):
                if other.mom[0][g]:
                    self._merge_moments(g, [other.mom[0][g]] + [m[g] for m in other.mom[1:]])

    def moments(self) -> List[np.ndarray]:
        """Per group: count (G,), mean (G, s), M2 (G, s)[, M3, M4]."""
        k = self.order + 1
        result = [np.zeros(self.groups, dtype=np.int64)] + [np.zeros((self.groups, self.samples)) for _ in range(k - 1)]
        if self.s1 is not None:
            n = self.int_n
            result[0] = n.copy()
            safe = np.maximum(n, 1)
            result[1] = self.s1 / safe[:, None]
            # n * M2 = n * sum(x^2) - sum(x)^2, exactly, in Python integers.
            num = self.s2.astype(object) * n.astype(object)[:, None] - self.s1.astype(object) ** 2
            result[2] = np.array(num, dtype=np.float64) / safe[:, None]
        if self.mom is not None:
            for g in range(self.groups):
                merged = _pebay([result[0][g]] + [m[g] for m in result[1:]],
                                [self.mom[0][g]] + [m[g] for m in self.mom[1:]])
                result[0][g] = merged[0]
                for m, value in zip(result[1:], merged[1:]):
                    m[g] = value
        return result


def _chunk_moments(x: np.ndarray, order: int) -> List[Any]:
    n = len(x)
    mean = x.mean(axis=0)
    d = x - mean
    d2 = d * d
    out = [n, mean, d2.sum(axis=0)]
    if order >= 3:
        out.append((d2 * d).sum(axis=0))
        out.append((d2 * d2).sum(axis=0))
    return out


def _pebay(a: List[Any], b: List[Any]) -> List[Any]:
    """Merges two sets of central moments [n, mean, M2[, M3, M4]] (Pébay 2008)."""
    na, nb = int(a[0]), int(b[0])
    if nb == 0:
        return list(a)
    if na == 0:
        return list(b)
    n = na + nb
    delta = b[1] - a[1]
    mean = a[1] + delta * (nb / n)
    m2 = a[2] + b[2] + delta * delta * (na * nb / n)
    out = [n, mean, m2]
    if len(a) > 3:
        m3 = (a[3] + b[3] + delta ** 3 * (na * nb * (na - nb) / n ** 2)
              + 3.0 * delta * (na * b[2] - nb * a[2]) / n)
        m4 = (a[4] + b[4] + delta ** 4 * (na * nb * (na * na - na * nb + nb * nb) / n ** 3)
              + 6.0 * delta * delta * (na * na * b[2] + nb * nb * a[2]) / n ** 2
              + 4.0 * delta * (na * b[3] - nb * a[3]) / n)
        out += [m3, m4]
    return out


# ---------------------------------------------------------------------------
# Accumulators


class TTest:
    """Welch's t-test between two groups of traces (0: fixed, 1: random).

    order 1 compares the means of the samples; order 2 compares the means of
    the samples' squares centred on their own group's mean (the univariate
    second-order test), from one pass over the traces.
    """

    def __init__(self, samples: int, order: int = 1) -> None:
        if order not in (1, 2):
            raise ValueError("the t-test is of order 1 or 2, not %r" % (order,))
        self.samples, self.order = int(samples), order
        self._stats = _GroupStats(2, self.samples, 2 if order == 1 else 4)

    @property
    def traces(self) -> int:
        return int(self._stats.n.sum())

    @property
    def counts(self) -> Tuple[int, int]:
        """Traces in the fixed and in the random group."""
        return int(self._stats.n[0]), int(self._stats.n[1])

    def update(self, traces: Any, groups: Any) -> "TTest":
        """Adds traces (n, samples) with their groups (n,): 0 fixed, 1 random,
        anything else (an unlabelled trace) left out."""
        self._stats.update(_as_2d(traces), groups)
        return self

    def merge(self, other: "TTest") -> "TTest":
        if not isinstance(other, TTest) or other.order != self.order:
            raise ValueError("only t-tests of the same order merge")
        self._stats.merge(other._stats)
        return self

    def t(self) -> np.ndarray:
        """Welch's t per sample, (samples,) float64; 0 where both groups are constant."""
        mom = self._stats.moments()
        n = mom[0].astype(np.float64)
        if (n < 2).any():
            raise ValueError("the t-test needs at least 2 traces in each group, has %d fixed and %d random"
                             % self.counts)
        if self.order == 1:
            mean = mom[1]
            var = mom[2] / (n[:, None] - 1)
        else:
            # y = (x - mean)^2: its mean is M2 / n, and sum((y - mean(y))^2) = M4 - M2^2 / n.
            mean = mom[2] / n[:, None]
            var = np.maximum(mom[4] - mom[2] ** 2 / n[:, None], 0.0) / (n[:, None] - 1)
        den = np.sqrt(var[0] / n[0] + var[1] / n[1])
        diff = mean[0] - mean[1]
        with np.errstate(divide="ignore", invalid="ignore"):
            t = np.where(den > 0, diff / np.where(den > 0, den, 1.0), 0.0)
        return t


class SNR:
    """Signal-to-noise ratio of an intermediate's classes: the variance of the
    class means over the mean of the variances within the classes (both over
    the classes seen; population variances)."""

    def __init__(self, samples: int, classes: int = 256) -> None:
        self.samples, self.classes = int(samples), int(classes)
        self._stats = _GroupStats(self.classes, self.samples, 2)

    @property
    def traces(self) -> int:
        return int(self._stats.n.sum())

    def update(self, traces: Any, values: Any) -> "SNR":
        """Adds traces (n, samples) with their intermediate's values (n,) in [0, classes)."""
        values = np.asarray(values)
        if values.size and (values.min() < 0 or values.max() >= self.classes):
            raise ValueError("class values must lie in [0, %d)" % self.classes)
        self._stats.update(_as_2d(traces), values)
        return self

    def merge(self, other: "SNR") -> "SNR":
        self._stats.merge(other._stats)
        return self

    def snr(self) -> np.ndarray:
        mom = self._stats.moments()
        n = mom[0]
        seen = n > 0
        if seen.sum() < 2:
            raise ValueError("the SNR needs traces of at least 2 classes")
        means = mom[1][seen]
        noise = (mom[2][seen] / n[seen][:, None]).mean(axis=0)
        signal = means.var(axis=0)
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(noise > 0, signal / np.where(noise > 0, noise, 1.0), 0.0)


class CPA:
    """Correlation power analysis of every key byte and guess.

    Traces are summed per value of each attacked input byte (one pass, exact
    integer sums for integer traces); ``correlation()`` then evaluates the
    model for every (byte value, guess) once and correlates with one matrix
    product per byte. ``model(values, guesses)`` returns the leakage of each
    input byte value under each guess, (len(values), len(guesses)); it must be
    a module-level function for a Dask run.
    """

    def __init__(self, samples: int, model: Optional[Callable[[np.ndarray, np.ndarray], np.ndarray]] = None,
                 bytes: Iterable[int] = range(16)) -> None:  # noqa: A002 - the documented name
        self.samples = int(samples)
        self.model = model or hw_sbox
        self.bytes = [int(b) for b in bytes]
        if not self.bytes or any(b < 0 for b in self.bytes):
            raise ValueError("CPA needs the input bytes to attack (indices >= 0)")
        nb = len(self.bytes)
        self.traces = 0
        self._counts = np.zeros((nb, 256), dtype=np.int64)
        self._isum: Optional[np.ndarray] = None  # int64 (nb, 256, s): exact sums of integer traces
        self._fsum: Optional[np.ndarray] = None  # float64 (nb, 256, s): sums of float traces
        self._stats = _GroupStats(1, self.samples, 2)  # sum and square sum of every sample
        self._corr: Optional[np.ndarray] = None
        self._peaks: Optional[np.ndarray] = None

    def update(self, traces: Any, plaintexts: Any) -> "CPA":
        """Adds traces (n, samples) with their inputs (n, >= max(bytes) + 1) uint8."""
        x = _as_2d(traces)
        pts = np.asarray(plaintexts, dtype=np.uint8)
        if pts.ndim != 2 or len(pts) != len(x) or pts.shape[1] <= max(self.bytes):
            raise ValueError("one input of at least %d bytes per trace is needed" % (max(self.bytes) + 1))
        if x.shape[1] != self.samples:
            raise ValueError("traces of %d samples, the accumulator has %d" % (x.shape[1], self.samples))
        values = np.ascontiguousarray(pts[:, self.bytes])
        self._corr = None
        self.traces += len(x)
        self._stats.update(x, np.zeros(len(x), dtype=np.int32))
        for k in range(len(self.bytes)):
            self._counts[k] += np.bincount(values[:, k], minlength=256)
        if _is_small_int(x):
            if self._isum is None:
                self._isum = np.zeros((len(self.bytes), 256, self.samples), dtype=np.int64)
            target = self._isum
            if _kernels is not None:
                xk = _kernel_ready(x)
                _parallel_columns(lambda a, b: _kernels.byte_sums(xk, values, target, a, b), len(xk), self.samples)
                return self
        else:
            if self._fsum is None:
                self._fsum = np.zeros((len(self.bytes), 256, self.samples))
            target = self._fsum

        def work(a: int, b: int) -> None:
            for r in range(0, len(x), _SUB_ROWS):
                rows = np.asarray(x[r:r + _SUB_ROWS, a:b], dtype=target.dtype)
                for k in range(len(self.bytes)):
                    v = values[r:r + _SUB_ROWS, k]
                    order = np.argsort(v, kind="stable")
                    sv = v[order]
                    starts = np.flatnonzero(np.r_[True, sv[1:] != sv[:-1]])
                    target[k, sv[starts], a:b] += np.add.reduceat(rows[order], starts, axis=0)

        _parallel_columns(work, len(x), self.samples)
        return self

    def merge(self, other: "CPA") -> "CPA":
        if other.samples != self.samples or other.bytes != self.bytes:
            raise ValueError("only CPAs of the same samples and bytes merge")
        self.traces += other.traces
        self._counts += other._counts
        self._stats.merge(other._stats)
        for name in ("_isum", "_fsum"):
            theirs = getattr(other, name)
            if theirs is not None:
                mine = getattr(self, name)
                setattr(self, name, theirs.copy() if mine is None else mine + theirs)
        self._corr = None
        return self

    def correlation(self) -> np.ndarray:
        """Pearson correlation, (bytes, 256 guesses, samples) float64; 0 where
        the model or the samples do not vary."""
        if self._corr is not None:
            return self._corr
        if self.traces < 2:
            raise ValueError("CPA needs at least 2 traces, has %d" % self.traces)
        n = float(self.traces)
        mom = self._stats.moments()
        mean_x = mom[1][0]
        sxx = mom[2][0]  # sum of (x - mean)^2
        guesses = np.arange(256)
        model = np.asarray(self.model(np.arange(256, dtype=np.uint8), guesses.astype(np.uint8)), dtype=np.float64)
        if model.shape != (256, 256):
            raise ValueError("the model must give (values, guesses) = (256, 256) leakages, gave %s" % (model.shape,))
        corr = np.empty((len(self.bytes), 256, self.samples))
        with np.errstate(divide="ignore"):
            inv_x = np.where(sxx > 0, 1.0 / np.sqrt(sxx), 0.0)
        peaks = np.empty((len(self.bytes), 256))
        for k in range(len(self.bytes)):
            counts = self._counts[k].astype(np.float64)
            # Centred sums per byte value: sum over its traces of (x - mean).
            centred = np.outer(-counts, mean_x)
            if self._isum is not None:
                centred += self._isum[k]
            if self._fsum is not None:
                centred += self._fsum[k]
            mean_m = counts @ model / n
            mc = model - mean_m[None, :]
            smm = counts @ (mc * mc)  # (guesses,)
            with np.errstate(divide="ignore"):
                inv_m = np.where(smm > 0, 1.0 / np.sqrt(smm), 0.0)
            out = corr[k]
            np.matmul((mc * inv_m[None, :]).T, centred, out=out)  # covariance over the model's norm
            out *= inv_x[None, :]
            np.clip(out, -1.0, 1.0, out=out)
            peaks[k] = np.abs(out).max(axis=1)
        self._corr = corr
        self._peaks = peaks
        return corr

    def _guess_peaks(self) -> np.ndarray:
        """Max |rho| of every byte and guess, (bytes, guesses)."""
        self.correlation()
        return self._peaks

    def key(self) -> bytes:
        """The best guess of every attacked byte (the one whose |rho| peaks highest)."""
        return bytes(int(g) for g in self._guess_peaks().argmax(axis=1))

    def peaks(self) -> np.ndarray:
        """Each byte's winning guess's max |rho|."""
        return self._guess_peaks().max(axis=1)

    def margins(self) -> np.ndarray:
        """Each byte's winning peak minus the runner-up guess's."""
        top = np.sort(self._guess_peaks(), axis=1)
        return top[:, -1] - top[:, -2]

    def peak_samples(self) -> np.ndarray:
        """The sample at which each byte's winning guess peaks."""
        corr = self.correlation()
        winners = self._guess_peaks().argmax(axis=1)
        return np.array([int(np.abs(corr[k, g]).argmax()) for k, g in enumerate(winners)])

    def ranks(self, key: bytes) -> np.ndarray:
        """Rank of each true key byte among the guesses (0: recovered, alone
        at the top; a guess that ties with it counts as ahead of it)."""
        return key_rank(self._guess_peaks(), bytes(key[b] for b in self.bytes))


def key_rank(scores: np.ndarray, key: bytes) -> np.ndarray:
    """Per byte, how many other guesses score at least as high as the true one
    (0: the true byte alone scores highest). A tie counts against the true
    byte: flat traces, where every guess scores 0, rank it last, not first.

    scores: (bytes, guesses) (for example a CPA's peak |rho| per guess); key:
    the true value of each of those bytes."""
    scores = np.asarray(scores)
    if len(key) != len(scores):
        raise ValueError("a key of %d bytes is needed, got %d" % (len(scores), len(key)))
    true = scores[np.arange(len(scores)), list(key)]
    return (scores >= true[:, None]).sum(axis=1) - 1


def weak_evidence(cpa: CPA, samples: Optional[int] = None) -> List[str]:
    """Why a CPA's key should not be trusted yet; empty when it can be.

    Under no leakage a correlation of n traces has Fisher z = atanh(rho) with
    standard deviation 1/sqrt(n - 3). The highest of 256 guesses x samples
    such values reaches about sqrt(2 ln(256 samples)) of them, so a winner must
    clear that, and lead its runner-up by at least 2 standard deviations.
    """
    n = cpa.traces
    samples = samples or cpa.samples
    reasons = []
    if n < 16:
        reasons.append("only %d traces" % n)
        return reasons
    sd = 1.0 / math.sqrt(n - 3)
    floor = math.tanh(math.sqrt(2.0 * math.log(256.0 * max(samples, 1))) * sd)
    peaks, margins = cpa.peaks(), cpa.margins()
    low = [b for b, p in zip(cpa.bytes, peaks) if p < floor]
    z_top = np.arctanh(np.clip(peaks, 0, 0.999999))
    z_second = np.arctanh(np.clip(peaks - margins, 0, 0.999999))
    close = [b for b, zt, zs in zip(cpa.bytes, z_top, z_second) if b not in low and (zt - zs) < 2.0 * sd]
    if low:
        reasons.append("byte%s %s peak%s below the noise level %.3f of %d traces"
                       % ("s" if len(low) > 1 else "", _list(low), "" if len(low) > 1 else "s", floor, n))
    if close:
        reasons.append("byte%s %s lead%s the runner-up by less than the noise"
                       % ("s" if len(close) > 1 else "", _list(close), "" if len(close) > 1 else "s"))
    return reasons


def _list(items: Sequence[int]) -> str:
    return ", ".join(str(i) for i in items)


# ---------------------------------------------------------------------------
# Preprocessing


def centred_product(traces: Any, first: Tuple[int, int], second: Tuple[int, int], means: Optional[np.ndarray] = None,
                    all_pairs: bool = False) -> np.ndarray:
    """Second-order preprocessing: (x[:, a:b] - mean[a:b]) * (x[:, c:d] - mean[c:d]).

    first = (a, b) and second = (c, d) are sample windows of equal length
    (element-wise product) or, with all_pairs, of any lengths (every pair,
    (n, (b - a) * (d - c))). means: the per-sample means of the whole set,
    from a first pass over ``traces`` when not given. Returns float64."""
    x = _as_2d(traces)
    (a, b), (c, d) = first, second
    if not (0 <= a < b <= x.shape[1] and 0 <= c < d <= x.shape[1]):
        raise ValueError("windows %r and %r do not lie within %d samples" % (first, second, x.shape[1]))
    if not all_pairs and b - a != d - c:
        raise ValueError("element-wise windows must be of equal length")
    if means is None:
        total = np.zeros(x.shape[1])
        for r in range(0, len(x), 4096):
            total += np.asarray(x[r:r + 4096], dtype=np.float64).sum(axis=0)
        means = total / max(len(x), 1)
    means = np.asarray(means, dtype=np.float64)
    u = np.asarray(x[:, a:b], dtype=np.float64) - means[a:b]
    v = np.asarray(x[:, c:d], dtype=np.float64) - means[c:d]
    if all_pairs:
        return (u[:, :, None] * v[:, None, :]).reshape(len(x), -1)
    return u * v


def align(traces: Any, reference: Optional[np.ndarray] = None, window: Optional[Tuple[int, int]] = None,
          max_shift: int = 50) -> Tuple[np.ndarray, np.ndarray]:
    """Static alignment: shifts each trace by the offset in [-max_shift,
    max_shift] at which its samples best match (Pearson correlation) the
    reference's window; samples moved in at an edge repeat the edge sample.

    reference: a trace (default: the first); window: (a, b) of the reference
    (default: the whole trace less max_shift at each end). Returns the aligned
    traces (of the input's type) and each trace's shift (n,) ints: how many
    samples later than the reference it shows the window, so that
    aligned[i, j] = traces[i, j + shift[i]]."""
    x = _as_2d(traces)
    n, s = x.shape
    ref = np.asarray(x[0] if reference is None else reference, dtype=np.float64)
    a, b = window if window is not None else (max_shift, s - max_shift)
    if not (0 <= a - max_shift and b + max_shift <= s and a < b):
        raise ValueError("the window %d:%d with shifts of up to %d must lie within %d samples" % (a, b, max_shift, s))
    r = ref[a:b] - ref[a:b].mean()
    r /= np.linalg.norm(r) or 1.0
    shifts = np.zeros(n, dtype=np.int64)
    aligned = np.empty(x.shape, dtype=x.dtype)
    w = b - a
    for start in range(0, n, 1024):
        block = np.asarray(x[start:start + 1024], dtype=np.float64)
        best = np.full(len(block), -np.inf)
        best_shift = np.zeros(len(block), dtype=np.int64)
        for shift in range(-max_shift, max_shift + 1):
            seg = block[:, a + shift:a + shift + w]
            seg = seg - seg.mean(axis=1, keepdims=True)
            norm = np.linalg.norm(seg, axis=1)
            score = (seg @ r) / np.where(norm > 0, norm, 1.0)
            better = score > best
            best[better] = score[better]
            best_shift[better] = shift
        shifts[start:start + len(block)] = best_shift
        idx = np.clip(np.arange(s)[None, :] + best_shift[:, None], 0, s - 1)
        aligned[start:start + len(block)] = np.take_along_axis(np.asarray(x[start:start + 1024]), idx, axis=1)
    return aligned, shifts


# ---------------------------------------------------------------------------
# Whole files: chunked, threaded, or on a Dask cluster

try:
    from .errors import TraceFileError  # type: ignore[attr-defined]
except ImportError:  # an older package: malformed files raise ValueError
    TraceFileError = ValueError  # type: ignore[misc,assignment]

#: What reading a file that is not a trace set may raise.
FILE_ERRORS: Tuple[type, ...] = (TraceFileError, ValueError, OSError, KeyError, IndexError, EOFError, OverflowError,
                                 MemoryError)
try:
    import struct as _struct
    import zipfile as _zipfile
    FILE_ERRORS = FILE_ERRORS + (_struct.error, _zipfile.BadZipFile)
except ImportError:  # pragma: no cover
    pass

_LABEL_CODES = {"fixed": 0, "random": 1}


class _Source:
    """One channel (and sample window) of a trace set, read in chunks of
    numpy arrays: views of the memory-mapped file where the format allows."""

    def __init__(self, ts: Any, channel: Optional[int] = None, window: Optional[Tuple[int, int]] = None,
                 limit: Optional[int] = None) -> None:
        self.ts = ts
        channels = list(ts.channels)
        if not channels:
            raise ValueError("the trace set holds no samples")
        if channel is None:
            # Channel B carries the target's supply current on this instrument.
            channel = 2 if 2 in channels else channels[0]
        if channel not in channels:
            raise ValueError("the trace set has no channel %d (it has %s)" % (channel, _list(channels)))
        self.channel = channel
        self.waves = ts.waves[channel]
        total = int(self.waves.shape[0]) if hasattr(self.waves, "shape") else len(self.waves)
        self.n = total if limit is None else min(total, limit)
        samples = int(ts.samples)
        if samples == 0 or total == 0:
            raise ValueError("no traces with samples in the file: not a trace set, or an empty one")
        a, b = window if window is not None else (0, samples)
        if not (0 <= a < b <= samples):
            raise ValueError("the window %d:%d does not lie within the %d samples of a trace" % (a, b, samples))
        self.window = (a, b)
        self.samples = b - a
        self._tx_list = None

    def chunk_rows(self, budget: int = 32 << 20) -> int:
        """Traces per chunk: about ``budget`` bytes of samples where a chunk is
        read into memory, 8 times that where it is a view of a mapped file or
        of an array already in memory (fewer, larger steps for the kernel)."""
        if isinstance(self.waves, np.ndarray):
            budget *= 8
        rows = min(65535, max(256, budget // max(2 * self.samples, 1)))
        store = getattr(self.waves, "chunks", None)  # a zarr array: whole chunks of the store
        if isinstance(store, tuple) and store and isinstance(store[0], int) and store[0] > 0:
            rows = max(store[0], rows // store[0] * store[0])
        return rows

    def samples_of(self, start: int, stop: int) -> np.ndarray:
        a, b = self.window
        x = self.waves[start:stop, a:b] if hasattr(self.waves, "shape") else np.asarray(
            [row[a:b] for row in self.waves[start:stop]])
        return np.asarray(x)

    def _extras(self, start: int, stop: int) -> Any:
        """The inputs and labels of traces [start, stop), without their samples."""
        a = self.window[0]
        return self.ts.read(start, stop, self.channel, (a, a))

    def inputs_of(self, start: int, stop: int) -> np.ndarray:
        if hasattr(self.ts, "read"):
            return self._extras(start, stop).tx
        rows = self.ts.tx[start:stop]
        width = len(rows[0]) if len(rows) else 0
        return np.frombuffer(b"".join(rows), dtype=np.uint8).reshape(len(rows), width)

    def labels_of(self, start: int, stop: int) -> np.ndarray:
        if hasattr(self.ts, "read"):
            codes = np.asarray(self._extras(start, stop).labels).astype(np.int32)
            names = list(getattr(self.ts, "label_names", None) or ["fixed", "random"])
            # Map the set's own codes onto 0 = fixed, 1 = random, -1 anything else.
            lut = np.array([_LABEL_CODES.get(name, -1) for name in names] + [-1], dtype=np.int32)
            return np.where(codes >= 0, lut[np.clip(codes, 0, len(names))], -1).astype(np.int32)
        labels = getattr(self.ts, "labels", None) or []
        if not len(labels):
            return np.full(stop - start, -1, dtype=np.int32)
        return np.array([_LABEL_CODES.get(str(s).strip(), -1) for s in labels[start:stop]], dtype=np.int32)

    def has_labels(self) -> bool:
        if hasattr(self.ts, "labelled"):
            return bool(self.ts.labelled) and bool((self.labels_of(0, min(self.n, 4096)) >= 0).any())
        return bool(getattr(self.ts, "labels", None))

    def input_width(self) -> int:
        tx = getattr(self.ts, "tx_array", None)
        if tx is not None:
            return int(tx.shape[1]) if tx.ndim == 2 else 0
        return len(self.ts.tx[0]) if len(self.ts.tx) else 0


def open_set(path: str) -> Any:
    """Reads a trace set (TRS, .npz or a zarr store) for analysis; a file that
    is not one raises TraceFileError (a ValueError)."""
    from .traces import read_traces

    try:
        return read_traces(path)
    except TraceFileError:
        raise
    except OSError:
        raise
    except FILE_ERRORS as e:
        raise TraceFileError("%s: not a trace set (%s)" % (path, e)) from e


def _new_accumulator(kind: str, samples: int, params: Dict[str, Any]) -> Any:
    if kind == "tvla":
        return TTest(samples, order=params.get("order", 1))
    if kind == "snr":
        return SNR(samples, classes=256)
    if kind == "cpa":
        return CPA(samples, model=params.get("model"), bytes=params.get("bytes", range(16)))
    raise ValueError("unknown analysis %r (tvla, snr or cpa)" % (kind,))


def _snr_classes(pts: np.ndarray, params: Dict[str, Any]) -> np.ndarray:
    byte = params.get("byte", 0)
    values = pts[:, byte]
    key = params.get("key")
    return SBOX[values ^ key[byte]] if key is not None else values


def _feed(acc: Any, src: _Source, kind: str, params: Dict[str, Any], start: int, stop: int) -> None:
    x = src.samples_of(start, stop)
    if kind == "tvla":
        acc.update(x, src.labels_of(start, stop))
    elif kind == "snr":
        acc.update(x, _snr_classes(src.inputs_of(start, stop), params))
    else:
        acc.update(x, src.inputs_of(start, stop))


def _check(src: _Source, kind: str, params: Dict[str, Any]) -> None:
    if src.n == 0:
        raise ValueError("the trace set holds no traces")
    if kind == "tvla" and not src.has_labels():
        raise ValueError("the traces are not labelled fixed or random (capture with valdrix-capture --tvla)")
    if kind in ("snr", "cpa"):
        width = src.input_width()
        need = max(params.get("bytes", range(16))) + 1 if kind == "cpa" else params.get("byte", 0) + 1
        if width < need:
            raise ValueError("the traces carry %d input bytes, the analysis needs %d" % (width, need))


def _accumulate_part(path: str, kind: str, params: Dict[str, Any], start: int, stop: int) -> Any:
    """A Dask task: reopens the set by path, accumulates traces [start, stop)."""
    src = _Source(open_set(path), params.get("channel"), params.get("window"))
    acc = _new_accumulator(kind, src.samples, params)
    step = src.chunk_rows()
    for a in range(start, stop, step):
        _feed(acc, src, kind, params, a, min(stop, a + step))
    return acc


def analyze(path_or_set: Any, kind: str, *, channel: Optional[int] = None, window: Optional[Tuple[int, int]] = None,
            traces: Optional[int] = None, order: int = 1, key: Optional[bytes] = None, byte: int = 0,
            model: Optional[Callable[..., np.ndarray]] = None, bytes_: Iterable[int] = range(16),
            scheduler: Optional[str] = None, progress: Optional[Callable[[int, int], None]] = None) -> Any:
    """Runs one analysis ("tvla", "snr" or "cpa") over a trace set and returns
    the filled accumulator (TTest, SNR or CPA).

    path_or_set: a file path or a TraceSet; channel: default 2 where the set has
    it; window: (a, b) samples; traces: only the first N; key/byte: for snr,
    the class of a trace is Sbox(pt[byte] ^ key[byte]) with a key, else
    pt[byte]. scheduler: a Dask scheduler address: the file is then read by the
    cluster's workers by its path (which they must see). progress(done, total)
    is called as traces are added."""
    params: Dict[str, Any] = {"channel": channel, "window": window, "order": order, "byte": byte,
                              "key": None if key is None else bytes(key), "model": model, "bytes": list(bytes_)}
    ts = open_set(path_or_set) if isinstance(path_or_set, (str, os.PathLike)) else path_or_set
    if traces is not None and traces < 1:
        raise ValueError("at least 1 trace must be analysed, not %d" % traces)
    src = _Source(ts, channel, window, traces)
    params["channel"] = src.channel
    params["window"] = src.window
    _check(src, kind, params)
    if scheduler:
        path = getattr(ts, "path", None) or (os.fspath(path_or_set) if isinstance(path_or_set, (str, os.PathLike))
                                             else None)
        if not path:
            raise ValueError("a Dask run needs the trace set's path")
        return _analyze_dask(os.path.abspath(path), kind, params, src, scheduler, progress)
    acc = _new_accumulator(kind, src.samples, params)
    step = src.chunk_rows()
    for a in range(0, src.n, step):
        b = min(src.n, a + step)
        _feed(acc, src, kind, params, a, b)
        if progress:
            progress(b, src.n)
    return acc


def _analyze_dask(path: str, kind: str, params: Dict[str, Any], src: _Source, scheduler: str,
                  progress: Optional[Callable[[int, int], None]]) -> Any:
    try:
        from distributed import Client, as_completed
    except ImportError as e:
        raise RuntimeError("--scheduler needs Dask (Debian: python3-dask python3-distributed)") from e
    try:
        client = Client(scheduler, timeout="10s")
    except (OSError, TimeoutError, ValueError) as e:  # ValueError: not an address
        raise RuntimeError("cannot reach the Dask scheduler at %s: %s" % (scheduler, e)) from e
    with client:
        try:
            client.wait_for_workers(1, timeout=10)
        except (OSError, TimeoutError) as e:
            raise RuntimeError("the Dask scheduler at %s has no workers" % scheduler) from e
        workers = max(1, sum(client.nthreads().values()))
        step = src.chunk_rows()
        # A few parts per worker thread, whole chunks each, so the cluster stays busy to the end.
        per = max(step, -(-src.n // (4 * workers)) // step * step)
        parts = [(a, min(src.n, a + per)) for a in range(0, src.n, per)]
        futures = {client.submit(_accumulate_part, path, kind, params, a, b, pure=False): (a, b) for a, b in parts}
        acc = None
        done = 0
        for future in as_completed(futures):
            a, b = futures[future]
            try:
                part = future.result()
            except Exception as e:  # raised on a worker (which may not see the file) or a worker lost
                raise RuntimeError("a Dask worker failed on traces %d to %d of %s: %s: %s"
                                   % (a, b - 1, path, type(e).__name__, e)) from e
            acc = part if acc is None else acc.merge(part)
            done += b - a
            if progress:
                progress(done, src.n)
            future.release()
    return acc


class Progress:
    """A progress line on a terminal (stderr): traces done, rate, time left.
    Silent when stderr is not a terminal."""

    def __init__(self, label: str, stream: Any = None, every: float = 0.2) -> None:
        import sys

        self.stream = stream or sys.stderr
        self.label = label
        self.every = every
        self.enabled = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.start = time.monotonic()
        self.shown = 0.0
        self.width = 0

    def __call__(self, done: int, total: int) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if now - self.shown < self.every and done < total:
            return
        self.shown = now
        elapsed = max(now - self.start, 1e-9)
        rate = done / elapsed
        left = (total - done) / rate if rate > 0 else 0.0
        text = "%s: %d of %d traces (%3.0f%%), %.0f traces/s, %s left" % (
            self.label, done, total, 100.0 * done / max(total, 1), rate, _duration(left))
        self.stream.write("\r" + text.ljust(self.width))
        self.width = len(text)
        self.stream.flush()

    def finish(self) -> None:
        if self.enabled and self.width:
            self.stream.write("\r" + " " * self.width + "\r")
            self.stream.flush()


def _duration(seconds: float) -> str:
    if seconds < 60:
        return "%.0f s" % seconds
    if seconds < 3600:
        return "%d min %02d s" % (seconds // 60, seconds % 60)
    return "%d h %02d min" % (seconds // 3600, seconds % 3600 // 60)
