"""The names of the package: one table of settings for every call and the
command line, the old names still working (with a DeprecationWarning that
names the new one), dict models everywhere, and the docs listing what the
code has."""

from __future__ import annotations

import inspect
import json
import re
import warnings
from typing import Any, Callable

import pandas as pd
import pytest

import dolvanex as dv
from dolvanex.cli import main
from dolvanex.metrics import CATALOGUE
from dolvanex.settings import SETTINGS
from conftest import EXAMPLES, MOTOR_GEAR, SOURCE

SHUFFLE = EXAMPLES / "driveline-shuffle" / "model.json"


def new_and_old(new: Callable[[], Any], old: Callable[[], Any], named: str) -> tuple[Any, Any]:
    """Both calls' results; the new one must not warn, the old one must warn once, naming `named`."""
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        fresh = new()
    with pytest.warns(DeprecationWarning) as caught:
        kept = old()
    assert len(caught) == 1 and f"use {named}=" in str(caught[0].message), [str(w.message) for w in caught]
    assert caught[0].filename == __file__, "the warning points at the caller's line"
    return fresh, kept


# (a call by the new names, the same by the old ones, the new name)
RENAMED = [
    ("run(set=)", lambda: dv.run(MOTOR_GEAR, changes={"load.J": 0.8}).csv_text,
     lambda: dv.run(MOTOR_GEAR, set={"load.J": 0.8}).csv_text, "changes"),
    ("run(start=)", lambda: dv.run(MOTOR_GEAR, start_time=0.5).csv_text,
     lambda: dv.run(MOTOR_GEAR, start=0.5).csv_text, "start_time"),
    ("run(stop=)", lambda: dv.run(MOTOR_GEAR, stop_time=2).csv_text,
     lambda: dv.run(MOTOR_GEAR, stop=2).csv_text, "stop_time"),
    ("modes(set=)", lambda: dv.modes(SHUFFLE, changes={"flywheel.J": 0.3}),
     lambda: dv.modes(SHUFFLE, set={"flywheel.J": 0.3}), "changes"),
    ("response(input=)", lambda: dv.response(SHUFFLE, "engine", "wheels.omega", points=20),
     lambda: dv.response(SHUFFLE, input="engine", output="wheels.omega", points=20), "source"),
]


@pytest.mark.parametrize("new,old,named", [r[1:] for r in RENAMED], ids=[r[0] for r in RENAMED])
def test_old_names_work_for_a_release_and_say_the_new_one(new, old, named: str) -> None:
    fresh, kept = new_and_old(new, old, named)
    if isinstance(fresh, pd.DataFrame):
        pd.testing.assert_frame_equal(fresh, kept, check_exact=True)
    else:
        assert fresh == kept


def test_a_sweep_takes_the_old_setting_names_too(client) -> None:
    space = dv.grid({"gear": [2, 4]})
    fresh, kept = new_and_old(lambda: dv.sweep(MOTOR_GEAR, space, {"w": dv.final("load.omega")}, client, stop_time=3),
                              lambda: dv.sweep(MOTOR_GEAR, space, {"w": dv.final("load.omega")}, client, stop=3),
                              "stop_time")
    pd.testing.assert_frame_equal(fresh.drop(columns="wall_time"), kept.drop(columns="wall_time"))
    assert (fresh["status"] == "ok").all()


@pytest.mark.parametrize("call,error,part", [
    (lambda: dv.run(MOTOR_GEAR, changes={"load.J": 1}, set={"load.J": 2}), TypeError, "give only changes="),
    (lambda: dv.run(MOTOR_GEAR, stop=1, stop_time=2), TypeError, "give only stop_time="),
    (lambda: dv.run(MOTOR_GEAR, stop_tme=1), TypeError, "unknown setting 'stop_tme'"),
    (lambda: dv.run(MOTOR_GEAR, rtol="tight"), TypeError, "rtol is a number"),
    (lambda: dv.run(MOTOR_GEAR, max_steps=2.5), ValueError, "whole number"),
    (lambda: dv.run(MOTOR_GEAR, stop_time=float("inf")), ValueError, "finite"),
    (lambda: dv.modes(SHUFFLE, atol=[1]), TypeError, "atol is a number"),
    (lambda: dv.sweep(MOTOR_GEAR, [{"gear": 2}], [dv.steps()], steps=3), TypeError, "unknown setting 'steps'"),
])
def test_a_setting_that_is_not_one_is_refused_before_any_run(call, error: type, part: str) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        with pytest.raises(error, match=re.escape(part)):
            call()


def test_modes_and_response_take_the_settings_for_their_run_to_the_time() -> None:
    # The shuffle model stops at 16 s: a time beyond it is refused, unless
    # the stop time is moved past it.
    with pytest.raises(dv.SimulationError, match="--at"):
        dv.modes(SHUFFLE, at=18)
    late = dv.modes(SHUFFLE, at=18, stop_time=20)
    assert late["rigid"].any() and len(late) == len(dv.modes(SHUFFLE, at=15.5))
    bode = dv.response(SHUFFLE, "engine", "wheels.omega", points=10, at=18, stop_time=20, rtol=1e-9)
    assert len(bode) == 10


def test_modes_and_response_take_a_dict_model(tmp_path, monkeypatch) -> None:
    model = json.loads(SHUFFLE.read_text())
    monkeypatch.chdir(tmp_path)  # a dict's relative files count from here; the shuffle names none
    pd.testing.assert_frame_equal(dv.modes(model, at=3.5), dv.modes(SHUFFLE, at=3.5), check_exact=True)
    pd.testing.assert_frame_equal(dv.response(model, "engine", "wheels.omega", points=30, at=3.5),
                                  dv.response(SHUFFLE, "engine", "wheels.omega", points=30, at=3.5), check_exact=True)
    with pytest.raises(dv.SimulationError) as refused:
        dv.response(model, "engine", "wheels.omega", changes={"flywheel.J": -1})
    assert "<model dict>: /elements/1/J: must be positive" in refused.value.message
    assert "dolvanex-model-" not in refused.value.message, "the message names the caller's model, not the copy"


def test_no_public_parameter_is_named_after_a_builtin() -> None:
    import builtins

    for name in dv.__all__:
        function = getattr(dv, name)
        if inspect.isfunction(function):
            clash = [p for p in inspect.signature(function).parameters if hasattr(builtins, p)]
            assert not clash, f"{name}() has parameters {clash}"


def test_every_call_and_the_command_line_show_every_setting(capsys) -> None:
    names = [s.name for s in SETTINGS]
    for function in (dv.run, dv.sweep, dv.modes, dv.response, dv.campbell, dv.order_response):
        parameters = inspect.signature(function).parameters
        assert [n for n in names if n in parameters] == names, function.__name__
        assert all(n in (function.__doc__ or "") for n in names)
    with pytest.raises(SystemExit):
        main(["sweep", "--help"])
    shown = capsys.readouterr().out
    assert all(f"--{s.name.replace('_', '-')} " in shown for s in SETTINGS)
    assert "--start " not in shown and "--stop " not in shown, "the old options are not advertised"


def test_the_docs_list_the_metrics_and_settings_the_code_has() -> None:
    text = (SOURCE / "docs" / "python.md").read_text()
    table = re.findall(r"^\| `([a-z_]+)\(", text, re.MULTILINE)
    assert sorted(set(table)) == sorted(CATALOGUE), "the docs' metric table"
    for setting in SETTINGS:
        assert f"`{setting.name}`" in text and setting.name.replace("_", "-") in text, setting.name
