"""Files uploaded from the page, capped before they are read: the browser's
widget refuses a larger file with a message, a request that declares more is
answered 413 before its body is read, and the callbacks check the size again
before they take the file in."""

import os
import re
import weakref

from nicegui import events, ui
from nicegui.client import Client
from nicegui.element import Element

from .access import ASGIApp, Receive, Scope, Send

KIB = 1024
MIB = 1024 * KIB
BACKUP_BYTES = 64 * KIB  # a calibration backup is a few kB
MOCK_LOG_BYTES = 256 * MIB  # hours of records; a longer log is copied over and typed as a path
ENVELOPE_BYTES = 16 * KIB  # the multipart boundary and part headers around the file
ANY_UPLOAD = (MOCK_LOG_BYTES, "a file")  # a widget not capped here: the largest cap
UPLOAD_PATH = re.compile(r"/_nicegui/client/([^/]+)/upload/(\d+)")

# each capped widget's limit and what it takes, for the requests made to it
_limits: "weakref.WeakKeyDictionary[Element, tuple[int, str]]" = weakref.WeakKeyDictionary()


def size_text(n: int) -> str:
    return f"{n // MIB} MB" if n >= MIB else f"{n // KIB} kB"


def too_large(what: str, limit: int) -> str:
    return f"{what} may be at most {size_text(limit)}"


def capped(upload: ui.upload, limit: int, what: str) -> ui.upload:
    """``upload`` taking files of at most ``limit`` bytes; ``what`` names
    them in the message a larger one gets."""
    _limits[upload] = (limit, what)
    upload.props["max-file-size"] = limit
    upload.on_rejected(lambda: ui.notify(f"not uploaded: {too_large(what, limit)}", type="negative"))
    return upload


def file_name(name: str, default: str) -> str:
    """The name an uploaded file is saved under in its folder: its last part
    (``default`` if it has none); ValueError for a name of no file."""
    base = name.replace("\\", "/").rsplit("/", 1)[-1]
    if base in (".", "..") or "\0" in base:
        raise ValueError(f"{name!r} is not a file name to save under")
    return base or default


def check_size(event: events.UploadEventArguments, limit: int, what: str) -> None:
    """ValueError, saying the limit, for a file over it: nothing is read."""
    if event.file.size() > limit:
        raise ValueError(too_large(what, limit))


async def save(event: events.UploadEventArguments, folder: str, limit: int, what: str, default: str) -> str:
    """Saves the uploaded file into ``folder``; its path. ValueError for a
    file over ``limit`` or a name of no file, OSError for a failed write."""
    check_size(event, limit, what)
    target = os.path.join(folder, file_name(event.file.name, default))
    os.makedirs(folder, exist_ok=True)
    await event.file.save(target)
    return target


async def text(event: events.UploadEventArguments, limit: int, what: str) -> str:
    """The uploaded file as text; ValueError for one over ``limit`` or not UTF-8."""
    check_size(event, limit, what)
    return await event.file.text()


class UploadLimit:
    """ASGI middleware: a post to an upload over its widget's limit (any
    upload's: the largest) is refused before its body is read."""

    def __init__(self, app: ASGIApp) -> None:
        self.app = app

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if (
            scope["type"] != "http"
            or scope.get("method") != "POST"
            or (found := UPLOAD_PATH.fullmatch(scope["path"])) is None
        ):
            await self.app(scope, receive, send)
            return
        client = Client.instances.get(found.group(1))
        element = client.elements.get(int(found.group(2))) if client else None
        limit, what = _limits.get(element, ANY_UPLOAD) if element is not None else ANY_UPLOAD
        length = dict(scope.get("headers", ())).get(b"content-length")
        if length is None or not length.isdigit():
            await answer(send, 411, "an upload must state its length (Content-Length)")
        elif int(length) > limit + ENVELOPE_BYTES:
            await answer(send, 413, f"not uploaded: {too_large(what, limit)}")
        else:
            await self.app(scope, receive, send)


async def answer(send: Send, status: int, text: str) -> None:
    body = f"vyre ui: {text}\n".encode()
    await send(
        {
            "type": "http.response.start",
            "status": status,
            "headers": [
                (b"content-type", b"text/plain; charset=utf-8"),
                (b"content-length", str(len(body)).encode()),
                (b"connection", b"close"),
            ],
        }
    )
    await send({"type": "http.response.body", "body": body})
