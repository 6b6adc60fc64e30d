"""The accumulators: TTest, SNR and CPA, each fed chunks of traces in one pass
and mergeable (``a.merge(b)`` is the state of one accumulator fed both).

Integer traces (int8, int16, uint8) are added into int64 sums, and every
statistic follows from them exactly before its last rounding, so a result
does not depend on how the traces were chunked or merged. Float traces go
into central moments merged with Pébay's formulas (exact up to rounding)."""

from __future__ import annotations

import math
from typing import Any, Iterable, List, Optional, Sequence, Tuple

import numpy as np

from . import engine
from .engine import as_traces, is_small_int, kernel_ready
from .models import Model, as_model

__all__ = ["TTest", "SNR", "CPA", "key_rank", "weak_evidence", "snr_warnings", "LEAK_THRESHOLD"]

#: |t| above which a sample counts as leaking (the usual TVLA threshold).
LEAK_THRESHOLD = 4.5

# The four powers of an int16 sample in seven int64 sums (see _kernels.c).
_POWER_SUMS = 7


class _GroupStats:
    """Per-group count and the moments up to ``order`` (2 or 4) of every
    sample: exact int64 sums for integer traces, float64 central moments for
    float ones. Both kinds may be present; ``moments()`` combines them."""

    def __init__(self, groups: int, samples: int, order: int) -> None:
        self.groups, self.samples, self.order = groups, samples, order
        self.n = np.zeros(groups, dtype=np.int64)
        self.int_n: Optional[np.ndarray] = None
        # order 2: s1, s2 (G, s); order 4: the seven power sums (G, 7, s).
        self.s1: Optional[np.ndarray] = None
        self.s2: Optional[np.ndarray] = None
        self.powers: Optional[np.ndarray] = None
        self.mom: Optional[List[np.ndarray]] = None  # count, mean, M2[, M3, M4]

    def update(self, x: np.ndarray, classes: Any) -> None:
        classes = np.asarray(classes).astype(np.int32, copy=False).ravel()
        if len(classes) != len(x):
            raise ValueError("one group per trace is needed: %d traces, %d groups" % (len(x), len(classes)))
        if x.shape[1] != self.samples:
            raise ValueError("traces of %d samples, the accumulator has %d" % (x.shape[1], self.samples))
        valid = (classes >= 0) & (classes < self.groups)
        self.n += np.bincount(classes[valid], minlength=self.groups).astype(np.int64)
        if is_small_int(x):
            cls = np.where(valid, classes, -1).astype(np.int32)
            if self.int_n is None:
                self.int_n = np.zeros(self.groups, dtype=np.int64)
            self.int_n += np.bincount(cls[cls >= 0], minlength=self.groups)[: self.groups]
            if self.order == 2:
                self._update_sums(x, cls)
            else:
                self._update_powers(x, cls)
        else:
            self._update_moments(x, classes, valid)

    def add_sums(self, count: int, s1: np.ndarray, s2: np.ndarray) -> None:
        """Adds the exact sums of x and x^2 of ``count`` integer traces of
        group 0, taken on the way by another pass (a CPA's or an SNR's)."""
        if self.int_n is None:
            self.int_n = np.zeros(self.groups, dtype=np.int64)
            self.s1 = np.zeros((self.groups, self.samples), dtype=np.int64)
            self.s2 = np.zeros((self.groups, self.samples), dtype=np.int64)
        self.n[0] += count
        self.int_n[0] += count
        self.s1[0] += s1
        self.s2[0] += s2

    def _private_or_shared(self, x: np.ndarray, targets: List[np.ndarray], add: Any) -> None:
        """add(x_rows, classes_rows, *targets, c0, c1) over the chunk, on every core:
        small sums privately per run of rows, large ones by columns."""
        size = sum(t.size for t in targets)
        n, s = x.shape
        if size <= engine._PRIVATE_SUMS:
            def rows(a: int, b: int) -> List[np.ndarray]:
                mine = [np.zeros_like(t) for t in targets]
                add(a, b, mine, 0, s)
                return mine

            for parts in engine.parallel_rows(rows, n, s):
                for t, p in zip(targets, parts):
                    t += p
        else:
            engine.parallel_columns(lambda c0, c1: add(0, n, targets, c0, c1), n, s)

    def _update_sums(self, x: np.ndarray, classes: np.ndarray) -> None:
        if self.s1 is None:
            self.s1 = np.zeros((self.groups, self.samples), dtype=np.int64)
            self.s2 = np.zeros((self.groups, self.samples), dtype=np.int64)
        k = engine.kernel()
        if k is not None:
            xk = kernel_ready(x)
            self._private_or_shared(xk, [self.s1, self.s2],
                                    lambda a, b, t, c0, c1: k.class_sums(xk[a:b], classes[a:b], t[0], t[1], c0, c1))
            return
        for g in np.unique(classes[classes >= 0]):
            rows = np.asarray(x[classes == g], dtype=np.int64)
            self.s1[g] += rows.sum(axis=0)
            self.s2[g] += (rows * rows).sum(axis=0)

    def _update_powers(self, x: np.ndarray, classes: np.ndarray) -> None:
        if self.powers is None:
            self.powers = np.zeros((self.groups, _POWER_SUMS, self.samples), dtype=np.int64)
        k = engine.kernel()
        if k is not None:
            xk = kernel_ready(x)
            self._private_or_shared(xk, [self.powers],
                                    lambda a, b, t, c0, c1: k.moment_sums(xk[a:b], classes[a:b], t[0], c0, c1))
            return
        for g in np.unique(classes[classes >= 0]):
            sel = np.flatnonzero(classes == g)
            p = self.powers[g]
            for r in range(0, len(sel), engine._SUB_ROWS):
                v = np.asarray(x[sel[r:r + engine._SUB_ROWS]], dtype=np.int64)
                q = v * v
                h, low = q >> 15, q & 0x7FFF
                for i, term in enumerate((v, q, v * h, v * low, h * h, h * low, low * low)):
                    p[i] += term.sum(axis=0)

    def _update_moments(self, x: np.ndarray, classes: np.ndarray, valid: np.ndarray) -> None:
        for g in np.unique(classes[valid]):
            rows = np.flatnonzero(classes == g)
            for r in range(0, len(rows), engine._SUB_ROWS):
                chunk = np.asarray(x[rows[r:r + engine._SUB_ROWS]], dtype=np.float64)
                self._merge_moments(int(g), _chunk_moments(chunk, self.order))

    def _merge_moments(self, g: int, other: List[Any]) -> None:
        if self.mom is None:
            self.mom = [np.zeros(self.groups, dtype=np.int64)] + [
                np.zeros((self.groups, self.samples)) for _ in range(self.order)]
        merged = _pebay([self.mom[0][g]] + [m[g] for m in self.mom[1:]], other)
        self.mom[0][g] = merged[0]
        for m, value in zip(self.mom[1:], merged[1:]):
            m[g] = value

    def merge(self, other: "_GroupStats") -> None:
        if (other.groups, other.samples, other.order) != (self.groups, self.samples, self.order):
            raise ValueError("cannot merge accumulators of different shapes")
        self.n += other.n
        if other.int_n is not None:
            self.int_n = other.int_n.copy() if self.int_n is None else self.int_n + other.int_n
            for name in ("s1", "s2", "powers"):
                theirs = getattr(other, name)
                if theirs is not None:
                    mine = getattr(self, name)
                    setattr(self, name, theirs.copy() if mine is None else mine + theirs)
        if other.mom is not None:
            for g in range(self.groups):
                if other.mom[0][g]:
                    self._merge_moments(g, [other.mom[0][g]] + [m[g] for m in other.mom[1:]])

    def _exact_moments(self) -> List[np.ndarray]:
        """count, mean, M2[, M3, M4] of the integer traces, each rounded once
        from its exact value (Python integers)."""
        n = self.int_n
        nobj = n.astype(object)[:, None]
        safe = np.maximum(n, 1).astype(np.float64)[:, None]
        if self.powers is None:
            s1, s2 = self.s1.astype(object), self.s2.astype(object)
            s3 = s4 = None
        else:
            p = self.powers.astype(object)
            s1, s2 = p[:, 0], p[:, 1]
            s3 = p[:, 2] * (1 << 15) + p[:, 3]
            s4 = p[:, 4] * (1 << 30) + p[:, 5] * (1 << 16) + p[:, 6]
        out = [n.copy(), np.array(s1, dtype=np.float64) / safe]
        out.append(_ratio(nobj * s2 - s1 * s1, safe))  # n M2 = n S2 - S1^2
        if s3 is not None:
            m3 = nobj * nobj * s3 - 3 * nobj * s1 * s2 + 2 * s1 * s1 * s1
            m4 = nobj ** 3 * s4 - 4 * nobj * nobj * s1 * s3 + 6 * nobj * s1 * s1 * s2 - 3 * s1 ** 4
            out.append(_ratio(m3, safe ** 2))
            out.append(_ratio(m4, safe ** 3))
        return out

    def moments(self) -> List[np.ndarray]:
        """Per group: count (G,), mean (G, s), M2 (G, s)[, M3, M4]."""
        result = [np.zeros(self.groups, dtype=np.int64)] + [np.zeros((self.groups, self.samples))
                                                             for _ in range(self.order)]
        if self.int_n is not None:
            result = self._exact_moments()
        if self.mom is not None:
            for g in range(self.groups):
                merged = _pebay([result[0][g]] + [m[g] for m in result[1:]],
                                [self.mom[0][g]] + [m[g] for m in self.mom[1:]])
                result[0][g] = merged[0]
                for m, value in zip(result[1:], merged[1:]):
                    m[g] = value
        return result

    def y_variance_numerator(self) -> Optional[np.ndarray]:
        """For integer traces only: n^3 (M4 - M2^2 / n) per group, exactly, the
        spread of the squared centred samples that an order-2 t-test needs."""
        if self.powers is None or self.mom is not None:
            return None
        n = self.int_n.astype(object)[:, None]
        p = self.powers.astype(object)
        s1, s2 = p[:, 0], p[:, 1]
        s3 = p[:, 2] * (1 << 15) + p[:, 3]
        s4 = p[:, 4] * (1 << 30) + p[:, 5] * (1 << 16) + p[:, 6]
        m4 = n ** 3 * s4 - 4 * n * n * s1 * s3 + 6 * n * s1 * s1 * s2 - 3 * s1 ** 4
        m2 = n * s2 - s1 * s1
        return m4 - m2 * m2  # n^3 M4 - (n M2)^2 = n^3 (M4 - M2^2 / n)


def _ratio(num: Any, den: np.ndarray) -> np.ndarray:
    """An exact integer numerator over a float denominator, rounded once
    where the numerator fits a float."""
    return np.array(num, dtype=np.float64) / den


def _chunk_moments(x: np.ndarray, order: int) -> List[Any]:
    mean = x.mean(axis=0)
    d = x - mean
    d2 = d * d
    out = [len(x), mean, d2.sum(axis=0)]
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


class TTest:
    """Welch's t-test between two groups of traces (0: fixed, 1: random).

    order 1 compares the means of the samples; order 2 compares the means of
    the samples' squares centred on their own group's mean (the univariate
    second-order test), from one pass over the traces. Variances are sample
    variances (n - 1); a sample constant in both groups has t = 0.
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
        self._stats.update(as_traces(traces), groups)
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
            exact = self._stats.y_variance_numerator()
            if exact is not None:
                spread = np.array(exact, dtype=np.float64) / n[:, None] ** 3
            else:
                spread = np.maximum(mom[4] - mom[2] ** 2 / n[:, None], 0.0)
            var = spread / (n[:, None] - 1)
        den = np.sqrt(var[0] / n[0] + var[1] / n[1])
        diff = mean[0] - mean[1]
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.where(den > 0, diff / np.where(den > 0, den, 1.0), 0.0)


# Rows that may add to an int32 partial sum before it is folded: |x| <= 32768.
_FOLD_ROWS = 65535


class SNR:
    """Signal-to-noise ratio of an intermediate's classes: the variance of the
    class means over the mean of the variances within the classes, both
    weighted by the traces in each class (population variances), so that
    signal + noise is the variance of the samples.

    ``update(traces, values)`` with values (n,) classes one intermediate;
    with values (n, B) it classes B intermediates (the 16 bytes of a
    plaintext, say) in the same pass, and ``snr()`` is then (B, samples)."""

    def __init__(self, samples: int, classes: int = 256) -> None:
        self.samples, self.classes = int(samples), int(classes)
        if self.classes < 2:
            raise ValueError("an SNR needs at least 2 classes")
        self._stats = _GroupStats(1, self.samples, 2)
        self._counts: Optional[np.ndarray] = None  # (B, classes)
        self._isum: Optional[np.ndarray] = None  # (B * classes, s) int64
        self._fsum: Optional[np.ndarray] = None
        # With the compiled kernel, integer traces go into int32 partial sums
        # (ceil(s / w), B * classes, w), w the kernel's BLOCK_COLS, kept from
        # update to update; a bucket is folded into _isum only before 65535
        # more rows could overflow it, so most of _isum's pages are never
        # written at all.
        self._part: Optional[np.ndarray] = None
        self._unfolded: Optional[np.ndarray] = None  # (B * classes,) rows added to _part since the last fold
        self._folded: Optional[np.ndarray] = None  # (B * classes,) bool: rows of _isum written (None: all)
        self._single = True

    @property
    def traces(self) -> int:
        return int(self._stats.n.sum())

    @property
    def class_counts(self) -> np.ndarray:
        """Traces per class, (classes,) or (B, classes)."""
        counts = self._counts if self._counts is not None else np.zeros((1, self.classes), np.int64)
        return counts[0] if self._single else counts

    def update(self, traces: Any, values: Any) -> "SNR":
        """Adds traces (n, samples) with their intermediates' values, (n,) or (n, B), in [0, classes)."""
        x = as_traces(traces)
        values = np.asarray(values)
        single = values.ndim == 1
        v = values.reshape(len(values), -1) if values.ndim else values.reshape(1, 1)
        if len(v) != len(x):
            raise ValueError("one value per trace is needed: %d traces, %d values" % (len(x), len(v)))
        if x.shape[1] != self.samples:
            raise ValueError("traces of %d samples, the accumulator has %d" % (x.shape[1], self.samples))
        if v.size and (v.min() < 0 or v.max() >= self.classes):
            raise ValueError("class values must lie in [0, %d)" % self.classes)
        if self._counts is None:
            self._single = single
            self._counts = np.zeros((v.shape[1], self.classes), dtype=np.int64)
        elif v.shape[1] != self._counts.shape[0] or single != self._single:
            raise ValueError("every update must class the same number of intermediates")
        v = v.astype(np.int32)
        buckets = v + (np.arange(v.shape[1], dtype=np.int32) * self.classes)[None, :]
        size = (v.shape[1] * self.classes, self.samples)
        if is_small_int(x) and engine.kernel() is not None:
            self._add_kept(kernel_ready(x), buckets, size[0])
            return self
        for b in range(v.shape[1]):
            self._counts[b] += np.bincount(v[:, b], minlength=self.classes)
        if is_small_int(x):
            if self._isum is None:
                self._isum = np.zeros(size, dtype=np.int64)
            moments = np.zeros((2, self.samples), dtype=np.int64)
            engine.bucket_sums(x, buckets, self._isum, moments, distinct=True)
            self._stats.add_sums(len(x), moments[0], moments[1])
        else:
            self._stats.update(x, np.zeros(len(x), dtype=np.int32))
            if self._fsum is None:
                self._fsum = np.zeros(size)
            engine.bucket_sums(x, buckets, self._fsum)
        return self

    def _add_kept(self, x: np.ndarray, buckets: np.ndarray, nbuckets: int) -> None:
        if self._part is None:
            w = engine.kernel().BLOCK_COLS
            self._part = np.zeros((-(-self.samples // w), nbuckets, w), dtype=np.int32)
            self._unfolded = np.zeros(nbuckets, dtype=np.int64)
        for r in range(0, len(x), _FOLD_ROWS):
            rows = slice(r, r + _FOLD_ROWS)
            hits = np.bincount(buckets[rows].ravel(), minlength=nbuckets)
            full = np.flatnonzero(self._unfolded + hits > _FOLD_ROWS)
            if len(full):
                self._fold(full)
            moments = np.zeros((2, self.samples), dtype=np.int64)
            engine.bucket_sums(x[rows], buckets[rows], self._part, moments, distinct=True)
            self._unfolded += hits
            self._counts += hits.reshape(self._counts.shape)
            self._stats.add_sums(len(x[rows]), moments[0], moments[1])

    def _fold(self, which: np.ndarray) -> None:
        """Buckets ``which`` of the partial sums added into _isum and emptied."""
        if self._isum is None:
            self._isum = np.zeros((self._part.shape[1], self.samples), dtype=np.int64)
            self._folded = np.zeros(self._part.shape[1], dtype=bool)
        if self._folded is not None:
            self._folded[which] = True
        self._isum[which] += self._part[:, which, :].transpose(1, 0, 2).reshape(len(which), -1)[:, :self.samples]
        self._part[:, which, :] = 0
        self._unfolded[which] = 0

    def _int_sums(self, rows: slice) -> Optional[np.ndarray]:
        """The exact int64 sums of buckets ``rows``, (k, samples), or None without integer traces."""
        if self._part is None:
            return None if self._isum is None else self._isum[rows]
        part = self._part[:, rows, :].transpose(1, 0, 2)
        out = part.reshape(part.shape[0], -1)[:, :self.samples].astype(np.int64)
        if self._isum is not None:
            # Only the rows once folded: the others' pages were never written.
            written = slice(None) if self._folded is None else np.flatnonzero(self._folded[rows])
            out[written] += self._isum[rows][written]
        return out

    def merge(self, other: "SNR") -> "SNR":
        if not isinstance(other, SNR) or (other.samples, other.classes) != (self.samples, self.classes):
            raise ValueError("only SNRs of the same samples and classes merge")
        if other._counts is None:
            return self
        if self._counts is not None and (self._counts.shape != other._counts.shape or self._single != other._single):
            raise ValueError("only SNRs of the same intermediates merge")
        self._single = other._single
        self._stats.merge(other._stats)
        # The partial sums of both, whole, go into _isum.
        everything = slice(None)
        mine, theirs = self._int_sums(everything), other._int_sums(everything)
        self._isum = mine if theirs is None else theirs.copy() if mine is None else mine + theirs
        self._part = self._unfolded = self._folded = None
        for name in ("_counts", "_fsum"):
            theirs = getattr(other, name)
            if theirs is not None:
                mine = getattr(self, name)
                setattr(self, name, theirs.copy() if mine is None else mine + theirs)
        return self

    def parts(self) -> Tuple[np.ndarray, np.ndarray]:
        """signal and noise, each (B, samples): the count-weighted variance of
        the class means and mean of the variances within the classes."""
        if self._counts is None or self.traces < 2:
            raise ValueError("the SNR needs at least 2 traces, has %d" % self.traces)
        mom = self._stats.moments()
        n = float(mom[0][0])
        mean, total = mom[1][0], mom[2][0] / n
        nb = self._counts.shape[0]
        signal = np.empty((nb, self.samples))
        for b in range(nb):
            counts = self._counts[b].astype(np.float64)
            centred = -np.outer(counts, mean)
            rows = slice(b * self.classes, (b + 1) * self.classes)
            exact = self._int_sums(rows)
            if exact is not None:
                centred += exact
            if self._fsum is not None:
                centred += self._fsum[rows]
            seen = counts > 0
            signal[b] = (centred[seen] ** 2 / counts[seen, None]).sum(axis=0) / n
        noise = total[None, :] - signal
        # What is left of the total after the signal is rounding alone where no
        # class varies within itself.
        noise[noise <= 1e-12 * total[None, :]] = 0.0
        return signal, noise

    def snr(self) -> np.ndarray:
        """signal / noise, (samples,) or (B, samples); 0 where the samples do
        not vary at all, inf where they vary between classes only."""
        signal, noise = self.parts()
        with np.errstate(divide="ignore", invalid="ignore"):
            out = np.where(noise > 0, signal / np.where(noise > 0, noise, 1.0), np.where(signal > 0, np.inf, 0.0))
        return out[0] if self._single else out


def snr_warnings(snr: SNR, least: int = 20) -> List[str]:
    """Why an SNR should not be trusted yet: classes with too few traces for
    their means to settle. With c classes seen and n traces, each class mean
    carries noise of its own, and pure noise reads an SNR of about
    (c - 1) / (n - c); below ``least`` traces per class on average that floor
    is too high to tell leakage from chance."""
    counts = np.atleast_2d(snr.class_counts)
    seen = int((counts > 0).sum(axis=1).max()) if counts.size else 0
    n = snr.traces
    if n <= seen:
        return ["%d traces over %d classes leave no class with a spread of its own: the noise cannot be estimated"
                % (n, seen)]
    if n < least * seen:
        return ["%d traces over %d classes, %.1f per class: noise alone reads an SNR of about %.2g; at least %d "
                "traces per class make it trustworthy" % (n, seen, n / seen, (seen - 1) / (n - seen), least)]
    return []


class CPA:
    """Correlation power analysis of every attacked byte and guess.

    Traces are summed per bucket of each attacked byte (for the default model
    a bucket is a plaintext byte's value), in one pass and exactly for integer
    traces; ``correlation()`` then applies the model once per byte, a matrix
    product with the bucket sums. ``model``: a Model (see
    valdrix.analysis.models), a ``--model`` name, or a function
    f(values, guesses) of an input byte (module-level, for a Dask run).
    ``update(traces, data)`` takes the bytes the model reads: plaintexts, or
    ciphertexts for a last-round model (``model.field``).
    """

    def __init__(self, samples: int, model: Any = None, bytes: Iterable[int] = range(16)) -> None:  # noqa: A002
        self.samples = int(samples)
        self.model: Model = as_model(model)
        self.bytes = [int(b) for b in bytes]
        if not self.bytes or any(not 0 <= b < 16 for b in self.bytes):
            raise ValueError("CPA needs the bytes to attack (0 to 15)")
        nb, k = len(self.bytes), self.model.buckets_per_byte
        self.traces = 0
        self._codes = np.zeros((nb, self.model.codes_per_byte), dtype=np.int64)
        self._bucket_n = np.zeros((nb, k), dtype=np.int64)
        self._isum: Optional[np.ndarray] = None  # int64 (nb * K, s): exact sums of integer traces
        self._fsum: Optional[np.ndarray] = None  # float64 (nb * K, s): sums of float traces
        self._stats = _GroupStats(1, self.samples, 2)  # sum and square sum of every sample
        self._corr: Optional[np.ndarray] = None
        self._peaks: Optional[np.ndarray] = None

    def data_width(self) -> int:
        """Bytes of data per trace the attacked bytes need."""
        return max(self.model.needs(b) for b in self.bytes)

    def update(self, traces: Any, plaintexts: Any) -> "CPA":
        """Adds traces (n, samples) with their data (n, >= data_width()) uint8."""
        x = as_traces(traces)
        data = np.asarray(plaintexts, dtype=np.uint8)
        if data.ndim != 2 or len(data) != len(x) or data.shape[1] < self.data_width():
            raise ValueError("one %s of at least %d bytes per trace is needed"
                             % ("input" if self.model.field == "tx" else "answer", self.data_width()))
        if x.shape[1] != self.samples:
            raise ValueError("traces of %d samples, the accumulator has %d" % (x.shape[1], self.samples))
        self._corr = None
        self.traces += len(x)
        k = self.model.buckets_per_byte
        parts = []
        for i, b in enumerate(self.bytes):
            self._codes[i] += np.bincount(self.model.codes(data, b), minlength=self.model.codes_per_byte)
            idx = self.model.buckets(data, b)
            self._bucket_n[i] += np.bincount(idx[idx >= 0], minlength=k)[:k]
            parts.append(np.where(idx >= 0, idx + i * k, -1))
        buckets = np.ascontiguousarray(np.hstack(parts), dtype=np.int32)
        if is_small_int(x):
            if self._isum is None:
                self._isum = np.zeros((len(self.bytes) * k, self.samples), dtype=np.int64)
            moments = np.zeros((2, self.samples), dtype=np.int64)
            engine.bucket_sums(x, buckets, self._isum, moments, distinct=self.model.distinct_slots)
            self._stats.add_sums(len(x), moments[0], moments[1])
        else:
            self._stats.update(x, np.zeros(len(x), dtype=np.int32))
            if self._fsum is None:
                self._fsum = np.zeros((len(self.bytes) * k, self.samples))
            engine.bucket_sums(x, buckets, self._fsum)
        return self

    def merge(self, other: "CPA") -> "CPA":
        if other.samples != self.samples or other.bytes != self.bytes or other.model.name != self.model.name:
            raise ValueError("only CPAs of the same samples, bytes and model merge")
        self.traces += other.traces
        self._codes += other._codes
        self._bucket_n += other._bucket_n
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
        mean_x, sxx = mom[1][0], mom[2][0]
        weights = np.asarray(self.model.weights(), dtype=np.float64)
        table = np.asarray(self.model.table(), dtype=np.float64)
        k = self.model.buckets_per_byte
        corr = np.empty((len(self.bytes), 256, self.samples))
        with np.errstate(divide="ignore"):
            inv_x = np.where(sxx > 0, 1.0 / np.sqrt(sxx), 0.0)
        peaks = np.empty((len(self.bytes), 256))
        for i in range(len(self.bytes)):
            codes = self._codes[i].astype(np.float64)
            sum_h = codes @ table
            shh = codes @ (table * table) - sum_h * sum_h / n  # per guess: sum of (h - mean h)^2
            # Per bucket: the sum over its traces of (x - mean x).
            centred = np.outer(-self._bucket_n[i].astype(np.float64), mean_x)
            rows = slice(i * k, (i + 1) * k)
            if self._isum is not None:
                centred += self._isum[rows]
            if self._fsum is not None:
                centred += self._fsum[rows]
            inv_h = np.where(shh > 1e-9 * n, 1.0 / np.sqrt(np.maximum(shh, 1e-300)), 0.0)
            out = corr[i]
            np.matmul(weights * inv_h[:, None], centred, out=out)
            out *= inv_x[None, :]
            np.clip(out, -1.0, 1.0, out=out)
            peaks[i] = np.abs(out).max(axis=1)
        self._corr = corr
        self._peaks = peaks
        return corr

    def _guess_peaks(self) -> np.ndarray:
        """Max |rho| of every byte and guess, (bytes, guesses)."""
        self.correlation()
        return self._peaks

    def key(self) -> bytes:
        """The best guess of every attacked byte (the one whose |rho| peaks
        highest): key bytes, or round key 10 for a last-round model."""
        return bytes(int(g) for g in self._guess_peaks().argmax(axis=1))

    def master_key(self) -> Optional[bytes]:
        """For a last-round model that attacked all 16 bytes, the AES key whose
        schedule ends in the recovered round key; else None."""
        if self.bytes != list(range(16)):
            return None
        return self.model.key_from_guesses(self.key())

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
