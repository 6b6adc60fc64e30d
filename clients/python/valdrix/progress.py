"""A progress line on a terminal, shared by the console tools: it redraws in
place at most a few times a second with the count, the rate and the time
left, and is cleared before the tool prints its final line (or kept, where
how far a run got is worth seeing). Silent when the stream is not a
terminal, so pipes and logs get the results alone."""

from __future__ import annotations

import sys
import time
from typing import Any, Optional

__all__ = ["Progress", "duration"]


class Progress:
    """``Progress("tvla set.trs")``, then ``update(done, total)`` (or call it:
    it is the ``progress(done, total)`` callback valdrix.analysis takes) and
    ``finish()`` before the final line. ``unit`` names what is counted;
    ``first`` is where a resumed run started, so the rate counts this run's
    work only; ``note`` is shown after the figures (``"reconnecting"``)."""

    def __init__(self, label: str = "", stream: Any = None, every: float = 0.2, unit: str = "traces",
                 first: int = 0, enabled: Optional[bool] = None) -> None:
        self.stream = stream or sys.stderr
        self.label = label
        self.every = every
        self.unit = unit
        self.first = first
        if enabled is None:
            enabled = hasattr(self.stream, "isatty") and self.stream.isatty()
        self.enabled = enabled
        self.start = time.monotonic()
        self.shown = -float("inf")
        self.width = 0

    def update(self, done: int, total: Optional[int] = None, force: bool = False, note: str = "") -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if not force and now - self.shown < self.every and (total is None or done < total):
            return
        self.shown = now
        rate = (done - self.first) / max(now - self.start, 1e-9)
        text = "%s%d" % (self.label + ": " if self.label else "", done)
        if total:
            left = (total - done) / rate if rate > 0 else 0.0
            text += " of %d %s (%3.0f%%), %.0f %s/s, %s left" % (total, self.unit, 100.0 * done / total, rate,
                                                                 self.unit, duration(left))
        else:
            text += " %s, %.0f %s/s" % (self.unit, rate, self.unit)
        if note:
            text += ", " + note
        self.stream.write("\r" + text.ljust(self.width))
        self.width = len(text)
        self.stream.flush()

    __call__ = update

    def finish(self, keep: bool = False) -> None:
        """Clears the line, so that the next output starts at the margin;
        with ``keep``, ends it instead, leaving the figures last drawn above
        what follows."""
        if self.enabled and self.width:
            self.stream.write("\n" if keep else "\r" + " " * self.width + "\r")
            self.stream.flush()
            self.width = 0


def duration(seconds: float) -> str:
    """A time left as people read it: 42 s, 3 min 07 s, 2 h 05 min."""
    if seconds < 60:
        return "%.0f s" % seconds
    if seconds < 3600:
        return "%d min %02d s" % (seconds // 60, seconds % 60)
    return "%d h %02d min" % (seconds // 3600, seconds % 3600 // 60)
