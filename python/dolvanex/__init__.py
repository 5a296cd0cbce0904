"""Parameter studies of drivetrain models with the Dolvanex gear component.

``run`` simulates one model with `dolvanex-host` and returns its results as
pandas data; ``modes`` and ``response`` give its natural frequencies, mode
shapes and frequency response about the state at a time, ``campbell`` and
``order_response`` its modes and forced response over a node's speed;
``sweep`` runs every variant of a parameter space on Dask (a local cluster
by default) and tabulates metrics of each run. The component keeps
process-wide state, so it runs outside Python: ``run`` and the analyses
start a tool process per call, and a sweep's workers each keep a
``dolvanex-host batch`` process that sets every variant's instances up and
releases them afresh.

The tool is the file named by $DOLVANEX_HOST, else the one beside this
package in the bundle, else ``dolvanex-host`` on the PATH.
"""

from __future__ import annotations

from typing import Any, Mapping, Optional, Sequence

from .analysis import campbell, modes, order_response, response
from .metrics import Metric, MetricError, dissipated, final, integral, max, mean, min, steps, supplied, time_to
from .model import ModelBundle, ModelError, ModelLike, model_file  # noqa: F401 - ModelBundle: public before
from .plotting import plot_sweep
from .result import Result, SimulationError
from .settings import SETTINGS, chosen, renamed, takes_settings
from .spaces import grid, samples
from .sweep import Interrupted, SweepError, sweep
from .tool import RunOptions, find_tool, run_tool

__all__ = [
    "run", "sweep", "modes", "response", "campbell", "order_response", "grid", "samples", "plot_sweep", "Result",
    "SimulationError", "ModelError",
    "Metric", "MetricError", "final", "max", "min", "mean", "integral", "time_to", "dissipated", "supplied",
    "steps", "find_tool", "Interrupted", "SweepError", "SETTINGS",
]
__version__ = "1.4.0"


@takes_settings
def run(
    model: ModelLike,
    changes: Optional[Mapping[str, Any]] = None,
    params: Optional[Mapping[str, Any]] = None,
    outputs: Optional[Sequence[str]] = None,
    *,
    timeout: Optional[float] = None,
    **settings: Any,
) -> Result:
    """Simulates a model and returns its Result.

    model: a model file (docs/model-format.md), or a dict of the same
        content; a dict is written to a temporary folder with copies of the
        CSV files its ``csv`` waveforms name (relative names from the
        current folder).
    changes: ``{place: value}`` as ``--set`` (``{"load.J": 0.8}``); the
        old name ``set=`` works until the next release.
    params: ``{instance: text}`` as ``--param`` (``{"gear": "2.5k"}``; a
        number is passed as its shortest text).
    outputs: ``--output`` patterns of the columns (default: every output of
        the recorded instances).
    timeout: seconds after which the run is stopped.
    settings: see below (`dolvanex.SETTINGS`); ``start=`` and ``stop=``
        are the old names of ``start_time=`` and ``stop_time=``.

    Raises SimulationError with the tool's message and exit status when the
    run fails (status 2, with ``.result``, when it completed but a check
    failed), ModelError for a dict that is no JSON model, TypeError for an
    unknown setting, and FileNotFoundError when the tool cannot be found.
    """
    changes = renamed("run()", settings, "set", "changes", changes)
    options = RunOptions.make(changes, params, outputs, chosen("run()", settings))
    with model_file(model) as (path, readable):
        return run_tool(path, options, timeout, readable)
