"""A procedure written once for both clients.

A procedure is a generator that yields the calls it wants made (``Call``,
or ``Pause`` for a wait) and is sent their results; a call's exception is
thrown into it at the yield. ``run`` drives it with a blocking
``VYREClient``, ``run_async`` with an ``AsyncVYREClient``, whose methods
have the same names and arguments::

    values = run(read_backup(3.0), client)              # blocking
    values = await run_async(read_backup(3.0), aclient)  # on an event loop
"""

import asyncio
import time
from collections.abc import Generator, Mapping
from dataclasses import dataclass, field
from typing import Any


@dataclass(frozen=True)
class Call:
    """``client.<method>(*args, **kwargs)``."""

    method: str
    args: tuple[Any, ...] = ()
    kwargs: Mapping[str, Any] = field(default_factory=dict)


@dataclass(frozen=True)
class Pause:
    """A wait of ``seconds`` (the event loop runs on meanwhile)."""

    seconds: float


def call(method: str, *args: Any, **kwargs: Any) -> Call:
    return Call(method, args, kwargs)


def refused(elapsed: float, timeout: float) -> bool:
    """Whether a setting call's false answer, ``elapsed`` seconds after it
    was made with ``timeout``, was the device's no: a call that got no
    answer returns only once its whole time-out has passed."""
    return elapsed < timeout


def not_taken(what: str, elapsed: float, timeout: float) -> str:
    """Why a setting call answered false: the device refused ``what``, or
    did not answer within ``timeout`` seconds."""
    if refused(elapsed, timeout):
        return f"the device refused {what}"
    return f"the device did not answer {what} within {timeout:g} s"


type Step = Call | Pause
type Steps[T] = Generator[Step, Any, T]


def run[T](steps: Steps[T], client: Any) -> T:
    """Drives ``steps`` with a blocking client; the procedure's result."""
    try:
        step = next(steps)
        while True:
            try:
                if isinstance(step, Pause):
                    time.sleep(step.seconds)
                    result = None
                else:
                    result = getattr(client, step.method)(*step.args, **step.kwargs)
            except BaseException as e:
                step = steps.throw(e)
            else:
                step = steps.send(result)
    except StopIteration as done:
        value: T = done.value
        return value
    finally:
        steps.close()


async def run_async[T](steps: Steps[T], client: Any) -> T:
    """Drives ``steps`` with an ``AsyncVYREClient``; the procedure's result."""
    try:
        step = next(steps)
        while True:
            try:
                if isinstance(step, Pause):
                    await asyncio.sleep(step.seconds)
                    result = None
                else:
                    result = await getattr(client, step.method)(*step.args, **step.kwargs)
            except BaseException as e:
                step = steps.throw(e)
            else:
                step = steps.send(result)
    except StopIteration as done:
        value: T = done.value
        return value
    finally:
        steps.close()
