"""What runs where a variant runs (a Dask worker): the variants of a task
in a batch process of the tool on the model's local copy, then the
metrics. Only the metrics travel back, and the run's files when the caller
keeps them."""

from __future__ import annotations

import atexit
import functools
import itertools
import math
import os
import shutil
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Optional

from .metrics import MetricLike
from .batch import POOL, WATCHDOG_MARGIN, BatchTool, ToolEnded, variant_line
from .model import ModelBundle
from .result import Result
from .scratch import runs_folder
from .tool import TOOL_STATUSES, RunOptions

_names = itertools.count()

OK, FAILED, TIMEOUT, CANCELLED = "ok", "failed", "timeout", "cancelled"


@dataclass(frozen=True)
class VariantTask:
    key: str  # the variant's hash
    options: RunOptions
    metrics: dict[str, MetricLike]
    timeout: Optional[float] = None
    keep: bool = False  # send the CSV and the summary back


@dataclass
class Outcome:
    key: str
    status: str
    message: str = ""
    steps: Optional[int] = None
    wall_time: float = math.nan
    metrics: dict[str, float] = field(default_factory=dict)
    exit_status: Optional[int] = None
    csv_text: Optional[str] = None
    summary_text: Optional[str] = None
    elapsed: float = math.nan  # what the variant took on the worker, all told [s]

    @property
    def decided(self) -> bool:
        """Whether the tool decided it, so that a resumed sweep keeps it: a
        run that completed or that the tool refused (its own exit statuses);
        not a timeout, which a quieter machine may not hit, a lost worker,
        nor a tool stopped or killed by a signal."""
        return self.exit_status in TOOL_STATUSES


def take_metrics(result: Result, metrics: dict[str, MetricLike]) -> tuple[dict[str, float], str]:
    """Every metric of a run, NaN where one fails; the first failure's
    message, or ""."""
    values: dict[str, float] = {}
    problem = ""
    for name, metric in metrics.items():
        try:
            values[name] = float(metric(result))
        except Exception as error:  # a user's callable may raise anything
            values[name] = math.nan
            problem = problem or f"metric {name!r}: {error}"
    return values, problem


_copies: dict[str, Path] = {}
_copies_lock = threading.Lock()


def _scratch() -> Optional[Path]:
    # A Dask worker's own folder, which Dask clears after a crashed worker;
    # elsewhere the system's temporary folder.
    try:
        from distributed import get_worker

        return Path(get_worker().local_directory)
    except (ImportError, ValueError, AttributeError):
        return None


def _remove_copies() -> None:
    for folder in _copies.values():
        shutil.rmtree(folder, ignore_errors=True)


atexit.register(_remove_copies)


def local_model(bundle: ModelBundle) -> Path:
    """The folder of this process's copy of the model, written on first use."""
    with _copies_lock:
        folder = _copies.get(bundle.digest)
        # A local cluster's workers share this process, and their folder
        # (where the copy was) goes with each cluster.
        if folder is None or not (folder / "model.json").is_file():
            folder = Path(tempfile.mkdtemp(prefix="dolvanex-model-", dir=_scratch()))
            bundle.materialise(folder)
            _copies[bundle.digest] = folder
        return folder


_TIME_LIMIT = "the run went past its time limit"


def _timed_out(timeout: Optional[float]) -> str:
    if timeout is None:  # a limit of the tool's own: none is given it today
        return "the run went past its time limit and was stopped"
    return f"the run took longer than {timeout:g} s and was stopped"


def batch_outcome(task: VariantTask, result: dict[str, Any], csv: Path, readable: Callable[[str], str]) -> Outcome:
    """The outcome of a variant from its result line and its CSV file."""
    status = result.get("exit_status")
    message = readable(str(result.get("message") or "").strip())
    if status == 0:
        try:
            summary = result["summary"]
            if not isinstance(summary, dict):
                raise ValueError(f"the result line's summary is {type(summary).__name__}")
            run = Result.of(csv.read_text(encoding="utf-8"), summary)
        except (OSError, ValueError, TypeError) as error:
            return Outcome(task.key, FAILED, f"the run completed but its files cannot be read: {error}")
        outcome = completed(task.key, run, task.metrics)
        if task.keep:
            outcome.csv_text, outcome.summary_text = run.csv_text, run.summary_text
        return outcome
    if status == 1 and message.startswith(_TIME_LIMIT):
        # Not the tool's decision but the machine's speed: not kept, as a
        # run killed by the watchdog.
        return Outcome(task.key, TIMEOUT, _timed_out(task.timeout))
    if status == 1:
        message = f"dolvanex-host: {message}"  # as `run` says it on stderr
    return Outcome(task.key, FAILED, message, exit_status=status if isinstance(status, int) else None)


def run_in_batch(task: VariantTask, tool: BatchTool, readable: Callable[[str], str],
                 stopped: Callable[[], bool]) -> Outcome:
    """Runs one variant in a batch process; never raises for a failed run.
    A process that ends under it fails only this variant."""
    csv = runs_folder() / f"{os.getpid()}-{next(_names)}.csv"
    watchdog = None if task.timeout is None else task.timeout + WATCHDOG_MARGIN
    try:
        result = tool.run(variant_line(task.options, csv, task.timeout), watchdog, stopped)
        return batch_outcome(task, result, csv, readable)
    except ToolEnded as ended:
        if stopped():
            return Outcome(task.key, CANCELLED, "the study was stopped")
        if ended.late:
            return Outcome(task.key, TIMEOUT, _timed_out(task.timeout))
        return Outcome(task.key, FAILED, readable(ended.message), exit_status=ended.status)
    finally:
        csv.unlink(missing_ok=True)


def run_chunk(tasks: list[VariantTask], bundle: ModelBundle, tag: Optional[str] = None,
              library: Optional[str] = None) -> list[Outcome]:
    """Runs variants one after the other in a batch process of this
    worker's, each timed; once the study `tag` is stopped, the rest of the
    chunk is cancelled."""
    folder = local_model(bundle)
    readable = functools.partial(bundle.readable, folder=folder)
    stopped: Callable[[], bool] = lambda: tag is not None and tag in POOL.stopped
    tool = POOL.take(tag, folder / "model.json", library)
    outcomes = []
    try:
        for task in tasks:
            if stopped():
                outcomes.append(Outcome(task.key, CANCELLED, "the study was stopped"))
                continue
            began, warm = time.perf_counter(), tool.running()
            outcome = run_in_batch(task, tool, readable, stopped)
            # A variant that started the process took its start too, which
            # the sizes of the next tasks must not count.
            outcome.elapsed = time.perf_counter() - began if warm else math.nan
            outcomes.append(outcome)
    finally:
        POOL.give_back(tool)
    return outcomes


def stop_study(tag: str) -> int:
    """Run on every worker (Client.run) when a study ends: its chunks end
    and its batch processes are killed. Returns how many were."""
    return POOL.end_study(tag)


def completed(key: str, result: Result, metrics: dict[str, MetricLike]) -> Outcome:
    """The outcome of a run that completed: failed only when a metric fails."""
    values, problem = take_metrics(result, metrics)
    return Outcome(key, FAILED if problem else OK, problem, result.steps, float(result.summary["wall_time"]),
                   values, 0)
