"""valdrix-plot: draws a trace-set file as PNG, PDF or SVG.

    valdrix-plot traces.trs -o traces.png [--traces 3] [--window 200:900] [--mean]
    valdrix-plot traces.trs -o round1.pdf --time 5:16 --x time

One panel per channel: the first traces, and optionally the mean of all
traces (black), against the sample number (or time in µs with --x time), over
a sample window (--window A:B) or a time window (--time A:B, µs). Where a panel
has more samples than pixels, each trace is drawn as its envelope: the minimum
and maximum of every pixel column. The output's suffix chooses the format.

Exit status: 0 drawn; 1 the file cannot be read or the figure written; 2 usage
errors (an output suffix other than .png, .pdf or .svg, or no matplotlib).
"""

from __future__ import annotations

import argparse
import math
import struct
import sys
import zipfile
from typing import Any, List, Optional, Tuple

from ..traces import options as trace_options
from .output import figure_output

PROG = "valdrix-plot"


def _range(text: str, kind: type) -> Tuple[Any, Any]:
    try:
        a, b = (kind(v) for v in text.split(":"))
    except ValueError:
        raise argparse.ArgumentTypeError("a range is FIRST:STOP, like 100:900, got %r" % text) from None
    if not (a >= 0 and b > a):
        raise argparse.ArgumentTypeError("a range needs 0 <= FIRST < STOP, got %r" % text)
    return a, b


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.splitlines()[0].split(": ", 1)[1],
                                     epilog="Exit status: 0 drawn; 1 the file cannot be read or the figure "
                                            "written; 2 usage errors (an output suffix other than .png, .pdf "
                                            "or .svg, or no matplotlib).")
    parser.add_argument("file", help="a trace set: TRS, .npz, .npy, zarr or HDF5")
    parser.add_argument("-o", "--output", required=True, type=figure_output, metavar="OUT",
                        help="the figure to write: .png, .pdf or .svg")
    parser.add_argument("--traces", type=int, default=3, metavar="N", help="traces drawn (3)")
    parser.add_argument("--mean", action="store_true", help="also draw the mean of all traces")
    window = parser.add_mutually_exclusive_group()
    window.add_argument("--window", type=lambda s: _range(s, int), metavar="A:B", help="samples A to B-1 only")
    window.add_argument("--time", type=lambda s: _range(s, float), metavar="A:B",
                        help="from A to B µs after the trigger only")
    parser.add_argument("--x", choices=("samples", "time"), default="samples", help="x axis unit (samples)")
    parser.add_argument("--channel", type=int, action="append", metavar="N", help="channel to draw (default: all)")
    parser.add_argument("--title", default=None, help="title above the panels (default: counts)")
    trace_options.add_arguments(parser)
    return parser


def _window(args: argparse.Namespace, ts: Any) -> Tuple[int, int]:
    samples = ts.samples
    if args.time:
        if not ts.sample_period:
            raise ValueError("the file gives no sample period, so --time cannot apply: use --window")
        per_us = ts.sample_period * 1e6
        first, stop = int(math.floor(args.time[0] / per_us)), int(math.ceil(args.time[1] / per_us)) + 1
        first, stop = min(first, samples), min(stop, samples)
        if first >= samples:
            raise ValueError("the time window %g:%g µs does not lie within the %.4g µs of a trace"
                             % (args.time[0], args.time[1], samples * per_us))
        return first, stop
    first, stop = args.window or (0, samples)
    if not 0 <= first < stop <= samples:
        raise ValueError("the window %d:%d does not lie within the %d samples of a trace" % (first, stop, samples))
    return first, stop


def draw(ts: Any, traces: int = 3, window: Optional[Tuple[int, int]] = None, mean: bool = False,
         x: str = "samples", channels: Optional[List[int]] = None, title: Optional[str] = None) -> Any:
    """The figure valdrix-plot writes: one panel per channel, on axes of their
    own (see ``figure_axes``); returns the figure."""
    from .figures import figure_axes, plot_traces

    channels = list(channels) if channels else list(ts.channels)
    first, stop = window or (0, ts.samples)
    axes = figure_axes(len(channels))
    axes = axes if isinstance(axes, list) else [axes]
    for ax, channel in zip(axes, channels):
        plot_traces(ts, ax=ax, traces=traces, window=(first, stop), mean=mean, channel=channel, x=x, title="")
        ax.set_gid("channel-%d" % channel)
        if ax is not axes[-1]:
            ax.set_xlabel("")
    fig = axes[0].figure
    n = len(ts)
    fig.suptitle(title if title is not None else "%d trace%s of %d samples, samples %d to %d"
                 % (n, "" if n == 1 else "s", ts.samples, first, stop - 1))
    return fig


def main(argv: Optional[List[str]] = None) -> int:
    """Runs valdrix-plot with ``argv`` (default: the command line); returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    if args.traces < 0:
        parser.error("--traces must be at least 0")
    if args.traces == 0 and not args.mean:
        parser.error("--traces 0 draws nothing: add --mean")
    from ..errors import TraceFileError
    from .output import save_figure

    try:
        ts = trace_options.open_from_args(args)
        if len(ts) == 0 or ts.samples == 0:
            raise ValueError("the file holds no traces with samples")
        window = _window(args, ts)
        for channel in args.channel or []:
            if channel not in ts.channels:
                raise ValueError("the file has no channel %d" % channel)
        if args.x == "time" and not ts.sample_period:
            raise ValueError("the file gives no sample period, so --x time cannot apply")
        fig = draw(ts, args.traces, window, args.mean, args.x, args.channel, args.title)
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
        save_figure(fig, args.output)
    except OSError as e:
        print("%s: %s: %s" % (PROG, args.output, e.strerror or e), file=sys.stderr)
        return 1
    channels = args.channel or ts.channels
    print("%s: %d traces, %d channel%s, samples %d to %d drawn"
          % (args.output, len(ts), len(channels), "" if len(channels) == 1 else "s", window[0], window[1] - 1))
    return 0
