"""Torsional analysis of a model: its modes and its frequency response
about the state at a time, from `dolvanex-host modes` and `response`.

Each call is a tool process of its own, like ``run``; the tables are the
tool's CSV files as DataFrames. The run to the time `at` takes the model's
settings, which the settings of `dolvanex.SETTINGS` override as
``--set simulation.KEY=VALUE`` (the two commands take no run options).
"""

from __future__ import annotations

import subprocess
import tempfile
from pathlib import Path
from typing import Any, List, Mapping, Optional

import pandas as pd

from .model import ModelLike, model_file
from .result import SimulationError
from .settings import chosen, model_changes, renamed, takes_settings
from .tool import find_tool, set_text


def _analyse(command: str, model: ModelLike, arguments: List[str], at: Optional[float],
             changes: Mapping[str, Any], timeout: Optional[float]) -> pd.DataFrame:
    with model_file(model) as (path, readable), \
            tempfile.TemporaryDirectory(prefix="dolvanex-analysis-") as folder:
        table = Path(folder) / f"{command}.csv"
        line = [str(find_tool()), command, str(path), *arguments, "--csv", str(table)]
        if at is not None:
            line += ["--at", repr(float(at))]
        for place, value in changes.items():
            line += ["--set", f"{place}={set_text(value)}"]
        try:
            done = subprocess.run(line, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                  timeout=timeout, check=False)
        except subprocess.TimeoutExpired:
            raise SimulationError(f"{command} took longer than {timeout:g} s and was stopped", None) from None
        if done.returncode != 0:
            message = readable(done.stderr.decode("utf-8", "replace").strip())
            raise SimulationError(message or f"{command} ended with exit status {done.returncode}", done.returncode)
        return pd.read_csv(table, float_precision="round_trip")


def _changes(where: str, changes: Optional[Mapping[str, Any]], settings: dict[str, Any]) -> dict[str, Any]:
    """The --set places of a call: its settings as simulation keys first,
    then the caller's changes (which may name the same keys)."""
    changes = renamed(where, settings, "set", "changes", changes)
    return {**model_changes(chosen(where, settings)), **(changes or {})}


@takes_settings
def modes(model: ModelLike, at: Optional[float] = None, changes: Optional[Mapping[str, Any]] = None,
          timeout: Optional[float] = None, **settings: Any) -> pd.DataFrame:
    """The modes of a model (a file or a dict, as for `run`) linearised at
    time `at` [s] (default: its consistent start), one row per mode,
    indexed by ``mode`` (1, 2, ...): ``rigid`` (True for a rigid-body mode),
    ``natural_hz``, ``damped_hz``, ``damping_ratio``, ``eigenvalue_real``
    and ``eigenvalue_imag`` [1/s], then per node with inertia
    ``NODE.amplitude``, ``NODE.phase_deg`` and ``NODE.energy_share``; NaN
    where a value does not exist. `changes` changes the model as ``--set``
    does (``set=`` is its old name). Raises SimulationError with the tool's
    message and exit status, ModelError for a dict that is no JSON model."""
    places = _changes("modes()", changes, settings)
    table = _analyse("modes", model, [], at, places, timeout).set_index("mode")
    table["rigid"] = table["rigid"].astype(bool)
    return table


@takes_settings
def response(model: ModelLike, source: Optional[str] = None, output: Optional[str] = None, from_hz: float = 0.1,
             to_hz: float = 100.0, points: int = 300, at: Optional[float] = None,
             changes: Optional[Mapping[str, Any]] = None, timeout: Optional[float] = None,
             **settings: Any) -> pd.DataFrame:
    """The frequency response of a model (a file or a dict) from the value
    of the torque or speed source named `source` (``input=`` is its old
    name) to the output column `output` (``wheels.omega``, ``gearbox.M1``),
    on a logarithmic grid of `points` frequencies from `from_hz` to
    `to_hz`, about the state at `at` [s]: indexed by ``frequency_hz``, with
    ``magnitude_db``, ``phase_deg`` and the complex ratio's ``real`` and
    ``imag``. `changes` as for `modes`. Raises SimulationError, ModelError."""
    source = renamed("response()", settings, "input", "source", source)
    if source is None or output is None:
        raise TypeError("response() needs the source and the output column")
    places = _changes("response()", changes, settings)
    arguments = ["--input", source, "--output", output, "--from", repr(float(from_hz)), "--to", repr(float(to_hz)),
                 "--points", str(int(points))]
    return _analyse("response", model, arguments, at, places, timeout).set_index("frequency_hz")
