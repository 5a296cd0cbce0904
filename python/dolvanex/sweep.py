"""A parameter study: every variant of a space run on Dask, in a batch
process of the tool per worker, the metrics taken where it ran, one table row per variant in the
space's order.

However a sweep ends (completed, stopped by a signal, its cluster lost, its
folder full) its runs are stopped, its files in /dev/shm and the temporary
folder removed, and the table of what completed written into its folder.
"""

from __future__ import annotations

import math
import os
import re
import signal
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Callable, Mapping, Optional, Sequence, Union

import pandas as pd
from tqdm import tqdm

from .batch import POOL
from .cluster import CLUSTER_TIMEOUT, ClusterError, dask_client, local_cluster  # noqa: F401 - public here before
from .interrupts import Interrupted, Signals, catching
from .metrics import Metric, MetricLike, columns_of
from .model import ModelBundle, ModelLike
from .schedule import Schedule, chunk_size  # noqa: F401 - public here before
from .scratch import remove_all_stale
from .settings import chosen, takes_settings
from .spaces import SpaceLike, variants
from .store import Store, variant_key
from .tool import RunOptions
from .worker import CANCELLED, Outcome, VariantTask

FIXED_COLUMNS = ["status", "message", "steps", "wall_time", "variant"]


class SweepError(RuntimeError):
    """A sweep that could not finish: its cluster was lost, or its folder
    could not take a file. The message says why and what is kept; `table`
    is the table of what completed, the rest marked ``cancelled``."""

    def __init__(self, message: str, table: Optional[pd.DataFrame] = None) -> None:
        super().__init__(message)
        self.table = table


class _StoreFailed(Exception):
    def __init__(self, error: OSError) -> None:
        super().__init__(str(error))
        self.error = error


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


@dataclass
class _Plan:
    """A sweep's variants, their names and what is done of them."""

    bundle: ModelBundle
    places: list[str]
    rows: list[dict[str, Any]]
    named: dict[str, MetricLike]
    keys: list[str]
    options: list[RunOptions]
    store: Optional[Store]
    done: list[Optional[Outcome]]
    library: Optional[str] = None

    def tasks(self, timeout: Optional[float]) -> list[tuple[int, VariantTask]]:
        return [(i, VariantTask(self.keys[i], self.options[i], self.named, timeout, self.store is not None))
                for i, outcome in enumerate(self.done) if outcome is None]

    def table(self) -> pd.DataFrame:
        """One row per variant; one not done is ``cancelled``."""
        records = []
        for row, key, outcome in zip(self.rows, self.keys, self.done):
            if outcome is None:
                outcome = Outcome(key, CANCELLED, "the sweep ended before this variant completed")
            record = dict(row)
            record.update({name: outcome.metrics.get(name, math.nan) for name in self.named})
            record.update(status=outcome.status, message=outcome.message, steps=outcome.steps,
                          wall_time=outcome.wall_time, variant=outcome.key)
            records.append(record)
        table = pd.DataFrame(records, columns=self.places + list(self.named) + FIXED_COLUMNS)
        table["steps"] = table["steps"].astype("Int64")
        table.attrs.update(varied=self.places, metrics=list(self.named))
        return table

    def ended(self, why: str, table: pd.DataFrame, again: str) -> str:
        """Writes the table of a sweep that ended early; says why, what is
        kept and how to go on."""
        complete = sum(o is not None for o in self.done)
        text = f"{why}; {complete} of {len(self.done)} variants complete"
        if self.store is None:
            return text
        try:
            self.store.write_results(table, self.places)
            kept = f"sweep.csv lists them, the rest marked {CANCELLED}, sweep.h5 holds their samples"
        except OSError as error:
            kept = f"the table could not be written either ({error})"
        return f"{text}, kept in {self.store.folder} ({kept}); {again}"

    def failed(self, why: str, again: str) -> SweepError:
        table = self.table()
        return SweepError(self.ended(why, table, again), table)


def _plan(model: ModelLike, space: SpaceLike, metrics: MetricsLike, out: Union[str, os.PathLike, None],
          outputs: Optional[Sequence[str]], settings: dict[str, Any], library: Optional[str]) -> _Plan:
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
    keys = [variant_key(bundle, o, library) for o in options]
    store = Store(Path(out)) if out is not None else None
    done: list[Optional[Outcome]] = [store.load(k, named) if store else None for k in keys]
    return _Plan(bundle, places, rows, named, keys, options, store, done, library)


def _recorder(plan: _Plan, bar: tqdm, signals: Signals) -> Callable[[int, Outcome], None]:
    def record(index: int, outcome: Outcome) -> None:
        # A signal waits for the variant's files: both or neither.
        with signals.deferred():
            if plan.store is not None:
                try:
                    plan.store.save(outcome)
                except OSError as error:
                    raise _StoreFailed(error) from None
            outcome.csv_text = outcome.summary_text = None  # on disk now; a long study holds only the metrics
            plan.done[index] = outcome
            bar.update(1)

    return record


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
    cluster_timeout: float = CLUSTER_TIMEOUT,
    library: Union[str, os.PathLike, None] = None,
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
    cluster_timeout: seconds the sweep waits for a cluster that has no
        worker, or whose scheduler does not answer, before it ends.
    library: the component library the runs load (the tool's --lib), a
        path that holds on every worker; by default the tool's own.
    settings: see below, for every run.

    Raises ModelError for a model that cannot be read and ValueError for a
    space or metrics that cannot be used. A sweep that cannot finish raises
    SweepError (its cluster lost, its folder full), one stopped by SIGINT,
    SIGTERM or SIGHUP raises Interrupted, a KeyboardInterrupt; both once the
    runs are stopped and the files of what completed kept, with ``.table``
    the table of it (the rest ``cancelled``), also written to the folder.
    """
    show = sys.stderr.isatty() if progress is None else progress
    with catching() as signals:
        # Stopped while it reads what is kept, it has nothing to write.
        plan = _plan(model, space, metrics, out, outputs, settings,
                     None if library is None else str(Path(library).absolute()))
        tasks = plan.tasks(timeout)
        try:
            with tqdm(total=len(plan.rows), initial=len(plan.rows) - len(tasks), disable=not show,
                      unit="variant") as bar:
                _run(client, workers, plan, tasks, _recorder(plan, bar, signals), cluster_timeout, signals)
        except Interrupted as stop:
            stop.table = plan.table()
            stop.args = (plan.ended(f"stopped by {signal.Signals(stop.signal).name}", stop.table,
                                    "the same sweep again runs the rest"),)
            raise
        except ClusterError as error:
            raise plan.failed(str(error), "the same sweep again, on this cluster or another, runs the rest") from None
        except _StoreFailed as failed:
            raise plan.failed(f"could not write {failed.error.filename}: {failed.error.strerror}",
                              "the same sweep again, with room for its files, finishes the rest") from None
        signals.stop()  # complete: a signal now waits for the table
        table = plan.table()
        if plan.store is not None:
            plan.store.write_results(table, plan.places)
        return table


def _run(client: Any, workers: Optional[int], plan: _Plan, tasks: list[tuple[int, VariantTask]],
         record: Callable[[int, Outcome], None], cluster_timeout: float, signals: Signals) -> None:
    """Runs the tasks on the client asked for; then removes what processes
    that ended without their clean-up (killed workers) left."""
    try:
        if tasks:
            with dask_client(client, workers, cluster_timeout) as dask:
                # However it ends, another signal does not cut its clean-up short.
                Schedule(dask, plan.bundle, tasks, record, cluster_timeout, plan.library).run(ending=signals.stop)
    except BaseException:
        signals.stop()
        raise
    finally:
        if client is None:
            POOL.end_all()  # the local cluster's, in this process: none outlives its study
        remove_all_stale()
