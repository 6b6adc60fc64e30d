"""valdrix-plot: draws a trace-set file as SVG, with the standard library alone.

    valdrix-plot traces.trs -o traces.svg [--traces 3] [--window 200:900] [--mean]
    valdrix-plot traces.trs -o round1.svg --time 5:16 --x time

One panel per channel: the first traces, and optionally the mean of all
traces (bold), against the sample number (or time in µs with --x time), over a
sample window (--window A:B) or a time window (--time A:B, µs). Where a panel
has more samples than pixels, each trace is drawn as its envelope: the
minimum and maximum of every pixel column, filled. Axes carry round ticks
and their labels.

The analysis plots (``render_t_svg``, ``render_correlation_svg``,
``render_series_svg``) draw a t-trace with the ±4.5 thresholds, and the
correlation of every key guess against time with the winner over them.

Exit status: 0 drawn; 1 the file cannot be read or the SVG written; 2 usage.
"""

from __future__ import annotations

import argparse
import math
import sys
from typing import Any, Iterable, List, Optional, Sequence, Tuple
from xml.sax.saxutils import escape

__all__ = ["main", "render_svg", "render_t_svg", "render_correlation_svg", "render_series_svg", "nice_ticks"]

PROG = "valdrix-plot"
_WIDTH, _PANEL, _LEFT, _RIGHT, _TOP, _BOTTOM = 1000, 300, 84, 40, 44, 56
_TRACE_COLOURS = ("#4c78a8", "#f28e2b", "#59a14f", "#e15759", "#b07aa1", "#76b7b2", "#edc948", "#9c755f")


def nice_ticks(low: float, high: float, count: int = 7) -> Tuple[List[float], int]:
    """Round tick values (1, 2 or 5 times a power of ten apart) covering
    [low, high], and the decimals their labels need."""
    if not high > low:
        high = low + 1.0
    raw = (high - low) / count
    power = 10.0 ** math.floor(math.log10(raw))
    step = next(m * power for m in (1, 2, 5, 10) if raw <= m * power * (1 + 1e-9))
    decimals = max(0, -int(math.floor(math.log10(step) + 1e-9)))
    first = math.ceil(low / step - 1e-9)
    ticks = []
    k = first
    while k * step <= high + step * 1e-9:
        ticks.append(round(k * step, decimals))
        k += 1
    return ticks, decimals


def _label(value: float, decimals: int) -> str:
    text = "%.*f" % (decimals, value)
    if text.startswith("-") and float(text) == 0:
        text = text[1:]
    return text.replace("-", "\u2212")


class _Panel:
    """One plot area: data to pixel mapping, frame, grid, ticks and labels."""

    def __init__(self, top: float, x_range: Tuple[float, float], y_range: Tuple[float, float],
                 x_label: str, y_label: str, width: int = _WIDTH) -> None:
        self.top, self.left = top, _LEFT
        self.w, self.h = width - _LEFT - _RIGHT, _PANEL
        self.x0, self.x1 = x_range
        if self.x1 <= self.x0:
            self.x1 = self.x0 + 1
        lo, hi = y_range
        if not (math.isfinite(lo) and math.isfinite(hi)):
            lo, hi = 0.0, 1.0
        if hi <= lo:
            lo, hi = lo - 1, hi + 1
        self.y0, self.y1 = lo, hi
        self.x_label, self.y_label = x_label, y_label

    def px(self, x: float) -> float:
        return self.left + (x - self.x0) / (self.x1 - self.x0) * self.w

    def py(self, y: float) -> float:
        return self.top + self.h - (y - self.y0) / (self.y1 - self.y0) * self.h

    def frame(self, x_scale: float = 1.0) -> List[str]:
        """Grid, ticks and axis labels; x_scale turns the x data unit into the label's."""
        out = []
        xt, xd = nice_ticks(self.x0 * x_scale, self.x1 * x_scale)
        for t in xt:
            x = self.px(t / x_scale)
            if self.left - 0.5 <= x <= self.left + self.w + 0.5:
                out.append('<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="#e4e4e4"/>'
                           % (x, self.top, x, self.top + self.h))
                out.append('<text x="%.1f" y="%.1f" text-anchor="middle">%s</text>'
                           % (x, self.top + self.h + 17, _label(t, xd)))
        yt, yd = nice_ticks(self.y0, self.y1, 6)
        for t in yt:
            y = self.py(t)
            if self.top - 0.5 <= y <= self.top + self.h + 0.5:
                out.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#e4e4e4"/>'
                           % (self.left, y, self.left + self.w, y))
                out.append('<text x="%d" y="%.1f" text-anchor="end">%s</text>' % (self.left - 6, y + 4, _label(t, yd)))
        out.append('<rect x="%d" y="%.1f" width="%d" height="%d" fill="none" stroke="#444"/>'
                   % (self.left, self.top, self.w, self.h))
        out.append('<text class="xlabel" x="%.1f" y="%.1f" text-anchor="middle">%s</text>'
                   % (self.left + self.w / 2, self.top + self.h + 40, escape(self.x_label)))
        out.append('<text class="ylabel" transform="translate(20,%.1f) rotate(-90)" text-anchor="middle">%s</text>'
                   % (self.top + self.h / 2, escape(self.y_label)))
        return out

    def columns(self, n: int) -> int:
        return max(1, int(self.w))

    def trace(self, first: float, lows: Sequence[float], highs: Optional[Sequence[float]] = None, colour: str = "#000",
              width: float = 1.0, css: str = "trace", opacity: float = 0.35) -> str:
        """Samples first, first+1, ... drawn as a line where they fit the pixels,
        else as a filled min/max envelope (lows/highs: the envelope of several
        series at once)."""
        highs = lows if highs is None else highs
        n = len(lows)
        if n == 0:
            return ""
        if n <= self.w and highs is lows:
            pts = " ".join("%.1f,%.1f" % (self.px(first + i), self.py(v)) for i, v in enumerate(lows))
            return ('<polyline class="%s" fill="none" stroke="%s" stroke-width="%g" stroke-linejoin="round" '
                    'points="%s"/>' % (css, colour, width, pts))
        cols = min(n, self.columns(n))
        top_edge, bottom_edge = [], []
        for c in range(cols):
            a, b = c * n // cols, max((c + 1) * n // cols, c * n // cols + 1)
            x = self.px(first + (a + b - 1) / 2.0)
            top_edge.append("%.1f,%.1f" % (x, self.py(max(highs[a:b]))))
            bottom_edge.append("%.1f,%.1f" % (x, self.py(min(lows[a:b]))))
        pts = " ".join(top_edge + bottom_edge[::-1])
        return ('<polygon class="%s envelope" fill="%s" fill-opacity="%g" stroke="%s" stroke-width="%g" '
                'stroke-linejoin="round" points="%s"/>' % (css, colour, opacity, colour, min(width, 0.8), pts))


def _svg_head(width: int, height: int, title: str) -> List[str]:
    return ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
            'font-family="sans-serif" font-size="12">' % (width, height, width, height),
            '<rect width="100%" height="100%" fill="white"/>',
            '<text x="%d" y="24" font-size="15">%s</text>' % (_LEFT, escape(title))]


def _x_axis(sample_period: float, unit: str) -> Tuple[float, str]:
    """The scale from samples to the x labels' unit, and the axis label."""
    if unit == "time" and sample_period:
        return sample_period * 1e6, "time (µs)"
    return 1.0, "sample"


def _limits(values: Iterable[float], pad: float = 0.05) -> Tuple[float, float]:
    lo, hi = math.inf, -math.inf
    for v in values:
        if v < lo:
            lo = v
        if v > hi:
            hi = v
    if lo > hi:
        return 0.0, 1.0
    if hi == lo:
        return lo - 1, hi + 1
    margin = (hi - lo) * pad
    return lo - margin, hi + margin


def _floats(values: Any) -> List[float]:
    return [float(v) for v in (values.tolist() if hasattr(values, "tolist") else values)]


def render_svg(ts: Any, traces: int = 3, title: Optional[str] = None, window: Optional[Tuple[int, int]] = None,
               mean: bool = False, x_unit: str = "samples", channels: Optional[Sequence[int]] = None) -> str:
    """The SVG text of a trace set: one panel per channel, the first ``traces``
    traces over samples window[0] to window[1] - 1, and the mean of all traces
    when asked."""
    channels = list(channels) if channels else list(ts.channels)
    n, samples = len(ts), ts.samples
    a, b = window or (0, samples)
    scale, x_label = _x_axis(ts.sample_period, x_unit)
    height = _TOP + max(len(channels), 1) * (_PANEL + _BOTTOM + 14) + 10
    shown_count = min(traces, n)
    head = title or "%d traces of %d samples, samples %d to %d" % (n, samples, a, b - 1)
    parts = _svg_head(_WIDTH, height, head)
    for k, channel in enumerate(channels):
        rows = ts.waves[channel]
        shown = [_floats(rows[i][a:b]) for i in range(shown_count)]
        avg: List[float] = []
        if mean and n:
            avg = _mean(rows, n, a, b)
        panel = _Panel(_TOP + 14 + k * (_PANEL + _BOTTOM + 14), (a, b - 1),
                       _limits(v for row in shown + [avg] for v in row), x_label,
                       "channel %s: sample value" % ("AB"[channel - 1] if channel in (1, 2) else channel))
        parts.append('<g class="channel" id="channel-%d">' % channel)
        parts += panel.frame(scale)
        for i, row in enumerate(shown):
            parts.append(panel.trace(a, row, colour=_TRACE_COLOURS[i % len(_TRACE_COLOURS)], width=1.0))
        if avg:
            parts.append(panel.trace(a, avg, colour="#111", width=1.6, css="mean", opacity=0.6))
        legend = "first %d trace%s" % (len(shown), "" if len(shown) == 1 else "s")
        if avg:
            legend += ", mean of %d (black)" % n
        if b - a > panel.w:
            legend += "; %d samples in %d pixels: min/max envelopes" % (b - a, panel.w)
        parts.append('<text x="%d" y="%.1f" text-anchor="end" fill="#444">%s</text>'
                     % (panel.left + panel.w, panel.top - 6, escape(legend)))
        parts.append("</g>")
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def _mean(rows: Any, n: int, a: int, b: int) -> List[float]:
    try:
        import numpy as np
    except ImportError:
        np = None
    if np is not None and hasattr(rows, "shape"):
        total = np.zeros(b - a)
        for r in range(0, n, 4096):
            total += np.asarray(rows[r:r + 4096, a:b], dtype=np.float64).sum(axis=0)
        return (total / n).tolist()
    total = [0.0] * (b - a)
    for row in rows:
        for i, x in enumerate(row[a:b]):
            total[i] += x
    return [t / n for t in total]


def render_series_svg(values: Sequence[float], offset: int = 0, sample_period: float = 0.0, y_label: str = "",
                      title: str = "", x_unit: str = "samples", thresholds: Sequence[float] = (),
                      colour: str = "#4c78a8") -> str:
    """One series against samples (offset is the first one's number), with
    dashed horizontal lines at the thresholds."""
    values = _floats(values)
    scale, x_label = _x_axis(sample_period, x_unit)
    lo, hi = _limits(list(values) + list(thresholds))
    height = _TOP + 14 + _PANEL + _BOTTOM + 10
    parts = _svg_head(_WIDTH, height, title)
    panel = _Panel(_TOP + 14, (offset, offset + max(len(values) - 1, 1)), (lo, hi), x_label, y_label)
    parts += panel.frame(scale)
    for level in thresholds:
        y = panel.py(level)
        parts.append('<line class="threshold" x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#d62728" '
                     'stroke-dasharray="6 4" stroke-width="1.2"/>' % (panel.left, y, panel.left + panel.w, y))
        parts.append('<text x="%d" y="%.1f" fill="#d62728">%s</text>' % (panel.left + panel.w + 4, y + 4,
                                                                          _label(level, 1)))
    parts.append(panel.trace(offset, values, colour=colour, width=1.2, opacity=0.8))
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def render_t_svg(t: Sequence[float], offset: int = 0, sample_period: float = 0.0, order: int = 1, title: str = "",
                 x_unit: str = "samples", threshold: float = 4.5) -> str:
    """Welch's t against samples with the ±threshold lines."""
    return render_series_svg(t, offset, sample_period, "t (order %d)" % order, title, x_unit,
                             thresholds=(threshold, -threshold))


def render_correlation_svg(corr: Any, winner: int, offset: int = 0, sample_period: float = 0.0, byte: int = 0,
                           true: Optional[int] = None, title: str = "", x_unit: str = "samples") -> str:
    """Correlation of all 256 guesses of one key byte against samples: the
    others as a grey band (their envelope), the winner drawn over them in red,
    and the true byte in black where it is given and differs."""
    others = [g for g in range(len(corr)) if g != winner and g != true]
    if hasattr(corr, "shape") and others:  # numpy: the envelope of the others at once
        lows, highs = _floats(corr[others].min(axis=0)), _floats(corr[others].max(axis=0))
        rows = {g: _floats(corr[g]) for g in (winner, true) if g is not None}
    else:
        rows = {g: _floats(r) for g, r in enumerate(corr)}
        lows = [min(rows[g][j] for g in others) for j in range(len(rows[winner]))] if others else rows[winner]
        highs = [max(rows[g][j] for g in others) for j in range(len(rows[winner]))] if others else rows[winner]
    samples = len(rows[winner])
    scale, x_label = _x_axis(sample_period, x_unit)
    lo, hi = _limits(lows + highs + rows[winner] + (rows[true] if true is not None else []))
    lo, hi = min(lo, -0.05), max(hi, 0.05)
    height = _TOP + 14 + _PANEL + _BOTTOM + 10
    parts = _svg_head(_WIDTH, height, title)
    panel = _Panel(_TOP + 14, (offset, offset + max(samples - 1, 1)), (lo, hi), x_label,
                   "correlation of byte %d" % byte)
    parts += panel.frame(scale)
    parts.append(panel.trace(offset, lows, highs, colour="#9a9a9a", width=0.6, css="others", opacity=0.55))
    if true is not None and true != winner:
        parts.append(panel.trace(offset, rows[true], colour="#111", width=1.2, css="true", opacity=0.8))
    parts.append(panel.trace(offset, rows[winner], colour="#d62728", width=1.4, css="winner", opacity=0.9))
    legend = "red: guess 0x%02x (the highest peak); grey: the other %d guesses" % (winner, len(others))
    if true is not None and true != winner:
        legend += "; black: the true byte 0x%02x" % true
    parts.append('<text x="%d" y="%.1f" text-anchor="end" fill="#444">%s</text>'
                 % (panel.left + panel.w, panel.top - 6, escape(legend)))
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def _range(text: str, kind: type) -> Tuple[Any, Any]:
    try:
        a, b = (kind(v) for v in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError("a range is FIRST:STOP, like 100:900, got %r" % text) from None
    if not (a >= 0 and b > a):
        raise argparse.ArgumentTypeError("a range needs 0 <= FIRST < STOP, got %r" % text)
    return a, b


def main(argv: Optional[List[str]] = None) -> int:
    """Runs valdrix-plot with ``argv`` (default: the command line); returns the exit status."""
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.splitlines()[0].split(": ", 1)[1],
                                     epilog="Exit status: 0 drawn; 1 the file cannot be read or the SVG written; "
                                            "2 usage errors.")
    parser.add_argument("file", help="a .trs, .npz or .zarr trace set")
    parser.add_argument("-o", "--output", required=True, metavar="OUT.svg", help="SVG file to write")
    parser.add_argument("--traces", type=int, default=3, metavar="N", help="traces drawn (3)")
    parser.add_argument("--mean", action="store_true", help="also draw the mean of all traces")
    window = parser.add_mutually_exclusive_group()
    window.add_argument("--window", type=lambda s: _range(s, int), metavar="A:B", help="samples A to B-1 only")
    window.add_argument("--time", type=lambda s: _range(s, float), metavar="A:B",
                        help="from A to B µs after the trigger only")
    parser.add_argument("--x", choices=("samples", "time"), default="samples", help="x axis unit (samples)")
    parser.add_argument("--channel", type=int, action="append", metavar="N", help="channel to draw (default: all)")
    parser.add_argument("--title", default=None, help="title above the panels (default: counts)")
    args = parser.parse_args(argv)
    if args.traces < 0:
        parser.error("--traces must be at least 0")
    if args.traces == 0 and not args.mean:
        parser.error("--traces 0 draws nothing: add --mean")
    from .traces import read_traces

    from .errors import TraceFileError
    import struct
    import zipfile

    try:
        ts = read_traces(args.file)
        samples = ts.samples
        if len(ts) == 0 or samples == 0:
            raise ValueError("the file holds no traces with samples")
        if args.time:
            if not ts.sample_period:
                raise ValueError("the file gives no sample period, so --time cannot apply: use --window")
            per_us = ts.sample_period * 1e6
            window_ = (int(math.floor(args.time[0] / per_us)), int(math.ceil(args.time[1] / per_us)) + 1)
            window_ = (min(window_[0], samples), min(window_[1], samples))
            if window_[0] >= samples:
                raise ValueError("the time window %g:%g µs does not lie within the %.4g µs of a trace"
                                 % (args.time[0], args.time[1], samples * per_us))
        else:
            window_ = args.window or (0, samples)
        if not (0 <= window_[0] < window_[1] <= samples):
            raise ValueError("the window %d:%d does not lie within the %d samples of a trace"
                             % (window_[0], window_[1], samples))
        for channel in args.channel or []:
            if channel not in ts.channels:
                raise ValueError("the file has no channel %d" % channel)
        if args.x == "time" and not ts.sample_period:
            raise ValueError("the file gives no sample period, so --x time cannot apply")
        svg = render_svg(ts, args.traces, args.title, window_, args.mean, args.x, args.channel)
    except OSError as e:
        print("%s: %s: %s" % (PROG, e.filename or args.file, e.strerror or e), file=sys.stderr)
        return 1
    except (TraceFileError, ValueError, KeyError, IndexError, EOFError, OverflowError, MemoryError, struct.error,
            zipfile.BadZipFile) as e:
        text = str(e)
        print("%s: %s" % (PROG, text if text.startswith(args.file) else "%s: %s" % (args.file, text)),
              file=sys.stderr)
        return 1
    try:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(svg)
    except OSError as e:
        print("%s: %s: %s" % (PROG, args.output, e.strerror), file=sys.stderr)
        return 1
    print("%s: %d traces, %d channel%s, samples %d to %d drawn"
          % (args.output, len(ts), len(args.channel or ts.channels), "" if len(args.channel or ts.channels) == 1
             else "s", window_[0], window_[1] - 1))
    return 0


if __name__ == "__main__":
    sys.exit(main())
