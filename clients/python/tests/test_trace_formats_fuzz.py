"""Malformed-file fuzzing of the HDF5 and .npy readers. HDF5 files are valid
containers holding hostile content (the container's own damage is the HDF5
library's to find); .npy files get hostile headers and random damage."""

import random

import pytest

np = pytest.importorskip("numpy")
h5py = pytest.importorskip("h5py")

from test_trace_faults import mutate, read_all  # noqa: E402
from test_trace_formats import ASCAD_FIELDS  # noqa: E402
from valdrix import TraceFileError  # noqa: E402
from valdrix.traces import read_traces  # noqa: E402
from valdrix.traces.names import Names, one_key  # noqa: E402


def read_everything(ts):
    """Every access path, the key and the extras as well as the samples."""
    read_all(ts)
    n = len(ts)
    for c in ts.channels:
        if n:
            assert len(ts.waves[c][n - 1]) == ts.samples
    for extra in getattr(ts, "extras", {}).values():
        assert len(extra[0:n]) == n
    try:
        one_key(ts)
    except ValueError as e:
        assert "the key varies" in str(e)


def hostile(rnd, f, n):
    """Writes one ASCAD-like group with a few hostile parts; returns the
    reader options that reach them."""
    g = f.create_group("Attack_traces")
    valid = lambda: g.create_dataset("traces", data=np.zeros((n, 10), np.int8))  # noqa: E731
    traces = valid if rnd.random() < 0.4 else rnd.choice([
        lambda: g.create_dataset("traces", data=np.zeros((n,), np.int8)),  # 1-D
        lambda: g.create_dataset("traces", data=np.zeros((n, 2, 5), np.int8)),  # 3-D
        lambda: g.create_dataset("traces", data=np.zeros((n, 0), np.int8)),
        lambda: g.create_dataset("traces", data=np.zeros((0, 10), np.int8)),
        lambda: g.create_dataset("traces", data=np.zeros((n, 10), np.float16)),
        lambda: g.create_dataset("traces", data=np.zeros((n, 10), np.complex64)),
        lambda: g.create_dataset("traces", data=np.zeros((n, 10), bool)),
        lambda: g.create_dataset("traces", data=np.zeros((n, 10), "S4")),
        lambda: g.create_dataset("traces", (n,), dtype=h5py.string_dtype()),
        lambda: g.create_dataset("traces", (n,), dtype=h5py.vlen_dtype(np.int8)),
        lambda: g.create_dataset("traces", (n, 4), dtype=h5py.enum_dtype({"a": 0, "b": 1}, basetype="i1")),
        lambda: g.create_dataset("traces", (n, 4), dtype=h5py.ref_dtype),
        lambda: g.create_dataset("traces", data=np.zeros(n, ASCAD_FIELDS)),
        lambda: g.create_dataset("traces", (n, 10), "i1", chunks=(2, 10), maxshape=(None, 10)).resize(
            rnd.choice([n * 1000, 10 ** 12]), axis=0),  # claims chunks never written
        lambda: g.create_dataset("traces", (n * 1000, 10), "i1"),  # contiguous, never allocated
        lambda: g.__setitem__("traces", h5py.SoftLink("/Attack_traces/traces")),  # a loop
        lambda: g.__setitem__("traces", h5py.SoftLink("/nowhere")),
        lambda: g.__setitem__("traces", h5py.ExternalLink("/etc/hostname", "/x")),
        lambda: g.create_group("traces"),
    ])
    traces()
    fields = list(ASCAD_FIELDS.descr)
    change = rnd.randrange(10)
    if change == 0:
        fields = [f for f in fields if f[0] != rnd.choice(["plaintext", "key", "ciphertext"])]
    elif change == 1:
        i = rnd.randrange(3)
        fields[i] = (fields[i][0], rnd.choice(["<f4", "<i2", "|S16", "|b1"]), (16,))
    elif change == 2:
        i = rnd.randrange(3)
        fields[i] = (fields[i][0], "|u1", rnd.choice([(1,), (4, 4), (1000,), ()]))
    elif change == 3:
        fields.append(("nested", [("plaintext", "|u1", (16,))]))
    rows = rnd.choice([n, n, n, n, n - 1, n + 3, 0])
    meta = rnd.choice([lambda: g.create_dataset("metadata", data=np.zeros(rows, np.dtype(fields)))] * 4 + [
        lambda: g.create_dataset("metadata", data=np.zeros(rows, np.dtype(fields))),
        lambda: g.create_dataset("metadata", data=np.zeros((rows, 16), np.uint8)),  # not compound
        lambda: g.create_dataset("metadata", (rows * 1000,), dtype=np.dtype(fields), chunks=(4,),
                                 maxshape=(None,)),
        lambda: g.__setitem__("metadata", h5py.ExternalLink("/etc/hostname", "/m")),
        lambda: g.__setitem__("metadata", h5py.SoftLink("/Attack_traces/metadata")),
    ])
    meta()
    if rnd.random() < 0.5:
        g.create_dataset("labels", data=np.zeros(rnd.choice([n, n + 1, 1]), rnd.choice([np.uint8, np.int64])))
    if rnd.random() < 0.3:
        g["self"] = g  # a hard-link cycle
    if rnd.random() < 0.3:
        f.attrs["big"] = np.zeros(30000, np.uint8)
        f.attrs["text"] = "x" * 30000
    options = rnd.choice([{}, {}, {}, {"group": "Attack_traces"}, {"group": "Attack_traces/self"},
                          {"names": Names(inputs="metadata.key", key="metadata.plaintext")},
                          {"names": Names(traces="metadata.plaintext")}, {"names": Names(inputs="labels")}])
    return options


def test_hdf5_containers_with_hostile_content_raise_trace_file_error_or_read_consistently(tmp_path):
    rnd = random.Random(23)
    outcomes = {"read": 0, "refused": 0}
    for i in range(150):
        path = tmp_path / ("h%d.h5" % i)
        with h5py.File(path, "w") as f:
            options = hostile(rnd, f, rnd.choice([1, 5, 40]))
        try:
            read_everything(read_traces(str(path), **options))
            outcomes["read"] += 1
        except TraceFileError as e:
            assert str(e).startswith(str(path) + ": "), str(e)
            assert "\n" not in str(e)
            outcomes["refused"] += 1
    assert outcomes["read"] > 10 and outcomes["refused"] > 60, outcomes


NPY_HEADERS = [
    "{'descr': '<i2', 'fortran_order': False, 'shape': (99999999999, 10), }",
    "{'descr': '<i2', 'fortran_order': False, 'shape': (-4, 10), }",
    "{'descr': '<i2', 'fortran_order': False, 'shape': 12, }",
    "{'descr': '<i2', 'fortran_order': False, 'shape': (10,), }",
    "{'descr': '<i2', 'fortran_order': True, 'shape': (10, 4), }",
    "{'descr': '|O', 'fortran_order': False, 'shape': (8, 5), }",
    "{'descr': [('a', '|O'), ('b', '<i2')], 'fortran_order': False, 'shape': (8,), }",
    "{'descr': '<V16', 'fortran_order': False, 'shape': (5, 1), }",
    "{'descr': '<c8', 'fortran_order': False, 'shape': (10, 2), }",
    "{'descr': '|S8', 'fortran_order': False, 'shape': (10, 2), }",
    "{'descr': '>i2', 'fortran_order': False, 'shape': (10, 4), }",
    "{'descr': '<i2', 'fortran_order': 'yes', 'shape': (10, 4), }",
    "{'descr': '<i2', 'shape': (10, 4), }",
    "{'descr': '<i2', 'fortran_order': False, 'shape': (10, 4), 'extra': __import__('os'), }",
    "{'descr': '<i2', 'fortran_order': False, 'shape': ((((((((((1,),),),),),),),),),), }",
    "{'descr': '<i2', 'fortran_order': False, 'shape': (10, 4)" + " " * 20000 + "}",
    "[" * 500 + "]" * 500,
]


def npy(header, body, version=1):
    text = header.encode("latin1") + b"\n"
    if version == 1:
        return b"\x93NUMPY\x01\x00" + len(text).to_bytes(2, "little") + text + body
    return b"\x93NUMPY" + bytes((version, 0)) + len(text).to_bytes(4, "little") + text + body


def test_npy_headers_and_damage_raise_trace_file_error_or_read_consistently(tmp_path):
    rnd = random.Random(29)
    goods = {}
    for name, array in (("traces", np.arange(80, dtype=np.int16).reshape(10, 8)),
                        ("textin", np.arange(160, dtype=np.uint8).reshape(10, 16)),
                        ("keylist", np.zeros((10, 16), np.uint8))):
        np.save(tmp_path / (name + ".npy"), array)
        goods[name] = (tmp_path / (name + ".npy")).read_bytes()
    outcomes = {"read": 0, "refused": 0}
    for i in range(240):
        folder = tmp_path / ("n%d" % i)
        folder.mkdir()
        victim = rnd.choice(["traces", "traces", "textin", "keylist"])
        if i < 3 * len(NPY_HEADERS):
            data = npy(NPY_HEADERS[i % len(NPY_HEADERS)], bytes(rnd.choice([0, 80, 160, 800])),
                       version=1 + i // len(NPY_HEADERS))
        else:
            data = mutate(rnd, goods[victim])
        for name, good in goods.items():
            (folder / (name + ".npy")).write_bytes(data if name == victim else good)
        path = folder / "traces.npy"
        try:
            read_everything(read_traces(str(path)))
            outcomes["read"] += 1
        except TraceFileError as e:
            assert str(e).startswith(str(path) + ": ") and "\n" not in str(e), str(e)
            outcomes["refused"] += 1
    assert outcomes["read"] > 20 and outcomes["refused"] > 100, outcomes
