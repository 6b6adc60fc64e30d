"""valdrix.analysis and valdrix-analyze: the accumulators against a two-pass
numpy reference (chunks merged, compiled kernel and numpy alike), verdicts and
JSON on planted leakage, weak CPA evidence, a Dask cluster, bad files."""

import json
import os
import subprocess
import sys

import pytest

np = pytest.importorskip("numpy")

from valdrix import Trace, analysis  # noqa: E402
from valdrix.analyze import main as analyze_main  # noqa: E402
from valdrix.traces import TrsWriter  # noqa: E402

RNG_SEED = 20261208
KEY = bytes.fromhex("2b7e151628aed2a6abf7158809cf4f3c")


@pytest.fixture(params=["kernel-rows", "kernel-columns", "numpy"])
def adder(request, monkeypatch):
    """Runs a test with the compiled kernel, its threads splitting the rows
    or the columns of even small test arrays, and again with numpy alone."""
    if request.param.startswith("kernel"):
        if not analysis.kernels_available():
            pytest.skip("the compiled kernel is not built (VALDRIX_KERNELS_DIR)")
        monkeypatch.setattr(analysis, "_PARALLEL_MIN", 0)
        if request.param == "kernel-columns":
            monkeypatch.setattr(analysis, "_PRIVATE_SUMS", 0)
    else:
        monkeypatch.setattr(analysis, "_kernels", None)
    return request.param


def welch(a, b):
    return (a.mean(0) - b.mean(0)) / np.sqrt(a.var(0, ddof=1) / len(a) + b.var(0, ddof=1) / len(b))


def close(got, want):
    scale = np.maximum(np.abs(want), 1e-3)
    assert np.max(np.abs(got - want) / scale) < 1e-6


def chunks_merged(make, x, labels, cuts=(0, 700, 701, 1900)):
    """One accumulator per chunk (uneven, one of a single trace), merged."""
    edges = list(cuts) + [len(x)]
    acc = None
    for a, b in zip(edges[:-1], edges[1:]):
        part = make().update(x[a:b], labels[a:b])
        acc = part if acc is None else acc.merge(part)
    return acc


def test_ttest_and_snr_equal_a_two_pass_reference(adder):
    rng = np.random.default_rng(RNG_SEED)
    n, s = 3000, 130
    # A large offset over a small spread: naive sums of squares would lose it.
    x = (rng.integers(-40, 40, size=(n, s)) + 20000).astype(np.int16)
    groups = rng.integers(0, 2, size=n)
    groups[::97] = -1  # unlabelled traces take no part
    x[groups == 0, 7] += 3
    a, b = x[groups == 0].astype(float), x[groups == 1].astype(float)
    close(chunks_merged(lambda: analysis.TTest(s), x, groups).t(), welch(a, b))
    a2, b2 = (a - a.mean(0)) ** 2, (b - b.mean(0)) ** 2
    close(chunks_merged(lambda: analysis.TTest(s, order=2), x, groups).t(), welch(a2, b2))
    # Float traces take the central-moment path, and merge with integer ones.
    mixed = analysis.TTest(s).update(x[:1000].astype(np.float64), groups[:1000]).merge(
        analysis.TTest(s).update(x[1000:], groups[1000:]))
    close(mixed.t(), welch(a, b))

    classes = rng.integers(0, 256, size=n)
    got = chunks_merged(lambda: analysis.SNR(s), x, classes).snr()
    seen = np.unique(classes)
    means = np.array([x[classes == c].astype(float).mean(0) for c in seen])
    noise = np.array([x[classes == c].astype(float).var(0) for c in seen]).mean(0)
    close(got, means.var(0) / noise)


def test_cpa_equals_pearson_correlation_and_recovers_the_key(adder):
    rng = np.random.default_rng(RNG_SEED + 1)
    n, s = 2500, 96
    pts = rng.integers(0, 256, size=(n, 16), dtype=np.uint8)
    x = rng.integers(-400, 400, size=(n, s)).astype(np.int16)
    for b in range(16):
        x[:, 20 + 4 * b] += 60 * analysis.HW[analysis.SBOX[pts[:, b] ^ KEY[b]]].astype(np.int16)
    cpa = chunks_merged(lambda: analysis.CPA(s), x, pts)
    corr = cpa.correlation()
    for b in (0, 9, 15):
        model = analysis.hw_sbox(pts[:, b], np.arange(256)).astype(float)
        want = np.corrcoef(np.hstack([model, x.astype(float)]).T)[:256, 256:]
        assert np.max(np.abs(corr[b] - want)) < 1e-9
    assert cpa.key() == KEY and list(cpa.ranks(KEY)) == [0] * 16
    assert list(cpa.peak_samples()) == [20 + 4 * b for b in range(16)]
    top = np.sort(np.abs(corr).max(axis=2), axis=1)
    assert np.allclose(cpa.peaks(), top[:, -1]) and np.allclose(cpa.margins(), top[:, -1] - top[:, -2])
    assert analysis.weak_evidence(cpa) == []

    # Second order: a masked byte leaks only through the product of two samples.
    mask = rng.integers(0, 256, size=n, dtype=np.uint8)
    y = rng.integers(-100, 100, size=(n, 8)).astype(np.int16)
    y[:, 2] += 80 * analysis.HW[mask].astype(np.int16)
    y[:, 6] += 80 * analysis.HW[analysis.SBOX[pts[:, 0] ^ KEY[0]] ^ mask].astype(np.int16)
    prod = analysis.centred_product(y, (2, 3), (6, 7))
    centred = y.astype(float) - y.mean(0)
    assert np.allclose(prod[:, 0], centred[:, 2] * centred[:, 6])
    second = analysis.CPA(1, bytes=[0]).update(prod, pts)
    assert second.key() == KEY[:1]


def test_alignment_finds_each_traces_shift():
    rng = np.random.default_rng(RNG_SEED + 2)
    base = rng.normal(0, 100, 400)
    shifts = rng.integers(-12, 13, size=30)
    traces = np.array([np.roll(base, k) for k in shifts]).astype(np.int16)  # trace i is late by shifts[i]
    aligned, found = analysis.align(traces, reference=base, window=(100, 300), max_shift=20)
    assert list(found) == list(shifts)
    assert (aligned[:, 100:300] == base[100:300].astype(np.int16)).all()


def write_set(path, x, tx, labels=None):
    with TrsWriter(str(path), {"sample_rate_khz": 48000}, labels=labels is not None) as w:
        for i in range(len(x)):
            w.append(Trace(waves={1: x[i] // 2, 2: x[i]}, tx=bytes(tx[i]), rx=b"",
                           label=labels[i] if labels is not None else ""))
    return str(path)


@pytest.fixture
def tvla_file(tmp_path):
    rng = np.random.default_rng(RNG_SEED + 3)
    n, s = 1200, 200
    x = rng.integers(-500, 500, size=(n, s)).astype(np.int16)
    labels = ["fixed" if i % 2 else "random" for i in range(n)]
    fixed = np.array([i % 2 == 1 for i in range(n)])
    x[fixed, 60:64] += 150  # the fixed input draws more in samples 60-63
    x[fixed, 150] -= 150
    return write_set(tmp_path / "tvla.trs", x, np.zeros((n, 16), np.uint8), labels), x, fixed


def test_tvla_verdict_json_and_fail_on_leak(tvla_file, tmp_path, capsys):
    path, x, fixed = tvla_file
    out = tmp_path / "t.json"
    assert analyze_main(["tvla", path, "--json", str(out), "--window", "10:190"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[-1].startswith("tvla order 1: LEAKAGE: max |t| = ")
    assert lines[-1].endswith("5 of 180 samples exceed 4.5: 60-63, 150")
    data = json.loads(out.read_text())
    assert sorted(data) == ["leaking", "max_abs_t", "t", "traces"]
    assert data["leaking"] == [60, 61, 62, 63, 150] and data["traces"] == len(x)
    want = welch(x[fixed, 10:190].astype(float), x[~fixed, 10:190].astype(float))
    close(np.array(data["t"]), want)
    assert data["max_abs_t"] == pytest.approx(np.abs(want).max())
    assert analyze_main(["tvla", path, "--fail-on-leak"]) == 1
    # Outside the leaking samples the gate passes.
    assert analyze_main(["tvla", path, "--fail-on-leak", "--window", "70:140"]) == 0
    assert "no leakage found" in capsys.readouterr().out.splitlines()[-1]
    # A local run does not load Dask.
    local = subprocess.run([sys.executable, "-c", "import sys; from valdrix import analysis; "
                            "analysis.analyze(sys.argv[1], 'tvla'); print(sorted({'dask', 'distributed'} & "
                            "set(sys.modules)))", path], capture_output=True, text=True, timeout=60,
                           env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert local.stdout == "[]\n", local.stderr


def test_cpa_warns_when_the_evidence_is_weak(tmp_path, capsys):
    rng = np.random.default_rng(RNG_SEED + 4)
    n, s = 300, 128
    pts = rng.integers(0, 256, size=(n, 16), dtype=np.uint8)
    flat = rng.integers(-300, 300, size=(n, s)).astype(np.int16)  # a target that drew nothing
    leaky = flat.copy()
    for b in range(16):
        leaky[:, 30 + 2 * b] += 200 * analysis.HW[analysis.SBOX[pts[:, b] ^ KEY[b]]].astype(np.int16)
    flat_path = write_set(tmp_path / "flat.trs", flat, pts)
    leaky_path = write_set(tmp_path / "leaky.trs", leaky, pts)
    out = tmp_path / "cpa.json"

    assert analyze_main(["cpa", flat_path]) == 0
    err = capsys.readouterr().err
    assert "warning: the evidence is too weak to trust this key" in err and "below the noise level" in err
    assert analyze_main(["cpa", leaky_path, "--traces", "5"]) == 0
    assert "only 5 traces" in capsys.readouterr().err

    assert analyze_main(["cpa", leaky_path, "--key", KEY.hex(), "--json", str(out)]) == 0
    captured = capsys.readouterr()
    assert captured.err == ""
    assert captured.out.splitlines()[-1] == ("cpa: key %s from %d traces; 16 of 16 bytes are the true key's (rank 0)"
                                             % (KEY.hex(), n))
    data = json.loads(out.read_text())
    assert sorted(data) == ["key", "margin", "peak", "rank", "traces"]
    assert data["key"] == KEY.hex() and data["rank"] == [0] * 16 and data["traces"] == n
    assert len(data["peak"]) == 16 and min(data["peak"]) > 0.5 and len(data["margin"]) == 16


BAD_FILES = {
    "README.md": b"# Not a trace set\n\nJust text.\n",
    "empty.trs": b"",
    "garbage.trs": bytes(range(256)) * 8,
    "zip.npz": b"PK\x03\x04" + b"\x00" * 60,
    "huge-count.trs": bytes([0x41, 4, 0xFF, 0xFF, 0xFF, 0x7F, 0x42, 4, 0xFF, 0xFF, 0xFF, 0x7F, 0x5F, 0]),
}


@pytest.mark.parametrize("name", sorted(BAD_FILES) + ["missing.trs"])
def test_a_file_that_is_not_a_trace_set_gets_one_line_and_exit_1(tmp_path, name):
    path = tmp_path / name
    if name in BAD_FILES:
        path.write_bytes(BAD_FILES[name])
    svg = tmp_path / "out.svg"
    for prog, args in (("analyze", ["tvla", path]), ("analyze", ["cpa", path]), ("plot", [path, "-o", svg])):
        proc = subprocess.run([sys.executable, "-m", "valdrix." + prog] + [str(a) for a in args], capture_output=True,
                              text=True, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)), timeout=60)
        assert proc.returncode == 1, proc.stderr
        assert proc.stdout == "" and len(proc.stderr.splitlines()) == 1, proc.stderr
        assert proc.stderr.startswith("valdrix-%s: %s: " % (prog, path)), proc.stderr
    assert not svg.exists()


def test_plot_refuses_what_would_draw_nothing(tvla_file, tmp_path, capsys):
    from valdrix.plot import main as plot_main

    path, x, _ = tvla_file
    one = write_set(tmp_path / "one.trs", x[:1], np.zeros((1, 16), np.uint8))
    cut = tmp_path / "cut.trs"
    cut.write_bytes(open(one, "rb").read()[:-100])  # its only trace cut short
    svg = tmp_path / "out.svg"
    assert plot_main([str(cut), "-o", str(svg)]) == 1
    assert capsys.readouterr().err == "valdrix-plot: %s: the file holds no traces with samples\n" % cut
    assert plot_main([path, "-o", str(svg), "--time", "9:10"]) == 1
    assert "the time window 9:10 µs does not lie within the 4.167 µs of a trace" in capsys.readouterr().err
    with pytest.raises(SystemExit) as stop:
        plot_main([path, "-o", str(svg), "--traces", "0"])
    assert stop.value.code == 2 and "--traces 0 draws nothing: add --mean" in capsys.readouterr().err
    assert not svg.exists()


def test_unlabelled_set_and_bad_window_are_refused(tvla_file, tmp_path, capsys):
    path, x, _ = tvla_file
    plain = write_set(tmp_path / "plain.trs", x[:50], np.zeros((50, 16), np.uint8))
    assert analyze_main(["tvla", plain]) == 1
    assert "not labelled fixed or random" in capsys.readouterr().err
    assert analyze_main(["cpa", path, "--window", "100:999"]) == 1
    assert "does not lie within the 200 samples" in capsys.readouterr().err
    assert analyze_main(["tvla", path, "--json", str(tmp_path / "no" / "t.json")]) == 1
    captured = capsys.readouterr()  # refused before the analysis, not after it
    assert captured.out == "" and captured.err == "valdrix-analyze: %s: No such file or directory\n" % (
        tmp_path / "no" / "t.json")
    assert analyze_main(["tvla", path, "--scheduler", "no-port"]) == 1
    assert capsys.readouterr().err.startswith("valdrix-analyze: cannot reach the Dask scheduler at no-port: ")


def test_a_zarr_store_and_an_npz_set_analyse_as_the_trs_file_does(tvla_file, tmp_path):
    pytest.importorskip("zarr")
    from valdrix.traces import open_writer, read_traces

    path, _, _ = tvla_file
    ts = read_traces(path)
    want = analysis.analyze(path, "tvla", window=(20, 180)).t()
    for name in ("set.zarr", "set.npz"):
        other = str(tmp_path / name)
        with open_writer(other, dict(ts.metadata), labels=True) as w:
            for chunk in ts.chunks(size=300):
                w.append_arrays(chunk.waves, chunk.tx, chunk.rx, labels=[ts.label_names[c] for c in chunk.labels])
        assert np.array_equal(analysis.analyze(other, "tvla", window=(20, 180)).t(), want)


def test_a_dask_cluster_of_two_worker_processes_gives_the_local_result(tvla_file, monkeypatch):
    distributed = pytest.importorskip("distributed")
    path, _, _ = tvla_file
    monkeypatch.setattr(analysis._Source, "chunk_rows", lambda self, budget=0: 128)  # many parts, several merges
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  host="127.0.0.1") as cluster:
        remote = analysis.analyze(path, "tvla", scheduler=cluster.scheduler_address)
        remote_cpa = analysis.analyze(path, "cpa", scheduler=cluster.scheduler_address, bytes_=[0, 1])
        with distributed.Client(cluster.scheduler_address) as client:
            assert len(client.nthreads()) == 2
    local = analysis.analyze(path, "tvla")
    assert remote.counts == local.counts == (600, 600)
    assert np.array_equal(remote.t(), local.t())
    assert np.array_equal(remote_cpa.correlation(), analysis.analyze(path, "cpa", bytes_=[0, 1]).correlation())


def test_a_worker_that_cannot_read_the_file_ends_the_run_with_one_line(tvla_file, tmp_path):
    distributed = pytest.importorskip("distributed")
    path, _, _ = tvla_file
    ts = analysis.open_set(path)
    os.rename(path, str(tmp_path / "moved.trs"))  # open here, gone from where the workers look
    with distributed.LocalCluster(n_workers=1, processes=False, protocol="tcp://", dashboard_address=None,
                                  host="127.0.0.1") as cluster:
        with pytest.raises(RuntimeError, match="a Dask worker failed on traces 0 to 1199 of .*: FileNotFoundError"):
            analysis.analyze(ts, "tvla", scheduler=cluster.scheduler_address)


def hw_xor(values, guesses):
    """A model without the S-box: the weight of pt ^ k."""
    return analysis.HW[np.asarray(values)[:, None] ^ np.asarray(guesses)[None, :]]


def test_a_pluggable_model_and_the_ranks_of_a_wrong_key():
    rng = np.random.default_rng(RNG_SEED + 5)
    n, s = 3000, 16
    pts = rng.integers(0, 256, size=(n, 16), dtype=np.uint8)
    x = rng.integers(-100, 100, size=(n, s)).astype(np.int16)
    x[:, 5] += 40 * analysis.HW[pts[:, 2] ^ KEY[2]].astype(np.int16)
    cpa = analysis.CPA(s, model=hw_xor, bytes=[2]).update(x, pts)
    # The weight of pt ^ k ranks k and its complement k ^ 0xff equally: their weights add up to 8.
    assert cpa.key() in (KEY[2:3], bytes([KEY[2] ^ 0xFF]))
    default = analysis.CPA(s, bytes=[2]).update(x, pts)
    assert default.ranks(KEY)[0] > 0 and list(default.ranks(default.key() * 16)) == [0]
    wrong = bytes([KEY[2] ^ 1]) * 16
    assert cpa.ranks(wrong)[0] >= 1


def test_flat_traces_rank_the_true_key_last_not_first():
    # Every guess correlates 0 with traces that never move: a tie is no recovery.
    pts = np.random.default_rng(RNG_SEED + 6).integers(0, 256, size=(40, 16), dtype=np.uint8)
    cpa = analysis.CPA(8).update(np.full((40, 8), 1200, np.int16), pts)
    assert list(cpa.ranks(KEY)) == [255] * 16


def test_snr_verdict_and_json(tmp_path, capsys):
    rng = np.random.default_rng(RNG_SEED + 6)
    n, s = 2000, 64
    pts = rng.integers(0, 256, size=(n, 16), dtype=np.uint8)
    x = rng.integers(-200, 200, size=(n, s)).astype(np.int16)
    x[:, 40] += 50 * analysis.HW[analysis.SBOX[pts[:, 1] ^ KEY[1]]].astype(np.int16)
    path = write_set(tmp_path / "snr.trs", x, pts)
    out = tmp_path / "snr.json"
    assert analyze_main(["snr", path, "--byte", "1", "--key", KEY.hex(), "--json", str(out)]) == 0
    assert capsys.readouterr().out.splitlines()[-1].startswith("snr of Sbox(pt[1] ^ k[1]): max ")
    data = json.loads(out.read_text())
    assert data["at"] == 40 and data["traces"] == n and len(data["snr"]) == s
    assert data["max_snr"] == pytest.approx(analysis.SNR(s).update(x, analysis.SBOX[pts[:, 1] ^ KEY[1]]).snr()[40])


class FakeTerminal:
    def __init__(self, tty):
        self.tty, self.text = tty, ""

    def isatty(self):
        return self.tty

    def write(self, text):
        self.text += text

    def flush(self):
        pass


def test_progress_shows_on_a_terminal_only(tvla_file, monkeypatch):
    path, x, _ = tvla_file
    monkeypatch.setattr(analysis._Source, "chunk_rows", lambda self, budget=0: 500)
    for tty in (True, False):
        stream = FakeTerminal(tty)
        progress = analysis.Progress("tvla set", stream=stream, every=0)
        analysis.analyze(path, "tvla", progress=progress)
        progress.finish()
        if tty:
            shown = [line for line in stream.text.split("\r") if line.strip()]
            assert [line.split(" traces")[0] for line in shown] == [
                "tvla set: 500 of 1200", "tvla set: 1000 of 1200", "tvla set: 1200 of 1200"]
            assert stream.text.endswith("\r")  # the line is cleared for the verdict
        else:
            assert stream.text == ""
