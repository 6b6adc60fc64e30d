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
from valdrix.analysis import engine, files  # noqa: E402
from valdrix.analyze import main as analyze_main  # noqa: E402
from valdrix.progress import Progress  # noqa: E402
from valdrix.traces import TrsWriter  # noqa: E402

RNG_SEED = 20261208
KEY = bytes.fromhex("2b7e151628aed2a6abf7158809cf4f3c")


@pytest.fixture(params=["kernel-rows", "kernel-columns", "numpy"])
def adder(request, monkeypatch):
    """Runs a test with the compiled kernel, its threads splitting the rows
    or the columns of even small test arrays, and again with numpy alone."""
    if request.param.startswith("kernel"):
        if not analysis.kernels_available():
            pytest.skip("the compiled kernel is not built (build/tests/python-kernels on PYTHONPATH)")
        monkeypatch.setattr(engine, "_PARALLEL_MIN", 0)
        if request.param == "kernel-columns":
            monkeypatch.setattr(engine, "_PRIVATE_SUMS", 0)
    else:
        monkeypatch.setattr(engine, "_kernels", None)
    return request.param


def warnings_of(captured):
    """Standard error less the notice of a missing kernel, which a checkout
    without its build (no kernel on PYTHONPATH) adds to every run."""
    notice = "valdrix-analyze: warning: %s\n" % analysis.KERNEL_MISSING
    return captured.err.replace(notice, "")


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

    # SNR: classes weighted by their traces; 16 bytes in one pass equal each byte alone.
    classes = rng.integers(0, 256, size=(n, 16))
    classes[:, 3] = rng.integers(0, 9, size=n)
    x[:, 30] += (10 * classes[:, 3]).astype(np.int16)
    got = chunks_merged(lambda: analysis.SNR(s), x, classes).snr()
    for b in (0, 3, 15):
        seen, counts = np.unique(classes[:, b], return_counts=True)
        means = np.array([x[classes[:, b] == c].astype(float).mean(0) for c in seen])
        variances = np.array([x[classes[:, b] == c].astype(float).var(0) for c in seen])
        signal = (counts[:, None] * (means - x.astype(float).mean(0)) ** 2).sum(0) / n
        close(got[b], signal / ((counts[:, None] * variances).sum(0) / n))
        assert np.array_equal(analysis.SNR(s).update(x, classes[:, b]).snr(), got[b])


@pytest.mark.parametrize("n, s", [(70000, 33), (300, 2200)])  # past a fold of the partial sums; several spans
def test_bucket_sums_equal_numpy_on_long_chunks_and_wide_traces(adder, n, s):
    if adder == "numpy":
        pytest.skip("the kernel's blocking is what is tested; the SNR tests cover numpy's adding")
    rng = np.random.default_rng(RNG_SEED + 10)
    x = rng.integers(-32768, 32768, size=(n, s)).astype(np.int16)
    x[: n // 2] = 32767  # the largest sums a bucket can take
    values = rng.integers(0, 256, size=(n, 16)).astype(np.int32)
    values[:, 0] = 7  # one bucket takes every row
    values[::5, 3] = -1  # slots left out
    buckets = np.where(values >= 0, values + 256 * np.arange(16, dtype=np.int32), -1).astype(np.int32)
    sums = np.zeros((4096, s), dtype=np.int64)
    engine.bucket_sums(x, buckets, sums)
    want = np.zeros_like(sums)
    for m in range(16):
        keep = buckets[:, m] >= 0
        for j in range(s):  # float64 holds these sums exactly
            want[:, j] += np.bincount(buckets[keep, m], weights=x[keep, j], minlength=4096).astype(np.int64)
    assert np.array_equal(sums, want)


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


def write_set(path, x, tx, labels=None, rx=None):
    with TrsWriter(str(path), {"sample_rate_khz": 48000}, labels=labels is not None) as w:
        for i in range(len(x)):
            w.append(Trace(waves={1: x[i] // 2, 2: x[i]}, tx=bytes(tx[i]), rx=b"" if rx is None else bytes(rx[i]),
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
    assert sorted(data) == ["first_sample", "leaking", "max_abs_t", "t", "traces"]
    assert data["leaking"] == [60, 61, 62, 63, 150] and data["traces"] == len(x) and data["first_sample"] == 10
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
    assert warnings_of(captured) == ""
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
    monkeypatch.setattr(files._Source, "chunk_rows", lambda self, budget=0: 128)  # many parts, several merges
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


def snr_reference(x, classes):
    """The count-weighted SNR, two passes over the traces."""
    seen, counts = np.unique(classes, return_counts=True)
    x = x.astype(float)
    means = np.array([x[classes == c].mean(0) for c in seen])
    variances = np.array([x[classes == c].var(0) for c in seen])
    signal = (counts[:, None] * (means - x.mean(0)) ** 2).sum(0) / len(x)
    return signal / ((counts[:, None] * variances).sum(0) / len(x))


def test_snr_of_every_byte_classes_by_the_key_and_warns_of_thin_classes(tmp_path, capsys):
    rng = np.random.default_rng(RNG_SEED + 6)
    n, s = 2000, 64
    pts = rng.integers(0, 256, size=(n, 16), dtype=np.uint8)
    x = rng.integers(-200, 200, size=(n, s)).astype(np.int16)
    hw = analysis.HW[analysis.SBOX[pts[:, 1] ^ KEY[1]]]
    x[:, 40] += 50 * hw.astype(np.int16)
    path = write_set(tmp_path / "snr.trs", x, pts)
    out = tmp_path / "snr.json"
    assert analyze_main(["snr", path, "--key", KEY.hex(), "--window", "8:64", "--json", str(out)]) == 0
    captured = capsys.readouterr()
    lines = captured.out.splitlines()
    assert len(lines) == 17 and lines[2].startswith("snr of HW(Sbox(pt[1] ^ k[1])): max ")
    assert lines[2].endswith(" at sample 40") and warnings_of(captured) == ""
    data = json.loads(out.read_text())
    assert data["bytes"] == list(range(16)) and data["first_sample"] == 8 and data["traces"] == n
    assert data["at"][1] == 40 and len(data["snr"]) == 16 and len(data["snr"][1]) == 56
    assert data["max_snr"][1] == pytest.approx(snr_reference(x[:, 40:41], hw)[0], rel=1e-9)

    # Sbox(pt ^ k) is pt renamed; the weight of it is not, so a wrong key's classes see little.
    wrong = bytes(b ^ 0x5A for b in KEY)
    assert analyze_main(["snr", path, "--byte", "1", "--key", wrong.hex(), "--json", str(out)]) == 0
    assert json.loads(out.read_text())["max_snr"] < data["max_snr"][1] / 5

    assert analyze_main(["snr", path, "--byte", "1"]) == 0
    err = warnings_of(capsys.readouterr())
    assert err == ("valdrix-analyze: warning: the SNR is not to be trusted: 2000 traces over 256 classes, 7.8 per "
                   "class: noise alone reads an SNR of about 0.15; at least 20 traces per class make it trustworthy\n")
    assert analyze_main(["snr", path, "--byte", "1", "--traces", "20"]) == 0
    assert warnings_of(capsys.readouterr()) == ("valdrix-analyze: warning: the SNR is not to be trusted: 20 traces over 19 "
                                       "classes, 1.1 per class: noise alone reads an SNR of about 18; at least 20 "
                                       "traces per class make it trustworthy\n")
    few = analysis.SNR(s).update(x[:3], pts[:3, 1])
    assert analysis.snr_warnings(few) == ["3 traces over 3 classes leave no class with a spread of its own: the "
                                          "noise cannot be estimated"]


def test_snr_sums_stay_exact_past_what_int32_partial_sums_hold():
    if not analysis.kernels_available():
        pytest.skip("the int32 partial sums are the compiled kernel's")
    rng = np.random.default_rng(RNG_SEED + 10)
    n, s = 140_000, 40
    # One class of 3 in 4 traces near the top of the int16 range: 105,000 x 31,767 is far past 2^31.
    values = np.where(rng.random(n) < 0.75, 0, rng.integers(1, 256, size=n))
    spread = rng.integers(0, 2000, size=(n, s))
    x = np.where(values[:, None] == 0, 32767 - spread, -32768 + spread).astype(np.int16)
    fed = analysis.SNR(s).update(x[:50_000], values[:50_000]).update(x[50_000:], values[50_000:])
    whole = analysis.SNR(s).update(x, values)
    assert whole._isum is not None and whole._folded.sum() == 1  # the big class alone was folded
    want = snr_reference(x, values)
    for acc in (fed, whole):
        assert np.max(np.abs(acc.snr() - want) / want) < 1e-9
    # Merged, the partial sums of both go whole into int64 sums.
    half = analysis.SNR(s).update(x[50_000:], values[50_000:])
    assert np.array_equal(analysis.SNR(s).update(x[:50_000], values[:50_000]).merge(half).snr(), whole.snr())


def test_int32_partial_sums_are_refused_where_the_kernel_would_write_outside_them(monkeypatch):
    if not analysis.kernels_available():
        pytest.skip("the int32 partial sums are the compiled kernel's")
    x = np.ones((4, 70), np.int16)
    buckets = np.zeros((4, 1), np.int32)
    part = np.zeros((2, 2, 64), np.int32)  # ceil(70 / 64) blocks of 2 buckets
    k = engine.kernel()
    assert k.BLOCK_COLS == 64
    with pytest.raises(ValueError, match="^the column range of partial sums must fall on multiples of 64$"):
        k.bucket_sums(x, buckets, part, 5, 70)
    with pytest.raises(ValueError, match=r"^partial sums must be \(ceil\(samples / 64\), buckets, 64\)$"):
        k.bucket_sums(x, buckets, np.zeros((1, 3, 64), np.int32), 0, 70)
    k.bucket_sums(x, buckets, part, 0, 70)
    assert part[:, 0].ravel()[:70].tolist() == [4] * 70 and not part[:, 1].any() and not part[1, 0, 6:].any()
    monkeypatch.setattr(engine, "_kernels", None)
    with pytest.raises(ValueError, match="int32 partial sums take integer traces and the compiled kernel"):
        engine.bucket_sums(x, buckets, part)


def test_the_inputs_of_mapped_records_are_copied_whole_on_every_core():
    records = np.arange(9001 * 40, dtype=np.int64).astype(np.uint8).reshape(9001, 40)
    view = records[:, 3:19]  # the inputs of each record, a record apart
    assert np.array_equal(engine.copy_rows(view), view) and engine.copy_rows(view[:0]).shape == (0, 16)


def test_order_two_is_exact_whatever_the_chunks(adder):
    rng = np.random.default_rng(RNG_SEED + 7)
    n, s = 2500, 70
    # Rows of a 12-bit converter take a shorter path than rows over the whole int16 range.
    x = rng.integers(-2047, 2048, size=(n, s)).astype(np.int16)
    x[::3] = rng.integers(-32768, 32768, size=(len(x[::3]), s)).astype(np.int16)
    x[::3, :10] = (rng.integers(-30, 30, size=(len(x[::3]), 10)) + 30000).astype(np.int16)  # a large offset
    groups = rng.integers(0, 2, size=n)
    x[groups == 0, 5] *= 2  # more spread, same mean: order 2 only
    whole = analysis.TTest(s, order=2).update(x, groups).t()
    merged = chunks_merged(lambda: analysis.TTest(s, order=2), x, groups, cuts=(0, 1, 999, 1000, 2001)).t()
    assert np.array_equal(whole, merged)
    a, b = x[groups == 0].astype(float), x[groups == 1].astype(float)
    want = welch((a - a.mean(0)) ** 2, (b - b.mean(0)) ** 2)
    assert np.max(np.abs(whole - want) / np.maximum(np.abs(want), 1.0)) < 1e-9
    assert abs(whole[5]) > 20 and np.abs(whole[:5]).max() < 5


def float_set(kind, bad):
    """An in-memory float set of 300 traces whose trace 7, sample 11 is ``bad``."""
    from valdrix.traces import TraceSet

    rng = np.random.default_rng(RNG_SEED + 8)
    x = rng.normal(0, 1, size=(300, 32)).astype(np.float32)
    x[7, 11] = bad
    pts = rng.integers(0, 256, size=(300, 16), dtype=np.uint8)
    labels = ["fixed" if i % 2 else "random" for i in range(300)] if kind == "tvla" else None
    return TraceSet({2: x}, tx_array=pts, rx_array=pts, labels=labels)


@pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf")])
@pytest.mark.parametrize("kind", ["tvla", "snr", "cpa"])
def test_non_finite_samples_are_refused_with_where_they_are(kind, bad, monkeypatch):
    monkeypatch.setattr(files._Source, "chunk_rows", lambda self, budget=0: 5)  # trace 7 in the second chunk
    with pytest.raises(analysis.NonFiniteError) as e:
        analysis.analyze(float_set(kind, bad), kind, window=(3, 30))
    assert str(e.value) == ("1 non-finite sample (NaN or inf) in 1 trace, the first (%s) at trace 7, sample 11: "
                            "nothing is computed from them (--window or --traces can leave them out)" % bad)
    # Left out by the window, the rest analyses.
    acc = analysis.analyze(float_set(kind, bad), kind, window=(12, 30))
    assert acc.traces == 300


def test_the_last_round_distance_finds_round_key_10_and_the_key(tmp_path, capsys):
    rng = np.random.default_rng(RNG_SEED + 9)
    n, s = 3000, 40
    cts = rng.integers(0, 256, size=(n, 16), dtype=np.uint8)
    k10 = analysis.expand_key(KEY)[10]
    x = rng.integers(-300, 300, size=(n, s)).astype(np.int16)
    for b in range(16):
        state = analysis.INV_SBOX[cts[:, b] ^ k10[b]]  # the state before the last round, at ShiftRows(b)
        sr = (b + 4 * (b % 4)) % 16
        x[:, 4 + 2 * b] += 60 * analysis.HW[state ^ cts[:, sr]].astype(np.int16)
    path = write_set(tmp_path / "hd.trs", x, np.zeros((n, 16), np.uint8), rx=cts)
    out = tmp_path / "hd.json"
    assert analyze_main(["cpa", path, "--model", "last-round-hd", "--key", KEY.hex(), "--json", str(out)]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[-2] == "cpa: round key 10 %s, so the key is %s (inverse key schedule)" % (k10.hex(), KEY.hex())
    assert lines[-1] == "cpa: key %s from %d traces; 16 of 16 bytes are the true key's (rank 0)" % (KEY.hex(), n)
    data = json.loads(out.read_text())
    assert data["key"] == KEY.hex() and data["round_key_10"] == k10.hex() and data["rank"] == [0] * 16
    # The correlation is Pearson's of the model itself.
    cpa = analysis.CPA(s, model="last-round-hd", bytes=[6]).update(x, cts)
    h = analysis.HW[analysis.INV_SBOX[cts[:, 6][:, None] ^ np.arange(256, dtype=np.uint8)[None, :]]
                    ^ cts[:, (6 + 8) % 16][:, None]].astype(float)
    want = np.corrcoef(np.hstack([h, x.astype(float)]).T)[:256, 256:]
    assert np.max(np.abs(cpa.correlation()[0] - want)) < 1e-9
    # A first-round model finds nothing in these traces; a single bit of the S-box output is a model too.
    assert analyze_main(["cpa", path, "--model", "sbox-bit:3"]) == 0
    assert "the evidence is too weak" in capsys.readouterr().err
    with pytest.raises(SystemExit):
        analyze_main(["cpa", path, "--model", "sbox-bit:8"])
    assert "unknown leakage model 'sbox-bit:8'" in capsys.readouterr().err


def test_a_missing_kernel_is_noticed_in_one_line(tvla_file, monkeypatch, capsys):
    path, _, _ = tvla_file
    monkeypatch.setattr(engine, "_kernels", None)
    assert analyze_main(["tvla", path, "--window", "70:140"]) == 0
    assert capsys.readouterr().err == ("valdrix-analyze: warning: the compiled analysis kernel valdrix._kernels is "
                                       "not installed: numpy adds, several times more slowly (install the package "
                                       "with a C compiler and python3-dev)\n")


def test_an_interrupted_run_exits_130(tvla_file, monkeypatch, capsys):
    path, _, _ = tvla_file

    def interrupt(*args, **kwargs):
        raise KeyboardInterrupt

    monkeypatch.setattr(analysis, "analyze", interrupt)
    assert analyze_main(["tvla", path, "--fail-on-leak"]) == 130
    assert capsys.readouterr().err.endswith("valdrix-analyze: interrupted\n")


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
    monkeypatch.setattr(files._Source, "chunk_rows", lambda self, budget=0: 500)
    for tty in (True, False):
        stream = FakeTerminal(tty)
        progress = Progress("tvla set", stream=stream, every=0)
        analysis.analyze(path, "tvla", progress=progress)
        progress.finish()
        if tty:
            shown = [line for line in stream.text.split("\r") if line.strip()]
            assert [line.split(" traces")[0] for line in shown] == [
                "tvla set: 500 of 1200", "tvla set: 1000 of 1200", "tvla set: 1200 of 1200"]
            assert stream.text.endswith("\r")  # the line is cleared for the verdict
        else:
            assert stream.text == ""
    # A resumed capture counts its rate from where it started, and notes what it waits for.
    stream = FakeTerminal(True)
    line = Progress(stream=stream, first=1000)
    line.update(1500, 2000, force=True, note="reconnecting")
    assert stream.text.startswith("\r1500 of 2000 traces ( 75%), ") and stream.text.endswith(" left, reconnecting")
    line.finish()
    assert stream.text.endswith("\r" + " " * len(stream.text.split("\r")[1]) + "\r")
    # A capture keeps its last figures above its final line instead.
    line.update(2000, 2000)
    line.finish(keep=True)
    assert stream.text.split("\r")[-1].startswith("2000 of 2000 traces (100%), ") and stream.text.endswith(" left\n")


def test_an_snr_copies_the_records_of_its_own_file_and_stops_at_a_file_cut_short(tmp_path, monkeypatch):
    import threading

    from valdrix.analysis import reader
    from valdrix.errors import TraceFileError
    from valdrix.traces import read_traces
    monkeypatch.setattr(reader, "CHUNK_BYTES", 256 * 376)  # 256 records of 2 x 90 samples, 16 bytes and a title
    rng = np.random.default_rng(RNG_SEED + 11)
    x = rng.integers(-900, 900, size=(700, 90)).astype(np.int16)
    tx = rng.integers(0, 256, size=(700, 16), dtype=np.uint8)
    path = write_set(tmp_path / "snr.trs", x, tx)
    reference = analysis.SNR(60).update(x[:650, 20:80], tx[:650]).snr()
    copied = []
    real = reader.record_chunks
    monkeypatch.setattr(files, "record_chunks", lambda *a: copied.append(a[3:]) or real(*a))
    got = analysis.analyze(path, "snr", window=(20, 80), traces=650).snr()
    assert copied == [(650, 256)] and np.array_equal(got, reference)
    # A set opened before its path was given another file reads what it opened, through its mapping.
    ts = read_traces(path)
    write_set(tmp_path / "other.trs", x // 3, tx)
    os.replace(tmp_path / "other.trs", path)
    assert np.array_equal(analysis.analyze(ts, "snr", window=(20, 80), traces=650).snr(), reference)
    assert copied == [(650, 256)]
    # The same file cut short while it is read: an error naming it, and no reader left running.
    ts = read_traces(path)
    os.truncate(path, os.path.getsize(path) // 2)
    with pytest.raises(TraceFileError, match="snr.trs.*cut short while it was read: trace 3[0-9][0-9] of 700 is gone"):
        analysis.analyze(ts, "snr")
    assert not [t for t in threading.enumerate() if t.name == "valdrix-reader"]
