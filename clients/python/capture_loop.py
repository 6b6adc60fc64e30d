#!/usr/bin/env python3
"""Capture loop: set up once, then capture traces triggered by an SPI transfer.

    python3 capture_loop.py [--host H] [--port P] [--count N] [--samples N]

Prints the number of traces captured per second. Against valdrixd-sim, channel B
shows the target's power draw with one pulse per byte it received over SPI.
Runs from a checkout as it is; with the package installed (pip install
clients/python) it runs from anywhere.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from valdrix import DEFAULT_PORT, Valdrix  # noqa: E402


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT)
    parser.add_argument("--count", type=int, default=200, help="traces to capture")
    parser.add_argument("--samples", type=int, default=4096, help="samples per trace")
    args = parser.parse_args(argv)

    with Valdrix(args.host, args.port) as v:
        # Supply and clock on first: the target answers only while powered and clocked.
        v.setup(voltage_mv=3300, clock_khz=24000, sample_rate_khz=48000, samples=args.samples, bus="spi")
        start = time.monotonic()
        peak_b = 0
        for i in range(args.count):
            trace = v.capture(bytes([i & 0xFF, 0x5A, 0xC3, 0xFF]), rx_len=4, timeout=1.0)
            peak_b = max(peak_b, max(trace.waves[2]))
        elapsed = time.monotonic() - start

    print("%d traces of %d samples on both channels in %.2f s: %.1f traces/s (channel B peak %d)"
          % (args.count, args.samples, elapsed, args.count / elapsed, peak_b))


if __name__ == "__main__":
    main()
