"""Campaigns under faults: a service that restarts, one that stays away, a
campaign cut short and resumed, a full disk, an unpowered target."""

import errno
import os
import re
import signal
import socket
import subprocess
import sys
import time

import pytest

from conftest import TOOL_ENV, free_port, sim_executable
from valdrix.traces import read_traces

ENV = TOOL_ENV


def tool(module, *args, timeout=120):
    return subprocess.run([sys.executable, "-m", "valdrix." + module, *map(str, args)], capture_output=True,
                          text=True, timeout=timeout, env=ENV)


def spawn_sim(*args, port=None):
    """A valdrixd-sim of its own on ``port`` (a free one by default), listening."""
    port = port or free_port()
    emulator = [os.environ["VALDRIX_EMULATOR"]] if os.environ.get("VALDRIX_EMULATOR") else []
    proc = subprocess.Popen(emulator + [sim_executable(), "--port", str(port), *map(str, args)],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, port
        except OSError:
            assert proc.poll() is None and time.monotonic() < deadline, "valdrixd-sim did not listen"
            time.sleep(0.05)


def stop(proc):
    proc.kill()
    proc.wait()


def capture(*args):
    return subprocess.Popen([sys.executable, "-m", "valdrix.capture", *map(str, args)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, env=ENV)


def wait_for_traces(out, proc, size=200_000):
    deadline = time.monotonic() + 60
    while not (out.exists() and out.stat().st_size > size):
        assert proc.poll() is None and time.monotonic() < deadline
        time.sleep(0.02)


def test_campaign_survives_a_service_restart_and_says_what_it_kept_when_it_gives_up(tmp_path):
    sim, port = spawn_sim()
    out = tmp_path / "restart.trs"
    count = 8000  # batches run fast, even emulated: enough that the restart comes mid-campaign
    run = capture("--port", port, "--count", count, "--samples", 1024, "--rx-len", 16, "-o", out)
    try:
        wait_for_traces(out, run)
        stop(sim)
        time.sleep(1.5)  # the unit restarts the service after a pause
        sim, _ = spawn_sim(port=port)
        stdout, stderr = run.communicate(timeout=120)
    finally:
        stop(sim)
    assert run.returncode == 0, stderr
    ts = read_traces(str(out))
    assert len(ts) == count and ts.metadata["reconnects"] >= 1
    # The set-up came back with the service: every answer after the restart
    # is the echo of its input, not the 0xFF of an unpowered target.
    assert all(ts.rx[i] == ts.tx[i] for i in range(len(ts)))

    # A service that stays away: the campaign gives up after --reconnect-wait.
    sim, port = spawn_sim()
    out = tmp_path / "gone.trs"
    run = capture("--port", port, "--count", 10 ** 6, "--samples", 1024, "--reconnect-wait", 1, "-o", out)
    wait_for_traces(out, run)
    stop(sim)
    start = time.monotonic()
    stdout, stderr = run.communicate(timeout=60)
    assert run.returncode == 7, stderr
    assert 0.8 < time.monotonic() - start < 10
    held = len(read_traces(str(out)))
    assert stderr.startswith("valdrix-capture: connection to 127.0.0.1:%d: " % port)
    assert stderr.endswith("gave up reconnecting after 1 s (%s holds %d of 1000000 traces)\n" % (out, held))
    assert held > 0 and stderr.count("\n") == 1


def interrupt_after(out, minimum, *args):
    """Runs valdrix-capture with ``args`` until ``out`` holds ``minimum`` traces, then Ctrl-C."""
    run = capture(*args, "-o", out)
    deadline = time.monotonic() + 60
    # A TRS file grows as the campaign runs; a zarr store fills a temporary
    # directory beside its name until it closes.
    def started():
        if out.suffix == ".trs":
            return out.exists() and out.stat().st_size > 4096 and len(read_traces(str(out))) >= minimum
        return any(out.name in p.name for p in out.parent.iterdir()) and time.sleep(0.5) is None

    while not started():
        assert run.poll() is None and time.monotonic() < deadline
        time.sleep(0.02)
    run.send_signal(signal.SIGINT)
    _, stderr = run.communicate(timeout=60)
    assert run.returncode == 130 and "interrupted after " in stderr and "--resume continues" in stderr
    held = len(read_traces(str(out)))
    assert held >= minimum
    return held


@pytest.mark.parametrize("suffix", [".trs", ".zarr"])
def test_resume_continues_a_cut_short_campaign_with_its_own_settings(sim_port, tmp_path, suffix):
    # Large enough that a fast instrument, or an emulated one, is still
    # capturing when Ctrl-C comes.
    total = 20000
    lines = ["%032x" % (i * 0x0101010101) for i in range(total)]
    inputs = tmp_path / "inputs.txt"
    inputs.write_text("\n".join(lines) + "\n")
    out = tmp_path / ("cut" + suffix)
    first = interrupt_after(out, 20, "--port", sim_port, "--tx", "file:%s" % inputs, "--samples", 1024,
                            "--rx-len", 16, "--channels", 2, "--batch", 1)
    assert first < total
    done = tool("capture", "--port", sim_port, "--resume", "-o", out)
    assert done.returncode == 0, done.stderr
    ts = read_traces(str(out))
    assert len(ts) == total and ts.samples == 1024 and ts.channels == [2]
    assert [t.hex() for t in ts.tx] == lines and list(ts.rx) == list(ts.tx)

    # A random campaign resumed draws the inputs the uninterrupted one draws.
    if suffix != ".trs":
        return
    resumed, whole = tmp_path / ("r" + suffix), tmp_path / ("w" + suffix)
    count = 10000
    interrupt_after(resumed, 20, "--port", sim_port, "--count", count, "--seed", 3, "--samples", 1024, "--tvla",
                    "--batch", 1)
    assert tool("capture", "--port", sim_port, "--resume", "-o", resumed).returncode == 0
    assert tool("capture", "--port", sim_port, "--count", count, "--seed", 3, "--samples", 1024, "--tvla",
                "-o", whole).returncode == 0
    a, b = read_traces(str(resumed)), read_traces(str(whole))
    assert len(a) == count and list(a.tx) == list(b.tx) and list(a.labels) == list(b.labels)


def test_a_full_disk_ends_the_campaign_with_exit_1_naming_the_file(sim_port, tmp_path):
    mount = tmp_path / "small"
    mount.mkdir()
    probe = subprocess.run(["unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=2m tmpfs %s" % mount],
                           capture_output=True)
    if probe.returncode == 0:
        script = ("mount -t tmpfs -o size=2m tmpfs {m} && exec {py} -m valdrix.capture --port {p} --count 100000 "
                  "--samples 1024 -o {m}/full.trs").format(m=mount, py=sys.executable, p=sim_port)
        run = subprocess.run(["unshare", "-m", "sh", "-c", script], capture_output=True, text=True, timeout=120,
                             env=ENV)
        path = "%s/full.trs" % mount
    else:
        # No tmpfs here: a file whose writes fail with ENOSPC stands in.
        out = tmp_path / "full.trs"
        os.symlink("/dev/full", out)
        run = tool("capture", "--port", sim_port, "--count", 100, "--samples", 1024, "-o", out)
        path = str(out)
    assert run.returncode == 1, run.stderr
    first = run.stderr.splitlines()[0]
    assert first.startswith("valdrix-capture: %s: No space left on device (%s holds " % (path, path)), run.stderr
    assert "connection" not in run.stderr


def test_an_unpowered_target_draws_a_warning(sim_port):
    run = tool("capture", "--port", sim_port, "--count", 5, "--samples", 1024, "--rx-len", 4, "--no-power")
    assert run.returncode == 0, run.stderr
    assert run.stderr == ("valdrix-capture: warning: the target answered only 0xFF: is it powered and clocked?\n"
                          "valdrix-capture: warning: channel 2 is flat in every trace: did anything draw power?\n")
    # A powered target clocked at half the sample rate: channel A sees the
    # clock at its zero crossings and is flat, which is no cause for a warning.
    assert tool("capture", "--port", sim_port, "--count", 5, "--samples", 1024, "--rx-len", 4,
                "--clock", 24000).stderr == ""


def test_a_campaign_runs_from_a_script_with_the_command_line_options(sim_port, tmp_path):
    from valdrix.campaign import Campaign

    with pytest.raises(TypeError, match="unknown options: rx_length"):
        Campaign(port=sim_port, rx_length=4)
    campaign = Campaign(port=sim_port, count=50, samples=1024, rx_len=4, channels=[2], batch=8,
                        output=str(tmp_path / "script.zarr"))
    result = campaign.run()
    assert (result["status"], result["written"], result["captured"]) == ("ok", 50, 50)
    ts = read_traces(str(tmp_path / "script.zarr"))
    assert len(ts) == 50 and ts.channels == [2] and ts.metadata["campaign"]["rx_len"] == 4


def test_a_campaign_on_a_lent_client_reports_each_batch_and_stops_from_another_thread(sim_port, tmp_path):
    import dataclasses
    import threading

    import numpy as np

    from valdrix import CaptureTimeout, Valdrix
    from valdrix.campaign import Campaign, CampaignOptions
    from valdrix.capture import build_parser

    assert vars(build_parser().parse_args([])) == dataclasses.asdict(CampaignOptions())
    out = str(tmp_path / "hooks.trs")
    events = []

    def on_batch(event):
        events.append(event)
        if len(events) == 3:  # a stop from elsewhere, as a web page's would be
            threading.Thread(target=campaign.stop).start()

    client = Valdrix(port=sim_port)
    options = CampaignOptions(count=400, samples=512, rx_len=4, tvla=True, batch=20, seed=7)
    campaign = Campaign(options, client=client, on_batch=on_batch, output=out)
    result = campaign.run()
    assert options.output is None and result["status"] == "interrupted" and 60 <= result["written"] < 400
    assert client.connected and client.get_id()
    ts = read_traces(out)
    assert [(e.start, e.count, e.done, e.total) for e in events] == [(i, 20, i + 20, 400)
                                                                     for i in range(0, len(ts), 20)]
    assert all(e.rate > 0 for e in events)
    assert np.array_equal(np.concatenate([e.waves[1] for e in events]), np.asarray(ts.waves[1][:]))
    assert np.array_equal(np.concatenate([e.tx for e in events]), ts.tx_array)
    assert list(np.concatenate([e.labels for e in events])) == list(ts.labels)
    done = tool("capture", "--port", sim_port, "--resume", "-o", out)
    assert done.returncode == 0, done.stderr
    assert len(read_traces(out)) == 400
    # A campaign that fails with a batch in flight hands the client back usable.
    missed = Campaign(client=client, count=40, samples=512, batch=10, trigger_source=1, trigger_level=32767,
                      timeout=0.2)
    with pytest.raises(CaptureTimeout):
        missed.run()
    assert client.batches_in_flight == 0
    client.setup(samples=512)  # the failed campaign's trigger never comes
    assert client.capture(b"\x5a", rx_len=1).rx == b"\x5a"
    client.close()


def test_slow_and_missed_trigger_campaigns_end_as_documented(sim_port, tmp_path):
    # 100 traces of 70 ms each at 9600 baud: longer than any record may take,
    # so every record must leave as it is ready and be let in as it comes.
    out = tmp_path / "uart.trs"
    slow = tool("capture", "--port", sim_port, "--bus", "uart", "--uart-baud", 9600, "--tx", "random:64",
                "--rx-len", 64, "--samples", 1024, "--channels", 2, "--count", 100, "--timeout", 1, "-o", out)
    assert slow.returncode == 0, slow.stderr
    ts = read_traces(str(out))
    assert len(ts) == 100 and ts.channels == [2] and list(ts.rx) == list(ts.tx)
    missed = tool("capture", "--port", sim_port, "--trigger-source", "A", "--trigger-level", 32767, "--timeout", 0.5,
                  "--count", 8, "--rx-len", 16)
    assert missed.returncode == 10, missed.stderr
    assert re.fullmatch(r"valdrix-capture: capture timeout: no complete capture within 0\.5 s "
                        r"\(trigger status 0x[0-9A-F]{3}\) \(after 0 retries\)\n", missed.stderr), missed.stderr


def test_a_client_reapplies_its_setup_when_it_reconnects_to_a_restarted_instrument():
    from valdrix import Valdrix

    sim, port = spawn_sim()
    try:
        client = Valdrix(port=port, reconnect=True, restore_setup=True)
        client.setup(samples=1024, voltage_mv=3000)
        assert client.capture(b"\x5a\xa5", rx_len=2).rx == b"\x5a\xa5"
        stop(sim)
        sim, _ = spawn_sim(port=port)
        with pytest.raises(ConnectionError):
            client.get_id()  # the old connection is gone
        # The next call reconnects and powers the restarted target up again.
        assert client.capture(b"\x5a\xa5", rx_len=2).rx == b"\x5a\xa5"
        client.close()
    finally:
        stop(sim)


def test_resume_takes_over_the_store_of_a_killed_zarr_campaign(sim_port, tmp_path):
    out = tmp_path / "killed.zarr"
    run = capture("--port", sim_port, "--count", 300, "--samples", 1024, "--rx-len", 16, "--batch", 1, "-o", out)
    deadline = time.monotonic() + 60
    while not (out / "tx" / ".zarray").exists():  # in place from the first batch
        assert run.poll() is None and time.monotonic() < deadline
        time.sleep(0.02)
    run.kill()
    run.communicate()
    done = tool("capture", "--port", sim_port, "--resume", "-o", out)
    assert done.returncode == 0, done.stderr
    ts = read_traces(str(out))
    assert len(ts) == 300 and list(ts.rx) == list(ts.tx) and os.listdir(str(tmp_path)) == ["killed.zarr"]


def test_a_campaign_stopped_before_its_first_trace_leaves_no_zarr_and_a_resumable_trs(sim_port, tmp_path):
    from valdrix.campaign import Campaign

    for name in ("none.zarr", "empty.trs"):
        campaign = Campaign(port=sim_port, count=10, samples=1024, rx_len=4, tvla=True, output=str(tmp_path / name))
        campaign.stop()
        result = campaign.run()
        assert (result["status"], result["written"], campaign.saved) == ("interrupted", 0, 0)
    assert os.listdir(str(tmp_path)) == ["empty.trs"]
    done = tool("capture", "--port", sim_port, "--resume", "-o", tmp_path / "empty.trs")
    assert done.returncode == 0, done.stderr
    ts = read_traces(str(tmp_path / "empty.trs"))
    assert len(ts) == 10 and ts.samples == 1024 and len(ts.rx[0]) == 4 and set(ts.labels) <= {"fixed", "random"}


def test_a_failed_resumed_zarr_campaign_counts_the_traces_it_kept(sim_port, tmp_path, monkeypatch):
    from valdrix.campaign import IN_FLIGHT, Campaign
    from valdrix.traces import zarr as traces_zarr

    out = str(tmp_path / "cut.zarr")
    kept = 10 * IN_FLIGHT  # a stop lets the batches in flight in
    first = Campaign(port=sim_port, count=40, samples=1024, rx_len=4, batch=10, output=out,
                     on_batch=lambda event: first.stop())
    assert first.run()["written"] == kept
    # No instrument: the file stays as it was.
    again = Campaign(port=free_port(), resume=True, output=out)
    with pytest.raises(ConnectionError):
        again.run()
    assert again.saved == kept and len(read_traces(out)) == kept
    # A full disk when the store closes: the traces kept are those it held.
    def full(*args, **kwargs):
        raise OSError(errno.ENOSPC, "No space left on device")
    monkeypatch.setattr(traces_zarr._Column, "put_chunk", full)
    again = Campaign(port=sim_port, resume=True, output=out)
    with pytest.raises(OSError) as caught:
        again.run()
    assert caught.value.filename == out and again.saved == kept and len(read_traces(out)) == kept


def test_ctrl_c_while_the_file_is_completed_leaves_it_whole(sim_port, tmp_path, monkeypatch):
    from valdrix import capture as capture_tool
    from valdrix.traces import npz as traces_npz

    close = traces_npz.NpzWriter.close

    def interrupted_close(self):
        os.kill(os.getpid(), signal.SIGINT)
        os.kill(os.getpid(), signal.SIGINT)
        close(self)
    monkeypatch.setattr(traces_npz.NpzWriter, "close", interrupted_close)
    out = tmp_path / "whole.npz"
    assert capture_tool.main(["--port", str(sim_port), "--count", "5", "--samples", "1024", "-o", str(out)]) == 0
    assert len(read_traces(str(out))) == 5 and os.listdir(str(tmp_path)) == ["whole.npz"]
