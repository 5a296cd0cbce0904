"""Sweeps on `dolvanex-host batch`: a variant in a batch gives what a run of
its own gives, a variant that crashes the process or hangs fails alone, and
no batch process outlives the process that started it."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

import dolvanex as dv
from conftest import MOTOR_GEAR, batches_end, same_table
from dolvanex.batch import variant_line
from dolvanex.scratch import remove_stale
from dolvanex.tool import RunOptions

METRICS = {"w": dv.final("load.omega"), "n": dv.steps()}
BOUND = 30.0


@pytest.mark.parametrize("options,line", [
    (RunOptions.make(), {}),
    (RunOptions.make(changes={"load.J": 0.5, "simulation.energy": False}, params={"gear": 4}),
     {"set": {"load.J": "0.5", "simulation.energy": "false"}, "param": {"gear": "4"}}),
    (RunOptions.make(outputs="load.*"), {"output": ["load.*"]}),
    # The tool takes settings as JSON numbers and texts, by the model's keys.
    (RunOptions.make(settings={"method": "bdf2", "rtol": 1e-8, "start_time": "0.5", "stop_time": 2,
                               "max_steps": 1000, "output_interval": 0.01}),
     {"settings": {"method": "bdf2", "rtol": 1e-8, "start": 0.5, "stop": 2.0, "max_steps": 1000,
                   "output_interval": 0.01}}),
])
def test_a_variants_line_says_what_its_run_options_say(options: RunOptions, line: dict) -> None:
    assert variant_line(options, Path("/x/v.csv"), None) == {**line, "csv": "/x/v.csv"}
    assert variant_line(options, Path("/x/v.csv"), 2.5)["timeout"] == 2.5


def test_a_variant_in_a_batch_writes_what_a_run_of_its_own_writes(client, tmp_path: Path) -> None:
    space = [{"gear": 3, "load.J": 0.4}, {"gear": "2.5", "simulation.stop": 4.0}, {"load.J": 2.0}]
    table = dv.sweep(MOTOR_GEAR, space, METRICS, client=client, out=tmp_path, outputs=["load.*", "gear.K"],
                     method="bdf2", step=1e-3, rtol=1e-7)
    assert (table["status"] == "ok").all(), table["message"].tolist()
    for variant, key in zip(space, table["variant"]):
        alone = dv.run(MOTOR_GEAR, changes={k: v for k, v in variant.items() if k != "gear"},
                       params={"gear": variant["gear"]} if "gear" in variant else None,
                       outputs=["load.*", "gear.K"], method="bdf2", step=1e-3, rtol=1e-7)
        assert (tmp_path / f"{key}.csv").read_text() == alone.csv_text, variant


def broken_library(tool: Path) -> Path:
    library = tool.parent / "HostsimBroken.so"
    if not library.is_file():
        pytest.fail(f"{library} is not built (it comes with the tests' build)")
    return library


@pytest.mark.parametrize("workers", [1, 2])
def test_a_variant_that_aborts_the_tool_fails_alone(tool: Path, tmp_path: Path, workers: int) -> None:
    gears = [2, 3, "abort", 5, 6, "abort", 8]
    library = broken_library(tool)
    out = tmp_path / "out"
    table = dv.sweep(MOTOR_GEAR, dv.grid({"gear": gears}), METRICS, workers=workers, out=out, library=library)
    aborted = table["gear"] == "abort"
    assert table.loc[~aborted, "status"].eq("ok").all(), table["message"].tolist()
    assert table.loc[aborted, "status"].eq("failed").all()
    for message in table.loc[aborted, "message"]:
        assert message == "the tool process ended while it ran this variant: dolvanex-host was killed by SIGABRT"
    # The others give what they give without it, and the crash is no
    # decision of the tool's: nothing kept, a resume runs it again.
    alone = dv.sweep(MOTOR_GEAR, dv.grid({"gear": [g for g in gears if g != "abort"]}), METRICS, workers=1,
                     library=library)
    same_table(table.loc[~aborted].reset_index(drop=True).astype({"gear": int}), alone)
    assert not list(out.glob(f"{table.loc[aborted, 'variant'].iloc[0]}*"))


def test_the_tools_own_time_limit_is_a_timeout_and_the_rest_complete(client, tmp_path: Path) -> None:
    slow = {"gear": 3, "simulation.method": "euler", "simulation.step": 1e-6}
    space = [{"gear": 2}, slow, {"gear": 4}]
    began = time.monotonic()
    table = dv.sweep(MOTOR_GEAR, space, METRICS, client=client, out=tmp_path, timeout=0.3)
    assert time.monotonic() - began < 0.3 + 1.0 + BOUND / 2, "stopped by the tool, not after the run"
    assert table["status"].tolist() == ["ok", "timeout", "ok"], table["message"].tolist()
    assert table.loc[1, "message"] == "the run took longer than 0.3 s and was stopped"
    assert not list(tmp_path.glob(f"{table.loc[1, 'variant']}*")), "a timeout is not kept"


@pytest.mark.parametrize("answer", ["not json", '{"id": 3}', "[1, 2]"])
def test_an_answer_that_is_no_result_fails_its_variant_alone(wrapped_batch, answer: str) -> None:
    log = wrapped_batch(f"""*'"gear":"3"'*) echo '{answer}' >&3; continue;;""")
    table = dv.sweep(MOTOR_GEAR, dv.grid({"gear": [2, 3, 4, 5]}), METRICS, workers=1)
    assert table["status"].tolist() == ["ok", "failed", "ok", "ok"], table["message"].tolist()
    assert table.loc[1, "message"] == f"dolvanex-host batch wrote a line that is no result: {answer!r}"
    assert len(log.read_text().splitlines()) == 4, "each variant once"


# Runs one variant in a batch process, prints the process's id, then runs a
# long one (or none) and waits to be killed.
_HOLDER = """
import sys, threading, time
from pathlib import Path
from dolvanex.batch import BatchTool
from dolvanex.tool import RunOptions
tool = BatchTool(Path(sys.argv[1]))
tool.run({"set": {"simulation.stop": 0.1}}, 30.0)
print(tool.process.pid, flush=True)
if sys.argv[2] == "busy":
    tool.run({"settings": {"method": "euler", "step": 1e-8}}, 600.0)
time.sleep(600)
"""


@pytest.mark.parametrize("state", ["idle", "busy"])
def test_a_killed_worker_leaves_no_batch_process(tmp_path: Path, state: str) -> None:
    holder = subprocess.Popen([sys.executable, "-c", _HOLDER, str(MOTOR_GEAR), state], stdout=subprocess.PIPE,
                              text=True, start_new_session=True)
    try:
        line = holder.stdout.readline() if holder.stdout else ""
        assert line.strip().isdigit(), "the batch process did not start"
        batch = int(line)
        time.sleep(0.3)  # the busy one well into its run
        assert batches_end(str(MOTOR_GEAR), parent=holder.pid, bound=0.0) == [batch]
        os.kill(holder.pid, signal.SIGKILL)
        holder.wait(BOUND)
        assert batches_end(str(MOTOR_GEAR), bound=5.0).count(batch) == 0, "the batch process outlived its worker"
    finally:
        if holder.poll() is None:
            os.killpg(holder.pid, signal.SIGKILL)
            holder.wait(BOUND)
        remove_stale()  # the killed holder's folder, as the next sweep would
