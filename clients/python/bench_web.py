#!/usr/bin/python3
"""Figures of valdrix-web against a valdrixd-sim of its own, on loopback.

    bench_web.py --sim build/bin/valdrixd-sim [--seconds 10] [--traces 20000] [--million]

- scope: the updates per second a viewer that draws every frame it gets
  receives (4,096 samples on both channels), and valdrix-web's CPU meanwhile
  (cores, from /proc);
- live analysis: one campaign's rate without and with the page's live
  analysis (mean, t-test, two-set rule), alternated three times in one run;
  the figure is the ratio of the medians (1.0: no cost);
- --million: valdrix-web's resident memory (peak, and at each tenth) through
  a page campaign of 1,000,000 traces of 1,000 samples (1,024 as the
  instrument rounds them), channel B, fixed against random, no file.

Figures taken on a shared machine are preliminary: the load is printed.
"""

import argparse
import asyncio
import json
import os
import re
import socket
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import aiohttp  # noqa: E402

from valdrix import Valdrix  # noqa: E402
from valdrix.campaign import Campaign, CampaignOptions  # noqa: E402
from valdrix.web.live import LiveCampaign  # noqa: E402


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_sim(path):
    port = free_port()
    proc = subprocess.Popen([path, "--port", str(port), "--listen", "127.0.0.1"], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    for _ in range(200):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return proc, port
        except OSError:
            time.sleep(0.05)
    raise SystemExit("bench_web: valdrixd-sim did not listen")


def start_web(sim_port, root):
    env = dict(os.environ, PYTHONPATH=HERE + os.pathsep + os.environ.get("PYTHONPATH", ""))
    proc = subprocess.Popen([sys.executable, "-m", "valdrix.web", "--instrument", "127.0.0.1:%d" % sim_port,
                             "--listen", "127.0.0.1:0"], cwd=root, stdout=subprocess.PIPE, env=env, text=True)
    line = proc.stdout.readline()
    url = re.search(r"open (\S+)", line).group(1).rstrip("/")
    return proc, url


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


async def scope(url, pid, seconds):
    async with aiohttp.ClientSession() as s:
        async with s.ws_connect(url + "/ws", origin=url) as ws:
            await ws.send_json({"type": "view", "x0": 0, "x1": 0, "width": 1400})
            frames, began, cpu0 = 0, None, None
            while True:
                msg = await ws.receive(timeout=30)
                if msg.type != aiohttp.WSMsgType.BINARY:
                    continue
                await ws.send_json({"type": "drawn"})
                if began is None:
                    began, cpu0 = time.monotonic(), cpu_seconds(pid)
                    continue
                frames += 1
                if time.monotonic() - began >= seconds:
                    elapsed = time.monotonic() - began
                    return frames / elapsed, (cpu_seconds(pid) - cpu0) / elapsed


def campaign_rate(port, traces, live):
    options = CampaignOptions(port=port, count=traces, tvla=True, seed=5, tx="random:16", rx_len=16,
                              samples=4096)
    with Valdrix(port=port) as client:
        if live:
            run = LiveCampaign(options, client, notify=lambda: None)
            began = time.monotonic()
            run.run(client)
            assert run.error is None and run.analysed == traces, run.error
        else:
            began = time.monotonic()
            result = Campaign(options, client=client).run()
            assert result["written"] == traces
        return traces / (time.monotonic() - began)


async def million(url, pid):
    async with aiohttp.ClientSession() as s:
        async with s.ws_connect(url + "/ws", origin=url) as ws:
            await ws.send_json({"type": "settings", "changes": {"samples": 1024}})
            await ws.send_json({"type": "campaign_start", "options": {"count": 1000000, "tvla": True, "seed": 1,
                                                                      "channels": "2"}})
            peak, marks, began = 0.0, {}, time.monotonic()
            while True:
                msg = await ws.receive(timeout=60)
                if msg.type == aiohttp.WSMsgType.BINARY:
                    await ws.send_json({"type": "drawn"})
                    continue
                if msg.type != aiohttp.WSMsgType.TEXT:
                    raise SystemExit("bench_web: the WebSocket ended")
                m = json.loads(msg.data)
                if m["type"] == "error":
                    raise SystemExit("bench_web: %s" % m["message"])
                rss = rss_mib(pid)
                peak = max(peak, rss)
                if m["type"] == "campaign":
                    tenth = m["done"] * 10 // 1000000
                    marks.setdefault(tenth, rss)
                    if not m["running"]:
                        return peak, marks, m, time.monotonic() - began


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--sim", default=os.path.join(HERE, "..", "..", "build", "bin", "valdrixd-sim"))
    p.add_argument("--seconds", type=float, default=10.0)
    p.add_argument("--traces", type=int, default=20000)
    p.add_argument("--million", action="store_true")
    args = p.parse_args()
    print("load average at start: %.2f %.2f %.2f on %d cores" % (os.getloadavg() + (os.cpu_count(),)))
    sim, port = start_sim(args.sim)
    root = os.path.abspath(os.getcwd())
    web, url = start_web(port, root)
    try:
        rate, cores = asyncio.run(scope(url, web.pid, args.seconds))
        print("scope: %.1f updates/s of 4096 samples x 2 channels; valdrix-web used %.2f cores" % (rate, cores))
        if args.million:
            peak, marks, end, elapsed = asyncio.run(million(url, web.pid))
            print("million: %d traces in %.0f s (%.0f traces/s), analysed %d; valdrix-web RSS peak %.0f MiB; "
                  "at each tenth: %s" % (end["done"], elapsed, end["done"] / elapsed, end["analysed"], peak,
                                         ", ".join("%.0f" % marks[k] for k in sorted(marks))))
    finally:
        web.terminate()
        web.wait()
    try:
        plain, live = [], []
        for _ in range(3):
            plain.append(campaign_rate(port, args.traces, False))
            live.append(campaign_rate(port, args.traces, True))
        print("campaign of %d traces: %.0f traces/s without live analysis, %.0f with; ratio %.3f (medians of 3)"
              % (args.traces, statistics.median(plain), statistics.median(live),
                 statistics.median(live) / statistics.median(plain)))
    finally:
        sim.terminate()
        sim.wait()
    print("load average at end: %.2f %.2f %.2f" % os.getloadavg())


if __name__ == "__main__":
    main()
