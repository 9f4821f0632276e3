"""Stable names for simulated devices, as /dev/serial/by-id gives real ones.

A pseudo-terminal gets a new /dev/pts number every time it is opened, and
no serial-port enumeration lists it.  Each simulator therefore keeps a
symbolic link to its current port in one directory: removed while the device
is unplugged, back (to the new port) when it reappears.  The directory is
``$VYRE_SIM_LINKS``, else ``vyre-sim`` in the user's runtime directory, else
``/tmp/vyre-sim-UID``.

A probe opens whatever a link leads to, switches it to raw mode and writes a
command frame to it, so links count only in a directory that belongs to the
user and that nobody else can write to: anyone can create ``/tmp/vyre-sim-UID``
first and plant links to other terminals there.  Simulators refuse such a
directory; ``live_links`` ignores it.

Link names hold the owner's process id, so that a link left behind by a
killed simulator is recognised as dead: its pty number may since belong to
someone's terminal, which a probe must never write to.
"""

import glob
import itertools
import os
import re
import stat

PREFIX = "vyre-sim_"
_NAME = re.compile(PREFIX + r"(?P<device_id>[0-9A-F]{16})_(?P<pid>\d+)\.(?P<seq>\d+)$")
_seq = itertools.count(1)


def default_dir() -> str:
    env = os.environ.get("VYRE_SIM_LINKS")
    if env:
        return env
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime and os.path.isdir(runtime):
        return os.path.join(runtime, "vyre-sim")
    return f"/tmp/vyre-sim-{os.geteuid()}"


def unsafe_reason(directory: str) -> str | None:
    """Why ``directory`` cannot hold links (it is not a directory of this
    user's that only this user can write to), or None when it can.  The
    directory itself is looked at, never what a link in its place leads to."""
    try:
        st = os.lstat(directory)
    except OSError as e:
        return f"cannot look at it: {e.strerror}"
    if not stat.S_ISDIR(st.st_mode):
        return "it is not a directory"
    if st.st_uid != os.geteuid():
        return f"it belongs to uid {st.st_uid}, not to this user (uid {os.geteuid()})"
    if st.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        return f"others can write to it (mode {stat.S_IMODE(st.st_mode):04o})"
    return None


def ensure_dir(directory: str) -> None:
    """Create ``directory`` (mode 0700) unless it is there; PermissionError
    when it is not one this user alone controls."""
    os.makedirs(directory, mode=0o700, exist_ok=True)
    reason = unsafe_reason(directory)
    if reason is not None:
        raise PermissionError(f"refusing {directory} for the simulators' links: {reason}")


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


def _ours(path: str) -> bool:
    # a link this user made, to a terminal
    try:
        if os.lstat(path).st_uid != os.geteuid():
            return False
        return stat.S_ISCHR(os.stat(path).st_mode)
    except OSError:
        return False  # gone, or leads nowhere


def live_links(directory: str | None = None) -> list[str]:
    """Paths of the links of running simulators whose device is plugged in;
    none from a directory others control (see ``unsafe_reason``)."""
    directory = directory or default_dir()
    if unsafe_reason(directory) is not None:
        return []
    found: list[str] = []
    for path in sorted(glob.glob(os.path.join(glob.escape(directory), PREFIX + "*"))):
        m = _NAME.match(os.path.basename(path))
        if m and _alive(int(m["pid"])) and _ours(path):
            found.append(path)
    return found


class StableLink:
    """The link of one simulator: ``point_to`` a port, ``remove`` on unplug."""

    def __init__(self, directory: str | None, device_id: int) -> None:
        directory = directory or default_dir()
        ensure_dir(directory)
        self._prune(directory)
        self.path = os.path.join(directory, f"{PREFIX}{device_id:016X}_{os.getpid()}.{next(_seq)}")

    @staticmethod
    def _prune(directory: str) -> None:
        # links of simulators that were killed before they could clean up
        for path in glob.glob(os.path.join(glob.escape(directory), PREFIX + "*")):
            m = _NAME.match(os.path.basename(path))
            if m and not _alive(int(m["pid"])):
                try:
                    os.unlink(path)
                except OSError:
                    pass

    def point_to(self, port: str) -> None:
        # replaced in one step: a reader sees the old target or the new one
        tmp = f"{self.path}.new"
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        os.symlink(port, tmp)
        os.replace(tmp, self.path)

    def remove(self) -> None:
        try:
            os.unlink(self.path)
        except FileNotFoundError:
            pass
