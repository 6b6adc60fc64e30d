"""valdrix-capture's speed next to valdrix-bench campaign's, in one run.

    python3 -m valdrix.bench_capture --bench build/bin/valdrix-bench --sim build/bin/valdrixd-sim

Starts a valdrixd-sim of its own, then takes, in this order: the C++
benchmark's batched campaign (loopback and through its link emulator),
valdrix-capture to a TRS file and to a zarr store on loopback and through
``valdrix-bench proxy`` with the same link, and the benchmark once more.
Each capture's traces/s is printed over the mean of the two benchmark
figures of its path: the ratio is what counts, since the machine's load
moves every absolute figure. The campaign is the benchmark's: 4096 samples
on both channels at 48 MHz, 16 input and 16 answer bytes over SPI at
10 MHz, a 24 MHz target clock.

Exit status 0 when every run completed (whatever the ratios), 1 when one
failed, 2 for bad arguments.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from typing import Dict, List, Optional, Sequence

__all__ = ["main"]

PROG = "valdrix-bench-capture"
#: The ratio valdrix-capture is meant to reach.
TARGET = 0.9
_CAPTURE_ARGS = ("--clock", "24000", "--samples", "4096", "--tx", "random:16", "--rx-len", "16", "--seed", "1")
_ROW = re.compile(r"^(loopback|link)\s+batched, \d+ a request\s+(\d+)\s")
_RATE = re.compile(r"\(([\d.]+) traces/s\)")


class BenchFailed(Exception):
    pass


def _free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _listening(port: int, proc: subprocess.Popen, what: str) -> None:
    deadline = time.monotonic() + 20
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return
        except OSError:
            if proc.poll() is not None or time.monotonic() > deadline:
                raise BenchFailed("%s did not listen on port %d" % (what, port)) from None
            time.sleep(0.05)


def _stop(proc: Optional[subprocess.Popen]) -> None:
    if proc is not None and proc.poll() is None:
        proc.send_signal(signal.SIGINT)
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def bench_rates(bench: str, port: int, seconds: float, link: Sequence[str]) -> Dict[str, float]:
    """valdrix-bench campaign's batched traces/s per path (loopback, link)."""
    run = subprocess.run([bench, "campaign", "--port", str(port), "-d", str(seconds), "--memory-mib", "0", *link],
                         capture_output=True, text=True, timeout=60 + 8 * seconds)
    rates = {m.group(1): float(m.group(2)) for m in map(_ROW.match, run.stdout.splitlines()) if m}
    if run.returncode != 0 or "loopback" not in rates:
        raise BenchFailed("valdrix-bench campaign: %s" % (run.stderr.strip() or run.stdout.strip()
                                                          or "exit %d" % run.returncode).splitlines()[-1])
    return rates


def capture_rate(port: int, count: int, output: str) -> float:
    """valdrix-capture's traces/s for ``count`` traces written to ``output``."""
    run = subprocess.run([sys.executable, "-m", "valdrix.capture", "--port", str(port), "--count", str(count),
                          *_CAPTURE_ARGS, "-o", output], capture_output=True, text=True, timeout=600)
    found = _RATE.search(run.stdout)
    if run.returncode != 0 or not found:
        raise BenchFailed("valdrix-capture -o %s: %s" % (os.path.basename(output),
                                                        (run.stderr.strip() or "exit %d" % run.returncode)))
    return float(found.group(1))


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.split("\n\n")[0])
    parser.add_argument("--bench", default=os.path.join("build", "bin", "valdrix-bench"),
                        help="the valdrix-bench executable (build/bin/valdrix-bench)")
    parser.add_argument("--sim", default=os.path.join("build", "bin", "valdrixd-sim"),
                        help="the valdrixd-sim executable (build/bin/valdrixd-sim)")
    parser.add_argument("-d", type=float, default=3.0, dest="seconds", metavar="S",
                        help="length of each benchmark run, and about that of each capture (3)")
    parser.add_argument("--rtt-ms", type=float, default=0.2, help="the emulated link's round trip (0.2)")
    parser.add_argument("--rate-mbit", type=float, default=1000.0, help="the emulated link's rate (1000)")
    parser.add_argument("--no-link", action="store_true", help="loopback only")
    args = parser.parse_args(argv)
    if not 0 < args.seconds <= 120:
        parser.error("-d takes 0..120 seconds")
    for path in (args.bench, args.sim):
        if not os.access(path, os.X_OK):
            parser.error("%s is not an executable" % path)
    link = ["--no-link"] if args.no_link else ["--rtt-ms", str(args.rtt_ms), "--rate-mbit", str(args.rate_mbit)]
    sim = proxy = None
    work = tempfile.mkdtemp(prefix="valdrix-bench-capture.")
    try:
        port = _free_port()
        sim = subprocess.Popen([args.sim, "--port", str(port)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _listening(port, sim, "valdrixd-sim")
        ports = {"loopback": port}
        if not args.no_link:
            ports["link"] = _free_port()
            proxy = subprocess.Popen([args.bench, "proxy", "--listen", str(ports["link"]), "--to",
                                      "127.0.0.1:%d" % port, "--rtt-ms", str(args.rtt_ms), "--rate-mbit",
                                      str(args.rate_mbit)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            _listening(ports["link"], proxy, "valdrix-bench proxy")
        load = os.getloadavg()[0]
        before = bench_rates(args.bench, port, args.seconds, link)
        captured: Dict[str, Dict[str, float]] = {}
        for path, at in ports.items():
            count = max(1000, int(before.get(path, 1000) * args.seconds))
            for kind in ("trs", "zarr"):
                out = os.path.join(work, "%s.%s" % (path, kind))
                captured.setdefault(path, {})[kind] = capture_rate(at, count, out)
                shutil.rmtree(out, ignore_errors=True) if kind == "zarr" else os.unlink(out)
        after = bench_rates(args.bench, port, args.seconds, link)
    except (BenchFailed, OSError, subprocess.TimeoutExpired) as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return 1
    finally:
        _stop(proxy)
        _stop(sim)
        shutil.rmtree(work, ignore_errors=True)
    print("valdrix-capture next to valdrix-bench campaign (batched) in one run; load average %.2f at the start, "
          "%.2f at the end, on %d cores" % (load, os.getloadavg()[0], os.cpu_count() or 0))
    print("%-9s %-5s %16s %26s %7s  %s" % ("path", "file", "capture traces/s", "bench traces/s (before/after)",
                                           "ratio", "target %.1fx" % TARGET))
    for path, kinds in captured.items():
        bench = (before[path] + after[path]) / 2
        for kind, rate in kinds.items():
            ratio = rate / bench if bench else 0.0
            print("%-9s %-5s %16.0f %17.0f (%.0f/%.0f) %6.2fx  %s"
                  % (path, kind, rate, bench, before[path], after[path], ratio, "met" if ratio >= TARGET else "below"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
