"""Parent side of a simulator running in its own process.

The client's waiting calls hold the interpreter lock for their whole wait,
so a simulator thread in the client's process could not answer them; the
child process has an interpreter of its own.
"""

import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time
from typing import IO, Any, Self, cast

import vyre_tools

from .errors import SimulatorError
from .waiting import StatusWaiter
from .options import to_argv

_PACKAGE_PARENT = os.path.dirname(os.path.dirname(os.path.abspath(vyre_tools.__file__)))


class SimulatorProcess(StatusWaiter):
    """A simulator in a child process (``python -m vyre_tools.sim --control``).

    Same run-time methods as :class:`Simulator`, sent over the child's
    standard input and answered on its standard output.  The child runs in a
    session of its own (``new_session=False`` keeps it in the caller's): the
    terminal's Ctrl-C and hang-up reach the script, not the device.  It ends
    with :meth:`close`, or when this process ends.
    """

    port_name: str
    """The pseudo-terminal's path: what a client opens."""

    def __init__(
        self,
        *,
        start_timeout: float = 30.0,
        request_timeout: float = 10.0,
        new_session: bool = True,
        **options: Any,
    ) -> None:
        # new_session: keep the child out of the terminal's process group, so
        # that a Ctrl-C meant for the script does not take the device away, as
        # it would not take real hardware.  The child still ends with its
        # parent: its standard input closes, and it watches its parent's pid.
        argv = [sys.executable, "-m", "vyre_tools.sim", "--control", *to_argv(options)]
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(x for x in (_PACKAGE_PARENT, env.get("PYTHONPATH")) if x)
        self._lock = threading.Lock()
        self._buf = b""
        self._request_timeout = request_timeout
        self._stderr: IO[bytes] | None = tempfile.TemporaryFile()
        self._last_stderr = ""
        self._returncode: int | None = None
        self._proc: subprocess.Popen[bytes] | None = None
        try:
            self._proc = subprocess.Popen(
                argv,
                stdin=subprocess.PIPE,
                stdout=subprocess.PIPE,
                stderr=self._stderr,
                env=env,
                close_fds=True,
                start_new_session=new_session,
            )
            self.port_name = self._read_line(start_timeout)
        except BaseException:
            self.close()
            raise

    @property
    def pid(self) -> int:
        """The child's process id; SimulatorError once it was closed."""
        if self._proc is None:
            raise SimulatorError("simulator process was closed")
        return self._proc.pid

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass

    def _child_stderr(self) -> str:
        if self._stderr is None:
            return self._last_stderr
        try:
            self._stderr.seek(0)
            return self._stderr.read().decode(errors="replace")[-2000:]
        except (OSError, ValueError):
            return ""

    def _child_error(self, what: str) -> SimulatorError:
        err = self._child_stderr()
        code = self._proc.poll() if self._proc else self._returncode
        return SimulatorError(f"{what} (exit status {code}){': ' + err if err else ''}")

    @property
    def returncode(self) -> int | None:
        """The child's exit status once it has ended, else None."""
        return self._proc.poll() if self._proc else self._returncode

    def _read_line(self, timeout: float) -> str:
        assert self._proc is not None and self._proc.stdout is not None  # piped, not closed
        fd = self._proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        while b"\n" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0:
                raise self._child_error("simulator process did not answer in time")
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                raise self._child_error("simulator process ended")
            self._buf += chunk
        line, self._buf = self._buf.split(b"\n", 1)
        return line.decode()

    def _call(self, op: str, **args: Any) -> Any:
        with self._lock:
            if self._proc is None or self._proc.poll() is not None:
                raise self._child_error("simulator process is not running")
            assert self._proc.stdin is not None  # piped
            try:
                self._proc.stdin.write((json.dumps({"op": op, "args": args}) + "\n").encode())
                self._proc.stdin.flush()
            except (BrokenPipeError, OSError):
                raise self._child_error("simulator process ended") from None
            reply = json.loads(self._read_line(self._request_timeout))
        if not reply.get("ok"):
            raise SimulatorError(reply.get("error", "simulator request failed"))
        return reply.get("result")

    def status(self) -> dict[str, Any]:
        return cast(dict[str, Any], self._call("status"))

    def mock_records(self, start: int = 0) -> list[list[Any]]:
        return cast(list[list[Any]], self._call("mock_records", start=start))

    def set_rate(self, rate: float) -> None:
        self._call("set_rate", rate=rate)

    def set_unthrottled(self, on: bool = True) -> None:
        self._call("set_unthrottled", on=on)

    def set_silent(self, on: bool = True) -> None:
        self._call("set_silent", on=on)

    def set_answer_delay(self, seconds: float) -> None:
        self._call("set_answer_delay", seconds=seconds)

    def set_noise(self, rate: float, max_len: int | None = None, header_share: float | None = None) -> None:
        self._call("set_noise", rate=rate, max_len=max_len, header_share=header_share)

    def set_corrupt_rate(self, rate: float) -> None:
        self._call("set_corrupt_rate", rate=rate)

    def set_false_header(self, rate: float, max_len: int | None = None) -> None:
        self._call("set_false_header", rate=rate, max_len=max_len)

    def set_cut_rate(self, rate: float) -> None:
        self._call("set_cut_rate", rate=rate)

    def set_stray(self, rate: float) -> None:
        self._call("set_stray", rate=rate)

    def hang_up(self) -> None:
        self._call("hang_up")

    def replug(self, delay: float | None = None) -> None:
        self._call("replug", delay=delay)

    @property
    def link_path(self) -> str | None:
        """The stable link to the device's current port (see Simulator.link_path)."""
        return cast(str | None, self.status()["link"])

    def discard_output(self) -> None:
        self._call("discard_output")

    def shake(self, at: float, seconds: float = 2.0, style: str = "shake") -> None:
        self._call("shake", at=at, seconds=seconds, style=style)

    def reset_counters(self, discard_output: bool = False) -> None:
        self._call("reset_counters", discard_output=discard_output)

    def ping(self) -> bool:
        return cast(bool, self._call("ping"))

    def close(self) -> None:
        """Stop the child (SIGTERM, then SIGKILL if it lingers) and release
        the pipes.  Safe to call twice."""
        proc, self._proc = self._proc, None
        if proc is not None:
            if proc.poll() is None:
                try:
                    proc.send_signal(signal.SIGTERM)
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
            for f in (proc.stdin, proc.stdout):
                try:
                    if f is not None:
                        f.close()
                except OSError:
                    pass
            self._returncode = proc.returncode
        if self._stderr is not None:
            self._last_stderr = self._child_stderr()
            self._stderr.close()
            self._stderr = None
