"""Terminal output: one rich console per command, and number formatting."""

import math
import sys

from rich.console import Console
from rich.markup import escape


class Ui:
    def __init__(self, file=None):
        # the stream is looked up now, not at import, so that redirections
        # made by the caller (tests, the demo) are honoured
        self.console = Console(file=file or sys.stdout, highlight=False)

    @property
    def interactive(self):
        return self.console.is_terminal

    def print(self, *objects, **kwargs):
        self.console.print(*objects, **kwargs)

    def line(self, text):
        """Plain text, printed as it is (no markup)."""
        self.console.print(text, markup=False, highlight=False, soft_wrap=True)

    def note(self, text):
        self.console.print(f"[dim]{escape(text)}[/]", soft_wrap=True)

    def heading(self, text):
        self.console.rule(f"[bold]{escape(text)}[/]")

    def flush(self):
        self.console.file.flush()


def num(value, decimals=2):
    """A float for display; NaN and infinities spelt out."""
    if value is None:
        return "-"
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    return f"{value:.{decimals}f}"


def vec(values, decimals=2):
    return "(" + ", ".join(num(v, decimals) for v in values) + ")"
