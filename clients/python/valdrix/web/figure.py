"""A files-view analysis drawn as a PDF, SVG or PNG file with the package's
matplotlib figures; valdrix-web runs it as a process of its own, as it runs
valdrix-analyze, so matplotlib and the analysis' memory never live in the
server.

    python -m valdrix.web.figure SPEC_JSON OUT.{pdf,svg,png}

SPEC_JSON: {"path", "kind": "tvla"|"snr"|"cpa", "channel", "window": [a, b],
"traces", "order", "byte", "key": hex}. Exit statuses: 0 written; 1 the
file cannot be analysed or written; 3 this installation has no matplotlib
figures.
"""

from __future__ import annotations

import json
import sys
from typing import List, Optional

NO_FIGURES = 3


def main(argv: Optional[List[str]] = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    wanted, out = json.loads(argv[0]), argv[1]
    try:
        from ..plot import figure_axes, plot_correlation, plot_snr, plot_t, save_figure
    except ImportError as e:
        print("PDF and SVG figures need valdrix.plot's matplotlib figures and matplotlib (%s)" % e, file=sys.stderr)
        return NO_FIGURES
    from .. import analysis

    kind = wanted["kind"]
    window = tuple(wanted["window"]) if wanted.get("window") else None
    key = bytes.fromhex(wanted["key"]) if wanted.get("key") else None
    byte = int(wanted.get("byte") or 0)
    try:
        ts = analysis.open_set(wanted["path"])
        acc = analysis.analyze(ts, kind, channel=wanted.get("channel"), window=window, traces=wanted.get("traces"),
                               order=int(wanted.get("order") or 1), key=key, byte=byte)
        period = float(getattr(ts, "sample_period", 0.0) or 0.0)
        first = window[0] if window else 0
        ax = figure_axes()
        if kind == "tvla":
            plot_t(acc.t(), ax=ax, first_sample=first, sample_period=period, order=acc.order,
                   title="t-test of order %d, %d traces" % (acc.order, acc.traces))
        elif kind == "snr":
            plot_snr(acc.snr(), ax=ax, first_sample=first, sample_period=period,
                     title="SNR of byte %d, %d traces" % (byte, acc.traces))
        else:
            winner = acc.key()[byte]
            plot_correlation(acc.correlation()[byte], winner, ax=ax, first_sample=first, sample_period=period,
                             byte=byte, true=key[byte] if key else None,
                             title="CPA of byte %d, %d traces" % (byte, acc.traces))
        save_figure(ax, out)
    except (OSError, ValueError) as e:
        print(str(e), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
