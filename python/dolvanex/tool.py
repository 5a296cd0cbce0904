"""Runs of the command-line tool: where it is, its arguments, one run.

Every run() is a `dolvanex-host run` process of its own (a sweep's runs go
to a batch process per worker instead, batch.py). The component keeps
process-wide state (the callbacks it was given, one parse result), so two
runs must never share a process at the same time; a process of the tool's
own also keeps a crash of the component from taking the caller (or a Dask
worker) with it, and the tool's CSV and summary document are the one format
both sides know.
"""

from __future__ import annotations

import itertools
import json
import math
import os
import shutil
import signal
import subprocess
import threading
from dataclasses import dataclass
from numbers import Integral, Real
from pathlib import Path
from typing import Any, Callable, Mapping, Optional, Sequence

from .result import Result, SimulationError
from .scratch import runs_folder
from .settings import run_arguments

TOOL_VARIABLE = "DOLVANEX_HOST"
_TOOL_NAME = "dolvanex-host"


def find_tool() -> Path:
    """The tool: the file named by $DOLVANEX_HOST, else the one beside this
    package in the bundle (``<bundle>/python/dolvanex`` and
    ``<bundle>/dolvanex-host``), else ``dolvanex-host`` on the PATH.
    Raises FileNotFoundError saying where it looked."""
    named = os.environ.get(TOOL_VARIABLE)
    if named:
        path = Path(named)
        if path.is_file() and os.access(path, os.X_OK):
            return path
        raise FileNotFoundError(f"${TOOL_VARIABLE} names {named}, which is no executable file")
    beside = Path(__file__).resolve().parent.parent.parent / _TOOL_NAME
    if beside.is_file() and os.access(beside, os.X_OK):
        return beside
    found = shutil.which(_TOOL_NAME)
    if found:
        return Path(found)
    raise FileNotFoundError(
        f"{_TOOL_NAME} not found: ${TOOL_VARIABLE} is not set, {beside} is not there and the PATH has none"
    )


def set_text(value: Any) -> str:
    """A --set value: JSON for numbers, booleans, lists and objects, a string as it stands."""
    if isinstance(value, str):
        return value
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, Integral):
        return str(int(value))
    if isinstance(value, Real):
        number = float(value)
        if not math.isfinite(number):
            raise ValueError(f"{value!r} is not a finite number")
        return repr(number)
    return json.dumps(value, allow_nan=False)


def param_text(value: Any) -> str:
    """An instance's parameter text: a string as it stands, a number as the
    shortest text that reads back to it."""
    if isinstance(value, str):
        return value
    if isinstance(value, bool) or not isinstance(value, Real):
        raise TypeError(f"a parameter text is a string or a number, not {value!r}")
    return set_text(value)


@dataclass(frozen=True)
class RunOptions:
    """The tool's arguments besides the model and its files, as texts."""

    changes: tuple[tuple[str, str], ...] = ()
    params: tuple[tuple[str, str], ...] = ()
    outputs: tuple[str, ...] = ()
    settings: tuple[tuple[str, str], ...] = ()  # ("--rtol", "1e-08"), ...

    @staticmethod
    def make(
        changes: Optional[Mapping[str, Any]] = None,
        params: Optional[Mapping[str, Any]] = None,
        outputs: Optional[Sequence[str]] = None,
        settings: Optional[Mapping[str, Any]] = None,
    ) -> "RunOptions":
        """`settings` as `settings.chosen` gives them."""
        if isinstance(outputs, str):
            outputs = [outputs]
        return RunOptions(
            tuple((k, set_text(v)) for k, v in (changes or {}).items()),
            tuple((k, param_text(v)) for k, v in (params or {}).items()),
            tuple(outputs or ()),
            tuple(run_arguments(settings or {}, set_text)),
        )

    def arguments(self) -> list[str]:
        args: list[str] = []
        for option, value in self.settings:
            args += [option, value]
        for name, text in self.params:
            args += ["--param", f"{name}={text}"]
        for place, text in self.changes:
            args += ["--set", f"{place}={text}"]
        for pattern in self.outputs:
            args += ["--output", pattern]
        return args


# The tool's own exits: a run that completed (0), that failed (1), that
# completed but failed a check (2). It ends with 128 + the signal when a
# signal stops it.
TOOL_STATUSES = (0, 1, 2)
_STOPPING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def ending(code: int) -> str:
    if code < 0:
        try:
            name = signal.Signals(-code).name
        except ValueError:
            name = f"signal {-code}"
        return f"{_TOOL_NAME} was killed by {name}"
    if code > 128 and code - 128 in _STOPPING:
        return f"{_TOOL_NAME} was stopped by {signal.Signals(code - 128).name}"
    return f"{_TOOL_NAME} ended with exit status {code}"


_names = itertools.count()
# The tools running in this process, by the tag of their study, so that a
# study stopped on a worker stops its runs there.
_running: dict[subprocess.Popen, Optional[str]] = {}
_running_lock = threading.Lock()


def kill_runs(tag: str) -> int:
    """Kills this process's runs of the study `tag`; returns how many."""
    with _running_lock:
        chosen = [p for p, t in _running.items() if t == tag]
    for process in chosen:
        try:
            process.kill()
        except OSError:
            pass
    return len(chosen)


def _run(command: list[str], timeout: Optional[float], tag: Optional[str]) -> tuple[int, bytes]:
    """The tool's exit status and stderr; SimulationError (status None) past `timeout` s."""
    with subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE) as process:
        with _running_lock:
            _running[process] = tag
        try:
            try:
                _, stderr = process.communicate(timeout=timeout)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                raise SimulationError(f"the run took longer than {timeout:g} s and was stopped", None) from None
            except BaseException:
                process.kill()  # an interrupt: the run goes with it
                process.wait()
                raise
        finally:
            with _running_lock:
                _running.pop(process, None)
    return process.returncode, stderr


def run_tool(
    model: Path,
    options: RunOptions,
    timeout: Optional[float] = None,
    readable: Callable[[str], str] = lambda text: text,
    scratch: Optional[Path] = None,
    tag: Optional[str] = None,
) -> Result:
    """Runs the tool on a model file and returns what it wrote. Raises
    SimulationError with the tool's message (through `readable`) and exit
    status, or with status None after `timeout` s, when the process has
    been killed. The run's files go to this process's folder for them (in
    `scratch`, else in /dev/shm or the temporary folder) and are removed
    once read. `tag` names the study the run belongs to (`kill_runs`)."""
    tool = find_tool()
    stem = runs_folder(scratch) / f"{os.getpid()}-{next(_names)}"
    csv, summary = stem.with_suffix(".csv"), stem.with_suffix(".json")
    command = [str(tool), "run", str(model), *options.arguments(), "--csv", str(csv), "--summary-json", str(summary)]
    try:
        code, stderr = _run(command, timeout, tag)
        message = readable(stderr.decode("utf-8", "replace").strip())
        if code not in (0, 2):
            raise SimulationError(message or ending(code), code)
        try:
            result = Result.from_files(csv, summary)
        except (OSError, ValueError) as error:
            raise SimulationError(f"{ending(code)} but its files cannot be read: {error}", code) from None
    finally:
        csv.unlink(missing_ok=True)
        summary.unlink(missing_ok=True)
    if code == 2:
        raise SimulationError(readable(result.summary.get("message", "").strip()) or message, 2, result)
    return result
