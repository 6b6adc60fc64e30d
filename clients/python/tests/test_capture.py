"""The capture call, campaign set-up and pipelines, against the suite's valdrixd-sim."""

import socket
import struct
import threading

import pytest

from conftest import SLOW, response
from valdrix import CaptureTimeout, InternalError, TRIGGER_COMPLETE, Valdrix, ValdrixError, waves

SAMPLES = 1024
TIMEOUT = 20.0 if SLOW else 2.0


def pulses(wave, baseline=4000):
    """Samples of channel B clearly above the target's resting draw."""
    return sum(1 for x in wave if x > baseline + 1000)


def test_setup_applies_everything_in_one_call_and_reports_it(v):
    settings = v.setup(samples=SAMPLES, sample_rate_khz=24000, clock_khz=4000, trigger_level=-5, gain_b=50,
                       bus="i2c", i2c_addr=0x50, i2c_speed=2)
    assert settings["samples"] == SAMPLES and settings["trigger_level"] == -5 and settings["i2c_speed"] == 2
    assert "spi_psc" not in settings
    assert v.sample_length == SAMPLES and v.sample_rate_khz == 24000
    # The level went as the u16 of the signed value.
    assert v.read_register(0x43C20000, 0x28) == 0xFFFB
    with pytest.raises(InternalError, match="^Setting voltage to 1800$"):
        v.setup(voltage_mv=1800)


def test_capture_over_each_bus_and_forced(v):
    v.setup(samples=SAMPLES, bus="spi")
    quiet = v.capture(b"\x00\x00", rx_len=2, timeout=TIMEOUT)
    loud = v.capture(b"\xff\xff", rx_len=2, timeout=TIMEOUT)
    assert (quiet.tx, quiet.rx, loud.rx) == (b"\x00\x00", b"\x00\x00", b"\xff\xff")
    assert loud.index == quiet.index + 1 and loud.time >= quiet.time
    assert loud.status == TRIGGER_COMPLETE
    assert sorted(loud.waves) == [1, 2] and all(len(w) == SAMPLES for w in loud.waves.values())
    assert loud.sample_period == pytest.approx(1 / 48e6)
    # A byte with bits set draws a pulse on channel B; none for zero bytes.
    assert pulses(quiet.waves[2]) == 0 < pulses(loud.waves[2])

    v.setup(samples=SAMPLES, bus="i2c")
    v.capture(b"\x20\xca\xfe", bus="i2c", timeout=TIMEOUT)
    trace = v.capture(b"\x20", rx_len=2, bus="i2c", channels=(2,), timeout=TIMEOUT)
    assert trace.rx == b"\xca\xfe" and list(trace.waves) == [2]

    v.setup(samples=SAMPLES, bus="uart")
    assert v.capture(b"hi", rx_len=2, bus="uart", timeout=TIMEOUT).rx == b"hi"

    forced = v.capture(bus=None, timeout=TIMEOUT)
    assert forced.status == TRIGGER_COMPLETE and forced.rx == b"" and pulses(forced.waves[2]) == 0


def test_waves_are_never_those_of_an_earlier_capture(v):
    v.setup(samples=SAMPLES)
    v.capture(b"\xff" * 8, timeout=TIMEOUT)
    after = v.capture(b"\x00" * 8, timeout=TIMEOUT)
    assert pulses(after.waves[2]) == 0


def test_a_capture_without_trigger_times_out_as_a_valdrix_error(v):
    v.setup(samples=SAMPLES)
    v.spi_enable(0)  # a disabled controller starts no transfer, so nothing triggers
    with pytest.raises(CaptureTimeout) as info:
        v.capture(b"\x01", timeout=0.3)
    assert isinstance(info.value, ValdrixError) and not isinstance(info.value, OSError)
    assert info.value.status == 0x001
    # The connection stays usable.
    assert v.capture(bus=None, timeout=TIMEOUT).status == TRIGGER_COMPLETE


def test_capture_needs_a_sample_length(sim_port):
    with Valdrix(port=sim_port) as fresh:
        with pytest.raises(ValueError, match="no sample length"):
            fresh.capture(b"\x01")
        with pytest.raises(TypeError):
            fresh.capture(5, samples=SAMPLES)


def test_without_numpy_waves_are_arrays_of_shorts():
    wave = waves.decode(b"\x01\x00\xff\xff\x00\x80", numpy=False)
    assert wave.typecode == "h" and list(wave) == [1, -1, -32768]


def test_pipeline_answers_come_in_order_and_errors_keep_their_place(v):
    with v.pipeline() as p:
        for i in range(50):
            p.write_register(0x40000000, 4 * i, 1000 + i)
        for i in range(50):
            p.read_register(0x40000000, 4 * i)
        p.osc_set_trigger_source(7)  # refused by the service
        p.get_name()
    results = p.results(raise_errors=False)
    assert results[50:100] == [1000 + i for i in range(50)]
    assert isinstance(results[100], InternalError) and results[100].message.startswith("parse u8 range error:")
    assert results[101] == "Valdrix-M4"
    with pytest.raises(InternalError) as info:
        p.results()
    assert info.value.results[101] == "Valdrix-M4"
    assert v.get_id() == "VALDRIX-M4-123456"


def test_pipelined_requests_leave_before_any_answer_is_awaited():
    # This peer answers only once it holds all three requests: a client that
    # waited for each answer before sending the next request would time out.
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    received = []

    def serve():
        conn, _ = listener.accept()
        with conn:
            data = b""
            while len(data) < 3 * 15:
                chunk = conn.recv(4096)
                if not chunk:
                    return
                data += chunk
            received.append(data)
            conn.sendall(response(0, b"Valdrix-M4") + response(0x8001) + response(0, b"\x00\x00\x01\x02"))
            conn.recv(1)

    thread = threading.Thread(target=serve, daemon=True)
    thread.start()
    with Valdrix(port=listener.getsockname()[1], timeout=2) as client:
        p = client.pipeline()
        p.get_name()
        p.request(0x7777)
        p.osc_get_trigger_status()
        name, error, status = p.results(raise_errors=False)
    thread.join(5)
    listener.close()
    assert (name, status, error.status) == ("Valdrix-M4", 0x102, 0x8001)
    assert [struct.unpack(">H", received[0][k + 7:k + 9])[0] for k in (0, 15, 30)] == [0x0002, 0x7777, 0x0127]
