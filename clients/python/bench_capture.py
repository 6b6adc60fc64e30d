#!/usr/bin/env python3
"""Captures per second: Valdrix.capture against the naive loop, on one client.

    python3 bench_capture.py [--host H] [--port P] [--count N] [--samples N] [--sample-rate KHZ] [--rounds R]

The naive loop sends one request at a time: arm, the triggering SPI transfer,
status polls until the capture is complete, and one read-out per channel. The
capture call sends the arm, the transfer and the first status poll back to
back and both read-outs back to back. Both use a write-only transfer
(rx_len=0), so the service answers it without waiting for the bus. Rounds
alternate between the two so that drift on a shared machine hits both.
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
    elapsed = {"naive loop": 0.0, "Valdrix.capture": 0.0}
    ratios = []
    with Valdrix(args.host, args.port) as v:
        v.setup(samples=args.samples, sample_rate_khz=args.sample_rate)
        for _ in range(args.rounds):
            took = {}
            for name, run in (("naive loop", naive), ("Valdrix.capture", pipelined)):
                start = time.perf_counter()
                for _ in range(args.count):
                    run(v, tx, args.samples)
                took[name] = time.perf_counter() - start
                elapsed[name] += took[name]
            ratios.append(took["naive loop"] / took["Valdrix.capture"])
    total = args.count * args.rounds
    rates = {name: total / seconds for name, seconds in elapsed.items()}
    for name, rate in rates.items():
        print("%-16s %8.1f captures/s (%d captures of %d samples on 2 channels at %d kHz)"
              % (name, rate, total, args.samples, args.sample_rate))
    print("ratio            %8.2f (per round: median %.2f, %.2f to %.2f)"
          % (rates["Valdrix.capture"] / rates["naive loop"], statistics.median(ratios), min(ratios), max(ratios)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
