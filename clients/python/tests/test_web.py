"""valdrix-web without a browser: access rules, bad input, viewers, the
campaign's file against valdrix-capture's, frames and the two-set rule.

The server runs as its console script does (a subprocess, ``python -m
valdrix.web``) against the suite's simulator; its page's WebSocket is
driven with aiohttp's client.
"""

import asyncio
import json
import os
import re
import shlex
import subprocess
import sys
import time

import numpy as np
import pytest

from conftest import SLOW, TOOL_ENV, free_port

aiohttp = pytest.importorskip("aiohttp")
# The server is the host's side: an emulated simulator adds only time.
pytestmark = pytest.mark.skipif(SLOW, reason="valdrix-web is tested against a native simulator")

from valdrix.analysis import TTest  # noqa: E402
from valdrix.analysis import TwoSetTTest  # noqa: E402
from valdrix.traces import read_traces  # noqa: E402
from valdrix.web import frames  # noqa: E402


class WebServer:
    """valdrix-web in a subprocess, started in ``root``."""

    def __init__(self, instrument_port, root, listen="127.0.0.1", token=None, extra=()):
        self.listen = listen
        argv = [sys.executable, "-m", "valdrix.web", "--instrument", "127.0.0.1:%d" % instrument_port,
                "--listen", "%s:%d" % (listen, free_port())] + (["--token", token] if token else []) + list(extra)
        env = TOOL_ENV
        self.proc = subprocess.Popen(argv, cwd=str(root), stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env,
                                     text=True)
        self.line = self.proc.stdout.readline()
        if not self.line:
            raise RuntimeError("valdrix-web did not start: %s" % self.proc.stderr.read())
        self.url = re.search(r"open (\S+)", self.line).group(1)
        m = re.match(r"http://([^/]+)/", self.url)
        self.port = int(m.group(1).rsplit(":", 1)[1])
        self.base = "http://127.0.0.1:%d" % self.port
        self.origin = self.base

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.proc.stdout.close()
        self.proc.stderr.close()


@pytest.fixture
def web(sim_port, tmp_path):
    server = WebServer(sim_port, tmp_path)
    yield server
    server.stop()


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 120))


async def messages(ws, until, timeout=30.0, ack=True):
    """JSON messages (binary frames acknowledged and counted under "frames")
    until ``until(message)`` is true; returns that message."""
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("no expected message within %g s" % timeout)
        msg = await ws.receive(timeout=left)
        if msg.type == aiohttp.WSMsgType.BINARY:
            if ack:
                await ws.send_json({"type": "drawn"})
            data = {"type": "frame", "header": frames.decode_header(msg.data), "bytes": msg.data}
        elif msg.type == aiohttp.WSMsgType.TEXT:
            data = json.loads(msg.data)
        else:
            raise AssertionError("the WebSocket ended: %r" % (msg,))
        if until(data):
            return data


def test_token_host_and_origin_are_enforced(sim_port, tmp_path):
    server = WebServer(sim_port, tmp_path, listen="0.0.0.0")
    try:
        token = re.search(r"\?token=(\S+)", server.url).group(1)
        assert server.line.startswith("valdrix-web: serving 0.0.0.0 in %s; instrument 127.0.0.1:%d; open "
                                      "http://0.0.0.0:%d/?token=" % (os.path.realpath(tmp_path), sim_port,
                                                                     server.port))

        async def check():
            async with aiohttp.ClientSession(cookie_jar=aiohttp.DummyCookieJar()) as s:
                async with s.get(server.base + "/") as r:
                    assert r.status == 401 and "needs its token" in await r.text()
                async with s.get(server.base + "/api/state", headers={"Authorization": "token wrong"}) as r:
                    assert (r.status, await r.json()) == (401, {"error": "a token is needed"})
                async with s.get(server.base + "/api/state", headers={"Authorization": "token " + token}) as r:
                    assert r.status == 200
                async with s.get(server.base + "/?token=" + token, allow_redirects=False) as r:
                    assert r.status == 302 and r.headers["Location"] == "/"
                    cookie = r.cookies["valdrix_web_token"]
                    assert cookie.value == token and cookie["httponly"]
                async with s.get(server.base + "/", headers={"Cookie": "valdrix_web_token=" + token}) as r:
                    assert r.status == 200 and "<title>valdrix-web</title>" in await r.text()
                # A WebSocket without the token is refused before the upgrade.
                with pytest.raises(aiohttp.WSServerHandshakeError) as e:
                    await s.ws_connect(server.base + "/ws", origin=server.origin)
                assert e.value.status == 403
                auth = {"Authorization": "token " + token}
                # A name that is not ours, as a rebound DNS name would be: refused, token or not.
                async with s.get(server.base + "/api/state", headers=dict(auth, Host="evil.example:%d" % server.port)) as r:
                    assert (r.status, await r.text()) == (403, "403: the Host 'evil.example:%d' is not this "
                                                               "server's\n" % server.port)
                # Changes and WebSockets need our own origin.
                for origin in (None, "http://evil.example", "http://127.0.0.1:%d" % (server.port + 1)):
                    headers = dict(auth, **({"Origin": origin} if origin else {}))
                    async with s.post(server.base + "/api/analyze", json={}, headers=headers) as r:
                        assert r.status == 403
                    with pytest.raises(aiohttp.WSServerHandshakeError) as e:
                        await s.ws_connect(server.base + "/ws", headers=headers)
                    assert e.value.status == 403
                async with s.post(server.base + "/api/analyze", json={"kind": "tvla"},
                                  headers=dict(auth, Origin=server.origin)) as r:
                    assert (r.status, await r.json()) == (403, {"error": "a path under the server's directory is "
                                                                         "needed"})
                async with s.ws_connect(server.base + "/ws", headers=auth, origin=server.origin) as ws:
                    state = await messages(ws, lambda m: m["type"] == "state")
                    assert state["you"] == state["controller"]

        run(check())
    finally:
        server.stop()


def test_paths_outside_the_directory_are_refused(web, tmp_path):
    outside = tmp_path.parent / ("outside-%d" % os.getpid())
    outside.mkdir()
    (outside / "secret.trs").write_bytes(b"x")
    os.symlink(outside, tmp_path / "link")
    os.symlink(outside / "secret.trs", tmp_path / "inside.trs")
    (tmp_path / "sub").mkdir()

    async def check():
        async with aiohttp.ClientSession() as s:
            for url in ("/api/files?path=..", "/api/files?path=link", "/api/files?path=sub/../..",
                        "/api/file?path=inside.trs", "/api/file?path=link/secret.trs",
                        "/api/trace?path=../%s/secret.trs" % outside.name, "/api/file?path=/etc/passwd"):
                async with s.get(web.base + url) as r:
                    assert r.status == 403, url
                    assert "outside the server's directory" in (await r.json())["error"]
            async with s.get(web.base + "/api/files?path=.") as r:
                listing = await r.json()
            assert listing == {"path": ".", "entries": [
                {"name": "inside.trs", "kind": "trace", "path": "inside.trs"},
                {"name": "link", "kind": "dir", "path": "link"}, {"name": "sub", "kind": "dir", "path": "sub"}]}
            async with s.get(web.base + "/static/..%2Fapp.py") as r:
                assert r.status == 404
            async with s.ws_connect(web.base + "/ws", origin=web.origin) as ws:
                for output in ("../escape.trs", "link/escape.trs"):
                    await ws.send_json({"type": "campaign_start", "options": {"count": 10, "output": output}})
                    error = await messages(ws, lambda m: m["type"] == "error")
                    assert error["message"] == "%s: outside the server's directory" % output

    try:
        run(check())
        assert sorted(os.listdir(outside)) == ["secret.trs"]
    finally:
        for p in outside.iterdir():
            p.unlink()
        outside.rmdir()


def test_bad_input_gets_a_message_and_the_scope_goes_on(web):
    cases = [
        ({"type": "settings", "changes": {"trigger_level": 40000}}, "trigger_level: 40000 is outside -32768 to 32767"),
        ({"type": "settings", "changes": {"clock": 5000}}, "clock: one of 4000, 8000, 12000, 24000, 48000, 65000"),
        ({"type": "settings", "changes": {"bus": "can"}}, "bus: one of spi, i2c, uart, none"),
        ({"type": "settings", "changes": {"tx": "hex:zz"}}, "tx: 'zz' is not hex bytes"),
        ({"type": "settings", "changes": {"samples": "lots"}}, "samples: 'lots' is not a whole number"),
        ({"type": "settings", "changes": {"power": 1}}, "power: true or false"),
        ({"type": "settings", "changes": {"shutdown": True}}, "shutdown: no such setting"),
        ({"type": "settings", "changes": [1, 2]}, "settings must be an object of name: value"),
        ({"type": "mode", "mode": "fast"}, "mode: run, stop or single"),
        ({"type": "view", "x0": "a"}, "view: x0, x1 and width are whole numbers"),
        ({"type": "campaign_start", "options": {"count": -3}}, "count: -3 is out of range"),
        ({"type": "campaign_start", "options": {"tx": "counter:4"}},
         "tx: a campaign takes random:N, hex:BYTES or file:PATH"),
        ({"type": "campaign_start", "options": {"host": "10.0.0.1"}}, "host: no such campaign option"),
        ({"type": "campaign_start", "options": {"output": "x.csv"}}, "-o takes a .trs, .npz or .zarr name"),
        ({"type": "campaign_start", "options": {}, "live": {"key": "00"}}, "aes key: 16 bytes (32 hex digits)"),
        ({"type": "campaign_start", "options": {"tx": "random:8"}, "live": {"key": "00" * 16}},
         "aes key: the traces-to-key curve needs random inputs of 16 bytes or more (tx random:16)"),
        ({"type": "launch"}, "launch: no such message"),
        (["settings"], "a message is an object with a type"),
    ]

    async def check():
        async with aiohttp.ClientSession() as s:
            async with s.ws_connect(web.base + "/ws", origin=web.origin) as ws:
                first = (await messages(ws, lambda m: m["type"] == "frame"))["header"]["seq"]
                for message, text in cases:
                    await ws.send_json(message)
                    got = await messages(ws, lambda m: m["type"] == "error")
                    assert got["message"] == text, message
                await ws.send_str("{not json")
                assert (await messages(ws, lambda m: m["type"] == "error"))["message"].startswith("Expecting")
                # Nothing bad was applied, and the scope still captures.
                later = await messages(ws, lambda m: m["type"] == "frame" and m["header"]["seq"] > first + 3)
                assert later["header"]["total"] == 4096
                async with s.get(web.base + "/api/state") as r:
                    state = await r.json()
                assert (state["settings"]["trigger_level"], state["settings"]["clock"], state["error"]) == (0, 4000, None)

    run(check())


def test_a_trigger_that_never_comes_shows_waiting_and_the_view_stays_live(web):
    async def check():
        async with aiohttp.ClientSession() as s:
            async with s.ws_connect(web.base + "/ws", origin=web.origin) as ws:
                await messages(ws, lambda m: m["type"] == "frame")
                await ws.send_json({"type": "settings", "changes": {"trigger_source": 1, "trigger_level": 32767}})
                waiting = await messages(ws, lambda m: m["type"] == "state" and m["state"] == "waiting for trigger")
                assert "--trigger-source A --trigger-level 32767" in waiting["command"]
                # Still waiting, the scope takes new settings and says so.
                await ws.send_json({"type": "settings", "changes": {"trigger_source": 0, "trigger_level": 0}})
                await messages(ws, lambda m: m["type"] == "state" and m["state"] == "running")
                seq = (await messages(ws, lambda m: m["type"] == "frame"))["header"]["seq"]
                await ws.send_json({"type": "mode", "mode": "single"})
                await messages(ws, lambda m: m["type"] == "state" and m["state"] == "stopped" and m["mode"] == "stop")
                async with s.get(web.base + "/api/state") as r:
                    updates = (await r.json())["updates"]
                await asyncio.sleep(0.3)
                async with s.get(web.base + "/api/state") as r:
                    assert (await r.json())["updates"] == updates > seq

    run(check())


def test_one_viewer_controls_and_a_slow_one_is_skipped(web):
    async def check():
        async with aiohttp.ClientSession() as s:
            async with s.ws_connect(web.base + "/ws", origin=web.origin) as first, \
                    s.ws_connect(web.base + "/ws", origin=web.origin) as second:
                one = await messages(first, lambda m: m["type"] == "state" and m["viewers"] == 2)
                two = await messages(second, lambda m: m["type"] == "state" and m["viewers"] == 2)
                assert one["controller"] == one["you"] == two["controller"] != two["you"]
                await second.send_json({"type": "settings", "changes": {"trigger_level": 5}})
                refused = await messages(second, lambda m: m["type"] == "error")
                assert refused["message"] == ("viewer %d controls the instrument: take control to change it"
                                              % one["you"])
                await second.send_json({"type": "take_control"})
                await messages(first, lambda m: m["type"] == "state" and m["controller"] == two["you"])
                await second.send_json({"type": "settings", "changes": {"trigger_level": 5}})
                await messages(first, lambda m: m["type"] == "state" and m["settings"]["trigger_level"] == 5)
                # ``first`` now draws nothing (no acknowledgements) while
                # ``second`` keeps up: second gets many frames, first at most
                # the two it may have in flight.
                got = {"first": 0}
                await messages(first, lambda m: m["type"] == "frame", ack=False)
                start = (await messages(second, lambda m: m["type"] == "frame"))["header"]["seq"]
                await messages(second, lambda m: m["type"] == "frame" and m["header"]["seq"] >= start + 30)
                while True:
                    try:
                        msg = await first.receive(timeout=0.5)
                    except asyncio.TimeoutError:
                        break
                    got["first"] += msg.type == aiohttp.WSMsgType.BINARY
                assert got["first"] <= 1

    run(check())


def _fields(ts):
    meta = dict(ts.metadata)
    # What differs between two runs of the same campaign by nature.
    for key in ("started", "finished", "instrument", "tool", "host", "port"):
        meta.pop(key, None)
    return meta


def test_a_page_campaign_writes_what_valdrix_capture_writes(web, tmp_path, sim_port):
    options = {"count": 300, "tvla": True, "seed": 1234, "tx": "random:16", "rx_len": 16, "output": "page.trs",
               "batch": 64}

    async def run_campaign():
        async with aiohttp.ClientSession() as s:
            async with s.ws_connect(web.base + "/ws", origin=web.origin) as ws:
                await ws.send_json({"type": "settings", "changes": {"samples": 2048, "gain_b": 80}})
                state = await messages(ws, lambda m: m["type"] == "state" and m["settings"]["samples"] == 2048)
                await ws.send_json({"type": "campaign_start", "options": options})
                done = await messages(ws, lambda m: m["type"] in ("campaign", "error") and not m.get("running"))
                return state["command"], done

    command, done = run(run_campaign())
    assert done["type"] == "campaign", done
    assert (done["done"], done["error"], done["output"]) == (300, None, str(tmp_path / "page.trs"))
    # The page's "copy as valdrix-capture command" plus the campaign's own options.
    argv = shlex.split(command)[1:] + ["--count", "300", "--tvla", "--seed", "1234", "--batch", "64", "-o",
                                       str(tmp_path / "cli.trs")]
    assert "--samples" in argv and "--gain-b" in argv
    env = TOOL_ENV
    cli = subprocess.run([sys.executable, "-m", "valdrix.capture"] + argv, env=env, capture_output=True, text=True,
                         timeout=120)
    assert cli.returncode == 0, cli.stderr
    page, ref = read_traces(str(tmp_path / "page.trs")), read_traces(str(tmp_path / "cli.trs"))
    assert (len(page), page.channels, page.samples) == (len(ref), ref.channels, ref.samples) == (300, [1, 2], 2048)
    assert np.array_equal(page.tx_array, ref.tx_array)
    assert np.array_equal(page.rx_array, ref.rx_array)
    assert list(page.labels) == list(ref.labels)
    assert _fields(page) == _fields(ref)
    assert os.path.getsize(tmp_path / "page.trs") == os.path.getsize(tmp_path / "cli.trs")


def test_files_view_shows_a_files_traces_and_valdrix_analyzes_figures(web, tmp_path, sim_port):
    from valdrix.campaign import Campaign

    (tmp_path / "runs").mkdir()
    Campaign(port=sim_port, count=40, tvla=True, seed=3, samples=1024, output=str(tmp_path / "runs" / "a.trs")).run()
    ts = read_traces(str(tmp_path / "runs" / "a.trs"))
    env = TOOL_ENV
    cli = subprocess.run([sys.executable, "-m", "valdrix.analyze", "tvla", str(tmp_path / "runs" / "a.trs"),
                          "--window", "100:900"], env=env, capture_output=True, text=True, timeout=120)

    async def check():
        async with aiohttp.ClientSession() as s:
            async with s.get(web.base + "/api/files?path=runs") as r:
                assert (await r.json())["entries"] == [{"name": "a.trs", "kind": "trace", "path": "runs/a.trs"}]
            async with s.get(web.base + "/api/file?path=runs/a.trs") as r:
                info = await r.json()
            assert (info["traces"], info["channels"], info["samples"], info["labelled"]) == (40, [1, 2], 1024, True)
            async with s.get(web.base + "/api/trace?path=runs/a.trs&index=7&width=2000") as r:
                frame = await r.read()
            assert frames.decode_header(frame)["seq"] == 7
            got = np.frombuffer(frame, "<i2", offset=28).reshape(2, 1024)
            assert np.array_equal(got[0], ts.waves[1][7]) and np.array_equal(got[1], ts.waves[2][7])
            async with s.get(web.base + "/api/trace?path=runs/a.trs&index=40") as r:
                assert (r.status, await r.json()) == (400, {"error": "trace 40: the file holds 40"})
            async with s.post(web.base + "/api/analyze", json={"path": "runs/a.trs", "kind": "tvla",
                                                               "window": [100, 900]}, headers={"Origin": web.origin}) as r:
                result = await r.json()
            assert (result["status"], result["text"]) == (cli.returncode, cli.stdout)
            assert len(result["result"]["t"]) == 800 and "<svg" in result["svg"][:400]
            async with s.get(web.base + "/api/figure?format=pdf&path=runs/a.trs&kind=tvla") as r:
                assert r.status == 200 and (await r.read()).startswith(b"%PDF")

    run(check())


def test_frames_reduce_to_column_extremes():
    rng = np.random.default_rng(3)
    wave = {1: rng.integers(-32768, 32767, 100_003).astype(np.int16), 2: rng.integers(-9, 9, 100_003).astype(np.int16)}
    frame = frames.encode(7, wave, True, 1000, 90_000, 1000)
    head = frames.decode_header(frame)
    assert head == {"kind": 1, "channels": 2, "flags": 7, "seq": 7, "total": 100_003, "x0": 1000, "x1": 90_000,
                    "n": 1000}
    data = np.frombuffer(frame, "<i2", offset=28).reshape(2, 2, 1000)
    for k, c in enumerate((1, 2)):
        for j in (0, 1, 500, 999):
            a, b = 1000 + j * 89_000 // 1000, 1000 + (j + 1) * 89_000 // 1000
            assert (data[k, 0, j], data[k, 1, j]) == (wave[c][a:b].min(), wave[c][a:b].max())
    # Zoomed in far enough, every sample of the range, unreduced.
    frame = frames.encode(8, {2: wave[2]}, False, 50, 2050, 1000)
    assert frames.decode_header(frame)["kind"] == 0 and frames.decode_header(frame)["flags"] == 4
    assert np.array_equal(np.frombuffer(frame, "<i2", offset=28), wave[2][50:2050])
    # A range outside the capture shows the whole capture.
    assert frames.decode_header(frames.encode(9, wave, True, 200_000, 300_000, 4096))["x1"] == 100_003


def _welch(x, g):
    a, b = x[g == 0].astype(float), x[g == 1].astype(float)
    return (a.mean(0) - b.mean(0)) / np.sqrt(a.var(0, ddof=1) / len(a) + b.var(0, ddof=1) / len(b))


def test_two_set_rule_confirms_only_where_both_halves_exceed():
    rng = np.random.default_rng(11)
    n, s = 4000, 64
    g = rng.integers(0, 2, n)
    x = rng.normal(0, 10, (n, s))
    x[:, 10] += 3 * (g == 0)           # a leak all through the campaign
    x[::2, 40] += 6 * (g[::2] == 0)    # one in the even-numbered traces only
    x[::2, 50] += 6 * (g[::2] == 0)    # halves that disagree on the direction
    x[1::2, 50] -= 6 * (g[1::2] == 0)
    two = TwoSetTTest(s)
    for a in range(0, n, 333):         # chunks of odd length, so both parities start chunks
        two.update(x[a:a + 333], g[a:a + 333], a)
    t0, t1 = two.t()
    assert np.allclose(t0, _welch(x[0::2], g[0::2]), atol=1e-9)
    assert np.allclose(t1, _welch(x[1::2], g[1::2]), atol=1e-9)
    assert list(two.confirmed()) == [10]
    assert abs(t0[40]) > 4.5 > abs(t1[40])
    assert t0[50] > 4.5 and t1[50] < -4.5
    assert two.traces == n and two.ready()
    whole = TTest(s).update(x, g)
    other = TwoSetTTest(s).update(x[:2001], g[:2001], 0).merge(TwoSetTTest(s).update(x[2001:], g[2001:], 2001))
    assert np.allclose(other.t()[0], t0) and whole.traces == other.traces
