"""The figures: each draws on an Axes (a new pyplot figure when none is
given) and returns it."""

from __future__ import annotations

from typing import Any, List, Optional, Sequence, Tuple

import numpy as np
from matplotlib.axes import Axes
from matplotlib.collections import LineCollection
from matplotlib.figure import Figure
from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator

__all__ = ["plot_traces", "plot_t", "plot_correlation", "plot_snr", "plot_rank", "figure_axes"]

THRESHOLD_COLOUR = "#d62728"
WINNER_COLOUR = "#d62728"
OTHERS_COLOUR = "#b0b0b0"
MEAN_COLOUR = "#111111"
# Traces take the colour cycle's blue, orange, green... but never its red,
# which marks thresholds and winners.
TRACE_COLOURS = ("#1f77b4", "#ff7f0e", "#2ca02c", "#9467bd", "#8c564b", "#e377c2", "#17becf", "#7f7f7f")
# Samples summed per block when a mean is taken over a whole set.
_MEAN_BLOCK = 4 << 20


def figure_axes(rows: int = 1, size: Optional[Tuple[float, float]] = None) -> Any:
    """Axes (a list of ``rows`` of them when rows > 1, sharing x) on a figure of
    their own, rendered by Agg and unknown to pyplot: what a program that only
    writes files draws on, whatever backend its user's matplotlib is set to."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg

    fig = Figure(figsize=size or (10.0, 1.0 + 3.2 * rows), layout="constrained")
    FigureCanvasAgg(fig)
    axes = fig.subplots(rows, 1, sharex=True, squeeze=False)[:, 0]
    return list(axes) if rows > 1 else axes[0]


def _axes(ax: Optional[Axes]) -> Axes:
    if ax is not None:
        return ax
    import matplotlib.pyplot as plt  # the user's own backend: inline in a notebook

    return plt.subplots(figsize=(10.0, 4.0), layout="constrained")[1]


def _columns(ax: Axes) -> int:
    """Columns of an envelope: about one per pixel of the axes' width."""
    width = ax.get_window_extent().width
    return int(min(max(width, 200), 4000))


def _envelope(rows: np.ndarray, per: int) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Per column of ``per`` consecutive samples (the last may hold fewer): the
    first sample's offset, and the minimum and maximum of every row over it."""
    starts = np.arange(0, rows.shape[-1], per)
    return starts, np.minimum.reduceat(rows, starts, axis=-1), np.maximum.reduceat(rows, starts, axis=-1)


def _legend(ax: Axes, **kwargs: Any) -> None:
    """The legend beside the axes, where it never hides data."""
    ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), borderaxespad=0.0, fontsize="small", **kwargs)


def _title(ax: Axes, title: str) -> None:
    # Above a time axis along the top, clear of its label.
    if title:
        ax.set_title(title, pad=12 if ax.child_axes else 6)


def _number(value: float) -> str:
    return "%.0f" % value if abs(value) >= 1000 else "%.3g" % value


def _time_axis(ax: Axes, sample_period: float) -> None:
    """Time after the trigger in µs along the top, where the sample period is known."""
    if sample_period and sample_period > 0:
        us = sample_period * 1e6
        top = ax.secondary_xaxis("top", functions=(lambda s: s * us, lambda t: t / us))
        top.set_xlabel("time (µs)")


def _source(source: Any, channel: Optional[int]) -> Tuple[Any, int, float, str]:
    """The rows of samples (n, samples) to draw, their channel, sample period
    and a name for the channel."""
    waves = getattr(source, "waves", None)
    period = float(getattr(source, "sample_period", 0.0) or 0.0)
    if isinstance(waves, dict):
        if not waves:
            raise ValueError("there are no samples to draw")
        if channel is None:
            channel = 2 if 2 in waves else sorted(waves)[0]
        if channel not in waves:
            raise ValueError("there is no channel %s (channels %s)" % (channel, sorted(waves)))
        rows = waves[channel]
        if getattr(rows, "ndim", 2) == 1:
            rows = np.asarray(rows)[None, :]
        name = "channel %s" % ("AB"[channel - 1] if channel in (1, 2) else channel)
        return rows, channel, period, name
    rows = np.asarray(source)
    if rows.ndim == 1:
        rows = rows[None, :]
    if rows.ndim != 2:
        raise ValueError("traces are an array of (traces, samples), got the shape %s" % (rows.shape,))
    return rows, channel or 0, 0.0, "sample value"


def _mean(rows: Any, first: int, stop: int) -> np.ndarray:
    n = len(rows)
    block = max(1, _MEAN_BLOCK // max(stop - first, 1))
    total = np.zeros(stop - first)
    for r in range(0, n, block):
        total += np.asarray(rows[r:r + block, first:stop], dtype=np.float64).sum(axis=0)
    return total / max(n, 1)


def plot_traces(source: Any, ax: Optional[Axes] = None, traces: int = 3, window: Optional[Tuple[int, int]] = None,
                envelope: Optional[bool] = None, mean: bool = False, channel: Optional[int] = None,
                sample_period: Optional[float] = None, x: str = "samples", title: Optional[str] = None) -> Axes:
    """The first ``traces`` traces of one channel, and the mean of all of them
    when ``mean``, over samples window[0] to window[1] - 1.

    source: a trace set (``read_traces``), a ``TraceBatch``, a ``Trace``, or an
    array of (traces, samples). channel: the one to draw (default: 2, the
    target's supply current, where the source has it). envelope: draw each
    trace as the minimum and maximum of every pixel column (default: when
    the window holds more samples than the axes have pixels); each trace is
    then its two edges in its own colour, over a grey band that spans all of
    them. x: "samples" or "time" (µs, needs the sample period).
    """
    rows, channel, period, name = _source(source, channel)
    if sample_period is not None:
        period = float(sample_period)
    n, samples = len(rows), int(rows.shape[1])
    first, stop = window or (0, samples)
    if not 0 <= first < stop <= samples:
        raise ValueError("the window %d:%d does not lie within the %d samples of a trace" % (first, stop, samples))
    if x not in ("samples", "time"):
        raise ValueError("x is \"samples\" or \"time\", not %r" % (x,))
    if x == "time" and not period:
        raise ValueError("the sample period is not known, so x cannot be time")
    shown = min(max(int(traces), 0), n)
    if shown == 0 and not mean:
        raise ValueError("nothing to draw: no traces and no mean")
    ax = _axes(ax)
    scale = period * 1e6 if x == "time" else 1.0
    data = np.asarray(rows[:shown, first:stop], dtype=np.float64)
    series: List[Tuple[np.ndarray, dict]] = []
    for i in range(shown):
        series.append((data[i], dict(color=TRACE_COLOURS[i % len(TRACE_COLOURS)], label="trace %d" % i,
                                     gid="trace-%d" % i)))
    if mean and n:
        series.append((_mean(rows, first, stop), dict(color=MEAN_COLOUR, label="mean of %d traces" % n, gid="mean")))
    width = stop - first
    columns = _columns(ax)
    if envelope is None:
        envelope = width > columns
    if envelope:
        per = -(-width // columns)
        starts, lows, highs = _envelope(np.array([s for s, _ in series]), per)
        xs = (first + starts + (np.append(starts[1:], width) - 1 - starts) / 2.0) * scale
        if len(series) > 1:
            ax.fill_between(xs, lows.min(axis=0), highs.max(axis=0), color="#e6e6e6", linewidth=0, zorder=1,
                            label="all of them", gid="band")
        for k, (_, style) in enumerate(series):
            ax.plot(xs, highs[k], linewidth=0.8 if style["gid"] != "mean" else 1.4, zorder=2 + k, **style)
            ax.plot(xs, lows[k], linewidth=0.8 if style["gid"] != "mean" else 1.4, zorder=2 + k,
                    **dict(style, label="_" + style["label"], gid=style["gid"] + "-min"))
        note = "min and max of\nevery %d samples" % per if per > 1 else None
    else:
        xs = np.arange(first, stop) * scale
        for k, (values, style) in enumerate(series):
            ax.plot(xs, values, linewidth=0.9 if style["gid"] != "mean" else 1.6, zorder=2 + k, **style)
        note = None
    ax.set_xlim(first * scale, (stop - 1) * scale if stop - 1 > first else (first + 1) * scale)
    ax.set_xlabel("time (µs)" if x == "time" else "sample")
    ax.set_ylabel("%s: sample value" % name if name != "sample value" else name)
    if x == "samples":
        _time_axis(ax, period)
    ax.grid(True, color="#e4e4e4", linewidth=0.6)
    ax.set_axisbelow(True)
    _legend(ax, title=note, title_fontsize="small")
    if title is None:
        title = "%d trace%s of %d samples, samples %d to %d" % (n, "" if n == 1 else "s", samples, first, stop - 1)
    _title(ax, title)
    return ax


def _symlog_ticks(ax: Axes, threshold: float, top: float) -> None:
    """Ticks 0, ±threshold, and 1 and 3 times the powers of ten clear of the
    threshold (half a decade apart, so that their labels never touch), up
    to ``top``."""
    ticks = [0.0, threshold]
    power = 10.0 ** np.floor(np.log10(threshold))
    while power <= top * 1.2:
        for tick in (power, 3 * power):
            if 2.5 * threshold <= tick <= top * 1.2:
                ticks.append(tick)
        power *= 10.0
    ticks = sorted(set([-t for t in ticks] + ticks))
    ax.yaxis.set_major_locator(FixedLocator(ticks))
    ax.yaxis.set_minor_locator(NullLocator())
    ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: ("%g" % v).replace("-", "\u2212") if v else "0"))


def plot_t(t: Any, ax: Optional[Axes] = None, first_sample: int = 0, sample_period: float = 0.0, order: int = 1,
           threshold: float = 4.5, title: Optional[str] = None, scale: str = "auto") -> Axes:
    """Welch's t against the sample, with the ±threshold lines and the samples
    beyond them marked.

    first_sample: the number of t[0]'s sample (a window's start). scale:
    "linear", "symlog" (linear within ±threshold, logarithmic beyond), or
    "auto": symlog once |t| reaches ten times the threshold, where a linear
    axis would squeeze the threshold lines into one.
    """
    t = np.asarray(t, dtype=np.float64).ravel()
    if t.size == 0:
        raise ValueError("there is no t to draw")
    ax = _axes(ax)
    xs = np.arange(first_sample, first_sample + t.size)
    finite = np.isfinite(t)
    top = float(np.abs(t[finite]).max()) if finite.any() else 0.0
    leaking = np.abs(t) > threshold
    ax.plot(xs, t, color="#1f77b4", linewidth=0.9, label="t", gid="t", zorder=3)
    if leaking.any():
        ax.plot(xs[leaking], t[leaking], linestyle="", marker=".", markersize=3.5, color=THRESHOLD_COLOUR,
                label="|t| > %g: %d sample%s" % (threshold, leaking.sum(), "" if leaking.sum() == 1 else "s"),
                gid="leaking", zorder=4)
    for level, label in ((threshold, "\u00b1%g" % threshold), (-threshold, "_")):
        ax.axhline(level, color=THRESHOLD_COLOUR, linestyle="--", linewidth=1.1, label=label, gid="threshold",
                   zorder=5)
    if scale == "auto":
        scale = "symlog" if top >= 10 * threshold else "linear"
    if scale == "symlog":
        ax.set_yscale("symlog", linthresh=threshold, linscale=1.0)
        _symlog_ticks(ax, threshold, top)
        lim = max(top * 1.3, threshold * 2)
        ax.set_ylim(-lim, lim)
    elif scale == "linear":
        lim = max(top * 1.08, threshold * 1.5)
        ax.set_ylim(-lim, lim)
    else:
        raise ValueError("scale is \"auto\", \"linear\" or \"symlog\", not %r" % (scale,))
    ax.set_xlim(xs[0], xs[-1] if xs[-1] > xs[0] else xs[0] + 1)
    ax.set_xlabel("sample")
    ax.set_ylabel("t (order %d)%s" % (order, ", symmetric log scale" if scale == "symlog" else ""))
    _time_axis(ax, sample_period)
    ax.grid(True, color="#e4e4e4", linewidth=0.6)
    ax.set_axisbelow(True)
    _legend(ax)
    if title is None:
        peak = int(np.nanargmax(np.where(finite, np.abs(t), -1.0)))
        title = "t-test of order %d: max |t| = %.2f at sample %d" % (order, top, xs[peak])
    _title(ax, title)
    return ax


def plot_correlation(corr: Any, winner: int, ax: Optional[Axes] = None, first_sample: int = 0,
                     sample_period: float = 0.0, byte: int = 0, title: Optional[str] = None,
                     true: Optional[int] = None) -> Axes:
    """The correlation of every guess of one key byte against the sample: the
    other guesses in grey, the winner in red over them, and the true byte in
    black where it is given and differs.

    corr: (guesses, samples), or a CPA's whole (bytes, guesses, samples) from
    which ``byte`` is taken.
    """
    corr = np.asarray(corr, dtype=np.float64)
    if corr.ndim == 3:
        corr = corr[byte]
    if corr.ndim != 2 or corr.shape[1] == 0:
        raise ValueError("a correlation is (guesses, samples), got the shape %s" % (corr.shape,))
    guesses, samples = corr.shape
    if not 0 <= winner < guesses:
        raise ValueError("the winner 0x%02x is not among the %d guesses" % (winner, guesses))
    ax = _axes(ax)
    xs = np.arange(first_sample, first_sample + samples)
    others = [g for g in range(guesses) if g != winner and g != true]
    label = "the other %d guesses" % len(others)
    if others:
        if len(others) * samples <= 2_000_000:
            lines = LineCollection([np.column_stack([xs, corr[g]]) for g in others], colors=OTHERS_COLOUR,
                                   linewidths=0.5, label=label, zorder=2)
            lines.set_gid("others")
            ax.add_collection(lines)
        else:  # too many points to draw one by one: their envelope, which looks the same
            ax.fill_between(xs, corr[others].min(axis=0), corr[others].max(axis=0), color=OTHERS_COLOUR,
                            linewidth=0, label=label, gid="others", zorder=2)
    if true is not None and true != winner:
        ax.plot(xs, corr[true], color=MEAN_COLOUR, linewidth=1.0, label="true byte 0x%02x" % true, gid="true",
                zorder=3)
    peak = float(np.abs(corr[winner]).max())
    ax.plot(xs, corr[winner], color=WINNER_COLOUR, linewidth=1.2,
            label="guess 0x%02x, the highest peak (%.3f)" % (winner, peak), gid="winner", zorder=4)
    top = float(np.nanmax(np.abs(corr))) if np.isfinite(corr).any() else 1.0
    lim = min(max(top * 1.1, 0.05), 1.05)
    ax.set_ylim(-lim, lim)
    ax.set_xlim(xs[0], xs[-1] if xs[-1] > xs[0] else xs[0] + 1)
    ax.set_xlabel("sample")
    ax.set_ylabel("correlation of byte %d" % byte)
    _time_axis(ax, sample_period)
    ax.grid(True, color="#e4e4e4", linewidth=0.6)
    ax.set_axisbelow(True)
    _legend(ax)
    if title is None:
        title = "CPA of byte %d: %d guesses" % (byte, guesses)
    _title(ax, title)
    return ax


def plot_snr(snr: Any, ax: Optional[Axes] = None, first_sample: int = 0, sample_period: float = 0.0,
             title: Optional[str] = None, labels: Optional[Sequence[str]] = None) -> Axes:
    """SNR against the sample: one series, or one per row of a (bytes, samples)
    array (labelled "byte 0", "byte 1", ... unless ``labels`` says otherwise),
    each with its peak marked."""
    snr = np.asarray(snr, dtype=np.float64)
    rows = snr[None, :] if snr.ndim == 1 else snr
    if rows.ndim != 2 or rows.shape[1] == 0:
        raise ValueError("an SNR is (samples,) or (bytes, samples), got the shape %s" % (snr.shape,))
    if labels is None:
        labels = ["SNR"] if snr.ndim == 1 else ["byte %d" % b for b in range(len(rows))]
    ax = _axes(ax)
    xs = np.arange(first_sample, first_sample + rows.shape[1])
    colours = TRACE_COLOURS if len(rows) <= len(TRACE_COLOURS) else [
        __import__("matplotlib").colormaps["tab20"](i % 20) for i in range(len(rows))]
    best = (-np.inf, 0, 0)
    for k, row in enumerate(rows):
        ax.plot(xs, row, color=colours[k % len(colours)], linewidth=0.9, label=labels[k], gid="snr-%d" % k)
        if np.isfinite(row).any():
            at = int(np.nanargmax(np.where(np.isfinite(row), row, -np.inf)))
            if row[at] > best[0]:
                best = (float(row[at]), k, at)
    if np.isfinite(best[0]):
        ax.plot([xs[best[2]]], [best[0]], linestyle="", marker="o", markersize=6, markerfacecolor="none",
                markeredgecolor=THRESHOLD_COLOUR, label="max %s at sample %d%s" % (_number(best[0]), xs[best[2]],
                                                 "" if len(rows) == 1 else " (%s)" % labels[best[1]]), gid="peak")
    ax.set_xlim(xs[0], xs[-1] if xs[-1] > xs[0] else xs[0] + 1)
    ax.set_ylim(bottom=0)
    ax.set_xlabel("sample")
    ax.set_ylabel("SNR")
    _time_axis(ax, sample_period)
    ax.grid(True, color="#e4e4e4", linewidth=0.6)
    ax.set_axisbelow(True)
    _legend(ax, ncol=1 if len(rows) <= 8 else 2)
    if title is None:
        title = "signal-to-noise ratio" + ("" if len(rows) == 1 else " of %d bytes" % len(rows))
    _title(ax, title)
    return ax


def plot_rank(counts: Any, ranks: Any, ax: Optional[Axes] = None, title: Optional[str] = None) -> Axes:
    """The rank of the true key byte among the guesses against the number of
    traces: ``ranks`` is (len(counts),) for one byte or (len(counts), bytes)
    for several. Rank 0 is recovered; the first count from which every byte
    stays at rank 0 is marked."""
    counts = np.asarray(counts).ravel()
    ranks = np.asarray(ranks)
    one = ranks.ndim == 1
    table = ranks[:, None] if one else ranks
    if table.ndim != 2 or len(table) != len(counts) or len(counts) == 0:
        raise ValueError("ranks are (counts,) or (counts, bytes) for %d counts, got the shape %s"
                         % (len(counts), ranks.shape))
    ax = _axes(ax)
    colours = TRACE_COLOURS if table.shape[1] <= len(TRACE_COLOURS) else [
        __import__("matplotlib").colormaps["tab20"](i % 20) for i in range(table.shape[1])]
    for b in range(table.shape[1]):
        ax.step(counts, table[:, b], where="post", color=colours[b % len(colours)], linewidth=1.1,
                label="rank" if one else "byte %d" % b, gid="rank-%d" % b)
    solved = (table == 0).all(axis=1)
    since = len(solved)
    while since > 0 and solved[since - 1]:
        since -= 1
    if since < len(solved):
        ax.axvline(counts[since], color=MEAN_COLOUR, linestyle=":", linewidth=1.2, gid="recovered",
                   label="%s from %d traces" % ("recovered" if one else "whole key", counts[since]))
    ax.set_yscale("symlog", linthresh=1.0, linscale=0.6)
    ax.set_ylim(-0.15, 300)
    ax.yaxis.set_major_locator(FixedLocator([0, 1, 3, 10, 30, 100, 255]))
    ax.yaxis.set_minor_locator(NullLocator())
    ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: "%d" % v))
    if counts.min() > 0 and counts.max() >= 20 * counts.min():
        ax.set_xscale("log")
    ax.set_xlim(counts.min(), counts.max())
    ax.set_xlabel("traces")
    ax.set_ylabel("rank of the true byte (0: recovered)")
    ax.grid(True, color="#e4e4e4", linewidth=0.6)
    ax.set_axisbelow(True)
    _legend(ax, ncol=1 if table.shape[1] <= 8 else 2)
    if title is None:
        title = "key-byte rank against the number of traces"
    _title(ax, title)
    return ax
