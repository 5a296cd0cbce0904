"""A `dolvanex-host batch` process that runs a worker's variants one after
the other: a line of JSON in, its result line out.

The tool reads the model and loads the library once and sets each
variant's instances up afresh, so a variant gives in a batch what it gives
alone, without a process start per variant. A crash of the process (the
component aborting, a kill) costs only the variant it was running: the
caller starts another process for the rest. A variant whose result line
does not come within its timeout and a margin (a component stuck inside a
call never reaches the tool's own check at the next step) has its process
killed as well.

Each process leads a process group of its own (so that a kill takes a
wrapper script and what it started along), is killed by the kernel when the
thread that started it ends (a killed worker leaves no batch process
behind), and ends by itself at the end of its input.
"""

from __future__ import annotations

import atexit
import ctypes
import functools
import json
import os
import select
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path
from typing import Any, Optional

from .scratch import runs_folder
from .settings import SETTINGS
from .tool import RunOptions, ending, find_tool

# A variant's result line may come this much after its timeout [s] before
# its process is killed: the tool checks the time at each solver step.
WATCHDOG_MARGIN = 1.0
# How often a wait for a result line looks whether its study was stopped [s].
_SLICE = 0.5
# How long a process that was told to end (its input closed) or killed may take [s].
_END_WAIT = 5.0
_READ = 1 << 16
_PR_SET_PDEATHSIG = 1

# The tool's settings keys by the options of `run` that RunOptions holds.
_SETTING_KEYS = {s.option: (s.key, s.kind) for s in SETTINGS}


class ToolEnded(Exception):
    """The process ended (or was killed) before the result line came;
    `status` is its exit status (negative: the signal), None when it was
    killed here; `late` when that was the watchdog's doing."""

    def __init__(self, message: str, status: Optional[int], late: bool = False) -> None:
        super().__init__(message)
        self.message, self.status, self.late = message, status, late


def _own_group_dying_with_parent(parent: int, prctl: Any) -> None:
    # In the child, between fork and exec: a process group of its own, and
    # SIGKILL once the starting thread ends; if the parent is already gone,
    # end now.
    os.setpgid(0, 0)
    if prctl is not None:
        prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
        if os.getppid() != parent:
            os._exit(1)


def _preexec() -> Any:
    # prctl is looked up here, not in the child.
    prctl = ctypes.CDLL(None, use_errno=True).prctl if sys.platform.startswith("linux") else None
    return functools.partial(_own_group_dying_with_parent, os.getpid(), prctl)


def _kill_group(process: subprocess.Popen) -> None:
    # SIGKILL to the process's group (it leads one), then a bounded wait.
    try:
        os.killpg(process.pid, signal.SIGKILL)
    except OSError:
        pass
    try:
        process.wait(_END_WAIT)
    except subprocess.TimeoutExpired:
        pass


def variant_line(options: RunOptions, csv: Path, timeout: Optional[float]) -> dict[str, Any]:
    """The batch's line for a variant that `run` would run with `options`,
    writing its CSV to `csv`."""
    line: dict[str, Any] = {}
    if options.changes:
        line["set"] = dict(options.changes)
    if options.params:
        line["param"] = dict(options.params)
    if options.outputs:
        line["output"] = list(options.outputs)
    settings: dict[str, Any] = {}
    for option, text in options.settings:
        key, kind = _SETTING_KEYS[option]
        settings[key] = text if kind is str else (int(float(text)) if kind is int else float(text))
    if settings:
        line["settings"] = settings
    line["csv"] = str(csv)
    if timeout is not None:
        line["timeout"] = float(timeout)
    return line


class BatchTool:
    """One batch process on a model file (started on first use, again after
    it ended); `run` one variant at a time."""

    def __init__(self, model: Path, library: Optional[str] = None) -> None:
        self.model, self.library = model, library
        self.process: Optional[subprocess.Popen] = None
        self.buffer = b""
        self.errors: Optional[Path] = None
        self.killed = False

    def _start(self) -> subprocess.Popen:
        command = [str(find_tool()), "batch", str(self.model)]
        if self.library is not None:
            command += ["--lib", str(self.library)]
        # The tool writes to stderr only when it cannot start (the model or
        # the library); a file, which nobody must drain.
        self.errors = runs_folder() / f"{os.getpid()}-batch-{id(self):x}.err"
        with open(self.errors, "wb") as errors:
            process = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=errors,
                                       preexec_fn=_preexec(), close_fds=True)
        self.buffer, self.killed = b"", False
        return process

    def running(self) -> bool:
        return self.process is not None and self.process.poll() is None

    def run(self, line: dict[str, Any], watchdog: Optional[float], stopped: Any = lambda: False) -> dict[str, Any]:
        """The result line of one variant. Raises ToolEnded when the process
        ended before it came (started again by the next call), or, killed,
        after `watchdog` s or once `stopped()` says so."""
        if not self.running():
            self.close()
            self.process = self._start()
        process = self.process
        assert process is not None and process.stdin is not None
        try:
            process.stdin.write(json.dumps(line, allow_nan=False, separators=(",", ":")).encode() + b"\n")
            process.stdin.flush()
        except (BrokenPipeError, OSError):
            pass  # it ended; the read below says how
        text = self._read_line(watchdog, stopped)
        try:
            result = json.loads(text)
        except ValueError:
            result = None
        if not isinstance(result, dict) or "exit_status" not in result:
            self.kill()
            raise ToolEnded(f"dolvanex-host batch wrote a line that is no result: {text[:200]!r}", None)
        return result

    def _read_line(self, watchdog: Optional[float], stopped: Any) -> str:
        assert self.process is not None and self.process.stdout is not None
        handle = self.process.stdout.fileno()
        deadline = None if watchdog is None else time.monotonic() + watchdog
        while b"\n" not in self.buffer:
            left = _SLICE if deadline is None else min(_SLICE, deadline - time.monotonic())
            if left <= 0.0 or stopped():
                self.kill()
                late = left <= 0.0
                raise ToolEnded(f"no result within {watchdog:g} s" if late else "the study was stopped", None, late)
            ready, _, _ = select.select([handle], [], [], left)
            if ready:
                chunk = os.read(handle, _READ)
                if not chunk:
                    raise ToolEnded(self._ended(), self._wait())
                self.buffer += chunk
        text, _, self.buffer = self.buffer.partition(b"\n")
        return text.decode("utf-8", "replace")

    def _wait(self) -> Optional[int]:
        assert self.process is not None
        try:
            return self.process.wait(_END_WAIT)
        except subprocess.TimeoutExpired:
            self.kill()
            return self.process.returncode

    def _ended(self) -> str:
        code = self._wait()
        said = ""
        if self.errors is not None:
            try:
                said = self.errors.read_text(encoding="utf-8", errors="replace").strip()
            except OSError:
                pass
        what = "was killed" if self.killed else ending(code if code is not None else -signal.SIGKILL)
        text = f"the tool process ended while it ran this variant: {what}"
        return f"{text} ({said})" if said else text

    def kill(self) -> None:
        """Kills the process and what it started; bounded in time."""
        process = self.process
        if process is None or process.returncode is not None:
            return
        self.killed = True
        _kill_group(process)

    def close(self) -> None:
        """Ends the process: its input closed, killed if it does not end
        within a moment; removes its file."""
        process, self.process = self.process, None
        if process is not None:
            for stream in (process.stdin, process.stdout):
                try:
                    if stream is not None:
                        stream.close()
                except OSError:
                    pass
            try:
                process.wait(_END_WAIT)
            except subprocess.TimeoutExpired:
                _kill_group(process)
        if self.errors is not None:
            self.errors.unlink(missing_ok=True)
            self.errors = None


class Pool:
    """The batch processes of this process, by study tag and model: a chunk
    takes one, runs its variants and gives it back; a study's end ends them."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.idle: dict[tuple[Optional[str], str, Optional[str]], list[BatchTool]] = {}
        self.busy: dict[BatchTool, Optional[str]] = {}
        self.stopped: set[str] = set()

    def take(self, tag: Optional[str], model: Path, library: Optional[str]) -> BatchTool:
        with self.lock:
            free = self.idle.get((tag, str(model), library))
            tool = free.pop() if free else BatchTool(model, library)
            self.busy[tool] = tag
            return tool

    def give_back(self, tool: BatchTool) -> None:
        with self.lock:
            tag = self.busy.pop(tool, None)
            if tag is None or tag not in self.stopped:
                self.idle.setdefault((tag, str(tool.model), tool.library), []).append(tool)
                return
        tool.close()

    def end_study(self, tag: str) -> int:
        """Kills the study's running variants and ends its idle processes;
        returns how many processes it ended."""
        with self.lock:
            self.stopped.add(tag)
            running = [t for t, owner in self.busy.items() if owner == tag]
            idle = [t for key, tools in self.idle.items() if key[0] == tag for t in tools]
            self.idle = {key: tools for key, tools in self.idle.items() if key[0] != tag}
        for tool in running:
            tool.kill()
        for tool in idle:
            tool.close()
        return len(running) + len(idle)

    def end_all(self) -> None:
        with self.lock:
            tools = [t for tools in self.idle.values() for t in tools] + list(self.busy)
            self.idle.clear()
        for tool in tools:
            tool.kill()
            tool.close()


POOL = Pool()
atexit.register(POOL.end_all)
