"""``python3 -m dolvanex sweep``: a sweep from the shell."""

from __future__ import annotations

import argparse
import re
import sys
from typing import Any, Optional, Sequence

import numpy as np
import pandas as pd

from .metrics import CATALOGUE, Metric, from_texts, usage
from .model import ModelError
from .plotting import plot_format, plot_sweep
from .result import SimulationError
from .settings import add_options, from_options
from .spaces import grid, samples
from .sweep import CLUSTER_TIMEOUT, Interrupted, SweepError, sweep

_CALL = re.compile(r"^\s*([a-z_]+)\s*\((.*)\)\s*$", re.DOTALL)


class UsageError(ValueError):
    pass


def _value(text: str) -> Any:
    """A number where the text is one, else the text (a parameter text such as '2.5k')."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        return text


def _arguments(text: str) -> list[str]:
    """The arguments of a metric call, split at commas outside quotes, each
    unquoted and stripped."""
    if not text.strip():
        return []
    parts, current, quote = [], "", ""
    for char in text:
        if quote:
            if char == quote:
                quote = ""
            else:
                current += char
        elif char in "\"'":
            quote = char
        elif char == ",":
            parts.append(current.strip())
            current = ""
        else:
            current += char
    if quote:
        raise UsageError(f"a quote is not closed in {text!r}")
    return parts + [current.strip()]


def parse_metric(text: str) -> tuple[str, Metric]:
    """NAME=EXPR, EXPR a call of a metric of the catalogue (metrics.py)."""
    name, eq, expr = text.partition("=")
    call = _CALL.match(expr) if eq else None
    if not name.strip() or call is None:
        raise UsageError(f"--metric {text}: expected NAME=EXPR, for example t100=time_to(vehicle.omega,>=,92.6)")
    try:
        return name.strip(), from_texts(call.group(1), _arguments(call.group(2)))
    except ValueError as error:
        raise UsageError(f"--metric {text}: {error}") from None


def _decimal(value: float) -> float:
    # 3.0 + 0.2 * 2 is 3.4000000000000004; the user meant 3.4.
    return float(f"{value:.12g}")


def parse_vary(text: str, sampled: bool) -> tuple[str, Any]:
    """PLACE=V1,V2,... or PLACE=LO:HI:N for a grid; PLACE=LO:HI with --samples."""
    place, eq, values = text.partition("=")
    if not eq or not place.strip() or not values.strip():
        raise UsageError(f"--vary {text}: expected PLACE=V1,V2,... or PLACE=LO:HI:N")
    place = place.strip()
    if ":" in values and "," not in values:
        parts = values.split(":")
        try:
            numbers = [float(p) for p in parts[:2]]
            count = int(parts[2]) if len(parts) == 3 else None
        except ValueError:
            raise UsageError(f"--vary {text}: LO and HI must be numbers and N a whole number") from None
        if sampled:
            if len(parts) != 2:
                raise UsageError(f"--vary {text}: with --samples a place takes a range LO:HI")
            return place, (numbers[0], numbers[1])
        if count is None or count < 1 or len(parts) != 3:
            raise UsageError(f"--vary {text}: a range in a grid is LO:HI:N with N at least 1")
        return place, [_decimal(v) for v in np.linspace(numbers[0], numbers[1], count)]
    if sampled:
        raise UsageError(f"--vary {text}: with --samples a place takes a range LO:HI, not a list")
    return place, [_value(v.strip()) for v in values.split(",")]


def build_space(varies: Sequence[str], count: Optional[int], method: str, seed: Optional[int]) -> pd.DataFrame:
    if not varies:
        raise UsageError("give at least one --vary PLACE=...")
    chosen = dict(parse_vary(v, count is not None) for v in varies)
    if len(chosen) != len(varies):
        raise UsageError("a place is given to --vary twice")
    if count is not None:
        return samples(count, chosen, method=method, seed=seed)
    return grid(chosen)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python3 -m dolvanex", description="Parameter studies with dolvanex-host")
    commands = parser.add_subparsers(dest="command", required=True)
    s = commands.add_parser("sweep", help="run every variant of a space on Dask and tabulate metrics")
    s.add_argument("model", help="model file (docs/model-format.md)")
    s.add_argument("--vary", action="append", default=[], metavar="PLACE=VALUES",
                   help="an instance (its parameter text) or a --set place: V1,V2,... or LO:HI:N; with --samples "
                        "LO:HI (repeatable; several make a grid of every combination)")
    s.add_argument("--samples", type=int, metavar="N", help="draw N variants from the ranges instead of a grid")
    s.add_argument("--sampling", choices=["lhs", "random"], default="lhs", help="with --samples (default lhs)")
    s.add_argument("--seed", type=int, help="with --samples: the same seed draws the same variants")
    s.add_argument("--metric", action="append", default=[], metavar="NAME=EXPR",
                   help=f"{', '.join(usage(n) for n in CATALOGUE)} (repeatable)")
    where = s.add_mutually_exclusive_group()
    where.add_argument("--workers", type=int, metavar="N", help="local workers (default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS", help="an existing Dask scheduler, tcp://HOST:8786")
    s.add_argument("--out", metavar="DIR", help="keep every run and sweep.csv here; a re-run resumes")
    s.add_argument("--plot", metavar="FILE", help="draw each metric over the varied values (.png or .svg)")
    s.add_argument("--timeout", type=float, metavar="S", help="stop a run after S seconds")
    s.add_argument("--output", action="append", metavar="PATTERN", help="columns of every run (default: those "
                   "the metrics read)")
    s.add_argument("--cluster-timeout", type=float, metavar="S", default=CLUSTER_TIMEOUT,
                   help=f"end the study when the cluster has had no worker or no scheduler for S seconds "
                        f"(default {CLUSTER_TIMEOUT:g})")
    add_options(s, "for every run")
    return parser


def _warn(text: str) -> None:
    print(f"dolvanex: {text}", file=sys.stderr)


def _study(a: argparse.Namespace) -> tuple[pd.DataFrame, pd.DataFrame, dict[str, Metric]]:
    if not a.metric:
        raise UsageError("give at least one --metric NAME=EXPR")
    named = dict(parse_metric(text) for text in a.metric)
    if a.plot:
        plot_format(a.plot)  # known before the study, not after it
    space = build_space(a.vary, a.samples, a.sampling, a.seed)
    settings = from_options(a, _warn)
    table = sweep(a.model, space, named, client=a.scheduler, workers=a.workers, out=a.out, timeout=a.timeout,
                  outputs=a.output, cluster_timeout=a.cluster_timeout, **settings)
    return table, space, named


def main(argv: Optional[Sequence[str]] = None) -> int:
    """The command line; the exit status: 0, 1 for an error (the message on
    stderr), 128 + the signal when one stopped the study."""
    a = _parser().parse_args(argv)
    try:
        table, space, named = _study(a)
        with pd.option_context("display.width", 200, "display.max_rows", None, "display.max_colwidth", 80):
            print(table.drop(columns=["variant"]).to_string(index=False))
        if a.out:
            print(f"\ntable written to {a.out}/sweep.csv")
        if a.plot:
            plot_sweep(table, a.plot, varied=list(space.columns), metrics=list(named), title=a.model)
            print(f"plot written to {a.plot}")
    except Interrupted as stop:
        _warn(str(stop))
        return 128 + stop.signal
    except (UsageError, ModelError, SimulationError, SweepError, ValueError, TypeError, OSError,
            RuntimeError) as error:
        _warn(str(error))
        return 1
    bad = int((table["status"] != "ok").sum())
    sys.stdout.flush()
    if bad:
        print(f"{bad} of {len(table)} variants did not complete; see status and message", file=sys.stderr)
    return 0
