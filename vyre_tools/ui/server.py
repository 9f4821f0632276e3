"""Serving the pages: NiceGUI's server on the asyncio loop that also runs
the device session, started and ended with it."""

import os
import socket
import sys
import webbrowser
from collections.abc import Sequence

from nicegui import app, ui

from . import page
from .session import DeviceSession


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


def address(host: str, port: int) -> str:
    shown = f"[{host}]" if ":" in host else host
    return f"http://{shown}:{port}/"


def serve(sessions: Sequence[DeviceSession], *, host: str = "127.0.0.1", port: int = 8080,
          open_browser: bool = True) -> str | None:
    """Runs until interrupted; the reason it could not start, else None."""
    if port == 0:
        port = free_port(host)
    elif (why := taken(host, port)) is not None:
        return why
    url = address(host, port)
    failure: list[str] = []
    for session in sessions:
        os.makedirs(session.recorder.folder, exist_ok=True)
        app.add_media_files(session.files_url, session.recorder.folder)

    async def started() -> None:
        for session in sessions:
            try:
                await session.start()
            except (OSError, LookupError, ValueError, RuntimeError) as e:
                failure.append(f"cannot open the device on {session.label}: {e}")
                app.shutdown()
                return
        which = ("the device on {} is" if len(sessions) == 1 else "the devices on {} are").format(
            ", ".join(s.label for s in sessions))
        print(f"vyre ui: {which} served on {url} (Ctrl-C stops)", flush=True)
        if open_browser:
            webbrowser.open(url)

    async def stopped() -> None:
        for session in sessions:
            await session.close()

    app.on_startup(started)
    app.on_shutdown(stopped)

    @ui.page("/")
    def index() -> None:
        page.build(sessions)

    ui.run(host=host, port=port, title="VYRE control center", show=False, reload=False,
           show_welcome_message=False, dark=False, reconnect_timeout=10.0,
           # what a page missed while its connection dropped is sent again
           # from here; the plots' redraws make it large, and the next
           # redraw carries everything anyway
           message_history_length=100,
           uvicorn_logging_level="warning")
    sys.stdout.flush()
    return failure[0] if failure else None
