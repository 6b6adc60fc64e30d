#!/usr/bin/env python3
"""The ladder of difficulty: how many traces each profile of the simulated AES
target costs.

For every profile of valdrixd-sim's AES target (classroom, noisy, desync, masked,
shuffled) and every attack that applies (first-order CPA; CPA after static
alignment; second-order CPA on the centred product of two moments), it starts a
simulator of its own per random key, captures random plaintexts over the wire in
batches, and finds the number of traces from which the attack gives the whole key.
It prints the median over the keys and exits 1 when a median falls outside the
range the profile is calibrated for.

  examples/ladder.py [--keys N] [--cheap] [--rows NAME,...] [--knobs OPTIONS]
                     [--sim PATH] [--seed N] [--json FILE]
  examples/ladder.py --rates N     (each profile's campaign rate, against classroom's)

--cheap runs the rows that decide quickly (CI runs them): classroom, desync both
ways and shuffled with small budgets ("more than 200 traces" already shows ten
times classroom), and masked at first order. The attacks look where the
simulator's leakage map says the first round's S-box outputs are drawn.
"""
import argparse
import json
import os
import socket
import statistics
import subprocess
import sys
import time
from typing import Any, Dict, List, Optional, Sequence, Tuple

try:
    import numpy as np
except ImportError:  # pragma: no cover - Debian's python3-numpy
    print("ladder.py: numpy is needed (Debian's python3-numpy; run with /usr/bin/python3)", file=sys.stderr)
    sys.exit(2)

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "clients", "python"))
from valdrix import Valdrix  # noqa: E402
from valdrix.errors import ValdrixError  # noqa: E402
from valdrix.analysis import CPA, align, centred_product  # noqa: E402

SAMPLES = 1024     # round 1 ends by sample 900 in every profile
GAIN_B = 25        # percent: keeps the noisy profile's noise inside the 16-bit range
JITTER = 50        # target cycles of the desync profile
BATCH = 500        # traces per capture_batch

# (profile, attack, budget, cheap budget or None, what the median must be, its text).
# A bound "10x" is ten times classroom's median; None: no bound that side.
Row = Tuple[str, str, int, Optional[int], Tuple[Any, Any], str]
ROWS: List[Row] = [
    ("classroom", "first-order CPA", 200, 200, (None, 30), "about 10"),
    ("noisy", "first-order CPA", 10000, None, (1000, 3000), "1,000 to 3,000"),
    ("desync", "first-order CPA", 100000, 200, ("10x", None), "10x classroom or more"),
    ("desync", "aligned CPA", 200, 200, (None, 30), "about classroom"),
    ("masked", "first-order CPA", 20000, 1000, ("never", None), "never"),
    ("masked", "second-order CPA", 10000, None, (1000, 3000), "1,000 to 3,000"),
    ("shuffled", "first-order CPA", 100000, 200, ("10x", None), "many times classroom"),
]


def checkpoints(budget: int) -> List[int]:
    """Trace counts at which the attacks are evaluated: steps of about 12 %."""
    points, n = [], 4
    while n < budget:
        points.append(n)
        n = max(n + 1, int(round(n * 1.12)))
    return points + [budget]


class Simulator:
    """valdrixd-sim with the AES target on a free loopback port."""

    def __init__(self, sim: str, args: Sequence[str]) -> None:
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.proc = subprocess.Popen([sim, "--listen", "127.0.0.1", "--port", str(self.port), *args],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env={**os.environ,
                                                                                              "NO_COLOR": "1"})
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return
            except OSError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    err = self.proc.stderr.read().decode(errors="replace") if self.proc.stderr else ""
                    self.close()
                    raise RuntimeError("valdrixd-sim did not start: %s" % err.strip().splitlines()[:1])
                time.sleep(0.05)

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


def leakage_map(sim: str, profile: str) -> List[Dict[str, Any]]:
    out = subprocess.run([sim, "--spi-target", "aes", "--aes-profile", profile, "--leakage-map"],
                         check=True, capture_output=True, text=True).stdout
    try:
        return list(json.loads(out))
    except ValueError:
        raise RuntimeError("%s printed no leakage map for %s: is it valdrixd-sim?" % (sim, profile)) from None


def windows(sim: str, profile: str) -> Dict[str, Any]:
    """Where to look, from the leakage map: the S-box outputs (with room for the
    jitter's delay), and the masks and masked outputs of bytes 0 to 15."""
    m = leakage_map(sim, profile)
    sbox = [e for e in m if e["intermediate"] in ("sbox_out", "masked_sbox_out")]
    first = min(e["sample"] for e in sbox)
    end = max(e["sample"] + e["length"] for e in sbox)
    late = 2 * JITTER if profile == "desync" else 0
    w: Dict[str, Any] = {"sbox": (first, min(SAMPLES, end + late))}
    # The cipher's onset: the quiet lead-in's end and the first draw.
    onset = min(e["sample"] for e in m)
    w["onset"] = (onset - 28, onset + 4)
    w["draws"] = [(e["sample"], e["sample"] + e["length"]) for e in m]
    masks = sorted(e["sample"] for e in m if e["intermediate"] == "mask")
    if masks:
        outputs = {}
        for e in sbox:  # each byte's first draw: SubBytes; the second is ShiftRows'
            outputs.setdefault(e["byte"], e["sample"])
        span = masks[-1] + 8 - masks[0]
        w["mask"] = (masks[0], masks[0] + span)
        w["masked"] = (outputs[0], outputs[0] + span)
    return w


class Attack:
    """One attack on one key's campaign, fed chunk by chunk."""

    def __init__(self, kind: str, win: Dict[str, Any], budget: int) -> None:
        self.kind = kind
        self.win = win
        self.budget = budget
        self.found: Optional[int] = None
        self.done = False
        a, b = win["sbox"]
        self.cpa = CPA(b - a)
        # Alignment's reference: the first round's draws as the map gives them, all of
        # one height, on a quiet baseline; only the window around the onset is compared.
        self.reference = np.zeros(SAMPLES)
        for e in win.get("draws", []):
            self.reference[e[0]:e[1]] = 1.0
        self.pairs: List[np.ndarray] = []  # second order: both windows of every trace
        self.pts: List[np.ndarray] = []

    def update(self, traces: np.ndarray, pts: np.ndarray) -> None:
        a, b = self.win["sbox"]
        if self.kind == "first-order CPA":
            self.cpa.update(traces[:, a:b], pts)
        elif self.kind == "aligned CPA":
            # The onset alone pins each trace's start: a longer window would let the
            # heights of the draws, which follow the data, pull it a slot off.
            shifted, _ = align(traces, self.reference, window=self.win["onset"], max_shift=2 * JITTER)
            self.cpa.update(shifted[:, a:b], pts)
        else:
            (c, d), (e, f) = self.win["mask"], self.win["masked"]
            self.pairs.append(np.concatenate([traces[:, c:d], traces[:, e:f]], axis=1))
            self.pts.append(pts)

    def key(self) -> bytes:
        if self.kind != "second-order CPA":
            return self.cpa.key()
        x = np.concatenate(self.pairs)
        half = x.shape[1] // 2
        product = centred_product(x, (0, half), (half, 2 * half))
        return CPA(half).update(product, np.concatenate(self.pts)).key()

    def check(self, n: int, key: bytes) -> None:
        if self.done:
            return
        if self.key() == key:
            self.found, self.done = n, True
        elif n >= self.budget:
            self.done = True


def campaign(sim: str, profile: str, attacks: List[Tuple[str, int]], key: bytes, seed: int,
             win: Dict[str, Any], knobs: Sequence[str] = ()) -> Tuple[List[Optional[int]], int, float]:
    """Captures until every attack has the key or its budget; returns what each
    needed (None: not within its budget), the traces captured and the seconds spent
    capturing."""
    rng = np.random.default_rng(seed)
    runs = [Attack(kind, win, budget) for kind, budget in attacks]
    points = sorted(set(p for r in runs for p in checkpoints(r.budget)))
    sim_proc = Simulator(sim, ["--spi-target", "aes", "--aes-profile", profile, "--aes-key", key.hex(),
                               "--seed", str(seed), *knobs])
    captured, capture_s = 0, 0.0
    try:
        with Valdrix("127.0.0.1", sim_proc.port, timeout=10) as v:
            v.setup(clock_khz=24000, sample_rate_khz=48000, samples=SAMPLES, gain_b=GAIN_B, bus="spi")
            for point in points:
                while captured < point:
                    n = min(BATCH, point - captured)
                    pts = rng.integers(0, 256, (n, 16), dtype=np.uint8)
                    t0 = time.monotonic()
                    batch = v.capture_batch(pts, rx_len=16, channels=(2,), samples=SAMPLES)
                    capture_s += time.monotonic() - t0
                    ok = np.asarray(batch.result) == 0
                    traces, pts = batch.waves[2][ok], pts[ok]
                    captured += len(traces)
                    for r in runs:
                        if not r.done:
                            r.update(traces, pts)
                for r in runs:
                    if r.budget >= point:
                        r.check(point, key)
                if all(r.done for r in runs):
                    break
    finally:
        sim_proc.close()
    return [r.found for r in runs], captured, capture_s


def campaign_rates(sim: str, count: int) -> int:
    """Campaign rate per profile: `count` traces of 4,096 samples on both channels
    in batches, best of three runs, next to classroom's."""
    print("traces/s of %d traces, 4096 samples on channels 1 and 2, batches of %d (best of 3)" % (count, BATCH))
    base = None
    for profile in ("classroom", "noisy", "desync", "masked", "shuffled"):
        sim_proc = Simulator(sim, ["--spi-target", "aes", "--aes-profile", profile])
        try:
            with Valdrix("127.0.0.1", sim_proc.port, timeout=10) as v:
                v.setup(clock_khz=24000, sample_rate_khz=48000, samples=4096, gain_b=GAIN_B, bus="spi")
                pts = np.random.default_rng(1).integers(0, 256, (count, 16), dtype=np.uint8)
                best = 0.0
                for _ in range(3):
                    t0 = time.monotonic()
                    for start in range(0, count, BATCH):
                        v.capture_batch(pts[start:start + BATCH], rx_len=16, channels=(1, 2), samples=4096)
                    best = max(best, count / (time.monotonic() - t0))
        finally:
            sim_proc.close()
        base = base or best
        print("  %-10s %8.0f traces/s  %.2f x classroom" % (profile, best, best / base), flush=True)
    return 0


def median(found: List[Optional[int]]) -> float:
    return statistics.median(float("inf") if f is None else f for f in found)


def text(value: float, budget: int) -> str:
    return "more than {:,}".format(budget) if value == float("inf") else "{:,}".format(int(value))


def main(argv: Optional[List[str]] = None) -> int:
    p = argparse.ArgumentParser(description="Traces for the whole key, per profile of the simulated AES target.")
    p.add_argument("--keys", type=int, default=10, help="random keys per profile (10); the median is reported")
    p.add_argument("--cheap", action="store_true", help="only the rows that decide quickly, with small budgets")
    p.add_argument("--rows", default="", help="profiles to run, comma-separated (default: all)")
    p.add_argument("--sim", default=os.path.join(ROOT, "build", "bin", "valdrixd-sim"), help="simulator binary")
    p.add_argument("--seed", type=int, default=None, help="seed of the keys and plaintexts (default: random)")
    p.add_argument("--json", default=None, help="also write the figures to this JSON file")
    p.add_argument("--knobs", default="", metavar="OPTIONS",
                   help="valdrixd-sim options added to every profile, e.g. '--aes-noise 12000'")
    p.add_argument("--rates", type=int, default=0, metavar="N",
                   help="instead: each profile's campaign rate over N traces, next to classroom's")
    a = p.parse_args(argv)
    if a.keys < 1:
        p.error("--keys must be at least 1")
    if not os.access(a.sim, os.X_OK):
        print("ladder.py: no simulator at %s (make build, or --sim PATH)" % a.sim, file=sys.stderr)
        return 2
    if a.rates:
        return campaign_rates(a.sim, a.rates)
    wanted = [r for r in a.rows.split(",") if r]
    rows = [r for r in ROWS if (not wanted or r[0] in wanted) and (not a.cheap or r[3] is not None)]
    if not rows:
        p.error("no rows selected")
    seed = a.seed if a.seed is not None else int.from_bytes(os.urandom(4), "big")
    keys_rng = np.random.default_rng(seed)
    keys = [bytes(keys_rng.integers(0, 256, 16, dtype=np.uint8)) for _ in range(a.keys)]
    print("%d random keys (seed %d), %d samples at 48 MHz of a 24 MHz target, gain B %d %%%s"
          % (a.keys, seed, SAMPLES, GAIN_B, ", " + a.knobs if a.knobs else ""), flush=True)

    results: Dict[Tuple[str, str], Dict[str, Any]] = {}
    for profile in dict.fromkeys(r[0] for r in rows):
        mine = [r for r in rows if r[0] == profile]
        attacks = [(r[1], r[3] if a.cheap else r[2]) for r in mine]
        win = windows(a.sim, profile)
        found: List[List[Optional[int]]] = [[] for _ in mine]
        total, spent = 0, 0.0
        for k, key in enumerate(keys):
            got, captured, s = campaign(a.sim, profile, attacks, key, seed + 1000 * k + 1, win, a.knobs.split())
            total, spent = total + captured, spent + s
            for i, f in enumerate(got):
                found[i].append(f)
            told = ["%s %s" % (r[1], text(float("inf") if f is None else f, b))
                    for r, f, (_, b) in zip(mine, got, attacks)]
            print("  %-9s key %2d: %s" % (profile, k + 1, ", ".join(told)), flush=True)
        for r, f, (_, budget) in zip(mine, found, attacks):
            results[(profile, r[1])] = {"found": f, "median": median(f), "budget": budget,
                                        "rate": total / spent if spent else 0.0}

    print()
    print("%-10s %-17s %28s  %-22s %s" % ("profile", "attack", "traces for the whole key", "calibrated for", ""))
    failed = 0
    base = results.get(("classroom", "first-order CPA"), {}).get("median")
    for profile, attack, _, _, (lo, hi), target in rows:
        r = results[(profile, attack)]
        m = r["median"]
        bad = False
        if lo == "never":
            bad = m != float("inf")
        elif lo == "10x":
            bad = base is not None and m < 10 * base
        elif lo is not None:
            bad = m < lo
        if hi is not None and m > hi:
            bad = True
        if a.knobs:  # other settings than the profile's: nothing to hold them to
            bad, target = False, "(knobs changed)"
        failed += bad
        known = sorted(f for f in r["found"] if f is not None)
        spread = "%s to %s" % ("{:,}".format(known[0]), "{:,}".format(known[-1])) if known else "none within budget"
        print("%-10s %-17s %28s  %-22s %s" % (profile, attack, text(m, r["budget"]), target,
                                              "OUT OF RANGE" if bad else "(keys: %s)" % spread))
    if a.json:
        with open(a.json, "w") as f:
            json.dump([{"profile": p_, "attack": at, **{k: (None if v == float("inf") else v) for k, v in r.items()
                                                         if k != "found"}, "found": r["found"]}
                       for (p_, at), r in results.items()], f, indent=1)
    return 1 if failed else 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        print("ladder.py: interrupted", file=sys.stderr)
        sys.exit(130)
    except (OSError, RuntimeError, ValueError, ValdrixError, subprocess.CalledProcessError) as e:
        print("ladder.py: %s" % e, file=sys.stderr)
        sys.exit(1)
