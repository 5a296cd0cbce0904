"""What one run of the tool produced: its CSV as a DataFrame and its summary."""

from __future__ import annotations

import io
import json
from pathlib import Path
from typing import Any, Optional

import numpy as np
import pandas as pd


class SimulationError(RuntimeError):
    """A run that failed: the tool's message and its exit status.

    ``status`` is 1 when the run failed outright (bad model or argument, a
    component call that failed), 2 when it completed but a check failed;
    ``result`` is then the completed run. A run that took longer than its
    timeout has ``status`` None.
    """

    def __init__(self, message: str, status: Optional[int], result: Optional["Result"] = None) -> None:
        super().__init__(message)
        self.message = message
        self.status = status
        self.result = result


# Below this size Python's own float() beats pandas' reader, whose set-up
# alone takes longer than a sweep's typical CSV.
_SMALL_CSV = 64 * 1024


def read_csv_text(text: str) -> pd.DataFrame:
    """The tool's CSV as a DataFrame indexed by ``time``, every number read
    back to the double the tool wrote (both readers round correctly)."""
    if len(text) > _SMALL_CSV:
        frame = pd.read_csv(io.StringIO(text), float_precision="round_trip", dtype=float)
        return frame.set_index(frame.columns[0])
    lines = text.splitlines()
    names = lines[0].split(",")
    values = np.array([[float(cell) for cell in line.split(",")] for line in lines[1:] if line],
                      dtype=float).reshape(-1, len(names))
    return pd.DataFrame(values[:, 1:], index=pd.Index(values[:, 0], name=names[0]), columns=names[1:])


class Result:
    """One run: ``data`` (DataFrame indexed by ``time`` [s], columns as the
    CSV names them), ``summary`` (the summary document as a dict,
    docs/summary-json.md), ``events`` and ``energy`` (DataFrames)."""

    def __init__(self, csv_text: str, summary_text: str) -> None:
        self.csv_text = csv_text
        self._summary_text: Optional[str] = summary_text
        self.summary: dict[str, Any] = json.loads(summary_text)
        self._data: Optional[pd.DataFrame] = None

    @staticmethod
    def of(csv_text: str, summary: dict[str, Any]) -> "Result":
        """A run whose summary document is at hand as a dict (a batch's
        result line): its text is written only when asked for."""
        result = Result.__new__(Result)
        result.csv_text, result._summary_text, result.summary, result._data = csv_text, None, summary, None
        return result

    @property
    def summary_text(self) -> str:
        """The summary document as the tool wrote it, or as the dict reads."""
        if self._summary_text is None:
            self._summary_text = json.dumps(self.summary, indent=2)
        return self._summary_text

    @staticmethod
    def from_files(csv: Path, summary: Path) -> "Result":
        """A run's files: its CSV and its summary document."""
        return Result(csv.read_text(encoding="utf-8"), summary.read_text(encoding="utf-8"))

    @property
    def data(self) -> pd.DataFrame:
        # Read on first use: a sweep's metric that needs only the summary
        # never parses the CSV.
        if self._data is None:
            self._data = read_csv_text(self.csv_text)
        return self._data

    @property
    def events(self) -> pd.DataFrame:
        """One row per mode an event set (``time`` [s], ``kind``,
        ``element``, ``mode``, ``round``); an event that set no mode is one
        row with ``element`` and ``mode`` missing."""
        rows = []
        for ev in self.summary["events"]:
            for m in ev["modes"] or [{"element": None, "mode": None, "round": None}]:
                rows.append({"time": ev["time"], "kind": ev["kind"], **m})
        return pd.DataFrame(rows, columns=["time", "kind", "element", "mode", "round"])

    @property
    def energy(self) -> pd.DataFrame:
        """The energy account per element [J]: index ``element``, columns
        ``kind`` (``supplied`` or ``dissipated``) and ``energy``."""
        frame = pd.DataFrame(self.summary["energy"]["elements"], columns=["element", "kind", "energy"])
        return frame.set_index("element")

    @property
    def steps(self) -> int:
        return int(self.summary["solver"]["steps"])

    def __repr__(self) -> str:
        return f"<dolvanex.Result {self.summary.get('model')}: {len(self.data)} samples, {self.steps} steps>"
