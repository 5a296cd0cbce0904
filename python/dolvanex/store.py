"""A sweep's folder (``out=DIR``): each variant's CSV and summary document
under the variant's hash, a record of each run the tool refused, the
table ``sweep.csv`` and every variant's samples in ``sweep.h5``. Every file appears complete or not at all, so that a
sweep killed at any moment resumes from what is there."""

from __future__ import annotations

import hashlib
import json
import os
import tempfile
from pathlib import Path
from typing import Any, Optional

import pandas as pd

from .metrics import MetricLike
from .model import ModelBundle
from .result import Result
from .samples_file import write_samples
from .tool import RunOptions
from .worker import FAILED, Outcome, completed

TABLE = "sweep.csv"


def variant_key(bundle: ModelBundle, options: RunOptions, library: Optional[str] = None) -> str:
    """A stable name for a variant: a hash of the model (with its inputs),
    of the tool's arguments, which hold the variant's values as texts, and
    of the library's path when one is named."""
    named: dict[str, Any] = {"model": bundle.digest, "arguments": options.arguments()}
    if library is not None:
        named["library"] = library
    text = json.dumps(named, separators=(",", ":"))
    return hashlib.sha256(text.encode()).hexdigest()[:20]


def write_atomically(path: Path, data: bytes) -> None:
    """Writes under a temporary name beside `path`, then renames. Raises
    OSError naming `path` (a full disk says which file it stopped)."""
    try:
        handle, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".partial", dir=path.parent)
    except OSError as error:
        raise OSError(error.errno, error.strerror, str(path)) from None
    try:
        with os.fdopen(handle, "wb") as file:
            file.write(data)
            file.flush()
            os.fsync(file.fileno())
        os.replace(temporary, path)
    except OSError as error:
        Path(temporary).unlink(missing_ok=True)
        raise OSError(error.errno, error.strerror, str(path)) from None
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise


class Store:
    def __init__(self, folder: Path) -> None:
        self.folder = Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)

    def _csv(self, key: str) -> Path:
        return self.folder / f"{key}.csv"

    def _summary(self, key: str) -> Path:
        return self.folder / f"{key}.json"

    def _refused(self, key: str) -> Path:
        return self.folder / f"{key}.failed.json"

    def load(self, key: str, metrics: dict[str, MetricLike]) -> Optional[Outcome]:
        """A variant done before, its metrics taken again from its files;
        None when it is not there, not complete, or its files cannot be read
        (someone else's copy cut short): it then runs again."""
        refused, csv, summary = self._refused(key), self._csv(key), self._summary(key)
        try:
            if refused.is_file():
                record = json.loads(refused.read_text(encoding="utf-8"))
                outcome = Outcome(key, FAILED, str(record["message"]), exit_status=int(record["exit_status"]))
                # Earlier releases kept a run stopped by a signal as refused
                # (exit status 143, -9, ...): it runs again.
                return outcome if outcome.decided else None
            if not (csv.is_file() and summary.is_file()):
                return None
            result = Result.from_files(csv, summary)
            result.data  # read now, so that a damaged CSV runs again rather than failing a metric
            return completed(key, result, metrics)
        except (OSError, ValueError, KeyError, TypeError, IndexError):
            return None

    def save(self, outcome: Outcome) -> None:
        """Keeps what the tool decided; the summary, written last, marks a
        completed variant. Raises OSError naming the file it could not write."""
        if not outcome.decided:
            return
        if outcome.csv_text is not None and outcome.summary_text is not None:
            write_atomically(self._csv(outcome.key), outcome.csv_text.encode("utf-8"))
            write_atomically(self._summary(outcome.key), outcome.summary_text.encode("utf-8"))
        elif outcome.exit_status != 0:
            record: dict[str, Any] = {"message": outcome.message, "exit_status": outcome.exit_status}
            write_atomically(self._refused(outcome.key), json.dumps(record, indent=2).encode("utf-8"))

    def write_table(self, table: pd.DataFrame) -> Path:
        path = self.folder / TABLE
        write_atomically(path, table.to_csv(index=False).encode("utf-8"))
        return path

    def samples(self, key: str) -> Optional[str]:
        """A kept variant's CSV text, None when it has none."""
        try:
            return self._csv(key).read_text(encoding="utf-8")
        except FileNotFoundError:
            return None

    def write_results(self, table: pd.DataFrame, places: list[str]) -> None:
        """The table, then every variant's samples in one HDF5 file
        (samples_file.py); raises OSError naming the file it could not write."""
        self.write_table(table)
        write_samples(self.folder, table, places, self.samples)
