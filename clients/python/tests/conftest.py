"""Fixtures: a valdrixd-sim of the suite's own on a free port, and a fake
server that records the bytes it is sent.

VALDRIX_SIM names the valdrixd-sim executable; otherwise it is looked for in
VALDRIX_BIN_DIR, then in build/bin of the checkout. VALDRIX_EMULATOR, when set,
is put in front of it (a cross-built simulator under qemu).
"""

import os
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE_ROOT = os.path.dirname(HERE)
sys.path.insert(0, PACKAGE_ROOT)

from valdrix import Valdrix  # noqa: E402

# The console tools a test runs see this source tree first, then whatever
# the suite was given (the compiled kernel's build folder).
TOOL_ENV = dict(os.environ, PYTHONPATH=os.pathsep.join(
    [PACKAGE_ROOT] + [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))

# Under qemu the simulator runs emulated and many times slower.
SLOW = bool(os.environ.get("VALDRIX_EMULATOR"))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def sim_executable():
    path = os.environ.get("VALDRIX_SIM")
    if path:
        return path
    bin_dir = os.environ.get("VALDRIX_BIN_DIR", os.path.join(PACKAGE_ROOT, "..", "..", "build", "bin"))
    return os.path.join(bin_dir, "valdrixd-sim")


def response(status=0, payload=b"", magic=b"VLDX", direction=b"R"):
    return struct.pack(">4sHcHI", magic, 1, direction, status, len(payload)) + payload


class FakeServer:
    """Answers each request on 127.0.0.1 with the next canned response frame and
    records what it was sent. A reply of None leaves the request unanswered."""

    def __init__(self, replies):
        self.replies = list(replies)
        self.requests = []
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _recv(self, conn, size):
        data = b""
        while len(data) < size:
            chunk = conn.recv(size - len(data))
            if not chunk:
                return None
            data += chunk
        return data

    def _serve(self):
        self.listener.settimeout(0.05)
        while not self.stopping.is_set():
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            conn.settimeout(10)
            with conn:
                while self.replies:
                    header = self._recv(conn, 15)
                    if header is None:
                        break
                    magic, version, direction, command, reserved, length = struct.unpack(">4sHcHHI", header)
                    payload = self._recv(conn, length) if length else b""
                    self.requests.append((header, command, payload))
                    reply = self.replies.pop(0)
                    if reply is None:
                        self.stopping.wait(10)
                        return
                    conn.sendall(reply)
                    if reply[:4] != b"VLDX" or reply[6:7] != b"R":
                        break  # a broken frame ends this connection, as a confused peer would

    def close(self):
        self.stopping.set()
        self.thread.join(5)
        self.listener.close()


@pytest.fixture
def fake():
    servers = []

    def make(*replies):
        server = FakeServer(replies)
        servers.append(server)
        return server

    yield make
    for server in servers:
        server.close()


@pytest.fixture(scope="session")
def sim_port():
    exe = sim_executable()
    if not os.path.exists(exe):
        pytest.fail("valdrixd-sim not found at %s (set VALDRIX_SIM)" % exe)
    port = free_port()
    # A cross-built simulator runs under the emulator that ctest names.
    emulator = [os.environ["VALDRIX_EMULATOR"]] if os.environ.get("VALDRIX_EMULATOR") else []
    proc = subprocess.Popen(emulator + [exe, "--port", str(port)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, env=dict(os.environ, NO_COLOR="1"))
    try:
        for _ in range(400):
            if proc.poll() is not None:
                pytest.fail("valdrixd-sim exited: %s" % proc.stderr.read().decode())
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.05)
        else:
            pytest.fail("valdrixd-sim did not listen on port %d" % port)
        yield port
    finally:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
        proc.stderr.close()


@pytest.fixture
def v(sim_port):
    """A client of the suite's simulator with the target powered and clocked,
    since the target answers on its buses only then."""
    with Valdrix(port=sim_port, timeout=30 if SLOW else 5) as client:
        client.nut_set_voltage_value(3300)
        client.nut_set_voltage_enable(1)
        client.nut_set_clock(4000)
        client.nut_clock_enable(1)
        yield client
