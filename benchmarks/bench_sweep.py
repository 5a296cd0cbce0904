"""The Python package's costs, measured against the tool alone.

- run() against one `dolvanex-host run` writing the same CSV and summary:
  the package's overhead per run (start, reading the CSV and the JSON).
- sweep() of 64 motor-gear variants on 1 and 2 local workers (clusters
  started beforehand; their start is given apart), and a plain shell loop
  over the tool that writes each variant's CSV: as the example stands (a run
  of about 2 ms, mostly the process's start) and with BDF2 at a step of
  0.1 ms (about 50 ms a run).
- Whole processes, cluster start included (`--whole` alone runs just
  these): `python3 -m dolvanex sweep` of 400 motor-gear variants on 2
  workers against a shell loop of the same 400 `dolvanex-host run` calls;
  96 vehicle-launch variants (about 75 ms a run) on 1 and on 2 workers;
  and the time from a sweep's start to its first result.

    DOLVANEX_HOST=build/native/dolvanex-host PYTHONPATH=build/native/python \\
        /usr/bin/python3 benchmarks/bench_sweep.py [--repeat N] [--whole]

Prints medians and the machine's load average before and after; the
figures are read by people, not asserted.
"""

from __future__ import annotations

import argparse
import os
import shlex
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Callable

import dolvanex as dv
from dolvanex.sweep import local_cluster

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"
MODEL = EXAMPLES / "motor-gear" / "model.json"
LAUNCH = EXAMPLES / "vehicle-launch" / "model.json"
KS = [1.0, 1.5, 2.0, 3.0, 4.0, 5.0, 6.0, 8.0]
JS = [0.2, 0.3, 0.5, 0.7, 1.0, 1.5, 2.0, 3.0]


def median_seconds(work: Callable[[], object], repeat: int) -> tuple[float, float, float]:
    """Median, fastest and slowest of `repeat` runs, after one to warm up."""
    work()
    times = []
    for _ in range(repeat):
        began = time.perf_counter()
        work()
        times.append(time.perf_counter() - began)
    return statistics.median(times), min(times), max(times)


def load() -> str:
    return " ".join(f"{v:.2f}" for v in os.getloadavg())


def show(name: str, figures: tuple[float, float, float], unit: float = 1.0, suffix: str = "s") -> float:
    med, low, high = (f / unit for f in figures)
    print(f"  {name:<46} {med:9.4f} {suffix}  (fastest {low:.4f}, slowest {high:.4f})")
    return figures[0]


def tool_alone(tool: Path, scratch: Path, runs: int) -> None:
    print(f"\none motor-gear run (median of {runs}):")
    bare = show("dolvanex-host run (no files)", median_seconds(
        lambda: subprocess.run([str(tool), "run", str(MODEL)], stdout=subprocess.DEVNULL, check=True), runs))
    # run() has the tool write into memory (/dev/shm) where there is one;
    # the tool alone is measured writing there and onto the disk.
    folders = {"memory": Path("/dev/shm"), "disk": scratch}
    alone = {}
    for where, folder in folders.items():
        if not folder.is_dir():
            continue
        files = ["--csv", str(folder / "bench.csv"), "--summary-json", str(folder / "bench.json")]
        alone[where] = show(f"dolvanex-host run --csv --summary-json ({where})", median_seconds(
            lambda: subprocess.run([str(tool), "run", str(MODEL), *files], stdout=subprocess.DEVNULL, check=True),
            runs))
        for name in ("bench.csv", "bench.json"):
            (folder / name).unlink(missing_ok=True)
    package = show("dolvanex.run() and its .data", median_seconds(lambda: dv.run(MODEL).data, runs))
    same = alone.get("memory", alone["disk"])
    print(f"  overhead of run() per run: {1e3 * (package - same):.2f} ms against the tool writing the same files "
          f"({100 * (package / same - 1):.0f} %); the tool without files takes {1e3 * bare:.2f} ms")


def study(tool: Path, scratch: Path, label: str, settings: dict[str, object], repeat: int) -> None:
    from distributed import Client

    space = dv.grid({"gear": KS, "load.J": JS})
    metrics = {"w": dv.final("load.omega")}
    extra = " ".join(f"--{k.replace('_', '-')} {v}" for k, v in settings.items())
    loop = " ; ".join(
        f"{shlex.quote(str(tool))} run {shlex.quote(str(MODEL))} --param gear={k!r} --set load.J={j!r} {extra} "
        f"--csv {shlex.quote(str(scratch / f'{k}-{j}.csv'))} >/dev/null"
        for k in KS for j in JS)
    print(f"\nsweep of {len(space)} motor-gear variants{label}, metric final(load.omega) "
          f"(median of {repeat}, interleaved):")
    with local_cluster(1) as one, Client(one) as c1, local_cluster(2) as two, Client(two) as c2:
        c1.wait_for_workers(1, timeout=60)
        c2.wait_for_workers(2, timeout=60)
        ways: dict[str, Callable[[], object]] = {
            "shell loop over dolvanex-host (a CSV each)": lambda: subprocess.run(["sh", "-c", loop], check=True),
            "sweep(), 1 worker (cluster running)": lambda: dv.sweep(MODEL, space, metrics, client=c1, **settings),
            "sweep(), 2 workers (cluster running)": lambda: dv.sweep(MODEL, space, metrics, client=c2, **settings),
        }
        # The others' builds come and go on this machine: each repetition
        # takes every way in turn, in a rotating order, so that a
        # disturbance falls on all of them alike.
        times: dict[str, list[float]] = {name: [] for name in ways}
        names = list(ways)
        for name in names:
            ways[name]()
        for r in range(repeat):
            for name in names[r % 3:] + names[:r % 3]:
                began = time.perf_counter()
                ways[name]()
                times[name].append(time.perf_counter() - began)
    for name in names:
        ts = times[name]
        print(f"  {name:<46} {statistics.median(ts):9.4f} s  (fastest {min(ts):.4f}, slowest {max(ts):.4f})")
    loop_t, one_t, two_t = (times[n] for n in names)
    embedded = show("sweep(), embedded default (2 workers, with start)", median_seconds(
        lambda: dv.sweep(MODEL, space, metrics, **settings), max(1, repeat // 3)))
    for what, pick in (("medians", statistics.median), ("fastest", min)):
        print(f"  {what}: speed-up from 1 to 2 workers {pick(one_t) / pick(two_t):.2f}x; 2 workers against the "
              f"shell loop {pick(loop_t) / pick(two_t):.2f}x faster")
    print(f"  embedded default, cluster start included, against the shell loop: "
          f"{statistics.median(loop_t) / embedded:.2f}x")


def timed(command: list[str]) -> float:
    began = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True, timeout=600)
    return time.perf_counter() - began


def interleaved(ways: dict[str, list[str]], repeat: int) -> dict[str, list[float]]:
    """Each command `repeat` times, in a rotating order (one warm-up round)."""
    names = list(ways)
    for name in names:
        timed(ways[name])
    times: dict[str, list[float]] = {name: [] for name in names}
    for r in range(repeat):
        for name in names[r % len(names):] + names[:r % len(names)]:
            times[name].append(timed(ways[name]))
    for name, ts in times.items():
        print(f"  {name:<58} {statistics.median(ts):8.3f} s  (fastest {min(ts):.3f}, slowest {max(ts):.3f})")
    return times


# A sweep that prints a line when its first variant is recorded (its
# progress bar's first tick); the caller times that line from its start.
_FIRST = """
import importlib, sys
import dolvanex as dv
SWEEP = importlib.import_module("dolvanex.sweep")
class Bar(SWEEP.tqdm):
    def update(self, n=1):
        if not getattr(self, "told", False):
            self.told = True
            print("first", flush=True)
        return super().update(n)
SWEEP.tqdm = Bar
if __name__ == "__main__":
    dv.sweep(sys.argv[1], dv.grid({"final_drive": [3.0 + 0.016 * i for i in range(96)]}),
             {"v": dv.final("vehicle.omega")}, workers=2, progress=False)
"""


def first_result(repeat: int) -> None:
    print(f"\nfrom a sweep's start (a new process) to its first result, 96 vehicle-launch variants on 2 workers "
          f"(median of {repeat}):")
    firsts, totals = [], []
    for _ in range(repeat):
        began = time.perf_counter()
        child = subprocess.Popen([sys.executable, "-c", _FIRST, str(LAUNCH)], stdout=subprocess.PIPE, text=True)
        assert child.stdout is not None
        line = child.stdout.readline()
        firsts.append(time.perf_counter() - began)
        child.communicate(timeout=600)
        totals.append(time.perf_counter() - began)
        assert line.strip() == "first" and child.returncode == 0
    print(f"  first result after {statistics.median(firsts):.3f} s (fastest {min(firsts):.3f}, slowest "
          f"{max(firsts):.3f}); the whole sweep {statistics.median(totals):.3f} s")


def whole(tool: Path, scratch: Path, repeat: int) -> None:
    """The figures of whole processes, cluster start included."""
    command = [sys.executable, "-m", "dolvanex", "sweep"]
    gears = [1.0 + 0.01 * i for i in range(400)]
    loop = " ; ".join(f"{shlex.quote(str(tool))} run {shlex.quote(str(MODEL))} --param gear={k!r} "
                      f"--csv {shlex.quote(str(scratch / f'{i}.csv'))} >/dev/null" for i, k in enumerate(gears))
    print(f"\nwhole processes, 400 motor-gear variants (gear 1 to 4.99), metric final(load.omega) "
          f"(median of {repeat}, interleaved):")
    times = interleaved({
        "shell loop of 400 dolvanex-host run (a CSV each)": ["sh", "-c", loop],
        "python3 -m dolvanex sweep --workers 2": [*command, str(MODEL), "--vary", "gear=1:4.99:400", "--metric",
                                                  "w=final(load.omega)", "--workers", "2"],
    }, repeat)
    loop_t, sweep_t = (statistics.median(t) for t in times.values())
    print(f"  the sweep takes {sweep_t / loop_t:.2f} of the loop's time (target: at most 0.5)")
    print(f"\nwhole processes, 96 vehicle-launch variants (final_drive 3 to 4.52), metric final(vehicle.omega) "
          f"(median of {repeat}, interleaved):")
    launch = [*command, str(LAUNCH), "--vary", "final_drive=3:4.52:96", "--metric", "v=final(vehicle.omega)"]
    times = interleaved({f"python3 -m dolvanex sweep --workers {n}": [*launch, "--workers", str(n)] for n in (1, 2)},
                        repeat)
    one, two = (statistics.median(t) for t in times.values())
    print(f"  speed-up from 1 to 2 workers {one / two:.2f}x (target: at least 1.8x)")
    first_result(repeat)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7, help="measured repetitions of each sweep (default 7)")
    parser.add_argument("--whole", action="store_true", help="only the figures of whole processes")
    a = parser.parse_args()
    tool = dv.find_tool()
    print(f"tool {tool}; {os.cpu_count()} cores; load average before: {load()}")
    with tempfile.TemporaryDirectory(prefix="dolvanex-bench-") as folder:
        scratch = Path(folder)
        whole(tool, scratch, a.repeat)
        if a.whole:
            print(f"\nload average after: {load()}")
            return 0
        tool_alone(tool, scratch, 10 * a.repeat)
        study(tool, scratch, "", {}, a.repeat)
        # The same with runs of some length: BDF2 at 0.1 ms, 100 000 steps each.
        study(tool, scratch, " (bdf2, step 0.1 ms)", {"method": "bdf2", "step": 1e-4}, max(1, a.repeat // 2))
    print(f"\nload average after: {load()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
