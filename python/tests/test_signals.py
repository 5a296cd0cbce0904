"""A study stopped by SIGINT, SIGTERM or SIGHUP, sent to the command or to its
whole process group (Ctrl-C, a closed terminal): it ends with 128 + the
signal, stops its runs, leaves nothing in /dev/shm or the temporary folder
and writes the table of what completed, which a resume replaces with the
whole one. sweep() from Python raises KeyboardInterrupt after the same."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Callable, Iterator

import pandas as pd
import pytest

import dolvanex as dv
from conftest import MOTOR_GEAR, batches_end, group_ends, left_in, left_in_shm, live_in_group, same_table, shm_names

# A signal this process ignores (nohup) its children ignore too; the
# package then leaves it alone, as it should.
SIGNALS = [pytest.param(s, marks=pytest.mark.skipif(signal.getsignal(s) == signal.SIG_IGN,
                                                    reason=f"{s.name} is ignored here"))
           for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)]
HANDLED = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]
SPACE = dv.grid({"gear": [1.5, 2.0, 3.0, 4.0, 6.0, 8.0], "load.J": [0.25, 0.5, 1.0, -1.0]})
METRICS = {"w": dv.final("load.omega"), "n": dv.steps()}
ARGS = ["--vary", "gear=1.5,2.0,3.0,4.0,6.0,8.0", "--vary", "load.J=0.25,0.5,1.0,-1.0", "--metric",
        "w=final(load.omega)", "--metric", "n=steps()", "--workers", "1"]
BOUND = 30.0  # seconds: a wait that would otherwise hang


@pytest.fixture(scope="module")
def whole(client, tmp_path_factory: pytest.TempPathFactory) -> Path:
    """The table of the study run without a stop."""
    out = tmp_path_factory.mktemp("whole")
    dv.sweep(MOTOR_GEAR, SPACE, METRICS, client=client, out=out)
    return out / "sweep.csv"


def wait_for_kept(out: Path, count: int, process: subprocess.Popen | None = None) -> int:
    deadline = time.monotonic() + BOUND
    while len(list(out.glob("*.json"))) < count:
        assert process is None or process.poll() is None, "the study ended before the signal"
        assert time.monotonic() < deadline, "no variant was kept"
        time.sleep(0.01)
    return len(list(out.glob("*.json")))


def check_partial(out: Path, table: pd.DataFrame) -> None:
    """The table of an interrupted study: what is kept is ok, the rest cancelled."""
    kept = {p.name.split(".")[0] for p in out.glob("*.json")}
    done = table["status"] != "cancelled"
    assert set(table.loc[done, "variant"]) == kept, "a row for every kept variant, no other"
    assert set(table.loc[done, "status"]) <= {"ok", "failed"} and (~done).any()
    assert not list(out.glob(".*partial")), "no file half written"


@pytest.mark.parametrize("to_group", [False, True], ids=["process", "group"])
@pytest.mark.parametrize("number", SIGNALS, ids=lambda n: n.name)
def test_a_signal_stops_the_study_and_leaves_its_table(wrapped_batch, client, whole: Path, tmp_path: Path,
                                                       number: int, to_group: bool) -> None:
    wrapped_batch("*) sleep 0.1;;")
    out, temporary = tmp_path / "out", tmp_path / "tmp"
    temporary.mkdir()
    before = shm_names()
    study = subprocess.Popen([sys.executable, "-P", "-m", "dolvanex", "sweep", str(MOTOR_GEAR), *ARGS, "--out",
                              str(out)], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             start_new_session=True, env=dict(os.environ, TMPDIR=str(temporary)))
    try:
        wait_for_kept(out, 3, study)
        (os.killpg if to_group else os.kill)(study.pid, number)
        _, err = study.communicate(timeout=BOUND)
        assert group_ends(study.pid), f"processes of the study outlived it: {live_in_group(study.pid)}"
    finally:
        if study.poll() is None or live_in_group(study.pid):
            os.killpg(study.pid, signal.SIGKILL)
            study.wait(BOUND)
    assert study.returncode == 128 + number, err
    name = signal.Signals(number).name
    assert f"dolvanex: stopped by {name};" in err and f"kept in {out}" in err, err
    assert "Traceback" not in err, err
    check_partial(out, pd.read_csv(out / "sweep.csv"))
    assert left_in(temporary) == [] and left_in_shm(before) == []
    assert batches_end(str(temporary)) == [], "a batch process outlived its study"

    dv.sweep(MOTOR_GEAR, SPACE, METRICS, client=client, out=out)
    same_table(pd.read_csv(out / "sweep.csv"), pd.read_csv(whole))


def slow(result: dv.Result) -> float:
    """A metric that takes its time, so that a signal finds the study half done."""
    time.sleep(0.1)
    return float(result.data["load.omega"].iloc[-1])


@pytest.fixture
def signal_when_kept() -> Iterator[Callable[[int, Path, int], None]]:
    threads = []

    def send(number: int, out: Path, count: int) -> None:
        def later() -> None:
            wait_for_kept(out, count)
            os.kill(os.getpid(), number)

        thread = threading.Thread(target=later, daemon=True)
        thread.start()
        threads.append(thread)

    yield send
    for thread in threads:
        thread.join(BOUND)


@pytest.mark.parametrize("number", SIGNALS, ids=lambda n: n.name)
def test_sweep_from_python_raises_keyboard_interrupt_after_its_clean_up(client, signal_when_kept, tmp_path: Path,
                                                                      number: int) -> None:
    out = tmp_path / "out"
    handlers = [signal.getsignal(s) for s in HANDLED]
    signal_when_kept(number, out, 3)
    with pytest.raises(KeyboardInterrupt) as caught:
        dv.sweep(MOTOR_GEAR, SPACE, {"w": slow}, client=client, out=out)
    stop = caught.value
    assert isinstance(stop, dv.Interrupted) and stop.signal == number
    assert f"stopped by {signal.Signals(number).name}" in str(stop)
    check_partial(out, stop.table)
    written = pd.read_csv(out / "sweep.csv")
    assert written[["variant", "status"]].equals(stop.table[["variant", "status"]])
    assert [signal.getsignal(s) for s in HANDLED] == handlers, "the caller's handlers are back"
    assert batches_end("", parent=os.getpid()) == [], "the study's batch processes were ended"
    deadline = time.monotonic() + BOUND
    while any(client.processing().values()):
        assert time.monotonic() < deadline, "the study's tasks still run on the workers"
        time.sleep(0.05)
