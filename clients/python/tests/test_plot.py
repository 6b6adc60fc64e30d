"""The figures: what each draws on its Axes, the files save_figure writes, the
analysis tool's --plot, and the notebook display of results."""

import base64
import re
import xml.etree.ElementTree as ET

import numpy as np
import pytest

pytest.importorskip("matplotlib")

from valdrix import Trace, TraceBatch  # noqa: E402
from valdrix.analysis import CPA, TTest  # noqa: E402
from valdrix.analyze import main as analyze_main  # noqa: E402
from valdrix.plot import (figure_axes, plot_correlation, plot_rank, plot_snr, plot_t, plot_traces,  # noqa: E402
                          save_figure)
from valdrix.plot.display import cpa_html, load_ipython_extension, ttest_html, traces_html  # noqa: E402
from valdrix.traces import TrsWriter  # noqa: E402

HEADERS = {"png": b"\x89PNG\r\n\x1a\n", "pdf": b"%PDF-", "svg": b"<?xml"}


def by_gid(ax, gid):
    return [a for a in ax.get_children() if a.get_gid() == gid]


def labels(ax):
    return [t.get_text() for t in ax.get_legend().get_texts()]


def test_traces_whole_as_envelopes_and_a_window_as_lines():
    rng = np.random.default_rng(7)
    x = rng.integers(-3000, 3000, size=(5, 4096)).astype(np.int16)
    ax = plot_traces(x, ax=figure_axes(size=(8, 3)), traces=3, mean=True)
    per = int(re.search(r"every (\d+) samples", ax.get_legend().get_title().get_text()).group(1))
    assert per == -(-4096 // int(ax.get_window_extent().width)) > 1
    # Each trace is its own pair of edges, in its own colour, over one grey band.
    for i in range(3):
        top, = by_gid(ax, "trace-%d" % i)
        bottom, = by_gid(ax, "trace-%d-min" % i)
        assert top.get_color() == bottom.get_color()
        cols = [x[i, a:a + per] for a in range(0, 4096, per)]
        assert list(top.get_ydata()) == [c.max() for c in cols] and list(bottom.get_ydata()) == [c.min() for c in cols]
    assert len({by_gid(ax, "trace-%d" % i)[0].get_color() for i in range(3)}) == 3
    mean, = by_gid(ax, "mean")
    assert np.allclose(mean.get_ydata(), [x[:, a:a + per].mean(axis=0).max() for a in range(0, 4096, per)])
    assert len(by_gid(ax, "band")) == 1
    assert labels(ax) == ["all of them", "trace 0", "trace 1", "trace 2", "mean of 5 traces"]

    trace = Trace(waves={1: x[0] // 2, 2: x[0]}, sample_period=1 / 48e6)
    ax = plot_traces(trace, ax=figure_axes(), window=(100, 500), x="time")
    line, = by_gid(ax, "trace-0")
    assert list(line.get_ydata()) == list(x[0, 100:500]) and not by_gid(ax, "band")
    assert np.allclose(line.get_xdata(), np.arange(100, 500) / 48.0)
    assert ax.get_xlabel() == "time (µs)" and ax.get_ylabel() == "channel B: sample value"
    with pytest.raises(ValueError, match="the window 100:5000 does not lie within the 4096 samples"):
        plot_traces(x, ax=figure_axes(), window=(100, 5000))


@pytest.mark.parametrize("peak", [12.0, 670.0])
def test_t_thresholds_stay_apart_and_leaking_samples_are_marked(peak):
    t = np.sin(np.linspace(0, 9, 900)) * 3.0
    t[[100, 101, 400]] = [peak, 5.0, -peak / 2]
    ax = plot_t(t, ax=figure_axes(size=(8, 3)), first_sample=50, sample_period=1 / 48e6)
    lines = by_gid(ax, "threshold")
    assert sorted(tuple(line.get_ydata()) for line in lines) == [(-4.5, -4.5), (4.5, 4.5)]
    leaking, = by_gid(ax, "leaking")
    assert list(leaking.get_xdata()) == [150, 151, 450]
    assert labels(ax) == ["t", "|t| > 4.5: 3 samples", "\u00b14.5"]
    assert ax.get_title() == "t-test of order 1: max |t| = %.2f at sample 150" % peak
    # The threshold lines sit apart on the page whatever the peak, and no two
    # labelled ticks are closer than a label's height.
    ax.figure.canvas.draw()
    pixels = lambda v: ax.transData.transform((0, v))[1]  # noqa: E731
    assert pixels(4.5) - pixels(-4.5) > 0.15 * ax.get_window_extent().height
    ticks = sorted(pixels(v) for v in ax.get_yticks() if ax.get_ylim()[0] <= v <= ax.get_ylim()[1])
    assert min(np.diff(ticks)) > 12
    assert ax.get_yscale() == ("symlog" if peak > 45 else "linear")


def test_correlation_draws_every_guess_and_the_winner_over_them():
    rng = np.random.default_rng(3)
    corr = rng.uniform(-0.2, 0.2, size=(256, 300))
    corr[0x2B, 120] = 0.9
    ax = plot_correlation(corr, 0x2B, ax=figure_axes(), first_sample=128, byte=3, true=0x11)
    winner, = by_gid(ax, "winner")
    others, = by_gid(ax, "others")
    true, = by_gid(ax, "true")
    assert list(winner.get_ydata()) == list(corr[0x2B]) and winner.get_xdata()[0] == 128
    assert list(true.get_ydata()) == list(corr[0x11])
    assert len(others.get_segments()) == 254 and winner.get_zorder() > true.get_zorder() > others.get_zorder()
    assert ax.get_ylabel() == "correlation of byte 3"
    assert labels(ax) == ["the other 254 guesses", "true byte 0x11", "guess 0x2b, the highest peak (0.900)"]
    whole = rng.uniform(-0.2, 0.2, size=(3, 256, 9000))
    whole[2, 0x2B, 5] = 0.9
    big = plot_correlation(whole, 0x2B, ax=figure_axes(), byte=2)
    band, = by_gid(big, "others")  # 2.3 M points: the others' envelope, without the winner
    assert band.get_paths()[0].vertices[:, 1].max() == whole[2, [g for g in range(256) if g != 0x2B]].max()


def test_snr_of_bytes_and_rank_against_traces():
    snr = np.zeros((16, 100))
    snr[5, 40] = 3080.0
    ax = plot_snr(snr, ax=figure_axes(), first_sample=200)
    assert len([g for g in (a.get_gid() for a in ax.lines) if g.startswith("snr-")]) == 16
    peak, = by_gid(ax, "peak")
    assert list(peak.get_xdata()) == [240] and "max 3080 at sample 240 (byte 5)" in labels(ax)
    counts = np.arange(4, 40, 2)
    ranks = np.maximum(0, 200 - 20 * np.arange(len(counts)))[:, None] + np.arange(16)[None, :] * 0
    ranks[-3, 0] = 1  # byte 0 slips back once: the key is whole from the count after
    ax = plot_rank(counts, ranks, ax=figure_axes())
    line, = by_gid(ax, "rank-0")
    assert list(line.get_ydata()) == list(ranks[:, 0])
    mark, = by_gid(ax, "recovered")
    assert mark.get_xdata()[0] == counts[-2] and "whole key from %d traces" % counts[-2] in labels(ax)
    with pytest.raises(ValueError, match="ranks are"):
        plot_rank(counts, ranks[:-1])


def test_save_figure_writes_the_format_its_suffix_names(tmp_path):
    ax = plot_snr(np.arange(10.0), ax=figure_axes())
    for fmt, header in HEADERS.items():
        path = tmp_path / ("snr." + fmt.upper() if fmt == "pdf" else "snr." + fmt)
        assert save_figure(ax, str(path)) == fmt
        assert path.read_bytes().startswith(header)
    save_figure([ax], str(tmp_path / "fig.svg"))
    assert b"<dc:date>" not in (tmp_path / "fig.svg").read_bytes()
    for bad in ("snr.jpg", "snr"):
        with pytest.raises(ValueError, match="a figure is written as .png, .pdf or .svg"):
            save_figure(ax, str(tmp_path / bad))
        assert not (tmp_path / bad).exists()


@pytest.fixture
def tvla_trs(tmp_path):
    rng = np.random.default_rng(11)
    x = rng.integers(-500, 500, size=(400, 120)).astype(np.int16)
    x[1::2, 60:64] += 300
    path = str(tmp_path / "tvla.trs")
    with TrsWriter(path, {"sample_rate_khz": 48000}, labels=True) as w:
        for i in range(len(x)):
            w.append(Trace(waves={2: x[i]}, tx=bytes(16), label="fixed" if i % 2 else "random"))
    return path


def test_analyze_plot_writes_by_suffix_and_refuses_others_before_work(tvla_trs, tmp_path, capsys):
    svg, png = tmp_path / "t.svg", tmp_path / "c.png"
    assert analyze_main(["tvla", tvla_trs, "--window", "10:110", "--plot", str(svg)]) == 0
    ns = {"s": "http://www.w3.org/2000/svg"}
    root = ET.parse(svg).getroot()
    assert len(root.findall(".//s:g[@id='threshold']", ns)) == 2 and root.find(".//s:g[@id='leaking']", ns)
    assert analyze_main(["cpa", tvla_trs, "--plot", str(png), "--byte", "3"]) == 0
    assert png.read_bytes().startswith(HEADERS["png"])
    capsys.readouterr()
    with pytest.raises(SystemExit) as stop:
        analyze_main(["tvla", tvla_trs, "--plot", str(tmp_path / "t.gif")])
    assert stop.value.code == 2
    assert "argument --plot: %s: a figure is written as .png, .pdf or .svg, not .gif" % (tmp_path / "t.gif") \
        in capsys.readouterr().err


def test_notebook_display_of_results_and_trace_sets():
    rng = np.random.default_rng(5)
    x = rng.integers(-100, 100, size=(60, 50)).astype(np.int16)
    groups = np.arange(60) % 2
    x[groups == 0, 20] += 80
    tt = TTest(50).update(x, groups)
    page = ttest_html(tt)
    assert "<th style=\"text-align:left;padding-right:1em\">verdict</th><td style=\"text-align:left\">LEAKAGE: " \
           "1 of 50 samples exceed 4.5</td>" in page
    png = base64.b64decode(re.search(r'src="data:image/png;base64,([^"]+)"', page).group(1))
    assert png.startswith(HEADERS["png"])
    assert "the t-test needs at least 2 traces in each group" in ttest_html(TTest(50).update(x[:1], groups[:1]))
    assert "<td style=\"text-align:left\">" + bytes(16).hex() in cpa_html(CPA(50).update(x, np.zeros((60, 16),
                                                                                                     np.uint8)))
    batch = TraceBatch({2: x}, np.zeros((60, 16), np.uint8), np.zeros((60, 0), np.uint8), np.zeros(60), np.zeros(60),
                       np.zeros(60), sample_period=1 / 48e6)
    assert "<td style=\"text-align:left\">60</td>" in traces_html(batch)
    formatters = pytest.importorskip("IPython.core.formatters")

    class Shell:  # what load_ipython_extension touches of IPython's shell
        display_formatter = type("D", (), {"formatters": {"text/html": formatters.HTMLFormatter()}})()

    shell = Shell()
    load_ipython_extension(shell)
    assert shell.display_formatter.formatters["text/html"](tt) == page
    assert shell.display_formatter.formatters["text/html"](batch) == traces_html(batch)
