"""run(): exactly the tool's CSV and summary, its failures as SimulationError."""

from __future__ import annotations

import io
import json
import os
import shutil
import time
from pathlib import Path

import pandas as pd
import pytest

import dolvanex as dv
from dolvanex.model import ModelBundle
from dolvanex.result import read_csv_text
from conftest import EXAMPLES, MOTOR_GEAR, run_tool

# run() keyword arguments and the tool's arguments that mean the same.
SAME_RUNS = [
    ("motor-gear", {}, []),
    ("motor-gear", {"changes": {"load.J": 0.8}, "params": {"gear": 2.5}, "stop_time": 3},
     ["--set", "load.J=0.8", "--param", "gear=2.5", "--stop-time", "3"]),
    ("motor-gear", {"method": "bdf2", "step": 0.002, "outputs": ["gear.OMEGA*", "load.omega"]},
     ["--method", "bdf2", "--step", "0.002", "--output", "gear.OMEGA*", "--output", "load.omega"]),
    ("vehicle-launch", {"outputs": ["vehicle.omega", "clutch.*"], "rtol": 1e-6, "output_interval": 0.1},
     ["--output", "vehicle.omega", "--output", "clutch.*", "--rtol", "1e-06", "--output-interval", "0.1"]),
    ("clutch-lockup", {"start_time": 0.5, "atol": 1e-9, "max_step": 0.01, "max_steps": 100000},
     ["--start-time", "0.5", "--atol", "1e-09", "--max-step", "0.01", "--max-steps", "100000"]),
]


@pytest.mark.parametrize("example,kwargs,args", SAME_RUNS)
def test_run_gives_exactly_the_tools_csv(tool: Path, tmp_path: Path, example: str, kwargs: dict, args: list) -> None:
    model = EXAMPLES / example / "model.json"
    done = run_tool(tool, "run", str(model), *args, "--csv", str(tmp_path / "tool.csv"))
    assert done.returncode == 0, done.stderr
    text = (tmp_path / "tool.csv").read_text()
    result = dv.run(model, **kwargs)
    assert result.csv_text == text
    expected = pd.read_csv(tmp_path / "tool.csv", float_precision="round_trip", dtype=float).set_index("time")
    pd.testing.assert_frame_equal(result.data, expected, check_exact=True)
    assert result.data.index.name == "time"
    assert list(result.data.columns) == text.splitlines()[0].split(",")[1:]
    assert result.summary["format"] == 1 and result.summary["exit_status"] == 0
    assert result.steps == result.summary["solver"]["steps"] > 0


def test_result_events_and_energy_follow_the_summary() -> None:
    result = dv.run(EXAMPLES / "vehicle-launch" / "model.json", outputs=["vehicle.omega"])
    events = result.events
    summary = result.summary
    assert len(events) == sum(max(1, len(ev["modes"])) for ev in summary["events"])
    locks = events[(events["element"] == "clutch") & (events["mode"] == "stuck")]
    assert len(locks) >= 4, "the clutch locks after pulling away and after each of three shifts"
    assert (locks["kind"] == "crossing").all()
    plain = events[events["element"].isna()]
    assert set(plain["kind"]) <= {"start", "breakpoint"}
    energy = result.energy
    assert energy.loc["engine", "kind"] == "supplied"
    assert energy.loc[energy["kind"] == "dissipated", "energy"].sum() == pytest.approx(
        summary["energy"]["dissipated"], rel=1e-12)


# Each bad run: run() keyword arguments, the same for the tool, a part of the message.
BAD_RUNS = [
    ({"changes": {"load.J": -1}}, ["--set", "load.J=-1"], "/elements/2/J: must be positive"),
    ({"changes": {"nobody.J": 1}}, ["--set", "nobody.J=1"], "nobody"),
    ({"params": {"nogear": 2}}, ["--param", "nogear=2"], "no instance named 'nogear'"),
    ({"outputs": ["gear.omega*"]}, ["--output", "gear.omega*"], "matches no column"),
    ({"stop_time": -1}, ["--stop-time", "-1"], "the settings given on the command line"),
    ({"max_steps": 5}, ["--max-steps", "5"], "5"),
    ({"method": "rk4"}, ["--method", "rk4"], "rk4"),
]


@pytest.mark.parametrize("kwargs,args,part", BAD_RUNS)
def test_failed_run_raises_with_the_tools_message(tool: Path, kwargs: dict, args: list, part: str) -> None:
    done = run_tool(tool, "run", str(MOTOR_GEAR), *args)
    assert done.returncode == 1
    with pytest.raises(dv.SimulationError) as caught:
        dv.run(MOTOR_GEAR, **kwargs)
    assert caught.value.status == 1
    assert caught.value.message == done.stderr.strip()
    assert part in caught.value.message
    assert caught.value.result is None


# Stand-in tools: the body of a shell script with the real tool in $REAL.
ODD_TOOLS = [
    ("a failed check after a complete run", '"$REAL" "$@" >/dev/null; echo "dolvanex-host: check failed" >&2; exit 2',
     2, "dolvanex-host: check failed"),
    ("a crash", 'kill -SEGV $$', -11, "dolvanex-host was killed by SIGSEGV"),
    ("an exit without a message", 'exit 3', 3, "dolvanex-host ended with exit status 3"),
    ("success without files", 'exit 0', 0, "dolvanex-host ended with exit status 0 but its files cannot be read"),
]


@pytest.mark.parametrize("what,body,status,message", ODD_TOOLS)
def test_a_tool_that_misbehaves_is_a_simulation_error(wrapped_tool, what: str, body: str, status: int,
                                                       message: str) -> None:
    wrapped_tool(body)
    with pytest.raises(dv.SimulationError) as caught:
        dv.run(MOTOR_GEAR)
    assert caught.value.status == status, what
    assert caught.value.message.startswith(message), caught.value.message
    if status == 2:
        assert len(caught.value.result.data) == 201, "a run that completed keeps its result"


def test_a_run_beyond_its_timeout_is_stopped(wrapped_tool) -> None:
    wrapped_tool("exec sleep 30")
    began = time.monotonic()
    with pytest.raises(dv.SimulationError) as caught:
        dv.run(MOTOR_GEAR, timeout=0.5)
    assert time.monotonic() - began < 10
    assert caught.value.status is None
    assert "longer than 0.5 s" in caught.value.message


def test_a_model_dict_runs_with_its_csv_inputs_from_the_current_folder(tmp_path: Path, monkeypatch) -> None:
    (tmp_path / "data").mkdir()
    (tmp_path / "data" / "torque.csv").write_text("time,torque\n0,0\n1,2\n10,2\n")
    model = json.loads(MOTOR_GEAR.read_text())
    model["elements"][0]["torque"] = {"type": "csv", "file": "data/torque.csv", "column": "torque"}
    (tmp_path / "model.json").write_text(json.dumps(model))
    monkeypatch.chdir(tmp_path)
    from_dict = dv.run(model)
    from_file = dv.run(tmp_path / "model.json")
    assert from_dict.csv_text == from_file.csv_text
    assert from_file.csv_text != dv.run(MOTOR_GEAR).csv_text, "the ramp from the CSV file drives it"

    model["elements"][0]["torque"]["column"] = "nope"
    with pytest.raises(dv.SimulationError) as caught:
        dv.run(model)
    assert "<model dict>" in caught.value.message and str(tmp_path / "data" / "torque.csv") in caught.value.message
    assert "dolvanex-model-" not in caught.value.message, "the message names the caller's files, not the copies"


def _file(folder: Path, name: str, text: str) -> Path:
    (folder / name).write_text(text)
    return folder / name


BAD_MODELS = [
    ("a file that is not there", lambda d: d / "none.json", "none.json"),
    ("a file that is not JSON", lambda d: _file(d, "bad.json", "{"), "not valid JSON"),
    ("a key twice", lambda d: _file(d, "twice.json", '{"nodes": [], "nodes": []}'), "the key 'nodes' appears twice"),
    ("a dict with NaN", lambda d: {"nodes": ["a"], "simulation": {"stop": float("nan")}}, "not a JSON model"),
    ("a csv input that is not there",
     lambda d: {"nodes": ["a"], "elements": [{"type": "torque_source", "node": "a",
                                               "torque": {"type": "csv", "file": "gone.csv", "column": "x"}}]},
     "gone.csv"),
]


@pytest.mark.parametrize("what,make,part", BAD_MODELS)
def test_a_model_that_cannot_be_bundled_is_named(tmp_path: Path, monkeypatch, what: str, make, part: str) -> None:
    monkeypatch.chdir(tmp_path)
    with pytest.raises((dv.ModelError, OSError)) as caught:
        ModelBundle.load(make(tmp_path))
    assert part in str(caught.value), what


def test_a_bundle_runs_where_its_source_files_are_gone(tmp_path: Path) -> None:
    source = tmp_path / "source"
    shutil.copytree(EXAMPLES / "motor-gear", source)
    (source / "drive.csv").write_text("time,torque\n0,2\n10,2\n")
    model = json.loads((source / "model.json").read_text())
    model["elements"][0]["torque"] = {"type": "csv", "file": "drive.csv", "column": "torque"}
    (source / "model.json").write_text(json.dumps(model))
    expected = dv.run(source / "model.json").csv_text
    bundle = ModelBundle.load(source / "model.json")
    shutil.rmtree(source)
    elsewhere = tmp_path / "worker"
    elsewhere.mkdir()
    result = dv.run(bundle.materialise(elsewhere))
    assert result.csv_text == expected
    assert result.summary["model"] == str(elsewhere / "model.json")


def test_the_tool_is_found_by_variable_then_beside_the_package(tool: Path, monkeypatch) -> None:
    monkeypatch.setenv("DOLVANEX_HOST", "/no/such/tool")
    with pytest.raises(FileNotFoundError, match="/no/such/tool"):
        dv.find_tool()
    monkeypatch.delenv("DOLVANEX_HOST")
    beside = Path(dv.__file__).resolve().parent.parent.parent / "dolvanex-host"
    if not beside.exists():
        pytest.skip(f"the package under test has no tool beside it ({beside})")
    assert dv.find_tool() == beside
    assert os.path.samefile(beside, tool)


def test_csv_text_reads_back_every_bit() -> None:
    frame = read_csv_text("time,x\n0,0.1\n1,2.0000000000000004\n2,1e-320\n")
    assert frame["x"].tolist() == [0.1, 2.0000000000000004, 1e-320]


@pytest.mark.parametrize("rows", [3, 5000], ids=["small", "large"])
def test_both_csv_readers_give_the_same_frame(rows: int) -> None:
    t = [i * 0.001 for i in range(rows)]
    text = "time,a.x,b.y\n" + "".join(f"{v!r},{(v * 7.1) ** 0.5!r},{-v / 3!r}\n" for v in t)
    frame = read_csv_text(text)
    expected = pd.read_csv(io.StringIO(text), float_precision="round_trip", dtype=float).set_index("time")
    pd.testing.assert_frame_equal(frame, expected, check_exact=True)
    assert len(text) > 64 * 1024 if rows > 1000 else len(text) < 64 * 1024
