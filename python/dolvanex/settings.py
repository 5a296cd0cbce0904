"""The run settings, written once: their Python names, the tool's options,
their types and help texts.

`run`, `sweep`, `modes` and `response` take them as keyword arguments, the
command line ``python3 -m dolvanex sweep`` as options, and the tool gets
them as its own options (``run``) or as ``--set simulation.KEY=VALUE``
(``modes`` and ``response``, which run the model to their time with its
settings). Everything here is made from `SETTINGS`.
"""

from __future__ import annotations

import argparse
import inspect
import math
import os
import warnings
from dataclasses import dataclass
from numbers import Real
from typing import Any, Callable, Mapping, TypeVar


@dataclass(frozen=True)
class Setting:
    name: str           # the keyword argument; the command line's option is --name with dashes
    option: str         # the tool's option of `dolvanex-host run`
    key: str            # the model file's simulation key (docs/model-format.md)
    kind: type          # float, int or str
    help: str
    choices: tuple[str, ...] = ()  # for the help texts; the tool checks the value

    @property
    def flag(self) -> str:
        return "--" + self.name.replace("_", "-")


# In the order the options went to the tool before the table, which the
# names of kept variants (a hash of the arguments) depend on.
SETTINGS: tuple[Setting, ...] = (
    Setting("method", "--method", "method", str, "integration method", ("ida", "euler", "bdf2")),
    Setting("rtol", "--rtol", "rtol", float, "ida: relative tolerance"),
    Setting("atol", "--atol", "atol", float, "ida: absolute tolerance of every unknown"),
    Setting("start_time", "--start-time", "start", float, "start time [s]"),
    Setting("stop_time", "--stop-time", "stop", float, "stop time [s]"),
    Setting("output_interval", "--output-interval", "output_interval", float, "time between output samples [s]"),
    Setting("step", "--step", "step", float, "euler and bdf2: the fixed step [s]"),
    Setting("max_step", "--max-step", "max_step", float, "ida: the largest step [s]"),
    Setting("max_steps", "--max-steps", "max_steps", int, "the most steps a run may take"),
)
BY_NAME: dict[str, Setting] = {s.name: s for s in SETTINGS}
# Names of the last release, accepted with a DeprecationWarning until the next.
OLD_NAMES: dict[str, str] = {"start": "start_time", "stop": "stop_time"}


_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def _outside() -> int:
    """The stacklevel of warnings.warn that names the first caller outside this package."""
    here = inspect.currentframe()
    level, frame = 1, here.f_back if here is not None else None  # 1: the function that warns
    while frame is not None and os.path.abspath(frame.f_code.co_filename).startswith(_PACKAGE):
        level += 1
        frame = frame.f_back
    return level


def deprecated(old: str, new: str, where: str) -> None:
    warnings.warn(f"{where}: {old}= is deprecated and goes in the next release; use {new}=", DeprecationWarning,
                  stacklevel=_outside())


def renamed(where: str, kwargs: dict[str, Any], old: str, new: str, value: Any) -> Any:
    """The value of a renamed argument: `value` (given by its new name),
    else kwargs.pop(old) with a DeprecationWarning; TypeError when both are."""
    if old not in kwargs:
        return value
    if value is not None:
        raise TypeError(f"{where}: {old}= is the old name of {new}=; give only {new}=")
    deprecated(old, new, where)
    return kwargs.pop(old)


def chosen(where: str, settings: Mapping[str, Any]) -> dict[str, Any]:
    """The settings given, None dropped, in the caller's order and under
    their names (an old name with a DeprecationWarning), each checked
    against its type but kept as given (its text names kept variants).
    TypeError for an unknown name or a value of the wrong type, ValueError
    for one out of range."""
    values: dict[str, Any] = {}
    for name, value in settings.items():
        new = OLD_NAMES.get(name)
        if new is not None:
            if settings.get(new) is not None:
                raise TypeError(f"{where}: {name}= is the old name of {new}=; give only {new}=")
            deprecated(name, new, where)
            name = new
        setting = BY_NAME.get(name)
        if setting is None:
            raise TypeError(f"{where}: unknown setting {name!r}; the settings are {', '.join(BY_NAME)}")
        if value is not None:
            _check(setting, value)
            values[name] = value
    return values


def _check(setting: Setting, value: Any) -> None:
    # The tool judges the values themselves (a method it does not know, a
    # negative step) with its own messages.
    if setting.kind is str:
        if not isinstance(value, str):
            raise TypeError(f"{setting.name} is a string, not {value!r}")
        return
    if isinstance(value, str):
        try:
            float(value)  # the text of a number, passed as it stands
        except ValueError:
            raise TypeError(f"{setting.name} is a number, not {value!r}") from None
        return
    if isinstance(value, bool) or not isinstance(value, Real):
        raise TypeError(f"{setting.name} is a number, not {value!r}")
    if not math.isfinite(float(value)):
        raise ValueError(f"{setting.name} is a finite number, not {value!r}")
    if setting.kind is int and float(value) != int(value):
        raise ValueError(f"{setting.name} is a whole number, not {value!r}")


def run_arguments(values: Mapping[str, Any], text: Callable[[Any], str]) -> list[tuple[str, str]]:
    """(option, text) pairs of `dolvanex-host run`, in the order given."""
    return [(BY_NAME[name].option, text(value)) for name, value in values.items()]


def model_changes(values: Mapping[str, Any]) -> dict[str, Any]:
    """The same settings as --set places of the model, simulation.KEY, for
    the commands that take no run options (modes, response)."""
    return {f"simulation.{BY_NAME[name].key}": value for name, value in values.items()}


def add_options(parser: argparse.ArgumentParser, scope: str) -> None:
    """The settings as options of the command line, `scope` said in their help."""
    group = parser.add_argument_group("settings", f"override the model's settings {scope}")
    for s in SETTINGS:
        shown = f"{s.help} ({', '.join(s.choices)})" if s.choices else s.help
        group.add_argument(s.flag, dest=s.name, type=s.kind, metavar=s.kind.__name__.upper(), help=shown)
    for old, new in OLD_NAMES.items():
        group.add_argument(f"--{old}", dest=f"old_{old}", type=BY_NAME[new].kind, help=argparse.SUPPRESS)


def from_options(a: argparse.Namespace, warn: Callable[[str], None]) -> dict[str, Any]:
    """The settings a command line gave, the old options with a word to `warn`."""
    values = {s.name: getattr(a, s.name) for s in SETTINGS if getattr(a, s.name) is not None}
    for old, new in OLD_NAMES.items():
        value = getattr(a, f"old_{old}")
        if value is None:
            continue
        flag = BY_NAME[new].flag
        if new in values:
            raise ValueError(f"--{old} is the old name of {flag}; give only {flag}")
        warn(f"--{old} is deprecated and goes in the next release; use {flag}")
        values[new] = value
    return {s.name: values[s.name] for s in SETTINGS if s.name in values}  # the table's order, whichever name


F = TypeVar("F", bound=Callable[..., Any])


def takes_settings(function: F) -> F:
    """Shows the settings in the signature of a function that takes them as
    **settings (inspect, help(), editors), and lists them in its docstring."""
    signature = inspect.signature(function)
    parameters = [p for p in signature.parameters.values() if p.kind is not inspect.Parameter.VAR_KEYWORD]
    parameters += [inspect.Parameter(s.name, inspect.Parameter.KEYWORD_ONLY, default=None,
                                     annotation=f"Optional[{s.kind.__name__}]") for s in SETTINGS]
    function.__signature__ = signature.replace(parameters=parameters)  # type: ignore[attr-defined]
    lines = [f"        {s.name}: {s.help}" + (f" ({', '.join(s.choices)})" if s.choices else "") for s in SETTINGS]
    function.__doc__ = (function.__doc__ or "").rstrip() + "\n\n    Settings, each overriding the model's:\n" + \
        "\n".join(lines) + "\n"
    return function
