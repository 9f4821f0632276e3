"""The pages' building blocks: a titled card, and a grid of named values."""

import contextlib
from collections.abc import Iterator, Mapping, Sequence

from nicegui import ui


@contextlib.contextmanager
def card(title: str) -> Iterator[None]:
    """A full-width card headed by ``title``; what the block builds goes in it."""
    with ui.card().classes("w-full"):
        ui.label(title).classes("text-lg font-bold")
        yield


def fields(names: Sequence[str], test_ids: Mapping[str, str] | None = None) -> list[ui.label]:
    """A two-column grid, a name and its value per row; the value labels in
    the order of ``names`` (``test_ids``: a test id for some of them)."""
    values = []
    with ui.grid(columns=2).classes("gap-x-6 gap-y-1"):
        for name in names:
            ui.label(name)
            value = ui.label()
            if test_ids and name in test_ids:
                value.props(f"data-testid={test_ids[name]}")
            values.append(value)
    return values
