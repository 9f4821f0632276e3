"""A serial port whose device never sends anything: a pseudo-terminal nobody
writes to, for waits that run to their time-out."""

import os
import tty


class SilentPort:
    def __init__(self):
        self.master, self._slave = os.openpty()
        tty.setraw(self.master)
        self.port_name = os.ttyname(self._slave)

    def close(self):
        os.close(self.master)
        os.close(self._slave)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
