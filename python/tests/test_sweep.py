"""sweep(): closed forms over a grid, failed and stopped variants, the same
table whatever the workers and their order, and resuming from a folder."""

from __future__ import annotations

import errno
import io
import json
import math
import os
import random
import re
import shutil
import subprocess
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import dolvanex as dv
from conftest import MOTOR_GEAR, same_table, starts

# motor-gear: a torque tau drives J1 through the gear K onto J2 and a damper d.
TAU, J1, D, STOP = 2.0, 0.01, 0.2, 10.0


def final_speed(k: float, j2: float) -> float:
    """The load's speed at the stop time: (K·tau/d)·(1 - exp(-t/T)), T = (J2 + K²·J1)/d."""
    return k * TAU / D * (1.0 - math.exp(-STOP * D / (j2 + k * k * J1)))


def ratio(result: dv.Result) -> float:
    """A plain callable: the gear's factor as its speeds say it."""
    last = result.data.iloc[-1]
    return float(last["gear.OMEGA1"] / last["gear.OMEGA2"])


def test_a_grid_over_the_gear_and_the_load_meets_the_closed_form(client) -> None:
    ks, js = [0.5, 2.0, 4.0, 10.0], [0.25, 0.5, 2.0]
    table = dv.sweep(MOTOR_GEAR, dv.grid({"gear": ks, "load.J": js}),
                     {"w": dv.final("load.omega"), "K": ratio, "E": dv.dissipated("drag")}, client=client)
    assert list(table.columns) == ["gear", "load.J", "w", "K", "E", "status", "message", "steps", "wall_time",
                                   "variant"]
    assert (table["status"] == "ok").all(), table["message"].tolist()
    assert (table["message"] == "").all() and (table["steps"] > 0).all() and (table["wall_time"] > 0).all()
    for row in table.itertuples(index=False):
        assert row.w == pytest.approx(final_speed(row.gear, row[1]), rel=2e-5), (row.gear, row[1])
        assert row.K == pytest.approx(row.gear, rel=1e-10)  # the CSV holds 12 digits
    assert table["variant"].is_unique


def test_a_refused_value_is_a_failed_row_and_the_others_complete(client) -> None:
    space = [{"load.J": 0.5}, {"load.J": -1.0}, {"gear": "4", "load.J": 1.0}, {"gear": "2.5x"}]
    table = dv.sweep(MOTOR_GEAR, space, {"w": dv.final("load.omega"), "bad": dv.final("nope")}, client=client)
    assert table["status"].tolist() == ["failed"] * 4, "a metric that fails fails its row"
    table = dv.sweep(MOTOR_GEAR, space, {"w": dv.final("load.omega")}, client=client)
    assert table["status"].tolist() == ["ok", "failed", "ok", "failed"], table["message"].tolist()
    refused = table.loc[1, "message"]
    assert refused.startswith(f"dolvanex-host: --set load.J=-1.0: {MOTOR_GEAR}: /elements/2/J: must be positive")
    assert "instance 'gear'" in table.loc[3, "message"] and "2.5x" in table.loc[3, "message"]
    assert math.isnan(table.loc[1, "w"]) and pd.isna(table.loc[1, "steps"])
    assert table.loc[2, "w"] == pytest.approx(final_speed(4.0, 1.0), rel=2e-5)
    assert table.loc[0, "w"] == pytest.approx(final_speed(4.0, 0.5), rel=2e-5)


def jittered(result: dv.Result) -> float:
    """The final speed, after a random pause: variants finish out of order."""
    time.sleep(random.uniform(0.0, 0.05))
    return float(result.data["gear.OMEGA2"].iloc[-1])


def test_the_table_is_the_same_whatever_the_workers_and_their_order(client) -> None:
    space = dv.samples(12, {"gear": (1.0, 8.0), "load.J": (0.2, 2.0)}, seed=3)
    space.loc[5, "load.J"] = -0.5
    metrics = {"w": jittered, "t": dv.time_to("gear.OMEGA2", ">=", 5.0), "n": dv.steps()}
    two = dv.sweep(MOTOR_GEAR, space, metrics, client=client)
    one = dv.sweep(MOTOR_GEAR, space, metrics, workers=1)
    same_table(two, one)
    assert two["status"].tolist().count("failed") == 1
    pd.testing.assert_frame_equal(two[["gear", "load.J"]], space, check_exact=True)


def test_resume_runs_only_what_is_not_done(wrapped_batch, tmp_path: Path) -> None:
    # A variant stuck where the tool's own time check never comes: the
    # watchdog kills its batch process and the rest go on in another.
    log = wrapped_batch("""*'"load.J":"3.0"'*) exec sleep 30;;""")
    out = tmp_path / "out"
    space = dv.grid({"gear": [2, 4, 8], "load.J": [0.5, 1.0, -1.0, 3.0]})
    metrics = {"w": dv.final("load.omega")}
    first = dv.sweep(MOTOR_GEAR, space, metrics, out=out, timeout=1.0, workers=2)
    assert first["status"].tolist() == ["ok", "ok", "failed", "timeout"] * 3
    assert starts(log) == 12
    kept = {p.name for p in out.iterdir()}
    assert "sweep.csv" in kept and not [n for n in kept if "partial" in n]
    files = {"ok": [".csv", ".json"], "failed": [".failed.json"], "timeout": []}
    for key, status in zip(first["variant"], first["status"]):
        assert sorted(n for n in kept if n.startswith(key)) == sorted(key + s for s in files[status]), status
    table = pd.read_csv(out / "sweep.csv", keep_default_na=False, na_values=[""])
    assert table["variant"].tolist() == first["variant"].tolist()

    # A crash before two variants were complete: one lost its summary, the
    # other never got its files.
    lost = first.loc[[0, 5], "variant"].tolist()
    (out / f"{lost[0]}.json").unlink()
    (out / f"{lost[1]}.json").unlink()
    (out / f"{lost[1]}.csv").unlink()
    again = dv.sweep(MOTOR_GEAR, space, metrics, out=out, timeout=1.0, workers=2)
    assert starts(log) == 12 + 2 + 3, "the two lost variants and the three timeouts, nothing else"
    same_table(again, first)

    # Files cut short by something else than the sweep: those variants run again.
    damaged = first.loc[[1, 2], "variant"].tolist()
    (out / f"{damaged[0]}.json").write_text('{"format": 1, "sol')
    (out / f"{damaged[1]}.failed.json").write_text("")
    repaired = dv.sweep(MOTOR_GEAR, space, metrics, out=out, timeout=1.0, workers=2)
    assert starts(log) == 12 + 2 + 3 + 2 + 3
    same_table(repaired, first)

    # Everything done but the timeouts: no cluster needed for the rest, and
    # metrics are taken again from the kept files.
    table = dv.sweep(MOTOR_GEAR, space, {"w": dv.final("load.omega"), "top": dv.max("load.omega")}, out=out,
                     timeout=1.0, workers=1)
    assert starts(log) == 12 + 2 + 3 + 2 + 3 + 3
    ok = table["status"] == "ok"
    assert np.array_equal(table.loc[ok, "top"], table.loc[ok, "w"]), "the load only speeds up"


def test_a_sweep_into_a_folder_keeps_runs_readable_by_run_tools(client, tmp_path: Path) -> None:
    table = dv.sweep(MOTOR_GEAR, dv.grid({"gear": [3, 5]}), [dv.final("gear.K"), dv.final("gear.OMEGA2")],
                     client=client, out=tmp_path)
    for key, k in zip(table["variant"], [3, 5]):
        kept = dv.Result.from_files(tmp_path / f"{key}.csv", tmp_path / f"{key}.json")
        assert list(kept.data.columns) == ["gear.OMEGA2", "gear.K"], "only what the metrics read"
        assert kept.data["gear.K"].iloc[-1] == k
        assert json.loads((tmp_path / f"{key}.json").read_text())["exit_status"] == 0


def listening(pids: set[int]) -> list[str]:
    """The addresses the processes listen on, as `ss` shows them."""
    shown = subprocess.run(["ss", "-ltnpH"], capture_output=True, text=True, timeout=10, check=True).stdout
    found = []
    for line in shown.splitlines():
        owners = {int(p) for p in re.findall(r"pid=(\d+)", line)}
        if owners & pids:
            found.append(line.split()[3])
    return found


@pytest.mark.skipif(shutil.which("ss") is None, reason="needs ss (iproute2)")
def test_the_embedded_cluster_listens_on_loopback_only() -> None:
    from dolvanex.sweep import dask_client

    with dask_client(None, 2) as local:
        pids = {os.getpid(), *local.run(os.getpid).values()}
        addresses = listening(pids)
    assert pids == {os.getpid()}, "the embedded workers are threads of the caller's"
    assert addresses, "its HTTP servers at least"
    assert all(a.startswith("127.0.0.1:") for a in addresses), addresses


def test_sweeps_of_one_model_one_after_another_on_one_client_all_complete(client) -> None:
    # The model once went to the workers under a key made from its content:
    # the next sweep's copy was released with the last one's, and every task
    # of it was cancelled.
    for k in (2, 3, 4):
        table = dv.sweep(MOTOR_GEAR, dv.grid({"gear": [k]}), {"K": dv.final("gear.K")}, client=client)
        assert table["status"].tolist() == ["ok"], table["message"].tolist()
        assert table.loc[0, "K"] == k


@pytest.mark.parametrize("per_variant,remaining,slots,size", [
    (None, 64, 4, 1),       # nothing measured yet
    (0.5, 64, 4, 1),        # a long run is a task of its own
    (0.004, 1000, 4, 25),   # about a tenth of a second of short runs
    (0.004, 30, 4, 8),      # the last ones spread over every slot
    (0.004, 3, 4, 1),
    (1e-6, 10 ** 6, 4, 64),  # never more than 64 in one task
])
def test_a_task_holds_a_tenth_of_a_second_of_runs(per_variant, remaining: int, slots: int, size: int) -> None:
    from dolvanex.sweep import chunk_size

    assert chunk_size(per_variant, remaining, slots) == size


def test_a_run_stopped_by_a_signal_is_not_kept_as_refused(wrapped_batch, client, tool: Path, tmp_path: Path,
                                                         monkeypatch: pytest.MonkeyPatch) -> None:
    # The batch process killed from outside under a variant said nothing
    # about it: a resume runs it again.
    wrapped_batch("""*'"gear":"3"'*) kill -TERM 0;;\n*'"gear":"5"'*) kill -KILL 0;;""")
    out = tmp_path / "out"
    space = dv.grid({"gear": [2, 3, 5]})
    first = dv.sweep(MOTOR_GEAR, space, {"w": dv.final("load.omega")}, out=out, workers=1)
    assert first["status"].tolist() == ["ok", "failed", "failed"]
    ended = "the tool process ended while it ran this variant: dolvanex-host was killed by"
    assert first["message"].tolist()[1:] == [f"{ended} SIGTERM", f"{ended} SIGKILL"]
    assert not list(out.glob("*.failed.json"))
    # As an earlier release kept it: a refusal, which it was not.
    (out / f"{first.loc[1, 'variant']}.failed.json").write_text('{"message": "stopped", "exit_status": 143}')
    monkeypatch.setenv("DOLVANEX_HOST", str(tool))
    again = dv.sweep(MOTOR_GEAR, space, {"w": dv.final("load.omega")}, out=out, client=client)
    assert again["status"].tolist() == ["ok"] * 3
    assert again.loc[1, "w"] == pytest.approx(final_speed(3.0, 0.5), rel=2e-5)
    assert again.loc[2, "w"] == pytest.approx(final_speed(5.0, 0.5), rel=2e-5)


def test_a_full_disk_names_the_file_and_a_resume_finishes(client, tmp_path: Path, monkeypatch, capsys) -> None:
    from dolvanex.cli import main

    real, writes = os.fsync, []

    def full_after_three_variants(handle: int) -> None:
        writes.append(handle)
        if len(writes) > 6:  # a CSV and a summary each
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        real(handle)

    out = tmp_path / "out"
    args = ["sweep", str(MOTOR_GEAR), "--vary", "gear=1:8:8", "--metric", "w=final(load.omega)", "--scheduler",
            client.scheduler.address, "--out", str(out)]
    monkeypatch.setattr(os, "fsync", full_after_three_variants)
    assert main(args) == 1
    monkeypatch.undo()
    err = capsys.readouterr().err
    assert re.search(rf"^dolvanex: could not write {re.escape(str(out))}/\w+\.csv: No space left on device; "
                     r"3 of 8 variants complete, kept in ", err), err
    assert "the table could not be written either" in err and "the same sweep again" in err, err
    assert len(list(out.glob("*.json"))) == 3 and len(list(out.glob("*.csv"))) == 3
    assert not list(out.glob(".*")), "no partial file is left"

    assert main(args) == 0
    fresh = dv.sweep(MOTOR_GEAR, dv.grid({"gear": [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, 8.0]}),
                     {"w": dv.final("load.omega")}, client=client)
    same_table(pd.read_csv(out / "sweep.csv", keep_default_na=False, na_values=[""]),
               pd.read_csv(io.StringIO(fresh.to_csv(index=False)), keep_default_na=False, na_values=[""]))
