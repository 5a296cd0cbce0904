"""A model file with the CSV files it names, as one value that travels.

A sweep's workers need not share a file system with the caller: they get
the model's text and the bytes of every CSV file its ``csv`` waveforms
name, and write them into a folder of their own (`materialise`). The
waveforms' ``file`` keys are rewritten to the copies, so that the tool
finds them beside the model wherever it runs.
"""

from __future__ import annotations

import hashlib
import json
import os
import tempfile
from contextlib import contextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterator, Mapping, Union

ModelLike = Union[str, os.PathLike, Mapping[str, Any]]

_MODEL_NAME = "model.json"
_INPUTS = "inputs"


class ModelError(ValueError):
    """A model that cannot be read: not there, not JSON, a repeated key."""


def _no_repeated_keys(pairs: list[tuple[str, Any]]) -> dict[str, Any]:
    # The tool refuses a key given twice in one object; Python's json would
    # keep the last one silently and hand the tool a different model.
    result: dict[str, Any] = {}
    for key, value in pairs:
        if key in result:
            raise ModelError(f"the key {key!r} appears twice in one object")
        result[key] = value
    return result


def _csv_waveforms(node: Any) -> Iterator[dict[str, Any]]:
    if isinstance(node, dict):
        if node.get("type") == "csv" and isinstance(node.get("file"), str):
            yield node
        for value in node.values():
            yield from _csv_waveforms(value)
    elif isinstance(node, list):
        for value in node:
            yield from _csv_waveforms(value)


@dataclass(frozen=True)
class ModelBundle:
    """The model's JSON text and its CSV inputs, by the names the text uses.

    ``shown`` is how messages name the model (its path as given, or
    ``<model dict>``); ``sources`` maps each input's name in the bundle to
    the file it was read from, for the same purpose.
    """

    text: str
    inputs: dict[str, bytes]
    shown: str
    sources: dict[str, str]
    instances: tuple[str, ...]
    digest: str = field(default="")

    @staticmethod
    def load(model: ModelLike) -> "ModelBundle":
        """Reads a model file (relative CSV files from its folder) or takes a
        dict (relative CSV files from the current folder). Raises ModelError
        or OSError naming the file."""
        if isinstance(model, Mapping):
            try:
                tree = json.loads(json.dumps(model, allow_nan=False))
            except (TypeError, ValueError) as error:
                raise ModelError(f"<model dict>: not a JSON model: {error}") from None
            base, shown = Path.cwd(), "<model dict>"
        else:
            path = Path(model)
            shown = str(model)
            try:
                tree = json.loads(path.read_text(encoding="utf-8"), object_pairs_hook=_no_repeated_keys)
            except json.JSONDecodeError as error:
                raise ModelError(f"{shown}: not valid JSON: {error}") from None
            except ModelError as error:
                raise ModelError(f"{shown}: {error}") from None
            base = path.parent
        if not isinstance(tree, dict):
            raise ModelError(f"{shown}: a model is a JSON object")
        inputs: dict[str, bytes] = {}
        sources: dict[str, str] = {}
        by_file: dict[Path, str] = {}
        for wave in _csv_waveforms(tree):
            source = (base / wave["file"]).absolute()
            name = by_file.get(source)
            if name is None:
                name = f"{_INPUTS}/{len(by_file)}/{source.name}"
                try:
                    inputs[name] = source.read_bytes()
                except OSError as error:
                    raise ModelError(f"{shown}: the csv waveform's file {wave['file']}: {error.strerror}") from None
                by_file[source] = name
                sources[name] = str(source)
            wave["file"] = name
        instances = tuple(
            str(i["name"]) for i in tree.get("instances", []) if isinstance(i, dict) and "name" in i
        )
        text = json.dumps(tree, indent=1)
        digest = hashlib.sha256(text.encode())
        for name in sorted(inputs):
            digest.update(name.encode() + b"\0" + hashlib.sha256(inputs[name]).digest())
        return ModelBundle(text, inputs, shown, sources, instances, digest.hexdigest())

    def materialise(self, folder: Path) -> Path:
        """Writes the model and its inputs into `folder`; returns the model file."""
        for name, data in self.inputs.items():
            target = folder / name
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(data)
        model = folder / _MODEL_NAME
        model.write_text(self.text, encoding="utf-8")
        return model

    def readable(self, message: str, folder: Path) -> str:
        """A message of the tool about the copy in `folder`, naming the
        caller's files instead, so that it reads the same on every worker."""
        pairs = [(str(folder / _MODEL_NAME), self.shown)]
        pairs += [(str(folder / name), source) for name, source in self.sources.items()]
        for copy, original in sorted(pairs, key=lambda p: -len(p[0])):
            message = message.replace(copy, original)
        return message


@contextmanager
def model_file(model: ModelLike) -> Iterator[tuple[Path, Callable[[str], str]]]:
    """The file to give the tool for a model and how to make its messages
    name the caller's files: a file as it is; a dict written, with copies
    of its CSV inputs, into a temporary folder that goes afterwards.
    Raises ModelError for a dict that is no JSON model."""
    if not isinstance(model, Mapping):
        yield Path(os.fspath(model)), lambda text: text
        return
    bundle = ModelBundle.load(model)
    with tempfile.TemporaryDirectory(prefix="dolvanex-model-") as folder:
        copy = Path(folder)
        yield bundle.materialise(copy), lambda text: bundle.readable(text, copy)
