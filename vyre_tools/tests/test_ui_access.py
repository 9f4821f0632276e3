"""Who may reach vyre ui, asked from outside its process as a foreign site,
another machine or a script would: host names, origins, the token, capped
uploads and pages that never connect. One server on loopback and one on every
address, each with its simulated device."""

import contextlib
import http.client
import json
import re
import time
import urllib.parse

import pytest

from .cli_support import assert_one_line_error, run_vyre, serving_ui

pytest.importorskip("nicegui", reason="the ui extra (NiceGUI) is not installed")

from vyre_tools.ui import uploads  # noqa: E402  (needs NiceGUI)
from vyre_tools.ui.waiting_pages import MAX_WAITING  # noqa: E402

pytestmark = pytest.mark.xdist_group("ui-access")

SOCKET = "/_nicegui_ws/socket.io/?EIO=4&transport="
WAIT_SECONDS = 30


class Served:
    def __init__(self, proc, url, warning):
        self.proc, self.url, self.warning = proc, url, warning
        parts = urllib.parse.urlsplit(url)
        self.port = parts.port
        self.token = urllib.parse.parse_qs(parts.query)["token"][0]
        self.auth = {"Authorization": f"token {self.token}"}

    def request(self, method, path, headers=None, body=None, host=None):
        """The status, headers and text of one request to 127.0.0.1."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=WAIT_SECONDS)
        try:
            conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
            conn.putheader("Host", f"127.0.0.1:{self.port}" if host is None else host)
            for key, value in (headers or {}).items():
                conn.putheader(key, value)
            if body is not None and not {"Content-Length", "Transfer-Encoding"} & set(headers or {}):
                conn.putheader("Content-Length", str(len(body)))
            conn.endheaders(body)
            reply = conn.getresponse()
            return reply.status, reply.headers, reply.read().decode(errors="replace")
        finally:
            conn.close()

    def page(self):
        status, _, html = self.request("GET", "/", self.auth)
        assert status == 200, html
        return html


@contextlib.contextmanager
def serving(data_dir, *args):
    """``vyre ui --sim ARGS``; what it printed: the address, and the line on
    stderr before it, if any."""
    with serving_ui("--sim", "--data-dir", data_dir, *args) as proc:
        yield Served(proc, proc.url, proc.warning)


@pytest.fixture(scope="module")
def data_dir(tmp_path_factory):
    folder = tmp_path_factory.mktemp("ui-access")
    (folder / "recordings").mkdir()
    (folder / "recordings" / "kept.csv").write_text("timestamp_seconds\n1.0\n")
    return folder


@pytest.fixture(scope="module")
def local(data_dir):
    with serving(data_dir) as served:
        yield served


@pytest.fixture(scope="module")
def network(tmp_path_factory):
    with serving(
        tmp_path_factory.mktemp("ui-network"), "--host", "0.0.0.0", "--token", "bench-7 secret"
    ) as served:
        yield served


@pytest.mark.parametrize(
    "host, allowed",
    [
        ("127.0.0.1:{port}", True),
        ("localhost:{port}", True),
        ("[::1]:{port}", True),
        ("attacker.example:{port}", False),
        ("attacker.example", False),
        ("127.0.0.1.attacker.example:{port}", False),
        ("", False),
    ],
)
@pytest.mark.parametrize("path", ["/", "/recordings/0/kept.csv"])
def test_only_this_machines_names_are_served(local, host, allowed, path):
    status, _, text = local.request("GET", path, local.auth, host=host.format(port=local.port))
    assert status == (200 if allowed else 403), text
    if not allowed:
        assert "host name" in text


def polling_open(served, origin):
    headers = dict(served.auth, **({"Origin": origin} if origin else {}))
    return served.request("GET", SOCKET + "polling", headers)


@pytest.mark.parametrize(
    "origin, allowed",
    [
        (None, True),
        ("http://127.0.0.1:{port}", True),
        ("http://evil.example", False),
        ("http://evil.example:{port}", False),
        ("http://127.0.0.1:1", False),
        ("null", False),
        ("http://[127.0.0.1", False),
    ],
)
def test_sockets_are_refused_to_other_sites(local, origin, allowed):
    origin = origin and origin.format(port=local.port)
    status, headers, text = polling_open(local, origin)
    assert (status == 200 and text.startswith("0{")) == allowed, (status, text)
    assert headers.get("Access-Control-Allow-Origin") in (None, f"http://127.0.0.1:{local.port}")
    from websockets.exceptions import InvalidStatus
    from websockets.sync.client import connect

    try:
        with connect(
            f"ws://127.0.0.1:{local.port}{SOCKET}websocket",
            origin=origin,
            additional_headers=local.auth,
            open_timeout=WAIT_SECONDS,
        ) as ws:
            opened = ws.recv(timeout=WAIT_SECONDS).startswith("0{")
    except InvalidStatus as e:
        assert e.response.status_code == 403
        opened = False
    assert opened == allowed


def test_a_post_from_another_site_is_refused(local):
    url = re.search(r'"url":"([^"]+/upload/\d+)"', local.page()).group(1)
    status, _, text = local.request("POST", url, dict(local.auth, Origin="http://evil.example"), body=b"")
    assert status == 403 and "another site" in text


def test_beyond_this_machine_it_warns_and_asks_for_the_token(network):
    assert "warning: serving beyond this machine" in network.warning
    assert network.url == f"http://127.0.0.1:{network.port}/?token=bench-7+secret"
    refused = [
        network.request("GET", path, headers)
        for path in ("/", SOCKET + "polling")
        for headers in (
            {},
            {"Authorization": "token wrong"},
            {"Cookie": f"vyre-ui-token-{network.port}=wrong"},
        )
    ]
    assert {status for status, _, _ in refused} == {403}
    assert all("?token=" in text for _, _, text in refused)
    # the printed address works, and leaves the token for the page's own requests
    status, headers, _ = network.request(
        "GET", network.url[network.url.index("/", 7) :], host="stand-3.example:8080"
    )
    assert status == 200
    cookie = headers["Set-Cookie"]
    assert "HttpOnly" in cookie and "SameSite=Strict" in cookie and "Path=/" in cookie
    for headers in ({"Cookie": cookie.split(";")[0]}, network.auth):
        assert network.request("GET", "/", headers)[0] == 200
        assert polling_open(network, None)[2].startswith("0{")


def test_an_empty_token_is_refused_beyond_this_machine():
    proc = run_vyre("ui", "--sim", "--no-browser", "--host", "0.0.0.0", "--token", "")
    assert_one_line_error(proc, 2, "empty --token")


def upload_url(html, label):
    return re.search(r'"label":"%s"[^}]*"url":"([^"]+)"' % re.escape(label), html).group(1)


@pytest.mark.parametrize(
    "label, limit, what",
    [
        ("Load backup (.json, at most 64 kB)", uploads.BACKUP_BYTES, "a calibration backup"),
        ("or upload one (at most 256 MB)", uploads.MOCK_LOG_BYTES, "a mock log"),
    ],
)
def test_an_upload_over_its_cap_is_refused_before_it_is_read(local, label, limit, what):
    url = upload_url(local.page(), label)
    # the body is never sent: an answer shows that none of it was waited for
    status, _, text = local.request(
        "POST",
        url,
        dict(
            local.auth,
            **{"Content-Length": str(2 * limit), "Content-Type": "multipart/form-data; boundary=x"},
        ),
    )
    assert status == 413, text
    assert f"{what} may be at most {uploads.size_text(limit)}" in text
    status, _, text = local.request(
        "POST", url, dict(local.auth, **{"Transfer-Encoding": "chunked"}), body=b"0\r\n\r\n"
    )
    assert status == 411, text


class PageSocket:
    """A page's socket.io connection over long polling, as its browser opens it."""

    def __init__(self, served, client_id):
        self.served = served
        query = urllib.parse.urlencode(
            {
                "client_id": client_id,
                "tab_id": "t",
                "document_id": "d",
                "implicit_handshake": "true",
                "next_message_id": 0,
            }
        )
        status, _, text = served.request("GET", f"{SOCKET}polling&{query}", served.auth)
        assert status == 200, text
        self.path = f"{SOCKET}polling&sid={json.loads(text[1:])['sid']}"

    def send(self, packet):
        status, _, text = self.served.request("POST", self.path, self.served.auth, body=packet.encode())
        assert status == 200, text

    def receive(self):
        status, _, text = self.served.request("GET", self.path, self.served.auth)
        assert status == 200, text
        packets = text.split("\x1e")
        if "2" in packets:
            self.send("3")  # the server's ping
        return packets

    def connect(self):
        """Whether the server took the page's socket."""
        self.send("40")
        while True:
            for packet in self.receive():
                if packet.startswith(("40", "44")):
                    return packet.startswith("40")

    def wait_for(self, text):
        deadline = time.monotonic() + WAIT_SECONDS
        while time.monotonic() < deadline:
            if any(text in packet for packet in self.receive()):
                return
        raise AssertionError(f"the page was never told {text!r}")


def client_id(html):
    return re.search(r"/_nicegui/client/([^/]+)/upload/", html).group(1)


@pytest.mark.parametrize(
    "name, told", [("..", "not uploaded: '..' is not a file name"), ("short.log", "short.log")]
)
def test_an_uploaded_log_is_saved_in_its_folder_or_refused_with_a_message(local, data_dir, name, told):
    html = local.page()
    socket = PageSocket(local, client_id(html))
    assert socket.connect()
    body = (
        f'--x\r\nContent-Disposition: form-data; name="file"; filename="{name}"\r\n'
        f"Content-Type: text/plain\r\n\r\nnot a log\r\n--x--\r\n"
    ).encode()
    status, _, text = local.request(
        "POST",
        upload_url(html, "or upload one (at most 256 MB)"),
        dict(local.auth, **{"Content-Type": "multipart/form-data; boundary=x"}),
        body=body,
    )
    assert status == 200, text
    socket.wait_for(told)
    if name != "..":
        assert (data_dir / "logs" / name).read_text() == "not a log"


def test_pages_that_never_connect_are_let_go_beyond_a_few(local):
    ids = [client_id(local.page()) for _ in range(MAX_WAITING + 2)]
    assert not PageSocket(local, ids[0]).connect()
    assert PageSocket(local, ids[-1]).connect()
