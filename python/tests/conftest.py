"""What the Python tests share: the tool (CTest sets $DOLVANEX_HOST), the
examples, stand-in tools that wrap the real one, a local Dask cluster that
is always closed, and the check that a suite leaves nothing behind."""

from __future__ import annotations

import fcntl
import os
import shutil
import stat
import subprocess
import tempfile
import time
from pathlib import Path
from typing import Callable, Iterator

import pandas as pd
import pytest

from dolvanex.scratch import remove_own
from dolvanex.sweep import local_cluster

SOURCE = Path(__file__).resolve().parents[2]
EXAMPLES = SOURCE / "examples"
MOTOR_GEAR = EXAMPLES / "motor-gear" / "model.json"
SHM = Path("/dev/shm")

# The suite's temporary folder, its own, for everything it starts (the
# variables are inherited): whatever is in it at the end was left behind.
# Set before pytest makes its own folders, which go there too. A worker
# process that imports this file for a test's function keeps the suite's.
_SUITE_FOLDER = "DOLVANEX_TESTS_TEMPORARY"
if _SUITE_FOLDER not in os.environ:
    os.environ[_SUITE_FOLDER] = tempfile.mkdtemp(prefix="dolvanex-tests-")
    os.environ["TMPDIR"] = os.environ[_SUITE_FOLDER]
    tempfile.tempdir = None
TEMPORARY = Path(os.environ[_SUITE_FOLDER])


@pytest.hookimpl(tryfirst=True)
def pytest_configure(config: pytest.Config) -> None:
    # pytest's folders for tmp_path in the suite's own, which goes at the
    # end; by default pytest would keep the last three in /tmp.
    if config.option.basetemp is None:
        config.option.basetemp = str(TEMPORARY / "pytest")


def _mapped() -> set[str]:
    """The files in /dev/shm that a live process has mapped (a semaphore in use)."""
    names: set[str] = set()
    for maps in Path("/proc").glob("[0-9]*/maps"):
        try:
            text = maps.read_text()
        except OSError:
            continue
        names.update(line.rsplit("/", 1)[1] for line in text.splitlines() if " /dev/shm/" in line)
    return names


def _held(folder: Path) -> bool:
    """Whether a live process holds the lock of a run folder."""
    try:
        handle = os.open(folder / ".owner", os.O_RDONLY)
    except OSError:
        return False
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return False
    except OSError:
        return True
    finally:
        os.close(handle)


def live_in_group(group: int) -> list[str]:
    """The processes of a process group that have not ended (zombies, which
    only wait for their parent to note their end, do not count)."""
    found = []
    for stat_file in Path("/proc").glob("[0-9]*/stat"):
        try:
            text = stat_file.read_text()
        except OSError:
            continue
        name, rest = text[text.index("(") + 1:text.rindex(")")], text[text.rindex(")") + 2:].split()
        if int(rest[2]) == group and rest[0] != "Z":
            found.append(f"{stat_file.parent.name} {name}")
    return found


def batch_processes(marker: str, parent: int | None = None) -> list[int]:
    """The live `... batch ...` processes whose command line holds `marker`
    (and whose parent is `parent`, if given)."""
    found = []
    for proc in Path("/proc").glob("[0-9]*"):
        try:
            words = (proc / "cmdline").read_bytes().split(b"\0")
            text = (proc / "stat").read_text()
        except OSError:
            continue
        rest = text[text.rindex(")") + 2:].split()
        if rest[0] == "Z" or b"batch" not in words or not any(marker.encode() in w for w in words):
            continue
        if parent is None or int(rest[1]) == parent:
            found.append(int(proc.name))
    return found


def batches_end(marker: str, parent: int | None = None, bound: float = 30.0) -> list[int]:
    """The batch processes of `batch_processes` still alive after `bound` s."""
    deadline = time.monotonic() + bound
    while (alive := batch_processes(marker, parent)) and time.monotonic() < deadline:
        time.sleep(0.05)
    return alive


def group_ends(group: int, bound: float = 30.0) -> bool:
    """Whether every process of the group has ended within `bound` s."""
    deadline = time.monotonic() + bound
    while live_in_group(group):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def shm_names() -> set[str]:
    return {p.name for p in SHM.iterdir()} if SHM.is_dir() else set()


def left_in_shm(before: set[str]) -> list[str]:
    """What appeared in /dev/shm since `before` and has no live owner: a
    run folder whose lock nobody holds, a semaphore nobody has mapped."""
    new = shm_names() - before
    mapped = _mapped() if any(n.startswith("sem.") for n in new) else set()
    left = [n for n in new if n.startswith("dolvanex-") and not _held(SHM / n)]
    left += [n for n in new if n.startswith("sem.mp-") and n not in mapped and (SHM / n).exists()]
    return sorted(left)


def left_in(folder: Path) -> list[str]:
    return sorted(p.name for p in folder.iterdir()) if folder.is_dir() else []


_shm_at_start: set[str] = set()


def pytest_sessionstart(session: pytest.Session) -> None:
    _shm_at_start.update(shm_names())


def pytest_sessionfinish(session: pytest.Session, exitstatus: int) -> None:
    """Fails the suite when it left anything in /dev/shm or in the temporary
    folder, once every fixture has ended; removes what it left either way."""
    remove_own()  # this process's run folders, which it would remove at its exit
    shutil.rmtree(session.config.option.basetemp, ignore_errors=True)
    in_shm, in_temporary = left_in_shm(_shm_at_start), left_in(TEMPORARY)
    for name in in_shm:
        path = SHM / name
        shutil.rmtree(path, ignore_errors=True) if path.is_dir() else path.unlink(missing_ok=True)
    shutil.rmtree(TEMPORARY, ignore_errors=True)
    if in_shm or in_temporary:
        reporter = session.config.pluginmanager.get_plugin("terminalreporter")
        text = f"the suite left behind, in /dev/shm: {in_shm}; in the temporary folder: {in_temporary}"
        if reporter is not None:
            reporter.write_line(f"FAILED: {text}", red=True, bold=True)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


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


@pytest.fixture
def wrapped_batch(wrapped_tool: Callable[[str], Path]) -> Callable[[str], Path]:
    """Makes $DOLVANEX_HOST a shell script whose `batch` passes each variant's
    line on to the real tool's, after the `case` patterns in `cases` (each
    `PATTERN) COMMANDS;;`) had their say over it: `exec sleep 30` hangs
    the variant, `kill -KILL 0` kills the batch (its process group) under
    it, `echo ... >&3; continue` answers in the tool's place. Returns the
    log of the lines, one per variant run."""

    def make(cases: str) -> Path:
        log = wrapped_tool(f'[ "$1" = batch ] || exec "$REAL" "$@"\n'
                           f'exec 3>&1\n'
                           f'while IFS= read -r line; do\n'
                           f'  printf "%s\\n" "$line" >> "$LOG.variants"\n'
                           f'  case "$line" in\n{cases}\n  esac\n'
                           f'  printf "%s\\n" "$line"\n'
                           f'done | "$REAL" "$@"')
        return log.parent / f"{log.name}.variants"

    return make


@pytest.fixture(scope="session")
def client() -> Iterator[object]:
    """Two single-threaded workers, as the embedded default makes them, but
    reachable by other processes at the scheduler's address."""
    from distributed import Client

    with local_cluster(2, reachable=True) as cluster, Client(cluster) as c:
        c.wait_for_workers(2, timeout=60)
        yield c


def same_table(a: pd.DataFrame, b: pd.DataFrame) -> None:
    """Equal value for value but for the wall time, which is a measurement."""
    pd.testing.assert_frame_equal(a.drop(columns=["wall_time"]), b.drop(columns=["wall_time"]), check_exact=True)
