"""Shared plumbing of the end-to-end benchmarks: the machine's description,
CPU clocks, building the C helpers, the fast pty producer and child roles.

The benchmarks run with the project's environment, e.g.
``.venv/bin/python bench/link_rate.py``; every figure they print is measured
side by side in the same run, because the machine is shared and noisy.
"""

import json
import os
import platform
import resource
import shutil
import subprocess
import sys
import tempfile
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
for path in (BENCH, ROOT):
    if path not in sys.path:
        sys.path.insert(0, path)

FRAME_SIZE = 86


def machine():
    """One line saying where the figures come from."""
    model = ""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    return (
        f"{platform.system()} {platform.release()}, {os.cpu_count()} CPUs ({model}), "
        f"load average {load}, Python {platform.python_version()}"
    )


def library_available():
    try:
        import vyre_client
    except ImportError:
        return False
    return hasattr(vyre_client, "VYREClient")


def cpu_seconds():
    """CPU time of this whole process (every thread), user plus system."""
    ru = resource.getrusage(resource.RUSAGE_SELF)
    return ru.ru_utime + ru.ru_stime


def emit(result):
    """A child's one line of results."""
    print(json.dumps(result), flush=True)


class CBuild:
    """The C helpers, compiled once per run into a temporary directory."""

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix="vyre-bench-")
        cc = os.environ.get("CC") or shutil.which("cc") or "gcc"
        for name, libs in (("floor", ["-lpthread"]), ("producer", ["-lm"])):
            subprocess.run(
                [cc, "-O2", "-o", self.path(name), os.path.join(BENCH, name + ".c"), *libs], check=True
            )

    def path(self, name):
        return os.path.join(self.dir, name)

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Producer:
    """``producer.c`` in a child process: a pty fed with pre-built telemetry
    frames, as fast as the reader takes them or one by one at ``rate``."""

    def __init__(self, build, frames, rate=None):
        self.frames = frames
        argv = [build.path("producer"), str(frames)] + ([str(rate)] if rate else [])
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.port_name = self.proc.stdout.readline().strip()
        if not self.port_name:
            self.close()
            raise RuntimeError("producer did not start")

    def go(self, frames=None):
        """Start writing ``frames`` frames (default: the count given at start)."""
        self.proc.stdin.write(f"{frames or self.frames}\n")
        self.proc.stdin.flush()

    def result(self):
        """What the producer reports once it has written every frame."""
        return json.loads(self.proc.stdout.readline())

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.close()
                self.proc.wait(10)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()


def run_child(argv, timeout):
    """Run a child to its end and return its last line as JSON."""
    out = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, timeout=timeout)
    if out.returncode != 0:
        raise RuntimeError(f"{argv[:3]} failed ({out.returncode}): {out.stderr[-2000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


def spawn_child(argv, stdin=False):
    """A child whose output is collected; ``stdin``: give it a pipe to talk to."""
    return subprocess.Popen(
        argv,
        stdin=subprocess.PIPE if stdin else subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def collect(proc, timeout):
    out, err = proc.communicate(timeout=timeout)
    if proc.returncode != 0:
        raise RuntimeError(f"{proc.args[:3]} failed ({proc.returncode}): {err[-2000:]}")
    return json.loads(out.strip().splitlines()[-1])


def end_all(children, devices):
    """Kill the children still running, then close their devices."""
    for p in children:
        if p.poll() is None:
            p.kill()
            p.wait()
    for device in devices:
        device.close()


def python_role(script, *args):
    """argv running a role of one of the bench scripts with this interpreter."""
    return [sys.executable, os.path.join(BENCH, script), "--role", *map(str, args)]


def sleep_until(t):
    left = t - time.monotonic()
    if left > 0:
        time.sleep(left)
