"""Rich display in a notebook: results and trace sets as a summary with their
figure.

A class shows itself richly with a one-line method, for example::

    def _repr_html_(self):
        from valdrix.plot.display import ttest_html
        return ttest_html(self)

and ``%load_ext valdrix.plot`` registers the same with IPython for the
analysis results (``TTest``, ``SNR``, ``CPA``), trace sets and traces. The
figures are drawn apart from pyplot, so displaying a result never opens or
leaves behind a figure of the notebook's own.
"""

from __future__ import annotations

import base64
import html
import io
from typing import Any, Callable, Optional, Sequence, Tuple

import numpy as np

from .figures import figure_axes, plot_correlation, plot_snr, plot_t, plot_traces

__all__ = ["figure_png", "figure_html", "ttest_html", "snr_html", "cpa_html", "traces_html",
           "load_ipython_extension"]

_SIZE = (9.0, 3.4)


def figure_png(plot: Callable[..., Any], *args: Any, size: Tuple[float, float] = _SIZE, dpi: float = 96,
               **kwargs: Any) -> bytes:
    """The PNG of ``plot(*args, ax=..., **kwargs)`` drawn on axes of its own:
    what a ``_repr_png_`` returns."""
    ax = figure_axes(size=size)
    plot(*args, ax=ax, **kwargs)
    out = io.BytesIO()
    ax.figure.savefig(out, format="png", dpi=dpi)
    return out.getvalue()


def figure_html(plot: Optional[Callable[..., Any]], *args: Any, summary: Sequence[Tuple[str, str]] = (),
                heading: str = "", **kwargs: Any) -> str:
    """An HTML block: a heading, a table of (name, value) rows, and the figure
    of ``plot(*args, **kwargs)`` inline (none when ``plot`` is None)."""
    parts = ['<div class="valdrix">']
    if heading:
        parts.append("<strong>%s</strong>" % html.escape(heading))
    if summary:
        parts.append('<table style="margin:4px 0">')
        for name, value in summary:
            parts.append('<tr><th style="text-align:left;padding-right:1em">%s</th><td style="text-align:left">'
                         '%s</td></tr>' % (html.escape(name), html.escape(str(value))))
        parts.append("</table>")
    if plot is not None:
        png = base64.b64encode(figure_png(plot, *args, **kwargs)).decode("ascii")
        parts.append('<img src="data:image/png;base64,%s" alt="%s"/>' % (png, html.escape(heading or "figure")))
    parts.append("</div>")
    return "".join(parts)


def _failed(heading: str, summary: list, error: Exception) -> str:
    return figure_html(None, heading=heading, summary=summary + [("not yet", str(error))])


def ttest_html(ttest: Any, first_sample: int = 0, sample_period: float = 0.0, threshold: float = 4.5) -> str:
    """A t-test: its counts, max |t|, the leaking samples, and the t-trace."""
    fixed, random = ttest.counts
    heading = "t-test of order %d" % ttest.order
    summary = [("traces", "%d (%d fixed, %d random)" % (fixed + random, fixed, random))]
    try:
        t = ttest.t()
    except ValueError as e:
        return _failed(heading, summary, e)
    abs_t = np.where(np.isfinite(t), np.abs(t), 0.0)
    peak = int(abs_t.argmax())
    leaking = int((abs_t > threshold).sum())
    summary += [("max |t|", "%.2f at sample %d" % (abs_t[peak], peak + first_sample)),
                ("verdict", "LEAKAGE: %d of %d samples exceed %g" % (leaking, len(t), threshold) if leaking
                 else "no sample exceeds %g" % threshold)]
    return figure_html(plot_t, t, heading=heading, summary=summary, first_sample=first_sample,
                       sample_period=sample_period, order=ttest.order, threshold=threshold, title="")


def snr_html(snr: Any, first_sample: int = 0, sample_period: float = 0.0) -> str:
    """An SNR: its peak and the SNR against the sample."""
    heading = "signal-to-noise ratio"
    summary = [("traces", str(snr.traces))]
    try:
        values = np.asarray(snr.snr())
    except ValueError as e:
        return _failed(heading, summary, e)
    flat = np.where(np.isfinite(values), values, -np.inf)
    at = np.unravel_index(int(flat.argmax()), flat.shape)
    summary.append(("max", "%.3g at sample %d%s" % (values[at], at[-1] + first_sample,
                                                    " (byte %d)" % at[0] if values.ndim == 2 else "")))
    return figure_html(plot_snr, values, heading=heading, summary=summary, first_sample=first_sample,
                       sample_period=sample_period, title="")


def cpa_html(cpa: Any, byte: Optional[int] = None, first_sample: int = 0, sample_period: float = 0.0) -> str:
    """A CPA: the key it gives, each byte's peak and margin, and the
    correlation of one byte's guesses (the byte with the lowest margin, the
    least certain one, unless ``byte`` is given)."""
    heading = "CPA of %d byte%s" % (len(cpa.bytes), "" if len(cpa.bytes) == 1 else "s")
    summary = [("traces", str(cpa.traces))]
    try:
        key, peaks, margins = cpa.key(), cpa.peaks(), cpa.margins()
    except ValueError as e:
        return _failed(heading, summary, e)
    bytes_ = list(cpa.bytes)
    summary += [("key", key.hex()),
                ("peaks", " ".join("%.2f" % p for p in peaks)),
                ("margins", " ".join("%.2f" % m for m in margins))]
    k = bytes_.index(byte) if byte is not None else int(np.argmin(margins))
    return figure_html(plot_correlation, cpa.correlation()[k], int(key[k]), heading=heading, summary=summary,
                       first_sample=first_sample, sample_period=sample_period, byte=bytes_[k],
                       title="byte %d%s" % (bytes_[k], "" if byte is not None else ", the lowest margin"))


def traces_html(source: Any, traces: int = 3) -> str:
    """A trace set, batch or trace: its size, channels and sample period, and
    its first traces."""
    waves = source.waves
    n = len(source) if hasattr(source, "__len__") else 1
    period = float(getattr(source, "sample_period", 0.0) or 0.0)
    samples = next((int(np.shape(w)[-1]) for w in waves.values()), 0)
    summary = [("traces", str(n)), ("samples", str(samples)), ("channels", ", ".join(str(c) for c in sorted(waves)))]
    if period:
        summary.append(("sample period", "%.4g ns (%.4g µs a trace)" % (period * 1e9, period * samples * 1e6)))
    if getattr(source, "path", ""):
        summary.append(("file", "%s (%s)" % (source.path, getattr(source, "format", ""))))
    heading = type(source).__name__
    if n == 0 or samples == 0:
        return figure_html(None, heading=heading, summary=summary)
    return figure_html(plot_traces, source, heading=heading, summary=summary, traces=traces, title="")


def load_ipython_extension(ipython: Any) -> None:
    """``%load_ext valdrix.plot``: the analysis results, trace sets and traces
    display as their summary and figure, where their class does not display
    itself already (IPython would prefer a registered function to the class's
    own ``_repr_html_``)."""
    from .. import analysis
    from ..batch import TraceBatch
    from ..trace import Trace
    from ..traces import TraceSet

    formatter = ipython.display_formatter.formatters["text/html"]
    for kind, show in ((analysis.TTest, ttest_html), (analysis.SNR, snr_html), (analysis.CPA, cpa_html),
                       (TraceSet, traces_html), (TraceBatch, traces_html), (Trace, traces_html)):
        if not hasattr(kind, "_repr_html_"):
            formatter.for_type(kind, show)
