"""Batch capture: the records over the wire against a fake server, the fallback
to one request sequence per trace, and batched campaigns equal to per-trace
ones against simulators started with the same seed."""

import struct

import numpy as np
import pytest

from conftest import FakeServer, response
from test_campaign import spawn_sim, stop, tool
from valdrix import BusyError, UnsupportedError, Valdrix
from valdrix.traces import read_traces

INFO = struct.pack(">HHIII", 1, 0x000F, 1 << 27, 16 << 20, 0xFFFFFFFF)


def record(result, error, status, rx, *waves):
    return struct.pack(">HHI", result, error, status) + rx + b"".join(np.asarray(w, "<i2").tobytes() for w in waves)


def test_batch_request_and_records_over_the_wire(fake):
    # Answers of at most two 26-byte records: three traces take two requests.
    info = struct.pack(">HHIII", 1, 0x000F, 1 << 27, 16 << 20, 52)
    first = record(0, 0, 0x102, b"\xca\xfe", [1, -2, 3, -4], [5, 6, 7, 8]) + \
        record(1, 0, 0x001, b"\x00\x00", [0] * 4, [0] * 4)
    second = record(0, 0, 0x102, b"\xbe\xef", [-32768, 0, 32767, 1], [9, 9, 9, 9])
    server = fake(response(0, info), response(0, first), response(0, second))
    with Valdrix(port=server.port) as client:
        batch = client.capture_batch([b"\x01\x02\x03", b"\x04\x05\x06", b"\x07\x08\x09"], rx_len=2, samples=4,
                                     timeout=0.25)
    assert len(batch) == 3
    assert batch.tx == [b"\x01\x02\x03", b"\x04\x05\x06", b"\x07\x08\x09"]
    assert batch.rx == [b"\xca\xfe", b"\x00\x00", b"\xbe\xef"]
    assert batch.status.tolist() == [0x102, 0x001, 0x102] and batch.result.tolist() == [0, 1, 0]
    assert batch.waves[1].dtype == np.int16 and batch.waves[1].shape == (3, 4)
    assert batch.waves[1].tolist() == [[1, -2, 3, -4], [0] * 4, [-32768, 0, 32767, 1]]
    assert batch.waves[2][2].tolist() == [9, 9, 9, 9]
    codes = [command for _, command, _ in server.requests]
    assert codes == [0x0F01, 0x0F00, 0x0F00]
    # bus SPI, both channels, window 0+4, 3-byte inputs, 2-byte answers, count,
    # 250 ms, no flags, then the inputs.
    assert server.requests[1][2].hex() == "0103" "00000000" "00000004" "0003" "0002" "00000002" "000000fa" "0000" \
        "010203" "040506"
    assert server.requests[2][2][14:18] == b"\x00\x00\x00\x01" and server.requests[2][2][24:] == b"\x07\x08\x09"


def test_a_batch_answer_reuses_memory_only_once_no_earlier_batch_holds_it(fake):
    answers = [record(0, 0, 0x102, b"", [k, -k, k, -k], [k] * 4) for k in (1, 2, 3)]
    server = fake(response(0, INFO), *(response(0, a) for a in answers))
    with Valdrix(port=server.port) as client:
        first = client.capture_batch([b"\x01"], samples=4)
        second = client.capture_batch([b"\x02"], samples=4)
        # Held, the first batch keeps its samples while the second's arrive.
        assert first.waves[1].tolist() == [[1, -1, 1, -1]] and second.waves[2].tolist() == [[2] * 4]
        assert not np.shares_memory(first.waves[1], second.waves[1])
        where = first.waves[1].base.__array_interface__["data"][0]
        del first
        third = client.capture_batch([b"\x03"], samples=4)
    assert third.waves[1].tolist() == [[3, -3, 3, -3]] and second.waves[1].tolist() == [[2, -2, 2, -2]]
    # The first batch's memory, let go of, is taken again.
    assert third.waves[1].base.__array_interface__["data"][0] == where


def test_a_larger_batch_never_lands_in_a_smaller_batch_s_memory(fake):
    small, large = record(0, 0, 0x102, b"", [1] * 4, [1] * 4), [record(0, 0, 0x102, b"", [k] * 4, [-k] * 4)
                                                                 for k in (2, 3, 4)]
    server = fake(response(0, INFO), response(0, small), response(0, b"".join(large)))
    with Valdrix(port=server.port) as client:
        client.capture_batch([b"\x01"], samples=4)
        batch = client.capture_batch([b"\x02", b"\x03", b"\x04"], samples=4)
    assert batch.waves[1].tolist() == [[2] * 4, [3] * 4, [4] * 4] and batch.waves[2][2].tolist() == [-4] * 4


class PairingServer(FakeServer):
    """Answers batch_info at once and every other request in pairs: nothing
    until the second of a pair has arrived, as if busy until then."""

    def _serve(self):
        conn, _ = self.listener.accept()
        conn.settimeout(10)
        with conn:
            held = []
            while self.replies:
                header = self._recv(conn, 15)
                if header is None:
                    return
                command, length = struct.unpack(">H", header[7:9])[0], struct.unpack(">I", header[11:])[0]
                self.requests.append((header, command, self._recv(conn, length) if length else b""))
                held.append(self.replies.pop(0))
                if command == 0x0F01 or len(held) == 2:
                    conn.sendall(b"".join(held))
                    held = []


def test_the_next_batch_request_leaves_before_the_answer_in_hand_is_read_and_errors_keep_the_stream_in_step():
    info = struct.pack(">HHIII", 1, 0x000F, 1 << 27, 16 << 20, 26)  # one record an answer
    one = record(0, 0, 0x102, b"\x11", [1, 2, 3, 4], [5, 6, 7, 8])
    two = record(0, 0, 0x102, b"\x22", [9, 9, 9, 9], [0, 0, 0, 0])
    server = PairingServer([response(0, info), response(0, one), response(0, two),
                            response(1, b"Device is busy"), response(0, one), response(0, b"ID-1"),
                            response(0, b"ID-2")])
    try:
        with Valdrix(port=server.port) as client:
            batch = client.capture_batch([b"\x01", b"\x02"], rx_len=1, samples=4, timeout=0.25)
            assert batch.rx == [b"\x11", b"\x22"] and batch.waves[1].tolist() == [[1, 2, 3, 4], [9, 9, 9, 9]]
            # The first answer is an error: the second is read all the same,
            # and what comes next is the next request's answer.
            with pytest.raises(BusyError, match="Device is busy"):
                client.capture_batch([b"\x03", b"\x04"], rx_len=1, samples=4, timeout=0.25)
            with client.pipeline() as p:
                p.get_id()
                p.get_id()
            assert p.results() == ["ID-1", "ID-2"]
    finally:
        server.close()
    assert [command for _, command, _ in server.requests] == [0x0F01, 0x0F00, 0x0F00, 0x0F00, 0x0F00, 0x0001, 0x0001]


def test_a_batch_cut_at_its_first_failed_trace_does_not_wait_for_the_rest(fake):
    # Three records announced, the first a missed trigger, the rest never sent.
    missed = record(1, 0, 0x001, b"\x00", [0] * 4, [0] * 4)
    header = response(0, bytes(3 * len(missed)))[:-3 * len(missed)]
    server = fake(response(0, INFO), header + missed, None)
    with Valdrix(port=server.port, timeout=30) as client:
        request = client.send_batch([b"\x01", b"\x02", b"\x03"], rx_len=1, samples=4, timeout=30)
        batch = client.receive_batch(request, cut_on_failure=True)
        assert len(batch) == 1 and batch.result.tolist() == [1] and batch.tx == [b"\x01"]
        assert not client.connected  # which ends the batch on the instrument


def test_batch_falls_back_to_one_request_sequence_per_trace(fake):
    wave = np.array([1, 2, 3, 4], "<i2").tobytes()
    per_trace = [response(0), response(0, b"\xab"), response(0, b"\x00\x00\x01\x02"),
                 response(0, wave), response(0, wave[::-1])]
    server = fake(response(0x8001), *per_trace, *per_trace, response(0x8001))
    with Valdrix(port=server.port) as client:
        assert client.batch_info() is None
        batch = client.capture_batch([b"\x10", b"\x20"], rx_len=1, samples=4)
        with pytest.raises(UnsupportedError):
            client.request(0x0F01)  # asked once: the answer is kept per connection
    assert batch.rx == [b"\xab", b"\xab"] and batch.status.tolist() == [0x102, 0x102]
    assert batch.result.tolist() == [0, 0] and batch.waves[1][1].tolist() == [1, 2, 3, 4]
    assert batch.waves[2][0].tolist() == np.frombuffer(wave[::-1], "<i2").tolist()
    codes = [command for _, command, _ in server.requests]
    assert codes == [0x0F01] + [0x0126, 0x023C, 0x0127, 0x0130, 0x0130] * 2 + [0x0F01]
    assert [payload[-1:] for _, command, payload in server.requests if command == 0x023C] == [b"\x10", b"\x20"]


@pytest.mark.parametrize("options", [("--tx", "random:16", "--rx-len", 16), ("--tvla", "--tx", "random:16")])
def test_batched_campaign_writes_what_one_request_per_trace_writes(tmp_path, options):
    files = {}
    for batch in ("1", "auto", "7"):
        sim, port = spawn_sim("--seed", 99, "--spi-target", "aes")
        try:
            out = tmp_path / ("b%s.trs" % batch)
            run = tool("capture", "--port", port, "--count", 40, "--samples", 1024, "--seed", 5, "--batch", batch,
                       *options, "-o", out)
            assert run.returncode == 0, run.stderr
        finally:
            stop(sim)
        files[batch] = read_traces(str(out))
    one = files["1"]
    assert not one.metadata["batched"] and files["auto"].metadata["batched"]
    for batch in ("auto", "7"):
        other = files[batch]
        assert len(other) == len(one) == 40
        for channel in (1, 2):
            assert np.array_equal(np.asarray(other.waves[channel]), np.asarray(one.waves[channel]))
        assert list(other.tx) == list(one.tx) and list(other.rx) == list(one.rx)
        assert list(other.labels) == list(one.labels)
