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


@pytest.mark.parametrize("numpy", [True, False], ids=["numpy", "stdlib"])
def test_trs_round_trip_with_labels_and_late_metadata(tmp_path, monkeypatch, numpy):
    if numpy:
        pytest.importorskip("numpy")
    else:
        monkeypatch.setattr(traces, "_np", None)
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
