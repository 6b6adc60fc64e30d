"""Figures of traces and analysis results, drawn with matplotlib.

::

    from valdrix.plot import plot_traces, plot_t, save_figure
    from valdrix.traces import read_traces

    ax = plot_traces(read_traces("look.trs"), traces=3, mean=True)
    save_figure(ax, "look.png")          # .png, .pdf or .svg by the suffix

Every figure function draws on the ``Axes`` given as ``ax=`` (a new pyplot
figure otherwise, so that a notebook shows it inline) and returns that Axes
for the caller to adjust: ``plot_traces`` (traces, their min/max envelopes and
the mean), ``plot_t`` (a t-trace with its thresholds), ``plot_correlation``
(every key guess of one CPA byte), ``plot_snr`` and ``plot_rank``.
``figure_axes`` makes axes on a figure of its own, apart from pyplot, for
programs that only write files. ``valdrix.plot.display`` renders results for
a notebook's rich display (``%load_ext valdrix.plot`` registers it).

The command-line tool ``valdrix-plot`` is ``valdrix.plot.cli``. matplotlib is
imported when a figure is first asked for, so the tools start and answer
``--help`` without it.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:  # pragma: no cover - names for type checkers; imported lazily below
    from .cli import main  # noqa: F401
    from .display import figure_html, figure_png, load_ipython_extension  # noqa: F401
    from .figures import figure_axes, plot_correlation, plot_rank, plot_snr, plot_t, plot_traces  # noqa: F401
    from .output import FORMATS, figure_format, save_figure  # noqa: F401

_WHERE = {
    "plot_traces": "figures", "plot_t": "figures", "plot_correlation": "figures", "plot_snr": "figures",
    "plot_rank": "figures", "figure_axes": "figures",
    "save_figure": "output", "figure_format": "output", "FORMATS": "output",
    "figure_png": "display", "figure_html": "display", "load_ipython_extension": "display",
    "main": "cli",
}

__all__ = sorted(_WHERE)


def __getattr__(name: str) -> Any:
    module = _WHERE.get(name)
    if module is None:
        raise AttributeError("module %r has no attribute %r" % (__name__, name))
    return getattr(importlib.import_module("." + module, __name__), name)


def __dir__() -> Any:
    return sorted(list(globals()) + __all__)
