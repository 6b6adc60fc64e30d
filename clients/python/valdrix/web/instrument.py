"""The one connection to the instrument, and the thread that drives it.

The scope and campaigns share one Valdrix client, and a client serves one
thread at a time, so one thread owns it: it captures for the scope between
changes of settings, and runs a campaign, when one is started, in place of
the scope. Everything else talks to it through ``set_settings``,
``set_mode``, ``start_campaign`` and ``stop_campaign``, which only change
state under the lock and wake the thread.

What the thread produces is kept as the latest of its kind only (the last
capture, the state): a viewer that falls behind skips to the newest, so no
viewer ever holds the instrument back or makes memory grow.
"""

from __future__ import annotations

import socket
import threading
import time
from typing import Any, Callable, Dict, Optional

import numpy as np

from ..client import Valdrix
from ..errors import CaptureTimeout, NotConnectedError, ValdrixError
from . import settings as _settings

__all__ = ["Instrument", "Capture"]

# The scope never captures faster than this: a page redraws at most at its
# display's rate, and a faster loop would only burn the server's CPU.
MAX_RATE = 50.0
# The longest a scope capture waits for its trigger before it re-arms and
# looks for new settings, so a trigger that never comes keeps the view live.
_ARM_SLICE = 0.25
# Between tries to reach an instrument that went away.
_RETRY = 0.5


class Capture:
    """One scope capture, as the thread hands it over (never changed after)."""

    __slots__ = ("seq", "waves", "tx", "rx", "status", "complete", "time", "sample_rate")

    def __init__(self, seq: int, waves: Dict[int, np.ndarray], tx: bytes, rx: bytes, status: int,
                 complete: bool, sample_rate: int) -> None:
        self.seq, self.waves, self.tx, self.rx, self.status = seq, waves, tx, rx, status
        self.complete, self.time, self.sample_rate = complete, time.time(), sample_rate


class Instrument:
    """Owns the connection; ``notify(state)`` is called (from its thread)
    after each new capture (False) or change of state (True)."""

    def __init__(self, host: str, port: int, notify: Callable[[bool], None], timeout: float = 5.0) -> None:
        self.host, self.port, self.timeout = host, port, timeout
        self.notify = notify
        self.lock = threading.Condition()
        self.settings: Dict[str, Any] = dict(_settings.DEFAULTS)
        self.mode = "run"  # run, stop, single
        self.state = "connecting"  # connecting, running, waiting for trigger, stopped, campaign, unreachable
        self.banner: Optional[str] = None
        self.error: Optional[str] = None
        self.latest: Optional[Capture] = None
        self.updates = 0
        self._seq = 0
        self._dirty = True
        self._closing = False
        self._client: Optional[Valdrix] = None
        self._inputs = _settings.Inputs(self.settings["tx"])
        self._campaign: Optional[Callable[[Valdrix], None]] = None
        self._campaign_running = False
        self.thread = threading.Thread(target=self._run, name="valdrix-web instrument", daemon=True)

    # Called from the server ---------------------------------------------------

    def start(self) -> None:
        self.thread.start()

    def close(self) -> None:
        with self.lock:
            self._closing = True
            self.lock.notify_all()
        self.thread.join(10)

    def set_settings(self, changes: Dict[str, Any]) -> Dict[str, Any]:
        """Checks and takes new settings (SettingsError names a bad one);
        the thread applies them before its next capture."""
        with self.lock:
            new = _settings.check(changes, self.settings)
            if new["tx"] != self.settings["tx"]:
                self._inputs = _settings.Inputs(new["tx"])
            self.settings = new
            self._dirty = True
            self.lock.notify_all()
            return new

    def set_mode(self, mode: str) -> None:
        if mode not in ("run", "stop", "single"):
            raise ValueError("mode: run, stop or single")
        with self.lock:
            self.mode = mode
            self.lock.notify_all()
        self.notify(True)

    def start_campaign(self, body: Callable[[Valdrix], None]) -> None:
        """Runs ``body(client)`` on the instrument's thread in place of the
        scope; the scope resumes with its own settings after it."""
        with self.lock:
            if self._campaign is not None or self._campaign_running:
                raise RuntimeError("a campaign is already running")
            self._campaign = body
            self.lock.notify_all()

    @property
    def campaign_busy(self) -> bool:
        with self.lock:
            return self._campaign is not None or self._campaign_running

    def snapshot(self) -> Dict[str, Any]:
        with self.lock:
            return {"settings": dict(self.settings), "mode": self.mode, "state": self.state,
                    "banner": self.banner, "error": self.error,
                    "command": _settings.capture_command(self.settings, self.host, self.port)}

    # The thread -----------------------------------------------------------------

    def _set_state(self, state: str, banner: Optional[str] = None, error: Optional[str] = None) -> None:
        changed = (state, banner, error) != (self.state, self.banner, self.error)
        self.state, self.banner, self.error = state, banner, error
        if changed:
            self.notify(True)

    def _run(self) -> None:
        last = 0.0
        while True:
            with self.lock:
                if self._closing:
                    break
            try:
                if self._client is None or not self._client.connected:
                    self._connect()
                    with self.lock:
                        self._dirty = True
                # A campaign is taken only once the instrument is reached, so
                # one started while it was away waits for it.
                with self.lock:
                    campaign, self._campaign = self._campaign, None
                    if campaign is not None:
                        self._campaign_running = True
                    dirty, self._dirty = self._dirty, False
                    settings = dict(self.settings)
                    mode = self.mode
                    inputs = self._inputs
                if campaign is not None:
                    self._set_state("campaign")
                    try:
                        campaign(self._client)
                    finally:
                        # The campaign left its own set-up on the instrument.
                        with self.lock:
                            self._campaign_running = False
                            self._dirty = True
                    continue
                if dirty:
                    self._client.setup(**_settings.setup_kwargs(settings))
                if mode == "stop":
                    self._set_state("stopped")
                    with self.lock:
                        if not self._dirty and self.mode == "stop" and self._campaign is None and not self._closing:
                            self.lock.wait(1.0)
                    continue
                pause = last + 1.0 / MAX_RATE - time.monotonic()
                if pause > 0:
                    with self.lock:
                        self.lock.wait(pause)
                    continue
                last = time.monotonic()
                self._capture(settings, inputs, mode)
            except (ConnectionError, socket.timeout, NotConnectedError, OSError) as e:
                self._lost(e)
            except ValdrixError as e:
                # The service refused a request: say so and keep serving.
                self._set_state(self.state, error="%s: %s" % (type(e).__name__, e))
                with self.lock:
                    if not self._closing:
                        self.lock.wait(0.5)
            except ValueError as e:
                self._set_state(self.state, error=str(e))
                with self.lock:
                    if not self._closing:
                        self.lock.wait(0.5)
        if self._client is not None:
            self._client.close()

    def _connect(self) -> None:
        # The client object outlives its connections: a campaign holds it.
        if self._client is None:
            self._client = Valdrix(self.host, self.port, timeout=self.timeout)
        else:
            self._client.reconnect()
        self._set_state("connecting", banner=None)

    @property
    def client(self) -> Optional[Valdrix]:
        """The instrument's client, once it has been reached."""
        return self._client

    def _lost(self, e: BaseException) -> None:
        if self._client is not None:
            self._client.close()
        text = "instrument %s:%d unreachable (%s); reconnecting" % (self.host, self.port, e)
        self._set_state("unreachable", banner=text)
        with self.lock:
            self._dirty = True
            if not self._closing:
                self.lock.wait(_RETRY)

    def _capture(self, s: Dict[str, Any], inputs: _settings.Inputs, mode: str) -> None:
        bus = None if s["bus"] == "none" else s["bus"]
        tx = b"" if bus is None else inputs.next()
        rx_len = 0 if bus is None else s["rx_len"]
        started = time.monotonic()
        while True:
            try:
                trace = self._client.capture(tx, rx_len=rx_len, channels=(1, 2), samples=s["samples"], bus=bus,
                                             timeout=min(_ARM_SLICE, s["timeout"]))
                break
            except CaptureTimeout:
                # Re-armed below unless settings changed or the user stopped.
                self._set_state("waiting for trigger", error=None)
                with self.lock:
                    if self._dirty or self.mode != mode or self._campaign is not None or self._closing:
                        return
                if time.monotonic() - started >= s["timeout"] and mode == "single":
                    with self.lock:
                        self.mode = "stop"
                    return
        self._seq += 1
        self.latest = Capture(self._seq, {c: np.asarray(w) for c, w in trace.waves.items()}, trace.tx,
                              trace.rx, trace.status, True, s["sample_rate"])
        self.updates += 1
        with self.lock:
            if mode == "single" and self.mode == "single":
                self.mode = "stop"
        self._set_state("stopped" if mode == "single" else "running", error=None)
        self.notify(False)
