#!/usr/bin/env python3
"""Speed and memory of valdrix-analyze on large trace sets, as same-run ratios.

    /usr/bin/python3 clients/python/bench_analysis.py [--dir /tmp] [--tvla-traces 300000] [--cpa-traces 100000]

Writes two TRS sets into a temporary directory under --dir (deleted at the end):
a labelled fixed-versus-random set of 2,000 samples per trace for the t-test and
a set of 4,096 samples with random plaintexts for the CPA. Then, with the files
in the page cache:

- the floor: numpy summing every sample of the t-test set once into int64
  (one thread, chunk by chunk over the memory-mapped file);
- `valdrix-analyze tvla` (order 1 and order 2), `valdrix-analyze snr` (all 16
  plaintext bytes in one pass) and `valdrix-analyze cpa` as child processes,
  timed less the start-up of `valdrix-analyze --help`, their peak anonymous
  memory (RssAnon, polled) recorded. The SNR runs over the t-test set's
  random half and fixed half alike, as a campaign of 2,000-sample traces.

Prints each figure, its ratio to the floor and the targets: order-1 t-test at
least 0.5x the floor with at most 256 MiB anonymous memory; order 2 at least
0.4x; the SNR of 16 bytes at least 0.5x; CPA at least 20,000 traces/s and at
least 1/16 of the floor in samples/s. The compiled kernel valdrix._kernels is
used where it is importable (installed, or the CMake build's
build/tests/python-kernels on PYTHONPATH); the script says which.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from valdrix import Trace, analysis  # noqa: E402
from valdrix.analysis import engine  # noqa: E402
from valdrix.traces import TrsWriter, read_traces  # noqa: E402

BLOCK = 4096


def write_set(path: str, n: int, samples: int, labelled: bool, seed: int) -> None:
    rng = np.random.default_rng(seed)
    key = bytes(range(16))
    fixed_pt = rng.integers(0, 256, 16, dtype=np.uint8)
    with TrsWriter(path, {"sample_rate_khz": 48000}, labels=labelled) as w:
        for start in range(0, n, BLOCK):
            k = min(BLOCK, n - start)
            pts = rng.integers(0, 256, size=(k, 16), dtype=np.uint8)
            groups = rng.integers(0, 2, size=k) if labelled else np.ones(k, dtype=np.int64)
            pts[groups == 0] = fixed_pt
            x = rng.integers(-300, 300, size=(k, samples), dtype=np.int16)
            for b in range(16):
                x[:, 256 + 8 * b] += 40 * analysis.HW[analysis.SBOX[pts[:, b] ^ key[b]]].astype(np.int16)
            for i in range(k):
                w.append(Trace(waves={2: x[i]}, tx=pts[i].tobytes(), rx=b"",
                               label=("fixed" if groups[i] == 0 else "random") if labelled else ""))


def warm(path: str) -> None:
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass


def floor(path: str) -> float:
    """Seconds numpy takes to sum every sample of the set once into int64."""
    waves = read_traces(path).waves[2]
    total = np.zeros(waves.shape[1], dtype=np.int64)
    t0 = time.perf_counter()
    for a in range(0, waves.shape[0], BLOCK):
        total += waves[a:a + BLOCK].sum(axis=0, dtype=np.int64)
    return time.perf_counter() - t0


def run(args, env) -> tuple:
    """Wall time and peak RssAnon (bytes) of a child process."""
    t0 = time.perf_counter()
    proc = subprocess.Popen(args, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    peak = 0
    status = "/proc/%d/status" % proc.pid
    while proc.poll() is None:
        try:
            with open(status) as f:
                for line in f:
                    if line.startswith("RssAnon:"):
                        peak = max(peak, int(line.split()[1]) * 1024)
        except OSError:
            pass
        time.sleep(0.01)
    elapsed = time.perf_counter() - t0
    out, err = proc.communicate()
    if proc.returncode not in (0,):
        sys.exit("bench_analysis: %s failed (%d): %s" % (" ".join(args), proc.returncode, err.strip()))
    return elapsed, peak, out


def in_process(path: str, kind: str) -> float:
    t0 = time.perf_counter()
    acc = analysis.analyze(path, kind)
    acc.t() if kind == "tvla" else acc.key()
    return time.perf_counter() - t0


def load() -> str:
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", default=tempfile.gettempdir(), help="where the sets are written (/tmp)")
    parser.add_argument("--tvla-traces", type=int, default=300_000)
    parser.add_argument("--cpa-traces", type=int, default=100_000)
    parser.add_argument("--repeat", type=int, default=3, help="best of this many runs of each (3)")
    a = parser.parse_args()
    work = tempfile.mkdtemp(prefix="valdrix-bench-", dir=a.dir)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    tool = [sys.executable, "-m", "valdrix.analyze"]
    try:
        print("kernel: %s; %d cores; load average before: %s" % (
            "compiled" if analysis.kernels_available() else "numpy only (no compiled kernel found)",
            engine.threads(), load()))
        tvla_path, cpa_path = os.path.join(work, "tvla.trs"), os.path.join(work, "cpa.trs")
        t0 = time.perf_counter()
        write_set(tvla_path, a.tvla_traces, 2000, True, 1)
        write_set(cpa_path, a.cpa_traces, 4096, False, 2)
        print("sets written in %.0f s: %s (%.2f GB), %s (%.2f GB)" % (
            time.perf_counter() - t0, tvla_path, os.path.getsize(tvla_path) / 1e9, cpa_path,
            os.path.getsize(cpa_path) / 1e9))
        warm(tvla_path)
        warm(cpa_path)

        startup = min(run(tool + ["--help"], env)[0] for _ in range(3))
        floor_s = min(floor(tvla_path) for _ in range(a.repeat))
        floor_rate = a.tvla_traces * 2000 / floor_s
        print("start-up (valdrix-analyze --help): %.3f s" % startup)
        print("floor, numpy sum into int64: %.3f s = %.2f G samples/s" % (floor_s, floor_rate / 1e9))

        figures = []

        def child(label, args, traces, samples, target):
            runs = [run(tool + args + ["--json", os.devnull], env) for _ in range(a.repeat)]
            seconds = min(r[0] for r in runs) - startup
            memory = max(r[1] for r in runs)
            ratio = traces * samples / seconds / floor_rate
            print("%s, %d x %d: %.3f s = %.2f G samples/s = %.2fx the floor (target >= %s); peak anonymous memory "
                  "%.0f MiB" % (label, traces, samples, seconds, traces * samples / seconds / 1e9, ratio,
                                target, memory / 2 ** 20))
            print("  verdict: %s" % runs[0][2].strip().splitlines()[-1])
            figures.append((label, ratio, target))
            return seconds, memory, ratio

        _, tvla_mem, _ = child("tvla order 1", ["tvla", tvla_path], a.tvla_traces, 2000, 0.5)
        inside = min(in_process(tvla_path, "tvla") for _ in range(a.repeat))
        print("  the same inside one process (analyze() and t(), no start-up): %.3f s = %.2fx the floor"
              % (inside, floor_s / inside))
        child("tvla order 2", ["tvla", tvla_path, "--order", "2"], a.tvla_traces, 2000, 0.4)
        child("snr of 16 bytes in one pass", ["snr", tvla_path], a.tvla_traces, 2000, 0.5)

        cpa = [run(tool + ["cpa", cpa_path, "--json", os.devnull], env) for _ in range(a.repeat)]
        cpa_s = min(r[0] for r in cpa) - startup
        cpa_mem = max(r[1] for r in cpa)
        cpa_traces = a.cpa_traces / cpa_s
        cpa_rate = a.cpa_traces * 4096 / cpa_s
        print("cpa 16 bytes x 256 guesses, %d x 4096: %.3f s = %.0f traces/s (target >= 20000) = %.3fx the floor "
              "in samples/s (target >= 1/16 = 0.0625); peak anonymous memory %.0f MiB"
              % (a.cpa_traces, cpa_s, cpa_traces, cpa_rate / floor_rate, cpa_mem / 2 ** 20))
        print("  verdict: %s" % cpa[0][2].strip().splitlines()[-1])
        inside = min(in_process(cpa_path, "cpa") for _ in range(a.repeat))
        print("  the same inside one process (analyze() and key(), no start-up): %.3f s = %.0f traces/s = %.3fx "
              "the floor" % (inside, a.cpa_traces / inside, a.cpa_traces * 4096 / inside / floor_rate))
        print("load average after: %s" % load())
        ok = all(ratio >= target for _, ratio, target in figures) and tvla_mem <= 256 * 2 ** 20 and \
            cpa_traces >= 20000 and cpa_rate / floor_rate >= 1 / 16
        print("targets %s" % ("met" if ok else "NOT met"))
        return 0 if ok else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
