"""The plot of a sweep: each metric against the varied value(s)."""

from __future__ import annotations

import io
import os
from pathlib import Path
from typing import Optional, Sequence, Union

import pandas as pd

from .store import write_atomically
from .sweep import FIXED_COLUMNS

_FORMATS = {".png": "png", ".svg": "svg"}
# Beyond this many combinations of the other places, points are scattered
# and coloured by the second place instead of joined by lines.
_MAX_LINES = 8


def plot_format(file: Union[str, os.PathLike]) -> str:
    """"png" or "svg" by the file's extension; ValueError for any other."""
    form = _FORMATS.get(Path(file).suffix.lower())
    if form is None:
        raise ValueError(f"{file}: the plot is a .png or an .svg file")
    return form


def plot_sweep(
    table: pd.DataFrame,
    file: Union[str, os.PathLike],
    varied: Optional[Sequence[str]] = None,
    metrics: Optional[Sequence[str]] = None,
    title: str = "",
) -> Path:
    """Draws each metric of a sweep's table in a panel of its own over the
    first varied place: a line for each combination of the other places (a
    grid), or points coloured by the second (samples). Failed variants are
    gaps. Writes a PNG or an SVG by the file's extension, complete or not at
    all; returns its path. Raises ValueError for another extension."""
    path = Path(file)
    form = plot_format(path)
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    # sweep() notes which columns are which; a table read back from
    # sweep.csv needs them said.
    varied = list(varied if varied is not None else table.attrs.get("varied", []))
    if metrics is None:
        metrics = table.attrs.get("metrics") or [c for c in table.columns if c not in FIXED_COLUMNS + varied]
    metrics = list(metrics)
    if not varied or not metrics:
        raise ValueError("plot_sweep: say which columns are varied (varied=) and which are metrics")
    x, others = varied[0], list(varied[1:])
    by = others[0] if len(others) == 1 else others
    groups = list(table.groupby(by, sort=True, dropna=False)) if others else [((), table)]
    lines = len(groups) <= _MAX_LINES if others else True

    figure, axes = plt.subplots(len(metrics), 1, figsize=(7, 2.6 * len(metrics) + 0.6), sharex=True, squeeze=False)
    for axis, metric in zip(axes[:, 0], metrics):
        if lines:
            for values, group in groups:
                values = values if isinstance(values, tuple) else (values,)
                label = ", ".join(f"{p} = {v:g}" if isinstance(v, float) else f"{p} = {v}"
                                  for p, v in zip(others, values))
                ordered = group.sort_values(x)
                axis.plot(ordered[x], ordered[metric], marker="o", label=label or None)
            if others:
                axis.legend(fontsize="small")
        else:
            points = axis.scatter(table[x], table[metric], c=table[others[0]], cmap="viridis", s=18)
            figure.colorbar(points, ax=axis, label=others[0])
        axis.set_ylabel(metric, fontsize="small")
        axis.grid(True, alpha=0.3)
    axes[-1, 0].set_xlabel(x)
    if title:
        figure.suptitle(title)
    figure.tight_layout()
    buffer = io.BytesIO()
    figure.savefig(buffer, format=form, dpi=110)
    plt.close(figure)
    write_atomically(path, buffer.getvalue())
    return path
