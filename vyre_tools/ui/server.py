"""Serving the pages: NiceGUI's server on the asyncio loop that also runs
the device session, started and ended with it."""

import contextlib
import os
import signal
import socket
import sys
import urllib.parse
import webbrowser
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from types import FrameType

from nicegui import app, core, ui

from . import page
from .access import AccessGuard, is_loopback, is_wildcard
from .session import DeviceSession
from .uploads import UploadLimit
from .waiting_pages import WaitingPages

# the signals that end a process by default, taken as the server takes
# SIGTERM: the sessions close (a recording is finished) and the command ends;
# SIGHUP comes when the SSH session or the terminal it runs in goes away
STOP_SIGNALS = tuple(
    getattr(signal, name)
    for name in (
        "SIGTERM",
        "SIGHUP",
        "SIGQUIT",
        "SIGALRM",
        "SIGUSR1",
        "SIGUSR2",
        "SIGXCPU",
        "SIGVTALRM",
        "SIGPROF",
        "SIGPWR",
    )
    if hasattr(signal, name)
)


@dataclass
class Ended:
    """How the server ended."""

    failure: str | None = None  # why it could not start
    signal: int | None = None  # the signal that stopped it


def free_port(host: str) -> int:
    """A TCP port nothing listens on now (for --http-port 0)."""
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as s:
        s.bind((host, 0))
        return int(s.getsockname()[1])


def taken(host: str, port: int) -> str | None:
    """Why the server could not listen on ``port``, found before anything starts."""
    with socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET) as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # as the server does
        try:
            s.bind((host, port))
        except OSError as e:
            return f"cannot serve on {host} port {port}: {e.strerror or e} (--http-port chooses another)"
    return None


def address(host: str, port: int, token: str = "") -> str:
    """The address of the page; one listening on every address is given by
    this machine's loopback address."""
    if is_wildcard(host):
        host = "127.0.0.1"
    shown = f"[{host}]" if ":" in host else host
    query = "?" + urllib.parse.urlencode({"token": token}) if token else ""
    return f"http://{shown}:{port}/{query}"


def beyond_this_machine(host: str, port: int, token: str) -> str:
    """The warning a server reachable from the network starts with."""
    if is_wildcard(host):
        where = f"every address of this machine (as http://{socket.gethostname()}:{port}/)"
    else:
        where = address(host, port)
    return (
        f"vyre ui: warning: serving beyond this machine on {where}: whoever reaches it "
        f"with the token can drive the device, over a connection that is not encrypted "
        f"(an SSH tunnel to 127.0.0.1 is safer)" + ("" if token else "; no token is asked")
    )


@contextlib.contextmanager
def stop_signals() -> Iterator[list[int]]:
    """The signals of STOP_SIGNALS that came, the first first, while the
    server ran; each asks it to shut down as Ctrl-C does. One ignored when
    the command started (nohup) stays ignored."""
    came: list[int] = []

    def handler(signum: int, frame: FrameType | None) -> None:
        came.append(signum)
        with contextlib.suppress(AttributeError):  # no server yet: started() looks
            app.shutdown()

    previous = {}
    try:
        for signum in STOP_SIGNALS:
            if signal.getsignal(signum) == signal.SIG_DFL:
                previous[signum] = signal.signal(signum, handler)
        yield came
    finally:
        for signum, old in previous.items():
            signal.signal(signum, old)


def serve(
    sessions: Sequence[DeviceSession],
    *,
    host: str = "127.0.0.1",
    port: int = 8080,
    open_browser: bool = True,
    token: str = "",
) -> Ended:
    """Runs until interrupted or stopped by a signal of STOP_SIGNALS.
    Every request must carry ``token`` unless it is empty."""
    if port == 0:
        port = free_port(host)
    elif (why := taken(host, port)) is not None:
        return Ended(failure=why)
    url = address(host, port, token)
    failure: list[str] = []
    for session in sessions:
        os.makedirs(session.recorder.folder, exist_ok=True)
        app.add_media_files(session.files_url, session.recorder.folder)

    async def started() -> None:
        if came:
            app.shutdown()
            return
        for session in sessions:
            try:
                await session.start()
            except (OSError, LookupError, ValueError, RuntimeError) as e:
                failure.append(f"cannot open the device on {session.label}: {e}")
                app.shutdown()
                return
        which = ("the device on {} is" if len(sessions) == 1 else "the devices on {} are").format(
            ", ".join(s.label for s in sessions)
        )
        if not is_loopback(host):
            print(beyond_this_machine(host, port, token), file=sys.stderr, flush=True)
        print(f"vyre ui: {which} served on {url} (Ctrl-C stops)", flush=True)
        if open_browser:
            webbrowser.open(url)

    async def stopped() -> None:
        for session in sessions:
            await session.close()

    app.on_startup(started)
    app.on_shutdown(stopped)

    waiting = WaitingPages()

    @ui.page("/")
    def index() -> None:
        waiting.add(ui.context.client)
        page.build(sessions)

    # the guard wraps everything the server answers (the last added is the outermost)
    app.add_middleware(UploadLimit)
    app.add_middleware(AccessGuard, host=host, port=port, token=token)
    core.sio.eio.cors_allowed_origins = None  # the socket's engine too: its own origin only

    with stop_signals() as came:
        ui.run(
            host=host,
            port=port,
            title="VYRE control center",
            show=False,
            reload=False,
            show_welcome_message=False,
            dark=False,
            reconnect_timeout=10.0,
            # what a page missed while its connection dropped is sent again
            # from here; the plots' redraws make it large, and the next
            # redraw carries everything anyway
            message_history_length=100,
            uvicorn_logging_level="warning",
        )
    with contextlib.suppress(OSError):  # the terminal may be gone (SIGHUP)
        sys.stdout.flush()
    return Ended(failure=failure[0] if failure else None, signal=came[0] if came else None)
