"""valdrix-plot: draws a trace-set file as SVG, with the standard library alone.

    valdrix-plot traces.trs -o traces.svg [--traces 3]

One panel per channel: the first traces (thin) and the mean of all traces
(bold) against time in µs (against the sample number when the file gives no
sample period), with labelled axes. Long traces are drawn as the minimum and
maximum of each pixel column, so the SVG stays small.
"""

from __future__ import annotations

import argparse
import math
import sys
from typing import Any, List, Optional, Sequence, Tuple
from xml.sax.saxutils import escape

from .traces import TraceSet, read_traces

__all__ = ["main", "render_svg"]

PROG = "valdrix-plot"
_WIDTH, _PANEL, _LEFT, _RIGHT, _TOP, _BOTTOM = 960, 300, 80, 20, 40, 50
_TRACE_COLOURS = ("#4c9be8", "#f28e2b", "#59a14f", "#e15759", "#b07aa1", "#76b7b2", "#edc948", "#9c755f")


def _nice_ticks(low: float, high: float, count: int = 6) -> List[float]:
    if high <= low:
        high = low + 1.0
    raw = (high - low) / count
    step = 10 ** math.floor(math.log10(raw))
    for m in (1, 2, 5, 10):
        if raw <= m * step:
            step *= m
            break
    first = math.ceil(low / step) * step
    ticks = []
    t = first
    while t <= high + step * 1e-9:
        ticks.append(round(t, 12))
        t += step
    return ticks


def _fmt(value: float) -> str:
    return ("%.6g" % value).replace("-", "\u2212")


def _mean(rows: Any, n: int) -> List[float]:
    if hasattr(rows, "mean"):
        return [float(x) for x in rows.mean(axis=0)]
    total = [0.0] * n
    for row in rows:
        for i, x in enumerate(row):
            total[i] += x
    return [t / len(rows) for t in total]


def _columns(values: Sequence[float], columns: int) -> List[Tuple[float, float, float]]:
    """(column start as a fraction of the trace, min, max) of each pixel column."""
    n = len(values)
    if n <= 2 * columns:
        return [(i / max(n - 1, 1), v, v) for i, v in enumerate(values)]
    out = []
    for c in range(columns):
        a, b = c * n // columns, (c + 1) * n // columns
        chunk = values[a:b]
        out.append((a / (n - 1), min(chunk), max(chunk)))
    return out


def _polyline(points: List[Tuple[float, float, float]], x0: float, w: float, ymap: Any, colour: str,
              width: float) -> str:
    coords = []
    for frac, lo, hi in points:
        x = x0 + frac * w
        coords.append("%.1f,%.1f" % (x, ymap(lo)))
        if hi != lo:
            coords.append("%.1f,%.1f" % (x, ymap(hi)))
    return ('<polyline fill="none" stroke="%s" stroke-width="%g" points="%s"/>'
            % (colour, width, " ".join(coords)))


def render_svg(ts: TraceSet, traces: int = 3, title: Optional[str] = None) -> str:
    """The SVG text of a trace set: one panel per channel."""
    channels = ts.channels
    n, samples = len(ts), ts.samples
    height = _TOP + max(len(channels), 1) * (_PANEL + _BOTTOM) + 10
    plot_w = _WIDTH - _LEFT - _RIGHT
    scale = ts.sample_period * 1e6 if ts.sample_period else 1.0
    x_label = "time (µs)" if ts.sample_period else "sample"
    parts = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
             'font-family="sans-serif" font-size="12">' % (_WIDTH, height, _WIDTH, height),
             '<rect width="100%" height="100%" fill="white"/>',
             '<text x="%d" y="22" font-size="15">%s</text>'
             % (_LEFT, escape(title or "%d traces of %d samples" % (n, samples)))]
    for k, channel in enumerate(channels):
        rows = ts.waves[channel]
        shown = [list(map(float, rows[i])) for i in range(min(traces, n))]
        mean = _mean(rows, samples) if n else []
        everything = [v for row in shown for v in row] + mean
        lo, hi = (min(everything), max(everything)) if everything else (0.0, 1.0)
        if hi == lo:
            lo, hi = lo - 1, hi + 1
        pad = (hi - lo) * 0.05
        lo, hi = lo - pad, hi + pad
        top = _TOP + k * (_PANEL + _BOTTOM)

        def ymap(v: float, top: float = top, lo: float = lo, hi: float = hi) -> float:
            return top + _PANEL - (v - lo) / (hi - lo) * _PANEL

        parts.append('<g class="channel" id="channel-%d">' % channel)
        parts.append('<rect x="%d" y="%d" width="%d" height="%d" fill="none" stroke="#444"/>'
                     % (_LEFT, top, plot_w, _PANEL))
        x_end = (samples - 1) * scale if samples > 1 else 1.0
        for t in _nice_ticks(0.0, x_end):
            x = _LEFT + (t / x_end) * plot_w
            parts.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#ddd"/>' % (x, top, x, top + _PANEL))
            parts.append('<text x="%.1f" y="%d" text-anchor="middle">%s</text>' % (x, top + _PANEL + 16, _fmt(t)))
        for t in _nice_ticks(lo, hi):
            y = ymap(t)
            parts.append('<line x1="%d" y1="%.1f" x2="%d" y2="%.1f" stroke="#ddd"/>' % (_LEFT, y, _LEFT + plot_w, y))
            parts.append('<text x="%d" y="%.1f" text-anchor="end">%s</text>' % (_LEFT - 6, y + 4, _fmt(t)))
        parts.append('<text class="xlabel" x="%d" y="%d" text-anchor="middle">%s</text>'
                     % (_LEFT + plot_w // 2, top + _PANEL + 36, x_label))
        parts.append('<text class="ylabel" transform="translate(18,%d) rotate(-90)" text-anchor="middle">'
                     'channel %s: sample value</text>' % (top + _PANEL // 2, "AB"[channel - 1] if channel in (1, 2)
                                                           else channel))
        for i, row in enumerate(shown):
            parts.append(_polyline(_columns(row, plot_w), _LEFT, plot_w, ymap,
                                   _TRACE_COLOURS[i % len(_TRACE_COLOURS)], 0.8))
        if mean:
            parts.append(_polyline(_columns(mean, plot_w), _LEFT, plot_w, ymap, "#111", 1.6).replace(
                "<polyline", '<polyline class="mean"', 1))
        parts.append('<text x="%d" y="%d" text-anchor="end" fill="#444">first %d trace%s, mean of %d (black)</text>'
                     % (_LEFT + plot_w, top - 6, len(shown), "" if len(shown) == 1 else "s", n))
        parts.append("</g>")
    parts.append("</svg>")
    return "\n".join(parts) + "\n"


def main(argv: Optional[List[str]] = None) -> int:
    """Runs valdrix-plot with ``argv`` (default: the command line); returns the exit status."""
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.splitlines()[0].split(": ", 1)[1])
    parser.add_argument("file", help="a .trs or .npz trace set")
    parser.add_argument("-o", "--output", required=True, metavar="OUT.svg", help="SVG file to write")
    parser.add_argument("--traces", type=int, default=3, metavar="N", help="traces drawn besides the mean (3)")
    parser.add_argument("--title", default=None, help="title above the panels (default: counts)")
    args = parser.parse_args(argv)
    try:
        ts = read_traces(args.file)
    except OSError as e:
        print("%s: %s: %s" % (PROG, args.file, e.strerror), file=sys.stderr)
        return 1
    except (ValueError, KeyError) as e:
        print("%s: %s: not a trace set (%s)" % (PROG, args.file, e), file=sys.stderr)
        return 1
    svg = render_svg(ts, args.traces, args.title)
    try:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(svg)
    except OSError as e:
        print("%s: %s: %s" % (PROG, args.output, e.strerror), file=sys.stderr)
        return 1
    print("%s: %d traces, %d channel%s drawn" % (args.output, len(ts), len(ts.channels),
                                                 "" if len(ts.channels) == 1 else "s"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
