"""Writing a figure to a file, its format chosen by the file's suffix."""

from __future__ import annotations

import argparse
import importlib.util
import os
from typing import Any, Tuple

FORMATS: Tuple[str, ...] = ("png", "pdf", "svg")

# No creation dates in the files: a figure's file changes only when the figure does.
_METADATA = {"svg": {"Date": None}, "pdf": {"CreationDate": None}, "png": {}}


def figure_format(path: str) -> str:
    """The format that ``path``'s suffix names: "png", "pdf" or "svg"."""
    suffix = os.path.splitext(str(path))[1].lower().lstrip(".")
    if suffix not in FORMATS:
        raise ValueError("%s: a figure is written as .png, .pdf or .svg, not %s"
                         % (path, "." + suffix if suffix else "a file without a suffix"))
    return suffix


def figure_output(text: str) -> str:
    """An argparse type for a figure file: refuses an unknown suffix, or a
    machine without matplotlib, before any work is done."""
    try:
        figure_format(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None
    if importlib.util.find_spec("matplotlib") is None:
        raise argparse.ArgumentTypeError("figures need matplotlib (Debian: python3-matplotlib)")
    return text


def save_figure(ax_or_fig: Any, path: str, dpi: float = 150) -> str:
    """Writes the figure that holds ``ax_or_fig`` (an Axes, a sequence of them,
    or a Figure) to ``path`` as PNG, PDF or SVG by its suffix; returns the
    format. An unknown suffix raises ValueError before anything is written."""
    fmt = figure_format(path)
    fig = ax_or_fig
    if isinstance(fig, (list, tuple)) or type(fig).__name__ == "ndarray":
        fig = list(getattr(fig, "flat", fig))[0]
    # An Axes and a SubFigure know their figure; the top figure has no parent.
    while getattr(fig, "figure", None) is not None and fig.figure is not fig:
        fig = fig.figure
    fig.savefig(path, format=fmt, dpi=dpi, metadata=_METADATA[fmt])
    return fmt
