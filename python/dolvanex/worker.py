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
from .tool import TOOL_STATUSES, RunOptions, run_tool

OK, FAILED, TIMEOUT = "ok", "failed", "timeout"


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


def run_variant(task: VariantTask, bundle: ModelBundle) -> Outcome:
    """Runs one variant and takes its metrics; never raises for a failed run."""
    folder = local_model(bundle)
    try:
        result = run_tool(folder / "model.json", task.options, task.timeout,
                          lambda text: bundle.readable(text, folder))
    except SimulationError as error:
        return Outcome(task.key, TIMEOUT if error.status is None else FAILED, error.message,
                       exit_status=error.status)
    outcome = completed(task.key, result, task.metrics)
    if task.keep:
        outcome.csv_text, outcome.summary_text = result.csv_text, result.summary_text
    return outcome


def run_chunk(tasks: list[VariantTask], bundle: ModelBundle) -> list[Outcome]:
    """Runs variants one after the other, each timed."""
    outcomes = []
    for task in tasks:
        began = time.perf_counter()
        outcome = run_variant(task, bundle)
        outcome.elapsed = time.perf_counter() - began
        outcomes.append(outcome)
    return outcomes


def completed(key: str, result: Result, metrics: dict[str, MetricLike]) -> Outcome:
    """The outcome of a run that completed: failed only when a metric fails."""
    values, problem = take_metrics(result, metrics)
    return Outcome(key, FAILED if problem else OK, problem, result.steps, float(result.summary["wall_time"]),
                   values, 0)
