"""Who may reach the control center: one guard in front of the whole server
(pages, recordings, uploads and the socket.io endpoint alike), as local
notebook servers defend themselves, so that nothing is served before it.

- Host: only the names the server is known by (loopback names, the address it
  listens on, the name ``--host`` gave and, beyond loopback, the machine's
  own name). A site whose name was made to resolve
  to this machine (DNS rebinding) is refused. A server listening on every
  address is reached by names it cannot know: there the token is the guard.
- Origin: a socket, a polling request or a post from a page of another site is
  refused, so the server never names a foreign origin back.
- Token: a secret of the run, given as ``?token=`` in the address printed at
  start (which then leaves it in a cookie for the page's own requests) or, by
  scripts, in an ``Authorization: token SECRET`` header.
"""

import hmac
import ipaddress
import secrets
import socket
import urllib.parse
from collections.abc import Awaitable, Callable, MutableMapping
from typing import Any

Scope = MutableMapping[str, Any]
Message = MutableMapping[str, Any]
Receive = Callable[[], Awaitable[Message]]
Send = Callable[[Message], Awaitable[None]]
ASGIApp = Callable[[Scope, Receive, Send], Awaitable[None]]

LOOPBACK_NAMES = frozenset({"localhost", "localhost.localdomain", "ip6-localhost", "ip6-loopback"})
WILDCARDS = frozenset({"", "0.0.0.0", "::"})
# what a browser may send from another site without asking first; the
# server changes nothing on a plain GET
UNSAFE_METHODS = frozenset({"POST", "PUT", "PATCH", "DELETE"})
SOCKET_PATH = "/_nicegui_ws/"

NO_TOKEN = (
    "this control center needs the token of its run: open the address "
    "'vyre ui' printed when it started (it ends in ?token=...)"
)


def new_token() -> str:
    """A secret for one run of the server."""
    return secrets.token_urlsafe(24)


def cookie_name(port: int) -> str:
    # cookies are not told apart by port: two servers on one machine keep theirs apart by name
    return f"vyre-ui-token-{port}"


def is_loopback(host: str) -> bool:
    """Whether ``host`` (a name or an address) means this machine only."""
    name = host.strip("[]").rstrip(".").lower()
    if name in LOOPBACK_NAMES or name.endswith(".localhost"):
        return True
    try:
        return ipaddress.ip_address(name).is_loopback
    except ValueError:
        return False


def is_wildcard(host: str) -> bool:
    """Whether ``host`` listens on every address of the machine."""
    return host.strip("[]") in WILDCARDS


def host_name(netloc: str) -> str | None:
    """The name in a Host header or an origin's authority, without its port."""
    netloc = netloc.strip().lower()
    if netloc.startswith("["):
        end = netloc.find("]")
        return netloc[1:end] if end > 0 else None
    name = netloc.rsplit(":", 1)[0] if netloc.count(":") == 1 else netloc
    return name.rstrip(".") or None


class AccessGuard:
    """ASGI middleware: refuses what comes from a foreign name, a foreign
    origin or without the token; everything else passes untouched."""

    def __init__(self, app: ASGIApp, *, host: str, port: int, token: str) -> None:
        self.app = app
        self.any_host = is_wildcard(host)
        # a machine served to the network is also reached by its own name
        self.hosts = {
            name.strip("[]").rstrip(".").lower()
            for name in (host, *(() if is_loopback(host) else (socket.gethostname(),)))
        }
        self.token = token.encode()
        self.cookie = cookie_name(port)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] not in ("http", "websocket"):
            await self.app(scope, receive, send)
            return
        headers = {k.decode("latin-1").lower(): v.decode("latin-1") for k, v in scope.get("headers", ())}
        why = self.refusal(scope, headers)
        if why is not None:
            await refuse(scope, receive, send, why)
            return
        if self.token and scope["type"] == "http" and self.matches(query_token(scope)):
            # the address printed at start: the page's own requests carry the cookie from here on
            await self.app(scope, receive, self.leave_cookie(send))
            return
        await self.app(scope, receive, send)

    def refusal(self, scope: Scope, headers: dict[str, str]) -> str | None:
        """Why the request is refused, or None."""
        name = host_name(headers.get("host", ""))
        if name is None or not (self.any_host or is_loopback(name) or name in self.hosts):
            return "this control center is not served under that host name"
        if self.checks_origin(scope):
            origin = headers.get("origin")
            if origin is not None and not self.same_origin(origin, headers["host"]):
                return "requests from pages of another site are refused"
        if self.token and not self.authorized(scope, headers):
            return NO_TOKEN
        return None

    @staticmethod
    def checks_origin(scope: Scope) -> bool:
        return (
            scope["type"] == "websocket"
            or scope["path"].startswith(SOCKET_PATH)
            or scope.get("method", "GET") in UNSAFE_METHODS
        )

    @staticmethod
    def same_origin(origin: str, host: str) -> bool:
        try:
            parts = urllib.parse.urlsplit(origin)
        except ValueError:  # not even a URL
            return False
        return parts.scheme in ("http", "https") and parts.netloc.lower() == host.strip().lower()

    def authorized(self, scope: Scope, headers: dict[str, str]) -> bool:
        scheme, _, credential = headers.get("authorization", "").partition(" ")
        if scheme.lower() in ("token", "bearer") and self.matches(credential.strip()):
            return True
        for item in headers.get("cookie", "").split(";"):
            key, _, value = item.strip().partition("=")
            if key == self.cookie and self.matches(urllib.parse.unquote(value)):
                return True
        return self.matches(query_token(scope))

    def matches(self, given: str) -> bool:
        return bool(given) and hmac.compare_digest(given.encode(), self.token)

    def leave_cookie(self, send: Send) -> Send:
        # quoted: a token of --token may hold what a cookie cannot
        value = urllib.parse.quote(self.token.decode(), safe="")
        cookie = f"{self.cookie}={value}; Path=/; HttpOnly; SameSite=Strict".encode()

        async def sending(message: Message) -> None:
            if message["type"] == "http.response.start":
                message["headers"] = [*message.get("headers", ()), (b"set-cookie", cookie)]
            await send(message)

        return sending


def query_token(scope: Scope) -> str:
    query: bytes = scope.get("query_string", b"")
    return urllib.parse.parse_qs(query.decode("latin-1")).get("token", [""])[-1]


async def refuse(scope: Scope, receive: Receive, send: Send, why: str) -> None:
    if scope["type"] == "websocket":
        # closing before accepting: the server answers the handshake with 403
        await send({"type": "websocket.close", "code": 1008})
        return
    body = f"vyre ui: {why}\n".encode()
    await send(
        {
            "type": "http.response.start",
            "status": 403,
            "headers": [
                (b"content-type", b"text/plain; charset=utf-8"),
                (b"content-length", str(len(body)).encode()),
                (b"cache-control", b"no-store"),
                (b"connection", b"close"),
            ],
        }
    )  # a body it did not read ends the connection
    await send({"type": "http.response.body", "body": body})
