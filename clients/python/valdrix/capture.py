"""valdrix-capture: runs a capture campaign and writes its traces to a file.

    valdrix-capture --count 10000 --tx random:16 -o traces.trs

Applies the set-up (supply, clocks, sample rate and length, trigger, gains,
the bus) before the first capture, then captures ``--count`` traces, each
with its input sent over ``--bus`` with the trigger bit. TRS files are
written as the campaign runs; .npz files when it ends. Every setting, the
instrument's identity and the times go into the file's metadata.

Exit statuses: 0 done; 1 a local file could not be read or written; 2 usage;
3 Busy, 4 TimeOut, 5 Unsupport, 6 InternalError (the service's answer);
7 connection failure; 8 no answer within the time-out; 9 invalid response;
10 a capture missed its trigger more often than --retries allows;
130 interrupted (the file holds every whole trace captured until then).
"""

from __future__ import annotations

import argparse
import datetime
import random
import signal
import socket
import sys
import time
from typing import Any, Callable, Dict, List, Optional, Tuple

from . import __version__
from .client import Valdrix
from .codes import CLOCK_KHZ, DEFAULT_PORT, TriggerEdge, TriggerMode, TriggerSource, parse_code
from .errors import CaptureTimeout, FramingError, ValdrixError
from .trace import Trace
from .waves import HAVE_NUMPY
from .traces import TrsWriter, write_npz

__all__ = ["main", "EXIT"]

PROG = "valdrix-capture"

#: Exit status of each kind of failure.
EXIT = {
    "ok": 0, "file": 1, "usage": 2, "Busy": 3, "TimeOut": 4, "Unsupport": 5, "InternalError": 6,
    "connection": 7, "no answer": 8, "invalid response": 9, "capture timeout": 10, "interrupted": 130,
}


class UsageError(Exception):
    pass


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
    parser = argparse.ArgumentParser(
        prog=PROG, description=__doc__.split("\n\n")[0].split(": ", 1)[1],
        epilog="Codes: trigger source N (force and bus trigger only), A, B, P; mode E (edge), P; edge U (rising), "
               "D (falling), E (either). Exit statuses: 0 done, 1 file, 2 usage, 3 Busy, 4 TimeOut, 5 Unsupport, "
               "6 InternalError, 7 connection, 8 no answer, 9 invalid response, 10 missed trigger, 130 interrupted.")
    parser.add_argument("--version", action="version", version="%(prog)s " + __version__)
    net = parser.add_argument_group("connection")
    net.add_argument("--host", default="127.0.0.1", help="instrument address (default 127.0.0.1)")
    net.add_argument("--port", type=int, default=DEFAULT_PORT, help="TCP port (default %d)" % DEFAULT_PORT)

    s = parser.add_argument_group("set-up, applied before the first capture")
    s.add_argument("--voltage", type=int, default=3300, metavar="MV", help="target supply, 2000..4100 mV (3300)")
    s.add_argument("--no-power", action="store_true", help="leave the target supply off")
    s.add_argument("--clock", type=int, default=4000, choices=CLOCK_KHZ, metavar="KHZ",
                   help="target clock in kHz: %s (4000)" % ", ".join(map(str, CLOCK_KHZ)))
    s.add_argument("--no-clock", action="store_true", help="leave the target clock gated off")
    s.add_argument("--sample-rate", type=int, default=48000, choices=CLOCK_KHZ, metavar="KHZ",
                   help="sample rate in kHz, same table (48000)")
    s.add_argument("--samples", type=_int, default=4096, metavar="N", help="samples per trace and channel (4096)")
    s.add_argument("--phase", type=int, default=0, metavar="DEG", help="sample clock phase in degrees (0)")
    s.add_argument("--trigger-source", type=_code(TriggerSource), default=0, metavar="N|A|B|P",
                   help="trigger source (N)")
    s.add_argument("--trigger-mode", type=_code(TriggerMode), default=0, metavar="E|P", help="trigger mode (E)")
    s.add_argument("--trigger-edge", type=_code(TriggerEdge), default=0, metavar="U|D|E", help="trigger edge (U)")
    s.add_argument("--trigger-level", type=_int, default=0, metavar="V",
                   help="trigger level, a signed sample value -32768..32767 (0)")
    s.add_argument("--trigger-delay", type=_int, default=0, metavar="N", help="delay in sample-clock periods (0)")
    s.add_argument("--gain-a", type=int, default=100, metavar="PCT", help="channel A gain, 0..100 %% (100)")
    s.add_argument("--gain-b", type=int, default=100, metavar="PCT", help="channel B gain, 0..100 %% (100)")
    s.add_argument("--spi-psc", type=_int, default=4, metavar="N", help="SPI clock 50 MHz / (N + 1) (4)")
    s.add_argument("--spi-cpol", type=int, default=0, choices=(0, 1), help="SPI clock polarity (0)")
    s.add_argument("--spi-cpha", type=int, default=0, choices=(0, 1), help="SPI clock phase (0)")
    s.add_argument("--i2c-addr", type=_int, default=0x50, metavar="ADDR", help="I2C target address (0x50)")
    s.add_argument("--i2c-speed", type=int, default=1, choices=range(5), metavar="0..4",
                   help="I2C speed code: 100 kHz, 400 kHz, 1 MHz, 3.4 MHz, 5 MHz (1)")
    s.add_argument("--uart-baud", type=int, default=115200, metavar="BAUD", help="UART baud rate (115200)")
    s.add_argument("--uart-bytesize", type=int, default=8, choices=range(5, 9), metavar="5..8",
                   help="UART data bits (8)")
    s.add_argument("--uart-parity", type=int, default=0, choices=range(5), metavar="0..4",
                   help="UART parity code: none, odd, even, mark, space (0)")
    s.add_argument("--uart-stop-bits", type=int, default=0, choices=range(3), metavar="0..2",
                   help="UART stop-bit code: 1, 1.5, 2 (0)")

    c = parser.add_argument_group("campaign")
    c.add_argument("--count", type=_int, default=None, metavar="N",
                   help="traces to capture (100; a file:PATH input defaults to its line count)")
    c.add_argument("--channels", type=_channels, default=(1, 2), help="channels to keep: 1, 2 or 1,2 (1,2)")
    c.add_argument("--tx", default=None, metavar="random:N|hex:BYTES|file:PATH",
                   help="input of each trace: N random bytes, the same bytes each time, or one hex line per "
                        "trace (random:16; nothing with --bus none)")
    c.add_argument("--rx-len", type=_int, default=0, metavar="N", help="bytes to read back per trace (0)")
    c.add_argument("--bus", default="spi", choices=("spi", "i2c", "uart", "none"),
                   help="bus the input goes over with the trigger bit; none forces the trigger (spi)")
    c.add_argument("--timeout", type=float, default=1.0, metavar="S",
                   help="seconds a capture may take to complete (1.0)")
    c.add_argument("--retries", type=_int, default=0, metavar="N",
                   help="times a capture that missed its trigger is retried (0)")
    c.add_argument("--tvla", action="store_true",
                   help="interleave a fixed input with random ones (coin flip per trace); each trace is "
                        "labelled fixed or random in the file")
    c.add_argument("--fixed", default=None, metavar="HEX",
                   help="the fixed input of --tvla (default: the first random input)")
    c.add_argument("--seed", type=_int, default=None, metavar="N",
                   help="seed of the random inputs (default: from the clock; recorded in the file)")
    c.add_argument("-o", "--output", default=None, metavar="FILE",
                   help="trace file, .trs (written as the campaign runs) or .npz; none: capture only")
    return parser


def _hex(text: str) -> bytes:
    text = text.strip().replace(" ", "").replace(":", "")
    if text[:2].lower() == "0x":
        text = text[2:]
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise UsageError("%r is not hex bytes" % text) from None


def make_inputs(args: argparse.Namespace) -> Tuple[int, Callable[[int], Tuple[bytes, str]], Dict[str, Any]]:
    """The campaign's trace count, its input of trace i (bytes and label), and
    what to record about the inputs."""
    rng = random.Random(args.seed)
    tx_arg = args.tx
    if args.bus == "none":
        if tx_arg or args.rx_len or args.tvla:
            raise UsageError("--bus none forces the trigger: no --tx, --rx-len or --tvla")
        count = 100 if args.count is None else args.count
        return count, lambda i: (b"", ""), {"tx": ""}
    tx_arg = tx_arg or "random:16"
    kind, _, value = tx_arg.partition(":")
    record: Dict[str, Any] = {"tx": tx_arg}
    count = args.count
    if kind == "random":
        try:
            n = int(value, 0)
        except ValueError:
            raise UsageError("--tx random:N needs a byte count") from None
        if not 0 < n <= 65535:
            raise UsageError("--tx random:N takes 1..65535 bytes")
        draws = rng.randbytes
        fixed: Optional[bytes] = None
        if args.tvla:
            fixed = _hex(args.fixed) if args.fixed is not None else draws(n)
            if len(fixed) != n:
                raise UsageError("--fixed has %d bytes, --tx random:%d draws %d" % (len(fixed), n, n))
            record["tvla_fixed"] = fixed.hex()

        def next_input(i: int) -> Tuple[bytes, str]:
            if fixed is None:
                return draws(n), ""
            return (fixed, "fixed") if rng.random() < 0.5 else (draws(n), "random")

        result = next_input
    elif kind == "hex":
        if args.tvla:
            raise UsageError("--tvla needs --tx random:N")
        data = _hex(value)
        result = lambda i: (data, "")  # noqa: E731
    elif kind == "file":
        if args.tvla:
            raise UsageError("--tvla needs --tx random:N")
        try:
            with open(value) as f:
                lines = [_hex(line) for line in f if line.strip() and not line.lstrip().startswith("#")]
        except OSError as e:
            raise OSError("%s: %s" % (value, e.strerror)) from None
        if not lines:
            raise UsageError("%s holds no input lines" % value)
        if len({len(line) for line in lines}) > 1:
            raise UsageError("%s: every line must have the same number of bytes" % value)
        if count is None:
            count = len(lines)
        elif count > len(lines):
            raise UsageError("%s has %d lines for --count %d" % (value, len(lines), count))
        result = lambda i: (lines[i], "")  # noqa: E731
    else:
        raise UsageError("--tx takes random:N, hex:BYTES or file:PATH, not %r" % tx_arg)
    return (100 if count is None else count), result, record


class Progress:
    """A progress line on standard error, redrawn at most five times a second."""

    def __init__(self, total: int, enabled: bool) -> None:
        self.total = total
        self.enabled = enabled
        self.start = time.monotonic()
        self.drawn = 0.0

    def update(self, done: int, force: bool = False) -> None:
        if not self.enabled:
            return
        now = time.monotonic()
        if not force and now - self.drawn < 0.2:
            return
        self.drawn = now
        rate = done / (now - self.start) if now > self.start else 0.0
        left = (self.total - done) / rate if rate else 0.0
        sys.stderr.write("\r%d/%d traces  %.1f traces/s  %s left \x1b[K"
                         % (done, self.total, rate, datetime.timedelta(seconds=int(left))))
        sys.stderr.flush()

    def finish(self, done: int) -> None:
        if self.enabled:
            self.update(done, force=True)
            sys.stderr.write("\n")


class Campaign:
    """One run of the tool: its inputs, its client and what it counted."""

    def __init__(self, args: argparse.Namespace) -> None:
        self.args = args
        if args.seed is None:
            args.seed = random.SystemRandom().randrange(1 << 32)
        self.count, self.next_input, self.input_record = make_inputs(args)
        self.stop = False
        self.missed = 0
        self.reconnects = 0
        self.client: Optional[Valdrix] = None
        self.settings: Dict[str, Any] = {}

    def setup_kwargs(self) -> Dict[str, Any]:
        a = self.args
        return dict(voltage_mv=a.voltage, power=not a.no_power, clock_khz=a.clock, clock_enable=not a.no_clock,
                    sample_rate_khz=a.sample_rate, samples=a.samples, phase_deg=a.phase,
                    trigger_source=a.trigger_source, trigger_mode=a.trigger_mode, trigger_edge=a.trigger_edge,
                    trigger_level=a.trigger_level, trigger_delay=a.trigger_delay, gain_a=a.gain_a, gain_b=a.gain_b,
                    bus=None if a.bus == "none" else a.bus, spi_psc=a.spi_psc, spi_cpol=a.spi_cpol,
                    spi_cpha=a.spi_cpha, i2c_addr=a.i2c_addr, i2c_speed=a.i2c_speed, uart_baudrate=a.uart_baud,
                    uart_bytesize=a.uart_bytesize, uart_parity=a.uart_parity, uart_stop_bits=a.uart_stop_bits)

    def connect(self) -> None:
        self.client = Valdrix(self.args.host, self.args.port, timeout=max(5.0, self.args.timeout + 2.0))
        self.settings = self.client.setup(**self.setup_kwargs())

    def metadata(self) -> Dict[str, Any]:
        a = self.args
        meta = dict(self.settings)
        meta.update(self.input_record)
        meta.update(tool="%s %s" % (PROG, __version__), host=a.host, port=a.port, count=self.count,
                    channels=list(a.channels), rx_len=a.rx_len, timeout_s=a.timeout, retries=a.retries,
                    tvla=a.tvla, seed=a.seed, instrument=self.client.identity(),
                    started=datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"))
        return meta

    def capture_one(self, tx: bytes, label: str) -> Trace:
        a = self.args
        attempts = 0
        fresh = False
        while True:
            try:
                trace = self.client.capture(tx, rx_len=a.rx_len, channels=a.channels, samples=a.samples,
                                            bus=None if a.bus == "none" else a.bus, timeout=a.timeout)
                trace.label = label
                return trace
            except CaptureTimeout:
                self.missed += 1
                attempts += 1
                if attempts > a.retries:
                    raise
            except (ConnectionError, socket.timeout):
                # One reopen; a reopened connection that fails again at once ends the run.
                if fresh:
                    raise
                fresh = True
                self.reconnects += 1
                self.client.close()
                self.connect()

    def run(self) -> int:
        """Sets up, captures and writes the file; returns the exit status."""
        a = self.args
        out = a.output
        if out and not out.lower().endswith((".trs", ".npz")):
            raise UsageError("-o takes a .trs or .npz file name")
        if out and out.lower().endswith(".npz") and not HAVE_NUMPY:
            raise UsageError(".npz files need numpy (Debian: python3-numpy); .trs files do not")
        self.connect()
        meta = self.metadata()
        writer: Optional[TrsWriter] = None
        kept: List[Trace] = []
        if out and out.lower().endswith(".trs"):
            writer = TrsWriter(out, meta, labels=a.tvla)
        progress = Progress(self.count, sys.stderr.isatty())
        done = 0
        start = time.monotonic()
        status = "ok"
        try:
            for i in range(self.count):
                if self.stop:
                    status = "interrupted"
                    break
                tx, label = self.next_input(i)
                trace = self.capture_one(tx, label)
                trace.index = i
                if writer is not None:
                    writer.append(trace)
                elif out:
                    kept.append(trace)
                done += 1
                progress.update(done)
            if self.stop and done < self.count:
                status = "interrupted"
        finally:
            progress.finish(done)
            meta.update(captured=done, missed_triggers=self.missed, reconnects=self.reconnects,
                        finished=datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"))
            if writer is not None:
                writer.metadata.update(meta)
                writer.close()
            elif out and done:
                write_npz(out, kept, meta)
            if self.client is not None:
                self.client.close()
        elapsed = time.monotonic() - start
        print("%d traces of %d samples on channel%s %s%s in %.2f s (%.1f traces/s), %d missed trigger%s retried"
              % (done, a.samples, "s" if len(a.channels) > 1 else "", ",".join(map(str, a.channels)),
                 " written to %s" % out if out and done else "", elapsed, done / elapsed if elapsed else 0.0,
                 self.missed, "" if self.missed == 1 else "s"))
        return EXIT[status]


def main(argv: Optional[List[str]] = None) -> int:
    """Runs valdrix-capture with ``argv`` (default: the command line); returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    if args.count is not None and args.count < 0:
        parser.error("--count must not be negative")
    try:
        campaign = Campaign(args)
    except UsageError as e:
        parser.error(str(e))
    except OSError as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return EXIT["file"]

    def interrupt(signum: int, frame: Any) -> None:
        if campaign.stop:  # a second Ctrl-C stops at once
            raise KeyboardInterrupt
        campaign.stop = True

    previous = {sig: signal.signal(sig, interrupt) for sig in (signal.SIGINT, signal.SIGTERM)}
    try:
        return campaign.run()
    except UsageError as e:
        parser.error(str(e))
    except CaptureTimeout as e:
        print("%s: capture %s: %s (after %d retr%s)" % (PROG, "timeout", e.message, args.retries,
                                                          "y" if args.retries == 1 else "ies"), file=sys.stderr)
        return EXIT["capture timeout"]
    except FramingError as e:
        print("%s: invalid response: %s" % (PROG, e.message), file=sys.stderr)
        return EXIT["invalid response"]
    except ValdrixError as e:
        print("%s: %s (status 0x%04X): %s" % (PROG, e.status_name, e.status, e.message), file=sys.stderr)
        return EXIT.get(e.status_name, 6)
    except socket.timeout as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return EXIT["no answer"]
    except ConnectionError as e:
        print("%s: connection to %s:%d: %s" % (PROG, args.host, args.port, e), file=sys.stderr)
        return EXIT["connection"]
    except KeyboardInterrupt:
        print("%s: interrupted" % PROG, file=sys.stderr)
        return EXIT["interrupted"]
    except OSError as e:
        if isinstance(e, (socket.gaierror, socket.herror)) or e.filename is None:
            print("%s: connection to %s:%d: %s" % (PROG, args.host, args.port, e), file=sys.stderr)
            return EXIT["connection"]
        print("%s: %s: %s" % (PROG, e.filename, e.strerror), file=sys.stderr)
        return EXIT["file"]
    except ValueError as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return EXIT["usage"]
    finally:
        for sig, handler in previous.items():
            signal.signal(sig, handler)
    return EXIT["ok"]


if __name__ == "__main__":
    sys.exit(main())
