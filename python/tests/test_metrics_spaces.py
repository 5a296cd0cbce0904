"""Metrics against closed forms on made-up runs; spaces: grid order, Latin
hypercube strata, seeds."""

from __future__ import annotations

import json
import math

import numpy as np
import pandas as pd
import pytest

import dolvanex as dv
from dolvanex.cli import parse_metric, parse_vary
from dolvanex.spaces import variants
from dolvanex.sweep import metric_map, output_choice
from dolvanex.model import ModelBundle
from conftest import MOTOR_GEAR


def made_up(t: np.ndarray, **columns: np.ndarray) -> dv.Result:
    """A Result with the given columns over t and a small energy account."""
    frame = pd.DataFrame({"time": t, **columns})
    summary = {"solver": {"steps": 42}, "events": [],
               "energy": {"supplied": 10.0, "dissipated": 7.0,
                          "elements": [{"element": "drive", "kind": "supplied", "energy": 10.0},
                                       {"element": "clutch", "kind": "dissipated", "energy": 4.0},
                                       {"element": "drag", "kind": "dissipated", "energy": 3.0}]}}
    return dv.Result(frame.to_csv(index=False, na_rep="nan"), json.dumps(summary))


T = np.linspace(0.0, 2.0, 201)
RUN = made_up(T, ramp=3.0 * T, fall=1.0 - T, hump=np.sin(np.pi * T / 2.0), flat=np.full_like(T, 5.0))

# metric, its closed form (tolerance: the trapezoidal rule on 201 samples).
CLOSED_FORMS = [
    (dv.final("ramp"), 6.0, 0.0),
    (dv.max("hump"), 1.0, 0.0),
    (dv.min("fall"), -1.0, 0.0),
    (dv.integral("ramp"), 6.0, 1e-12),  # 3t over [0, 2], exact for a line
    (dv.mean("ramp"), 3.0, 1e-12),
    (dv.integral("hump"), 4.0 / math.pi, 1e-4),
    (dv.mean("flat"), 5.0, 1e-12),
    (dv.time_to("ramp", ">=", 1.5), 0.5, 1e-12),  # between samples, on the line
    (dv.time_to("ramp", ">", 0.0), 0.0, 1e-12),  # the line leaves 0 at once: the crossing is at the start
    (dv.time_to("fall", "<=", 0.0), 1.0, 1e-12),
    (dv.time_to("fall", "<", 2.0), 0.0, 0.0),  # holds from the start
    (dv.time_to("hump", ">=", 0.5), 1.0 / 3.0, 1e-4),
    (dv.dissipated("clutch"), 4.0, 0.0),
    (dv.supplied(), 10.0, 0.0),
    (dv.supplied("drive"), 10.0, 0.0),
    (dv.steps(), 42.0, 0.0),
]


@pytest.mark.parametrize("metric,expected,tolerance", CLOSED_FORMS, ids=[str(m) for m, _, _ in CLOSED_FORMS])
def test_metrics_meet_their_closed_forms(metric: dv.Metric, expected: float, tolerance: float) -> None:
    assert metric(RUN) == pytest.approx(expected, rel=tolerance, abs=tolerance)


NEVER = [dv.time_to("ramp", ">", 6.0), dv.time_to("fall", "<", -1.0), dv.time_to("flat", "<", 5.0)]


@pytest.mark.parametrize("metric", NEVER, ids=str)
def test_a_crossing_that_never_happens_is_nan(metric: dv.Metric) -> None:
    assert math.isnan(metric(RUN))


def test_a_nan_sample_is_not_hidden() -> None:
    run = made_up(T[:3], x=np.array([1.0, math.nan, 2.0]))
    assert math.isnan(dv.max("x")(run)) and math.isnan(dv.min("x")(run))


@pytest.mark.parametrize("metric,part", [
    (dv.final("nope"), "no column 'nope' (it has ramp, fall, hump, flat)"),
    (dv.dissipated("brake"), "these have: clutch, drag"),
])
def test_a_metric_of_what_the_run_lacks_names_what_it_has(metric: dv.Metric, part: str) -> None:
    with pytest.raises(dv.MetricError, match=part.replace("(", r"\(").replace(")", r"\)")):
        metric(RUN)


def test_metric_names_and_the_columns_a_sweep_asks_for() -> None:
    bundle = ModelBundle.load(MOTOR_GEAR)
    named = metric_map([dv.final("gear.OMEGA2"), dv.time_to("load.omega", ">=", 10), dv.steps()])
    assert list(named) == ["final(gear.OMEGA2)", "time_to(load.omega, '>=', 10.0)", "steps()"]
    assert output_choice(bundle, named, None) == ["gear.OMEGA2", "load.omega"]
    with_callable = {"w": dv.final("load.omega"), "ratio": lambda r: 1.0}
    assert output_choice(bundle, with_callable, None) == ["gear.*", "load.omega"]
    assert output_choice(bundle, {"odd": dv.final("a[1]*")}, None) == [r"a\[1\]\*"]
    assert output_choice(bundle, named, ["x.*"]) == ["x.*"]
    with pytest.raises(ValueError, match="two metrics are called"):
        metric_map([dv.steps(), dv.steps()])


def test_grid_holds_every_combination_first_place_slowest() -> None:
    space = dv.grid({"gear": [2, 4], "load.J": [0.5, 1.0, 2.0]})
    assert len(space) == 6
    assert space.to_dict("records")[:4] == [{"gear": 2, "load.J": 0.5}, {"gear": 2, "load.J": 1.0},
                                            {"gear": 2, "load.J": 2.0}, {"gear": 4, "load.J": 0.5}]
    with pytest.raises(ValueError, match="has no values"):
        dv.grid({"gear": []})


def test_latin_hypercube_puts_one_variant_in_every_slice_and_repeats_by_seed() -> None:
    n = 16
    ranges = {"clutch.peak": (1.0, 1.5), "load.J": (0.2, 0.8)}
    space = dv.samples(n, ranges, method="lhs", seed=7)
    for place, (low, high) in ranges.items():
        slices = np.floor((space[place].to_numpy() - low) / (high - low) * n).astype(int)
        assert sorted(slices) == list(range(n)), place
    pd.testing.assert_frame_equal(space, dv.samples(n, ranges, method="lhs", seed=7), check_exact=True)
    assert not space.equals(dv.samples(n, ranges, method="lhs", seed=8))
    drawn = dv.samples(n, ranges, method="random", seed=7)
    pd.testing.assert_frame_equal(drawn, dv.samples(n, ranges, method="random", seed=7), check_exact=True)
    assert ((drawn >= [r[0] for r in ranges.values()]) & (drawn < [r[1] for r in ranges.values()])).all().all()


@pytest.mark.parametrize("call,part", [
    (lambda: dv.samples(0, {"a": (0, 1)}), "at least 1"),
    (lambda: dv.samples(4, {"a": (1, 1)}), "low < high"),
    (lambda: dv.samples(4, {"a": (0, 1)}, method="sobol"), "'lhs' or 'random'"),
    (lambda: dv.time_to("x", "==", 1), "one of >=, >, <=, <"),
])
def test_bad_spaces_and_metrics_are_refused(call, part: str) -> None:
    with pytest.raises(ValueError, match=part):
        call()


def test_variants_of_a_list_of_dicts_and_of_numpy_values() -> None:
    places, rows = variants([{"gear": 2}, {"gear": np.int64(3), "load.J": np.float64(0.5)}])
    assert places == ["gear", "load.J"]
    assert rows == [{"gear": 2}, {"gear": 3, "load.J": 0.5}]
    assert type(rows[1]["gear"]) is int and type(rows[1]["load.J"]) is float


# The command line's --vary and --metric.
@pytest.mark.parametrize("text,sampled,expected", [
    ("final_drive=3.0:4.6:9", False, ("final_drive", [3.0, 3.2, 3.4, 3.6, 3.8, 4.0, 4.2, 4.4, 4.6])),
    ("vehicle.J=120,137,160", False, ("vehicle.J", [120, 137, 160])),
    ("gear=2.5k,4", False, ("gear", ["2.5k", 4])),
    ("clutch.peak=1:1.5", True, ("clutch.peak", (1.0, 1.5))),
])
def test_vary_reads_lists_and_ranges(text: str, sampled: bool, expected) -> None:
    assert parse_vary(text, sampled) == expected


@pytest.mark.parametrize("text,sampled", [("x", False), ("x=1:2", False), ("x=1,2", True), ("x=a:b:3", False)])
def test_vary_refuses_what_it_cannot_read(text: str, sampled: bool) -> None:
    with pytest.raises(ValueError, match="--vary"):
        parse_vary(text, sampled)


@pytest.mark.parametrize("text,name,metric", [
    ('t100=time_to(vehicle.omega, ">=", 92.6)', "t100", dv.time_to("vehicle.omega", ">=", 92.6)),
    ("t=time_to(a.b,<=,1e-3)", "t", dv.time_to("a.b", "<=", 1e-3)),
    ("e=dissipated(clutch)", "e", dv.dissipated("clutch")),
    ("s=supplied()", "s", dv.supplied()),
    ("n = steps()", "n", dv.steps()),
    ("v=final( 'odd, name' )", "v", dv.final("odd, name")),
])
def test_metric_expressions_read_as_the_python_calls(text: str, name: str, metric: dv.Metric) -> None:
    assert parse_metric(text) == (name, metric)


@pytest.mark.parametrize("text", ["final(x)", "x=final", "x=mode(a)", "x=final(a,b)", "x=time_to(a,=,1)",
                                  'x=final("a)'])
def test_metric_expressions_that_are_wrong_are_refused(text: str) -> None:
    with pytest.raises(ValueError, match="--metric|quote"):
        parse_metric(text)
