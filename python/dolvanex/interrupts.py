"""SIGINT, SIGTERM and SIGHUP during a sweep: each becomes an `Interrupted`
exception in the main thread, so that the sweep stops its runs, removes
its files and writes the table of what completed before it ends.

Only signals left at their defaults are taken (Python's KeyboardInterrupt
for SIGINT, the default action for the others): a caller's own handler, or
a signal ignored by nohup, keeps its say. Outside the main thread nothing
changes, as Python handles signals there only.
"""

from __future__ import annotations

import signal
import threading
from contextlib import contextmanager
from typing import Any, Iterator, Optional

STOPPING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


class Interrupted(KeyboardInterrupt):
    """A sweep stopped by a signal (`signal`: its number), after its runs
    were stopped and its files removed; `table` is the table of what
    completed, the rest marked ``cancelled`` (None before the sweep had
    one)."""

    def __init__(self, number: int, message: str = "") -> None:
        super().__init__(message or f"stopped by {signal.Signals(number).name}")
        self.signal = number
        self.table: Any = None

    def __str__(self) -> str:
        return str(self.args[0])


class Signals:
    """While active: the first signal raises Interrupted; the ones after it
    (the clean-up is under way) are noted and otherwise ignored."""

    def __init__(self) -> None:
        self.first: Optional[int] = None
        self.deferring = False
        self.pending: Optional[int] = None

    def _handle(self, number: int, frame: Any) -> None:
        if self.first is not None:
            return
        if self.deferring:
            self.pending = number
            return
        self.first = number
        raise Interrupted(number)

    @contextmanager
    def deferred(self) -> Iterator[None]:
        """A stretch that a signal does not cut short (a kept variant's two
        files): it raises at the end instead."""
        self.deferring = True
        try:
            yield
        finally:
            self.deferring = False
        if self.pending is not None and self.first is None:
            self.first = self.pending
            raise Interrupted(self.pending)

    def stop(self) -> None:
        """From now on every signal is noted and ignored: the clean-up runs."""
        if self.first is None:
            self.first = -1


def _default(number: int, handler: Any) -> bool:
    if number == signal.SIGINT:
        return handler is signal.default_int_handler
    return handler == signal.SIG_DFL


@contextmanager
def catching() -> Iterator[Signals]:
    """Takes the stopping signals left at their defaults for the block."""
    signals = Signals()
    if threading.current_thread() is not threading.main_thread():
        yield signals
        return
    taken = {}
    for number in STOPPING:
        previous = signal.getsignal(number)
        if _default(number, previous):
            taken[number] = previous
            signal.signal(number, signals._handle)
    try:
        yield signals
    finally:
        for number, previous in taken.items():
            signal.signal(number, previous)
