"""The variants of a sweep on a Dask client: chunks submitted two per worker,
their outcomes handed on as they finish, the cluster watched, and the
runs stopped on the workers however it ends."""

from __future__ import annotations

import asyncio
import math
import time
import uuid
from collections import deque
from concurrent.futures import CancelledError
from typing import Any, Callable, Optional

from .cluster import Watch
from .model import ModelBundle
from .worker import FAILED, Outcome, VariantTask, run_chunk, stop_study

# A task runs variants for about this long [s], at most this many of them.
_TASK_SECONDS = 0.1
_MAX_CHUNK = 64
# How long the loop waits for a chunk before it looks at the cluster [s].
_POLL = 0.25
# How long the workers get to stop a study's runs [s].
_STOP_WAIT = 1.0

Chunk = list[tuple[int, VariantTask]]


def chunk_size(per_variant: Optional[float], remaining: int, slots: int) -> int:
    """How many variants the next task runs: one until a run's time is
    known, then enough for about `_TASK_SECONDS` (a Dask task costs a few
    milliseconds, as much as a short run), but never so many that the last
    variants fall to fewer workers than there are."""
    if per_variant is None or per_variant <= 0.0:
        return 1
    wanted = int(_TASK_SECONDS / per_variant)
    return max(1, min(wanted, _MAX_CHUNK, -(-remaining // slots)))


def _lost(key: str, future: Any) -> Outcome:
    # The task itself failed: the worker died under it too often, or could
    # not run it at all. Not the run's doing, so not kept for a resume.
    if future.status != "error":
        return Outcome(key, FAILED, f"the Dask task was {future.status}")
    error = future.exception()
    return Outcome(key, FAILED, f"the Dask task failed: {type(error).__name__}: {error}")


class Schedule:
    """Runs `tasks` on `client`; `record(index, outcome)` gets each outcome
    in the order they finish."""

    def __init__(self, client: Any, bundle: ModelBundle, tasks: Chunk, record: Callable[[int, Outcome], None],
                 cluster_timeout: float, library: Optional[str] = None) -> None:
        self.client, self.bundle, self.record, self.library = client, bundle, record, library
        self.queue = deque(tasks)
        self.running: dict[str, tuple[Any, Chunk]] = {}
        self.watch = Watch(client, cluster_timeout)
        # A key of its own: a second sweep of the same model on the same
        # client must not share data that the first one's end releases.
        self.tag = f"dolvanex-{uuid.uuid4().hex[:8]}"
        self.shared: Any = None
        self.elapsed, self.timed = 0.0, 0

    def _submit(self) -> None:
        # Two tasks per worker in flight: the next one is there when one
        # ends, and what a lost worker held is little.
        workers = self.watch.workers()
        if not workers:
            return  # the watch tells how long that may last
        if self.shared is None or self.shared.status != "finished":
            # Again after a reconnection, which forgets it, or the loss of
            # every worker that held it.
            try:
                self.shared = self.client.scatter(self.bundle, broadcast=True, hash=False)
            except (TimeoutError, OSError):
                return  # the workers went meanwhile
        slots = 2 * workers
        per_variant = self.elapsed / self.timed if self.timed else None
        while self.queue and len(self.running) < slots:
            size = chunk_size(per_variant, len(self.queue), slots)
            chunk = [self.queue.popleft() for _ in range(min(size, len(self.queue)))]
            future = self.client.submit(run_chunk, [task for _, task in chunk], self.shared, self.tag, self.library,
                                        key=f"{self.tag}-{chunk[0][0]}", pure=False)
            self.running[future.key] = (future, chunk)

    def _finished(self) -> list[Any]:
        """The chunks that ended, after a wait of at most `_POLL` s."""
        from distributed import wait

        futures = [future for future, _ in self.running.values()]
        if not futures or not self.watch.usable():
            time.sleep(_POLL)
        else:
            try:
                wait(futures, timeout=_POLL, return_when="FIRST_COMPLETED")
            except (TimeoutError, CancelledError):  # none ended, or one was cancelled: seen below
                pass
        return [future for future in futures if future.done()]

    def _take(self, future: Any) -> None:
        _, chunk = self.running.pop(future.key)
        if future.status == "cancelled":
            # Dask cancels every future of a client that lost its scheduler:
            # the variants wait for it to come back (or the watch to end it).
            self.queue.extendleft(reversed(chunk))
            return
        if future.status != "finished":
            outcomes = [_lost(t.key, future) for _, t in chunk]
        else:
            try:
                outcomes = future.result()
            except (OSError, TimeoutError, CancelledError, asyncio.CancelledError):
                # The scheduler went while the outcomes were fetched (the
                # client cancels its futures then): as a cancelled chunk, they wait for it (or for the watch to end it).
                self.queue.extendleft(reversed(chunk))
                return
        for (index, _), outcome in zip(chunk, outcomes):
            if math.isfinite(outcome.elapsed):
                self.elapsed += outcome.elapsed
                self.timed += 1
            self.record(index, outcome)

    def run(self, ending: Callable[[], None] = lambda: None) -> None:
        """Until every variant is recorded; raises ClusterError when the
        cluster can no longer run them. Stops the runs on the workers
        however it ends; `ending` is called first when it ends early."""
        try:
            while self.queue or self.running:
                self._submit()
                for future in self._finished():
                    self._take(future)
                self.watch.check()
        except BaseException:
            ending()
            raise
        finally:
            self.stop()

    def stop(self) -> None:
        """Releases the tasks (queued ones are forgotten) and has every
        worker end this study's chunks and kill its tools; bounded in time,
        and quiet when the cluster is gone."""
        futures = [future for future, _ in self.running.values()]
        self.running.clear()
        for future in futures:
            future.release()
        if self.shared is not None:
            self.shared.release()
        if self.watch.usable():
            try:
                self.client.run(stop_study, self.tag, on_error="ignore", callback_timeout=_STOP_WAIT)
            except Exception:  # a worker or a scheduler going away: their runs go with them
                pass
