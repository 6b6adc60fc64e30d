"""The protocol client: a connection, pipelines, campaign set-up and the capture call."""

from __future__ import annotations

import socket
import sys
import time
from typing import Any, Dict, Iterable, List, Optional, Sequence, Tuple, Union

from . import waves
from . import batch as _batch
from .codes import (BATCH_BUS as _BATCH_BUS, CLOCK_KHZ, DEFAULT_PORT, TRIGGER_DONE, TRIGGER_TRIGGERED, Command,
                    Extension, TriggerEdge, TriggerMode, TriggerSource)
from .commands import BytesLike, Commands, Decoder, _bytes, _check, _empty, _u32, answer_limit
from .errors import (BusyError, CaptureTimeout, FramingError, NotConnectedError, TimeOutError, UnsupportedError,
                     ValdrixError, error_for_status)
from .protocol import Connection, encode_request
from .trace import Trace

__all__ = ["Valdrix", "Pipeline", "BatchRequest", "BUSES"]

#: Buses a capture can send its input over; None forces the trigger instead.
BUSES = ("spi", "i2c", "uart")

_Entry = Tuple[bytes, Decoder, Optional[float], bool]
_SINGLE: _Entry = (encode_request(Command.OSC_SET_SINGLE), _empty, None, False)
_STATUS: _Entry = (encode_request(Command.OSC_GET_TRIGGER_STATUS), _u32, None, False)
# Request bytes of a pipeline sent before its answers are read.
_WINDOW = 64 * 1024
# A batch's answer is read in requests of at most this many bytes (one record
# at least), so its raw records never cost more memory than that.
_BATCH_ANSWER_CAP = 16 * 1024 * 1024
# Seconds a batch record may take on its way, once captured: the link and the
# scheduling of both ends on a busy host.
_RECORD_SLACK = 2.0
# Most records read at once from a batch that ends at its first failed trace.
_CUT_RUN = 64
# Batch answers' buffers a client keeps for the batches after (see _batch_buffer).
_SPARE_BUFFERS = 6
# Seconds an SPI or I2C transfer waits for its bus at most.
_BUS_WAIT = 1.0
# I2C bus clock of each speed code.
_I2C_HZ = {0: 100_000, 1: 400_000, 2: 1_000_000, 3: 3_400_000, 4: 5_000_000}


def _batch_info_answer(answer: Union[bytes, bytearray]) -> bytes:
    if len(answer) != 16:
        raise FramingError("invalid response: %d answer bytes, expected 16" % len(answer))
    return bytes(answer)


_batch_info_answer.limit = 16  # type: ignore[attr-defined]
_BATCH_INFO = _batch_info_answer


def _batch_bus_codes() -> Tuple[Any, ...]:
    return tuple(_BATCH_BUS)


class Valdrix(Commands):
    """A connection to one instrument (or to valdrixd-sim) on TCP port 9761.

    ``timeout`` (seconds) bounds every exchange with the service: a request's
    answer must have arrived in full by then (a capture's or a UART
    transfer's own time-out lengthens it). The connection is opened at once.
    A broken exchange (no answer in time, a closed connection, an invalid
    answer) closes it; later calls then raise NotConnectedError, or, with
    ``reconnect=True``, open a new connection first. With
    ``restore_setup=True`` every new connection re-applies the last
    ``setup()`` before anything else is sent: an instrument that restarted
    comes back unpowered.

    Usable as a context manager, which closes the connection. One thread uses
    a client at a time; the service does not arbitrate between clients, so
    one client should drive an instrument at a time.
    """

    def __init__(self, host: str = "127.0.0.1", port: int = DEFAULT_PORT, timeout: float = 5.0, *,
                 reconnect: bool = False, restore_setup: bool = False) -> None:
        self.host = host
        self.port = port
        self.timeout = timeout
        self.auto_reconnect = reconnect
        self.restore_setup = restore_setup
        self._conn: Optional[Connection] = None
        self._closed_by = "close() was called"
        #: Sample length and rate last sent by this client (None until then).
        self.sample_length: Optional[int] = None
        self.sample_rate_khz: Optional[int] = None
        self._setup_kwargs: Optional[Dict[str, Any]] = None
        self._batch_info: Any = None
        self._index = 0
        # Round trip of a status poll, kept as a running average by capture(),
        # the fill learnt per sample length while the sample rate is unknown,
        # and the read-out requests of its last channels and length.
        self._poll_rtt = 0.0001
        self._fill_seen: Dict[int, float] = {}
        self._wave_entries: Dict[Tuple[Tuple[int, ...], int], Tuple[_Entry, ...]] = {}
        # Batch requests sent whose answers are not read yet, oldest first.
        self._in_flight: List[BatchRequest] = []
        self._spare: List[Any] = []
        self._connect()

    def _connect(self) -> None:
        self._conn = Connection(self.host, self.port, self.timeout)
        self._batch_info = None
        if self.restore_setup and self._setup_kwargs is not None:
            try:
                self.setup(**self._setup_kwargs)
            except BaseException:
                self.close()
                raise

    def reconnect(self) -> None:
        """Closes the connection, if open, and opens a new one (re-applying
        the last set-up with ``restore_setup``)."""
        self.close()
        self._connect()

    @property
    def connected(self) -> bool:
        """True while the client holds an open connection."""
        return self._conn is not None

    def close(self) -> None:
        """Closes the connection."""
        self._close("close() was called")

    def _close(self, why: str) -> None:
        self._in_flight.clear()  # their answers went with the connection
        if self._conn is not None:
            self._conn.close()
            self._conn = None
            self._closed_by = why

    def __enter__(self) -> "Valdrix":
        return self

    def __exit__(self, *exc: Any) -> bool:
        self.close()
        return False

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    # The exchange ------------------------------------------------------------

    def _note_sample_length(self, samples: int) -> None:
        self.sample_length = samples

    def _note_sample_rate(self, khz: int) -> None:
        self.sample_rate_khz = khz

    def _exchange(self, entries: Sequence[_Entry]) -> List[Union[Any, ValdrixError]]:
        """Sends the frames back to back and reads their answers in order.

        Returns each decoded answer, or the ValdrixError of an error answer in
        its place. A broken exchange closes the connection and raises.
        """
        conn = self._conn
        if conn is None:
            if not self.auto_reconnect:
                raise NotConnectedError("not connected to %s:%d (%s); call reconnect()"
                                        % (self.host, self.port, self._closed_by))
            self._connect()
            conn = self._conn
        if self._in_flight:
            raise RuntimeError("%d batch answers are still to be read (receive_batch)" % len(self._in_flight))
        out: List[Union[Any, ValdrixError]] = []
        wait = self.timeout
        try:
            conn.check_idle()
            windows = [(0, 1)] if len(entries) == 1 else self._windows(entries)
            for first, end in windows:
                conn.send(entries[first][0] if end - first == 1 else b"".join(e[0] for e in entries[first:end]),
                          end - first)
                # The service answers in order: each answer has its whole
                # time-out from the moment the one before it was in.
                ready = time.monotonic()
                for _frame, decode, timeout, mutable in entries[first:end]:
                    wait = self.timeout if timeout is None else max(timeout, self.timeout)
                    status, body = conn.read_answer(ready + wait, answer_limit(decode), mutable)
                    ready = time.monotonic()
                    out.append(error_for_status(status, body) if status else body)
        except socket.timeout:
            # The stream position is unknown now: never read the rest of an
            # answer as the next one.
            self._close("closed after no answer within %g s" % wait)
            raise socket.timeout("no answer from %s:%d within %g s" % (self.host, self.port, wait)) from None
        except BaseException as e:
            self._close("closed after %s: %s" % (type(e).__name__, e))
            raise
        # Decoding errors come after reading, so every answer is consumed; one
        # that does not fit its command still means the peer is out of step.
        try:
            for i, (_frame, decode, _timeout, _mutable) in enumerate(entries):
                if not isinstance(out[i], ValdrixError):
                    out[i] = decode(out[i])
        except FramingError as e:
            self._close("closed after FramingError: %s" % e)
            raise
        return out

    @staticmethod
    def _windows(entries: Sequence[_Entry]) -> List[Tuple[int, int]]:
        """Splits a long pipeline into runs of at most _WINDOW request bytes.

        The service answers while it reads; requests beyond what the socket
        buffers hold, sent while nobody reads the answers, would stall both
        sides. A run that fits in them always goes out whole.
        """
        windows, first, size = [], 0, 0
        for i, entry in enumerate(entries):
            if i > first and size + len(entry[0]) > _WINDOW:
                windows.append((first, i))
                first, size = i, 0
            size += len(entry[0])
        windows.append((first, len(entries)))
        return windows

    def _call(self, command: int, payload: bytes, decode: Decoder, timeout: Optional[float] = None,
              mutable: bool = False) -> Any:
        (result,) = self._exchange([(encode_request(command, payload), decode, timeout, mutable)])
        if isinstance(result, ValdrixError):
            raise result
        return result

    def pipeline(self) -> "Pipeline":
        """A pipeline: queue commands, send them back to back, read the answers.

        ::

            with v.pipeline() as p:
                p.osc_set_single()
                p.spi_transceive(b"\\x01", is_trigger=1)
                p.osc_get_trigger_status()
            _, _, status = p.results()
        """
        return Pipeline(self)

    # Campaigns ---------------------------------------------------------------

    def identity(self) -> Dict[str, str]:
        """The instrument's id, name and version, in one round trip."""
        with self.pipeline() as p:
            p.get_id()
            p.get_name()
            p.get_version()
        ident, name, version = p.results()
        return {"id": ident, "name": name, "version": version}

    def setup(self, *, voltage_mv: int = 3300, power: bool = True, clock_khz: int = 4000,
              clock_enable: bool = True, sample_rate_khz: int = 48000, samples: int = 4096,
              phase_deg: int = 0, trigger_source: int = TriggerSource.N, trigger_mode: int = TriggerMode.E,
              trigger_edge: int = TriggerEdge.U, trigger_level: int = 0, trigger_delay: int = 0,
              gain_a: int = 100, gain_b: int = 100, bus: Optional[str] = "spi",
              spi_psc: int = 4, spi_cpol: int = 0, spi_cpha: int = 0,
              i2c_addr: int = 0x50, i2c_speed: int = 1,
              uart_baudrate: int = 115200, uart_bytesize: int = 8, uart_parity: int = 0,
              uart_stop_bits: int = 0) -> Dict[str, Any]:
        """Sets up a campaign in one round trip and returns the settings applied.

        voltage_mv: target supply, 2000..4100 mV; power: supply on.
        clock_khz: target clock, one of CLOCK_KHZ; clock_enable: clock gate on.
        The target answers on its buses only while powered and clocked.
        sample_rate_khz: one of CLOCK_KHZ; samples: per capture and channel
        (rounded up to a multiple of 1024 by the instrument); phase_deg: sample
        clock phase in degrees.
        trigger_source, trigger_mode, trigger_edge: codes of TriggerSource,
        TriggerMode, TriggerEdge; trigger_level: signed sample value
        -32768..32767; trigger_delay: sample-clock periods after the trigger.
        gain_a, gain_b: channel gains in percent, 0..100.
        bus: "spi", "i2c", "uart" or None: the bus to configure and enable,
        with spi_psc (SPI clock 50 MHz / (psc + 1)), spi_cpol, spi_cpha;
        i2c_addr (7-bit), i2c_speed (code 0..4); uart_baudrate,
        uart_bytesize, uart_parity, uart_stop_bits (codes).
        """
        kwargs = {k: v for k, v in locals().items() if k != "self"}
        if clock_khz not in CLOCK_KHZ or sample_rate_khz not in CLOCK_KHZ:
            raise ValueError("clocks run at one of %s kHz" % ", ".join(map(str, CLOCK_KHZ)))
        if bus not in BUSES and bus is not None:
            raise ValueError("bus must be one of %s or None, got %r" % (", ".join(BUSES), bus))
        _check("trigger_level", trigger_level, 16, -32768, 32767)
        settings: Dict[str, Any] = {
            "voltage_mv": voltage_mv, "power": bool(power), "clock_khz": clock_khz,
            "clock_enable": bool(clock_enable), "sample_rate_khz": sample_rate_khz, "samples": samples,
            "phase_deg": phase_deg, "trigger_source": int(trigger_source), "trigger_mode": int(trigger_mode),
            "trigger_edge": int(trigger_edge), "trigger_level": trigger_level, "trigger_delay": trigger_delay,
            "gain_a": gain_a, "gain_b": gain_b, "bus": bus,
        }
        with self.pipeline() as p:
            p.nut_set_voltage_value(voltage_mv)
            p.nut_set_voltage_enable(1 if power else 0)
            p.nut_set_clock(clock_khz)
            p.nut_clock_enable(1 if clock_enable else 0)
            p.osc_set_sample_rate(sample_rate_khz)
            p.osc_set_sample_length(samples)
            p.osc_set_sample_clock_phase(phase_deg)
            p.osc_set_trigger_delay(trigger_delay)
            p.osc_set_trigger_source(int(trigger_source))
            p.osc_set_trigger_mode(int(trigger_mode))
            p.osc_set_trigger_edge(int(trigger_edge))
            p.osc_set_trigger_edge_level(trigger_level & 0xFFFF)
            p.osc_set_channel_gain(1, gain_a)
            p.osc_set_channel_gain(2, gain_b)
            if bus == "spi":
                p.spi_config(spi_psc, spi_cpol, spi_cpha)
                p.spi_enable(1)
                settings.update(spi_psc=spi_psc, spi_cpol=spi_cpol, spi_cpha=spi_cpha)
            elif bus == "i2c":
                p.i2c_config(i2c_addr, i2c_speed)
                p.i2c_enable(1)
                settings.update(i2c_addr=i2c_addr, i2c_speed=i2c_speed)
            elif bus == "uart":
                p.uart_config(uart_stop_bits, uart_parity, uart_bytesize, uart_baudrate)
                p.uart_enable(1)
                p.uart_receive_fifo_clear()
                settings.update(uart_baudrate=uart_baudrate, uart_bytesize=uart_bytesize,
                                uart_parity=uart_parity, uart_stop_bits=uart_stop_bits)
        p.results()
        self._setup_kwargs = kwargs
        return settings

    def _capture_args(self, rx_len: int, channels: Tuple[int, ...], samples: Optional[int]
                      ) -> Tuple[Tuple[int, ...], int]:
        """Checks a capture's answer length and channels; the sample length
        defaults to the one this client last set."""
        _check("rx_len", rx_len, 16)
        for channel in channels:
            _check("channel", channel, 8, 1, 2)
        if samples is None:
            samples = self.sample_length
            if samples is None:
                raise ValueError("no sample length: pass samples= or call setup() or osc_set_sample_length() first")
        _check("samples", samples, 32)
        return channels, samples

    def capture(self, tx: BytesLike = b"", rx_len: int = 0, channels: Iterable[int] = (1, 2),
                samples: Optional[int] = None, bus: Optional[str] = "spi", timeout: float = 1.0) -> Trace:
        """Arms a capture, sends ``tx`` with its trigger bit, waits for the
        capture and reads the channels.

        bus: "spi" (``tx`` sent, then ``rx_len`` bytes clocked in), "i2c"
        (``tx`` as one write segment to the configured address, then a read
        segment of ``rx_len`` bytes), "uart" (``tx`` sent, ``rx_len`` bytes
        awaited within ``timeout``), or None to force the trigger.
        channels: 1 (A) and/or 2 (B). samples: per channel; None for the
        sample length this client last set. timeout: seconds to wait for the
        capture to complete; CaptureTimeout when it does not.

        The arm, the transfer and the first status read go back to back; the
        waves are read only once the status says the capture is complete, so a
        trace never holds the samples of an earlier capture.
        """
        tx = _bytes("tx", tx)
        channels, samples = self._capture_args(rx_len, tuple(channels), samples)

        # The capture loop's hot path: frames that never change are built once.
        p = self.pipeline()
        p._queue.append(_SINGLE)
        if bus == "spi":
            p.spi_transceive(tx, rx_len=rx_len, is_trigger=1)
        elif bus == "i2c":
            # The write goes in the first transfer, the read in the second.
            if tx and rx_len:
                p.i2c_transceive(tx, tsf1_count=1, tsf2_count=1, tsf_rw=0b10, tsf_lens=[len(tx), rx_len],
                                 is_trigger=1)
            elif tx or rx_len:
                p.i2c_transceive(tx, tsf1_count=1, tsf_rw=0 if tx else 0b1, tsf_lens=[len(tx) or rx_len],
                                 is_trigger=1)
            else:
                raise ValueError("an I2C capture needs tx bytes or rx_len")
        elif bus == "uart":
            p.uart_transceive(tx, rx_len=rx_len, timeout=max(int(timeout * 1000), 1), is_trigger=1)
        elif bus is None:
            if tx or rx_len:
                raise ValueError("a forced capture sends nothing: tx and rx_len must be empty")
            p.osc_set_force()
        else:
            raise ValueError("bus must be one of %s or None, got %r" % (", ".join(BUSES), bus))
        p._queue.append(_STATUS)
        started = time.time()
        deadline = time.monotonic() + timeout
        results = p.results()
        answered = time.monotonic()
        rx = results[1] if bus is not None else b""
        status = results[-1]

        # A triggered capture fills for samples / rate after its trigger, which
        # came about half a round trip before the answer. Asking before then is
        # wasted: wait until one round trip before the expected end, then poll
        # at once (sleeps are coarser than a short fill), backing off later.
        # Without a known rate the fill is learnt from the captures seen; the
        # first ones poll at once.
        rate = self.sample_rate_khz
        fill = samples / (rate * 1000.0) if rate else self._fill_seen.get(samples, 0.0)
        waited = False
        if fill and status & TRIGGER_TRIGGERED and not status & TRIGGER_DONE:
            until = min(answered + fill - 1.5 * self._poll_rtt, deadline)
            if until - answered > 0.002:
                time.sleep(max(until - time.monotonic() - 0.001, 0))
            while time.monotonic() < until:
                pass
            waited = True
        spin_until = time.monotonic() + 2 * fill + 0.001
        pause = 0.0002
        pending_at = None
        while not status & TRIGGER_DONE:
            now = time.monotonic()
            if now >= deadline:
                raise CaptureTimeout("no complete capture within %g s (trigger status 0x%03X)" % (timeout, status),
                                     status)
            if now >= spin_until:
                time.sleep(min(pause, max(deadline - now, 0)))
                pause = min(pause * 2, 0.005)
                now = time.monotonic()
            (status,) = self._exchange((_STATUS,))
            if isinstance(status, ValdrixError):
                raise status
            done = time.monotonic()
            self._poll_rtt += 0.2 * (done - now - self._poll_rtt)
            if not status & TRIGGER_DONE:
                pending_at = (now + done) / 2
        if not rate:
            # Still filling when a poll was served: the fill is at least that
            # long. Complete at the first look after a wait: a little shorter.
            seen = pending_at - answered if pending_at is not None else (0.9 * fill if waited else 0.0)
            old_fill = self._fill_seen.get(samples)
            self._fill_seen[samples] = seen if old_fill is None else old_fill + 0.3 * (seen - old_fill)

        got: Dict[int, waves.Wave] = {}
        if channels:
            key = (channels, samples)
            entries = self._wave_entries.get(key)
            if entries is None:
                p = self.pipeline()
                for channel in channels:
                    p.osc_get_channel_wave(channel, 0, samples, numpy=waves.HAVE_NUMPY)
                entries = self._wave_entries[key] = tuple(p._queue)
            for channel, wave in zip(channels, self._exchange(entries)):
                if isinstance(wave, ValdrixError):
                    raise wave
                got[channel] = wave
        period = 1.0 / (self.sample_rate_khz * 1000.0) if self.sample_rate_khz else None
        trace = Trace(waves=got, tx=tx, rx=bytes(rx), index=self._index, time=started, sample_period=period,
                      status=status)
        self._index += 1
        return trace


    # Batch capture -----------------------------------------------------------

    def batch_info(self) -> Optional[_batch.BatchInfo]:
        """What the instrument's batch capture offers, or None when it has
        none (it answered Unsupport). Asked once per connection."""
        if self._batch_info is None:
            try:
                answer = self._call(Extension.BATCH_INFO, b"", _BATCH_INFO)
            except UnsupportedError:
                self._batch_info = False
            else:
                self._batch_info = _batch.BatchInfo.decode(answer)
        return self._batch_info or None

    def capture_batch(self, inputs: Any, rx_len: int = 0, channels: Iterable[int] = (1, 2),
                      samples: Optional[int] = None, bus: Optional[str] = "spi", timeout: float = 1.0, *,
                      per_trace: Optional[bool] = None) -> _batch.TraceBatch:
        """Captures one trace per input, as ``capture`` does, in few requests.

        inputs: byte strings of one length, or an (N, tx_len) uint8 array.
        timeout: seconds each trace's capture may take to complete. A trace
        that misses its trigger or whose transfer fails is not an exception:
        its ``result`` says so (``status`` holds its last trigger status) and
        the batch goes on with the next input.

        The instrument's batch capture is used where it has one; batches
        whose answer would not fit a frame are split, and the next request
        is sent before the answer in hand is read. Otherwise, or with
        ``per_trace=True``, each trace is one ``capture`` sequence.
        """
        tx = _batch.input_array(inputs)
        channels, samples, info = self._batch_args(tx, rx_len, channels, samples, bus, per_trace)
        if info is None:
            return self._capture_each(tx, rx_len, channels, samples, bus, timeout)
        record = _batch.record_size(rx_len, channels, samples)
        parts: List[_batch.TraceBatch] = []
        sent: List[BatchRequest] = []
        try:
            for first, end in _batch.splits(len(tx), tx.shape[1], record, info, _BATCH_ANSWER_CAP):
                sent.append(self.send_batch(tx[first:end], rx_len, channels, samples, bus, timeout))
                if len(sent) - len(parts) > 1:
                    parts.append(self.receive_batch(sent[len(parts)]))
            while len(parts) < len(sent):
                parts.append(self.receive_batch(sent[len(parts)]))
        except ValdrixError:
            self.drain_batches()
            raise
        return parts[0] if len(parts) == 1 else _batch.TraceBatch.concatenate(parts)

    def _batch_args(self, tx: Any, rx_len: int, channels: Iterable[int], samples: Optional[int],
                    bus: Optional[str], per_trace: Optional[bool]
                    ) -> Tuple[Tuple[int, ...], int, Optional[_batch.BatchInfo]]:
        """Checks a batch's arguments; returns its channels, its sample length
        and the instrument's batch capture (None: one sequence per trace)."""
        _check("tx length", tx.shape[1], 16)
        channels, samples = self._capture_args(rx_len, tuple(sorted(set(channels))), samples)
        if bus not in _batch_bus_codes():
            raise ValueError("bus must be one of %s or None, got %r" % (", ".join(BUSES), bus))
        if bus is None and (tx.shape[1] or rx_len):
            raise ValueError("a forced capture sends nothing: tx and rx_len must be empty")
        info = None if per_trace else self.batch_info()
        if info is not None and not info.buses >> _BATCH_BUS[bus] & 1:
            info = None  # an instrument whose batches do not serve this bus
        if info is not None and samples > info.memory_samples:
            raise ValueError("a window of %d samples exceeds the sample memory (%d)" % (samples, info.memory_samples))
        return channels, samples, info

    def _capture_each(self, tx: Any, rx_len: int, channels: Tuple[int, ...], samples: int, bus: Optional[str],
                      timeout: float) -> _batch.TraceBatch:
        period = 1.0 / (self.sample_rate_khz * 1000.0) if self.sample_rate_khz else None
        out = _batch.TraceBatch.empty(len(tx), tx, rx_len, channels, samples, period)
        for i, row in enumerate(tx):
            try:
                trace = self.capture(row.tobytes(), rx_len, channels, samples, bus, timeout)
            except CaptureTimeout as e:
                out.status[i] = e.status or 0
                continue
            except (BusyError, TimeOutError) as e:
                out.result[i], out.error[i] = _batch.BUS_ERROR, e.status
                continue
            for channel in channels:
                out.waves[channel][i] = trace.waves[channel]
            out.rx_array[i] = _batch.np.frombuffer(trace.rx, _batch.np.uint8)
            out.status[i], out.result[i] = trace.status, _batch.COMPLETE
        return out

    def batch_limit(self, tx_len: int, rx_len: int, channels: Iterable[int], samples: int) -> int:
        """The most traces one batch request of this shape may carry (0 when
        the instrument has no batch capture)."""
        info = self.batch_info()
        if info is None:
            return 0
        return _batch.per_request(tx_len, _batch.record_size(rx_len, tuple(channels), samples), info,
                                  _batch.FRAME_LIMIT)

    def send_batch(self, inputs: Any, rx_len: int = 0, channels: Iterable[int] = (1, 2),
                   samples: Optional[int] = None, bus: Optional[str] = "spi", timeout: float = 1.0
                   ) -> "BatchRequest":
        """Sends one batch request without waiting for its answer, which
        ``receive_batch`` reads: several may be in flight, so the instrument
        goes on to the next batch while the host takes in the last. No other
        command may be sent until every answer is read. The inputs must fit
        one request (``batch_limit``)."""
        tx = _batch.input_array(inputs)
        channels, samples, info = self._batch_args(tx, rx_len, channels, samples, bus, False)
        if info is None:
            raise ValueError("the instrument has no batch capture for bus %r" % bus)
        record = _batch.record_size(rx_len, channels, samples)
        if len(tx) > _batch.per_request(tx.shape[1], record, info, _batch.FRAME_LIMIT):
            raise ValueError("%d traces do not fit one batch request" % len(tx))
        timeout_ms = max(int(timeout * 1000 + 0.5), 1)
        payload = _batch.encode_request(_BATCH_BUS[bus], channels, 0, samples, tx, rx_len, timeout_ms)
        period = 1.0 / (self.sample_rate_khz * 1000.0) if self.sample_rate_khz else None
        request = BatchRequest(tx, rx_len, channels, samples, record, self._record_time(bus, timeout, tx.shape[1],
                                                                                       rx_len), period)
        conn = self._conn
        if conn is None:
            self._exchange(())  # raises NotConnectedError or reconnects
            conn = self._conn
        try:
            if not self._in_flight:
                conn.check_idle()
            conn.send(encode_request(Extension.CAPTURE_BATCH, payload))
        except BaseException as e:
            self._close("closed after %s: %s" % (type(e).__name__, e))
            raise
        self._in_flight.append(request)
        return request

    def _record_time(self, bus: Optional[str], timeout: float, tx_len: int, rx_len: int) -> float:
        """Seconds the next record of a batch may take from the last bytes
        received: its capture's time-out (the UART's receive time-out comes
        first, and is as long), the bus transfer at the set-up's clock, and
        the record's way to the host."""
        kw = self._setup_kwargs or {}
        octets = tx_len + rx_len
        if bus == "uart":
            # start, data, parity and stop bits: at most 12 a byte
            transfer = octets * 12.0 / max(int(kw.get("uart_baudrate") or 9600), 1)
        elif bus == "i2c":
            hz = _I2C_HZ.get(kw.get("i2c_speed", 0), 100_000)
            transfer = (octets + 4) * 9.0 / hz
        elif bus == "spi":
            transfer = octets * 8 * 20e-9 * (int(kw.get("spi_psc", 0xFFFF)) + 1)
        else:
            transfer = 0.0
        # A UART waits for its answer as long as for the capture; SPI and I2C
        # for a busy bus up to their own limit.
        bus_wait = timeout if bus == "uart" else _BUS_WAIT if bus else 0.0
        return timeout + bus_wait + transfer + min(self.timeout, _RECORD_SLACK)

    def receive_batch(self, request: "BatchRequest", *, cut_on_failure: bool = False) -> _batch.TraceBatch:
        """Reads the answer of the oldest batch request in flight, which must
        be ``request``. An error answer raises its ValdrixError; the requests
        sent after it stay in flight (``drain_batches`` reads them).

        ``cut_on_failure``: the first trace that did not complete ends the
        batch, as soon as its record is in: the batch returned ends with it,
        and the connection is closed, which is how the instrument learns to
        stop (the batches in flight are lost with it)."""
        if not self._in_flight or self._in_flight[0] is not request:
            raise ValueError("batch answers are read in the order their requests were sent")
        self._in_flight.pop(0)
        raw = self._batch_exchange(request.count, request.record, request.per_record, cut_on_failure)
        return _batch.TraceBatch.from_records(raw, request.tx[:len(raw)], request.channels, request.rx_len,
                                              request.samples, request.period)

    @property
    def batches_in_flight(self) -> int:
        """Batch requests sent whose answers are still to be read."""
        return len(self._in_flight)

    def drain_batches(self) -> None:
        """Reads and drops the answers of every batch request still in flight."""
        while self._in_flight:
            try:
                self.receive_batch(self._in_flight[0])
            except ValdrixError:
                pass

    def _batch_buffer(self, count: int, record: int) -> Any:
        """A (count, record) uint8 array for a batch's answer, on memory that
        an earlier batch's arrays no longer use where there is some: new
        memory costs a page fault every 4 KiB, which at the instrument's rate
        is a good share of what receiving costs."""
        size = count * record
        spare = self._spare
        for i in range(len(spare)):
            if _unused(spare, i):
                if len(spare[i]) >= size:
                    return spare[i][:size].reshape(count, record)
                del spare[i]  # too small for the batches now asked for
                break
        buf = _batch.np.empty(size, _batch.np.uint8)
        if hasattr(sys, "getrefcount") and len(spare) < _SPARE_BUFFERS:
            spare.append(buf)
        return buf.reshape(count, record)

    def _batch_exchange(self, count: int, record: int, per_record: float, cut: bool = False) -> Any:
        """Reads a batch's answer into a new (count, record) array; each record
        must begin within ``per_record`` seconds of the last bytes received.
        With ``cut``, only up to the first failed trace (see receive_batch)."""
        conn = self._conn
        if conn is None:
            raise NotConnectedError("not connected to %s:%d (%s); call reconnect()"
                                    % (self.host, self.port, self._closed_by))
        raw = self._batch_buffer(count, record)
        try:
            deadline = time.monotonic() + per_record
            status, length = conn.read_header(deadline, count * record)
            if status:
                body = bytearray(length)
                conn.read_into(memoryview(body), deadline)
                error = error_for_status(status, body)
            else:
                if length != count * record:
                    raise FramingError("invalid response: %d bytes for %d records of %d" % (length, count, record))
                error = None
                if not cut:
                    conn.read_records(memoryview(raw).cast("B"), record, per_record)
                else:
                    # Records are read in runs that start at one and double, so
                    # a failed trace of a slow batch is seen as soon as it is in.
                    done, run = 0, 1
                    while done < count:
                        end = min(count, done + run)
                        conn.read_records(memoryview(raw[done:end]).cast("B"), record, per_record)
                        failed = _batch.np.flatnonzero(raw[done:end, 0:2].view(">u2").ravel() != _batch.COMPLETE)
                        if len(failed):
                            end = done + int(failed[0]) + 1
                            if end < count:
                                self._close("closed to end a batch at its failed trace %d" % (end - 1))
                            return raw[:end]
                        done, run = end, min(2 * run, _CUT_RUN)
        except socket.timeout:
            self._close("closed after no record within %g s" % per_record)
            raise socket.timeout("no answer from %s:%d within %g s of the last record"
                                 % (self.host, self.port, per_record)) from None
        except BaseException as e:
            self._close("closed after %s: %s" % (type(e).__name__, e))
            raise
        if error is not None:
            raise error
        return raw


def _unused(spare: List[Any], i: int) -> bool:
    """Whether no batch's arrays are views of spare[i] any more: the list and
    getrefcount's argument are then all that refer to it."""
    return sys.getrefcount(spare[i]) <= 2


class BatchRequest:
    """A batch request sent, whose answer is still to be read."""

    __slots__ = ("tx", "rx_len", "channels", "samples", "record", "per_record", "period")

    def __init__(self, tx: Any, rx_len: int, channels: Tuple[int, ...], samples: int, record: int,
                 per_record: float, period: Optional[float]) -> None:
        self.tx, self.rx_len, self.channels, self.samples = tx, rx_len, channels, samples
        self.record, self.per_record, self.period = record, per_record, period

    @property
    def count(self) -> int:
        return len(self.tx)


class Pipeline(Commands):
    """Commands queued on a client and sent back to back.

    Every command method queues its request and returns its position among
    the answers; ``results()`` sends all queued requests back to back and
    reads the answers in order. A context manager for readability only: the
    requests leave when ``results()`` is called.
    """

    def __init__(self, client: Valdrix) -> None:
        self._client = client
        self._queue: List[_Entry] = []
        self._results: Optional[List[Union[Any, ValdrixError]]] = None
        self._notes: List[Tuple[int, str, int]] = []

    def __enter__(self) -> "Pipeline":
        return self

    def __exit__(self, exc_type: Any, *exc: Any) -> bool:
        return False

    def __len__(self) -> int:
        return len(self._queue)

    def _call(self, command: int, payload: bytes, decode: Decoder, timeout: Optional[float] = None,
              mutable: bool = False) -> int:
        if self._results is not None:
            raise RuntimeError("this pipeline's answers have been read; start a new one")
        self._queue.append((encode_request(command, payload), decode, timeout, mutable))
        return len(self._queue) - 1

    # Settings the client remembers take effect once their answers say so.
    def _note_sample_length(self, samples: int) -> None:
        self._notes.append((len(self._queue) - 1, "sample_length", samples))

    def _note_sample_rate(self, khz: int) -> None:
        self._notes.append((len(self._queue) - 1, "sample_rate_khz", khz))

    def results(self, raise_errors: bool = True) -> List[Any]:
        """Sends the queued requests and returns their decoded answers in order.

        Every answer is read before an error is raised, so the connection stays
        in step: with ``raise_errors`` the first error answer is raised (its
        ``results`` attribute holds the whole list), otherwise each error
        answer's ValdrixError stands in its place in the list.
        """
        if self._results is None:
            self._results = self._client._exchange(self._queue) if self._queue else []
            for i, name, value in self._notes:
                if not isinstance(self._results[i], ValdrixError):
                    setattr(self._client, name, value)
        if raise_errors:
            for result in self._results:
                if isinstance(result, ValdrixError):
                    result.results = list(self._results)
                    raise result
        return list(self._results)
