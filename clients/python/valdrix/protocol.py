"""Frames and the connection that carries them.

A request is a 15-byte header (``VLDX``, version, ``S``, command, reserved,
length; big-endian) and its payload; an answer a 13-byte header (``VLDX``,
version, ``R``, status, length) and its payload. Requests on a connection are
answered in order, so several may be sent back to back and their answers read
one after the other.

The socket stays in blocking mode and waits are done with ``poll``, so one
exchange costs a send, a poll and (usually) one receive into a reused buffer,
whatever the time-out of the wait.
"""

from __future__ import annotations

import select
import socket
import struct
from typing import Tuple, Union

from .codes import DEFAULT_PORT, MAX_PAYLOAD
from .errors import FramingError, is_known_status

__all__ = ["MAGIC", "encode_request", "Connection"]

MAGIC = b"VLDX"
_REQUEST = struct.Struct(">4sHcHHI")
_RESPONSE = struct.Struct(">4sHcHI")
# A wave of a whole 256 MiB sample memory is the largest real answer.
_MAX_ANSWER = 512 * 1024 * 1024
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

    def _wait(self, timeout: float) -> None:
        if not self._poll.poll(max(int(timeout * 1000 + 0.999), 0)):
            raise socket.timeout("no answer from %s:%d within %g s" % (self.host, self.port, timeout))

    def _recv_some(self, view: memoryview, timeout: float) -> int:
        self._wait(timeout)
        n = self._sock.recv_into(view)
        if n == 0:
            raise ConnectionError("%s:%d closed the connection" % (self.host, self.port))
        return n

    def _fill(self, need: int, timeout: float) -> None:
        """Makes at least ``need`` bytes (<= the buffer's size) wait in the buffer."""
        if self._end - self._start >= need:
            return
        if self._start + need > len(self._buf):
            pending = self._end - self._start
            self._view[:pending] = self._view[self._start:self._end]
            self._start, self._end = 0, pending
        while self._end - self._start < need:
            self._end += self._recv_some(self._view[self._end:], timeout)

    def read_answer(self, timeout: float, mutable: bool = False) -> Tuple[int, Union[bytes, bytearray]]:
        """The next answer's status and payload; ``timeout`` bounds each wait.

        The payload is a bytearray of its own when ``mutable`` is set or the
        answer is large, else bytes.

        A broken header raises FramingError; the caller closes the connection.
        """
        self._fill(_RESPONSE.size, timeout)
        magic, _version, direction, status, length = _RESPONSE.unpack_from(self._buf, self._start)
        if magic != MAGIC:
            raise FramingError("invalid response: magic %r instead of b'VLDX'" % bytes(magic))
        if direction != b"R":
            raise FramingError("invalid response: direction %r instead of b'R'" % direction)
        if not is_known_status(status):
            raise FramingError("invalid response: unknown status 0x%04X" % status)
        if length > _MAX_ANSWER:
            raise FramingError("invalid response: length %d is beyond any answer" % length)
        self._start += _RESPONSE.size
        if length <= len(self._buf) // 2:
            self._fill(length, timeout)
            chunk = self._view[self._start:self._start + length]
            body = bytearray(chunk) if mutable else bytes(chunk)
            self._start += length
            return status, body
        # A large answer (a wave) goes into a buffer of its own, which the
        # caller keeps: what is buffered already, then straight from the socket.
        body = bytearray(length)
        out = memoryview(body)
        have = min(self._end - self._start, length)
        out[:have] = self._view[self._start:self._start + have]
        self._start += have
        while have < length:
            have += self._recv_some(out[have:], timeout)
        out.release()
        return status, body

    def exchange(self, frame: bytes, timeout: float) -> Tuple[int, Union[bytes, bytearray]]:
        """Sends one request frame and returns its answer's status and payload."""
        self.send(frame)
        return self.read_answer(timeout)

    def pending(self) -> int:
        """Bytes received but not read yet (of answers to come)."""
        return self._end - self._start
