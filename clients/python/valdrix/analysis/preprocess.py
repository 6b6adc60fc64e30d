"""Preprocessing before an analysis: the centred product of two windows
(second-order attacks on masked targets) and static alignment."""

from __future__ import annotations

from typing import Any, Optional, Tuple

import numpy as np

from .engine import as_traces

__all__ = ["centred_product", "align"]


def centred_product(traces: Any, first: Tuple[int, int], second: Tuple[int, int], means: Optional[np.ndarray] = None,
                    all_pairs: bool = False) -> np.ndarray:
    """Second-order preprocessing: (x[:, a:b] - mean[a:b]) * (x[:, c:d] - mean[c:d]).

    first = (a, b) and second = (c, d) are sample windows of equal length
    (element-wise product) or, with all_pairs, of any lengths (every pair,
    (n, (b - a) * (d - c))). means: the per-sample means of the whole set,
    from a first pass over ``traces`` when not given. Returns float64."""
    x = as_traces(traces)
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
    x = as_traces(traces)
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


