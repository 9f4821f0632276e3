"""Every ``vyre`` command the documentation and the README show is one the
command's own parser takes: a command in a shell block as it stands, one
named in the prose at least as far as it goes (it may leave out the
arguments it names elsewhere, such as FILE)."""

import argparse
import pathlib
import re
import shlex

import pytest

from vyre_tools.cli import build_parser

ROOT = pathlib.Path(__file__).resolve().parents[2]
SOURCES = sorted([*ROOT.glob("docs/**/*.rst"), *ROOT.glob("docs/**/*.md"), ROOT / "README.md"])
INLINE = re.compile(r"``(vyre(?:\s[^`]*)?)``|(?<![`\w])`(vyre(?:\s[^`]*)?)`(?!`)")
# a line of a shell block or an indented example: "$ vyre ...", "vyre ...", ".venv/bin/vyre ..."
SHELL_LINE = re.compile(r"^[ \t]+(?:\$ )?(?:\.venv/bin/)?(vyre(?: .*)?)$", re.MULTILINE)
MISSING = "the following arguments are required"


class Refused(Exception):
    pass


def shown_commands():
    for path in SOURCES:
        text = path.read_text()
        where = path.relative_to(ROOT)
        for match in INLINE.finditer(text):
            yield pytest.param(
                " ".join((match.group(1) or match.group(2)).split()),
                False,
                id=f"{where}:{text.count(chr(10), 0, match.start()) + 1}",
            )
        for match in SHELL_LINE.finditer(text):
            yield pytest.param(
                match.group(1), True, id=f"{where}:{text.count(chr(10), 0, match.start()) + 1}"
            )


def parse(command):
    """The parser's verdict on ``command``: None when it takes it, else its message."""

    def refuse(parser, message):
        raise Refused(message)

    argv = shlex.split(command, comments=True)[1:]
    original = argparse.ArgumentParser.error
    argparse.ArgumentParser.error = refuse
    try:
        build_parser().parse_args(argv)
    except Refused as e:
        return str(e)
    except SystemExit as e:  # --help, --version
        return None if e.code == 0 else f"exit {e.code}"
    finally:
        argparse.ArgumentParser.error = original
    return None


COMMANDS = list(shown_commands())


def test_the_docs_show_commands():
    assert len(COMMANDS) >= 20


@pytest.mark.parametrize("command, complete", COMMANDS)
def test_a_shown_command_is_one_the_parser_takes(command, complete):
    refused = parse(command)
    if refused is not None and not complete and refused.startswith(MISSING):
        refused = None  # named in the prose, its arguments given elsewhere
    assert refused is None, f"{command!r}: {refused}"


@pytest.mark.parametrize("command", ["vyre demo --sim", "vyre link-check --minutes 3", "vyre plot"])
def test_the_check_catches_what_would_fail(command):
    assert parse(command) is not None
