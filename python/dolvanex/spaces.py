"""Parameter spaces of a sweep: a DataFrame, one row per variant, one
column per place (an instance's name, or a --set place)."""

from __future__ import annotations

import itertools
from typing import Any, Iterable, Mapping, Optional, Sequence, Union

import numpy as np
import pandas as pd

SpaceLike = Union[pd.DataFrame, Sequence[Mapping[str, Any]]]


def grid(values: Mapping[str, Iterable[Any]]) -> pd.DataFrame:
    """Every combination of the values, the first place varying slowest:
    ``grid({"final_drive": [3.2, 3.5, 3.9], "vehicle.J": [120, 137, 160]})``
    gives nine variants."""
    places = list(values)
    columns = [list(values[p]) for p in places]
    for place, column in zip(places, columns):
        if not column:
            raise ValueError(f"grid: {place!r} has no values")
    return pd.DataFrame(list(itertools.product(*columns)), columns=places)


def samples(
    n: int,
    ranges: Mapping[str, tuple[float, float]],
    method: str = "lhs",
    seed: Optional[int] = None,
) -> pd.DataFrame:
    """`n` variants drawn from the ranges ``{place: (low, high)}``: a Latin
    hypercube (``"lhs"``, scipy.stats.qmc: each of n equal slices of every
    range holds exactly one variant) or independent uniform draws
    (``"random"``). The same seed gives the same variants."""
    if n < 1:
        raise ValueError("samples: n must be at least 1")
    places = list(ranges)
    if not places:
        raise ValueError("samples: no range given")
    low = np.array([float(ranges[p][0]) for p in places])
    high = np.array([float(ranges[p][1]) for p in places])
    if not np.all(low < high):
        raise ValueError("samples: every range needs low < high")
    # Imported here: scipy.stats takes half a second, a third of a short
    # study's start, and a grid never needs it.
    from scipy.stats import qmc

    if method == "lhs":
        unit = qmc.LatinHypercube(d=len(places), seed=seed).random(n)
    elif method == "random":
        unit = np.random.default_rng(seed).random((n, len(places)))
    else:
        raise ValueError(f"samples: the method is 'lhs' or 'random', not {method!r}")
    return pd.DataFrame(qmc.scale(unit, low, high), columns=places)


def _plain(value: Any) -> Any:
    # numpy scalars become Python numbers: their text and hash are then
    # the same whichever way the space was built.
    return value.item() if isinstance(value, np.generic) else value


def variants(space: SpaceLike) -> tuple[list[str], list[dict[str, Any]]]:
    """The places and the variants of a space, in order."""
    if isinstance(space, pd.DataFrame):
        places = [str(c) for c in space.columns]
        rows = [{p: _plain(v) for p, v in zip(places, row)} for row in space.itertuples(index=False, name=None)]
        return places, rows
    rows = [dict(row) for row in space]
    places: list[str] = []
    for row in rows:
        places += [str(p) for p in row if p not in places]
    return places, [{p: _plain(v) for p, v in row.items()} for row in rows]
