"""Python client of the Valdrix-M4 control service.

One method per protocol command; arguments are packed as the command's payload
record (big-endian, no padding) and answers are decoded into int, bytes or str.
An error answer raises a ValdrixError subclass that carries the status and the
service's message.

    from valdrix import Valdrix

    with Valdrix("192.168.1.50") as v:
        print(v.get_id())
        v.osc_set_sample_length(4096)
        v.osc_set_single()
        v.spi_transceive(b"\\xde\\xad", is_trigger=1)
        wave = v.osc_get_channel_wave(1, 0, 4096)

Connection problems raise the usual OSError subclasses (ConnectionRefusedError,
ConnectionError, and TimeoutError when the service stays silent for longer than
the timeout); they are not ValdrixErrors.

Only the standard library is needed; numpy is used for waves when asked for.
"""

import array
import socket
import struct
import sys

__all__ = [
    "Valdrix",
    "ValdrixError",
    "BusyError",
    "TimeOutError",
    "UnsupportedError",
    "InternalError",
    "FramingError",
    "DEFAULT_PORT",
    "TRIGGER_COMPLETE",
]

DEFAULT_PORT = 9761
# The trigger status word of a completed capture.
TRIGGER_COMPLETE = 0x102

_MAGIC = b"VLDX"
_REQUEST = struct.Struct(">4sHcHHI")
_RESPONSE = struct.Struct(">4sHcHI")
_MAX_PAYLOAD = 16 * 1024 * 1024
# A wave of the whole 256 MiB sample memory is the largest real answer.
_MAX_ANSWER = 512 * 1024 * 1024
# The service may stay silent for a UART transfer's whole time-out.
_UART_MARGIN = 2.0


class ValdrixError(Exception):
    """An error answer from the service, or a broken exchange (FramingError).

    status is the answer's status code (None for a FramingError), message the
    service's text: the error message of an InternalError, else the meaning of
    the status.
    """

    status = None

    def __init__(self, message="", status=None):
        if status is not None:
            self.status = status
        self.message = message
        super().__init__(message)


class BusyError(ValdrixError):
    """Status 0x0001: a bus lock is broken; transfers on that bus are refused."""

    status = 0x0001


class TimeOutError(ValdrixError):
    """Status 0x0002: a transfer did not complete in time."""

    status = 0x0002


class InternalError(ValdrixError):
    """Status 0x8000: the service reports an error; message says which."""

    status = 0x8000


class UnsupportedError(ValdrixError):
    """Status 0x8001: the service has no handler for the command code."""

    status = 0x8001


class FramingError(ValdrixError):
    """The bytes that came back are not a valid response frame.

    The connection is closed when this is raised, since nothing after a bad
    frame can be trusted; the next call connects again.
    """


_ERRORS = {cls.status: cls for cls in (BusyError, TimeOutError, InternalError, UnsupportedError)}
_DEFAULT_MESSAGES = {
    0x0001: "Device is busy",
    0x0002: "Operation timed out",
    0x8001: "Unsupported operation",
}


def _check(name, value, bits, low=0):
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError("%s must be an int, not %s" % (name, type(value).__name__))
    high = (1 << bits) - 1
    if not low <= value <= high:
        raise ValueError("%s must be between %d and %d, got %d" % (name, low, high, value))
    return value


def _flag(name, value):
    return _check(name, int(value), 8, 0)


def _bytes(name, value):
    if isinstance(value, str):
        return value.encode("utf-8")
    try:
        return bytes(value)
    except TypeError:
        raise TypeError("%s must be bytes-like or str, not %s" % (name, type(value).__name__)) from None


class Valdrix:
    """A connection to one instrument (or to valdrixd-sim).

    timeout (seconds) bounds every wait for the service. The connection is
    opened at once; after a broken exchange it is reopened on the next call.
    """

    def __init__(self, host="127.0.0.1", port=DEFAULT_PORT, timeout=5.0):
        self.host = host
        self.port = port
        self.timeout = timeout
        self._sock = None
        self._connect()

    def _connect(self):
        self._sock = socket.create_connection((self.host, self.port), timeout=self.timeout)
        self._sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)

    def close(self):
        if self._sock is not None:
            self._sock.close()
            self._sock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    # The exchange ------------------------------------------------------------

    def _recv_exact(self, size):
        buf = bytearray(size)
        view = memoryview(buf)
        got = 0
        while got < size:
            n = self._sock.recv_into(view[got:], size - got)
            if n == 0:
                raise ConnectionError(
                    "%s:%d closed the connection after %d of %d bytes" % (self.host, self.port, got, size))
            got += n
        return buf

    def request(self, command, payload=b"", timeout=None):
        """Sends any command code with any payload; returns the answer bytes.

        Error answers raise the matching ValdrixError subclass.
        """
        _check("command", command, 16)
        payload = _bytes("payload", payload)
        if len(payload) > _MAX_PAYLOAD:
            raise ValueError("payload of %d bytes exceeds the service's limit" % len(payload))
        if self._sock is None:
            self._connect()
        sock = self._sock
        sock.settimeout(self.timeout if timeout is None else max(timeout, self.timeout))
        try:
            sock.sendall(_REQUEST.pack(_MAGIC, 1, b"S", command, 0, len(payload)) + payload)
            magic, _version, direction, status, length = _RESPONSE.unpack(self._recv_exact(_RESPONSE.size))
            if magic != _MAGIC:
                raise FramingError("invalid response: magic %r instead of b'VLDX'" % bytes(magic))
            if direction != b"R":
                raise FramingError("invalid response: direction %r instead of b'R'" % direction)
            if status != 0 and status not in _ERRORS:
                raise FramingError("invalid response: unknown status 0x%04X" % status)
            if length > _MAX_ANSWER:
                raise FramingError("invalid response: length %d is beyond any answer" % length)
            body = bytes(self._recv_exact(length)) if length else b""
        except BaseException:
            # The stream position is unknown now: never read the rest of this
            # answer as the next one.
            self.close()
            raise
        finally:
            if self._sock is not None:
                self._sock.settimeout(self.timeout)
        if status != 0:
            message = body.decode("utf-8", "replace") or _DEFAULT_MESSAGES.get(status, "")
            raise _ERRORS[status](message)
        return body

    def _u8(self, command, payload=b""):
        return self._sized(command, payload, 1, ">B")

    def _u16(self, command, payload=b""):
        return self._sized(command, payload, 2, ">H")

    def _u32(self, command, payload=b""):
        return self._sized(command, payload, 4, ">I")

    def _sized(self, command, payload, size, fmt):
        answer = self.request(command, payload)
        if len(answer) != size:
            raise FramingError("invalid response: %d answer bytes, expected %d" % (len(answer), size))
        return struct.unpack(fmt, answer)[0]

    def _empty(self, command, payload=b""):
        self.request(command, payload)

    # General -----------------------------------------------------------------

    def get_id(self):
        return self.request(0x0001).decode("ascii", "replace")

    def get_name(self):
        return self.request(0x0002).decode("ascii", "replace")

    def get_version(self):
        return self.request(0x0003).decode("ascii", "replace")

    def read_register(self, base_addr, offset):
        """The 32-bit register at offset inside the 64 KiB window at base_addr."""
        return self._u32(0x0004, struct.pack(">II", _check("base_addr", base_addr, 32),
                                             _check("offset", offset, 32)))

    def write_register(self, base_addr, offset, value):
        self._empty(0x0005, struct.pack(">III", _check("base_addr", base_addr, 32),
                                        _check("offset", offset, 32), _check("value", value, 32)))

    def set_log_level(self, level):
        """level: "trace", "debug", "info", "warn" or "error" (any case)."""
        self._empty(0x0006, _bytes("level", level))

    # Oscilloscope ------------------------------------------------------------

    def osc_set_channel_enable(self):
        return self._u8(0x0100)

    def osc_set_channel_gain(self, channel, gain):
        """gain in percent, 0 to 100; channel 1 (A) or 2 (B)."""
        self._empty(0x0104, struct.pack(">BB", _check("channel", channel, 8), _check("gain", gain, 8)))

    def osc_set_channel_gain_raw(self, channel, raw):
        self._empty(0x0105, struct.pack(">BB", _check("channel", channel, 8), _check("raw", raw, 8)))

    def osc_set_sample_clock_phase(self, degrees):
        self._empty(0x0108, struct.pack(">I", _check("degrees", degrees, 32)))

    def osc_set_trigger_delay(self, delay):
        self._empty(0x0124, struct.pack(">I", _check("delay", delay, 32)))

    def osc_set_sample_length(self, samples):
        """Samples per capture; the instrument rounds up to a multiple of 1024."""
        self._empty(0x0125, struct.pack(">I", _check("samples", samples, 32)))

    def osc_set_single(self):
        """Arms one capture."""
        self._empty(0x0126)

    def osc_get_trigger_status(self):
        """The capture core's status word; TRIGGER_COMPLETE (0x102) once captured."""
        return self._u32(0x0127)

    def osc_set_sample_rate(self, khz):
        """khz: 4000, 8000, 12000, 24000, 48000 or 65000."""
        self._empty(0x0128, struct.pack(">I", _check("khz", khz, 32)))

    def osc_set_force(self):
        self._empty(0x0129)

    def osc_get_channel_wave_bytes(self, channel, offset, length):
        """The raw answer: length little-endian signed 16-bit samples."""
        payload = struct.pack(">BII", _check("channel", channel, 8), _check("offset", offset, 32),
                              _check("length", length, 32))
        answer = self.request(0x0130, payload)
        if len(answer) != 2 * length:
            raise FramingError("invalid response: %d wave bytes for %d samples" % (len(answer), length))
        return answer

    def osc_get_channel_wave(self, channel, offset, length, numpy=False):
        """Samples offset to offset+length-1 of channel 1 (A) or 2 (B).

        Returns array('h'), or a numpy int16 array with numpy=True.
        """
        answer = self.osc_get_channel_wave_bytes(channel, offset, length)
        if numpy:
            import numpy as np

            return np.frombuffer(answer, dtype="<i2").astype(np.int16)
        wave = array.array("h")
        wave.frombytes(answer)
        if sys.byteorder == "big":
            wave.byteswap()
        return wave

    def osc_set_trigger_source(self, source):
        """0 none, 1 channel A, 2 channel B, 3 pattern."""
        self._empty(0x0150, struct.pack(">B", _check("source", source, 8)))

    def osc_set_trigger_mode(self, mode):
        """0 edge, 1 pattern."""
        self._empty(0x0151, struct.pack(">B", _check("mode", mode, 8)))

    def osc_set_trigger_edge(self, edge):
        """0 up, 1 down, 2 either."""
        self._empty(0x0152, struct.pack(">B", _check("edge", edge, 8)))

    def osc_set_trigger_edge_level(self, level):
        self._empty(0x0153, struct.pack(">H", _check("level", level, 16)))

    # Target power and clock --------------------------------------------------

    def nut_set_voltage_enable(self, enable):
        self._empty(0x0200, struct.pack(">B", _flag("enable", enable)))

    def nut_set_voltage_value(self, millivolts):
        """2000 to 4100 mV."""
        self._empty(0x0201, struct.pack(">I", _check("millivolts", millivolts, 32)))

    def nut_set_clock(self, khz):
        """khz: 4000, 8000, 12000, 24000, 48000 or 65000."""
        self._empty(0x0202, struct.pack(">I", _check("khz", khz, 32)))

    def nut_set_voltage_raw_value(self, raw):
        self._empty(0x0203, struct.pack(">B", _check("raw", raw, 8)))

    def nut_clock_enable(self, gate):
        self._empty(0x0204, struct.pack(">B", _flag("gate", gate)))

    # SPI ---------------------------------------------------------------------

    def spi_transceive(self, tx_data=b"", rx_len=0, is_trigger=0, is_delay=0, delay=0):
        """Sends tx_data, then clocks in rx_len bytes and returns them."""
        head = struct.pack(">BIHB", _flag("is_delay", is_delay), _check("delay", delay, 32),
                           _check("rx_len", rx_len, 16), _flag("is_trigger", is_trigger))
        return self.request(0x023C, head + _bytes("tx_data", tx_data))

    def spi_enable(self, enable):
        self._empty(0x023D, struct.pack(">B", _flag("enable", enable)))

    def spi_reset(self):
        self._empty(0x023E)

    def spi_config(self, psc, cpol, cpha):
        self._empty(0x023F, struct.pack(">HBB", _check("psc", psc, 16), _check("cpol", cpol, 8),
                                        _check("cpha", cpha, 8)))

    # I2C ---------------------------------------------------------------------

    def i2c_transceive(self, tx_data=b"", tsf1_count=0, tsf2_count=0, tsf_rw=0, tsf_lens=(),
                       is_trigger=0, is_delay=0, delay=0):
        """One transaction over up to eight segments.

        Bit i of tsf_rw marks segment i as a read; tsf_lens gives the segment
        lengths (missing ones are 0). tx_data holds the bytes of the write
        segments; the answer holds the bytes of the read segments.
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
        return self.request(0x024A, head + _bytes("tx_data", tx_data))

    def i2c_enable(self, enable):
        self._empty(0x024B, struct.pack(">B", _flag("enable", enable)))

    def i2c_reset(self):
        self._empty(0x024C)

    def i2c_config(self, addr, speed):
        """addr: the target's address; speed: bus speed code 0 to 4."""
        self._empty(0x024D, struct.pack(">BB", _check("addr", addr, 8), _check("speed", speed, 8)))

    # UART --------------------------------------------------------------------

    def uart_enable(self, enable):
        self._empty(0x0260, struct.pack(">B", _flag("enable", enable)))

    def uart_reset(self):
        self._empty(0x0261)

    def uart_config(self, stop_bits, parity, bytesize, baudrate):
        self._empty(0x0262, struct.pack(">BBBI", _check("stop_bits", stop_bits, 8),
                                        _check("parity", parity, 8), _check("bytesize", bytesize, 8),
                                        _check("baudrate", baudrate, 32)))

    def uart_transceive(self, tx_data=b"", rx_len=0, timeout=1000, is_trigger=0):
        """Sends tx_data and waits up to timeout ms for rx_len bytes.

        Raises TimeOutError when they do not all arrive in time; late bytes
        wait in the receive FIFO.
        """
        head = struct.pack(">HBI", _check("rx_len", rx_len, 16), _flag("is_trigger", is_trigger),
                           _check("timeout", timeout, 32))
        return self.request(0x0263, head + _bytes("tx_data", tx_data),
                            timeout=timeout / 1000.0 + _UART_MARGIN)

    def uart_receive_fifo_remained(self):
        return self._u16(0x0264)

    def uart_receive_fifo_dump(self):
        return self.request(0x0265)

    def uart_receive_fifo_clear(self):
        self._empty(0x0266)
