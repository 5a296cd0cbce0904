"""``out=DIR/sweep.h5``: every variant's samples in one HDF5 file, each
group what the variant's CSV holds, with its varied values and status; the
file of an interrupted and resumed study is that of one never stopped."""

from __future__ import annotations

import os
import signal
import threading
import time
from pathlib import Path
from typing import Any

import h5py
import numpy as np
import pandas as pd
import pytest

import dolvanex as dv
from conftest import MOTOR_GEAR

BOUND = 30.0
SPACE = dv.grid({"gear": [2, 3.5, 5], "load.J": [0.5, -1.0, 2.0]})


def content(path: Path) -> dict[str, Any]:
    """Everything the file holds, by group: attributes and datasets."""
    found: dict[str, Any] = {}
    with h5py.File(path, "r") as file:
        found["/"] = dict(file.attrs)
        found["order"] = list(file)
        for key, group in file.items():
            found[key] = ({n: group.attrs[n] for n in group.attrs}, {n: group[n][()] for n in group})
    return found


def same_content(a: dict[str, Any], b: dict[str, Any]) -> None:
    assert a.keys() == b.keys() and a["order"] == b["order"]
    assert list(a["/"]["varied"]) == list(b["/"]["varied"])
    for key in a["order"]:
        (attrs_a, data_a), (attrs_b, data_b) = a[key], b[key]
        assert attrs_a == attrs_b, key
        assert data_a.keys() == data_b.keys(), key
        for name in data_a:
            assert np.array_equal(data_a[name], data_b[name]), (key, name)


def test_one_file_holds_every_variants_samples_and_values(client, tmp_path: Path) -> None:
    table = dv.sweep(MOTOR_GEAR, SPACE, {"w": dv.final("load.omega")}, client=client, out=tmp_path,
                     outputs=["load.*", "gear.K"])
    with h5py.File(tmp_path / "sweep.h5", "r") as file:
        assert list(file.attrs["varied"]) == ["gear", "load.J"]
        assert list(file) == [f"{i:06d}" for i in range(len(table))], "a group per row, in the table's order"
        for index, row in table.iterrows():
            group = file[f"{index:06d}"]
            assert group.attrs["variant"] == row["variant"] and group.attrs["status"] == row["status"]
            assert group.attrs["gear"] == row["gear"] and group.attrs["load.J"] == row["load.J"]
            assert group.attrs["message"] == row["message"]
            if row["status"] != "ok":
                assert len(group) == 0, "a failed variant has no samples"
                continue
            csv = pd.read_csv(tmp_path / f"{row['variant']}.csv", float_precision="round_trip")
            assert sorted(group) == sorted(csv.columns)
            for column in csv.columns:
                assert np.array_equal(group[column][()], csv[column].to_numpy()), column
            assert group["load.omega"][-1] == row["w"]
    assert table["status"].value_counts().to_dict() == {"ok": 6, "failed": 3}
    assert not list(tmp_path.glob(".*partial"))


def slow(result: dv.Result) -> float:
    time.sleep(0.1)
    return float(result.data["load.omega"].iloc[-1])


def test_an_interrupted_and_resumed_study_writes_the_file_of_one_never_stopped(client, tmp_path: Path) -> None:
    whole, out = tmp_path / "whole", tmp_path / "out"
    dv.sweep(MOTOR_GEAR, SPACE, {"w": slow}, client=client, out=whole)

    def interrupt() -> None:
        deadline = time.monotonic() + BOUND
        while len(list(out.glob("*.json"))) < 2 and time.monotonic() < deadline:
            time.sleep(0.01)
        os.kill(os.getpid(), signal.SIGINT)

    thread = threading.Thread(target=interrupt, daemon=True)
    thread.start()
    with pytest.raises(dv.Interrupted) as caught:
        dv.sweep(MOTOR_GEAR, SPACE, {"w": slow}, client=client, out=out)
    thread.join(BOUND)
    partial = content(out / "sweep.h5")
    statuses = {key: partial[key][0]["status"] for key in partial["order"]}
    assert list(statuses.values()) == caught.value.table["status"].tolist(), "as the table is"
    assert "cancelled" in statuses.values()
    assert all(len(partial[k][1]) > 0 for k, s in statuses.items() if s == "ok")

    dv.sweep(MOTOR_GEAR, SPACE, {"w": slow}, client=client, out=out)
    same_content(content(out / "sweep.h5"), content(whole / "sweep.h5"))
    assert not list(out.glob(".*partial"))
