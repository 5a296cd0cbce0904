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
