"""The cable of a simulated device: the pseudo-terminal a client opens, its
stable link, and pulling the cable (a hang-up for good, or a replug that
brings the device back on a new pty behind the same link)."""

import os
import termios
import time
import tty

from ..stable_links import StableLink
from .errors import SimulatorError
from .portclaim import ClaimWatch
from .state import DeviceState


class Cable(DeviceState):
    """The pty and replug handling of :class:`vyre_tools.sim.Simulator`,
    mixed into it; runs on the device thread."""

    def hang_up(self) -> None:
        """Close the master side, as pulling the cable does.  The client sees
        a hang-up (POLLHUP, then end of file or EIO) on its port; the
        simulator sends nothing more but still answers status requests.
        The stable link goes too, for good (see ``replug`` for a return)."""
        self._request(self._do_hang_up)

    def replug(self, delay: float | None = None) -> None:
        """Pull the cable and plug it back in ``delay`` seconds later
        (default: the ``replug_delay`` option).  The client sees a hang-up;
        then the device appears on a new pseudo-terminal, the stable link
        (``link_path``) pointing to it, with the same identity.  The device
        stays powered: its clock runs on, and the telemetry it would have sent
        meanwhile is missing from its timestamps.  ``port_name`` follows
        the new port (a SimulatorProcess's keeps the first: use
        ``link_path``)."""
        delay = self.options["replug_delay"] if delay is None else float(delay)
        if not delay >= 0:
            raise ValueError("replug delay must not be negative")
        self._request(lambda: self._unplug(time.monotonic(), delay))

    @property
    def link_path(self) -> str | None:
        """The stable link to the current port (absent while unplugged)."""
        return self._link.path

    def _open_pty(self) -> None:
        self._master, self._slave = os.openpty()
        tty.setraw(self._master)
        tty.setraw(self._slave)
        os.set_blocking(self._master, False)
        self.port_name = os.ttyname(self._slave)

    def _close_fds(self) -> None:
        link: StableLink | None = getattr(self, "_link", None)  # none before it was made
        if link is not None:
            link.remove()
        for name in ("_master", "_slave", "_wake_r", "_wake_w"):
            fd = getattr(self, name, -1)
            if fd >= 0:
                try:
                    os.close(fd)
                except OSError:
                    pass
                setattr(self, name, -1)

    def _do_hang_up(self) -> None:
        if self._hung_up:
            return
        self._pull_cable()
        self._unplugged_until = self._replug_due = None
        self._hung_up = True

    def _pull_cable(self) -> None:
        # closing the master hangs the slave up for every holder; then our
        # own slave goes too, as the device node vanishes on an unplug
        self._link.remove()
        for name in ("_master", "_slave"):
            fd: int = getattr(self, name)
            if fd >= 0:
                os.close(fd)
                setattr(self, name, -1)
        self._claims.enabled = False
        self._out.clear()
        self._delayed.clear()
        self._delivery.clear()
        self._intake.reader.reset()  # half a command dies with the link

    def _unplug(self, now: float, delay: float) -> None:
        if self._hung_up:
            raise SimulatorError("the device was hung up for good")
        if self._unplugged_until is None:
            self._pull_cable()
        self._unplugged_until = now + delay

    def _plug_in(self, now: float) -> None:
        self._unplugged_until = None
        self._open_pty()
        cleared = self._claims.cleared
        self._claims = ClaimWatch(self._slave)
        self._claims.cleared = cleared
        self._link.point_to(self.port_name)
        # powered all along: the clock runs on, sending starts over from now
        self._telemetry.restart(now)
        self._replugs += 1
        self._replugged_at = now

    def _replug_when_due(self, now: float) -> None:
        if self._replug_due is not None and now >= self._replug_due:
            self._replug_due = None
            self._unplug(now, self.options["replug_delay"])
        if self._unplugged_until is not None and now >= self._unplugged_until:
            self._plug_in(now)

    def _do_discard_output(self) -> None:
        if self._hung_up or self._slave < 0:
            return
        termios.tcflush(self._slave, termios.TCIFLUSH)
        self._out.clear()
