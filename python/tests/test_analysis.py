"""modes() and response(): the tool's tables, and its failures as SimulationError."""

from __future__ import annotations

import math

import pytest

import dolvanex as dv
from conftest import EXAMPLES

SHUFFLE = EXAMPLES / "driveline-shuffle" / "model.json"


def test_modes_move_with_the_ratio_as_the_reflected_inertia_says() -> None:
    # The shuffle (the first mode that is not a rigid body) rises as K falls:
    # the vehicle's inertia seen from the engine is J/K^2.
    first = [dv.modes(SHUFFLE, at=t).query("not rigid")["natural_hz"].iloc[0] for t in (3.5, 15.5)]
    assert first[0] < first[1]
    table = dv.modes(SHUFFLE, at=3.5)
    assert table.index.name == "mode" and list(table.index) == list(range(1, len(table) + 1))
    assert table["rigid"].dtype == bool and table["rigid"].any()
    shares = table.filter(like=".energy_share").loc[~table["rigid"]].sum(axis=1)
    assert all(math.isclose(s, 1.0, rel_tol=1e-9) for s in shares)


def test_response_peaks_at_the_first_mode() -> None:
    first = dv.modes(SHUFFLE, at=3.5).query("not rigid")["natural_hz"].iloc[0]
    bode = dv.response(SHUFFLE, "engine", "wheels.omega", from_hz=0.5, to_hz=50, points=400, at=3.5)
    assert bode.index.name == "frequency_hz" and len(bode) == 400
    assert abs(bode["magnitude_db"].idxmax() / first - 1.0) < 0.02


@pytest.mark.parametrize("call,message", [
    (lambda: dv.response(SHUFFLE, "flywheel", "wheels.omega"), "flywheel"),
    (lambda: dv.response(SHUFFLE, "engine", "no.such"), "no.such"),
    (lambda: dv.modes(SHUFFLE, at=1e6), "--at"),
])
def test_refusals_carry_the_tools_message(call, message: str) -> None:
    with pytest.raises(dv.SimulationError) as failure:
        call()
    assert failure.value.status == 1 and message in failure.value.message


# Two inertias on a spring behind a gear of 2, driven by a torque source:
# nothing in it depends on speed, so its one mode is the same at every rpm.
STIFF = {
    "simulation": {"stop": 1.0},
    "nodes": ["engine", "out", "load"],
    "elements": [
        {"type": "torque_source", "name": "drive", "node": "engine", "torque": 0.0},
        {"type": "inertia", "name": "crank", "node": "engine", "J": 0.2},
        {"type": "spring", "name": "shaft", "a": "out", "b": "load", "c": 4000.0},
        {"type": "inertia", "name": "wheel", "node": "load", "J": 1.5},
    ],
    "instances": [{"name": "gear", "parameters": "2", "ROT1": "engine", "ROT2": "out"}],
}


def test_campbell_crossings_of_a_speed_independent_mode_lie_on_the_order_lines() -> None:
    frequencies, crossings = dv.campbell(STIFF, "engine", 300, 3000, points=50, orders=[0.5, 1, 2],
                                         operating=(800, 1500))
    assert list(frequencies.columns) == ["rpm", "mode", "natural_hz", "damping_ratio"]
    elastic = frequencies[frequencies["natural_hz"] > 0]
    hz = elastic["natural_hz"].iloc[0]
    assert elastic["natural_hz"].max() - elastic["natural_hz"].min() < 1e-9 * hz
    assert sorted(crossings["order"]) == [0.5, 1.0, 2.0]
    for _, c in crossings.iterrows():
        assert math.isclose(c["rpm"], 60.0 * hz / c["order"], rel_tol=1e-6)
        assert c["inside"] == (800 <= c["rpm"] <= 1500)
    assert crossings["inside"].dtype == bool


def test_order_response_is_linear_in_the_sources_and_adds_their_phases() -> None:
    def amplitude(sources) -> "pd.Series":
        table = dv.order_response(STIFF, "engine", sources, 1, 500, 6000, points=12, outputs=["shaft.torque"])
        assert table.index.name == "rpm" and len(table) == 12
        return table["shaft.torque.amplitude"]

    one = amplitude("drive")
    assert all(math.isclose(a, 3 * b, rel_tol=1e-9) for a, b in zip(amplitude({"drive": 3.0}), one))
    # A phase of a whole turn changes nothing.
    assert all(math.isclose(a, b, rel_tol=1e-9) for a, b in zip(amplitude({"drive": (1.0, 360.0)}), one))
    with pytest.raises(ValueError):
        dv.order_response(STIFF, "engine", {}, 1, 500, 6000)


def test_modes_count_below_and_energy() -> None:
    every = dv.modes(SHUFFLE, at=3.5)
    lowest = dv.modes(SHUFFLE, at=3.5, count=3)
    assert len(lowest) == 3
    for k in lowest.index:
        assert math.isclose(lowest.loc[k, "natural_hz"], every.loc[k, "natural_hz"], rel_tol=1e-9, abs_tol=1e-9)
    cut = every.query("not rigid")["natural_hz"].iloc[1] * 1.001
    below = dv.modes(SHUFFLE, at=3.5, below=cut)
    assert (below["natural_hz"] < cut).all() and len(below) == (every["natural_hz"] < cut).sum()
    table, energy = dv.modes(SHUFFLE, at=3.5, energy=True)
    assert len(table) == len(every)
    elastic = set(every.index[~every["rigid"]])
    kinetic = energy[energy["mode"].isin(elastic)].groupby("mode")["kinetic_share"].sum()
    assert all(math.isclose(s, 1.0, rel_tol=1e-9) for s in kinetic)
