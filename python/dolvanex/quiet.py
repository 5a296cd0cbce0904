"""The local cluster's worker processes, which leave the stopping signals to
the caller.

Ctrl-C on a terminal sends SIGINT to the caller's whole process group, a
closed terminal SIGHUP, `kill -TERM -PGID` SIGTERM: a worker that took them
would die, with a traceback on the terminal, and its nanny would start
another. The caller stops the runs and closes the cluster instead, which
stops the workers by a message of Dask's (and kills what does not end).
Imported only where a local cluster starts (distributed is slow to
import), and by name in each worker process.
"""

from __future__ import annotations

import signal
from typing import Any

from distributed import Nanny, Worker


def _ignore(number: int, frame: Any) -> None:
    pass


class QuietWorker(Worker):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        # A handler of Python's own rather than SIG_IGN, so that the tools the
        # worker starts get the default action back (exec resets handled
        # signals, not ignored ones).
        try:
            for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
                signal.signal(number, _ignore)
        except ValueError:  # not the main thread: the defaults stay
            pass
        super().__init__(*args, **kwargs)


class QuietNanny(Nanny):
    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("worker_class", QuietWorker)
        super().__init__(*args, **kwargs)
