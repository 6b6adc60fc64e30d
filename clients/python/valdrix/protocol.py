"""Frames and the connection that carries them.

A request is a 15-byte header (``VLDX``, version, ``S``, command, reserved,
length; big-endian) and its payload; an answer a 13-byte header (``VLDX``,
version, ``R``, status, length) and its payload. Requests on a connection are
answered in order, so several may be sent back to back and their answers read
one after the other.

The socket stays in blocking mode and waits are done with ``poll`` against a
deadline, so one exchange costs a send, a poll and (usually) one receive into
a reused buffer, and a service that drips its answer cannot stretch the
exchange beyond its time-out.
"""

from __future__ import annotations

import select
import socket
import struct
import time
from typing import Tuple, Union

from .codes import DEFAULT_PORT, MAX_PAYLOAD
from .errors import FramingError, is_known_status

__all__ = ["MAGIC", "MAX_ANSWER", "MAX_ERROR_TEXT", "encode_request", "Connection"]

MAGIC = b"VLDX"
_REQUEST = struct.Struct(">4sHcHHI")
_RESPONSE = struct.Struct(">4sHcHI")
#: A wave of a whole 256 MiB sample memory is the largest single answer.
MAX_ANSWER = 256 * 1024 * 1024
#: The longest error text an error answer may carry.
MAX_ERROR_TEXT = 64 * 1024
# Answers up to this size are read through the reused buffer; larger ones go
# straight into their own.
_BUFFER = 256 * 1024
# Linux only; elsewhere delayed acknowledgements stay as they are.
_QUICKACK = getattr(socket, "TCP_QUICKACK", None)


def encode_request(command: int, payload: bytes = b"") -> bytes:
    """The request frame for ``command`` (0..0xFFFF) with ``payload``."""
    if len(payload) > MAX_PAYLOAD:
        raise ValueError("payload of %d bytes exceeds the service's limit of 16 MiB" % len(payload))
    return _REQUEST.pack(MAGIC, 1, b"S", command, 0, len(payload)) + payload


class Connection:
    """One TCP connection to the service, with a receive buffer kept across answers.

    Not thread-safe: one thread uses a connection at a time.
    """

    def __init__(self, host: str = "127.0.0.1", port: int = DEFAULT_PORT, timeout: float = 5.0) -> None:
        self.host = host
        self.port = port
        sock = socket.create_connection((host, port), timeout=timeout)
        try:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            sock.settimeout(None)
            # A send into a peer that stopped reading fails after the timeout
            # instead of hanging; receives are bounded by poll below.
            seconds = max(int(timeout), 1)
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDTIMEO, struct.pack("ll", seconds, 0))
        except BaseException:
            sock.close()
            raise
        self._sock = sock
        self._poll = select.poll()
        self._poll.register(sock.fileno(), select.POLLIN)
        self._buf = bytearray(_BUFFER)
        self._view = memoryview(self._buf)
        self._start = 0
        self._end = 0

    def close(self) -> None:
        """Closes the socket; answers not read yet are lost."""
        if self._sock is not None:
            self._poll.unregister(self._sock.fileno())
            self._sock.close()
            self._sock = None
        self._view.release()

    @property
    def closed(self) -> bool:
        """True once ``close()`` ran."""
        return self._sock is None

    def send(self, data: bytes, answers: int = 1) -> None:
        """Sends request frames, all of them or a socket.timeout.

        ``answers``: how many answers the frames ask for. For more than one,
        the kernel is told to acknowledge what arrives at once: a service that
        sends each answer as a segment of its own (with Nagle's algorithm on)
        holds the second answer until the first is acknowledged, and a delayed
        acknowledgement would hold it for up to 40 ms.
        """
        try:
            self._sock.sendall(data)
            if answers > 1 and _QUICKACK is not None:
                self._sock.setsockopt(socket.IPPROTO_TCP, _QUICKACK, 1)
        except BlockingIOError:
            raise socket.timeout("%s:%d does not take requests (send timed out)"
                                 % (self.host, self.port)) from None

    def _wait(self, deadline: float) -> None:
        left = deadline - time.monotonic()
        if left <= 0 or not self._poll.poll(int(left * 1000 + 0.999)):
            raise socket.timeout("no answer from %s:%d within the time-out" % (self.host, self.port))

    def _recv_some(self, view: memoryview, deadline: float) -> int:
        self._wait(deadline)
        n = self._sock.recv_into(view)
        if n == 0:
            raise ConnectionError("%s:%d closed the connection" % (self.host, self.port))
        return n

    def _fill(self, need: int, deadline: float) -> None:
        """Makes at least ``need`` bytes (<= the buffer's size) wait in the buffer."""
        if self._end - self._start >= need:
            return
        if self._start + need > len(self._buf):
            pending = self._end - self._start
            self._view[:pending] = self._view[self._start:self._end]
            self._start, self._end = 0, pending
        while self._end - self._start < need:
            self._end += self._recv_some(self._view[self._end:], deadline)

    def check_idle(self) -> None:
        """Raises FramingError if bytes arrived while no request was outstanding.

        A service that sent one answer too many would otherwise have that
        answer taken for the next request's. A closed peer shows up here too,
        as ConnectionError, before a request is wasted on it.
        """
        if self._end > self._start:
            raise FramingError("invalid response: %d bytes arrived with no request outstanding"
                               % (self._end - self._start))
        if self._poll.poll(0):
            n = self._sock.recv_into(self._view)
            if n == 0:
                raise ConnectionError("%s:%d closed the connection" % (self.host, self.port))
            self._start, self._end = 0, n
            raise FramingError("invalid response: %d bytes arrived with no request outstanding" % n)

    def read_header(self, deadline: float, limit: int) -> Tuple[int, int]:
        """The next answer's status and payload length.

        ``limit`` is the longest successful answer the request can have; an
        error answer carries at most a short text. A longer claim is refused
        at once, before anything is allocated for it.
        """
        self._fill(_RESPONSE.size, deadline)
        magic, _version, direction, status, length = _RESPONSE.unpack_from(self._buf, self._start)
        if magic != MAGIC:
            raise FramingError("invalid response: magic %r instead of b'VLDX'" % bytes(magic))
        if direction != b"R":
            raise FramingError("invalid response: direction %r instead of b'R'" % direction)
        if not is_known_status(status):
            raise FramingError("invalid response: unknown status 0x%04X" % status)
        bound = limit if status == 0 else MAX_ERROR_TEXT
        if length > bound:
            raise FramingError("invalid response: %d payload bytes where this request's answer has at most %d"
                               % (length, bound))
        self._start += _RESPONSE.size
        return status, length

    def read_into(self, out: memoryview, deadline: float) -> None:
        """Reads exactly len(out) payload bytes into ``out``: what is buffered,
        then straight from the socket."""
        length = len(out)
        have = min(self._end - self._start, length)
        out[:have] = self._view[self._start:self._start + have]
        self._start += have
        while have < length:
            have += self._recv_some(out[have:], deadline)

    def read_records(self, out: memoryview, record: int, per_record: float) -> None:
        """Reads len(out) payload bytes of fixed-size records into ``out``;
        each record must be in within ``per_record`` seconds of the one before."""
        length = len(out)
        have = min(self._end - self._start, length)
        out[:have] = self._view[self._start:self._start + have]
        self._start += have
        deadline = time.monotonic() + per_record
        while have < length:
            before = have // record
            have += self._recv_some(out[have:], deadline)
            if have // record != before:
                deadline = time.monotonic() + per_record

    def read_answer(self, deadline: float, limit: int = MAX_ANSWER,
                    mutable: bool = False) -> Tuple[int, Union[bytes, bytearray]]:
        """The next answer's status and payload, all of it by ``deadline``
        (a time.monotonic() value).

        The payload is a bytearray of its own when ``mutable`` is set or the
        answer is large, else bytes. A broken header or a payload beyond
        ``limit`` raises FramingError; the caller closes the connection.
        """
        status, length = self.read_header(deadline, limit)
        if length <= len(self._buf) // 2:
            self._fill(length, deadline)
            chunk = self._view[self._start:self._start + length]
            body = bytearray(chunk) if mutable else bytes(chunk)
            self._start += length
            return status, body
        # A large answer goes into a buffer of its own, which the caller
        # keeps. It grows with the bytes that arrive, so a header's claim
        # alone never costs memory.
        body = bytearray(min(length, 2 * len(self._buf)))
        have = 0
        while True:
            out = memoryview(body)
            try:
                if have == 0:
                    have = min(self._end - self._start, len(body))
                    out[:have] = self._view[self._start:self._start + have]
                    self._start += have
                while have < len(body):
                    have += self._recv_some(out[have:], deadline)
            finally:
                out.release()
            if have == length:
                return status, body
            body.extend(bytes(min(len(body), length - len(body))))

    def exchange(self, frame: bytes, timeout: float, limit: int = MAX_ANSWER) -> Tuple[int, Union[bytes, bytearray]]:
        """Sends one request frame and returns its answer's status and payload,
        the whole exchange within ``timeout`` seconds."""
        deadline = time.monotonic() + timeout
        self.check_idle()
        self.send(frame)
        return self.read_answer(deadline, limit)

    def pending(self) -> int:
        """Bytes received but not read yet (of answers to come)."""
        return self._end - self._start
