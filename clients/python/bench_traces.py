"""Trace-store benchmark: what a campaign of many traces costs to write and read.

    /usr/bin/python3 clients/python/bench_traces.py [--traces 1000000] [--samples 100] [--dir DIR]

For each format (TRS, .npz, zarr) it writes the set with ``append_arrays`` in
batches, against the floor of writing the same bytes to a file with one
``write`` per batch, and then reads it back: opening the set, one input, the
label codes and a chunked pass over every sample. Memory is the anonymous
resident memory (/proc/self/status RssAnon, so mapped file pages do not
count) and the peak of Python and numpy allocations (tracemalloc). The
"bytes objects" line is what one Python object per input and answer costs,
the way the reader used to work, measured in the same run.
"""

import argparse
import gc
import os
import shutil
import sys
import tempfile
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import numpy as np  # noqa: E402

from valdrix.traces import open_writer, read_traces  # noqa: E402


def rss_anon():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    return 0


def mib(n):
    return "%.1f MiB" % (n / 2 ** 20)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--traces", type=int, default=1_000_000)
    p.add_argument("--samples", type=int, default=100)
    p.add_argument("--batch", type=int, default=1000)
    p.add_argument("--dir", default=None, help="where to write (a temporary directory)")
    p.add_argument("--formats", default="trs,npz,zarr")
    a = p.parse_args()
    where = tempfile.mkdtemp(prefix="bench-traces-", dir=a.dir)
    rng = np.random.default_rng(1)
    k = a.batch
    waves = {1: rng.integers(-2000, 2000, (k, a.samples), dtype=np.int16)}
    tx = rng.integers(0, 256, (k, 16), dtype=np.uint8)
    rx = rng.integers(0, 256, (k, 16), dtype=np.uint8)
    labels = ["fixed" if i % 2 else "random" for i in range(k)]
    per_trace = 2 * a.samples + 32
    total = per_trace * a.traces
    print("%d traces of %d samples, 16+16 data bytes: %s per set" % (a.traces, a.samples, mib(total)))
    try:
        floor_path = os.path.join(where, "floor.bin")
        record = np.concatenate([tx, rx, waves[1].view(np.uint8)], axis=1)
        t0 = time.perf_counter()
        with open(floor_path, "wb") as f:
            for _ in range(0, a.traces, k):
                f.write(record)
        floor = total / (time.perf_counter() - t0)
        os.unlink(floor_path)
        print("floor: plain writes of the same bytes %.0f MB/s" % (floor / 1e6))
        for fmt in a.formats.split(","):
            path = os.path.join(where, "set." + fmt)
            t0 = time.perf_counter()
            with open_writer(path, {"sample_rate_khz": 48000}, labels=True) as w:
                for _ in range(0, a.traces, k):
                    w.append_arrays(waves, tx, rx, labels)
            rate = total / (time.perf_counter() - t0)
            print("%-4s write %.0f MB/s (%.2fx the floor), %.0f traces/s" % (fmt, rate / 1e6, rate / floor,
                                                                             rate / per_trace))
            gc.collect()
            base = rss_anon()
            tracemalloc.start()
            t0 = time.perf_counter()
            ts = read_traces(path)
            one = ts.tx[a.traces - 1]
            codes = ts.label_array
            opened = time.perf_counter() - t0
            peak_open = tracemalloc.get_traced_memory()[1]
            tracemalloc.reset_peak()
            t0 = time.perf_counter()
            s = 0
            for chunk in ts.chunks():
                s += int(chunk.waves[1].sum(dtype=np.int64))
            passed = time.perf_counter() - t0
            peak_pass = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            grown = rss_anon() - base
            assert len(one) == 16 and len(codes) == a.traces
            print("%-4s read: open + one input + label codes %.3f s, peak %s; chunked pass %.2f s (%.0f MB/s), "
                  "peak %s; anonymous memory grew %s" % (fmt, opened, mib(peak_open), passed, total / passed / 1e6,
                                                         mib(peak_pass), mib(grown)))
            del ts, codes, chunk
            if fmt != "trs":
                shutil.rmtree(path, ignore_errors=True) if os.path.isdir(path) else os.unlink(path)
        # What one bytes object per input and answer costs (the former reader).
        ts = read_traces(os.path.join(where, "set.trs"))
        gc.collect()
        base = rss_anon()
        t0 = time.perf_counter()
        objects = ([bytes(r) for r in ts.tx_array], [bytes(r) for r in ts.rx_array])
        built = time.perf_counter() - t0
        cost = rss_anon() - base
        print("bytes objects for tx and rx, one per trace: %s in %.2f s" % (mib(cost), built))
        del objects
    finally:
        shutil.rmtree(where, ignore_errors=True)


if __name__ == "__main__":
    main()
