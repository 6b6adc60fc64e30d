"""valdrix-capture: runs a capture campaign and writes its traces to a file.

    valdrix-capture --count 10000 --tx random:16 -o traces.trs

Applies the set-up (supply, clocks, sample rate and length, trigger, gains,
the bus) before the first capture, then captures ``--count`` traces, each
with its input sent over ``--bus`` with the trigger bit, many per request
where the instrument has batch capture. TRS and zarr files are written as
the campaign runs; .npz files when it ends. Every setting, the instrument's
identity and the times go into the file's metadata. A broken connection is
opened again for up to ``--reconnect-wait`` seconds and the traces in flight
are captured again; ``--resume`` continues a campaign cut short. The
campaign itself is ``valdrix.campaign.Campaign``.

Exit statuses: 0 done; 1 a local file could not be read or written; 2 usage;
3 Busy, 4 TimeOut, 5 Unsupport, 6 InternalError (the service's answer);
7 connection failure; 8 no answer within the time-out; 9 invalid response;
10 a capture missed its trigger more often than --retries allows;
130 interrupted (the file holds every whole trace captured until then). A
failure's message says how many traces the file holds.
"""

from __future__ import annotations

import argparse
import os
import signal
import socket
import sys
from typing import Any, Callable, List, Optional, Tuple

from . import __version__
from ._process import keep_freed_memory
from .campaign import Campaign, CampaignOptions, GaveUp, UsageError, summary_line
from .codes import CLOCK_KHZ, DEFAULT_PORT, TriggerEdge, TriggerMode, TriggerSource, parse_code
from .errors import CaptureTimeout, FramingError, ValdrixError

__all__ = ["main", "EXIT", "build_parser"]

PROG = "valdrix-capture"

#: Exit status of each kind of failure.
EXIT = {
    "ok": 0, "file": 1, "usage": 2, "Busy": 3, "TimeOut": 4, "Unsupport": 5, "InternalError": 6,
    "connection": 7, "no answer": 8, "invalid response": 9, "capture timeout": 10, "interrupted": 130,
}


def _int(text: str) -> int:
    return int(text, 0)


def _code(enum: type) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            return parse_code(enum, text)
        except ValueError as e:
            raise argparse.ArgumentTypeError(str(e)) from None

    parse.__name__ = enum.__name__
    return parse


def _channels(text: str) -> Tuple[int, ...]:
    try:
        channels = tuple(sorted({int(c) for c in text.split(",") if c.strip()}))
    except ValueError:
        raise argparse.ArgumentTypeError("channels are 1 and/or 2, e.g. 1,2") from None
    if not channels or any(c not in (1, 2) for c in channels):
        raise argparse.ArgumentTypeError("channels are 1 and/or 2, e.g. 1,2")
    return channels


def build_parser() -> argparse.ArgumentParser:
    """The command line of valdrix-capture, every option with its default."""
    d = CampaignOptions()
    parser = argparse.ArgumentParser(
        prog=PROG, description=__doc__.split("\n\n")[0].split(": ", 1)[1],
        epilog="Codes: trigger source N (force and bus trigger only), A, B, P; mode E (edge), P; edge U (rising), "
               "D (falling), E (either). Exit statuses: 0 done, 1 file, 2 usage, 3 Busy, 4 TimeOut, 5 Unsupport, "
               "6 InternalError, 7 connection, 8 no answer, 9 invalid response, 10 missed trigger, 130 interrupted.")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    net = parser.add_argument_group("connection")
    net.add_argument("--host", default=d.host, help="instrument address (default 127.0.0.1)")
    net.add_argument("--port", type=int, default=d.port, help="TCP port (default %d)" % DEFAULT_PORT)

    s = parser.add_argument_group("set-up, applied before the first capture")
    s.add_argument("--voltage", type=int, default=d.voltage, metavar="MV", help="target supply, 2000..4100 mV (3300)")
    s.add_argument("--no-power", action="store_true", help="leave the target supply off")
    s.add_argument("--clock", type=int, default=d.clock, choices=CLOCK_KHZ, metavar="KHZ",
                   help="target clock in kHz: %s (4000)" % ", ".join(map(str, CLOCK_KHZ)))
    s.add_argument("--no-clock", action="store_true", help="leave the target clock gated off")
    s.add_argument("--sample-rate", type=int, default=d.sample_rate, choices=CLOCK_KHZ, metavar="KHZ",
                   help="sample rate in kHz, same table (48000)")
    s.add_argument("--samples", type=_int, default=d.samples, metavar="N", help="samples per trace and channel (4096)")
    s.add_argument("--phase", type=int, default=d.phase, metavar="DEG", help="sample clock phase in degrees (0)")
    s.add_argument("--trigger-source", type=_code(TriggerSource), default=d.trigger_source, metavar="N|A|B|P",
                   help="trigger source (N)")
    s.add_argument("--trigger-mode", type=_code(TriggerMode), default=d.trigger_mode, metavar="E|P",
                   help="trigger mode (E)")
    s.add_argument("--trigger-edge", type=_code(TriggerEdge), default=d.trigger_edge, metavar="U|D|E",
                   help="trigger edge (U)")
    s.add_argument("--trigger-level", type=_int, default=d.trigger_level, metavar="V",
                   help="trigger level, a signed sample value -32768..32767 (0)")
    s.add_argument("--trigger-delay", type=_int, default=d.trigger_delay, metavar="N",
                   help="delay in sample-clock periods (0)")
    s.add_argument("--gain-a", type=int, default=d.gain_a, metavar="PCT", help="channel A gain, 0..100 %% (100)")
    s.add_argument("--gain-b", type=int, default=d.gain_b, metavar="PCT", help="channel B gain, 0..100 %% (100)")
    s.add_argument("--spi-psc", type=_int, default=d.spi_psc, metavar="N", help="SPI clock 50 MHz / (N + 1) (4)")
    s.add_argument("--spi-cpol", type=int, default=d.spi_cpol, choices=(0, 1), help="SPI clock polarity (0)")
    s.add_argument("--spi-cpha", type=int, default=d.spi_cpha, choices=(0, 1), help="SPI clock phase (0)")
    s.add_argument("--i2c-addr", type=_int, default=d.i2c_addr, metavar="ADDR", help="I2C target address (0x50)")
    s.add_argument("--i2c-speed", type=int, default=d.i2c_speed, choices=range(5), metavar="0..4",
                   help="I2C speed code: 100 kHz, 400 kHz, 1 MHz, 3.4 MHz, 5 MHz (1)")
    s.add_argument("--uart-baud", type=int, default=d.uart_baud, metavar="BAUD", help="UART baud rate (115200)")
    s.add_argument("--uart-bytesize", type=int, default=d.uart_bytesize, choices=range(5, 9), metavar="5..8",
                   help="UART data bits (8)")
    s.add_argument("--uart-parity", type=int, default=d.uart_parity, choices=range(5), metavar="0..4",
                   help="UART parity code: none, odd, even, mark, space (0)")
    s.add_argument("--uart-stop-bits", type=int, default=d.uart_stop_bits, choices=range(3), metavar="0..2",
                   help="UART stop-bit code: 1, 1.5, 2 (0)")

    c = parser.add_argument_group("campaign")
    c.add_argument("--count", type=_int, default=d.count, metavar="N",
                   help="traces to capture (100; a file:PATH input defaults to its line count)")
    c.add_argument("--channels", type=_channels, default=d.channels, help="channels to keep: 1, 2 or 1,2 (1,2)")
    c.add_argument("--tx", default=d.tx, metavar="random:N|hex:BYTES|file:PATH",
                   help="input of each trace: N random bytes, the same bytes each time, or one hex line per "
                        "trace (random:16; nothing with --bus none)")
    c.add_argument("--rx-len", type=_int, default=d.rx_len, metavar="N", help="bytes to read back per trace (0)")
    c.add_argument("--bus", default=d.bus, choices=("spi", "i2c", "uart", "none"),
                   help="bus the input goes over with the trigger bit; none forces the trigger (spi)")
    c.add_argument("--timeout", type=float, default=d.timeout, metavar="S",
                   help="seconds a capture may take to complete (1.0)")
    c.add_argument("--retries", type=_int, default=d.retries, metavar="N",
                   help="times a capture that missed its trigger is retried (0)")
    c.add_argument("--tvla", action="store_true",
                   help="interleave a fixed input with random ones (coin flip per trace); each trace is "
                        "labelled fixed or random in the file")
    c.add_argument("--fixed", default=d.fixed, metavar="HEX",
                   help="the fixed input of --tvla (default: the first random input)")
    c.add_argument("--seed", type=_int, default=d.seed, metavar="N",
                   help="seed of the random inputs (default: from the clock; recorded in the file)")
    c.add_argument("-o", "--output", default=d.output, metavar="FILE",
                   help="trace file: .trs or .zarr (written as the campaign runs) or .npz; none: capture only")
    c.add_argument("--batch", default=d.batch, metavar="N|auto",
                   help="traces per request where the instrument has batch capture; auto sizes each answer to a "
                        "few MiB; 1 sends one request sequence per trace (auto)")
    c.add_argument("--reconnect-wait", type=float, default=d.reconnect_wait, metavar="S",
                   help="seconds to keep trying to reconnect after the connection broke; the set-up is applied "
                        "again and the traces in flight are captured again (30)")
    c.add_argument("--resume", action="store_true",
                   help="continue the interrupted campaign of the -o file (.trs or .zarr) up to its count, with "
                        "the settings its metadata holds")
    parser.set_defaults(progress=d.progress)
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    """Runs valdrix-capture with ``argv`` (default: the command line); returns the exit status."""
    keep_freed_memory()
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.count is not None and args.count < 0:
        parser.error("--count must not be negative")
    args.progress = sys.stderr.isatty()

    def fail(status: str, message: str) -> int:
        print("%s: %s" % (PROG, message), file=sys.stderr)
        return EXIT[status]

    try:
        campaign = Campaign(CampaignOptions(**vars(args)))
    except UsageError as e:
        parser.error(str(e))
    except OSError as e:
        return fail("file", "%s: %s" % (e.filename, e.strerror) if e.filename else str(e))
    except ValueError as e:  # a file to resume that is no trace file
        return fail("file", str(e))
    except ImportError as e:
        return fail("usage", str(e))
    args = campaign.args
    if args.resume and campaign.saved >= campaign.count:
        campaign._writer.abort()  # leaves the set as it is
        print("%s: %s already holds all %d traces of its campaign; nothing to resume"
              % (PROG, args.output, campaign.count), file=sys.stderr)
        return EXIT["ok"]

    def held() -> str:
        if not args.output or not (campaign.saved or os.path.exists(args.output)):
            return ""
        return " (%s holds %d of %d traces)" % (args.output, campaign.saved, campaign.count)

    def interrupt(signum: int, frame: Any) -> None:
        if campaign.finishing:  # the file is being completed: let it be
            return
        if campaign.stopping:  # a second Ctrl-C stops at once
            raise KeyboardInterrupt
        campaign.stop()

    previous = {sig: signal.signal(sig, interrupt) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        result = campaign.run()
    except UsageError as e:
        parser.error(str(e))
    except CaptureTimeout as e:
        return fail("capture timeout", "capture timeout: %s (after %d retr%s)%s"
                    % (e.message, args.retries, "y" if args.retries == 1 else "ies", held()))
    except FramingError as e:
        return fail("invalid response", "invalid response: %s%s" % (e.message, held()))
    except ValdrixError as e:
        return fail(e.status_name, "%s (status 0x%04X): %s%s" % (e.status_name, e.status, e.message, held()))
    except KeyboardInterrupt:
        return fail("interrupted", "interrupted%s" % held())
    except GaveUp as e:
        return fail("connection", "connection to %s:%d: %s%s" % (args.host, args.port, e, held()))
    except socket.timeout as e:
        return fail("no answer", "%s%s" % (e, held()))
    except OSError as e:
        if isinstance(e, (socket.gaierror, socket.herror, ConnectionError)) or e.filename is None:
            return fail("connection", "connection to %s:%d: %s%s" % (args.host, args.port, e, held()))
        return fail("file", "%s: %s%s" % (e.filename, e.strerror or e, held()))
    except ValueError as e:
        return fail("usage", str(e))
    except ImportError as e:
        return fail("usage", str(e))
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
    print(summary_line(result, args))
    for warning in campaign.warnings:
        print("%s: warning: %s" % (PROG, warning), file=sys.stderr)
    if result["status"] == "interrupted":
        return fail("interrupted", "interrupted after %d of %d traces%s"
                    % (result["written"], result["count"],
                       "; --resume continues %s" % args.output
                       if campaign.saved and args.output.lower().rstrip("/").endswith((".trs", ".zarr")) else ""))
    return EXIT["ok"]


if __name__ == "__main__":
    sys.exit(main())
