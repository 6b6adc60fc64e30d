"""Trace sets from other tools: the profiling databases' HDF5 layout, plain
HDF5 with mapped names, bare .npy arrays, a foreign .npz, and what none of
them may do (reach outside the file, claim more than it holds)."""

import gc
import json
import mmap
import os
import subprocess
import sys
import textwrap

import pytest

np = pytest.importorskip("numpy")
h5py = pytest.importorskip("h5py")

from conftest import TOOL_ENV  # noqa: E402
from valdrix import TraceFileError  # noqa: E402
from valdrix.traces import read_traces  # noqa: E402
from valdrix.traces.names import Names, one_key, parse_names  # noqa: E402

ENV = TOOL_ENV

# AES's S-box, written out here so that the planted leakage does not come
# from the code under test.
SBOX = np.array(bytearray.fromhex(
    "637c777bf26b6fc53001672bfed7ab76ca82c97dfa5947f0add4a2af9ca472c0b7fd9326363ff7cc34a5e5f171d8311504c723c31896"
    "059a071280e2eb27b27509832c1a1b6e5aa0523bd6b329e32f8453d100ed20fcb15b6acbbe394a4c58cfd0efaafb434d338545f9027f"
    "503c9fa851a3408f929d38f5bcb6da2110fff3d2cd0c13ec5f974417c4a77e3d645d197360814fdc222a908846eeb814de5e0bdbe032"
    "3a0a4906245cc2d3ac629195e479e7c8376d8dd54ea96c56f4ea657aae08ba78252e1ca6b4c6e8dd741f4bbd8b8a703eb5664803f60e"
    "613557b986c11d9ee1f8981169d98e949b1e87e9ce5528df8ca1890dbfe6426841992d0fb054bb16"), dtype=np.uint8)
ASCAD_FIELDS = np.dtype([("plaintext", "u1", (16,)), ("ciphertext", "u1", (16,)), ("key", "u1", (16,)),
                         ("masks", "u1", (18,)), ("desync", "u1")])


def make_ascad(path, n=1500, samples=64, seed=7):
    """Both groups of the profiling databases' layout, int8 traces in which
    every key byte's S-box output leaks its Hamming weight at a sample of
    its own; the attack set has one key, the profiling set a key per trace."""
    rng = np.random.default_rng(seed)
    key = rng.integers(0, 256, 16, dtype=np.uint8)
    with h5py.File(path, "w") as f:
        for group, fixed in (("Profiling_traces", False), ("Attack_traces", True)):
            pt = rng.integers(0, 256, (n, 16), dtype=np.uint8)
            keys = np.tile(key, (n, 1)) if fixed else rng.integers(0, 256, (n, 16), dtype=np.uint8)
            weights = np.unpackbits(SBOX[pt ^ keys][..., None], axis=-1).sum(axis=-1)
            x = rng.normal(0.0, 3.0, (n, samples))
            x[:, 8:8 + 16 * 3:3] += 4.0 * weights
            g = f.create_group(group)
            g["traces"] = np.clip(np.round(x), -128, 127).astype(np.int8)
            g["labels"] = SBOX[pt[:, 2] ^ keys[:, 2]]
            meta = np.zeros(n, dtype=ASCAD_FIELDS)
            meta["plaintext"], meta["key"] = pt, keys
            meta["ciphertext"] = rng.integers(0, 256, (n, 16))
            meta["masks"] = rng.integers(0, 256, (n, 18))
            g["metadata"] = meta
    return key


def analyze(*args):
    return subprocess.run([sys.executable, "-m", "valdrix.analyze", *map(str, args)], capture_output=True, text=True,
                          timeout=120, env=ENV)


def test_ascad_layout_cpa_recovers_the_planted_key_and_refuses_a_varying_one(tmp_path):
    path = tmp_path / "ascad.h5"
    key = make_ascad(path)
    run = analyze("cpa", path)
    assert run.returncode == 0, run.stderr
    found = "cpa: key %s from 1500 traces; 16 of 16 bytes are the true key's (rank 0)" % key.tobytes().hex()
    assert found in run.stdout, run.stdout

    ts = read_traces(str(path))  # Attack_traces unless asked
    with h5py.File(path, "r") as f:
        g = f["Attack_traces"]
        assert ts.format == "hdf5" and ts.metadata["group"] == "Attack_traces" and ts.channels == [1]
        chunk = ts.read(10, 20)
        assert chunk.waves[1].dtype == np.int8 and np.array_equal(chunk.waves[1], g["traces"][10:20])
        assert np.array_equal(chunk.tx, g["metadata"]["plaintext"][10:20])
        assert np.array_equal(ts.rx_array[:5], g["metadata"]["ciphertext"][:5])
        assert np.array_equal(ts.extras["masks"][3], g["metadata"]["masks"][3])
        assert np.array_equal(ts.extras["labels"][:], g["labels"][:])
    assert one_key(ts) == key.tobytes()

    profiling = read_traces(str(path), group="Profiling_traces")
    with h5py.File(path, "r") as f:
        assert np.array_equal(profiling.key_array[:], f["Profiling_traces/metadata"]["key"])  # kept per trace
    run = analyze("cpa", path, "--group", "Profiling_traces")
    assert run.returncode == 1 and run.stdout == ""
    lines = run.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("valdrix-analyze: %s: the key varies from trace to trace (trace 0: "
                                                   % path), run.stderr
    assert "cpa needs one key" in lines[0]
    run = analyze("cpa", path, "--names", "bogus")
    assert run.returncode == 2 and "argument --names: 'bogus' is not ROLE=NAME (roles: traces," in run.stderr
    run = analyze("cpa", path, "--group", "Nowhere")
    assert run.returncode == 1
    assert run.stderr == "valdrix-analyze: %s: no group Nowhere (groups: Attack_traces, Profiling_traces)\n" % path


def test_plain_hdf5_datasets_under_mapped_names(tmp_path):
    path = tmp_path / "plain.h5"
    rng = np.random.default_rng(3)
    waves = rng.normal(0, 1, (300, 50)).astype(np.float32)
    pt, ct = (rng.integers(0, 256, (300, 16), dtype=np.uint8) for _ in range(2))
    key = rng.integers(0, 256, 16, dtype=np.uint8)
    with h5py.File(path, "w") as f:
        g = f.create_group("run1")
        g.create_dataset("trace_values", data=waves, chunks=(32, 50), compression="gzip", shuffle=True)
        g["in"], g["out"], g["aes_key"] = pt, ct, key
        g.attrs["sample_period"] = 4e-9
    names = parse_names("traces=trace_values, inputs=in,outputs=out,key=aes_key")
    assert read_traces(str(path), group="run1", names=dict(traces="trace_values")).samples == 50
    assert names == Names(traces="trace_values", inputs="in", outputs="out", key="aes_key")
    ts = read_traces(str(path), group="run1", names=names)
    assert len(ts) == 300 and ts.samples == 50 and ts.sample_period == 4e-9
    assert np.array_equal(np.concatenate([c.waves[1] for c in ts.chunks(size=70)]), waves)
    for rows in (-1, slice(5, 1, -2), [299, 3, 3, 0], np.arange(300) % 7 == 0, Ellipsis, (slice(None, None, -3), 4),
                 ([8, 1], slice(2, 9))):
        assert np.array_equal(ts.waves[1][rows], waves[rows]), rows  # what numpy gives for the same selection
    assert np.array_equal(ts.tx_array[[7, 250], 3], pt[[7, 250], 3])
    assert ts[7].tx == pt[7].tobytes() and ts[7].rx == ct[7].tobytes() and one_key(ts) == key.tobytes()
    assert np.array_equal(ts.read(0, 300, window=(10, 20)).waves[1], waves[:, 10:20])
    again = read_traces(ts.path, **ts.read_options)  # as a Dask worker reopens it
    assert again.read_options == {"group": "run1", "names": names} and np.array_equal(again.tx_array, pt)

    with pytest.raises(TraceFileError, match=r"plain.h5: no traces dataset in run1 \(name it: traces=NAME\)$"):
        read_traces(str(path), group="run1")
    with pytest.raises(TraceFileError, match=r": no dataset or field run1/plaintext for inputs$"):
        read_traces(str(path), group="run1", names=Names(traces="trace_values", inputs="plaintext"))
    with pytest.raises(TraceFileError, match=r"run1/in \(inputs\) is 300x16 where 300 rows of bytes|holds"):
        read_traces(str(path), group="run1", names=Names(traces="trace_values", inputs="trace_values"))
    with pytest.raises(ValueError, match="unknown role plaintext"):
        parse_names("plaintext=in")


def test_npy_traces_mapped_with_inputs_beside_or_given(tmp_path):
    rng = np.random.default_rng(5)
    waves = np.asfortranarray(rng.integers(-500, 500, (40, 30), dtype=np.int16))
    textin = rng.integers(0, 256, (40, 16), dtype=np.uint8)
    np.save(tmp_path / "run_traces.npy", waves)
    np.save(tmp_path / "run_textin.npy", textin)
    np.save(tmp_path / "run_keylist.npy", np.tile(np.arange(16, dtype=np.uint8), (40, 1)))
    ts = read_traces(str(tmp_path / "run_traces.npy"))
    assert ts.format == "npy" and isinstance(ts.waves[1].base, mmap.mmap)  # mapped, not loaded
    assert np.array_equal(ts.read(3, 9).waves[1], waves[3:9]) and np.array_equal(ts.tx_array, textin)
    assert one_key(ts) == bytes(range(16)) and ts.rx_array.shape == (40, 0)

    other = rng.integers(0, 256, (40, 8), dtype=np.uint8)
    np.save(tmp_path / "chosen.npy", other)
    assert np.array_equal(read_traces(str(tmp_path / "run_traces.npy"), inputs=str(tmp_path / "chosen.npy"))
                          .tx_array, other)
    assert np.array_equal(read_traces(str(tmp_path / "run_traces.npy"), names=Names(outputs="chosen.npy"))
                          .rx_array, other)

    np.save(tmp_path / "objects.npy", np.array([{"a": 1}, None], dtype=object), allow_pickle=True)
    with pytest.raises(TraceFileError, match=r"objects.npy: holds Python objects \(a pickle\), which are never loaded"):
        read_traces(str(tmp_path / "objects.npy"))
    np.save(tmp_path / "bad_traces.npy", waves)
    np.save(tmp_path / "bad_textin.npy", np.array([b"x", 3], dtype=object), allow_pickle=True)
    with pytest.raises(TraceFileError, match=r"bad_traces.npy: .*bad_textin.npy \(inputs\): holds Python objects"):
        read_traces(str(tmp_path / "bad_traces.npy"))
    np.save(tmp_path / "short_traces.npy", waves)
    np.save(tmp_path / "short_textin.npy", textin[:39])
    with pytest.raises(TraceFileError, match=r"short_textin.npy \(inputs\) is 39x16 where 40 rows of bytes were due"):
        read_traces(str(tmp_path / "short_traces.npy"))


def test_foreign_npz_members_under_mapped_names(tmp_path):
    rng = np.random.default_rng(9)
    waves = rng.integers(-100, 100, (25, 20), dtype=np.int16)
    pt, key = rng.integers(0, 256, (25, 16), dtype=np.uint8), rng.integers(0, 256, (25, 16), dtype=np.uint8)
    np.savez(tmp_path / "foreign.npz", trace_array=waves, plaintext=pt, the_key=key)
    ts = read_traces(str(tmp_path / "foreign.npz"), names=Names(traces="trace_array", key="the_key"))
    assert np.array_equal(ts.read(0, 25).waves[ts.channels[0]], waves)
    assert np.array_equal(ts.tx_array, pt) and np.array_equal(ts.key_array[:], key)
    with pytest.raises(ValueError, match="the key varies from trace to trace"):
        one_key(ts)
    assert one_key(ts, traces=1) == key[0].tobytes()  # an analysis of the first trace only
    np.savez_compressed(tmp_path / "plain.npz", traces=waves, plaintext=pt, ciphertext=key)  # names found unasked
    ts = read_traces(str(tmp_path / "plain.npz"))
    assert np.array_equal(ts.read(5, 9).tx, pt[5:9]) and np.array_equal(ts.rx_array[24], key[24])
    with pytest.raises(TraceFileError, match=r"foreign.npz: no array nope for inputs \(arrays: plaintext, the_key, "
                                             r"trace_array\)"):
        read_traces(str(tmp_path / "foreign.npz"), names=Names(traces="trace_array", inputs="nope"))


def test_an_unknown_format_is_refused_with_the_formats_read(tmp_path):
    path = tmp_path / "notes.h5"  # the suffix says HDF5, the content does not
    path.write_bytes(b"\x00\x01plain bytes, no trace set\n")
    with pytest.raises(TraceFileError) as caught:
        read_traces(str(path))
    message = str(caught.value)
    assert message.startswith(str(path) + ": ") and all(name in message for name in ("TRS", "npz", "zarr", "HDF5",
                                                                                      "npy")), message
    run = analyze("snr", path)
    assert run.returncode == 1 and len(run.stderr.splitlines()) == 1 and "HDF5" in run.stderr


def test_hdf5_ways_out_of_the_file_are_refused(tmp_path):
    secret = tmp_path / "elsewhere.h5"
    with h5py.File(secret, "w") as f:
        f["traces"] = np.ones((4, 4), np.int8)
    raw = tmp_path / "raw.bin"
    raw.write_bytes(bytes(64))
    cases = {
        "link.h5": (lambda f: f.__setitem__("traces", h5py.ExternalLink(str(secret), "/traces")),
                    "traces is an external link to /traces in %s, which is not followed" % secret),
        "raw.h5": (lambda f: f.create_dataset("traces", (4, 16), "i1", external=[(str(raw), 0, 64)]),
                   "traces keeps its data in external files, which are not read"),
        "virtual.h5": (lambda f: f.create_virtual_dataset("traces", _layout(secret)),
                       "traces is a virtual dataset (its data is in other files), which is not read"),
        "group.h5": (lambda f: f.__setitem__("Attack_traces", h5py.ExternalLink(str(secret), "/")),
                     "Attack_traces is an external link to / in %s" % secret),
        "soft.h5": (lambda f: (f.__setitem__("out", h5py.ExternalLink(str(secret), "/")),
                               f.__setitem__("traces", h5py.SoftLink("/out/traces"))),
                    "out is an external link to / in %s" % secret),  # a soft link's path is checked too
        "loop.h5": (lambda f: (f.__setitem__("traces", h5py.SoftLink("/a")),
                               f.__setitem__("a", h5py.SoftLink("traces"))),
                    "the soft link to /a leads through more than 16 others (a loop?)"),
    }
    for name, (make, fragment) in cases.items():
        with h5py.File(tmp_path / name, "w") as f:
            make(f)
        with pytest.raises(TraceFileError) as caught:
            read_traces(str(tmp_path / name))
        assert str(caught.value).startswith(str(tmp_path / name) + ": ") and fragment in str(caught.value), name


def _layout(secret):
    layout = h5py.VirtualLayout((4, 4), "i1")
    layout[:] = h5py.VirtualSource(str(secret), "traces", (4, 4))
    return layout


def test_hdf5_claims_beyond_what_the_file_stores_are_refused(tmp_path):
    cases = [
        ("unwritten.h5", lambda f: f.create_dataset("traces", (10 ** 9, 10 ** 4), "i1", chunks=(16, 1024)),
         "traces claims 1000000000x10000 entries in 625000000 chunks, 0 are stored"),
        ("partial.h5", lambda f: f.create_dataset("traces", (1000, 100), "i2", chunks=(100, 100),
                                                  data=np.ones((1000, 100)) * (np.arange(1000) < 500)[:, None]),
         None),
        ("hollow.h5", lambda f: f.create_dataset("traces", (10 ** 6, 10 ** 3), "i1"),
         "traces claims 1000000x1000 int8 (1000000000 bytes) but stores 0"),
        ("bigchunk.h5", lambda f: f.create_dataset("traces", (4, 2 ** 27), "i1", chunks=(1, 2 ** 27),
                                                   compression="gzip", fillvalue=0),
         "has chunks of 134217728 bytes (at most 67108864)"),
    ]
    for name, make, fragment in cases:
        with h5py.File(tmp_path / name, "w") as f:
            make(f)
        if fragment is None:  # every chunk written: zeros written are data, not a claim
            assert len(read_traces(str(tmp_path / name))) == 1000
            continue
        with pytest.raises(TraceFileError) as caught:
            read_traces(str(tmp_path / name))
        assert fragment in str(caught.value), str(caught.value)


# VmHWM is this process image's own peak; ru_maxrss would start from the
# test runner's that forked it and could hide any growth.
BOUNDED_READ = textwrap.dedent("""
    import json, sys
    from valdrix.traces import read_traces
    def peak_kib():
        return next(int(l.split()[1]) for l in open("/proc/self/status") if l.startswith("VmHWM:"))
    before = peak_kib()
    ts = read_traces(sys.argv[1])
    total = 0
    for chunk in ts.chunks():
        total += int(chunk.waves[1][:, ::997].sum())
    key = ts.tx_array[:]
    after = peak_kib()
    print(json.dumps({"traces": len(ts), "grown_kib": after - before, "total": total}))
""")


def test_hdf5_chunked_reads_stay_bounded_whatever_the_set_holds(tmp_path):
    # 160 MB of samples that deflate to a few hundred KiB: reading every
    # chunk may not hold more than a few chunks' worth at once.
    path = tmp_path / "large.h5"
    with h5py.File(path, "w") as f:
        d = f.create_dataset("traces", (10000, 16000), "i1", chunks=(125, 16000), compression="gzip",
                             compression_opts=1)
        row = np.zeros((125, 16000), np.int8)
        row[:, 0] = 1
        for start in range(0, 10000, 125):
            d[start:start + 125] = row
        f["plaintext"] = np.zeros((10000, 16), np.uint8)
    assert os.path.getsize(path) < 8 << 20
    run = subprocess.run([sys.executable, "-c", BOUNDED_READ, str(path)], capture_output=True, text=True, env=ENV,
                         timeout=300)
    assert run.returncode == 0, run.stderr
    result = json.loads(run.stdout)
    assert result["traces"] == 10000 and result["total"] == 10000
    assert result["grown_kib"] < 48 * 1024, result  # of 160 MB claimed


def test_a_damaged_hdf5_chunk_is_a_trace_file_error_on_every_path_and_nothing_stays_open(tmp_path):
    path = tmp_path / "damaged.h5"
    rng = np.random.default_rng(11)
    with h5py.File(path, "w") as f:
        f.create_dataset("traces", data=rng.integers(-100, 100, (400, 64), dtype=np.int8), chunks=(50, 64),
                         compression="gzip")
        f.create_dataset("plaintext", data=rng.integers(0, 256, (400, 16), dtype=np.uint8), chunks=(50, 16),
                         compression="gzip")
        where = {name: f[name].id.get_chunk_info(3) for name in ("traces", "plaintext")}  # rows 150 to 199
    data = bytearray(path.read_bytes())
    for info in where.values():
        data[info.byte_offset + 4:info.byte_offset + info.size] = bytes(info.size - 4)
    path.write_bytes(bytes(data))

    gc.collect()  # what earlier tests left for the collector closes now, not during the count
    fds = len(os.listdir("/proc/self/fd"))
    ts = read_traces(str(path))
    assert ts.read(0, 150).waves[1].shape == (150, 64)  # the sound chunks read
    for access in (lambda: ts[160], lambda: ts.waves[1][170], lambda: ts.read(100, 200), lambda: list(ts.chunks()),
                   lambda: ts.tx[155], lambda: ts.tx_array[199], lambda: np.asarray(ts.waves[1])):
        with pytest.raises(TraceFileError) as caught:
            access()
        assert str(caught.value).startswith(str(path) + ": ") and "cannot be read" in str(caught.value)
    run = analyze("cpa", path)
    assert run.returncode == 1 and run.stderr.count("\n") == 1
    assert run.stderr.startswith("valdrix-analyze: %s: traces cannot be read (" % path), run.stderr
    ts = access = caught = None
    with pytest.raises(TraceFileError):
        read_traces(str(path), names=Names(traces="missing"))
    gc.collect()
    assert len(os.listdir("/proc/self/fd")) == fds
