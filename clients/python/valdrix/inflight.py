"""The two halves of a campaign's loop that run apart: the requests in
flight, and the trace file written on a thread of its own.

A campaign keeps the instrument busy by sending the next batch request
before it reads the answer in hand, and by leaving the file to a writer
thread, so that neither the disk nor the host's own work is ever time the
instrument waits. The writer thread holds at most a few batches: a disk
slower than the instrument slows the campaign, never grows its memory.
"""

from __future__ import annotations

import collections
import queue
import threading
from typing import Any, Callable, Deque, List, Optional

__all__ = ["Step", "Steps", "FileWriter"]


class Step:
    """Traces ``first`` .. ``first + len(tx) - 1``: their inputs, then the
    batch request that captures them, then the traces."""

    __slots__ = ("first", "inputs", "tx", "request", "got")

    def __init__(self, first: int, inputs: List[Any], tx: Any) -> None:
        self.first = first
        self.inputs = inputs
        self.tx = tx
        self.request: Any = None
        self.got: Any = None

    def __len__(self) -> int:
        return len(self.tx)


class Steps:
    """The steps drawn and not sent yet (``todo``) and those sent and not
    handed on yet (``flight``), oldest first."""

    def __init__(self) -> None:
        self.todo: Deque[Step] = collections.deque()
        self.flight: Deque[Step] = collections.deque()

    def recall(self) -> None:
        """Puts every step in flight back in front of those to send: their
        answers went with a broken connection, so they are captured again."""
        while self.flight:
            step = self.flight.pop()
            step.request = step.got = None
            self.todo.appendleft(step)


_DONE = object()


class FileWriter:
    """Appends batches to a trace file on a thread of its own.

    ``put`` hands a batch over and returns at once, unless ``depth``
    batches are already waiting; it raises the error that stopped the
    thread, if one did. ``close`` waits until every batch handed over is
    written (and raises the error, if any). ``on_written(n)`` is called on
    the thread after each batch with the traces the file then holds.
    """

    def __init__(self, append: Callable[[Any, List[str]], int], depth: int = 2,
                 on_written: Optional[Callable[[int], Any]] = None) -> None:
        self._append = append
        self._on_written = on_written
        self._queue: "queue.Queue[Any]" = queue.Queue(depth)
        self.error: Optional[BaseException] = None
        self._thread = threading.Thread(target=self._run, name="valdrix trace file", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while True:
            item = self._queue.get()
            if item is _DONE:
                return
            if self.error is not None:
                continue  # nothing more goes in after a failure; the queue still drains
            batch, labels = item
            try:
                held = self._append(batch, labels)
            except BaseException as e:  # handed to the campaign's thread
                self.error = e
                continue
            if self._on_written is not None:
                self._on_written(held)

    def put(self, batch: Any, labels: List[str]) -> None:
        if self.error is not None:
            raise self.error
        self._queue.put((batch, labels))

    def close(self) -> None:
        """Waits until every batch handed over is written; raises the
        thread's error. Safe to call more than once."""
        if self._thread.is_alive():
            self._queue.put(_DONE)
            self._thread.join()
        if self.error is not None:
            raise self.error
