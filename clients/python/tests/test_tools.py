"""The console scripts: valdrix-capture's files and exit statuses, valdrix-plot's
figures, and installing the package into a fresh venv."""

import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import xml.etree.ElementTree as ET

import pytest

from conftest import PACKAGE_ROOT, SLOW, TOOL_ENV, free_port
from valdrix.traces import read_traces

ENV = TOOL_ENV


def tool(module, *args, timeout=120):
    return subprocess.run([sys.executable, "-m", "valdrix." + module, *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, env=ENV)


def parse_trs(path):
    """An independent reading of a TRS file: little-endian TLVs up to the
    trace-block marker, then fixed-size records."""
    with open(path, "rb") as f:
        data = f.read()
    tags, pos = {}, 0
    while True:
        tag, length = data[pos], data[pos + 1]
        pos += 2
        if length & 0x80:
            n = length & 0x7F
            length = int.from_bytes(data[pos:pos + n], "little")
            pos += n
        if tag == 0x5F:
            assert length == 0
            break
        tags[tag] = data[pos:pos + length]
        pos += length
    nt, ns = struct.unpack("<I", tags[0x41])[0], struct.unpack("<I", tags[0x42])[0]
    ds, ts = struct.unpack("<H", tags[0x44])[0], tags.get(0x45, b"\0")[0]
    record = ts + ds + 2 * ns
    assert len(data) - pos == nt * record
    records = []
    for i in range(nt):
        r = data[pos + i * record:pos + (i + 1) * record]
        records.append((r[:ts], r[ts:ts + ds], list(struct.unpack("<%dh" % ns, r[ts + ds:]))))
    return tags, records


def test_campaign_to_trs_reads_back_as_written(sim_port, tmp_path):
    out = tmp_path / "tvla.trs"
    fixed = "00112233445566778899aabbccddeeff"
    run = tool("capture", "--port", sim_port, "--count", 6, "--samples", 1024, "--tx", "random:16",
               "--rx-len", 16, "--tvla", "--fixed", fixed, "--seed", 7, "-o", out)
    assert run.returncode == 0, run.stderr
    assert run.stdout.startswith("6 traces of 1024 samples on channels 1,2 written to %s in " % out)
    assert run.stderr == ""  # no progress line when standard error is no terminal

    tags, records = parse_trs(out)
    assert struct.unpack("<I", tags[0x41])[0] == 6 and struct.unpack("<I", tags[0x42])[0] == 2048
    assert tags[0x43] == b"\x02" and struct.unpack("<H", tags[0x44])[0] == 32
    assert tags[0x49] == b"s" and struct.unpack("<f", tags[0x4B])[0] == pytest.approx(1 / 48e6)
    ts = read_traces(str(out))
    assert len(ts) == 6 and ts.samples == 1024
    for i, (title, data, samples) in enumerate(records):
        assert data == ts.tx[i] + ts.rx[i] and ts.rx[i] == ts.tx[i]  # the echo device answers the input
        assert samples == list(ts.waves[1][i]) + list(ts.waves[2][i])
        assert title.decode().strip() == ts.labels[i]
        assert (ts.labels[i] == "fixed") == (ts.tx[i].hex() == fixed)
    assert ts.metadata["tvla_fixed"] == fixed and ts.metadata["seed"] == 7 and ts.metadata["captured"] == 6
    assert ts.metadata["instrument"]["id"] == "VALDRIX-M4-123456" and ts.metadata["voltage_mv"] == 3300


def test_campaign_exit_statuses(sim_port, tmp_path):
    run = tool("capture", "--port", sim_port, "--voltage", 1800, "--count", 1)
    assert run.returncode == 6
    assert run.stderr == "valdrix-capture: InternalError (status 0x8000): Setting voltage to 1800\n"

    assert tool("capture", "--port", free_port(), "--count", 1).returncode == 7
    assert tool("capture", "--port", sim_port, "--tx", "bits:3").returncode == 2

    # Channel A's sine never reaches the level, and the bus trigger bit does not
    # count with source A: every capture misses.
    out = tmp_path / "missed.trs"
    run = tool("capture", "--port", sim_port, "--count", 2, "--samples", 1024, "--trigger-source", "A",
               "--trigger-level", 32767, "--timeout", 0.2, "--retries", 1, "-o", out)
    assert run.returncode == 10, run.stderr
    assert "capture timeout" in run.stderr and "after 1 retry" in run.stderr
    ts = read_traces(str(out))
    assert len(ts) == 0 and ts.metadata["missed_triggers"] == 2 and ts.metadata["retries"] == 1


def cutting_proxy(target_port, cut_after):
    """A TCP proxy to the simulator that drops its first connection once the
    service has sent ``cut_after`` bytes through it; later ones pass intact."""
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)

    def pump(src, dst, limit):
        moved = 0
        try:
            while not limit or moved < limit:
                data = src.recv(65536)
                if not data:
                    break
                dst.sendall(data)
                moved += len(data)
        except OSError:
            pass
        for s in (src, dst):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def serve():
        first = True
        while True:
            try:
                client, _ = listener.accept()
            except OSError:
                return
            upstream = socket.create_connection(("127.0.0.1", target_port))
            threading.Thread(target=pump, args=(client, upstream, 0), daemon=True).start()
            threading.Thread(target=pump, args=(upstream, client, cut_after if first else 0), daemon=True).start()
            first = False

    threading.Thread(target=serve, daemon=True).start()
    return listener


def test_a_dropped_connection_is_reopened_once(sim_port, tmp_path):
    proxy = cutting_proxy(sim_port, 100_000)
    out = tmp_path / "dropped.trs"
    run = tool("capture", "--port", proxy.getsockname()[1], "--count", 60, "--samples", 1024, "-o", out)
    proxy.close()
    assert run.returncode == 0, run.stderr
    ts = read_traces(str(out))
    assert len(ts) == ts.metadata["captured"] == 60 and ts.metadata["reconnects"] == 1


def test_interrupted_campaign_leaves_a_valid_file(sim_port, tmp_path):
    out = tmp_path / "long.trs"
    proc = subprocess.Popen([sys.executable, "-m", "valdrix.capture", "--port", str(sim_port), "--count", str(10 ** 7),
                             "--samples", "1024", "-o", str(out)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True, env=ENV)
    deadline = time.monotonic() + 60
    while not (out.exists() and out.stat().st_size > 100_000):
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    stdout, stderr = proc.communicate(timeout=60)
    assert proc.returncode == 130, stderr
    assert stderr.startswith("valdrix-capture: interrupted after "), stderr
    ts = read_traces(str(out))
    assert len(ts) == ts.metadata["captured"] > 0
    assert stdout.startswith("%d traces of 1024 samples" % len(ts))


def test_plot_writes_the_format_its_suffix_names(sim_port, tmp_path):
    data = tmp_path / "set.trs"
    assert tool("capture", "--port", sim_port, "--count", 4, "--samples", 1024, "-o", data).returncode == 0
    ns = {"s": "http://www.w3.org/2000/svg"}
    for fmt, header in (("png", b"\x89PNG\r\n\x1a\n"), ("pdf", b"%PDF-"), ("svg", b"<?xml")):
        out = tmp_path / ("set." + fmt)
        run = tool("plot", data, "-o", out, "--traces", 2, "--mean", "--window", "100:500")
        assert run.returncode == 0, run.stderr
        assert run.stdout == "%s: 4 traces, 2 channels, samples 100 to 499 drawn\n" % out
        assert out.read_bytes().startswith(header)
    # One panel per channel, each with its traces and the mean.
    root = ET.parse(tmp_path / "set.svg").getroot()
    for channel in (1, 2):
        panel = root.find(".//s:g[@id='channel-%d']" % channel, ns)
        assert [g.get("id") for g in panel.findall(".//s:g[@id]", ns) if g.get("id") in
                ("trace-0", "trace-1", "mean")] == ["trace-0", "trace-1", "mean"]
    run = tool("plot", data, "-o", tmp_path / "set.jpg")
    assert run.returncode == 2 and "a figure is written as .png, .pdf or .svg, not .jpg" in run.stderr
    assert not (tmp_path / "set.jpg").exists()
    assert tool("plot", tmp_path / "none.trs", "-o", tmp_path / "x.png").returncode == 1
    assert tool("plot", data, "-o", tmp_path / "x.png", "--window", "900:2000").returncode == 1
    run = tool("plot", data, "-o", tmp_path / "missing" / "x.png")
    assert run.returncode == 1 and run.stderr.startswith("valdrix-plot: %s: " % (tmp_path / "missing" / "x.png"))


@pytest.mark.skipif(SLOW, reason="the install does not depend on the simulator's build")
def test_install_into_a_fresh_venv(tmp_path):
    source = tmp_path / "src"
    shutil.copytree(PACKAGE_ROOT, source, ignore=shutil.ignore_patterns("tests", "build", "*.egg-info",
                                                                        "__pycache__"))
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)], check=True, timeout=120)
    pip = subprocess.run([str(venv / "bin" / "pip"), "install", "-q", "--no-build-isolation", "--no-index",
                          str(source)], capture_output=True, text=True, timeout=300)
    assert pip.returncode == 0, pip.stderr
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    where = subprocess.run([str(venv / "bin" / "python"), "-c", "import valdrix; print(valdrix.__file__)"],
                           capture_output=True, text=True, cwd=str(tmp_path), env=env, timeout=60)
    assert where.stdout.startswith(str(venv)), where.stderr
    kernel = subprocess.run([str(venv / "bin" / "python"), "-c",
                             "from valdrix import analysis; print(analysis.kernels_available())"],
                            capture_output=True, text=True, cwd=str(tmp_path), env=env, timeout=60)
    assert kernel.stdout == "True\n", kernel.stderr  # the install compiled the analysis kernel
    for script in ("valdrix-capture", "valdrix-plot", "valdrix-analyze"):
        run = subprocess.run([str(venv / "bin" / script), "--help"], capture_output=True, text=True, env=env,
                             timeout=60)
        assert run.returncode == 0 and run.stdout.startswith("usage: " + script), run.stderr
