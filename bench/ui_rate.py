#!/usr/bin/env python3
"""vyre ui at the link's rate: page updates, sample-to-screen latency, the
server's CPU beyond the client's own, and its memory over the run.

    .venv/bin/python bench/ui_rate.py [--seconds 60] [--rate 2300]

The simulated device (a child process) streams ``--rate`` frames/s and logs
the host time each sample was made at (its truth log). ``vyre ui`` serves it
to Debian's Chromium, headless, driven by Playwright, on the live plots. In
the browser a MutationObserver notes each update of the newest sample's
device time and, at the next animation frame (when the update is painted),
the wall clock; the latency of an update is that clock minus the time the
sample left the device. The server's CPU time over the run is compared with
that of a bare asyncio client taking the same stream (``batches(arrays=True)``,
as the server's consumer does) for up to a minute; its resident set size is
sampled every second after ``--warmup`` seconds.

Goals: >= 20 page updates a second; latency p50 <= 100 ms; server CPU beyond
the client's own <= 30 % of a core; memory flat (10 minutes is the goal's
length: --seconds 600).
"""

import argparse
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if ROOT not in sys.path:
    sys.path.insert(0, ROOT)

import numpy as np  # noqa: E402

from vyre_tools.sim import Simulator  # noqa: E402

BARE_SECONDS = 60.0  # the bare client's CPU share settles well within a minute

OBSERVER = """
window.__updates = [];
const target = document.querySelector('[data-testid="live-time"]');
new MutationObserver(() => {
    const device = parseFloat(target.getAttribute('data-device-time'));
    requestAnimationFrame(() => window.__updates.push(
        [device, (performance.timeOrigin + performance.now()) / 1000]));
}).observe(target, {attributes: true, attributeFilter: ['data-device-time']});
"""


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rss_mib(pid):
    with open(f"/proc/{pid}/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize() / 2**20


def bare_client_cpu(port, seconds):
    """CPU seconds of a process that only takes the stream, as the server does."""
    code = f"""
import asyncio, sys, time
from vyre_tools.aio import AsyncVYREClient
async def main():
    async with AsyncVYREClient.open({port!r}) as client:
        end = time.monotonic() + {seconds}
        async for batch in client.batches(arrays=True):
            if time.monotonic() > end:
                break
asyncio.run(main())
import os
t = os.times()
print(t.user + t.system)
"""
    env = dict(os.environ, PYTHONPATH=ROOT)
    out = subprocess.run(
        [sys.executable, "-c", code],
        capture_output=True,
        text=True,
        env=env,
        check=True,
        timeout=seconds + 60,
    )
    return float(out.stdout.split()[-1])


def serve(port, data_dir):
    env = dict(os.environ, PYTHONPATH=ROOT)
    env.pop("PYTEST_CURRENT_TEST", None)
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "vyre_tools.cli",
            "ui",
            "-p",
            port,
            "--no-browser",
            "--http-port",
            "0",
            "--data-dir",
            data_dir,
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=env,
        stdin=subprocess.DEVNULL,
    )
    line = proc.stdout.readline()
    found = re.search(r"http://\S+", line)
    if not found:
        proc.kill()
        raise SystemExit(f"vyre ui did not start: {line}{proc.stderr.read()}")
    return proc, found.group(0)


def measure(args):
    from playwright.sync_api import sync_playwright

    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    if not chromium:
        raise SystemExit("no Chromium (scripts/install-deps installs it)")
    with tempfile.TemporaryDirectory() as tmp:
        truth_path = os.path.join(tmp, "truth.bin")
        with Simulator.spawn(rate=args.rate, truth_log=truth_path) as sim:
            port = sim.link_path
            bare_seconds = min(args.seconds, BARE_SECONDS)
            bare = bare_client_cpu(port, bare_seconds) / bare_seconds
            proc, url = serve(port, tmp)
            try:
                with sync_playwright() as p:
                    browser = p.chromium.launch(executable_path=chromium, headless=True)
                    page = browser.new_page(viewport={"width": 1280, "height": 900})
                    page.goto(url)
                    page.get_by_test_id("tab-live").click()
                    page.get_by_test_id("live-time").wait_for()
                    page.evaluate(OBSERVER)
                    cpu0, began = cpu_seconds(proc.pid), time.monotonic()
                    memory = []
                    while (elapsed := time.monotonic() - began) < args.seconds:
                        time.sleep(1.0)
                        if elapsed >= args.warmup:
                            memory.append(rss_mib(proc.pid))
                    cpu = cpu_seconds(proc.pid) - cpu0
                    run_seconds = time.monotonic() - began
                    updates = np.array(page.evaluate("window.__updates"))
                    browser.close()
            finally:
                proc.terminate()
                proc.wait(20)
        truth = np.fromfile(truth_path, dtype="<f8").reshape(-1, 2)
    # the time each shown sample was made, by its device timestamp
    order = np.argsort(truth[:, 0])
    made_ts, made_at = truth[order, 0], truth[order, 1]
    shown = updates[np.isfinite(updates[:, 0])]
    at = np.clip(np.searchsorted(made_ts, shown[:, 0]), 0, len(made_ts) - 1)
    latency = 1000 * (shown[:, 1] - made_at[at])
    return {
        "updates_per_s": len(updates) / run_seconds,
        "latency_p50_ms": float(np.percentile(latency, 50)),
        "latency_p90_ms": float(np.percentile(latency, 90)),
        "latency_p99_ms": float(np.percentile(latency, 99)),
        "server_cpu": cpu / run_seconds,
        "client_cpu": bare,
        "rss_first_mib": memory[0],
        "rss_last_mib": memory[-1],
        "rss_max_mib": max(memory),
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--seconds", type=float, default=60.0)
    ap.add_argument("--rate", type=float, default=2300.0)
    ap.add_argument("--warmup", type=float, default=10.0, help="seconds before the memory is watched")
    args = ap.parse_args()
    r = measure(args)
    beyond = r["server_cpu"] - r["client_cpu"]
    growth = r["rss_last_mib"] - r["rss_first_mib"]
    checks = {
        "page updates >= 20/s": r["updates_per_s"] >= 20,
        "latency p50 <= 100 ms": r["latency_p50_ms"] <= 100,
        "server CPU beyond the client's <= 30 % of a core": beyond <= 0.30,
        "memory flat (within 10 MiB after the warm-up)": abs(growth) <= 10,
    }
    print(f"rate {args.rate:g} frames/s for {args.seconds:g} s")
    print(f"page updates        {r['updates_per_s']:.1f} /s")
    print(
        f"sample to screen    p50 {r['latency_p50_ms']:.1f} ms, p90 {r['latency_p90_ms']:.1f} ms, "
        f"p99 {r['latency_p99_ms']:.1f} ms"
    )
    print(
        f"server CPU          {100 * r['server_cpu']:.1f} % of a core; a bare client "
        f"{100 * r['client_cpu']:.1f} %; beyond it {100 * beyond:.1f} %"
    )
    print(
        f"server memory       {r['rss_first_mib']:.1f} MiB after the warm-up, "
        f"{r['rss_last_mib']:.1f} MiB at the end (largest {r['rss_max_mib']:.1f})"
    )
    for name, ok in checks.items():
        print(f"{'met   ' if ok else 'MISSED'} {name}")
    return 0 if all(checks.values()) else 1


if __name__ == "__main__":
    sys.exit(main())
