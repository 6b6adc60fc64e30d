"""One method per protocol command, shared by the client and its pipelines.

Each method packs its arguments as the command's payload record (big-endian,
no padding) and hands the frame to ``_call`` with the decoder of its answer.
``Valdrix`` runs the exchange at once and returns the decoded answer;
``Pipeline`` queues it and returns its position among the answers to come.
"""

from __future__ import annotations

import struct
from typing import Any, Callable, Optional, Sequence, Union

from . import waves
from .codes import Command, GAIN_PERCENT
from .errors import FramingError
from .protocol import MAX_ANSWER

__all__ = ["Commands", "BytesLike"]

BytesLike = Union[bytes, bytearray, memoryview, str]
Decoder = Callable[[Union[bytes, bytearray]], Any]

# The service may stay silent for a UART transfer's whole time-out.
_UART_MARGIN = 2.0


def _check(name: str, value: int, bits: int, low: int = 0, high: Optional[int] = None) -> int:
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    if high is None:
        high = (1 << bits) - 1
    if not low <= value <= high:
        raise ValueError("%s must be between %d and %d, got %d" % (name, low, high, value))
    return value


def _flag(name: str, value: Union[int, bool]) -> int:
    if isinstance(value, bool):
        return int(value)
    return _check(name, value, 8)


def _bytes(name: str, value: BytesLike) -> bytes:
    """Bytes of a byte argument; text goes as UTF-8. An int is refused, since
    bytes(5) would quietly send five zero bytes."""
    if isinstance(value, str):
        return value.encode("utf-8")
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    if not isinstance(value, int):
        try:
            return bytes(value)  # a list or array of byte values
        except (TypeError, ValueError):
            pass
    raise TypeError("%s must be bytes-like or str, not %s" % (name, type(value).__name__))


# Every decoder carries ``limit``: the longest successful answer its command
# can have. The connection refuses a longer one before reading it.
_TEXT_LIMIT = 4096
# The UART's receive FIFO is far smaller than this.
_FIFO_LIMIT = 64 * 1024


def _limited(limit: int, decode: Decoder) -> Decoder:
    decode.limit = limit  # type: ignore[attr-defined]
    return decode


def answer_limit(decode: Decoder) -> int:
    """The longest answer ``decode`` accepts."""
    return getattr(decode, "limit", MAX_ANSWER)


def _empty(answer: Union[bytes, bytearray]) -> None:
    if answer:
        raise FramingError("invalid response: %d answer bytes, expected none" % len(answer))
    return None


_empty.limit = 0  # type: ignore[attr-defined]


def _raw_upto(limit: int) -> Decoder:
    return _limited(limit, lambda answer: bytes(answer))


def _text(answer: Union[bytes, bytearray]) -> str:
    return bytes(answer).decode("ascii", "replace")


_text.limit = _TEXT_LIMIT  # type: ignore[attr-defined]


def _sized(fmt: str) -> Decoder:
    size = struct.calcsize(fmt)

    def decode(answer: Union[bytes, bytearray]) -> int:
        if len(answer) != size:
            raise FramingError("invalid response: %d answer bytes, expected %d" % (len(answer), size))
        return struct.unpack(fmt, answer)[0]

    return _limited(size, decode)


_u8, _u16, _u32 = _sized(">B"), _sized(">H"), _sized(">I")


def wave_decoder(length: int, numpy: Optional[bool]) -> Decoder:
    def decode(answer: Union[bytes, bytearray]) -> waves.Wave:
        if len(answer) != waves.SAMPLE_BYTES * length:
            raise FramingError("invalid response: %d wave bytes for %d samples" % (len(answer), length))
        return waves.decode(answer, numpy=numpy)

    return _limited(waves.SAMPLE_BYTES * length, decode)


def _wave_bytes(length: int) -> Decoder:
    def decode(answer: Union[bytes, bytearray]) -> bytes:
        if len(answer) != waves.SAMPLE_BYTES * length:
            raise FramingError("invalid response: %d wave bytes for %d samples" % (len(answer), length))
        return bytes(answer)

    return _limited(waves.SAMPLE_BYTES * length, decode)


class Commands:
    """The protocol's 41 commands. Subclasses provide ``_call``."""

    def _call(self, command: int, payload: bytes, decode: Decoder, timeout: Optional[float] = None,
              mutable: bool = False) -> Any:
        raise NotImplementedError

    def _note_sample_length(self, samples: int) -> None:
        """Called with each sample length sent (the client remembers it)."""

    def _note_sample_rate(self, khz: int) -> None:
        """Called with each sample rate sent."""

    def request(self, command: int, payload: BytesLike = b"", timeout: Optional[float] = None,
                max_answer: int = MAX_ANSWER) -> Any:
        """Sends any command code (0..0xFFFF) with any payload; the answer's bytes.

        Error answers raise the matching ValdrixError subclass. ``timeout``
        (seconds) lengthens the wait for this answer beyond the client's;
        an answer longer than ``max_answer`` bytes raises FramingError.
        """
        return self._call(_check("command", command, 16), _bytes("payload", payload),
                          _raw_upto(_check("max_answer", max_answer, 32)), timeout)

    # General -----------------------------------------------------------------

    def get_id(self) -> str:
        """The instrument's identifier, e.g. "VALDRIX-M4-123456"."""
        return self._call(Command.GET_ID, b"", _text)

    def get_name(self) -> str:
        """The instrument's name, "Valdrix-M4"."""
        return self._call(Command.GET_NAME, b"", _text)

    def get_version(self) -> str:
        """The service's version, e.g. "0.0.1"."""
        return self._call(Command.GET_VERSION, b"", _text)

    def read_register(self, base_addr: int, offset: int) -> int:
        """The 32-bit register at byte ``offset`` (multiple of 4, below 0x10000)
        inside the 64 KiB window at physical address ``base_addr`` (page-aligned)."""
        return self._call(Command.READ_REGISTER,
                          struct.pack(">II", _check("base_addr", base_addr, 32), _check("offset", offset, 32)),
                          _u32)

    def write_register(self, base_addr: int, offset: int, value: int) -> None:
        """Writes the 32-bit ``value`` to the register at ``offset`` of the window at ``base_addr``."""
        return self._call(Command.WRITE_REGISTER,
                          struct.pack(">III", _check("base_addr", base_addr, 32), _check("offset", offset, 32),
                                      _check("value", value, 32)), _empty)

    def set_log_level(self, level: str) -> None:
        """The service's log level: "trace", "debug", "info", "warn" or "error" (any case)."""
        return self._call(Command.SET_LOG_LEVEL, _bytes("level", level), _empty)

    # Oscilloscope ------------------------------------------------------------

    def osc_set_channel_enable(self) -> int:
        """Answers 1; both channels always capture."""
        return self._call(Command.OSC_SET_CHANNEL_ENABLE, b"", _u8)

    def osc_set_channel_gain(self, channel: int, gain: int) -> None:
        """Gain of channel 1 (A) or 2 (B) in percent, 0 to 100 (100 is full scale)."""
        return self._call(Command.OSC_SET_CHANNEL_GAIN,
                          struct.pack(">BB", _check("channel", channel, 8, 1, 2),
                                      _check("gain", gain, 8, *GAIN_PERCENT)), _empty)

    def osc_set_channel_gain_raw(self, channel: int, raw: int) -> None:
        """Gain of channel 1 or 2 as the raw 8-bit setpoint, 0 to 255."""
        return self._call(Command.OSC_SET_CHANNEL_GAIN_RAW,
                          struct.pack(">BB", _check("channel", channel, 8, 1, 2), _check("raw", raw, 8)), _empty)

    def osc_set_sample_clock_phase(self, degrees: int) -> None:
        """Phase of the sample clock, in whole degrees."""
        return self._call(Command.OSC_SET_SAMPLE_CLOCK_PHASE, struct.pack(">I", _check("degrees", degrees, 32)),
                          _empty)

    def osc_set_trigger_delay(self, delay: int) -> None:
        """Samples are taken ``delay`` sample-clock periods after the trigger."""
        return self._call(Command.OSC_SET_TRIGGER_DELAY, struct.pack(">I", _check("delay", delay, 32)), _empty)

    def osc_set_sample_length(self, samples: int) -> None:
        """Samples per capture and channel; the instrument rounds up to a multiple of 1024."""
        result = self._call(Command.OSC_SET_SAMPLE_LENGTH, struct.pack(">I", _check("samples", samples, 32)),
                            _empty)
        self._note_sample_length(samples)
        return result

    def osc_set_single(self) -> None:
        """Arms one capture; the status reads 0x001 until its trigger comes."""
        return self._call(Command.OSC_SET_SINGLE, b"", _empty)

    def osc_get_trigger_status(self) -> int:
        """The capture core's status word: bit 0 armed, bit 1 triggered, bit 8
        complete (TRIGGER_COMPLETE, 0x102, once captured)."""
        return self._call(Command.OSC_GET_TRIGGER_STATUS, b"", _u32)

    def osc_set_sample_rate(self, khz: int) -> None:
        """Sample rate in kHz: 4000, 8000, 12000, 24000, 48000 or 65000."""
        result = self._call(Command.OSC_SET_SAMPLE_RATE, struct.pack(">I", _check("khz", khz, 32)), _empty)
        self._note_sample_rate(khz)
        return result

    def osc_set_force(self) -> None:
        """Triggers an armed capture at once."""
        return self._call(Command.OSC_SET_FORCE, b"", _empty)

    def _wave_payload(self, channel: int, offset: int, length: int) -> bytes:
        return struct.pack(">BII", _check("channel", channel, 8, 1, 2), _check("offset", offset, 32),
                           _check("length", length, 32))

    def osc_get_channel_wave_bytes(self, channel: int, offset: int, length: int) -> bytes:
        """The raw answer: ``length`` samples from ``offset`` of channel 1 or 2,
        2 bytes each, encoded as ``valdrix.waves`` describes."""
        return self._call(Command.OSC_GET_CHANNEL_WAVE, self._wave_payload(channel, offset, length),
                          _wave_bytes(length))

    def osc_get_channel_wave(self, channel: int, offset: int, length: int, numpy: bool = False) -> waves.Wave:
        """Samples ``offset`` to ``offset + length - 1`` of channel 1 (A) or 2 (B).

        Returns array('h'), or a numpy int16 array with numpy=True.
        """
        return self._call(Command.OSC_GET_CHANNEL_WAVE, self._wave_payload(channel, offset, length),
                          wave_decoder(length, numpy), mutable=True)

    def osc_set_trigger_source(self, source: int) -> None:
        """0 N (force and bus trigger bits only), 1 channel A, 2 channel B, 3 P."""
        return self._call(Command.OSC_SET_TRIGGER_SOURCE, struct.pack(">B", _check("source", source, 8)), _empty)

    def osc_set_trigger_mode(self, mode: int) -> None:
        """0 E (edge), 1 P."""
        return self._call(Command.OSC_SET_TRIGGER_MODE, struct.pack(">B", _check("mode", mode, 8)), _empty)

    def osc_set_trigger_edge(self, edge: int) -> None:
        """0 U (rising), 1 D (falling), 2 E (either)."""
        return self._call(Command.OSC_SET_TRIGGER_EDGE, struct.pack(">B", _check("edge", edge, 8)), _empty)

    def osc_set_trigger_edge_level(self, level: int) -> None:
        """Trigger level, a u16 that the core reads as a signed 16-bit sample value
        (pass level & 0xFFFF for a negative level)."""
        return self._call(Command.OSC_SET_TRIGGER_EDGE_LEVEL, struct.pack(">H", _check("level", level, 16)),
                          _empty)

    # Target power and clock --------------------------------------------------

    def nut_set_voltage_enable(self, enable: Union[int, bool]) -> None:
        """Target supply: 0 off, anything else on."""
        return self._call(Command.NUT_SET_VOLTAGE_ENABLE, struct.pack(">B", _flag("enable", enable)), _empty)

    def nut_set_voltage_value(self, millivolts: int) -> None:
        """Target supply voltage, 2000 to 4100 mV."""
        return self._call(Command.NUT_SET_VOLTAGE_VALUE, struct.pack(">I", _check("millivolts", millivolts, 32)),
                          _empty)

    def nut_set_clock(self, khz: int) -> None:
        """Target clock in kHz: 4000, 8000, 12000, 24000, 48000 or 65000."""
        return self._call(Command.NUT_SET_CLOCK, struct.pack(">I", _check("khz", khz, 32)), _empty)

    def nut_set_voltage_raw_value(self, raw: int) -> None:
        """Target supply as the raw 8-bit setpoint, 0 to 255."""
        return self._call(Command.NUT_SET_VOLTAGE_RAW_VALUE, struct.pack(">B", _check("raw", raw, 8)), _empty)

    def nut_clock_enable(self, gate: Union[int, bool]) -> None:
        """Target clock gate: 1 runs the clock, 0 stops it."""
        return self._call(Command.NUT_CLOCK_ENABLE, struct.pack(">B", _flag("gate", gate)), _empty)

    # SPI ---------------------------------------------------------------------

    def spi_transceive(self, tx_data: BytesLike = b"", rx_len: int = 0, is_trigger: int = 0,
                       is_delay: int = 0, delay: int = 0) -> bytes:
        """Sends ``tx_data``, then clocks in ``rx_len`` bytes (0..65535) and returns them.

        is_trigger=1 triggers an armed capture; is_delay=1 waits ``delay``
        controller clocks first. With rx_len=0 the service answers once the
        bytes are queued, without waiting for the transfer's end.
        """
        head = struct.pack(">BIHB", _flag("is_delay", is_delay), _check("delay", delay, 32),
                           _check("rx_len", rx_len, 16), _flag("is_trigger", is_trigger))
        return self._call(Command.SPI_TRANSCEIVE, head + _bytes("tx_data", tx_data), _raw_upto(rx_len))

    def spi_enable(self, enable: int) -> None:
        """1 enables the SPI master, 0 disables it."""
        return self._call(Command.SPI_ENABLE, struct.pack(">B", _flag("enable", enable)), _empty)

    def spi_reset(self) -> None:
        """Aborts the running transfer and empties the FIFOs."""
        return self._call(Command.SPI_RESET, b"", _empty)

    def spi_config(self, psc: int, cpol: int, cpha: int) -> None:
        """Clock prescaler (SPI clock = 50 MHz / (psc + 1)), clock polarity and phase (0 or 1)."""
        return self._call(Command.SPI_CONFIG, struct.pack(">HBB", _check("psc", psc, 16), _check("cpol", cpol, 8),
                                                          _check("cpha", cpha, 8)), _empty)

    # I2C ---------------------------------------------------------------------

    def i2c_transceive(self, tx_data: BytesLike = b"", tsf1_count: int = 0, tsf2_count: int = 0,
                       tsf_rw: int = 0, tsf_lens: Sequence[int] = (), is_trigger: int = 0,
                       is_delay: int = 0, delay: int = 0) -> bytes:
        """One transaction over up to eight segments.

        Bit i of ``tsf_rw`` marks segment i as a read; ``tsf_lens`` gives the
        segment lengths (missing ones are 0); ``tsf1_count`` and ``tsf2_count``
        how many segments the first and the second transfer run. ``tx_data``
        holds the bytes of the write segments; the answer holds the bytes of
        the read segments.
        """
        lens = list(tsf_lens)
        if len(lens) > 8:
            raise ValueError("tsf_lens has at most 8 entries, got %d" % len(lens))
        lens += [0] * (8 - len(lens))
        head = struct.pack(">BIBBB8HB", _flag("is_delay", is_delay), _check("delay", delay, 32),
                           _check("tsf1_count", tsf1_count, 8), _check("tsf2_count", tsf2_count, 8),
                           _check("tsf_rw", tsf_rw, 8),
                           *[_check("tsf_lens[%d]" % i, n, 16) for i, n in enumerate(lens)],
                           _flag("is_trigger", is_trigger))
        reads = sum(n for i, n in enumerate(lens) if tsf_rw >> i & 1)
        return self._call(Command.I2C_TRANSCEIVE, head + _bytes("tx_data", tx_data), _raw_upto(reads))

    def i2c_enable(self, enable: int) -> None:
        """1 enables the I2C master, 0 disables it."""
        return self._call(Command.I2C_ENABLE, struct.pack(">B", _flag("enable", enable)), _empty)

    def i2c_reset(self) -> None:
        """Aborts the running transfer and empties the FIFOs."""
        return self._call(Command.I2C_RESET, b"", _empty)

    def i2c_config(self, addr: int, speed: int) -> None:
        """The target's 7-bit address and the bus speed code 0..4 (see ``I2C_SPEED_HZ``)."""
        return self._call(Command.I2C_CONFIG, struct.pack(">BB", _check("addr", addr, 8), _check("speed", speed, 8)),
                          _empty)

    # UART --------------------------------------------------------------------

    def uart_enable(self, enable: int) -> None:
        """1 enables the UART, 0 disables it."""
        return self._call(Command.UART_ENABLE, struct.pack(">B", _flag("enable", enable)), _empty)

    def uart_reset(self) -> None:
        """Resets the UART and empties its receive FIFO."""
        return self._call(Command.UART_RESET, b"", _empty)

    def uart_config(self, stop_bits: int, parity: int, bytesize: int, baudrate: int) -> None:
        """Stop-bit code 0..2, parity code 0..4 (see ``UART_STOP_BITS``,
        ``UART_PARITY``), data bits 5..8, and one of ``UART_BAUD_RATES``."""
        return self._call(Command.UART_CONFIG,
                          struct.pack(">BBBI", _check("stop_bits", stop_bits, 8), _check("parity", parity, 8),
                                      _check("bytesize", bytesize, 8), _check("baudrate", baudrate, 32)), _empty)

    def uart_transceive(self, tx_data: BytesLike = b"", rx_len: int = 0, timeout: int = 1000,
                        is_trigger: int = 0) -> bytes:
        """Sends ``tx_data`` and waits up to ``timeout`` ms for ``rx_len`` bytes.

        Raises TimeOutError when they do not all arrive in time; late bytes
        wait in the receive FIFO.
        """
        head = struct.pack(">HBI", _check("rx_len", rx_len, 16), _flag("is_trigger", is_trigger),
                           _check("timeout", timeout, 32))
        return self._call(Command.UART_TRANSCEIVE, head + _bytes("tx_data", tx_data), _raw_upto(rx_len),
                          timeout / 1000.0 + _UART_MARGIN)

    def uart_receive_fifo_remained(self) -> int:
        """Bytes waiting in the UART's receive FIFO."""
        return self._call(Command.UART_RECEIVE_FIFO_REMAINED, b"", _u16)

    def uart_receive_fifo_dump(self) -> bytes:
        """Reads out every byte waiting in the receive FIFO."""
        return self._call(Command.UART_RECEIVE_FIFO_DUMP, b"", _raw_upto(_FIFO_LIMIT))

    def uart_receive_fifo_clear(self) -> None:
        """Throws away the bytes waiting in the receive FIFO."""
        return self._call(Command.UART_RECEIVE_FIFO_CLEAR, b"", _empty)


