"""The aiohttp application: the page, its WebSocket, the files view's API.

Viewers: every open page is a viewer with a WebSocket. One of them controls
the instrument (the first to come, then whoever takes control); the others
see everything and are told who controls. Each viewer has one sender task
that, when woken, sends the newest of each kind of message it has not yet
sent (state, capture, campaign): a viewer whose socket drains slowly skips
to the newest and costs nothing while it lags.
"""

from __future__ import annotations

import asyncio
import itertools
import json
import os
import subprocess
import sys
import tempfile
from typing import Any, Dict, List, Optional, Tuple

import numpy as np
from aiohttp import WSMsgType, web

from . import access, frames
from .instrument import Instrument
from ..campaign import UsageError
from .live import LiveCampaign, OptionsError, campaign_options
from .settings import SettingsError

__all__ = ["Server", "make_app"]

STATIC = os.path.join(os.path.dirname(os.path.abspath(__file__)), "static")
COOKIE = "valdrix_web_token"
# What the files view lists and opens.
TRACE_SUFFIXES = (".trs", ".npz", ".npy", ".zarr", ".h5", ".hdf5")
# Captures this long are reduced off the event loop.
_INLINE_SAMPLES = 1 << 20
# Analyses of the files view: a subprocess each, so one that runs long or
# fails never touches the server.
_ANALYSIS_TIMEOUT = 3600
# Frames a page may have received and not yet drawn.
_INFLIGHT = 2
# A viewer's own pending messages (answers to what it sent).
_VIEWER_MESSAGES = 32


class Viewer:
    def __init__(self, vid: int, ws: web.WebSocketResponse) -> None:
        self.id, self.ws = vid, ws
        self.wake = asyncio.Event()
        self.view = (0, 0, 1024)
        self.sent_state = -1
        self.sent_seq = -1
        self.sent_campaign = -1
        # Frames sent and not yet drawn by the page: a new one goes out only
        # when the page has caught up, so a slow page skips frames.
        self.inflight = 0
        self.messages: List[Dict[str, Any]] = []


class Server:
    """The state shared by all requests: the instrument, the viewers, the
    campaign, the directory and the access rules."""

    def __init__(self, instrument_host: str, instrument_port: int, root: str, listen_host: str,
                 token: Optional[str], refresh: float = 0.5) -> None:
        self.root = os.path.realpath(root)
        self.listen_host = listen_host
        self.token = token
        self.refresh = refresh
        self.viewers: Dict[int, Viewer] = {}
        self.controller: Optional[int] = None
        self._ids = itertools.count(1)
        self.state_version = 0
        self.campaign_version = 0
        self.live: Optional[LiveCampaign] = None
        self.loop: Optional[asyncio.AbstractEventLoop] = None
        self._frame_cache: Dict[Any, bytes] = {}
        self.instrument = Instrument(instrument_host, instrument_port, self._notify_threadsafe)

    # Waking the viewers ---------------------------------------------------------

    def _notify_threadsafe(self, state: bool) -> None:
        loop = self.loop
        if loop is not None and not loop.is_closed():
            try:
                loop.call_soon_threadsafe(self._wake_all, state)
            except RuntimeError:
                pass  # the loop is closing

    def _campaign_notify(self) -> None:
        loop = self.loop
        if loop is not None and not loop.is_closed():
            try:
                loop.call_soon_threadsafe(self._campaign_changed)
            except RuntimeError:
                pass

    def _campaign_changed(self) -> None:
        self.campaign_version += 1
        self._wake_all(False)

    def _wake_all(self, state: bool) -> None:
        if state:
            self.state_version += 1
        for viewer in self.viewers.values():
            viewer.wake.set()

    def _tell(self, viewer: Viewer, message: Dict[str, Any]) -> None:
        if len(viewer.messages) < _VIEWER_MESSAGES:
            viewer.messages.append(message)
        viewer.wake.set()

    # Lifecycle ------------------------------------------------------------------

    async def startup(self, app: web.Application) -> None:
        self.loop = asyncio.get_running_loop()
        self.instrument.start()

    async def shutdown(self, app: web.Application) -> None:
        for viewer in list(self.viewers.values()):
            await viewer.ws.close()
        if self.live is not None and self.live.running:
            self.live.stop("the server is shutting down")
        await asyncio.get_running_loop().run_in_executor(None, self.instrument.close)

    # What a viewer is sent ------------------------------------------------------

    def state_message(self, viewer: Viewer) -> Dict[str, Any]:
        snap = self.instrument.snapshot()
        snap.update(type="state", you=viewer.id, controller=self.controller, viewers=len(self.viewers),
                    updates=self.instrument.updates, campaign=self.live is not None and self.live.running,
                    root=self.root)
        return snap

    def _frame_source(self) -> Optional[Any]:
        """The capture to show: the scope's, or a campaign's latest trace."""
        live = self.live
        if live is not None and live.running and live.last is not None:
            return live.last
        return self.instrument.latest

    async def frame_for(self, viewer: Viewer, capture: Any) -> bytes:
        x0, x1, width = viewer.view
        key = (capture.seq, id(capture), x0, x1, width)
        frame = self._frame_cache.get(key)
        if frame is None:
            total = max((len(w) for w in capture.waves.values()), default=0)
            if total > _INLINE_SAMPLES:
                frame = await asyncio.get_running_loop().run_in_executor(
                    None, frames.encode, capture.seq, capture.waves, capture.complete, x0, x1, width)
            else:
                frame = frames.encode(capture.seq, capture.waves, capture.complete, x0, x1, width)
            if not any(k[:2] == key[:2] for k in self._frame_cache):
                self._frame_cache.clear()  # only the newest capture's frames are kept
            self._frame_cache[key] = frame
        return frame

    async def sender(self, viewer: Viewer) -> None:
        ws = viewer.ws
        while not ws.closed:
            await viewer.wake.wait()
            viewer.wake.clear()
            while viewer.messages:
                await ws.send_json(viewer.messages.pop(0))
            if viewer.sent_state != self.state_version:
                viewer.sent_state = self.state_version
                await ws.send_json(self.state_message(viewer))
            capture = self._frame_source()
            if capture is not None and (capture.seq, id(capture)) != viewer.sent_seq and viewer.inflight < _INFLIGHT:
                viewer.sent_seq = (capture.seq, id(capture))
                await ws.send_json({"type": "capture", "seq": capture.seq, "tx": capture.tx.hex(),
                                    "rx": capture.rx.hex(), "status": capture.status,
                                    "sample_rate": capture.sample_rate, "updates": self.instrument.updates})
                viewer.inflight += 1
                await ws.send_bytes(await self.frame_for(viewer, capture))
            if self.live is not None and viewer.sent_campaign != self.campaign_version:
                viewer.sent_campaign = self.campaign_version
                snap = dict(self.live.snapshot())
                snap["type"] = "campaign"
                await ws.send_json(snap)

    # Messages from a viewer -----------------------------------------------------

    async def handle(self, viewer: Viewer, message: Any) -> None:
        if not isinstance(message, dict) or not isinstance(message.get("type"), str):
            raise SettingsError("a message is an object with a type")
        kind = message["type"]
        if kind == "view":
            try:
                x0, x1 = int(message.get("x0", 0)), int(message.get("x1", 0))
                width = int(message.get("width", 1024))
            except (TypeError, ValueError):
                raise SettingsError("view: x0, x1 and width are whole numbers") from None
            viewer.view = (max(0, x0), max(0, x1), max(16, min(width, frames.MAX_WIDTH)))
            viewer.sent_seq = -1  # redraw the current capture at the new range
            viewer.wake.set()
            return
        if kind == "drawn":
            # The page drew the newest frame it had: any before it are moot.
            viewer.inflight = 0
            viewer.wake.set()
            return
        if kind == "take_control":
            self.controller = viewer.id
            self._wake_all(True)
            return
        if self.controller != viewer.id:
            raise SettingsError("viewer %s controls the instrument: take control to change it" % self.controller)
        if kind == "settings":
            self.instrument.set_settings(message.get("changes"))
            self._wake_all(True)
        elif kind == "mode":
            self.instrument.set_mode(message.get("mode"))
        elif kind == "campaign_start":
            await self.start_campaign(message.get("options"), message.get("live") or {})
        elif kind == "campaign_stop":
            if self.live is not None and self.live.running:
                self.live.stop()
        else:
            raise SettingsError("%s: no such message" % kind)

    async def start_campaign(self, options: Any, live: Any) -> None:
        if self.instrument.campaign_busy:
            raise OptionsError("a campaign is already running")
        # Just after start the instrument's thread may still be connecting.
        for _ in range(100):
            if self.instrument.client is not None:
                break
            await asyncio.sleep(0.05)
        if self.instrument.campaign_busy:
            raise OptionsError("a campaign is already running")
        client = self.instrument.client
        if client is None:
            raise OptionsError("the instrument %s:%d has not been reached yet" % (self.instrument.host,
                                                                                 self.instrument.port))
        if not isinstance(live, dict):
            raise OptionsError("live: an object")
        opts = campaign_options(options, self.instrument.snapshot()["settings"], self.instrument.host,
                                self.instrument.port, lambda p, w: access.resolve_under(self.root, p, write=w))
        key = live.get("key")
        if key:
            try:
                key = bytes.fromhex(str(key).replace(" ", ""))
            except ValueError:
                raise OptionsError("aes key: 32 hex digits") from None
        budget = live.get("budget")
        if budget not in (None, ""):
            if isinstance(budget, bool) or not isinstance(budget, int) or budget < 1:
                raise OptionsError("budget: a number of traces")
        else:
            budget = None
        window = live.get("cpa_window")
        if window is not None:
            if not (isinstance(window, list) and len(window) == 2 and all(isinstance(v, int) for v in window)):
                raise OptionsError("cpa window: [start, stop]")
            window = (window[0], window[1])
        try:
            campaign = LiveCampaign(opts, client, key=key or None, stop_on_leak=bool(live.get("stop_on_leak")),
                                    budget=budget, cpa_window=window, notify=self._campaign_notify,
                                    refresh=self.refresh)
        except (TypeError, ValueError, UsageError) as e:
            raise OptionsError(str(e)) from None
        except OSError as e:
            raise OptionsError("%s: %s" % (e.filename or "file", e.strerror)) from None
        self.instrument.start_campaign(campaign.run)
        self.live = campaign
        self._wake_all(True)


# ---------------------------------------------------------------------------
# Requests


def _server(request: web.Request) -> Server:
    return request.app["server"]


_TOKEN_PAGE = """<!doctype html><html><head><meta charset="utf-8"><title>valdrix-web: token</title></head>
<body style="font-family:sans-serif;margin:3em"><h1>valdrix-web</h1>
<p>This server needs its token: valdrix-web printed it when it started (the address to open contains it).</p>
<form method="get" action="/"><input name="token" size="50" autofocus> <button>Open</button></form>
</body></html>"""


@web.middleware
async def guard(request: web.Request, handler: Any) -> web.StreamResponse:
    server = _server(request)
    host = request.headers.get("Host")
    if not access.host_allowed(host, server.listen_host):
        return web.Response(status=403, text="403: the Host %r is not this server's\n" % host)
    is_ws = request.headers.get("Upgrade", "").lower() == "websocket"
    if server.token is not None:
        given = request.query.get("token") or request.cookies.get(COOKIE)
        auth = request.headers.get("Authorization", "")
        if auth.lower().startswith("token "):
            given = auth[6:].strip()
        if not access.token_matches(given, server.token):
            if is_ws:
                return web.Response(status=403, text="403: a token is needed\n")
            if request.method == "GET" and request.path == "/":
                return web.Response(status=401, text=_TOKEN_PAGE, content_type="text/html")
            return web.json_response({"error": "a token is needed"}, status=401)
        if "token" in request.query and request.method == "GET" and request.path == "/":
            # Keep the token out of the address bar and history: a cookie from now on.
            response = web.HTTPFound("/")
            response.set_cookie(COOKIE, server.token, httponly=True, samesite="Strict")
            raise response
    if is_ws or request.method not in ("GET", "HEAD", "OPTIONS"):
        if not access.origin_allowed(request.headers.get("Origin"), host):
            return web.Response(status=403, text="403: requests that change something must come from this "
                                                 "server's own page\n")
    return await handler(request)


async def index(request: web.Request) -> web.StreamResponse:
    return web.FileResponse(os.path.join(STATIC, "index.html"),
                            headers={"Cache-Control": "no-cache", "X-Frame-Options": "DENY"})


async def static(request: web.Request) -> web.StreamResponse:
    name = request.match_info["name"]
    if name not in os.listdir(STATIC) or name.startswith("."):
        raise web.HTTPNotFound()
    return web.FileResponse(os.path.join(STATIC, name), headers={"Cache-Control": "no-cache"})


async def websocket(request: web.Request) -> web.StreamResponse:
    server = _server(request)
    ws = web.WebSocketResponse(heartbeat=20, max_msg_size=1 << 20)
    await ws.prepare(request)
    viewer = Viewer(next(server._ids), ws)
    server.viewers[viewer.id] = viewer
    if server.controller is None or server.controller not in server.viewers:
        server.controller = viewer.id
    server._wake_all(True)
    sender = asyncio.create_task(server.sender(viewer))
    try:
        async for msg in ws:
            if msg.type != WSMsgType.TEXT:
                if msg.type == WSMsgType.BINARY:
                    server._tell(viewer, {"type": "error", "message": "the page sends text messages only"})
                continue
            try:
                await server.handle(viewer, json.loads(msg.data))
            except (ValueError, TypeError, RuntimeError, UsageError) as e:
                # Bad input from the page: say what, and keep serving.
                server._tell(viewer, {"type": "error", "message": str(e)})
    finally:
        sender.cancel()
        del server.viewers[viewer.id]
        if server.controller == viewer.id:
            server.controller = min(server.viewers) if server.viewers else None
        server._wake_all(True)
    return ws


async def files(request: web.Request) -> web.StreamResponse:
    server = _server(request)
    rel = request.query.get("path", ".") or "."
    try:
        real = access.resolve_under(server.root, rel)
    except access.PathError as e:
        return web.json_response({"error": str(e)}, status=403)
    if not os.path.isdir(real) or real.endswith(".zarr"):
        return web.json_response({"error": "%s: not a directory" % rel}, status=404)
    entries = []
    try:
        names = sorted(os.listdir(real))
    except OSError as e:
        return web.json_response({"error": "%s: %s" % (rel, e.strerror)}, status=404)
    for name in names[:5000]:
        if name.startswith("."):
            continue
        full = os.path.join(real, name)
        kind = "trace" if name.lower().endswith(TRACE_SUFFIXES) else "dir" if os.path.isdir(full) else None
        if kind:
            entries.append({"name": name, "kind": kind, "path": os.path.relpath(full, server.root)})
    return web.json_response({"path": os.path.relpath(real, server.root), "entries": entries})


def _open_set(server: Server, rel: str) -> Any:
    from ..analysis import open_set

    return open_set(access.resolve_under(server.root, rel))


async def file_info(request: web.Request) -> web.StreamResponse:
    server = _server(request)
    try:
        ts = await asyncio.get_running_loop().run_in_executor(None, _open_set, server, request.query.get("path"))
    except access.PathError as e:
        return web.json_response({"error": str(e)}, status=403)
    except (OSError, ValueError) as e:
        return web.json_response({"error": str(e)}, status=400)
    meta = getattr(ts, "metadata", {}) or {}
    return web.json_response({
        "traces": len(ts), "channels": list(ts.channels), "samples": ts.samples,
        "labelled": bool(ts.labelled), "sample_period": getattr(ts, "sample_period", None) or None,
        "metadata": json.loads(json.dumps(meta, default=str))})


def _trace_frame(server: Server, rel: str, index: int, x0: int, x1: int, width: int) -> bytes:
    ts = _open_set(server, rel)
    if not 0 <= index < len(ts):
        raise IndexError("trace %d: the file holds %d" % (index, len(ts)))
    chunk = ts.read(index, index + 1)
    waves = {c: np.asarray(w[0]) for c, w in chunk.waves.items()}
    return frames.encode(index, waves, True, x0, x1, width)


async def file_trace(request: web.Request) -> web.StreamResponse:
    server = _server(request)
    q = request.query
    try:
        index, x0, x1, width = (int(q.get(k, d)) for k, d in (("index", 0), ("x0", 0), ("x1", 0), ("width", 1024)))
    except ValueError:
        return web.json_response({"error": "index, x0, x1 and width are whole numbers"}, status=400)
    try:
        frame = await asyncio.get_running_loop().run_in_executor(None, _trace_frame, server, q.get("path"), index,
                                                                 x0, x1, width)
    except access.PathError as e:
        return web.json_response({"error": str(e)}, status=403)
    except (OSError, ValueError, IndexError) as e:
        return web.json_response({"error": str(e)}, status=400)
    return web.Response(body=frame, content_type="application/octet-stream")


def _analysis_argv(server: Server, body: Any) -> List[str]:
    """valdrix-analyze's command line for an analysis of the files view."""
    if not isinstance(body, dict):
        raise ValueError("an object of the analysis' options")
    kind = body.get("kind")
    if kind not in ("tvla", "snr", "cpa"):
        raise ValueError("kind: tvla, snr or cpa")
    argv = [kind, access.resolve_under(server.root, body.get("path"))]
    for name, check in (("channel", int), ("traces", int), ("order", int), ("byte", int)):
        value = body.get(name)
        if value not in (None, ""):
            if isinstance(value, bool) or not isinstance(value, int):
                raise ValueError("%s: a whole number" % name)
            if name == "order" and kind != "tvla" or name == "byte" and kind == "tvla":
                continue
            argv += ["--" + name, str(value)]
    window = body.get("window")
    if window not in (None, ""):
        if not (isinstance(window, list) and len(window) == 2 and all(isinstance(v, int) for v in window)):
            raise ValueError("window: [start, stop]")
        argv += ["--window", "%d:%d" % tuple(window)]
    key = body.get("key")
    if key and kind != "tvla":
        if not isinstance(key, str):
            raise ValueError("key: 32 hex digits")
        argv += ["--key", key]
    return argv


def _child_env() -> Dict[str, str]:
    """The environment of a child that imports this very package."""
    package_parent = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    return dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [package_parent, os.environ.get("PYTHONPATH")])))


def run_analysis(argv: List[str], plot_format: Optional[str] = None) -> Dict[str, Any]:
    """Runs valdrix-analyze itself, so the files view shows its very figures."""
    with tempfile.TemporaryDirectory(prefix="valdrix-web-") as tmp:
        out = os.path.join(tmp, "result.json")
        plot = os.path.join(tmp, "plot.svg")
        done = subprocess.run([sys.executable, "-m", "valdrix.analyze"] + argv + ["--json", out, "--plot", plot],
                              capture_output=True, text=True, timeout=_ANALYSIS_TIMEOUT, env=_child_env())
        lines = [line.rsplit("\r", 1)[-1] for line in done.stderr.splitlines()]
        result: Dict[str, Any] = {"status": done.returncode, "text": done.stdout,
                                  "messages": [line for line in lines if line.strip() and "traces/s" not in line]}
        if os.path.exists(out):
            with open(out) as f:
                result["result"] = json.load(f)
        if os.path.exists(plot):
            with open(plot, encoding="utf-8") as f:
                result["svg"] = f.read()
        return result


async def analyze(request: web.Request) -> web.StreamResponse:
    server = _server(request)
    try:
        body = await request.json()
        argv = _analysis_argv(server, body)
    except access.PathError as e:
        return web.json_response({"error": str(e)}, status=403)
    except ValueError as e:
        return web.json_response({"error": str(e)}, status=400)
    try:
        result = await asyncio.get_running_loop().run_in_executor(None, run_analysis, argv)
    except subprocess.TimeoutExpired:
        return web.json_response({"error": "the analysis took longer than %d s" % _ANALYSIS_TIMEOUT}, status=504)
    return web.json_response(result)


def _query_body(q: Any) -> Dict[str, Any]:
    """An analysis' options from a query string, typed as the JSON body's."""
    body: Dict[str, Any] = {"path": q.get("path"), "kind": q.get("kind")}
    for name in ("channel", "traces", "order", "byte"):
        if q.get(name):
            try:
                body[name] = int(q[name])
            except ValueError:
                raise ValueError("%s: a whole number" % name) from None
    if q.get("window"):
        try:
            body["window"] = [int(v) for v in q["window"].split(":")]
        except ValueError:
            raise ValueError("window: A:B") from None
    if q.get("key"):
        body["key"] = q["key"]
    return body


def draw_figure(wanted: Dict[str, Any], fmt: str) -> Tuple[int, bytes, str]:
    """The figure file of an analysis (status 0), or the status and message
    of why there is none."""
    with tempfile.TemporaryDirectory(prefix="valdrix-web-") as tmp:
        out = os.path.join(tmp, "figure." + fmt)
        done = subprocess.run([sys.executable, "-m", "valdrix.web.figure", json.dumps(wanted), out],
                              capture_output=True, text=True, timeout=_ANALYSIS_TIMEOUT, env=_child_env())
        if done.returncode or not os.path.exists(out):
            lines = done.stderr.strip().splitlines()
            return done.returncode or 1, b"", lines[-1] if lines else "no figure"
        with open(out, "rb") as f:
            return 0, f.read(), ""


async def figure(request: web.Request) -> web.StreamResponse:
    """GET /api/figure?format=pdf|svg|png&path=...&kind=...: a download."""
    server = _server(request)
    fmt = request.query.get("format", "pdf")
    if fmt not in ("pdf", "svg", "png"):
        return web.json_response({"error": "format: pdf, svg or png"}, status=400)
    try:
        body = _query_body(request.query)
        argv = _analysis_argv(server, body)
    except access.PathError as e:
        return web.json_response({"error": str(e)}, status=403)
    except ValueError as e:
        return web.json_response({"error": str(e)}, status=400)
    body["path"] = argv[1]
    status, data, why = await asyncio.get_running_loop().run_in_executor(None, draw_figure, body, fmt)
    if status == 3:
        return web.json_response({"error": why}, status=501)
    if status:
        return web.json_response({"error": why}, status=400)
    name = "%s-%s.%s" % (os.path.splitext(os.path.basename(argv[1].rstrip("/")))[0], body["kind"], fmt)
    return web.Response(body=data, content_type={"pdf": "application/pdf", "svg": "image/svg+xml",
                                                 "png": "image/png"}[fmt],
                        headers={"Content-Disposition": 'attachment; filename="%s"' % name})


async def campaign_t(request: web.Request) -> web.StreamResponse:
    """The live t-trace in full (the page gets it reduced)."""
    live = _server(request).live
    t = live.t() if live is not None else None
    if t is None:
        return web.json_response({"error": "no t-trace yet"}, status=404)
    return web.json_response({"t": [float(v) for v in t], "traces": live.ttest.traces, "analysed": live.analysed,
                              "running": live.running})


async def state(request: web.Request) -> web.StreamResponse:
    server = _server(request)
    snap = server.instrument.snapshot()
    snap.update(viewers=len(server.viewers), controller=server.controller, updates=server.instrument.updates)
    if server.live is not None:
        snap["campaign"] = server.live.snapshot()
    return web.json_response(snap)


def make_app(server: Server) -> web.Application:
    app = web.Application(middlewares=[guard], client_max_size=1 << 20)
    app["server"] = server
    app.on_startup.append(server.startup)
    app.on_shutdown.append(server.shutdown)
    app.router.add_get("/", index)
    app.router.add_get("/static/{name}", static)
    app.router.add_get("/ws", websocket)
    app.router.add_get("/api/state", state)
    app.router.add_get("/api/files", files)
    app.router.add_get("/api/file", file_info)
    app.router.add_get("/api/trace", file_trace)
    app.router.add_post("/api/analyze", analyze)
    app.router.add_get("/api/figure", figure)
    app.router.add_get("/api/campaign/t", campaign_t)
    return app
