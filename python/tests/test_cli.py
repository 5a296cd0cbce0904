"""python3 -m dolvanex sweep: the table, the plot, bad arguments, and a
study killed in the middle that resumes."""

from __future__ import annotations

import json
import math
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pandas as pd
import pytest

from conftest import MOTOR_GEAR, group_ends, live_in_group, starts

# -P: the package on PYTHONPATH, not one the working folder happens to hold.
COMMAND = [sys.executable, "-P", "-m", "dolvanex", "sweep", str(MOTOR_GEAR)]


def sweep_command(*args: str, timeout: float = 120) -> subprocess.CompletedProcess:
    """The command in a session of its own, so that on a timeout its local
    cluster's workers and their tools end with it."""
    command = [*COMMAND, *args]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               start_new_session=True)
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        raise
    return subprocess.CompletedProcess(command, process.returncode, out, err)


def test_a_grid_from_the_shell_prints_writes_and_draws(tmp_path: Path) -> None:
    done = sweep_command("--vary", "gear=2,4", "--vary", "load.J=0.5:1.5:3", "--metric", "w=final(load.omega)",
                         "--metric", 't=time_to(gear.OMEGA2, ">=", 5)', "--workers", "2", "--out",
                         str(tmp_path / "out"), "--plot", str(tmp_path / "plot.svg"))
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].split() == ["gear", "load.J", "w", "t", "status", "message", "steps", "wall_time"]
    assert len(lines) == 1 + 6 + 3, done.stdout
    table = pd.read_csv(tmp_path / "out" / "sweep.csv", keep_default_na=False, na_values=[""])
    assert table["load.J"].tolist() == [0.5, 1.0, 1.5] * 2
    assert (table["status"] == "ok").all()
    svg = (tmp_path / "plot.svg").read_text()
    assert svg.startswith("<?xml") and "load.J = 0.5" in svg
    assert f"plot written to {tmp_path / 'plot.svg'}" in done.stdout


@pytest.mark.parametrize("args,part", [
    (["--vary", "gear=2"], "give at least one --metric"),
    (["--metric", "w=final(load.omega)"], "give at least one --vary"),
    (["--vary", "gear=2", "--metric", "w=nothing(x)"], "nothing is none of"),
    (["--vary", "gear=1:2", "--metric", "w=steps()"], "LO:HI:N"),
    (["--vary", "gear=2", "--vary", "gear=3", "--metric", "w=steps()"], "twice"),
    (["--vary", "gear=2", "--metric", "w=steps()", "--plot", "x.pdf"], ".png or an .svg"),
])
def test_bad_arguments_end_with_a_message_and_status_one(args: list, part: str) -> None:
    done = sweep_command(*args)
    assert done.returncode == 1
    assert done.stderr.startswith("dolvanex: ") and part in done.stderr, done.stderr


def test_a_study_killed_in_the_middle_resumes(wrapped_batch, tmp_path: Path) -> None:
    log = wrapped_batch("*) sleep 0.05;;")
    out = tmp_path / "out"
    args = ["--vary", "gear=1:8:12", "--vary", "load.J=0.5,1", "--metric", "w=final(load.omega)", "--workers", "1",
            "--out", str(out)]
    study = subprocess.Popen([*COMMAND, *args], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                             start_new_session=True)
    try:
        deadline = time.monotonic() + 60
        while len(list(out.glob("*.json"))) < 5:
            assert study.poll() is None, "the study ended before it was killed"
            assert time.monotonic() < deadline, "no variant was kept"
            time.sleep(0.01)
        # The command alone, as a crash would end it: its workers (threads
        # of its own) and their batch processes end with it.
        os.kill(study.pid, signal.SIGKILL)
        study.wait(15)
        group_ends(study.pid, 15)
    finally:
        if study.poll() is None or live_in_group(study.pid):
            os.killpg(study.pid, signal.SIGKILL)
            study.wait(15)
    kept = sorted(out.glob("*.json"))
    assert 5 <= len(kept) < 24
    assert not (out / "sweep.csv").exists()
    for summary in kept:
        json.loads(summary.read_text())
        assert summary.with_suffix(".csv").is_file(), "a summary is written after its CSV"
    before = starts(log)

    done = sweep_command(*args)
    assert done.returncode == 0, done.stderr
    assert starts(log) - before == 24 - len(kept), "only what was not kept runs again"
    table = pd.read_csv(out / "sweep.csv")
    assert len(table) == 24 and (table["status"] == "ok").all()
    fresh = sweep_command(*args[:-1], str(tmp_path / "fresh"))
    assert fresh.returncode == 0
    pd.testing.assert_frame_equal(table.drop(columns="wall_time"),
                                  pd.read_csv(tmp_path / "fresh" / "sweep.csv").drop(columns="wall_time"),
                                  check_exact=True)


def test_the_settings_reach_every_run_and_the_old_options_still_work(client, tmp_path: Path) -> None:
    def study(*extra: str) -> tuple[subprocess.CompletedProcess, pd.DataFrame]:
        out = tmp_path / f"out{len(list(tmp_path.iterdir()))}"
        done = sweep_command("--vary", "gear=2,4", "--metric", "w=final(load.omega)", "--scheduler",
                             client.scheduler.address, "--out", str(out), "--max-steps", "100000", *extra)
        return done, pd.read_csv(out / "sweep.csv", keep_default_na=False, na_values=[""])

    new, short = study("--stop-time", "3")
    old, kept = study("--stop", "3")
    assert new.returncode == 0 and new.stderr == "", new.stderr
    assert old.returncode == 0, old.stderr
    assert "dolvanex: --stop is deprecated and goes in the next release; use --stop-time" in old.stderr
    # motor-gear's load at 3 s: (K tau / d) (1 - exp(-t d / (J2 + K^2 J1))), tau 2, d 0.2, J1 0.01, J2 0.5.
    for k, w in zip([2, 4], short["w"]):
        assert w == pytest.approx(k * 10.0 * (1.0 - math.exp(-3.0 * 0.2 / (0.5 + k * k * 0.01))), rel=2e-5)
    assert short[["w", "variant"]].equals(kept[["w", "variant"]]), "the old option is the same setting"
