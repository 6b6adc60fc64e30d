"""Trace-set files: TRS and .npz written and read back."""

import array

import pytest

from valdrix import Trace, traces
from valdrix.traces import TrsWriter, read_traces, write_npz

METADATA = {"sample_rate_khz": 24000, "voltage_mv": 3300, "instrument": {"id": "VALDRIX-M4-123456"}}


def synthetic(n, samples=5, labels=False):
    out = []
    for i in range(n):
        a = array.array("h", [(i * 1000 + k * 7) % 65536 - 32768 for k in range(samples)])
        b = array.array("h", [-i - k for k in range(samples)])
        out.append(Trace(waves={1: a, 2: b}, tx=bytes([i, 0xAA, 0x55]), rx=bytes([0xFF - i]), index=i,
                         label=("fixed" if i % 2 else "random") if labels else ""))
    return out


def rows(ts, channel):
    return [list(map(int, r)) for r in ts.waves[channel]]


def assert_same(ts, written, labels=False):
    assert len(ts) == len(written)
    for channel in (1, 2):
        assert rows(ts, channel) == [list(t.waves[channel]) for t in written]
    assert ts.tx == [t.tx for t in written] and ts.rx == [t.rx for t in written]
    assert ts.labels == ([t.label for t in written] if labels else [])


def test_trs_round_trip_with_labels_and_late_metadata(tmp_path):
    path = str(tmp_path / "set.trs")
    written = synthetic(4, labels=True)
    with TrsWriter(path, METADATA, labels=True) as w:
        for t in written:
            w.append(t)
        w.metadata["missed_triggers"] = 3  # known only at the end of a run
    ts = read_traces(path)
    assert_same(ts, written, labels=True)
    assert ts.metadata == dict(METADATA, missed_triggers=3)
    assert ts.sample_period == pytest.approx(1 / 24e6)


def test_a_trs_file_cut_short_reads_up_to_its_last_whole_trace(tmp_path):
    path = str(tmp_path / "cut.trs")
    written = synthetic(5)
    with TrsWriter(path, METADATA) as w:
        for t in written:
            w.append(t)
    # A run killed mid-trace: the count never patched, the last record half written.
    with open(path, "rb") as f:
        data = bytearray(f.read())
    data[2:6] = bytes(4)
    record = 3 + 1 + 2 * 2 * 5
    with open(path, "wb") as f:
        f.write(data[:len(data) - record // 2])
    assert_same(read_traces(path), written[:4])


def test_trs_writer_refuses_a_trace_that_does_not_fit_the_set(tmp_path):
    written = synthetic(2)
    written[1].tx = b"\x01"
    with TrsWriter(str(tmp_path / "x.trs"), METADATA) as w:
        w.append(written[0])
        with pytest.raises(ValueError, match="does not match the set"):
            w.append(written[1])
    assert len(read_traces(str(tmp_path / "x.trs"))) == 1


def test_npz_round_trip(tmp_path):
    np = pytest.importorskip("numpy")
    path = str(tmp_path / "set.npz")
    written = synthetic(3, labels=True)
    write_npz(path, written, METADATA)
    with np.load(path, allow_pickle=False) as z:
        assert z["metadata"].shape == () and z["channel_1"].dtype == np.int16
        assert z["tx"].shape == (3, 3) and z["tx"].dtype == np.uint8
    ts = read_traces(path)
    assert_same(ts, written, labels=True)
    assert ts.metadata == METADATA
    assert ts.sample_period == pytest.approx(1 / 24e6)


FORMATS = ["trs", "npz", "zarr"]


def campaign_arrays(n, samples=40, seed=7):
    np = pytest.importorskip("numpy")
    rng = np.random.default_rng(seed)
    waves = {c: rng.integers(-32768, 32767, (n, samples), dtype=np.int16, endpoint=True) for c in (1, 2)}
    tx = rng.integers(0, 256, (n, 16), dtype=np.uint8)
    rx = rng.integers(0, 256, (n, 3), dtype=np.uint8)
    labels = [("fixed", "random", "", "warm-up")[i % 4] for i in range(n)]
    return waves, tx, rx, labels


@pytest.mark.parametrize("fmt", FORMATS)
def test_round_trip_in_batches_and_single_traces_reads_back_in_chunks(tmp_path, fmt):
    if fmt == "zarr":
        pytest.importorskip("zarr")
    np = pytest.importorskip("numpy")
    n = 250
    waves, tx, rx, labels = campaign_arrays(n)
    path = str(tmp_path / ("set." + fmt))
    with traces.open_writer(path, METADATA, labels=True) as w:
        w.append_arrays({c: a[:100] for c, a in waves.items()}, tx[:100], rx[:100], labels[:100])
        for i in range(100, 103):  # single traces between batches
            w.append(Trace(waves={c: a[i] for c, a in waves.items()}, tx=tx[i].tobytes(), rx=rx[i].tobytes(),
                           label=labels[i]))
        w.append_arrays({c: a[103:] for c, a in waves.items()}, tx[103:], rx[103:], labels[103:])
        w.metadata["missed_triggers"] = 2
        assert len(w) == n
    ts = read_traces(path)
    assert (ts.format, ts.path, len(ts), ts.channels, ts.samples) == (fmt, path, n, [1, 2], 40)
    assert ts.metadata == dict(METADATA, missed_triggers=2)
    assert ts.sample_period == pytest.approx(1 / 24e6)
    expected_codes = np.array([{"fixed": 0, "random": 1, "": -1, "warm-up": 2}[s] for s in labels], dtype=np.int8)
    assert np.array_equal(ts.label_array, expected_codes) and ts.label_names == ["fixed", "random", "warm-up"]
    assert list(ts.labels) == labels and ts.labels[5] == "random" and ts.labels[-1] == labels[-1]
    assert np.array_equal(ts.tx_array[:], tx) and np.array_equal(ts.rx_array[:], rx)
    assert ts.tx[7] == tx[7].tobytes() and ts.rx[-1] == rx[-1].tobytes() and ts.tx[2:4] == [tx[2].tobytes(),
                                                                                            tx[3].tobytes()]
    assert ts.tx == [row.tobytes() for row in tx]
    chunks = list(ts.chunks(size=64, channel=2, window=(5, 17)))
    assert [c.start for c in chunks] == [0, 64, 128, 192] and sorted(chunks[0].waves) == [2]
    assert chunks[0].waves[2].dtype == np.int16 and chunks[0].waves[2].shape == (64, 12)
    assert np.array_equal(np.concatenate([c.waves[2] for c in chunks]), waves[2][:, 5:17])
    assert np.array_equal(np.concatenate([c.labels for c in chunks]), expected_codes)
    assert np.array_equal(np.concatenate([c.tx for c in chunks]), tx)
    whole = list(ts.chunks())  # default size: a few MiB, so one chunk here
    assert len(whole) == 1 and np.array_equal(whole[0].waves[1], waves[1])
    part = read_traces(ts.path).read(240, 999)  # a worker reopens the file and reads its part
    assert part.start == 240 and np.array_equal(part.waves[1], waves[1][240:]) and part.rx.shape == (10, 3)
    assert ts[101].label == labels[101] and list(ts[101].waves[2]) == list(waves[2][101])
    with pytest.raises(ValueError, match="outside"):
        ts.read(0, 1, window=(0, 41))
