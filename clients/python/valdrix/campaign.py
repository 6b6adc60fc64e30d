"""Capture campaigns: what valdrix-capture runs, usable from a script.

::

    from valdrix.campaign import Campaign

    result = Campaign(port=9761, count=100000, tx="random:16", rx_len=16, output="aes.trs").run()

A campaign applies the set-up, then captures ``count`` traces, each with its
input sent over the bus with the trigger bit, in batches where the
instrument has batch capture. A trace that misses its trigger is captured
again (``retries``) before the campaign moves on, so the file holds the
traces in the order of their inputs. A connection that breaks is opened
again with backoff for up to ``reconnect_wait`` seconds, the set-up is
applied again (a restarted instrument comes back unpowered) and every trace
not yet written is captured again: the file ends with exactly ``count``
traces. ``resume`` continues a campaign whose TRS or zarr file was cut
short, with the settings its metadata holds.
"""

from __future__ import annotations

import dataclasses
import datetime
import random
import socket
import threading
import time
from typing import Any, Callable, Dict, List, Optional, Tuple, Union

import numpy as np

from . import __version__
from . import batch as _batch
from .batch import TraceBatch
from .inflight import FileWriter, Step, Steps
from .progress import Progress
from .client import Valdrix
from .codes import DEFAULT_PORT
from .errors import BusyError, CaptureTimeout, InternalError, TimeOutError, ValdrixError
from . import traces as _traces

__all__ = ["Campaign", "CampaignOptions", "BatchEvent", "UsageError", "GaveUp", "make_inputs"]

PROG = "valdrix-capture"
# An automatic batch answers about this many bytes: two in flight are about
# 70 ms of a gigabit link, which a pause of the host's (a page fault, a
# compressor's burst) must not outlast if the link is to stay busy.
_AUTO_BATCH_BYTES = 8 * 1024 * 1024
# Traces written per step when each is its own request sequence.
_PER_TRACE_STEP = 32
# Batch requests sent ahead of the answer being read: the instrument starts
# the next as soon as it has sent the last record of the one before.
IN_FLIGHT = 2
# Options that say how to reach the instrument or how to run, not what the
# traces are: a resumed campaign takes them from its command line.
_RUN_OPTIONS = ("host", "port", "output", "resume", "reconnect_wait", "batch", "progress")
# Traces flatter than this (peak to peak, in sample units) on every capture
# mean nothing drew power on that channel.
_FLAT = 1024


@dataclasses.dataclass
class CampaignOptions:
    """Every option of valdrix-capture, named as its argparse destination
    (``--rx-len`` is ``rx_len``, ``-o`` is ``output``), with its default.
    Codes (trigger source, mode, edge) are the numbers the protocol uses."""

    host: str = "127.0.0.1"
    port: int = DEFAULT_PORT
    voltage: int = 3300
    no_power: bool = False
    clock: int = 4000
    no_clock: bool = False
    sample_rate: int = 48000
    samples: int = 4096
    phase: int = 0
    trigger_source: int = 0
    trigger_mode: int = 0
    trigger_edge: int = 0
    trigger_level: int = 0
    trigger_delay: int = 0
    gain_a: int = 100
    gain_b: int = 100
    spi_psc: int = 4
    spi_cpol: int = 0
    spi_cpha: int = 0
    i2c_addr: int = 0x50
    i2c_speed: int = 1
    uart_baud: int = 115200
    uart_bytesize: int = 8
    uart_parity: int = 0
    uart_stop_bits: int = 0
    #: None: 100, or the line count of a file:PATH input.
    count: Optional[int] = None
    channels: Tuple[int, ...] = (1, 2)
    #: random:N, hex:BYTES or file:PATH; None: random:16 (nothing with bus "none").
    tx: Optional[str] = None
    rx_len: int = 0
    bus: str = "spi"
    timeout: float = 1.0
    retries: int = 0
    tvla: bool = False
    fixed: Optional[str] = None
    #: None: drawn from the system's randomness when the campaign is made.
    seed: Optional[int] = None
    output: Optional[str] = None
    #: Traces per request, or "auto".
    batch: Union[int, str] = "auto"
    reconnect_wait: float = 30.0
    resume: bool = False
    #: A progress line on standard error.
    progress: bool = False


@dataclasses.dataclass
class BatchEvent:
    """What ``on_batch`` is given for each batch of traces received, in
    trace order: traces ``start`` .. ``start + count - 1``.

    The arrays are the campaign's own and are read-only for the callback
    (the file may still be written from them); they are never reused for a
    later batch, so a callback may keep them without copying.
    """

    start: int
    count: int
    #: channel -> (count, samples) int16
    waves: Dict[int, Any]
    #: (count, tx_len) and (count, rx_len) uint8
    tx: Any
    rx: Any
    #: (count,) array of "fixed"/"random" with --tvla, else None
    labels: Any
    #: traces received so far (this batch included) and the campaign's count
    done: int
    total: int
    #: traces per second since the campaign (or its resumption) started
    rate: float


class UsageError(Exception):
    """Options that do not make a campaign."""


class GaveUp(ConnectionError):
    """The connection could not be opened again within the reconnect wait."""


def _hex(text: str) -> bytes:
    text = text.strip().replace(" ", "").replace(":", "")
    if text[:2].lower() == "0x":
        text = text[2:]
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise UsageError("%r is not hex bytes" % text) from None


def make_inputs(args: CampaignOptions) -> Tuple[int, Callable[[int], Tuple[bytes, str]], Dict[str, Any]]:
    """The campaign's trace count, its input of trace i (bytes and label;
    called once per trace, in order), and what to record about the inputs."""
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
            raise OSError(e.errno, e.strerror, value) from None
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


class _Writer:
    """The trace file: the store's writer, with every OSError it raises
    naming the file, so that no disk error is taken for a connection's."""

    def __init__(self, path: str, metadata: Optional[Dict[str, Any]], labels: bool, resume: bool) -> None:
        self.path = path
        khz = (metadata or {}).get("sample_rate_khz")
        period = 1.0 / (khz * 1000.0) if khz else None
        self.w = self._guard(lambda: _traces.open_writer(path, metadata, labels=labels, resume=resume,
                                                         sample_period=period))

    def _guard(self, call: Callable[[], Any]) -> Any:
        try:
            return call()
        except OSError as e:
            if e.filename is None:
                e.filename = self.path
            raise

    @property
    def count(self) -> int:
        return self.w.count

    @property
    def metadata(self) -> Dict[str, Any]:
        return self.w.metadata

    def append(self, b: TraceBatch, labels: List[str]) -> int:
        """Appends a batch; returns the traces the file then holds."""
        self._guard(lambda: self.w.append_arrays(b.waves, b.tx_array, b.rx_array,
                                                 labels=labels if any(labels) else None, status=b.status))
        return self.w.count

    def close(self) -> None:
        self._guard(self.w.close)

    def abort(self) -> None:
        try:
            self.w.abort()
        except OSError:
            pass  # the first error is the one to report


class Campaign:
    """A capture campaign with valdrix-capture's options: a CampaignOptions,
    or keyword arguments named as its fields (which override those of
    ``options``).

    ``client``: a connected Valdrix to run on (the campaign applies its
    set-up and leaves it open); by default the campaign opens its own.
    ``on_batch(event)``: called with a BatchEvent on the thread that runs
    the campaign, once per batch of traces received, in trace order; it
    must return quickly (copy or queue what it needs).

    ``run()`` returns a summary and raises what ended the campaign early;
    ``saved`` is then the number of traces the file holds. ``stop()``, from
    any thread or a signal handler, ends the campaign after the traces in
    flight, leaving a complete file (that ``resume`` continues for TRS and
    zarr). ``warnings`` lists what looked wrong with the traces (an
    unpowered target, flat traces).
    """

    def __init__(self, options: Optional[CampaignOptions] = None, *, client: Optional[Valdrix] = None,
                 on_batch: Optional[Callable[[BatchEvent], Any]] = None, **fields: Any) -> None:
        known = {f.name for f in dataclasses.fields(CampaignOptions)}
        unknown = sorted(set(fields) - known)
        if unknown:
            raise TypeError("Campaign got unknown options: %s" % ", ".join(unknown))
        if options is not None and not isinstance(options, CampaignOptions):
            raise TypeError("options must be a CampaignOptions, not %s" % type(options).__name__)
        a = dataclasses.replace(options or CampaignOptions(), **fields)
        if isinstance(a.channels, str):
            try:
                a.channels = [int(c) for c in a.channels.split(",") if c.strip()]
            except ValueError:
                raise UsageError("channels are 1 and/or 2") from None
        a.channels = tuple(sorted(set(a.channels)))
        if not a.channels or not set(a.channels) <= {1, 2}:
            raise UsageError("channels are 1 and/or 2")
        self.args = a
        self.on_batch = on_batch
        self._own_client = client is None
        self._stop = threading.Event()
        self.missed = 0
        self.reconnects = 0
        self.saved = 0
        self.client: Optional[Valdrix] = client
        self.settings: Dict[str, Any] = {}
        self.warnings: List[str] = []
        self.batched = False
        self.interrupted = False
        #: True while the file is being completed (a stop then changes nothing).
        self.finishing = False
        self._writer: Optional[_Writer] = None
        self._resumed: Optional[Dict[str, Any]] = None
        if a.output and not a.output.lower().rstrip("/").endswith((".trs", ".npz", ".zarr")):
            raise UsageError("-o takes a .trs, .npz or .zarr name")
        if a.resume:
            if not a.output or not a.output.lower().rstrip("/").endswith((".trs", ".zarr")):
                raise UsageError("--resume continues a .trs or .zarr file named with -o")
            self._open_resumed()
        try:
            self._check_options()
        except BaseException:
            if self._writer is not None:
                self._writer.abort()  # the resumed file stays as it was
            raise

    @property
    def options(self) -> CampaignOptions:
        """The campaign's options, completed (channels sorted, the seed drawn,
        a resumed campaign's settings taken from its file)."""
        return self.args

    @property
    def stopping(self) -> bool:
        return self._stop.is_set()

    def _check_options(self) -> None:
        a = self.args
        if not a.timeout > 0:
            raise UsageError("--timeout takes a positive number of seconds")
        if a.seed is None:
            a.seed = random.SystemRandom().randrange(1 << 32)
        if a.batch != "auto":
            try:
                a.batch = int(a.batch, 0) if isinstance(a.batch, str) else int(a.batch)
            except ValueError:
                raise UsageError("--batch takes a number of traces or auto") from None
            if a.batch < 1:
                raise UsageError("--batch takes at least 1 trace")
        self.count, self.next_input, self.input_record = make_inputs(a)

    def _open_resumed(self) -> None:
        """Opens the cut-short file and takes the campaign's settings from it."""
        a = self.args
        self._writer = _Writer(a.output, None, False, True)
        stored = self._writer.metadata.get("campaign")
        if not isinstance(stored, dict):
            self._writer.abort()
            raise UsageError("%s holds no campaign settings to resume from" % a.output)
        if a.count is not None and a.count != stored.get("count"):
            self._writer.abort()
            raise UsageError("--resume continues up to the campaign's own --count %s" % stored.get("count"))
        for key, value in stored.items():
            if key not in _RUN_OPTIONS and hasattr(a, key):
                setattr(a, key, tuple(value) if key == "channels" else value)
        self._resumed = dict(self._writer.metadata)
        self.saved = self._writer.count
        # The counts go on from those of the run that was cut short.
        self.missed = int(self._resumed.get("missed_triggers") or 0)
        self.reconnects = int(self._resumed.get("reconnects") or 0)

    def stop(self) -> None:
        """Ends the campaign once the traces in flight are written."""
        self._stop.set()

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
        """Connects, applies the set-up and learns whether batches are served."""
        a = self.args
        if self.client is None:
            self.client = Valdrix(a.host, a.port, timeout=max(5.0, a.timeout + 2.0), restore_setup=True)
        elif not self.client.connected:
            self.client.reconnect()
        self.settings = self.client.setup(**self.setup_kwargs())
        self.batched = a.batch != 1 and self.client.batch_info() is not None

    def _reconnect(self, cause: BaseException) -> None:
        """Opens the connection again, with backoff, for up to reconnect_wait
        seconds; the client re-applies the set-up. Raises GaveUp."""
        self.reconnects += 1
        wait = float(self.args.reconnect_wait)
        start = time.monotonic()
        pause = 0.1
        while True:
            if self.stopping:
                self.interrupted = True
                raise KeyboardInterrupt
            try:
                self.client.reconnect()
                if not self.client.restore_setup:  # a lent client: the set-up is the campaign's to apply
                    self.client.setup(**self.setup_kwargs())
                self.batched = self.args.batch != 1 and self.client.batch_info() is not None
                return
            except (ConnectionError, socket.timeout) as e:
                cause = e
            except OSError as e:
                if e.filename is not None:
                    raise
                cause = e
            waited = time.monotonic() - start
            if waited >= wait:
                raise GaveUp("%s; gave up reconnecting after %.0f s" % (cause, waited)) from None
            time.sleep(min(pause, wait - waited))
            pause = min(pause * 2, 2.0)

    def metadata(self) -> Dict[str, Any]:
        a = self.args
        meta = dict(self.settings)
        meta.update(self.input_record)
        meta.update(tool="%s %s" % (PROG, __version__), host=a.host, port=a.port, count=self.count,
                    channels=list(a.channels), rx_len=a.rx_len, timeout_s=a.timeout, retries=a.retries,
                    tvla=a.tvla, seed=a.seed, instrument=self.client.identity(), started=_now())
        options = {k: v for k, v in dataclasses.asdict(a).items() if k not in _RUN_OPTIONS}
        options.update(count=self.count, channels=list(a.channels))
        meta["campaign"] = options
        return meta

    def _step(self, done: int) -> int:
        a = self.args
        left = self.count - done
        if self.batched and a.batch != "auto":
            return min(left, a.batch)
        # A step's traces are held in memory until written: a few MiB of them.
        step = max(1, _AUTO_BATCH_BYTES // _batch.record_size(a.rx_len, a.channels, a.samples))
        if not self.batched:
            return min(left, step, _PER_TRACE_STEP)
        rows = self._chunk_rows()
        if rows:
            # Steps that divide a new zarr store's chunks fill each chunk in
            # one append, which compresses it once and never reads it back.
            step = rows // max(1, round(rows / step)) if step < rows else step // rows * rows
        return min(left, step)

    def _chunk_rows(self) -> int:
        a = self.args
        if not (a.output and a.output.lower().rstrip("/").endswith(".zarr")) or self._resumed is not None:
            return 0
        return max(1, _traces.CHUNK_BYTES // (_batch.waves.SAMPLE_BYTES * a.samples))

    def _capture(self, tx: Any) -> TraceBatch:
        a = self.args
        return self.client.capture_batch(tx, rx_len=a.rx_len, channels=a.channels, samples=a.samples,
                                         bus=None if a.bus == "none" else a.bus, timeout=a.timeout,
                                         per_trace=not self.batched)

    def _submit(self, step: Step) -> None:
        """Sends a step's batch request; without batch capture, captures it."""
        a = self.args
        if self.batched:
            step.request = self.client.send_batch(step.tx, rx_len=a.rx_len, channels=a.channels,
                                                  samples=a.samples, bus=None if a.bus == "none" else a.bus,
                                                  timeout=a.timeout)
        else:
            step.got = self._capture(step.tx)

    def _receive(self, step: Step) -> TraceBatch:
        if step.got is None:
            # A campaign that ends at its first failed trace need not wait out
            # the rest of the batch: its own connection is closed there.
            step.got = self.client.receive_batch(step.request,
                                                 cut_on_failure=self._own_client and self.args.retries == 0)
        return step.got

    def _settle(self, step: Step, flight: Any) -> Tuple[TraceBatch, Optional[ValdrixError]]:
        """A step's traces, each missed one captured again (up to ``retries``
        times) before the next is kept. Returns the traces up to the first
        that failed for good, and what failed it."""
        got = self._receive(step)
        if bool(got.complete.all()):
            return got, None
        drained = False
        for i in range(len(got)):
            attempts = 0
            while got.result[i] == _batch.MISSED:
                self.missed += 1
                if attempts >= self.args.retries:
                    return got.head(i), CaptureTimeout(
                        "no complete capture within %g s (trigger status 0x%03X)"
                        % (self.args.timeout, int(got.status[i])), int(got.status[i]))
                if not drained:  # a trace is captured again once the requests in flight are answered
                    for later in flight:
                        self._receive(later)
                    drained = True
                attempts += 1
                got.put(i, self._capture(step.tx[i:i + 1]))
            if got.result[i] == _batch.BUS_ERROR:
                code = int(got.error[i])
                cls = {1: BusyError, 2: TimeOutError}.get(code, InternalError)
                text = {1: "Device is busy", 2: "Operation timed out"}.get(code, "transfer failed")
                return got.head(i), cls("%s (trace %d)" % (text, step.first + i), code)
        return got, None

    def _tell(self, got: TraceBatch, first: int, labels: List[str], start: float, captured: int) -> None:
        elapsed = time.monotonic() - start
        self.on_batch(BatchEvent(
            start=first, count=len(got), waves=got.waves, tx=got.tx_array, rx=got.rx_array,
            labels=np.array(labels) if self.args.tvla else None, done=first + len(got), total=self.count,
            rate=captured / elapsed if elapsed > 0 else 0.0))

    def run(self) -> Dict[str, Any]:
        """Runs the campaign: set-up, captures, the file. Returns a summary."""
        a = self.args
        out = a.output
        writer = self._writer
        try:
            self.connect()
            if writer is None:
                meta = self.metadata()
                if out:
                    writer = self._writer = _Writer(out, meta, a.tvla, False)
            else:
                meta = self._resumed or {}
                meta.setdefault("resumed", []).append(_now())
        except BaseException:
            # A resumed file stays as it was; nothing else is open yet.
            if writer is not None:
                writer.abort()
            if self.client is not None and self._own_client:
                self.client.close()
            raise
        done = writer.count if writer is not None else 0
        self.saved = done
        # Inputs are drawn in order, once per trace: a resumed campaign draws
        # past those its file holds.
        for i in range(done):
            self.next_input(i)
        progress = Progress(first=done, enabled=a.progress)
        start = time.monotonic()
        captured = 0
        ff_only = rx_seen = 0
        # Only channel B's flatness is worth a warning (see below): channel A
        # is not looked at, which would cost a pass over every batch.
        flat = {2: True} if 2 in a.channels else {}
        failure: Optional[BaseException] = None
        steps = Steps()
        drawn = done
        first_failure: Optional[float] = None
        files = FileWriter(writer.append, on_written=self._note_saved) if writer is not None else None
        try:
            while done < self.count:
                try:
                    # The instrument always has the next request waiting.
                    while (not self.stopping and len(steps.flight) < IN_FLIGHT
                           and (steps.todo or drawn < self.count)):
                        if not steps.todo:
                            n = self._step(drawn)
                            inputs = [self.next_input(i) for i in range(drawn, drawn + n)]
                            tx = _batch.input_array([t for t, _ in inputs])
                            # Long inputs can make a step more than one request carries.
                            per = (self.client.batch_limit(tx.shape[1], a.rx_len, a.channels, a.samples)
                                   if self.batched else 0) or n
                            for at in range(0, n, per):
                                steps.todo.append(Step(drawn + at, inputs[at:at + per], tx[at:at + per]))
                            drawn += n
                        self._submit(steps.todo[0])
                        steps.flight.append(steps.todo.popleft())
                    if not steps.flight:
                        self.interrupted = True
                        break
                    step = steps.flight[0]
                    got, failure = self._settle(step, list(steps.flight)[1:])
                    steps.flight.popleft()
                    first_failure = None
                except (ConnectionError, socket.timeout) as e:
                    # An instrument that takes connections but never
                    # completes a step is given the same wait.
                    now = time.monotonic()
                    first_failure = first_failure or now
                    if now - first_failure > float(a.reconnect_wait):
                        raise
                    # Nothing in flight is written yet: all of it again.
                    steps.recall()
                    progress.update(done, self.count, force=True, note="reconnecting")
                    self._reconnect(e)
                    continue
                k = len(got)
                if k:
                    labels = [label for _, label in step.inputs[:k]]
                    if files is not None:
                        files.put(got, labels)
                    else:
                        self.saved = done + k
                    if self.on_batch is not None:
                        self._tell(got, done, labels, start, captured + k)
                    done += k
                    captured += k
                    if a.rx_len and ff_only == rx_seen:  # only 0xFF so far
                        rx_seen += got.rx_array.size
                        ff_only += int((got.rx_array == 0xFF).sum())
                    for c in flat:
                        if flat[c] and int((got.waves[c].max(axis=1).astype(int)
                                            - got.waves[c].min(axis=1)).max()) > _FLAT:
                            flat[c] = False
                progress.update(done, self.count)
                if failure is not None:
                    raise failure
        except BaseException as e:
            progress.update(done, self.count, force=True)
            progress.finish(keep=True)
            self._finish(writer, meta, done, e, files)
            raise
        progress.update(done, self.count, force=True)
        progress.finish(keep=True)
        self._finish(writer, meta, done, None, files)
        if captured:
            if rx_seen and ff_only == rx_seen:
                self.warnings.append("the target answered only 0xFF: is it powered and clocked?")
            # Channel B shows the target's draw; channel A its clock, which a
            # sample rate of twice the clock legitimately catches at its zero
            # crossings, so only B's flatness says the target drew nothing. A
            # forced capture sends nothing to draw power for.
            if a.bus != "none" and flat.get(2):
                self.warnings.append("channel 2 is flat in every trace: did anything draw power?")
        elapsed = time.monotonic() - start
        return {"status": "interrupted" if self.interrupted else "ok", "written": done, "captured": captured,
                "count": self.count, "missed": self.missed, "reconnects": self.reconnects, "elapsed": elapsed,
                "output": out, "batched": self.batched}

    def _note_saved(self, held: int) -> None:
        self.saved = held

    def _finish(self, writer: Optional[_Writer], meta: Dict[str, Any], done: int,
                error: Optional[BaseException], files: Optional[FileWriter] = None) -> None:
        """Completes the file, or, after a disk error, keeps what it can;
        ``saved`` is then the traces under the asked-for name."""
        self.finishing = True
        late: Optional[BaseException] = None
        try:
            if files is not None:
                # Every batch handed over is written before the file is completed.
                try:
                    files.close()
                except BaseException as e:
                    if error is None:
                        late = error = e
                done = writer.count
            if self.client is not None and not self._own_client and self.client.batches_in_flight:
                # A lent client goes back with nothing in flight. Reading the
                # rest could take each trace's time-out: a new connection is
                # quicker, and the instrument keeps its set-up across them.
                try:
                    self.client.reconnect()
                except (OSError, ValdrixError):
                    pass  # the client stays closed; its owner reconnects it
            if writer is None:
                return
            disk_error = isinstance(error, OSError) and error.filename is not None
            # A new .npz or zarr set that never got a trace is not left
            # behind: they hold no empty set (a TRS file does, settings and all).
            empty = done == 0 and self._resumed is None and not writer.path.lower().endswith(".trs")
            if disk_error or empty:
                writer.abort()
            else:
                meta.update(captured=done, missed_triggers=self.missed, reconnects=self.reconnects,
                            batched=self.batched, finished=_now())
                writer.metadata.update(meta)
                try:
                    writer.close()
                except OSError:
                    writer.abort()
                    self.saved = writer.count
                    if error is None:
                        raise
            self.saved = writer.count
            if late is not None:
                raise late
        finally:
            if self.client is not None and self._own_client:
                self.client.close()


def _now() -> str:
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds")


def summary_line(result: Dict[str, Any], args: CampaignOptions) -> str:
    done, elapsed = result["written"], result["elapsed"]
    return ("%d traces of %d samples on channel%s %s%s in %.2f s (%.1f traces/s), %d missed trigger%s retried"
            % (done, args.samples, "s" if len(args.channels) > 1 else "", ",".join(map(str, args.channels)),
               " written to %s" % result["output"] if result["output"] and done else "", elapsed,
               result["captured"] / elapsed if elapsed else 0.0, result["missed"],
               "" if result["missed"] == 1 else "s"))
