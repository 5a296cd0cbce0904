"""Numbers of a run that a sweep tabulates: each a function of a Result.

A Metric names the CSV columns it reads (``columns``), so that a sweep asks
the tool for just those. Any callable of a Result is a metric as well.
"""

from __future__ import annotations

import builtins
import inspect
import math
import operator
import typing
from dataclasses import dataclass
from typing import Any, Callable, Optional, Union

import numpy as np

from .result import Result

_COMPARISONS: dict[str, Callable[[Any, Any], Any]] = {
    ">=": operator.ge,
    ">": operator.gt,
    "<=": operator.le,
    "<": operator.lt,
}


class MetricError(ValueError):
    """A metric that cannot be taken of a run: a column or element it does not have."""


def _column(result: Result, column: str) -> tuple[np.ndarray, np.ndarray]:
    data = result.data
    if column not in data.columns:
        raise MetricError(f"the run has no column {column!r} (it has {', '.join(data.columns)})")
    return data.index.to_numpy(dtype=float), data[column].to_numpy(dtype=float)


def _first_crossing(t: np.ndarray, v: np.ndarray, op: str, value: float) -> float:
    holds = _COMPARISONS[op](v, value)
    hits = np.flatnonzero(holds)
    if hits.size == 0:
        return math.nan
    i = int(hits[0])
    if i == 0:
        return float(t[0])
    # Linear between the last sample before and the first one on or beyond
    # the value, as the CSV's samples are joined.
    t0, t1, v0, v1 = t[i - 1], t[i], v[i - 1], v[i]
    if v1 == v0 or not math.isfinite(v0):
        return float(t1)
    return float(builtins.min(builtins.max(t0 + (value - v0) * (t1 - t0) / (v1 - v0), t0), t1))


def _energy(result: Result, kind: str, element: Optional[str]) -> float:
    accounts = result.summary["energy"]["elements"]
    if element is None:
        return float(result.summary["energy"][kind])
    mine = [a["energy"] for a in accounts if a["element"] == element and a["kind"] == kind]
    if not mine:
        names = [a["element"] for a in accounts if a["kind"] == kind]
        raise MetricError(f"no element {element!r} has {kind} energy (these have: {', '.join(names) or 'none'})")
    return float(sum(mine))


@dataclass(frozen=True)
class Metric:
    """One of the named metrics; call it with a Result to get a float."""

    kind: str
    column: Optional[str] = None
    op: Optional[str] = None
    value: Optional[float] = None
    element: Optional[str] = None

    @property
    def columns(self) -> tuple[str, ...]:
        return (self.column,) if self.column is not None else ()

    def __call__(self, result: Result) -> float:
        if self.kind == "steps":
            return float(result.steps)
        if self.kind in ("dissipated", "supplied"):
            return _energy(result, self.kind, self.element)
        assert self.column is not None
        t, v = _column(result, self.column)
        if self.kind == "final":
            return float(v[-1])
        if self.kind == "max":
            return float(np.max(v))
        if self.kind == "min":
            return float(np.min(v))
        if self.kind == "integral":
            return float(np.trapz(v, t))
        if self.kind == "mean":
            return float(np.trapz(v, t) / (t[-1] - t[0]))
        if self.kind == "time_to":
            assert self.op is not None and self.value is not None
            return _first_crossing(t, v, self.op, self.value)
        raise MetricError(f"unknown metric {self.kind!r}")

    def __str__(self) -> str:
        if self.kind == "time_to":
            return f"time_to({self.column}, {self.op!r}, {self.value!r})"
        arg = self.column if self.column is not None else self.element
        return f"{self.kind}({arg or ''})"


def final(column: str) -> Metric:
    """The column's value at the last sample (the stop time)."""
    return Metric("final", column)


def max(column: str) -> Metric:  # noqa: A001 - the name users write
    """The column's largest sample (NaN if any sample is NaN)."""
    return Metric("max", column)


def min(column: str) -> Metric:  # noqa: A001
    """The column's smallest sample (NaN if any sample is NaN)."""
    return Metric("min", column)


def mean(column: str) -> Metric:
    """The column's time average over the run: its integral over the span."""
    return Metric("mean", column)


def integral(column: str) -> Metric:
    """∫ column dt over the run, by the trapezoidal rule over the samples
    (unit: the column's times seconds)."""
    return Metric("integral", column)


def time_to(column: str, op: str, value: float) -> Metric:
    """The first time [s] at which ``column op value`` holds, interpolated
    linearly between the samples around it; NaN if it never does. `op` is
    one of ``>=``, ``>``, ``<=``, ``<``."""
    if op not in _COMPARISONS:
        raise ValueError(f"time_to: the comparison is one of {', '.join(_COMPARISONS)}, not {op!r}")
    return Metric("time_to", column, op, float(value))


def dissipated(element: str) -> Metric:
    """The energy [J] the named element dissipated over the run."""
    return Metric("dissipated", element=element)


def supplied(element: Optional[str] = None) -> Metric:
    """The energy [J] supplied by every source and engine, or by the named one."""
    return Metric("supplied", element=element)


def steps() -> Metric:
    """The solver's steps."""
    return Metric("steps")


MetricLike = Union[Metric, Callable[[Result], Any]]

# The named metrics, each written once as its function above: its name,
# its parameters and their types, its docstring. The command line's
# NAME(ARGS) and its help are made from them.
CATALOGUE: dict[str, Callable[..., Metric]] = {
    f.__name__: f for f in (final, max, min, mean, integral, time_to, dissipated, supplied, steps)
}


def usage(name: str) -> str:
    """A metric's call as the command line writes it: time_to(COLUMN, OP, VALUE), supplied([ELEMENT])."""
    parameters = inspect.signature(CATALOGUE[name]).parameters.values()
    shown = [p.name.upper() if p.default is inspect.Parameter.empty else f"[{p.name.upper()}]" for p in parameters]
    return f"{name}({', '.join(shown)})"


def from_texts(name: str, texts: list[str]) -> Metric:
    """The metric `name` of arguments given as texts, each converted to its
    parameter's type. ValueError for an unknown name, a wrong count or a
    text that is not its parameter's type."""
    function = CATALOGUE.get(name)
    if function is None:
        raise ValueError(f"{name} is none of {', '.join(CATALOGUE)}")
    parameters = list(inspect.signature(function).parameters.values())
    required = sum(p.default is inspect.Parameter.empty for p in parameters)
    if not required <= len(texts) <= len(parameters):
        counts = str(required) if required == len(parameters) else f"{required} or {len(parameters)}"
        raise ValueError(f"{usage(name)} takes {counts} argument(s)")
    types = typing.get_type_hints(function)
    values: list[Any] = []
    for parameter, text in zip(parameters, texts):
        if types.get(parameter.name) is float:
            try:
                values.append(float(text))
            except ValueError:
                raise ValueError(f"{usage(name)}: {parameter.name.upper()} is a number, not {text!r}") from None
        else:
            values.append(text)
    return function(*values)


def columns_of(metrics: dict[str, MetricLike]) -> Optional[list[str]]:
    """The columns the metrics read, in order, or None when one is a plain
    callable whose needs are not known."""
    needed: list[str] = []
    for metric in metrics.values():
        if not isinstance(metric, Metric):
            return None
        needed += [c for c in metric.columns if c not in needed]
    return needed
