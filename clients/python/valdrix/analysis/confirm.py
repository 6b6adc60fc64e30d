"""The two-set rule of evaluation labs on top of the t-test accumulator.

One t-test over a long campaign crosses 4.5 somewhere by chance alone once
there are enough samples. Labs therefore split the traces into two
independent sets and call a sample leaking only where the t-test of each set
exceeds the threshold on its own, in the same direction. Here trace i goes to set i % 2: traces
interleave in time, so drift of the bench hits both sets alike, and both
grow at the same pace while a campaign runs.
"""

from __future__ import annotations

from typing import Any, Optional, Tuple

import numpy as np

from .stats import TTest

__all__ = ["TwoSetTTest", "THRESHOLD"]

#: |t| above which a sample counts as leaking, in each set.
THRESHOLD = 4.5


class TwoSetTTest:
    """Two t-tests over the even- and the odd-numbered traces.

    ``update(traces, groups, first)`` takes traces numbered from ``first``
    (their index in the campaign), so chunks may come in any size and order;
    merging two of these adds their sets pairwise.
    """

    def __init__(self, samples: int, order: int = 1, threshold: float = THRESHOLD) -> None:
        self.samples, self.order, self.threshold = int(samples), order, float(threshold)
        self.sets = (TTest(samples, order), TTest(samples, order))

    @property
    def traces(self) -> int:
        return self.sets[0].traces + self.sets[1].traces

    def update(self, traces: Any, groups: Any, first: int = 0) -> "TwoSetTTest":
        x = np.asarray(traces)
        g = np.asarray(groups)
        if x.ndim != 2 or len(g) != len(x):
            raise ValueError("traces (n, samples) and groups (n,) must have the same n")
        # Row r is campaign trace first + r: the even ones start at row first % 2.
        start = first % 2
        for k, a in ((0, start), (1, 1 - start)):
            if len(x) > a:
                self.sets[k].update(x[a::2], g[a::2])
        return self

    def merge(self, other: "TwoSetTTest") -> "TwoSetTTest":
        if not isinstance(other, TwoSetTTest) or other.order != self.order:
            raise ValueError("only two-set t-tests of the same order merge")
        self.sets[0].merge(other.sets[0])
        self.sets[1].merge(other.sets[1])
        return self

    def ready(self) -> bool:
        """True once each set has at least 2 traces in each group."""
        return all(min(s.counts) >= 2 for s in self.sets)

    def t(self) -> Tuple[np.ndarray, np.ndarray]:
        """The t-trace of each set."""
        return self.sets[0].t(), self.sets[1].t()

    def confirmed(self, t: Optional[Tuple[np.ndarray, np.ndarray]] = None) -> np.ndarray:
        """Indices of the samples where both sets exceed the threshold with
        the same sign: two sets that disagree on the direction of a
        difference have not confirmed it."""
        t0, t1 = t if t is not None else self.t()
        th = self.threshold
        return np.flatnonzero(((t0 > th) & (t1 > th)) | ((t0 < -th) & (t1 < -th)))
