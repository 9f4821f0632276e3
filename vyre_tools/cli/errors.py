"""How failures end a command: one line of text and an exit status."""

EXIT_FAILURE = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as shells report an interrupted command


class CliError(Exception):
    """A failure to report as one line, ending the command with ``status``."""

    def __init__(self, message: str, status: int = EXIT_FAILURE) -> None:
        super().__init__(message)
        self.status = status


def describe_os_error(e: OSError) -> str:
    """``path: reason`` for file errors, the bare text for the library's."""
    if e.filename is not None and e.strerror:
        return f"{e.filename}: {e.strerror}"
    return e.strerror or str(e)
