#!/usr/bin/env python3
"""Captures per second: Valdrix.capture against the naive loop.

    python3 bench_capture.py [--host H] [--port P] [--count N] [--samples N] [--sample-rate KHZ] [--rounds R]

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
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

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


def main(argv=None) -> int:
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
