"""Torsional analysis of a model: its modes and its frequency response
about the state at a time, its Campbell diagram and its order response
over a node's speed, from `dolvanex-host modes`, `response`, `campbell`
and `order-response`.

Each call is a tool process of its own, like ``run``; the tables are the
tool's CSV files as DataFrames. The run to the time `at` takes the model's
settings, which the settings of `dolvanex.SETTINGS` override as
``--set simulation.KEY=VALUE`` (the two commands take no run options).
"""

from __future__ import annotations

import subprocess
import tempfile
from pathlib import Path
from typing import Any, List, Mapping, Optional, Sequence, Tuple, Union

import pandas as pd

from .model import ModelLike, model_file
from .result import SimulationError
from .settings import chosen, model_changes, renamed, takes_settings
from .tool import find_tool, set_text


def _analyse(command: str, model: ModelLike, arguments: List[str], at: Optional[float],
             changes: Mapping[str, Any], timeout: Optional[float],
             extra: Sequence[str] = ()) -> List[pd.DataFrame]:
    """The command's --csv table, then the table of each option in `extra`
    (``--energy``, ``--crossings``), each written to a file of its own."""
    with model_file(model) as (path, readable), \
            tempfile.TemporaryDirectory(prefix="dolvanex-analysis-") as folder:
        tables = [Path(folder) / f"{name.strip('-')}.csv" for name in ("--csv", *extra)]
        line = [str(find_tool()), command, str(path), *arguments]
        for option, table in zip(("--csv", *extra), tables):
            line += [option, str(table)]
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
        return [pd.read_csv(table, float_precision="round_trip") for table in tables]


def _changes(where: str, changes: Optional[Mapping[str, Any]], settings: dict[str, Any]) -> dict[str, Any]:
    """The --set places of a call: its settings as simulation keys first,
    then the caller's changes (which may name the same keys)."""
    changes = renamed(where, settings, "set", "changes", changes)
    return {**model_changes(chosen(where, settings)), **(changes or {})}


@takes_settings
def modes(model: ModelLike, at: Optional[float] = None, changes: Optional[Mapping[str, Any]] = None,
          timeout: Optional[float] = None, count: Optional[int] = None, below: Optional[float] = None,
          energy: bool = False, **settings: Any) -> Union[pd.DataFrame, Tuple[pd.DataFrame, pd.DataFrame]]:
    """The modes of a model (a file or a dict, as for `run`) linearised at
    time `at` [s] (default: its consistent start), one row per mode,
    indexed by ``mode`` (1, 2, ...): ``rigid`` (True for a rigid-body mode),
    ``natural_hz``, ``damped_hz``, ``damping_ratio``, ``eigenvalue_real``
    and ``eigenvalue_imag`` [1/s], then per node with inertia
    ``NODE.amplitude``, ``NODE.phase_deg`` and ``NODE.energy_share``; NaN
    where a value does not exist. `count` keeps the N lowest modes and
    `below` those under a frequency [Hz] (a large model's by the sparse
    solver). With `energy`, also the table of ``modes --energy``: per mode
    and element its kinetic, strain and dissipation shares and the
    frequency's sensitivities, returned as ``(modes, energy)``. `changes`
    changes the model as ``--set`` does (``set=`` is its old name). Raises
    SimulationError with the tool's message and exit status, ModelError
    for a dict that is no JSON model."""
    places = _changes("modes()", changes, settings)
    arguments = [] if count is None else ["--count", str(int(count))]
    arguments += [] if below is None else ["--below", repr(float(below))]
    tables = _analyse("modes", model, arguments, at, places, timeout, ["--energy"] if energy else [])
    table = tables[0].set_index("mode")
    table["rigid"] = table["rigid"].astype(bool)
    return (table, tables[1]) if energy else table


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
    return _analyse("response", model, arguments, at, places, timeout)[0].set_index("frequency_hz")


def _speeds(node: str, from_rpm: float, to_rpm: float, points: int) -> List[str]:
    return ["--node", node, "--from", repr(float(from_rpm)), "--to", repr(float(to_rpm)), "--points", str(int(points))]


@takes_settings
def campbell(model: ModelLike, node: str, from_rpm: float, to_rpm: float, points: int = 200,
             orders: Sequence[float] = (1.0, 2.0), operating: Optional[Tuple[float, float]] = None,
             count: Optional[int] = None, at: Optional[float] = None, changes: Optional[Mapping[str, Any]] = None,
             timeout: Optional[float] = None, **settings: Any) -> Tuple[pd.DataFrame, pd.DataFrame]:
    """The Campbell diagram of a model over the speed of `node` [rpm]:
    ``(frequencies, crossings)``. `frequencies` has a row per speed and mode
    (``rpm``, ``mode``, ``natural_hz``, ``damping_ratio``), the modes
    followed from speed to speed by their shapes; `crossings` a row per
    crossing of a mode with an order line (``mode``, ``order``, ``rpm``,
    ``frequency_hz``, ``damping_ratio``, and with `operating` (LO, HI)
    ``inside`` and ``margin_pct``). `count` keeps the N lowest modes; `at`,
    `changes` as for `modes`. Raises SimulationError, ModelError."""
    places = _changes("campbell()", changes, settings)
    arguments = _speeds(node, from_rpm, to_rpm, points) + ["--orders", ",".join(repr(float(o)) for o in orders)]
    if operating is not None:
        low, high = operating
        arguments += ["--operating", f"{float(low)!r}:{float(high)!r}"]
    arguments += [] if count is None else ["--count", str(int(count))]
    frequencies, crossings = _analyse("campbell", model, arguments, at, places, timeout, ["--crossings"])
    if "inside" in crossings:
        crossings["inside"] = crossings["inside"].astype(bool)
    return frequencies, crossings


@takes_settings
def order_response(model: ModelLike, node: str, sources: Union[str, Mapping[str, Union[float, Tuple[float, float]]]],
                   order: float, from_rpm: float, to_rpm: float, points: int = 200,
                   outputs: Optional[Sequence[str]] = None, at: Optional[float] = None,
                   changes: Optional[Mapping[str, Any]] = None, timeout: Optional[float] = None,
                   **settings: Any) -> pd.DataFrame:
    """The steady-state amplitude of outputs over the speed of `node` [rpm]
    when torque sources carry a harmonic of engine order `order`: `sources`
    is a source's name (amplitude 1) or ``{name: amplitude}`` or
    ``{name: (amplitude, phase_deg)}``. Indexed by ``rpm``, with
    ``frequency_hz`` and per output ``COLUMN.amplitude`` and
    ``COLUMN.phase_deg``; `outputs` default to every named spring's torque.
    `at`, `changes` as for `modes`. Raises SimulationError, ModelError."""
    places = _changes("order_response()", changes, settings)
    arguments = _speeds(node, from_rpm, to_rpm, points) + ["--order", repr(float(order))]
    chosen_sources = {sources: 1.0} if isinstance(sources, str) else dict(sources)
    if not chosen_sources:
        raise ValueError("order_response() needs at least one source")
    for name, value in chosen_sources.items():
        amplitude, phase = value if isinstance(value, tuple) else (value, 0.0)
        arguments += ["--input", f"{name}:{float(amplitude)!r}:{float(phase)!r}"]
    for column in outputs or []:
        arguments += ["--output", column]
    return _analyse("order-response", model, arguments, at, places, timeout)[0].set_index("rpm")
