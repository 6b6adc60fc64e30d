"""The record one capture returns."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Dict, Optional

from . import waves as _waves

__all__ = ["Trace"]


@dataclass
class Trace:
    """What one capture sent, received and sampled.

    waves: channel number (1 = A, 2 = B) to its samples, a numpy int16 array
        where numpy is installed, else ``array('h')``; raw sample values.
    tx: the bytes sent to the target; rx: the bytes it answered.
    index: running number of the capture on its client (0, 1, ...).
    time: when the capture was triggered, seconds since the epoch.
    sample_period: seconds between samples, where the sample rate is known.
    label: a group name for the trace ("fixed", "random"; "" when ungrouped).
    status: the trigger status word that ended the wait (0x102).
    """

    waves: Dict[int, _waves.Wave]
    tx: bytes = b""
    rx: bytes = b""
    index: int = 0
    time: float = 0.0
    sample_period: Optional[float] = None
    label: str = ""
    status: int = 0
    extra: Dict[str, Any] = field(default_factory=dict)

    @property
    def samples(self) -> int:
        """Samples per channel."""
        return len(next(iter(self.waves.values()))) if self.waves else 0

    def plot(self, ax: Any = None, show: bool = False) -> Any:
        """Draws each channel against time (µs where the sample period is known)
        with matplotlib, into ``ax`` or a new figure; returns the axes."""
        import matplotlib.pyplot as plt  # optional dependency, only for plotting

        if ax is None:
            _, ax = plt.subplots(figsize=(10, 4))
        for channel, wave in sorted(self.waves.items()):
            n = len(wave)
            if self.sample_period:
                x = [i * self.sample_period * 1e6 for i in range(n)]
            else:
                x = list(range(n))
            ax.plot(x, list(wave), linewidth=0.7, label="channel %s" % "AB"[channel - 1])
        ax.set_xlabel("time (µs)" if self.sample_period else "sample")
        ax.set_ylabel("sample value")
        ax.set_title("trace %d, tx %s" % (self.index, self.tx.hex() or "-"))
        ax.legend(loc="upper right")
        if show:
            plt.show()
        return ax
