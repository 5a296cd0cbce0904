"""What runs where a variant runs (a Dask worker): the tool on the model's
local copy, then the metrics. Only the metrics travel back, and the run's
files when the caller keeps them."""

from __future__ import annotations

import atexit
import math
import shutil
import tempfile
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Optional

from .metrics import MetricLike
from .model import ModelBundle
from .result import Result, SimulationError
from .tool import TOOL_STATUSES, RunOptions, kill_runs, run_tool

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
        if folder is None:
            folder = Path(tempfile.mkdtemp(prefix="dolvanex-model-", dir=_scratch()))
            bundle.materialise(folder)
            _copies[bundle.digest] = folder
        return folder


def run_variant(task: VariantTask, bundle: ModelBundle, tag: Optional[str] = None) -> Outcome:
    """Runs one variant and takes its metrics; never raises for a failed run."""
    folder = local_model(bundle)
    try:
        result = run_tool(folder / "model.json", task.options, task.timeout,
                          lambda text: bundle.readable(text, folder), tag=tag)
    except SimulationError as error:
        return Outcome(task.key, TIMEOUT if error.status is None else FAILED, error.message,
                       exit_status=error.status)
    outcome = completed(task.key, result, task.metrics)
    if task.keep:
        outcome.csv_text, outcome.summary_text = result.csv_text, result.summary_text
    return outcome


# Studies stopped in this process (by their tags): their chunks run no
# further variant. Kept for the process's life; a tag is a few bytes.
_stopped: set[str] = set()


def run_chunk(tasks: list[VariantTask], bundle: ModelBundle, tag: Optional[str] = None) -> list[Outcome]:
    """Runs variants one after the other, each timed; once the study `tag`
    is stopped, the rest of the chunk is cancelled."""
    outcomes = []
    for task in tasks:
        if tag is not None and tag in _stopped:
            outcomes.append(Outcome(task.key, CANCELLED, "the study was stopped"))
            continue
        began = time.perf_counter()
        outcome = run_variant(task, bundle, tag)
        outcome.elapsed = time.perf_counter() - began
        outcomes.append(outcome)
    return outcomes


def stop_study(tag: str) -> int:
    """Run on every worker (Client.run) when a study stops: its chunks end
    and its running tools are killed. Returns how many were."""
    _stopped.add(tag)
    return kill_runs(tag)


def completed(key: str, result: Result, metrics: dict[str, MetricLike]) -> Outcome:
    """The outcome of a run that completed: failed only when a metric fails."""
    values, problem = take_metrics(result, metrics)
    return Outcome(key, FAILED if problem else OK, problem, result.steps, float(result.summary["wall_time"]),
                   values, 0)
