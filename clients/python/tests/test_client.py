"""The protocol client: exact request bytes against a fake server that records
them, and behaviour against the suite's valdrixd-sim."""

import array
import os
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

import valdrix
from conftest import PACKAGE_ROOT, free_port, response
from valdrix import (
    BusyError,
    FramingError,
    InternalError,
    NotConnectedError,
    TimeOutError,
    UnsupportedError,
    Valdrix,
    ValdrixError,
)


# Exact request bytes -------------------------------------------------------

# (method, args, kwargs, command code, payload, answer payload, expected result)
PACKING = [
    ("get_id", (), {}, 0x0001, "", b"VALDRIX-M4-123456", "VALDRIX-M4-123456"),
    ("get_name", (), {}, 0x0002, "", b"Valdrix-M4", "Valdrix-M4"),
    ("get_version", (), {}, 0x0003, "", b"0.0.1", "0.0.1"),
    ("read_register", (0x43C10000, 0x10), {}, 0x0004, "43c10000 00000010", b"\x12\x34\x56\x78", 0x12345678),
    ("write_register", (0x40000000, 4, 0xDEADBEEF), {}, 0x0005, "40000000 00000004 deadbeef", b"", None),
    ("set_log_level", ("Debug",), {}, 0x0006, b"Debug".hex(), b"", None),
    ("osc_set_channel_enable", (), {}, 0x0100, "", b"\x01", 1),
    ("osc_set_channel_gain", (2, 30), {}, 0x0104, "02 1e", b"", None),
    ("osc_set_channel_gain_raw", (1, 200), {}, 0x0105, "01 c8", b"", None),
    ("osc_set_sample_clock_phase", (45,), {}, 0x0108, "0000002d", b"", None),
    ("osc_set_trigger_delay", (0x01020304,), {}, 0x0124, "01020304", b"", None),
    ("osc_set_sample_length", (65536,), {}, 0x0125, "00010000", b"", None),
    ("osc_set_single", (), {}, 0x0126, "", b"", None),
    ("osc_get_trigger_status", (), {}, 0x0127, "", b"\x00\x00\x01\x02", 0x102),
    ("osc_set_sample_rate", (48000,), {}, 0x0128, "0000bb80", b"", None),
    ("osc_set_force", (), {}, 0x0129, "", b"", None),
    ("osc_get_channel_wave", (2, 0x10, 3), {}, 0x0130, "02 00000010 00000003",
     b"\x01\x00\xff\xff\x00\x80", array.array("h", [1, -1, -32768])),
    ("osc_set_trigger_source", (3,), {}, 0x0150, "03", b"", None),
    ("osc_set_trigger_mode", (1,), {}, 0x0151, "01", b"", None),
    ("osc_set_trigger_edge", (2,), {}, 0x0152, "02", b"", None),
    ("osc_set_trigger_edge_level", (0x1234,), {}, 0x0153, "1234", b"", None),
    ("nut_set_voltage_enable", (True,), {}, 0x0200, "01", b"", None),
    ("nut_set_voltage_value", (3300,), {}, 0x0201, "00000ce4", b"", None),
    ("nut_set_clock", (24000,), {}, 0x0202, "00005dc0", b"", None),
    ("nut_set_voltage_raw_value", (213,), {}, 0x0203, "d5", b"", None),
    ("nut_clock_enable", (2,), {}, 0x0204, "02", b"", None),
    ("spi_transceive", (b"\xde\xad",), {"rx_len": 4, "is_trigger": 1, "is_delay": 1, "delay": 7},
     0x023C, "01 00000007 0004 01 dead", b"\x01\x02\x03\x04", b"\x01\x02\x03\x04"),
    ("spi_transceive", (), {}, 0x023C, "00 00000000 0000 00", b"", b""),
    ("spi_enable", (1,), {}, 0x023D, "01", b"", None),
    ("spi_reset", (), {}, 0x023E, "", b"", None),
    ("spi_config", (0x0102, 1, 0), {}, 0x023F, "0102 01 00", b"", None),
    ("i2c_transceive", (b"\x10",), {"tsf1_count": 1, "tsf2_count": 1, "tsf_rw": 2, "tsf_lens": [1, 4],
                                    "is_trigger": 1, "is_delay": 1, "delay": 0x100},
     0x024A, "01 00000100 01 01 02 0001 0004 0000 0000 0000 0000 0000 0000 01 10", b"abcd", b"abcd"),
    ("i2c_enable", (0,), {}, 0x024B, "00", b"", None),
    ("i2c_reset", (), {}, 0x024C, "", b"", None),
    ("i2c_config", (0x50, 1), {}, 0x024D, "50 01", b"", None),
    ("uart_enable", (1,), {}, 0x0260, "01", b"", None),
    ("uart_reset", (), {}, 0x0261, "", b"", None),
    ("uart_config", (1, 2, 8, 115200), {}, 0x0262, "01 02 08 0001c200", b"", None),
    ("uart_transceive", ("hello",), {"rx_len": 5, "timeout": 100}, 0x0263,
     "0005 00 00000064" + b"hello".hex(), b"hello", b"hello"),
    ("uart_receive_fifo_remained", (), {}, 0x0264, "", b"\x01\x2c", 300),
    ("uart_receive_fifo_dump", (), {}, 0x0265, "", b"xyz", b"xyz"),
    ("uart_receive_fifo_clear", (), {}, 0x0266, "", b"", None),
]


def test_every_command_has_a_packing_case():
    methods = {name for name in dir(Valdrix)
               if name.split("_")[0] in ("get", "read", "write", "set", "osc", "nut", "spi", "i2c", "uart")
               and not name.endswith("_bytes")}
    assert methods == {case[0] for case in PACKING}
    assert len(methods) == 41


@pytest.mark.parametrize("method,args,kwargs,code,payload,answer,result", PACKING,
                         ids=["%s-%d" % (c[0], i) for i, c in enumerate(PACKING)])
def test_request_bytes_and_decoded_answer(fake, method, args, kwargs, code, payload, answer, result):
    server = fake(response(0, answer))
    with Valdrix(port=server.port) as client:
        got = getattr(client, method)(*args, **kwargs)
    assert got == result
    assert type(got) is type(result)
    header, command, sent = server.requests[0]
    expected = bytes.fromhex(payload.replace(" ", ""))
    assert header == b"VLDX\x00\x01S" + struct.pack(">H", code) + b"\x00\x00" + struct.pack(">I", len(expected))
    assert sent == expected


def test_arguments_outside_their_fields_are_refused_before_sending(fake):
    server = fake()
    with Valdrix(port=server.port) as client:
        with pytest.raises(ValueError, match="channel"):
            client.osc_set_channel_gain(256, 1)
        with pytest.raises(ValueError, match="rx_len"):
            client.spi_transceive(b"", rx_len=0x10000)
        with pytest.raises(ValueError, match="base_addr"):
            client.read_register(-1, 0)
        with pytest.raises(ValueError, match="at most 8"):
            client.i2c_transceive(tsf_lens=[1] * 9)
        with pytest.raises(TypeError, match="delay"):
            client.osc_set_trigger_delay(1.5)
        with pytest.raises(ValueError, match="gain must be between 0 and 100, got 101"):
            client.osc_set_channel_gain(1, 101)
        # bytes(5) would be five zero bytes: an int is no byte string.
        with pytest.raises(TypeError, match="tx_data must be bytes-like or str, not int"):
            client.spi_transceive(5)
    assert server.requests == []


def test_wave_as_numpy_array(fake):
    np = pytest.importorskip("numpy")
    server = fake(response(0, b"\x01\x00\xff\xff"))
    with Valdrix(port=server.port) as client:
        wave = client.osc_get_channel_wave(1, 0, 2, numpy=True)
    assert wave.dtype == np.int16
    assert wave.tolist() == [1, -1]


def test_the_protocol_client_runs_on_the_standard_library_alone(fake):
    # numpy made unimportable: the client still talks and gives plain arrays.
    server = fake(response(0, b"\x01\x00\xff\xff"))
    script = ("import sys; sys.modules['numpy'] = None\n"
              "import valdrix\n"
              "with valdrix.Valdrix(port=%d) as v:\n"
              "    print(list(v.osc_get_channel_wave(1, 0, 2)))\n" % server.port)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=30,
                          env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT))
    assert (done.returncode, done.stdout, done.stderr) == (0, "[1, -1]\n", "")


# Error answers and broken exchanges ---------------------------------------

@pytest.mark.parametrize("status,payload,cls,message", [
    (0x0001, b"", BusyError, "Device is busy"),
    (0x0002, b"", TimeOutError, "Operation timed out"),
    (0x8000, b"Opening Axi", InternalError, "Opening Axi"),
    (0x8001, b"", UnsupportedError, "Unsupported operation"),
])
def test_each_error_status_raises_its_exception(fake, status, payload, cls, message):
    server = fake(response(status, payload), response(0, b"VALDRIX-M4-123456"))
    with Valdrix(port=server.port) as client:
        with pytest.raises(cls) as info:
            client.uart_transceive(b"x", rx_len=1, timeout=10)
        assert isinstance(info.value, ValdrixError)
        assert info.value.status == status
        assert info.value.message == message
        # An error answer is a whole frame: the connection stays in step.
        assert client.get_id() == "VALDRIX-M4-123456"


@pytest.mark.parametrize("reply,match", [
    (response(0, b"\x00\x00\x00\x01", magic=b"VLDY"), "magic"),
    (response(0, b"\x00\x00\x00\x01", direction=b"S"), "direction"),
    (response(0x1234), "status 0x1234"),
    (response(0, b"\x00\x01"), "2 answer bytes, expected 4"),
])
def test_framing_errors_are_distinct_and_close_the_connection(fake, reply, match):
    server = fake(reply, response(0, b"\x00\x00\x00\x07"), response(0, b"\x00\x00\x00\x08"))
    with Valdrix(port=server.port) as client:
        with pytest.raises(FramingError, match=match) as info:
            client.read_register(0x40000000, 0)
        assert not isinstance(info.value, (BusyError, TimeOutError, InternalError, UnsupportedError))
        assert not client.connected
        with pytest.raises(NotConnectedError, match="^not connected to 127.0.0.1:%d \\(closed after FramingError: "
                           "invalid response: .*\\); call reconnect\\(\\)$" % server.port):
            client.read_register(0x40000000, 0)
        client.reconnect()
        assert client.read_register(0x40000000, 0) == 7
    # Asked to, a client reconnects by itself on the next call.
    server = fake(reply, response(0, b"\x00\x00\x00\x07"))
    with Valdrix(port=server.port, reconnect=True) as client:
        with pytest.raises(FramingError):
            client.read_register(0x40000000, 0)
        assert client.read_register(0x40000000, 0) == 7


def test_a_dripping_service_cannot_stretch_an_exchange_beyond_its_timeout():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)

    def drip():
        conn, _ = listener.accept()
        with conn:
            conn.recv(15)
            for byte in response(0, b"VALDRIX-M4-123456"):
                try:
                    conn.send(bytes([byte]))
                except OSError:
                    return
                time.sleep(0.05)

    thread = threading.Thread(target=drip, daemon=True)
    thread.start()
    with Valdrix(port=listener.getsockname()[1], timeout=0.4) as client:
        start = time.monotonic()
        with pytest.raises(socket.timeout, match="^no answer from 127.0.0.1:%d within 0.4 s$" % client.port):
            client.get_id()
        assert time.monotonic() - start < 0.8
        assert not client.connected
    thread.join(5)
    listener.close()


def test_an_answer_longer_than_its_command_can_have_is_refused_at_once(fake):
    # A header that announces 512 MiB, and one of 2 MiB for a 16-sample wave.
    huge = struct.pack(">4sHcHI", b"VLDX", 1, b"R", 0, 512 * 1024 * 1024)
    wave = struct.pack(">4sHcHI", b"VLDX", 1, b"R", 0, 2 * 1024 * 1024)
    server = fake(huge, wave, response(0x8000, b"x" * 70000))
    with Valdrix(port=server.port, reconnect=True, timeout=5) as client:
        start = time.monotonic()
        with pytest.raises(FramingError, match="536870912 payload bytes where this request's answer has at most 4"):
            client.osc_get_trigger_status()
        with pytest.raises(FramingError, match="2097152 payload bytes where this request's answer has at most 32$"):
            client.osc_get_channel_wave(1, 0, 16)
        with pytest.raises(FramingError, match="70000 payload bytes where this request's answer has at most 65536"):
            client.get_id()
        assert time.monotonic() - start < 1


def test_a_stray_answer_is_detected_before_the_next_request(fake):
    server = fake(response(0, b"\x00\x00\x00\x01") + response(0, b"\x00\x00\x01\x02"),
                  response(0, b"\x00\x00\x00\x01"))
    with Valdrix(port=server.port) as client:
        assert client.osc_get_trigger_status() == 1
        time.sleep(0.1)
        with pytest.raises(FramingError, match="17 bytes arrived with no request outstanding"):
            client.osc_get_trigger_status()
        assert not client.connected
    # Only the first request ever left.
    assert len(server.requests) == 1


def test_peer_closing_mid_answer_raises_connection_error(fake):
    server = fake(response(0, b"\x00\x00\x00\x01")[:10])
    with Valdrix(port=server.port) as client:
        with pytest.raises(ConnectionError, match="closed the connection"):
            client.read_register(0x40000000, 0)


def test_silent_service_raises_socket_timeout(fake):
    server = fake(None)
    with Valdrix(port=server.port, timeout=0.2) as client:
        with pytest.raises(socket.timeout):
            client.get_id()


def test_connection_refused():
    with pytest.raises(ConnectionRefusedError):
        Valdrix(port=free_port(), timeout=2)


# Against valdrixd-sim ---------------------------------------------------------

def test_identification_and_registers(v):
    assert v.get_id() == "VALDRIX-M4-123456"
    assert v.get_name() == "Valdrix-M4"
    assert v.get_version() == "0.0.1"
    v.write_register(0x40000000, 0x10, 0xDEADBEEF)
    assert v.read_register(0x40000000, 0x10) == 0xDEADBEEF
    v.set_log_level("WARN")
    v.set_log_level("info")


def test_service_errors(v):
    with pytest.raises(InternalError) as info:
        v.set_log_level("off")
    assert info.value.status == 0x8000
    assert info.value.message == "Invalid log level"
    with pytest.raises(InternalError, match="Opening Axi"):
        v.read_register(0x43C10004, 0)
    with pytest.raises(UnsupportedError) as info:
        v.request(0x7777, b"\x01\x02")
    assert info.value.status == 0x8001
    assert v.get_name() == "Valdrix-M4"


def test_oscilloscope_settings(v):
    assert v.osc_set_channel_enable() == 1
    v.osc_set_channel_gain(1, 75)
    v.osc_set_channel_gain(2, 30)
    v.osc_set_channel_gain_raw(2, 128)
    v.osc_set_sample_clock_phase(45)
    v.osc_set_trigger_delay(0)
    v.osc_set_sample_rate(48000)
    v.osc_set_trigger_source(2)
    v.osc_set_trigger_mode(0)
    v.osc_set_trigger_edge(2)
    v.osc_set_trigger_edge_level(0x8000)
    with pytest.raises(InternalError, match="^parse u8 range error:"):
        v.osc_set_trigger_source(4)
    with pytest.raises(InternalError, match="^Invalid clock$"):
        v.osc_set_sample_rate(50000)
    with pytest.raises(InternalError, match="^Setting osc gain 101 on channel 2$"):
        v.request(0x0104, b"\x02\x65")


def test_target_power_and_clock(v):
    v.nut_set_voltage_value(3300)
    v.nut_set_voltage_raw_value(200)
    v.nut_set_voltage_enable(1)
    v.nut_set_clock(24000)
    v.nut_clock_enable(1)
    with pytest.raises(InternalError, match="^Setting voltage to 1800$"):
        v.nut_set_voltage_value(1800)
    v.nut_set_voltage_enable(0)


def sample_word(v, channel, sample):
    """Two samples straight from sample memory, through the raw register command."""
    address = (0x10000000 if channel == 1 else 0x20000000) + 2 * sample
    word = v.read_register(address & ~0xFFFF, address & 0xFFFF)
    return [struct.unpack("<h", struct.pack("<H", word & 0xFFFF))[0],
            struct.unpack("<h", struct.pack("<H", word >> 16))[0]]


def test_forced_capture_of_64_ki_samples(v):
    samples = 64 * 1024
    v.osc_set_sample_rate(48000)
    v.nut_set_clock(4000)
    v.osc_set_channel_gain(1, 100)
    v.osc_set_sample_length(samples)
    v.osc_set_single()
    v.osc_set_force()
    # The capture fills its memories for samples / rate after the trigger.
    deadline = time.monotonic() + 30
    while v.osc_get_trigger_status() != valdrix.TRIGGER_COMPLETE:
        assert time.monotonic() < deadline
        time.sleep(0.001)
    for channel in (1, 2):
        wave = v.osc_get_channel_wave(channel, 0, samples)
        assert isinstance(wave, array.array) and wave.typecode == "h"
        assert len(wave) == samples
        assert list(wave[0:2]) == sample_word(v, channel, 0)
        assert list(wave[samples - 2:]) == sample_word(v, channel, samples - 2)
    # Channel A carries a sine: both signs, not a constant.
    wave = v.osc_get_channel_wave(1, 0, samples)
    assert min(wave) < 0 < max(wave)
    tail = v.osc_get_channel_wave(1, samples - 4, 4)
    assert list(tail) == list(wave[samples - 4:])


def test_spi_echo(v):
    v.spi_config(4, 0, 0)
    v.spi_enable(1)
    assert v.spi_transceive(b"\xde\xad\xbe\xef", rx_len=4) == b"\xde\xad\xbe\xef"
    assert v.spi_transceive(b"\x01\x02", rx_len=5) == b"\x01\x02\x01\x02\x01"
    assert v.spi_transceive(b"", rx_len=2) == b"\xff\xff"
    v.spi_reset()
    with pytest.raises(InternalError, match="^parse u8 range error:"):
        v.spi_enable(2)


def test_i2c_memory_round_trip(v):
    v.i2c_config(0x50, 1)
    v.i2c_enable(1)
    data = b"\x11\x22\x33\x44"
    assert v.i2c_transceive(b"\x20" + data, tsf1_count=1, tsf_rw=0, tsf_lens=[5]) == b""
    # A write-only transaction answers at once; let the controller finish it.
    for _ in range(100):
        if v.read_register(0x43C10000, 0xC0) == 0:
            break
        time.sleep(0.01)
    assert v.i2c_transceive(b"\x20", tsf1_count=1, tsf2_count=1, tsf_rw=0b10, tsf_lens=[1, 4]) == data
    v.i2c_reset()


def test_uart_echo_timeout_and_fifo(v):
    v.uart_config(0, 0, 8, 115200)
    v.uart_enable(1)
    v.uart_receive_fifo_clear()
    assert v.uart_transceive("hello", rx_len=5, timeout=100) == b"hello"
    with pytest.raises(InternalError, match="^Configuring UART$"):
        v.uart_config(0, 0, 8, 4800)

    v.uart_config(0, 0, 8, 9600)
    data = bytes(range(100))
    with pytest.raises(TimeOutError) as info:
        v.uart_transceive(data, rx_len=100, timeout=20)
    assert info.value.status == 0x0002
    # 100 bytes at 9600 baud take about 0.1 s to arrive; wait for all of them.
    for _ in range(100):
        if v.uart_receive_fifo_remained() == 100:
            break
        time.sleep(0.05)
    assert v.uart_receive_fifo_remained() == 100
    assert v.uart_receive_fifo_dump() == data
    assert v.uart_receive_fifo_remained() == 0

    assert v.uart_transceive(b"ab", rx_len=0, timeout=0) == b""
    for _ in range(100):
        if v.uart_receive_fifo_remained() == 2:
            break
        time.sleep(0.01)
    assert v.uart_receive_fifo_remained() == 2
    v.uart_receive_fifo_clear()
    assert v.uart_receive_fifo_remained() == 0
    v.uart_reset()


def test_capture_loop_example(sim_port):
    out = subprocess.run([sys.executable, os.path.join(PACKAGE_ROOT, "capture_loop.py"), "--port", str(sim_port),
                          "--count", "3", "--samples", "1024"],
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("3 traces of 1024 samples on both channels in ")
    assert " traces/s (channel B peak " in out.stdout
