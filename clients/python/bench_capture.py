#!/usr/bin/env python3
"""Captures per second: Valdrix.capture against the naive loop, and
valdrix-capture's campaigns against valdrix-bench's.

    python3 bench_capture.py [--host H] [--port P] [--count N] [--samples N] [--sample-rate KHZ] [--rounds R]
    python3 bench_capture.py campaign [--bench build/bin/valdrix-bench] [--sim build/bin/valdrixd-sim] [-d S]

The naive loop sends one request at a time: arm, the triggering SPI transfer,
status polls until the capture is complete, and one read-out per channel. The
capture call sends the arm, the transfer and the first status poll back to
back and both read-outs back to back. Both use a write-only transfer
(rx_len=0), so the service answers it without waiting for the bus. Rounds
alternate between the methods so that drift on a shared machine hits all.

"fresh client" is Valdrix.capture on a second client that never called
setup(): it does not know the sample rate, so it must learn the fill from
the captures it sees rather than wait a guessed one. "capture_batch" takes 64
traces per call where the instrument has batch capture.

"campaign" starts a valdrixd-sim of its own and takes, in this order:
valdrix-bench campaign's batched figure (loopback and through its link
emulator), valdrix-capture to a TRS file and to a zarr store on loopback and
through valdrix-bench proxy with the same link, and the benchmark once more.
Each capture's traces/s is printed over the mean of the two benchmark
figures of its path: the ratio is what counts, since the machine's load
moves every absolute figure. The campaign is the benchmark's: 4096 samples
on both channels at 48 MHz, 16 input and 16 answer bytes over SPI at 10 MHz,
a 24 MHz target clock. Exit status 0 when every run completed (whatever the
ratios), 1 when one failed, 2 for bad arguments.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Dict, List, Optional, Sequence

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from valdrix import TRIGGER_COMPLETE, Valdrix  # noqa: E402


def naive(v: Valdrix, tx: bytes, samples: int) -> None:
    v.osc_set_single()
    v.spi_transceive(tx, rx_len=0, is_trigger=1)
    while v.osc_get_trigger_status() != TRIGGER_COMPLETE:
        pass
    v.osc_get_channel_wave(1, 0, samples)
    v.osc_get_channel_wave(2, 0, samples)


def pipelined(v: Valdrix, tx: bytes, samples: int) -> None:
    v.capture(tx, rx_len=0, samples=samples)


def batched(v: Valdrix, tx: bytes, samples: int, size: int = 64) -> int:
    if v.batch_info() is None:
        return 0
    v.capture_batch([tx] * size, rx_len=0, samples=samples)
    return size


# Each method captures one trace per call, or as many as it returns.
METHODS = (("naive loop", naive), ("Valdrix.capture", pipelined), ("fresh client", pipelined),
           ("capture_batch", batched))


CAMPAIGN_DOC = "valdrix-capture's traces/s to TRS and zarr over valdrix-bench campaign's batched figure, in one run."
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
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, (HERE, os.environ.get("PYTHONPATH")))))
    run = subprocess.run([sys.executable, "-m", "valdrix.capture", "--port", str(port), "--count", str(count),
                          *_CAPTURE_ARGS, "-o", output], capture_output=True, text=True, timeout=600, env=env)
    found = _RATE.search(run.stdout)
    if run.returncode != 0 or not found:
        raise BenchFailed("valdrix-capture -o %s: %s" % (os.path.basename(output),
                                                        (run.stderr.strip() or "exit %d" % run.returncode)))
    return float(found.group(1))


def campaign_main(argv: List[str]) -> int:
    parser = argparse.ArgumentParser(prog="bench_capture.py campaign", description=CAMPAIGN_DOC)
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
        print("bench_capture.py campaign: %s" % e, file=sys.stderr)
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



def main(argv=None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["campaign"]:
        return campaign_main(argv[1:])
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=9761)
    parser.add_argument("--count", type=int, default=200, help="captures per round and method")
    parser.add_argument("--samples", type=int, default=4096)
    parser.add_argument("--sample-rate", type=int, default=48000, help="kHz; a capture fills for samples / rate")
    parser.add_argument("--rounds", type=int, default=10)
    args = parser.parse_args(argv)

    tx = bytes(range(16))
    elapsed = {name: 0.0 for name, _ in METHODS}
    captured = {name: 0 for name, _ in METHODS}
    ratios = {name: [] for name, _ in METHODS[1:]}
    with Valdrix(args.host, args.port) as v, Valdrix(args.host, args.port) as fresh:
        v.setup(samples=args.samples, sample_rate_khz=args.sample_rate)
        clients = {"naive loop": v, "Valdrix.capture": v, "fresh client": fresh, "capture_batch": v}
        for _ in range(args.rounds):
            rate = {}
            for name, run in METHODS:
                start = time.perf_counter()
                n = 0
                while n < args.count:
                    got = run(clients[name], tx, args.samples)
                    if got == 0:
                        break
                    n += 1 if got is None else got
                took = time.perf_counter() - start
                elapsed[name] += took
                captured[name] += n
                rate[name] = n / took
            for name in ratios:
                ratios[name].append(rate[name] / rate["naive loop"])
    rates = {name: captured[name] / seconds for name, seconds in elapsed.items() if captured[name]}
    for name, rate in rates.items():
        print("%-16s %8.1f captures/s (%d captures of %d samples on 2 channels at %d kHz)"
              % (name, rate, captured[name], args.samples, args.sample_rate))
    for name, per_round in ratios.items():
        if name not in rates:
            continue
        print("%-16s %8.2f x the naive loop (per round: median %.2f, %.2f to %.2f)"
              % (name, rates[name] / rates["naive loop"], statistics.median(per_round), min(per_round),
                 max(per_round)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
