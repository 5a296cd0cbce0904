"""A real cluster: `dask scheduler` and two `dask worker` processes on
127.0.0.1, the sweep sent to the scheduler's address, the table the local
one; then again with a worker killed in the middle."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Iterator

import pandas as pd
import pytest

import dolvanex as dv
from conftest import MOTOR_GEAR, left_in_shm, same_table, shm_names

STARTUP = 60.0  # seconds for the scheduler and the workers to come up
STOP = 15.0     # for each process to end once asked to


class Cluster:
    def __init__(self, folder: Path, address: str, scheduler: subprocess.Popen,
                 workers: list[subprocess.Popen]) -> None:
        self.folder, self.address, self.scheduler, self.workers = folder, address, scheduler, workers


def _stop(process: subprocess.Popen) -> None:
    # Each process leads a session of its own: the tool runs a worker started
    # end with it.
    if process.poll() is None:
        try:
            os.killpg(process.pid, signal.SIGTERM)
            process.wait(STOP)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait(STOP)
        except ProcessLookupError:
            pass
    else:
        try:
            os.killpg(process.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


@pytest.fixture
def cluster(tmp_path: Path, tool: Path) -> Iterator[Cluster]:
    from distributed import Client

    package = str(Path(dv.__file__).resolve().parent.parent)
    # The workers' tool takes a tenth of a second more per run, so that a
    # worker is always busy with one and a kill finds the sweep half done.
    slow = tmp_path / "slow-tool.sh"
    slow.write_text(f'#!/bin/sh\nsleep 0.1\nexec "{tool}" "$@"\n')
    slow.chmod(0o755)
    env = dict(os.environ, PYTHONPATH=package, DOLVANEX_HOST=str(slow))
    # The workers work in a folder of their own, away from the caller's.
    home = tmp_path / "workers"
    home.mkdir()
    scheduler_file = tmp_path / "scheduler.json"
    dask = [sys.executable, "-m", "distributed.cli.dask_scheduler"]
    started: list[subprocess.Popen] = []
    try:
        started.append(subprocess.Popen(
            [*dask, "--host", "127.0.0.1", "--port", "0", "--no-dashboard", "--scheduler-file", str(scheduler_file)],
            cwd=home, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True))
        deadline = time.monotonic() + STARTUP
        while not scheduler_file.exists() or not scheduler_file.read_text().strip():
            assert started[0].poll() is None, "the scheduler ended"
            assert time.monotonic() < deadline, "the scheduler did not start"
            time.sleep(0.1)
        address = json.loads(scheduler_file.read_text())["address"]
        for n in range(2):
            started.append(subprocess.Popen(
                [sys.executable, "-m", "distributed.cli.dask_worker", address, "--nthreads", "1", "--no-nanny",
                 "--no-dashboard", "--host", "127.0.0.1", "--name", f"worker-{n}", "--local-directory",
                 str(home / f"w{n}")],
                cwd=home, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True))
        with Client(address, timeout="30s") as probe:
            probe.wait_for_workers(2, timeout=STARTUP)
        yield Cluster(tmp_path, address, started[0], started[1:])
    finally:
        for process in reversed(started):
            _stop(process)


SPACE = dv.grid({"gear": [1.5, 2.0, 3.0, 4.0, 6.0, 8.0], "load.J": [0.25, 0.5, -1.0, 1.0, 2.0]})
METRICS = {"w": dv.final("load.omega"), "t": dv.time_to("gear.OMEGA2", ">=", 5.0), "E": dv.dissipated("drag")}


@pytest.fixture(scope="module")
def local_table() -> pd.DataFrame:
    return dv.sweep(MOTOR_GEAR, SPACE, METRICS, workers=2)


def test_a_sweep_through_a_schedulers_address_gives_the_local_table(cluster: Cluster,
                                                                    local_table: pd.DataFrame) -> None:
    out = cluster.folder / "out"
    table = dv.sweep(MOTOR_GEAR, SPACE, METRICS, client=cluster.address, out=out)
    same_table(table, local_table)
    assert table["status"].value_counts().to_dict() == {"ok": 24, "failed": 6}
    # The runs read the workers' copies of the model, not the caller's file.
    key = table.loc[table["status"] == "ok", "variant"].iloc[0]
    ran = Path(json.loads((out / f"{key}.json").read_text())["model"])
    assert ran.is_relative_to(cluster.folder / "workers"), ran


def test_a_worker_killed_in_the_middle_loses_nothing(cluster: Cluster, local_table: pd.DataFrame) -> None:
    out = cluster.folder / "out"
    before = shm_names()
    done: dict[str, object] = {}

    def study() -> None:
        try:
            done["table"] = dv.sweep(MOTOR_GEAR, SPACE, METRICS, client=cluster.address, out=out)
        except BaseException as error:  # handed to the test's thread
            done["error"] = error

    runner = threading.Thread(target=study, daemon=True)
    runner.start()
    # Kill a worker once a few variants are kept and most are not.
    victim = cluster.workers[0]
    deadline = time.monotonic() + 60
    while len(list(out.glob("*.json"))) < 4:
        assert runner.is_alive() or "error" in done, "the sweep ended before the kill"
        assert time.monotonic() < deadline, "no variant completed"
        time.sleep(0.005)
    kept_at_kill = len(list(out.glob("*.json")))
    os.kill(victim.pid, signal.SIGKILL)
    victim.wait(STOP)
    runner.join(120)
    assert not runner.is_alive(), "the sweep did not finish after the kill"
    assert left_in_shm(before) == [], "the killed worker's folder went with the sweep"
    assert "error" not in done, done.get("error")
    assert kept_at_kill < len(SPACE), "the kill came in the middle"
    table = done["table"]
    assert isinstance(table, pd.DataFrame)
    same_table(table, local_table)
    assert (table["status"] != "timeout").all()
    assert not table["message"].str.contains("Dask task").any(), "every lost task ran again elsewhere"


def sweep_in_thread(cluster: Cluster, out: Path, **kwargs: object) -> tuple[threading.Thread, dict[str, object]]:
    done: dict[str, object] = {}

    def study() -> None:
        try:
            done["table"] = dv.sweep(MOTOR_GEAR, SPACE, METRICS, client=cluster.address, out=out, **kwargs)
        except BaseException as error:  # handed to the test's thread
            done["error"] = error

    runner = threading.Thread(target=study, daemon=True)
    runner.start()
    deadline = time.monotonic() + 60
    while len(list(out.glob("*.json"))) < 4:
        assert runner.is_alive(), f"the sweep ended before the fault: {done}"
        assert time.monotonic() < deadline, "no variant completed"
        time.sleep(0.005)
    return runner, done


LIMIT = 3.0  # the sweeps' cluster_timeout [s]


@pytest.mark.parametrize("fault,part", [
    ("scheduler", "the cluster at tcp://127.0.0.1:"),
    ("workers", "has had no worker for 3 s"),
])
def test_a_cluster_lost_mid_sweep_ends_it_and_another_finishes_it(cluster: Cluster, client, local_table: pd.DataFrame,
                                                                  fault: str, part: str) -> None:
    out = cluster.folder / "out"
    before = shm_names()
    runner, done = sweep_in_thread(cluster, out, cluster_timeout=LIMIT)
    for victim in [cluster.scheduler] if fault == "scheduler" else cluster.workers:
        os.killpg(victim.pid, signal.SIGKILL)
        victim.wait(STOP)
    runner.join(60)
    assert not runner.is_alive(), "the sweep did not end"
    error = done.get("error")
    assert isinstance(error, dv.SweepError), done
    message = str(error)
    assert part in message and f"kept in {out}" in message and "on this cluster or another" in message, message
    kept = {p.name.split(".")[0] for p in out.glob("*.json")}
    table = error.table
    assert set(table.loc[table["status"] != "cancelled", "variant"]) == kept
    assert (table["status"] == "cancelled").any()
    written = pd.read_csv(out / "sweep.csv")
    assert written[["variant", "status"]].equals(table[["variant", "status"]])
    assert left_in_shm(before) == [], "the killed workers' folders are gone"

    resumed = dv.sweep(MOTOR_GEAR, SPACE, METRICS, client=client, out=out)
    same_table(resumed, local_table)
