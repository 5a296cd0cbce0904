"""Runs of the command-line tool: where it is, its arguments, one run.

Every run is a `dolvanex-host run` process of its own. The component keeps
process-wide state (the callbacks it was given, one parse result), so two
runs must never share a process; a process per run also keeps a crash of
the component from taking the caller (or a Dask worker) with it, and the
tool's CSV and summary document are the one format both sides know.
"""

from __future__ import annotations

import itertools
import json
import math
import os
import shutil
import signal
import subprocess
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


def _ending(code: int) -> str:
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


def run_tool(
    model: Path,
    options: RunOptions,
    timeout: Optional[float] = None,
    readable: Callable[[str], str] = lambda text: text,
    scratch: Optional[Path] = None,
) -> Result:
    """Runs the tool on a model file and returns what it wrote. Raises
    SimulationError with the tool's message (through `readable`) and exit
    status, or with status None after `timeout` s, when the process has
    been killed. The run's files go to this process's folder for them (in
    `scratch`, else in /dev/shm or the temporary folder) and are removed
    once read."""
    tool = find_tool()
    stem = runs_folder(scratch) / f"{os.getpid()}-{next(_names)}"
    csv, summary = stem.with_suffix(".csv"), stem.with_suffix(".json")
    command = [str(tool), "run", str(model), *options.arguments(), "--csv", str(csv), "--summary-json", str(summary)]
    try:
        try:
            done = subprocess.run(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=timeout,
                                  check=False)
        except subprocess.TimeoutExpired:
            raise SimulationError(f"the run took longer than {timeout:g} s and was stopped", None) from None
        message = readable(done.stderr.decode("utf-8", "replace").strip())
        if done.returncode not in (0, 2):
            raise SimulationError(message or _ending(done.returncode), done.returncode)
        try:
            result = Result.from_files(csv, summary)
        except (OSError, ValueError) as error:
            raise SimulationError(f"{_ending(done.returncode)} but its files cannot be read: {error}",
                                  done.returncode) from None
    finally:
        csv.unlink(missing_ok=True)
        summary.unlink(missing_ok=True)
    if done.returncode == 2:
        raise SimulationError(readable(result.summary.get("message", "").strip()) or message, 2, result)
    return result
