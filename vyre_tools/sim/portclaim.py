"""Releasing the exclusive claim of a client that died holding the port.

A client claims the port with TIOCEXCL and then takes a flock on it; closing
its port clears the claim.  A killed client never does, and because the
simulator holds a slave descriptor of its own the pty is never hung up, so
the flag would outlive the client and refuse every unprivileged open until
the simulator restarts.  The client's lock dies with it, though: a claim
with no lock on the port, seen on two checks in a row (a client between its
TIOCEXCL and its flock is not robbed), is cleared.
"""

import fcntl
import os
import struct
import termios

TIOCGEXCL = getattr(termios, "TIOCGEXCL", 0x80045440)  # _IOR('T', 0x40, int)
CHECK_INTERVAL = 0.15
LOCKS = "/proc/locks"


class ClaimWatch:
    def __init__(self, slave_fd: int) -> None:
        self._fd = slave_fd
        st = os.fstat(slave_fd)
        # how /proc/locks names the inode: major:minor in hex, inode number
        self._inode = f"{os.major(st.st_dev):02x}:{os.minor(st.st_dev):02x}:{st.st_ino}"
        self._unlocked_checks = 0
        self.next_check = 0.0
        self.enabled = True
        self.cleared = 0

    def check(self, now: float) -> None:
        """Run a check if one is due; clears the claim on the second check in
        a row that finds it with no lock behind it."""
        if not self.enabled or now < self.next_check:
            return
        self.next_check = now + CHECK_INTERVAL
        try:
            claimed = struct.unpack("i", fcntl.ioctl(self._fd, TIOCGEXCL, b"\0" * 4))[0]
        except OSError:
            self.enabled = False  # a kernel that cannot tell: leave claims alone
            return
        if not claimed or self._locked():
            self._unlocked_checks = 0
            return
        self._unlocked_checks += 1
        if self._unlocked_checks >= 2:
            fcntl.ioctl(self._fd, termios.TIOCNXCL)
            self._unlocked_checks = 0
            self.cleared += 1

    def _locked(self) -> bool:
        # /proc/locks lists only the locks of processes this one can see;
        # unreadable, it cannot show a claim is dead
        try:
            with open(LOCKS) as f:
                return any(self._inode in line.split() for line in f)
        except OSError:
            return True
