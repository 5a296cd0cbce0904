"""A study's samples in one HDF5 file, ``DIR/sweep.h5``: what every variant
of the table wrote, readable with h5py, pandas or MATLAB's h5read without
this package.

One group per row of the table, named by the row's index, zero-padded to
six digits (or more for a larger table) so that sorting the names (as h5py
and h5read list them) gives the table's order: ``000000``, ``000001``, ...
Each group's attributes: ``variant`` (the table's column, the hash that
names the variant's kept files), ``status``, ``message`` and each varied
place's value; a variant with samples has a dataset ``time`` [s] and one
dataset per CSV column, named as the CSV names it. The file's own
attribute ``varied`` lists the varied places.

The file is written under a temporary name beside its place and renamed,
so it is there complete or not at all; it is written whole each time (at
the end of a study, and of one that ended early, as the table is), so a
resumed study's file holds what an uninterrupted one's holds.
"""

from __future__ import annotations

import math
import os
import tempfile
from pathlib import Path
from typing import Any, Callable, Optional

import pandas as pd

from .result import read_csv_text

SAMPLES = "sweep.h5"


def _attribute(value: Any) -> Optional[Any]:
    # A varied value as HDF5 takes it: numbers and texts; nothing for a
    # place the variant does not set.
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return None
    if hasattr(value, "item"):
        value = value.item()
    return value if isinstance(value, (bool, int, float, str)) else str(value)


def _fill(file: Any, table: pd.DataFrame, places: list[str], samples: Callable[[str], Optional[str]]) -> None:
    file.attrs["varied"] = [str(p) for p in places]
    width = max(6, len(str(len(table) - 1)))
    for index, row in enumerate(table.itertuples(index=False, name=None)):
        values = dict(zip(table.columns, row))
        key = str(values["variant"])
        group = file.create_group(f"{index:0{width}d}")
        group.attrs["variant"] = key
        group.attrs["status"] = str(values["status"])
        group.attrs["message"] = str(values["message"])
        for place in places:
            value = _attribute(values[place])
            if value is not None:
                group.attrs[place] = value
        text = samples(key) if values["status"] == "ok" else None
        if text is None:
            continue
        data = read_csv_text(text)
        group.create_dataset("time", data=data.index.to_numpy(dtype=float))
        for column in data.columns:
            group.create_dataset(str(column), data=data[column].to_numpy(dtype=float))


def write_samples(folder: Path, table: pd.DataFrame, places: list[str],
                  samples: Callable[[str], Optional[str]]) -> Path:
    """Writes ``folder/sweep.h5`` from the table; `samples(key)` gives a
    variant's CSV text (None when it has none). Raises OSError naming the
    file when it cannot be written; leaves no partial file either way."""
    import h5py  # only for a study that keeps its runs

    path = folder / SAMPLES
    try:
        handle, temporary = tempfile.mkstemp(prefix=f".{SAMPLES}.", suffix=".partial", dir=folder)
        os.close(handle)
    except OSError as error:
        raise OSError(error.errno, error.strerror, str(path)) from None
    try:
        with h5py.File(temporary, "w") as file:
            _fill(file, table, places, samples)
        os.replace(temporary, path)
    except OSError as error:
        Path(temporary).unlink(missing_ok=True)
        raise OSError(error.errno, error.strerror, str(path)) from None
    except BaseException:
        Path(temporary).unlink(missing_ok=True)
        raise
    return path
