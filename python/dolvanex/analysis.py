"""Torsional analysis of a model: its modes and its frequency response
about the state at a time, from `dolvanex-host modes` and `response`.

Each call is a tool process of its own, like ``run``; the tables are the
tool's CSV files as DataFrames.
"""

from __future__ import annotations

import os
import subprocess
import tempfile
from pathlib import Path
from typing import Any, List, Mapping, Optional

import pandas as pd

from .result import SimulationError
from .tool import find_tool, set_text


def _analyse(command: str, model: os.PathLike | str, arguments: List[str], at: Optional[float],
             set: Optional[Mapping[str, Any]], timeout: Optional[float]) -> pd.DataFrame:  # noqa: A002
    with tempfile.TemporaryDirectory(prefix="dolvanex-analysis-") as folder:
        table = Path(folder) / f"{command}.csv"
        line = [str(find_tool()), command, os.fspath(model), *arguments, "--csv", str(table)]
        if at is not None:
            line += ["--at", repr(float(at))]
        for place, value in (set or {}).items():
            line += ["--set", f"{place}={set_text(value)}"]
        try:
            done = subprocess.run(line, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=timeout,
                                  check=False)
        except subprocess.TimeoutExpired:
            raise SimulationError(f"{command} took longer than {timeout:g} s and was stopped", None) from None
        if done.returncode != 0:
            message = done.stderr.decode("utf-8", "replace").strip()
            raise SimulationError(message or f"{command} ended with exit status {done.returncode}", done.returncode)
        return pd.read_csv(table, float_precision="round_trip")


def modes(model: os.PathLike | str, at: Optional[float] = None, set: Optional[Mapping[str, Any]] = None,  # noqa: A002
          timeout: Optional[float] = None) -> pd.DataFrame:
    """The modes of a model file linearised at time `at` [s] (default: its
    consistent start), one row per mode, indexed by ``mode`` (1, 2, ...):
    ``rigid`` (True for a rigid-body mode), ``natural_hz``, ``damped_hz``,
    ``damping_ratio``, ``eigenvalue_real`` and ``eigenvalue_imag`` [1/s],
    then per node with inertia ``NODE.amplitude``, ``NODE.phase_deg`` and
    ``NODE.energy_share``; NaN where a value does not exist. `set` changes
    the model as ``--set`` does. Raises SimulationError with the tool's
    message and exit status."""
    table = _analyse("modes", model, [], at, set, timeout).set_index("mode")
    table["rigid"] = table["rigid"].astype(bool)
    return table


def response(model: os.PathLike | str, input: str, output: str, from_hz: float = 0.1,  # noqa: A002
             to_hz: float = 100.0, points: int = 300, at: Optional[float] = None,
             set: Optional[Mapping[str, Any]] = None, timeout: Optional[float] = None) -> pd.DataFrame:  # noqa: A002
    """The frequency response from the value of the torque or speed source
    `input` to the output column `output` (``wheels.omega``,
    ``gearbox.M1``), on a logarithmic grid of `points` frequencies from
    `from_hz` to `to_hz`, about the state at `at` [s]: indexed by
    ``frequency_hz``, with ``magnitude_db``, ``phase_deg`` and the complex
    ratio's ``real`` and ``imag``. Raises SimulationError."""
    arguments = ["--input", input, "--output", output, "--from", repr(float(from_hz)), "--to", repr(float(to_hz)),
                 "--points", str(int(points))]
    return _analyse("response", model, arguments, at, set, timeout).set_index("frequency_hz")
