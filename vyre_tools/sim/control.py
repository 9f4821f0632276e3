"""Control channel of a simulator running in a child process.

Requests are JSON objects, one a line, on the child's standard input; each
gets one JSON line on its standard output: ``{"ok": true, "result": ...}`` or
``{"ok": false, "error": "..."}``.  The first line the child prints is the
port path, before any reply.  The channel never touches the serial link, and
the end of standard input (the parent went away) stops the child, so a
crashed test run leaves no simulator behind.
"""

import json
import threading
from typing import TYPE_CHECKING, TextIO

if TYPE_CHECKING:
    from .device import Simulator

# Operations a parent may ask for, each a method of Simulator.
OPERATIONS = frozenset(
    {
        "status",
        "mock_records",
        "set_rate",
        "set_unthrottled",
        "set_silent",
        "set_answer_delay",
        "set_noise",
        "set_corrupt_rate",
        "set_false_header",
        "set_cut_rate",
        "set_stray",
        "hang_up",
        "replug",
        "discard_output",
        "shake",
        "reset_counters",
        "ping",
    }
)


def handle_request(sim: "Simulator", line: str) -> str:
    """The reply line (without newline) for one request line."""
    try:
        request = json.loads(line)
        op = request["op"]
        args = request.get("args", {})
        if op not in OPERATIONS:
            raise ValueError(f"unknown operation {op!r}")
        if not isinstance(args, dict):
            raise TypeError("args must be an object")
        result = getattr(sim, op)(**args)
        return json.dumps({"ok": True, "result": result})
    except Exception as e:  # reported to the parent, never fatal here
        return json.dumps({"ok": False, "error": f"{type(e).__name__}: {e}"})


def serve(sim: "Simulator", infile: TextIO, outfile: TextIO, stop: threading.Event) -> threading.Thread:
    """Answer requests from ``infile`` until it ends, then set ``stop``.
    Runs on its own thread; the caller joins it."""

    def loop() -> None:
        try:
            for line in infile:
                line = line.strip()
                if not line:
                    continue
                outfile.write(handle_request(sim, line) + "\n")
                outfile.flush()
        except (OSError, ValueError):
            pass  # the parent closed its ends
        finally:
            stop.set()

    thread = threading.Thread(target=loop, name="vyre-sim-control", daemon=True)
    thread.start()
    return thread
