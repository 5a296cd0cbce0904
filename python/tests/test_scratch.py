"""The folders runs write into: removed at a process's exit, and, when the
process could not (killed), by the next one, never while their process
lives."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

from dolvanex.scratch import remove_stale

# A process that makes its folder in the folder argv[1], says which, then
# waits to be ended (or ends at once with "exit").
MAKER = """
import sys, time
from pathlib import Path
from dolvanex.scratch import runs_folder
folder = runs_folder(Path(sys.argv[1]))
(folder / "run.csv").write_text("time,x\\n")
print(folder, flush=True)
if sys.argv[2] == "wait":
    time.sleep(60)
"""


def start(base: Path, how: str) -> tuple[subprocess.Popen, Path]:
    process = subprocess.Popen([sys.executable, "-c", MAKER, str(base), how], stdout=subprocess.PIPE, text=True)
    assert process.stdout is not None
    return process, Path(process.stdout.readline().strip())


def test_a_process_removes_its_folder_when_it_exits(tmp_path: Path) -> None:
    process, folder = start(tmp_path, "exit")
    assert process.wait(30) == 0
    assert not folder.exists()


@pytest.mark.parametrize("what,prepare,removed", [
    ("its process was killed", lambda p, f: (p.kill(), p.wait(30)), True),
    ("its process lives", lambda p, f: None, False),
    ("a folder without a lock, an hour old", lambda p, f: (p.kill(), p.wait(30), (f / ".owner").unlink(),
                                                          os.utime(f, (time.time() - 3600,) * 2)), True),
    ("a folder without a lock, just made", lambda p, f: (p.kill(), p.wait(30), (f / ".owner").unlink()), False),
])
def test_a_folder_is_removed_once_its_process_is_gone(tmp_path: Path, what: str, prepare, removed: bool) -> None:
    process, folder = start(tmp_path, "wait")
    try:
        prepare(process, folder)
        assert (remove_stale(tmp_path) == [folder]) is removed, what
        assert folder.exists() is not removed, what
    finally:
        process.kill()
        process.wait(30)


def test_a_new_process_removes_what_a_killed_one_left(tmp_path: Path) -> None:
    killed, left = start(tmp_path, "wait")
    os.kill(killed.pid, signal.SIGKILL)
    killed.wait(30)
    process, folder = start(tmp_path, "exit")
    assert process.wait(30) == 0
    assert not left.exists() and not folder.exists()
    assert list(tmp_path.iterdir()) == []
