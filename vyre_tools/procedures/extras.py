"""How to install an optional extra of vyre-client where it is missing.

The package is on no index, so ``pip install 'vyre-client[ui]'`` finds
nothing: the hint names the extra's own packages instead (which the package
index has), as the installed distribution lists them, or, run from a
checkout that was never installed, as its pyproject.toml does. The command
installs into the interpreter that runs, whichever environment that is."""

import os
import re
import shlex
import sys
from importlib import metadata

DISTRIBUTION = "vyre-client"
_EXTRA_MARKER = re.compile(r"""extra\s*==\s*["']([^"']+)["']""")


def requirements(extra: str) -> list[str]:
    """The requirements of ``extra`` (empty when neither the installed
    distribution nor a checkout names it)."""
    try:
        listed = metadata.requires(DISTRIBUTION) or []
    except metadata.PackageNotFoundError:
        return _from_checkout(extra)
    out = []
    for line in listed:
        requirement, _, marker = line.partition(";")
        found = _EXTRA_MARKER.search(marker)
        if found and found.group(1) == extra:
            out.append(requirement.strip())
    return out


def _from_checkout(extra: str) -> list[str]:
    import tomllib

    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    try:
        with open(os.path.join(root, "pyproject.toml"), "rb") as f:
            project = tomllib.load(f).get("project", {})
    except (OSError, tomllib.TOMLDecodeError):
        return []
    if project.get("name") != DISTRIBUTION:
        return []
    listed = project.get("optional-dependencies", {}).get(extra, [])
    return [str(requirement) for requirement in listed]


def install_hint(extra: str) -> str:
    """``install the EXTRA extra (python -m pip install ...)``: a command that
    works here, from a checkout or an installed wheel."""
    needed = requirements(extra)
    if not needed:
        return f"install the {extra} extra of {DISTRIBUTION}"
    command = " ".join(shlex.quote(word) for word in (sys.executable, "-m", "pip", "install", *needed))
    return f"install the {extra} extra ({command})"
