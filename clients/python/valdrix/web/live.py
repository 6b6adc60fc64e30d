"""A campaign started from the page, analysed as its traces arrive.

The campaign runs on the instrument's thread and hands each batch to
``_on_batch``, which only queues it (the arrays are the campaign's and are
never reused). A thread of its own feeds the batches to the package's
accumulators, the same ones valdrix-analyze uses, so the live t-trace of the
last batch is the file's t-trace. The queue is bounded in bytes: should the
analysis fall that far behind, the campaign waits for it rather than the
server's memory growing, and no batch is ever left out.
"""

from __future__ import annotations

import collections
import copy
import threading
import time
from typing import Any, Callable, Deque, Dict, List, Optional, Tuple

import numpy as np

from .. import analysis
from ..campaign import BatchEvent, Campaign, CampaignOptions, GaveUp, UsageError
from ..client import Valdrix
from ..analysis import TwoSetTTest
from . import settings as _settings
from .instrument import Capture

__all__ = ["LiveCampaign", "campaign_options", "OptionsError"]

# Batches waiting for the analysis, in bytes of samples.
QUEUE_BYTES = 64 << 20
# Series sent to the page are reduced to about this many points.
SERIES_POINTS = 4096


class OptionsError(ValueError):
    """Campaign options from the page that do not make a campaign."""


# What the campaign view sets; the set-up (supply, clocks, window, trigger,
# gains, the bus) is the scope's, as the page shows it.
PAGE_OPTIONS = ("count", "tx", "rx_len", "timeout", "retries", "tvla", "fixed", "seed", "output", "batch",
                "channels", "reconnect_wait", "resume")


def campaign_options(page: Any, settings: Dict[str, Any], host: str, port: int,
                     resolve: Callable[[str, bool], str]) -> CampaignOptions:
    """The CampaignOptions of a campaign from the page: the scope's set-up
    and the campaign view's options. ``resolve(path, write)`` turns a path
    from the page into one under the server's directory, or raises."""
    if not isinstance(page, dict):
        raise OptionsError("campaign options must be an object of name: value")
    unknown = sorted(set(page) - set(PAGE_OPTIONS))
    if unknown:
        raise OptionsError("%s: no such campaign option" % ", ".join(unknown))
    s = settings
    opts: Dict[str, Any] = dict(
        host=host, port=port, voltage=s["voltage"], no_power=not s["power"], clock=s["clock"],
        no_clock=not s["clock_on"], sample_rate=s["sample_rate"], samples=s["samples"], phase=s["phase"],
        trigger_source=s["trigger_source"], trigger_mode=s["trigger_mode"], trigger_edge=s["trigger_edge"],
        trigger_level=s["trigger_level"], trigger_delay=s["trigger_delay"], gain_a=s["gain_a"],
        gain_b=s["gain_b"], spi_psc=s["spi_psc"], spi_cpol=s["spi_cpol"], spi_cpha=s["spi_cpha"],
        i2c_addr=s["i2c_addr"], i2c_speed=s["i2c_speed"], uart_baud=s["uart_baud"],
        uart_bytesize=s["uart_bytesize"], uart_parity=s["uart_parity"], uart_stop_bits=s["uart_stop_bits"],
        bus=s["bus"], rx_len=s["rx_len"], timeout=s["timeout"])
    tx = page.get("tx", s["tx"])
    if isinstance(tx, str) and tx.startswith("file:"):
        opts["tx"] = "file:" + resolve(tx[5:], False)
    else:
        try:
            kind = _settings.check({"tx": tx})["tx"].split(":", 1)[0]
        except _settings.SettingsError as e:
            raise OptionsError(str(e)) from None
        if kind == "counter":
            raise OptionsError("tx: a campaign takes random:N, hex:BYTES or file:PATH")
        opts["tx"] = tx.strip()
    for name in ("rx_len", "timeout"):
        if name in page:
            try:
                opts[name] = _settings.check({name: page[name]})[name]
            except _settings.SettingsError as e:
                raise OptionsError(str(e)) from None
    for k, v in page.items():
        if k not in ("tx", "rx_len", "timeout"):
            opts[k] = _option(k, v)
    if opts.get("output"):
        opts["output"] = resolve(opts["output"], True)
    if opts["bus"] == "none":
        opts["tx"] = None
        opts["rx_len"] = 0
    return CampaignOptions(**opts)


def _option(name: str, value: Any) -> Any:
    """One campaign-only option, checked for its type (Campaign checks the rest)."""
    if name in ("tvla", "resume"):
        if not isinstance(value, bool):
            raise OptionsError("%s: true or false" % name)
        return value
    if name in ("count", "retries", "seed"):
        if value is None or value == "":
            if name == "retries":
                raise OptionsError("retries: a whole number")
            return None
        try:
            value = int(value, 0) if isinstance(value, str) else value
        except ValueError:
            raise OptionsError("%s: %r is not a whole number" % (name, value)) from None
        if isinstance(value, bool) or not isinstance(value, int) or value < (1 if name == "count" else 0):
            raise OptionsError("%s: %r is out of range" % (name, value))
        return value
    if name == "batch":
        if value == "auto":
            return value
        if isinstance(value, bool) or not isinstance(value, (int, str)):
            raise OptionsError("batch: a number of traces or auto")
        return value
    if name == "channels":
        if isinstance(value, str):
            value = [c for c in value.split(",") if c.strip()]
        try:
            channels = tuple(sorted({int(c) for c in value}))
        except (TypeError, ValueError):
            raise OptionsError("channels: 1 and/or 2") from None
        if not channels or not set(channels) <= {1, 2}:
            raise OptionsError("channels: 1 and/or 2")
        return channels
    if name == "reconnect_wait":
        try:
            value = float(value)
        except (TypeError, ValueError):
            raise OptionsError("reconnect_wait: a number of seconds") from None
        if not 0 <= value <= 3600:
            raise OptionsError("reconnect_wait: 0 to 3600 s")
        return value
    if name in ("fixed", "output"):
        if value is None or value == "":
            return None
        if not isinstance(value, str):
            raise OptionsError("%s: text" % name)
        return value
    raise OptionsError("%s: no such campaign option" % name)


def _reduce(series: np.ndarray, points: int = SERIES_POINTS) -> Tuple[List[float], int]:
    """The series with at most ~``points`` points, each the value of largest
    magnitude of its slice (a peak of t never disappears), and the step."""
    n = len(series)
    if n <= points:
        return [float(v) for v in series], 1
    step = -(-n // points)
    pad = np.zeros(step * (-(-n // step)))
    pad[:n] = series
    rows = pad.reshape(-1, step)
    pick = np.abs(rows).argmax(axis=1)
    return [float(v) for v in rows[np.arange(len(rows)), pick]], step


class LiveCampaign:
    """One campaign from the page: its options, its analysis, its state."""

    def __init__(self, options: CampaignOptions, client: Valdrix, *, key: Optional[bytes] = None, stop_on_leak: bool = False,
                 budget: Optional[int] = None, cpa_window: Optional[Tuple[int, int]] = None,
                 notify: Callable[[], None] = lambda: None, refresh: float = 0.5) -> None:
        self.campaign = Campaign(options, client=client, on_batch=self._on_batch)
        self.options = self.campaign.options
        self.key, self.stop_on_leak, self.budget = key, stop_on_leak, budget
        self.notify = notify
        self.refresh = refresh
        o = self.options
        self.samples = int(o.samples)
        self.channel = 2 if 2 in o.channels else o.channels[0]
        if cpa_window is not None:
            a, b = cpa_window
            if not 0 <= a < b <= self.samples:
                raise OptionsError("cpa window: 0 <= start < stop <= %d" % self.samples)
        self.cpa_window = cpa_window or (0, self.samples)
        if key is not None and len(key) != 16:
            raise OptionsError("aes key: 16 bytes (32 hex digits)")
        if key is not None:
            kind, _, n = (o.tx or "random:16").partition(":")
            if o.bus == "none" or kind != "random" or not n.isdigit() or int(n) < 16:
                raise OptionsError("aes key: the traces-to-key curve needs random inputs of 16 bytes or more "
                                   "(tx random:16)")
        # Sums of the channels for the mean trace: float64 keeps them exact
        # to 2^53, far past a million traces of 16-bit samples.
        self.sums = {c: np.zeros(self.samples) for c in o.channels}
        # The t-test of all traces is the merge of the two halves' (at each
        # refresh), so each trace is added once.
        self.two = TwoSetTTest(self.samples) if o.tvla else None
        self.ttest: Optional[analysis.TTest] = None
        self.cpa = analysis.CPA(self.cpa_window[1] - self.cpa_window[0]) if key is not None else None
        self.curve: List[Tuple[int, List[int]]] = []
        self.analysed = 0
        self.received = 0
        #: The newest trace received, shown by the scope while the campaign runs.
        self.last: Optional[Capture] = None
        self.rate = 0.0
        self.started = time.time()
        self.ended: Optional[float] = None
        self.result: Optional[Dict[str, Any]] = None
        self.error: Optional[str] = None
        self.analysis_error: Optional[str] = None
        self.stop_reason: Optional[str] = None
        self.confirmed: List[int] = []
        self._queue: Deque[BatchEvent] = collections.deque()
        self._queued = 0
        self._cond = threading.Condition()
        # Held while the accumulators change, and while they are copied.
        self._acc = threading.Lock()
        self._campaign_done = False
        self._snapshot: Dict[str, Any] = {}
        self._next_cpa = 0.0
        self._next_point = 8
        self._thread = threading.Thread(target=self._analyse, name="valdrix-web analysis", daemon=True)
        self._publish()

    # The campaign's side -------------------------------------------------------

    def _on_batch(self, event: BatchEvent) -> None:
        size = sum(w.nbytes for w in event.waves.values())
        with self._cond:
            while self._queued > QUEUE_BYTES and self._thread.is_alive():
                self._cond.wait(0.5)
            self._queue.append(event)
            self._queued += size
            self.received = event.done
            self.rate = event.rate
            self._cond.notify_all()
        if event.count:
            self.last = Capture(event.done, {c: w[-1] for c, w in event.waves.items()}, bytes(event.tx[-1]),
                                bytes(event.rx[-1]) if event.rx is not None and len(event.rx) else b"", 0, True,
                                self.options.sample_rate)
        if self.budget is not None and event.done >= self.budget and not self.stop_reason:
            self.stop_reason = "the budget of %d traces is spent" % self.budget
            self.campaign.stop()

    def run(self, client: Valdrix) -> None:
        """Runs the campaign on ``client`` (on the instrument's thread) to its end."""
        self._thread.start()
        saved_timeout = client.timeout
        client.timeout = max(saved_timeout, float(self.options.timeout) + 2.0)
        try:
            self.result = self.campaign.run()
        except (UsageError, GaveUp, ValueError) as e:
            self.error = str(e)
        except OSError as e:
            self.error = "%s: %s" % (e.filename, e.strerror) if e.filename else str(e)
            if not e.filename:
                raise
        except KeyboardInterrupt:
            self.error = "interrupted"
        except Exception as e:  # a service error ends the campaign, not the server
            self.error = "%s: %s" % (type(e).__name__, e)
        finally:
            client.timeout = saved_timeout
            with self._cond:
                self._campaign_done = True
                self._cond.notify_all()
            self._thread.join()
            self.ended = time.time()
            self._publish(force=True)

    def stop(self, reason: str = "stopped from the page") -> None:
        if not self.stop_reason:
            self.stop_reason = reason
        self.campaign.stop()

    @property
    def running(self) -> bool:
        return self.ended is None

    # The analysis thread -------------------------------------------------------

    def _analyse(self) -> None:
        last = 0.0
        while True:
            with self._cond:
                while not self._queue and not self._campaign_done:
                    self._cond.wait(self.refresh)
                    if time.monotonic() - last >= self.refresh:
                        break
                event = self._queue.popleft() if self._queue else None
                if event is not None:
                    self._queued -= sum(w.nbytes for w in event.waves.values())
                    self._cond.notify_all()
                elif self._campaign_done:
                    return
            if event is not None and self.analysis_error is None:
                try:
                    with self._acc:
                        self._feed(event)
                except (ValueError, MemoryError) as e:
                    # The campaign goes on and its file is whole; only the
                    # live view ends, and says why.
                    self.analysis_error = "live analysis stopped: %s" % e
            if time.monotonic() - last >= self.refresh:
                last = time.monotonic()
                self._publish()

    def _feed(self, e: BatchEvent) -> None:
        for c, w in e.waves.items():
            self.sums[c] += w.sum(axis=0, dtype=np.int64)
        if self.two is not None and e.labels is not None:
            groups = np.where(e.labels == "fixed", 0, np.where(e.labels == "random", 1, -1))
            self.two.update(e.waves[self.channel], groups, e.start)
        if self.cpa is not None:
            a, b = self.cpa_window
            x, tx = e.waves[self.channel][:, a:b], e.tx
            # The curve gets a point at every factor of about 1.4 in traces
            # (the few-trace end is where it moves), besides the timed ones.
            first = 0
            while first < len(x):
                last = min(len(x), first + max(1, self._next_point - self.cpa.traces))
                self.cpa.update(x[first:last], tx[first:last])
                first = last
                if self.cpa.traces >= self._next_point:
                    self._rank_point()
                    self._next_point = int(self._next_point * 1.4142) + 1
        self.analysed = e.start + e.count

    def t(self) -> Optional[np.ndarray]:
        """The live t-trace of all traces analysed, or None before each
        group has 2 traces."""
        if self.two is None:
            return None
        with self._acc:
            # Merged into a copy: the halves go on accumulating.
            whole = copy.deepcopy(self.two.sets[0]).merge(self.two.sets[1])
        self.ttest = whole
        return whole.t() if min(whole.counts) >= 2 else None

    def _publish(self, force: bool = False) -> None:
        o = self.options
        snap: Dict[str, Any] = {
            "running": self.ended is None and not force, "done": self.received, "analysed": self.analysed,
            "total": self.campaign.count, "rate": self.rate, "output": o.output, "channel": self.channel,
            "samples": self.samples, "sample_rate": o.sample_rate, "error": self.error,
            "stop_reason": self.stop_reason, "tvla": bool(o.tvla), "threshold": analysis.LEAK_THRESHOLD,
            "analysis_error": self.analysis_error,
        }
        left = (self.campaign.count - self.received) / self.rate if self.rate > 0 else None
        snap["left_s"] = left if snap["running"] else 0
        n = max(self.analysed, 1)
        means = {str(c): _reduce(s / n) for c, s in self.sums.items()} if self.analysed else {}
        snap["mean"] = {c: m[0] for c, m in means.items()}
        snap["step"] = next(iter(means.values()))[1] if means else 1
        t = self.t()
        if t is not None:
            snap["t"], _ = _reduce(t)
            snap["max_t"] = float(np.abs(t).max())
            snap["counts"] = list(self.ttest.counts)
        if self.two is not None and self.two.ready():
            pair = self.two.t()
            snap["t_sets"] = [_reduce(pair[0])[0], _reduce(pair[1])[0]]
            confirmed = self.two.confirmed(pair)
            self.confirmed = [int(i) for i in confirmed]
            snap["confirmed"] = self.confirmed[:64]
            snap["confirmed_count"] = len(self.confirmed)
            if len(confirmed) and self.stop_on_leak and self.ended is None and not self.stop_reason:
                self.stop("leakage confirmed by both halves at %d samples" % len(confirmed))
                snap["stop_reason"] = self.stop_reason
        if self.cpa is not None and self.cpa.traces >= 2 and (force or time.monotonic() >= self._next_cpa):
            with self._acc:
                self._rank_point()
        if self.cpa is not None:
            snap["curve"] = self.curve
            snap["key"] = self.key.hex()
        with self._cond:
            self._snapshot = snap
        self.notify()

    def _rank_point(self) -> None:
        """A point of the traces-to-key curve at the traces added so far."""
        if self.cpa.traces < 2 or (self.curve and self.curve[-1][0] == self.cpa.traces):
            return
        began = time.monotonic()
        ranks = self.cpa.ranks(self.key)
        # The correlation's cost grows with the window: refresh it less often
        # than the t-trace when it is slow, so it never eats the campaign's
        # share of the machine.
        self._next_cpa = time.monotonic() + max(1.0, 5 * (time.monotonic() - began))
        self.curve.append((self.cpa.traces, [int(r) for r in ranks]))
        if len(self.curve) > 2000:
            self.curve = self.curve[:1] + self.curve[1::2]

    def snapshot(self) -> Dict[str, Any]:
        with self._cond:
            return self._snapshot
