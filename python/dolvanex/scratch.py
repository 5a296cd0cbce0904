"""The folders of the package's own, and their removal.

A process makes one folder for all its runs' files (a folder per run would
cost more than a short run itself), in /dev/shm where Linux offers it (on a
disk, creating and renaming the files costs a short run a fifth of its
time), and removes it when it exits; a local cluster has a folder in
the temporary folder for its workers, removed when it closes. A process
that cannot (killed, or ended by a signal Python does not turn into an
exception) leaves them, so each folder holds a lock file, locked by its
process for as long as it lives: the folder of a lock that nobody holds
belongs to a process that is gone, and the next process to make such a
folder there, or a sweep once its cluster is closed, removes it.
"""

from __future__ import annotations

import atexit
import fcntl
import os
import shutil
import tempfile
import threading
import time
from contextlib import contextmanager
from pathlib import Path
from typing import Iterator, Optional

PREFIX = "dolvanex-runs-"
CLUSTER_PREFIX = "dolvanex-cluster-"
_LOCK = ".owner"
# A folder without a lock file is one being made, or one of a release that
# made none; past this age [s] it is the latter's and gone with its process
# (a live one of those makes its folder again when it finds it gone).
_UNLOCKED_AGE = 60.0
MEMORY = Path("/dev/shm")

_folders: dict[Optional[Path], tuple[Path, int]] = {}
_owner = os.getpid()
_lock = threading.Lock()


def default_base() -> Optional[Path]:
    """/dev/shm where it can be written, else None (the temporary folder)."""
    if MEMORY.is_dir() and os.access(MEMORY, os.W_OK | os.X_OK):
        return MEMORY
    return None


def _locked_folder(base: Optional[Path], prefix: str = PREFIX) -> tuple[Path, int]:
    folder = Path(tempfile.mkdtemp(prefix=prefix, dir=base))
    # Locked under another name, then renamed: a lock file that can be seen
    # is always held by its maker.
    making = folder / f"{_LOCK}.new"
    handle = os.open(making, os.O_WRONLY | os.O_CREAT | os.O_CLOEXEC, 0o600)
    fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
    os.rename(making, folder / _LOCK)
    return folder, handle


def runs_folder(base: Optional[Path] = None) -> Path:
    """This process's folder for its runs' files in `base` (default: /dev/shm
    or the temporary folder), made on first use and again if it went."""
    base = base if base is not None else default_base()
    with _lock:
        if os.getpid() != _owner:
            _forget_inherited()
        known = _folders.get(base)
        if known is not None and known[0].is_dir():
            return known[0]
        if known is None:
            remove_stale(base)  # once a process: what others left there
        else:
            os.close(known[1])
        _folders[base] = _locked_folder(base)
        return _folders[base][0]


def _forget_inherited() -> None:
    # A forked child shares its parent's folders (and locks): it makes its own.
    global _owner
    for _, handle in _folders.values():
        os.close(handle)
    _folders.clear()
    _owner = os.getpid()


@atexit.register
def remove_own() -> None:
    """Removes this process's folders (at exit, and wherever a caller is done)."""
    with _lock:
        if os.getpid() != _owner:
            return
        for folder, handle in _folders.values():
            shutil.rmtree(folder, ignore_errors=True)
            os.close(handle)
        _folders.clear()


def _abandoned(folder: Path) -> bool:
    try:
        handle = os.open(folder / _LOCK, os.O_RDONLY | os.O_CLOEXEC)
    except FileNotFoundError:
        try:
            return time.time() - folder.stat().st_mtime > _UNLOCKED_AGE
        except OSError:
            return False
    except OSError:
        return False
    try:
        fcntl.flock(handle, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        return False  # held: its process lives
    finally:
        os.close(handle)
    return True


@contextmanager
def cluster_folder() -> Iterator[Path]:
    """A folder in the temporary folder for a local cluster's workers,
    removed afterwards (or, if this process is killed, by the next)."""
    where = Path(tempfile.gettempdir())
    remove_stale(where, CLUSTER_PREFIX)
    folder, handle = _locked_folder(where, CLUSTER_PREFIX)
    try:
        yield folder
    finally:
        shutil.rmtree(folder, ignore_errors=True)
        os.close(handle)


def remove_stale(base: Optional[Path] = None, prefix: str = PREFIX) -> list[Path]:
    """Removes the folders named `prefix`... in `base` (default: /dev/shm or
    the temporary folder) whose processes are gone; returns them. Only this
    user's."""
    base = base if base is not None else default_base()
    where = base if base is not None else Path(tempfile.gettempdir())
    removed = []
    try:
        candidates = [p for p in where.iterdir() if p.name.startswith(prefix)]
    except OSError:
        return removed
    for folder in candidates:
        try:
            mine = folder.lstat().st_uid == os.getuid() and folder.is_dir() and not folder.is_symlink()
        except OSError:
            continue
        if mine and _abandoned(folder):
            shutil.rmtree(folder, ignore_errors=True)
            removed.append(folder)
    return removed


def remove_all_stale() -> None:
    """Stale run folders in /dev/shm and in the temporary folder, stale
    cluster folders in the latter."""
    temporary = Path(tempfile.gettempdir())
    remove_stale(None)
    if default_base() is not None:
        remove_stale(temporary)
    remove_stale(temporary, CLUSTER_PREFIX)
