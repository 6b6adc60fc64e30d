"""Trace-set files under faults: malformed files, a full disk, resumed runs."""

import errno
import importlib.util
import json
import os
import random
import shutil
import struct
import subprocess
import sys
import textwrap
import zipfile

import pytest

np = pytest.importorskip("numpy")

from valdrix import TraceFileError  # noqa: E402
from valdrix import traces  # noqa: E402
from valdrix.traces import trs  # noqa: E402
from valdrix.traces import open_writer, read_traces  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
README = os.path.join(HERE, "..", "..", "..", "README.md")
FORMATS = ["trs", "npz", "zarr"]


def batch(n, samples=12, seed=3):
    rng = np.random.default_rng(seed)
    waves = {c: rng.integers(-300, 300, (n, samples), dtype=np.int16) for c in (1, 2)}
    tx = rng.integers(0, 256, (n, 4), dtype=np.uint8)
    rx = rng.integers(0, 256, (n, 2), dtype=np.uint8)
    return waves, tx, rx, ["fixed" if i % 2 else "random" for i in range(n)]


def write_set(path, n=20, samples=12):
    waves, tx, rx, labels = batch(n, samples)
    with open_writer(str(path), {"sample_rate_khz": 1000}, labels=True) as w:
        w.append_arrays(waves, tx, rx, labels, status=np.arange(n))
    return waves, tx, rx, labels


def needs(fmt):
    if fmt == "zarr":
        pytest.importorskip("zarr")


def read_all(ts):
    """Reads every part of a set the way its users do; the shapes must agree."""
    n = len(ts)
    chunk = ts.read(0, n)
    assert all(w.shape == (n, ts.samples) for w in chunk.waves.values())
    assert len(chunk.tx) == len(chunk.rx) == len(chunk.labels) == n
    assert len(list(ts.tx)) == n and len(list(ts.labels)) == (n if ts.labelled else 0)
    assert sum(len(c) for c in ts.chunks(size=7)) == n
    if n:
        ts[n - 1]


def test_malformed_files_raise_trace_file_error_naming_file_and_fault(tmp_path):
    def fails(path, fragment):
        with pytest.raises(TraceFileError) as caught:
            read_all(read_traces(str(path)))
        assert str(caught.value).startswith(str(path) + ": ") and fragment in str(caught.value), str(caught.value)

    fails(README, "not a trace-set file (first bytes 23205661); trace sets are read from TRS, NumPy .npz, "
          "NumPy .npy, zarr directory store, HDF5")
    (tmp_path / "empty.trs").write_bytes(b"")
    fails(tmp_path / "empty.trs", "empty file")
    (tmp_path / "plain").mkdir()
    fails(tmp_path / "plain", "not a zarr group")

    write_set(tmp_path / "good.trs")
    good = (tmp_path / "good.trs").read_bytes()
    for name, data, fragment in [
        ("nt.trs", b"\x41\x04\xff\xff\xff\xff" + good[6:], None),  # NT claims 4 G traces: read what is there
        ("ns.trs", good.replace(b"\x42\x04\x18\x00\x00\x00", b"\x42\x04\xff\xff\xff\x7f"), "does not match"),
        ("ds.trs", good.replace(b"\x44\x02\x06\x00", b"\x44\x02\xff\xff"), "does not match its NS"),
        ("tlv.trs", b"\x41\x84\xff\xff\xff\x7f" + good[2:], "claims 2147483647 bytes"),
        ("wide.trs", b"\x41\x88" + good[2:], "length field of 8 bytes"),
        ("coding.trs", good.replace(b"\x43\x01\x02", b"\x43\x01\x07"), "sample coding 0x07"),
        ("nomarker.trs", good[:40], "claims 20 bytes, the file has 16 left"),
    ]:
        (tmp_path / name).write_bytes(data)
        if fragment is None:
            assert len(read_traces(str(tmp_path / name))) == 20
        else:
            fails(tmp_path / name, fragment)

    write_set(tmp_path / "good.npz")

    def npz(name, **arrays):
        path = tmp_path / name
        np.savez(path, **arrays)
        return path
    waves, tx, rx, _ = batch(5)
    with zipfile.ZipFile(npz("text.npz", channel_1=waves[1]), "a") as z:
        z.writestr("notes.txt", b"hello")
    fails(tmp_path / "text.npz", "member notes.txt is not an array")
    fails(npz("objects.npz", channel_1=np.array([{"a": 1}, None], dtype=object)), "holds Python objects")
    fails(npz("dtype.npz", channel_1=waves[1], tx=tx.astype(np.int32)), "rows of uint8")
    fails(npz("shape.npz", channel_1=waves[1], channel_2=waves[2][:4]), "numbers were due")
    fails(npz("none.npz", tx=tx), "not a trace set")
    fails(npz("meta.npz", channel_1=waves[1], metadata=np.array("[1, 2]")), "not a JSON object")
    for bad, shape_text, fragment in [("claim.npz", b"(99999999, 12)", "claims 99999999x12 int16"),
                                      ("header.npz", b"(20, 12(", "not a readable .npz trace set")]:
        with zipfile.ZipFile(tmp_path / "good.npz") as good_zip, zipfile.ZipFile(tmp_path / bad, "w") as z:
            for name in good_zip.namelist():  # channel_1's header: a false claim, a broken text
                z.writestr(name, good_zip.read(name).replace(b"(20, 12)", shape_text))
        fails(tmp_path / bad, fragment)

    if _has_zarr():
        write_set(tmp_path / "good.zarr")
        for name, change, fragment in [
            ("attrs.zarr", lambda d: os.remove(d / ".zattrs"), "no attributes"),
            ("layout.zarr", lambda d: (d / ".zattrs").write_text('{"x": 1}'), "no layout attribute"),
            ("big.zarr", lambda d: shape(d / "tx", [1 << 48, 4]), "array tx has a malformed shape"),
            ("pickle.zarr", lambda d: meta(d / "label", filters=[{"id": "pickle"}]), "has filters"),
            ("dtype.zarr", lambda d: meta(d / "tx", dtype="|O"), "dtype '|O'"),
            ("chunk.zarr", lambda d: (d / "channel_2" / "0.0").write_bytes(b"\x02\x01\x21\x02" + bytes(12)),
             "chunk channel_2/0.0 claims 0 bytes"),
        ]:
            shutil.copytree(tmp_path / "good.zarr", tmp_path / name)
            change(tmp_path / name)
            fails(tmp_path / name, fragment)
        # A killed writer leaves arrays of different lengths; a length no
        # chunk backs is read up to the chunks that are there.
        for name, change, count in [("lengths.zarr", lambda d: shape(d / "rx", [19, 2]), 19),
                                    ("claim.zarr", lambda d: shape(d / "tx", [10 ** 12, 4]), 20)]:
            shutil.copytree(tmp_path / "good.zarr", tmp_path / name)
            change(tmp_path / name)
            ts = read_traces(str(tmp_path / name))
            assert len(ts) == count and ts.tx_array.shape == (count, 4)
            read_all(ts)


def meta(array_dir, **changes):
    data = json.loads((array_dir / ".zarray").read_text())
    data.update(changes)
    (array_dir / ".zarray").write_text(json.dumps(data))


def shape(array_dir, value):
    meta(array_dir, shape=value)


def mutate(rnd, data):
    data = bytearray(data)
    kind = rnd.randrange(4)
    if kind == 0 or not data:
        return bytes(data[:rnd.randrange(len(data) + 1)])
    if kind == 1:  # a few random bytes anywhere
        for _ in range(rnd.randint(1, 4)):
            data[rnd.randrange(len(data))] = rnd.randrange(256)
    elif kind == 2:  # a boundary value in the headers
        data[rnd.randrange(min(len(data), 200))] = rnd.choice([0, 0x7F, 0x80, 0x84, 0xFF])
    else:  # a run replaced by one of another length
        i = rnd.randrange(len(data))
        data[i:i + rnd.randint(1, 16)] = bytes(rnd.randrange(256) for _ in range(rnd.randint(0, 20)))
    return bytes(data)


def test_fuzzed_trace_files_raise_trace_file_error_or_read_consistently(tmp_path):
    formats = ["trs", "npz"] + (["zarr"] if _has_zarr() else [])
    sources = {fmt: tmp_path / ("source." + fmt) for fmt in formats}
    for path in sources.values():
        write_set(path)
    rnd = random.Random(19)
    outcomes = {"read": 0, "refused": 0}
    for i in range(360):
        fmt = formats[i % len(formats)]
        target = tmp_path / ("m%d.%s" % (i, fmt))
        if fmt == "zarr":
            shutil.copytree(sources[fmt], target)
            victim = rnd.choice(sorted(p for p in target.rglob("*") if p.is_file()))
        else:
            shutil.copyfile(sources[fmt], target)
            victim = target
        victim.write_bytes(mutate(rnd, victim.read_bytes()))
        try:
            read_all(read_traces(str(target)))
            outcomes["read"] += 1
        except TraceFileError as e:
            assert str(e).startswith(str(target))
            outcomes["refused"] += 1
    assert outcomes["read"] > 30 and outcomes["refused"] > 100, outcomes


def _has_zarr():
    return importlib.util.find_spec("zarr") is not None


class Disk:
    """A disk of ``room`` bytes shared by every file opened through it; a
    write beyond it writes what fits and fails with ENOSPC, as a full disk does."""

    def __init__(self, room):
        self.room = room
        self.os_write = os.write

    def write(self, fd, data):
        if self.room <= 0:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        n = self.os_write(fd, bytes(memoryview(data).cast("B")[:self.room]))
        self.room -= n
        return n

    def open(self, path, mode="r", *args, **kwargs):
        f = open(path, mode, *args, **kwargs)
        if "w" not in mode and "a" not in mode and "+" not in mode:
            return f
        disk = self

        class Limited:
            def __getattr__(self, name):
                return getattr(f, name)

            def __enter__(self):
                return self

            def __exit__(self, *exc):
                f.close()

            def write(self, data):
                n = len(memoryview(data).cast("B"))
                if n > disk.room:
                    f.write(bytes(memoryview(data).cast("B")[:max(0, disk.room)]))
                    disk.room = 0
                    f.flush()
                    raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
                disk.room -= n
                return f.write(data)
        return Limited()


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_full_disk_keeps_whole_trs_traces_and_zarr_chunks_and_leaves_no_npz(tmp_path, monkeypatch, fmt):
    needs(fmt)
    disk = Disk(room=60_000 if fmt == "zarr" else 23_000)  # the header, then a cut in the middle of a record
    if fmt == "zarr":
        import valdrix.traces.zarr as zarr_module
        monkeypatch.setattr(zarr_module, "_FLUSH_SECONDS", 0.0)  # each batch stored as it comes, as in a slow run
    monkeypatch.setattr(traces.os, "write", disk.write)
    import valdrix.traces.npz as npz_module
    monkeypatch.setattr(npz_module, "open", disk.open, raising=False)
    if fmt == "zarr":
        import zarr.storage
        monkeypatch.setattr(zarr.storage, "open", disk.open, raising=False)
    path = tmp_path / ("out." + fmt)
    waves, tx, rx, labels = batch(100, samples=500)
    with pytest.raises(OSError) as caught:
        with open_writer(str(path), {"sample_rate_khz": 1000}, labels=True) as w:
            for start in range(0, 100, 10):
                w.append_arrays({c: a[start:start + 10] for c, a in waves.items()}, tx[start:start + 10],
                                rx[start:start + 10], labels[start:start + 10])
                if fmt == "trs":
                    w.append(traces.Trace(waves={c: a[start] for c, a in waves.items()}, tx=tx[start].tobytes(),
                                          rx=rx[start].tobytes(), label=labels[start]))
    assert caught.value.errno == errno.ENOSPC and caught.value.filename == str(path)
    if fmt == "trs":
        record = 8 + 6 + 2 * 2 * 500
        ts = read_traces(str(path))
        assert 0 < len(ts) == w.count < 11 and path.stat().st_size == header_size(path) + len(ts) * record
        assert struct.unpack("<I", path.read_bytes()[2:6])[0] == len(ts)  # NT patched
        assert np.array_equal(ts.waves[2][:10], waves[2][:10]) and list(ts.labels[:10]) == labels[:10]
    elif fmt == "zarr":  # the batches stored whole before the disk filled, and no half-written file
        ts = read_traces(str(path))
        assert 0 < len(ts) == w.count < 100 and np.array_equal(ts.waves[2][:], waves[2][:len(ts)])
        assert list(ts.labels) == labels[:len(ts)] and list(path.rglob(".*.part")) == []
    else:
        assert os.listdir(tmp_path) == []  # no file under the asked-for name, no temporary one


def header_size(path):
    with open(str(path), "rb") as f:
        return trs._TrsHeader(str(path), f, os.path.getsize(str(path))).size


FULL_DISK_RUN = textwrap.dedent("""
    import json, os, sys
    import numpy as np
    from valdrix import traces
    from valdrix.traces import trs
    from valdrix.traces import open_writer, read_traces
    where, fmt = sys.argv[1], sys.argv[2]
    path = os.path.join(where, "out." + fmt)
    rng = np.random.default_rng(1)
    waves = {c: rng.integers(-2000, 2000, (64, 4096), dtype=np.int16) for c in (1, 2)}
    tx, rx = np.zeros((64, 16), np.uint8), np.zeros((64, 16), np.uint8)
    result = {}
    if fmt == "zarr":
        import valdrix.traces.zarr as zarr_module
        zarr_module._FLUSH_SECONDS = 0.0  # each batch stored as it comes, as in a slow run
    try:
        with open_writer(path, {"sample_rate_khz": 48000}) as w:
            for i in range(100):
                w.append_arrays(waves, tx, rx)
    except OSError as e:
        result.update(errno=e.errno, filename=e.filename, count=w.count)
    result["left"] = sorted(os.listdir(where))
    if fmt == "trs":
        ts = read_traces(path)
        with open(path, "rb") as f:
            header = trs._TrsHeader(path, f, os.path.getsize(path)).size
        result.update(read=len(ts), size=os.path.getsize(path), header=header,
                      equal=bool(np.array_equal(ts.waves[1][:64], waves[1])))
    if fmt == "zarr":
        ts = read_traces(path)
        result.update(read=len(ts), equal=bool(np.array_equal(ts.waves[1][:64], waves[1])))
    print(json.dumps(result))
""")


@pytest.mark.parametrize("fmt", FORMATS)
def test_a_full_tmpfs_keeps_whole_trs_traces_and_zarr_chunks_and_leaves_no_npz(tmp_path, fmt):
    needs(fmt)
    if shutil.which("unshare") is None:
        pytest.skip("no unshare to mount a private tmpfs")
    where = str(tmp_path)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(HERE))
    run = subprocess.run(["unshare", "-m", "sh", "-c", 'mount -t tmpfs -o size=2m tmpfs "$1" || exit 77; shift; '
                          'exec "$@"', "sh", where, sys.executable, "-c", FULL_DISK_RUN, where, fmt],
                         capture_output=True, text=True, env=env, timeout=60)
    if run.returncode == 77 or "unshare failed" in run.stderr or "Operation not permitted" in run.stderr:
        pytest.skip("mounting a tmpfs is not permitted here")
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)
    out = os.path.join(where, "out." + fmt)
    assert result["errno"] == errno.ENOSPC and result["filename"] == out
    if fmt == "trs":
        record = 32 + 2 * 2 * 4096
        assert result["left"] == ["out.trs"] and 0 < result["read"] == result["count"] and result["equal"]
        assert result["size"] == result["header"] + result["count"] * record  # no partial record
    elif fmt == "zarr":
        assert result["left"] == ["out.zarr"] and 0 < result["read"] == result["count"] and result["equal"]
    else:
        assert result["left"] == []


@pytest.mark.parametrize("fmt", ["trs", "zarr"])
def test_resume_appends_to_a_set_cut_short(tmp_path, fmt):
    needs(fmt)
    path = str(tmp_path / ("run." + fmt))
    waves, tx, rx, labels = batch(30, samples=12)
    with open_writer(path, {"sample_rate_khz": 1000, "seed": 5}, labels=True) as w:
        w.append_arrays({c: a[:20] for c, a in waves.items()}, tx[:20], rx[:20], labels[:20])
    if fmt == "trs":  # killed mid-record: NT never patched, half a record at the end
        data = bytearray(open(path, "rb").read())
        data[2:6] = bytes(4)
        open(path, "wb").write(data[:-7])
    else:  # stopped between arrays: rx one batch shorter than the rest
        import zarr
        zarr.open_group(path, mode="r+")["rx"].resize(19, 2)
    with open_writer(path, labels=True, resume=True) as w:
        assert w.count == 19 and w.metadata == {"sample_rate_khz": 1000, "seed": 5}
        w.append_arrays({c: a[19:] for c, a in waves.items()}, tx[19:], rx[19:], labels[19:])
        w.metadata["resumed"] = 1
    ts = read_traces(path)
    assert len(ts) == 30 and ts.metadata["resumed"] == 1
    assert np.array_equal(ts.read(0, 30).waves[1], waves[1]) and np.array_equal(ts.rx_array[:], rx)
    assert list(ts.labels) == labels


def test_resume_takes_over_the_store_of_a_killed_zarr_run(tmp_path):
    pytest.importorskip("zarr")
    path = str(tmp_path / "run.zarr")
    waves, tx, rx, labels = batch(30, samples=12)
    w = open_writer(path, {"seed": 5}, labels=True)
    w.append_arrays({c: a[:20] for c, a in waves.items()}, tx[:20], rx[:20], labels[:20])
    w._flush()  # what the run had stored when it was killed; it never closed
    assert len(read_traces(path)) == 20  # under the asked-for name from the start
    with open_writer(path, labels=True, resume=True) as again:
        assert again.count == 20 and again.metadata == {"seed": 5}
        again.append_arrays({c: a[20:] for c, a in waves.items()}, tx[20:], rx[20:], labels[20:])
    assert os.listdir(str(tmp_path)) == ["run.zarr"]
    ts = read_traces(path)
    assert np.array_equal(ts.read(0, 30).waves[2], waves[2]) and list(ts.labels) == labels
