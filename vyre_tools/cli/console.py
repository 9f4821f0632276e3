"""The terminal console of the vyre command (not the browser's control center):
one rich console per command."""

import sys
from typing import IO, TYPE_CHECKING, Any, Self

from rich.console import Console, RenderableType
from rich.markup import escape

if TYPE_CHECKING:
    from rich.live import Live


class Ui:
    def __init__(self, file: IO[str] | None = None) -> None:
        # the stream is looked up now, not at import, so that redirections
        # made by the caller (tests, the demo) are honoured
        self.console = Console(file=file or sys.stdout, highlight=False)

    @property
    def interactive(self) -> bool:
        return self.console.is_terminal

    def print(self, *objects: Any, **kwargs: Any) -> None:
        self.console.print(*objects, **kwargs)

    def line(self, text: str) -> None:
        """Plain text, printed as it is (no markup)."""
        self.console.print(text, markup=False, highlight=False, soft_wrap=True)

    def note(self, text: str) -> None:
        self.console.print(f"[dim]{escape(text)}[/]", soft_wrap=True)

    def heading(self, text: str) -> None:
        self.console.rule(f"[bold]{escape(text)}[/]")

    def flush(self) -> None:
        self.console.file.flush()

    def live(self, renderable: RenderableType) -> "FinalView | Live":
        """A view to ``update`` as a command goes on: redrawn in place on a
        terminal; elsewhere (a pipe, a file) only the final view is printed."""
        if not self.interactive:
            return FinalView(self)
        from rich.live import Live

        return Live(renderable, console=self.console, auto_refresh=False)


class FinalView:
    """Stands in for a live view where nothing can be redrawn: keeps the
    last view and prints it once at the end."""

    def __init__(self, ui: Ui) -> None:
        self._ui = ui
        self._last: RenderableType | None = None

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc: object) -> None:
        if self._last is not None and exc[0] is None:
            self._ui.print(self._last)

    def update(self, renderable: RenderableType, refresh: bool = False) -> None:
        self._last = renderable
