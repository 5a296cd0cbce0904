"""Where a sweep runs: a local Dask cluster that the sweep starts and stops,
or an existing one by its client or its scheduler's address; and a watch
that tells when a cluster can no longer finish the work."""

from __future__ import annotations

import logging
import os
import signal
import time
from contextlib import contextmanager
from typing import Any, Iterator, Optional

from .scratch import cluster_folder

# The local cluster's workers start in well under this, even on a busy machine.
WORKER_START = 60.0
# Seconds a sweep waits for a cluster without a worker or without its
# scheduler before it ends, by default.
CLUSTER_TIMEOUT = 60.0
# Seconds each step of closing a client or a local cluster may take.
_CLOSE = 1.5
# Dask's scheduler, in the caller's process for a local cluster, keeps logs
# of every task (100,000 entries by default, some 50 MB a long study): a
# local cluster's keep the last thousand, which is what a look at a failure
# needs.
_SHORT_LOGS = {
    "distributed.scheduler.transition-log-length": 1000,
    "distributed.scheduler.events-log-length": 1000,
    "distributed.scheduler.dashboard.tasks.task-stream-length": 1000,
    "distributed.admin.log-length": 1000,
}


class ClusterError(RuntimeError):
    """The cluster can no longer run the sweep: no scheduler, or no worker."""


@contextmanager
def local_cluster(workers: int, reachable: bool = False) -> Iterator[Any]:
    """`workers` single-threaded Dask workers in this process, with their
    scheduler, talking in memory (`reachable`: over TCP on 127.0.0.1, so
    that other processes may connect), their HTTP servers on 127.0.0.1, the
    workers' folders in a temporary folder of the cluster's own that goes
    with it. Closed however the block ends, in bounded time.

    Threads, not processes: the work of a variant is in its batch process
    (one per worker), and a worker thread only writes its line, reads the
    result and takes the metrics. Worker processes would cost the study a
    few seconds of start (each imports Dask and pandas again), more than
    400 short variants take; a crash of the tool takes only its batch
    process with it either way."""
    import dask
    from distributed import LocalCluster

    with cluster_folder() as home:
        cluster = None
        try:
            with dask.config.set(_SHORT_LOGS):
                where = {"protocol": "tcp://", "host": "127.0.0.1"} if reachable else {}
                cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=False, **where,
                                       dashboard_address="127.0.0.1:0", worker_dashboard_address="127.0.0.1:0",
                                       silence_logs=logging.CRITICAL,
                                       local_directory=str(home))
            yield cluster
        finally:
            if cluster is not None:
                close_cluster(cluster)


def close_cluster(cluster: Any) -> None:
    """Closes a local cluster; worker processes (of another kind of local
    cluster) that outlive the wait are killed."""
    pids = []
    try:
        pids = [getattr(w, "pid", None) for w in cluster.workers.values()]
    except Exception:  # a cluster that never started has no workers to name
        pass
    try:
        cluster.close(timeout=_CLOSE)
    except Exception:  # closing is best effort; what is left is killed below
        pass
    for pid in pids:
        if pid and pid != os.getpid():
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass


def close_client(client: Any) -> None:
    try:
        client.close(timeout=_CLOSE)
    except Exception:  # a client of a scheduler that is gone cannot close cleanly
        pass


@contextmanager
def dask_client(client: Any, workers: Optional[int], timeout: float = CLUSTER_TIMEOUT) -> Iterator[Any]:
    """The client to run on: the one given, one connected to the address
    given (waiting up to `timeout` s for it), or a local cluster of
    single-threaded workers in this process (one per core unless `workers`
    says otherwise), closed afterwards."""
    from distributed import Client

    if client is not None and workers is not None:
        raise ValueError("workers= sizes the local cluster; an existing cluster has its own workers")
    if isinstance(client, Client):
        yield client
    elif isinstance(client, str):
        try:
            connected = Client(client, timeout=timeout)
        except OSError as error:
            raise ClusterError(f"no Dask scheduler answers at {client} within {timeout:g} s: {error}") from None
        try:
            yield connected
        finally:
            close_client(connected)
    elif client is None:
        count = workers or os.cpu_count() or 1
        with local_cluster(count) as cluster:
            local = Client(cluster)
            try:
                try:
                    local.wait_for_workers(count, timeout=WORKER_START)
                except TimeoutError:
                    raise RuntimeError(
                        f"the local cluster's {count} workers did not start within {WORKER_START:g} s") from None
                yield local
            finally:
                close_client(local)
    else:
        raise TypeError(f"client is a distributed.Client, a scheduler address or None, not {client!r}")


def describe(client: Any) -> str:
    try:
        return f"the cluster at {client.scheduler.address}"
    except AttributeError:
        return "the cluster"


class Watch:
    """Tells whether a cluster can still finish the work: its client
    connected to the scheduler and at least one worker there. `check`
    raises ClusterError once it could not for longer than `limit` s, or at
    once when the client has given up on its scheduler."""

    def __init__(self, client: Any, limit: float) -> None:
        self.client, self.limit = client, limit
        self.since: Optional[float] = None
        self.name = describe(client)  # while it is connected: a closed client forgets its scheduler

    def usable(self) -> bool:
        return self.client.status == "running"

    def workers(self) -> int:
        return len(self.client.scheduler_info().get("workers", {})) if self.usable() else 0

    def check(self) -> None:
        status = self.client.status
        if status in ("closing", "closed"):
            raise ClusterError(f"{self.name} was lost: its scheduler stopped answering")
        if status == "running" and self.workers() > 0:
            self.since = None
            return
        now = time.monotonic()
        if self.since is None:
            self.since = now
        elif now - self.since > self.limit:
            what = "no worker" if status == "running" else "no answer from its scheduler"
            raise ClusterError(f"{self.name} has had {what} for {self.limit:g} s")
