"""Pages served whose browser has not connected yet. Each keeps its whole
tree of elements on the server until its socket comes, and the framework
lets one go only after a minute, so a script fetching the page again and
again would pile them up. A page connects within a second or two; beyond a
few waiting, the oldest is let go (a browser that still shows it reloads it)."""

from collections import OrderedDict

from nicegui.client import Client

MAX_WAITING = 16


class WaitingPages:
    def __init__(self, cap: int = MAX_WAITING) -> None:
        self.cap = cap
        self.clients: OrderedDict[str, Client] = OrderedDict()

    def add(self, client: Client) -> None:
        """Follows ``client`` until it connects or goes; lets the oldest go
        beyond the cap."""
        self.clients[client.id] = client
        client.on_connect(lambda: self.clients.pop(client.id, None))
        client.on_delete(lambda: self.clients.pop(client.id, None))
        while len(self.clients) > self.cap:
            _, oldest = self.clients.popitem(last=False)
            if not oldest.is_deleted:
                oldest.delete()
