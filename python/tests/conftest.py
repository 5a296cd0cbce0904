"""What the Python tests share: the tool (CTest sets $DOLVANEX_HOST), the
examples, stand-in tools that wrap the real one, and a local Dask cluster
that is always closed."""

from __future__ import annotations

import os
import stat
import subprocess
from pathlib import Path
from typing import Callable, Iterator

import pandas as pd
import pytest

from dolvanex.sweep import local_cluster

SOURCE = Path(__file__).resolve().parents[2]
EXAMPLES = SOURCE / "examples"
MOTOR_GEAR = EXAMPLES / "motor-gear" / "model.json"


@pytest.fixture(scope="session")
def tool() -> Path:
    named = os.environ.get("DOLVANEX_HOST")
    if not named or not Path(named).is_file():
        pytest.fail("set DOLVANEX_HOST to the built dolvanex-host (CTest does)")
    return Path(named)


def run_tool(tool: Path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([str(tool), *args], capture_output=True, text=True, timeout=60, check=False)


@pytest.fixture
def wrapped_tool(tool: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> Callable[[str], Path]:
    """Makes $DOLVANEX_HOST a shell script around the real tool: `body` runs
    with $REAL the tool and $LOG a file that gets a line per start."""

    def make(body: str) -> Path:
        script = tmp_path / "tool.sh"
        log = tmp_path / "starts.log"
        script.write_text(f'#!/bin/sh\nREAL="{tool}"\nLOG="{log}"\necho start >> "$LOG"\n{body}\n')
        script.chmod(script.stat().st_mode | stat.S_IXUSR)
        monkeypatch.setenv("DOLVANEX_HOST", str(script))
        return log

    return make


def starts(log: Path) -> int:
    return len(log.read_text().splitlines()) if log.exists() else 0


@pytest.fixture(scope="session")
def client() -> Iterator[object]:
    """Two single-threaded worker processes, as the embedded default makes them."""
    from distributed import Client

    with local_cluster(2) as cluster, Client(cluster) as c:
        c.wait_for_workers(2, timeout=60)
        yield c


def same_table(a: pd.DataFrame, b: pd.DataFrame) -> None:
    """Equal value for value but for the wall time, which is a measurement."""
    pd.testing.assert_frame_equal(a.drop(columns=["wall_time"]), b.drop(columns=["wall_time"]), check_exact=True)
