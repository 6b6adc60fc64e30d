#!/usr/bin/env python3
"""Capture loop: arm, trigger over SPI, wait for the capture, read both channels.

    python3 capture_loop.py [--host H] [--port P] [--count N] [--samples N]

Prints the number of traces captured per second. Against valdrixd-sim, channel B
shows the target's power draw with one pulse per byte it received over SPI.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from valdrix import DEFAULT_PORT, TRIGGER_COMPLETE, Valdrix  # noqa: E402


def capture(v, data, samples, poll_limit=1000):
    v.osc_set_single()
    v.spi_transceive(data, rx_len=len(data), is_trigger=1)
    for _ in range(poll_limit):
        if v.osc_get_trigger_status() == TRIGGER_COMPLETE:
            break
    else:
        raise RuntimeError("no capture after %d status polls" % poll_limit)
    return v.osc_get_channel_wave(1, 0, samples), v.osc_get_channel_wave(2, 0, samples)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=DEFAULT_PORT)
    parser.add_argument("--count", type=int, default=200, help="traces to capture")
    parser.add_argument("--samples", type=int, default=4096, help="samples per trace")
    args = parser.parse_args(argv)

    with Valdrix(args.host, args.port) as v:
        v.nut_set_voltage_value(3300)
        v.nut_set_voltage_enable(1)
        v.nut_set_clock(24000)
        v.nut_clock_enable(1)
        v.osc_set_sample_rate(48000)
        v.osc_set_sample_length(args.samples)
        v.spi_config(4, 0, 0)
        v.spi_enable(1)

        start = time.monotonic()
        peak_b = 0
        for i in range(args.count):
            data = bytes([i & 0xFF, 0x5A, 0xC3, 0xFF])
            _, b = capture(v, data, args.samples)
            peak_b = max(peak_b, max(b))
        elapsed = time.monotonic() - start

    print("%d traces of %d samples on both channels in %.2f s: %.1f traces/s (channel B peak %d)"
          % (args.count, args.samples, elapsed, args.count / elapsed, peak_b))


if __name__ == "__main__":
    main()
