"""Parameter studies of drivetrain models with the Dolvanex gear component.

``run`` simulates one model with `dolvanex-host` and returns its results as
pandas data; ``modes`` and ``response`` give its natural frequencies, mode
shapes and frequency response about the state at a time; ``sweep`` runs every variant of a parameter space on Dask (a
local cluster by default) and tabulates metrics of each run. Every run is a
process of its own: the component keeps process-wide state.

The tool is the file named by $DOLVANEX_HOST, else the one beside this
package in the bundle, else ``dolvanex-host`` on the PATH.
"""

from __future__ import annotations

import os
import tempfile
from pathlib import Path
from typing import Any, Mapping, Optional, Sequence

from .analysis import modes, response
from .metrics import Metric, MetricError, dissipated, final, integral, max, mean, min, steps, supplied, time_to
from .model import ModelBundle, ModelError, ModelLike
from .plotting import plot_sweep
from .result import Result, SimulationError
from .spaces import grid, samples
from .sweep import sweep
from .tool import RunOptions, find_tool, run_tool

__all__ = [
    "run", "sweep", "modes", "response", "grid", "samples", "plot_sweep", "Result", "SimulationError", "ModelError",
    "Metric", "MetricError", "final", "max", "min", "mean", "integral", "time_to", "dissipated", "supplied",
    "steps", "find_tool",
]
__version__ = "1.4.0"


def run(
    model: ModelLike,
    set: Optional[Mapping[str, Any]] = None,  # noqa: A002 - the tool's own word
    params: Optional[Mapping[str, Any]] = None,
    outputs: Optional[Sequence[str]] = None,
    method: Optional[str] = None,
    rtol: Optional[float] = None,
    atol: Optional[float] = None,
    start: Optional[float] = None,
    stop: Optional[float] = None,
    output_interval: Optional[float] = None,
    step: Optional[float] = None,
    max_step: Optional[float] = None,
    timeout: Optional[float] = None,
) -> Result:
    """Simulates a model and returns its Result.

    model: a model file (docs/model-format.md), or a dict of the same
        content; a dict is written to a temporary folder with copies of the
        CSV files its ``csv`` waveforms name (relative names from the
        current folder).
    set: ``{place: value}`` as ``--set`` (``{"load.J": 0.8}``).
    params: ``{instance: text}`` as ``--param`` (``{"gear": "2.5k"}``; a
        number is passed as its shortest text).
    outputs: ``--output`` patterns of the columns (default: every output of
        the recorded instances).
    method, rtol, atol, start, stop [s], output_interval [s], step [s],
        max_step [s]: override the model's settings.
    timeout: seconds after which the run is stopped.

    Raises SimulationError with the tool's message and exit status when the
    run fails (status 2, with ``.result``, when it completed but a check
    failed), ModelError for a dict that is no JSON model, and
    FileNotFoundError when the tool cannot be found.
    """
    options = RunOptions.make(set, params, outputs, method=method, rtol=rtol, atol=atol, start=start, stop=stop,
                              output_interval=output_interval, step=step, max_step=max_step)
    if not isinstance(model, Mapping):
        return run_tool(Path(os.fspath(model)), options, timeout)
    bundle = ModelBundle.load(model)
    with tempfile.TemporaryDirectory(prefix="dolvanex-model-") as folder:
        copy = Path(folder)
        return run_tool(bundle.materialise(copy), options, timeout, lambda text: bundle.readable(text, copy))
