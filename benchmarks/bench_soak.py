"""A long study, to see that the client does not grow with it: a sweep of
20,000 short motor-gear variants (a grid of the gear and the load's
inertia, 1 s each) on 2 local workers, every run kept in a folder.

Prints the client's memory (resident now, and its peak so far; the local
cluster's workers are threads of the client, so theirs is in it) and its
open file descriptors before the sweep, when the first variant is recorded,
halfway, at the last one and after the sweep has returned (its cluster
closed); then the wall time. Neither should grow with the number of
variants beyond the table itself (a few MB for 20,000 rows).

    DOLVANEX_HOST=build/native/dolvanex-host PYTHONPATH=build/native/python \\
        /usr/bin/python3 benchmarks/bench_soak.py [--variants N] [--workers W]

The figures are read by people, not asserted. The kept runs go to a
temporary folder, removed at the end.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import dolvanex as dv

# The module, which the package's name `sweep` (the function) hides.
SWEEP = importlib.import_module("dolvanex.sweep")

MODEL = Path(__file__).resolve().parent.parent / "examples" / "motor-gear" / "model.json"


def figures() -> tuple[float, float, int]:
    """Resident and peak memory [MB], open file descriptors, of this process."""
    status = dict(line.split(":", 1) for line in Path("/proc/self/status").read_text().splitlines() if ":" in line)
    kb = {key: float(status[key].split()[0]) for key in ("VmRSS", "VmHWM")}
    return kb["VmRSS"] / 1024, kb["VmHWM"] / 1024, len(os.listdir("/proc/self/fd"))


def show(when: str, began: float) -> None:
    rss, peak, fds = figures()
    print(f"  {when:<34} resident {rss:7.1f} MB  peak {peak:7.1f} MB  open files {fds:4d}  "
          f"({time.monotonic() - began:6.1f} s)", flush=True)


def counting_bar(total: int, began: float) -> type:
    """The sweep's progress bar, which also shows the figures at the first,
    the middle and the last variant it is told of."""
    marks = {1: "first variant recorded", total // 2: "half the variants recorded", total: "last variant recorded"}
    base = SWEEP.tqdm

    class Bar(base):  # type: ignore[misc, valid-type]
        def __init__(self, *args: Any, **kwargs: Any) -> None:
            super().__init__(*args, **kwargs)
            self.seen = 0

        def update(self, n: float = 1) -> Any:
            self.seen += int(n)
            if self.seen in marks:
                show(marks[self.seen], began)
            return super().update(n)

    return Bar


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--variants", type=int, default=20000, help="variants of the study (default 20000)")
    parser.add_argument("--workers", type=int, default=2, help="local worker processes (default 2)")
    a = parser.parse_args()
    gears = 200
    loads = -(-a.variants // gears)
    space = dv.grid({"gear": [1.0 + 0.04 * i for i in range(gears)], "load.J": [0.2 + 0.01 * j for j in range(loads)]})
    space = space.iloc[:a.variants]
    print(f"tool {dv.find_tool()}; {os.cpu_count()} cores; {len(space)} variants of {MODEL.parent.name} "
          f"(stop time 1 s) on {a.workers} workers; load average {os.getloadavg()[0]:.2f}")
    began = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="dolvanex-soak-") as folder:
        show("before the sweep", began)
        SWEEP.tqdm = counting_bar(len(space), began)
        table = dv.sweep(MODEL, space, {"w": dv.final("load.omega")}, workers=a.workers, out=folder,
                         stop_time=1.0, progress=False)
        show("after the sweep", began)
        kept = sum(1 for _ in Path(folder).glob("*.json"))
    took = time.monotonic() - began
    statuses = table["status"].value_counts().to_dict()
    print(f"  {statuses}, {kept} variants kept; {took:.1f} s, {1e3 * took / len(space):.2f} ms a variant; "
          f"load average {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
