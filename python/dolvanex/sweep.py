"""A parameter study: every variant of a space run on Dask, one tool process
per run, the metrics taken where it ran, one table row per variant in the
space's order."""

from __future__ import annotations

import logging
import math
import os
import re
import sys
import uuid
from collections import deque
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Iterator, Mapping, Optional, Sequence, Union

import pandas as pd
from tqdm import tqdm

from .metrics import Metric, MetricLike, columns_of
from .model import ModelBundle, ModelLike
from .scratch import remove_all_stale
from .settings import chosen, takes_settings
from .spaces import SpaceLike, variants
from .store import Store, variant_key
from .tool import RunOptions
from .worker import FAILED, Outcome, VariantTask, run_chunk

FIXED_COLUMNS = ["status", "message", "steps", "wall_time", "variant"]
# The local cluster's workers start in well under this, even on a busy machine.
_WORKER_START = 60.0
# A task runs variants for about this long [s], at most this many of them.
_TASK_SECONDS = 0.1
_MAX_CHUNK = 64

MetricsLike = Union[Mapping[str, MetricLike], Sequence[MetricLike], MetricLike]


def metric_map(metrics: MetricsLike) -> dict[str, MetricLike]:
    """Metrics by their column names: a mapping as given, or each metric
    under its own text (``final(load.omega)``; a function under its name)."""
    if isinstance(metrics, Mapping):
        return {str(name): metric for name, metric in metrics.items()}
    listed = [metrics] if callable(metrics) else list(metrics)
    named: dict[str, MetricLike] = {}
    for metric in listed:
        name = str(metric) if isinstance(metric, Metric) else getattr(metric, "__name__", repr(metric))
        if name in named:
            raise ValueError(f"two metrics are called {name!r}; give them names with a dict")
        named[name] = metric
    return named


def _pattern(name: str) -> str:
    # A column name as an --output pattern that matches just that name.
    return re.sub(r"([*?\[\]\\])", r"\\\1", name)


def output_choice(bundle: ModelBundle, metrics: dict[str, MetricLike], outputs: Optional[Sequence[str]]) -> list[str]:
    """The --output patterns of every run: as given, else the columns the
    metrics read; with a plain callable among them, the instances' outputs
    (the tool's default) besides."""
    if outputs is not None:
        return [outputs] if isinstance(outputs, str) else list(outputs)
    declared = columns_of(metrics)
    if declared is not None:
        return [_pattern(c) for c in declared]
    known = [c for m in metrics.values() if isinstance(m, Metric) for c in m.columns]
    return [f"{_pattern(i)}.*" for i in bundle.instances] + [_pattern(c) for c in dict.fromkeys(known)]


def variant_options(bundle: ModelBundle, variant: dict[str, Any], settings: Mapping[str, Any],
                    outputs: list[str]) -> RunOptions:
    """The tool's arguments of one variant: an instance's name sets its
    parameter text (--param), any other place is a --set place. `settings`
    as `settings.chosen` gives them."""
    given = {k: v for k, v in variant.items() if v is not None}
    try:
        return RunOptions.make(
            changes={k: v for k, v in given.items() if k not in bundle.instances},
            params={k: v for k, v in given.items() if k in bundle.instances},
            outputs=outputs,
            settings=settings,
        )
    except (TypeError, ValueError) as error:
        raise ValueError(f"the variant {variant}: {error}") from None


def local_cluster(workers: int) -> Any:
    """Single-threaded worker processes and their scheduler, every socket on
    127.0.0.1: the scheduler's and the workers' HTTP servers as well, which
    Dask would otherwise open on every interface."""
    from distributed import LocalCluster

    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                        dashboard_address="127.0.0.1:0", worker_dashboard_address="127.0.0.1:0",
                        silence_logs=logging.ERROR)


@contextmanager
def dask_client(client: Any, workers: Optional[int]) -> Iterator[Any]:
    """The client to run on: the one given, one connected to the address
    given, or a local cluster of single-threaded worker processes (one per
    core unless `workers` says otherwise) on 127.0.0.1, closed afterwards."""
    from distributed import Client

    if client is not None and workers is not None:
        raise ValueError("workers= sizes the local cluster; an existing cluster has its own workers")
    if isinstance(client, Client):
        yield client
    elif isinstance(client, str):
        with Client(client, timeout="30s") as connected:
            yield connected
    elif client is None:
        count = workers or os.cpu_count() or 1
        with local_cluster(count) as cluster, Client(cluster) as local:
            try:
                local.wait_for_workers(count, timeout=_WORKER_START)
            except TimeoutError:
                raise RuntimeError(
                    f"the local cluster's {count} worker processes did not start within {_WORKER_START:g} s; a "
                    "script that calls sweep() must do so under 'if __name__ == \"__main__\":' (the workers "
                    "import it again) and be a file, not standard input"
                ) from None
            yield local
    else:
        raise TypeError(f"client is a distributed.Client, a scheduler address or None, not {client!r}")


def _lost(key: str, future: Any) -> Outcome:
    # The task itself failed: the worker died under it too often, or could
    # not run it at all. Not the run's doing, so not kept for a resume.
    if future.status != "error":
        return Outcome(key, FAILED, f"the Dask task was {future.status}")
    error = future.exception()
    return Outcome(key, FAILED, f"the Dask task failed: {type(error).__name__}: {error}")


def chunk_size(per_variant: Optional[float], remaining: int, slots: int) -> int:
    """How many variants the next task runs: one until a run's time is
    known, then enough for about `_TASK_SECONDS` (a Dask task costs a few
    milliseconds, as much as a short run), but never so many that the last
    variants fall to fewer workers than there are."""
    if per_variant is None or per_variant <= 0.0:
        return 1
    wanted = int(_TASK_SECONDS / per_variant)
    return max(1, min(wanted, _MAX_CHUNK, -(-remaining // slots)))


def _run_pending(client: Any, workers: Optional[int], bundle: ModelBundle, tasks: list[tuple[int, VariantTask]],
                 done: list[Optional[Outcome]], store: Optional[Store], bar: tqdm) -> None:
    from distributed import as_completed

    with dask_client(client, workers) as dask:
        # A key of its own: a second sweep of the same model on the same
        # client must not share data that the first one's end releases.
        shared = dask.scatter(bundle, broadcast=True, hash=False)
        token = uuid.uuid4().hex[:8]
        queue = deque(tasks)
        running: dict[str, tuple[Any, list[tuple[int, VariantTask]]]] = {}
        finished = as_completed()
        times: list[float] = []

        # Two tasks per worker in flight: the next one is there when one
        # ends, and what a lost worker held is little.
        def submit() -> None:
            slots = 2 * max(1, len(dask.scheduler_info().get("workers", {})))
            per_variant = sum(times) / len(times) if times else None
            while queue and len(running) < slots:
                size = chunk_size(per_variant, len(queue), slots)
                chunk = [queue.popleft() for _ in range(min(size, len(queue)))]
                future = dask.submit(run_chunk, [task for _, task in chunk], shared,
                                     key=f"dolvanex-{token}-{chunk[0][0]}")
                running[future.key] = (future, chunk)
                finished.add(future)

        try:
            submit()
            for future in finished:
                _, chunk = running.pop(future.key)
                if future.status == "finished":
                    outcomes = future.result()
                else:
                    outcomes = [_lost(task.key, future) for _, task in chunk]
                for (index, _), outcome in zip(chunk, outcomes):
                    if store is not None:
                        store.save(outcome)
                    done[index] = outcome
                    if math.isfinite(outcome.elapsed):
                        times.append(outcome.elapsed)
                    bar.update(1)
                submit()
        finally:
            dask.cancel([f for f, _ in running.values()])


@takes_settings
def sweep(
    model: ModelLike,
    space: SpaceLike,
    metrics: MetricsLike,
    client: Any = None,
    workers: Optional[int] = None,
    out: Union[str, os.PathLike, None] = None,
    timeout: Optional[float] = None,
    *,
    outputs: Optional[Sequence[str]] = None,
    progress: Optional[bool] = None,
    **settings: Any,
) -> pd.DataFrame:
    """Runs every variant of `space` and returns a DataFrame, one row per
    variant in the space's order: the varied values, each metric (NaN where
    it cannot be taken), ``status`` (``ok``, ``failed``, ``timeout``),
    ``message`` (the tool's, for a failed run), ``steps``, ``wall_time``
    (the tool's own, [s]) and ``variant`` (the hash that names its files).

    model: a model file or a dict (see `run`); it and every CSV file it
        names are sent to the workers.
    space: `grid(...)`, `samples(...)`, a DataFrame or a list of dicts; a
        place that names an instance sets its parameter text, any other is
        a --set place (``vehicle.J``, ``simulation.stop``).
    metrics: a dict of name to metric (`final`, `time_to`, ..., or any
        callable of a `Result`), or a list of them.
    client: None for a local Dask cluster (`workers` processes, one per
        core by default), a scheduler address ("tcp://host:8786") or a
        `distributed.Client`.
    out: a folder that keeps each variant's CSV and summary document and
        the table ``sweep.csv``; a sweep run again into it runs only the
        variants not yet done (timeouts and lost tasks again).
    timeout: seconds after which a run is stopped (status ``timeout``).
    outputs: the --output patterns of every run; by default the columns the
        metrics read.
    progress: a progress bar on stderr; by default when it is a terminal.
    settings: see below, for every run.

    Raises ModelError for a model that cannot be read and ValueError for a
    space or metrics that cannot be used.
    """
    bundle = ModelBundle.load(model)
    places, rows = variants(space)
    if not rows:
        raise ValueError("the space holds no variant")
    named = metric_map(metrics)
    clash = [n for n in named if n in places or n in FIXED_COLUMNS]
    if clash:
        raise ValueError(f"metric names {clash} are also columns of the table; choose others")
    patterns = output_choice(bundle, named, outputs)
    values = chosen("sweep()", settings)
    options = [variant_options(bundle, row, values, patterns) for row in rows]
    keys = [variant_key(bundle, o) for o in options]
    store = Store(Path(out)) if out is not None else None

    done: list[Optional[Outcome]] = [store.load(k, named) if store else None for k in keys]
    tasks = [(i, VariantTask(keys[i], options[i], named, timeout, store is not None))
             for i in range(len(rows)) if done[i] is None]
    show = sys.stderr.isatty() if progress is None else progress
    with tqdm(total=len(rows), initial=len(rows) - len(tasks), disable=not show, unit="variant") as bar:
        if tasks:
            try:
                _run_pending(client, workers, bundle, tasks, done, store, bar)
            finally:
                remove_all_stale()  # what workers that ended without their clean-up (killed) left

    records = []
    for row, outcome in zip(rows, done):
        assert outcome is not None
        record = dict(row)
        record.update({name: outcome.metrics.get(name, math.nan) for name in named})
        record.update(status=outcome.status, message=outcome.message, steps=outcome.steps,
                      wall_time=outcome.wall_time, variant=outcome.key)
        records.append(record)
    table = pd.DataFrame(records, columns=places + list(named) + FIXED_COLUMNS)
    table["steps"] = table["steps"].astype("Int64")
    table.attrs.update(varied=places, metrics=list(named))
    if store is not None:
        store.write_table(table)
    return table
