"""The plan of a sweep: checked inputs, the list of runs in table order and each run's seed.

Everything here runs on the client before any task is sent, so that bad input fails at once
with a message naming the item, and nothing here depends on how many workers there are.
"""

from __future__ import annotations

import hashlib
import importlib
import itertools
import json
import numbers
from dataclasses import dataclass

import numpy as np

#: Version of the store layout and of the seed derivation; both change together.
FORMAT = 1


@dataclass(frozen=True)
class Run:
    """One run of the sweep: a grid point and a replicate, with its derived seed."""

    index: int
    point: dict
    replicate: int
    seed: int


@dataclass(frozen=True)
class Measure:
    """A measure: the name the store's identity and error texts use, and the column a scalar
    result goes to (the function's own name)."""

    name: str
    function: object
    column: str


@dataclass(frozen=True)
class Plan:
    model: object
    grid: dict
    replicates: int
    times: tuple
    measures: tuple
    seed: int
    runs: tuple

    def identity(self):
        """What makes two sweeps the same sweep: compared before a store is reused."""
        return {
            "format": FORMAT,
            "seed": self.seed,
            "replicates": self.replicates,
            "mcs": list(self.times),
            "measures": [m.name for m in self.measures],
            "grid": {name: [_canonical(v) for v in values] for name, values in self.grid.items()},
            "model_sha256": hashlib.sha256(model_text(self.model).encode()).hexdigest(),
        }


def model_text(model):
    """The model's own description, used to tell whether a store was made with the same model."""
    return model.to_toml()


def _canonical(value):
    """A value as it enters seeds and store identity: 11 and 11.0 are the same parameter value."""
    if isinstance(value, (bool, np.bool_)):
        return bool(value)
    if isinstance(value, numbers.Real):
        return float(value)
    if isinstance(value, str):
        return value
    raise TypeError(f"unsupported parameter value {value!r} of type {type(value).__name__}")


def run_seed(sweep_seed, point, replicate):
    """Seed of one run, from the sweep seed, the run's parameters and its replicate number.

    Parameters
    ----------
    sweep_seed : int
        The sweep's seed (>= 0).
    point : dict
        Parameter name -> value of the run; the order of the names does not matter.
    replicate : int
        The replicate number (0-based).

    Returns
    -------
    int
        A seed in [0, 2**63), so that it fits the table's int64 column.

    Examples
    --------
    >>> run_seed(1, {"temperature": 10}, 0) == run_seed(1, {"temperature": 10.0}, 0)
    True
    >>> run_seed(1, {"temperature": 10}, 0) == run_seed(1, {"temperature": 10}, 1)
    False
    """
    text = json.dumps(sorted((name, _canonical(v)) for name, v in point.items()))
    digest = hashlib.sha256(text.encode()).digest()
    words = np.frombuffer(digest, dtype="<u4").tolist()
    sequence = np.random.SeedSequence(entropy=sweep_seed, spawn_key=(*words, replicate))
    low, high = sequence.generate_state(2, dtype=np.uint32).tolist()
    return (high & 0x7FFFFFFF) << 32 | low


def _check_int(name, value, minimum):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name}: expected an integer, got {value!r}")
    if value < minimum:
        raise ValueError(f"{name}: must be at least {minimum}, got {value}")
    return int(value)


def _check_times(mcs):
    if isinstance(mcs, numbers.Integral) and not isinstance(mcs, bool):
        return (_check_int("mcs", mcs, 0),)
    if isinstance(mcs, (str, bytes)):
        raise TypeError(f"mcs: expected an integer or a sequence of integers, got {mcs!r}")
    try:
        times = tuple(mcs)
    except TypeError:
        raise TypeError(f"mcs: expected an integer or a sequence of integers, got {mcs!r}") from None
    if not times:
        raise ValueError("mcs: the schedule of measured times is empty")
    times = tuple(_check_int(f"mcs[{i}]", t, 0) for i, t in enumerate(times))
    for i in range(1, len(times)):
        if times[i] <= times[i - 1]:
            raise ValueError(f"mcs: times must increase, but mcs[{i}] = {times[i]} follows {times[i - 1]}")
    return times


def resolve_measure(item):
    """A measure given by function, by name in morva.measures or as "module:function"."""
    if isinstance(item, str):
        if ":" in item:
            module_name, _, attribute = item.partition(":")
        else:
            module_name, attribute = "morva.measures", item
        try:
            function = getattr(importlib.import_module(module_name), attribute)
        except (ImportError, AttributeError) as error:
            raise ValueError(f"measure {item!r}: cannot find {attribute!r} in {module_name} ({error})") from None
        if not callable(function):
            raise TypeError(f"measure {item!r}: {module_name}.{attribute} is not callable")
        return Measure(item, function, attribute)
    if not callable(item):
        raise TypeError(f"measure: expected a callable taking a simulation (or its name), got {item!r}")
    column = getattr(item, "__name__", None) or type(item).__name__
    name = getattr(item, "__qualname__", None) or column
    module = getattr(item, "__module__", None)
    return Measure(f"{module}:{name}" if module and module != "morva.measures" else name, item, column)


def _check_measures(measure):
    items = list(measure) if isinstance(measure, (list, tuple)) else [measure]
    if not items:
        raise ValueError("measure: the list of measures is empty")
    measures = tuple(resolve_measure(item) for item in items)
    names = [m.name for m in measures]
    for name in names:
        if names.count(name) > 1:
            raise ValueError(f"measure: {name!r} is given twice")
    return measures


def _check_grid(model, grid):
    if not isinstance(grid, dict):
        raise TypeError(f"grid: expected a dict of parameter name -> list of values, got {type(grid).__name__}")
    if not grid:
        raise ValueError("grid: empty; give at least one parameter with its values")
    checked = {}
    for name, values in grid.items():
        if not isinstance(name, str):
            raise TypeError(f"grid: parameter names are strings, got {name!r}")
        try:
            model.parameter(name)
        except KeyError as error:
            raise KeyError(f"grid: {error.args[0]}" if error.args else f"grid: unknown parameter {name!r}") from None
        if isinstance(values, (str, bytes)) or not hasattr(values, "__iter__"):
            values = [values]
        values = list(values)
        if not values:
            raise ValueError(f"grid: parameter {name!r} has no values")
        for value in values:
            try:
                _canonical(value)
            except TypeError as error:
                raise TypeError(f"grid: parameter {name!r}: {error}") from None
        canon = [_canonical(v) for v in values]
        for value in canon:
            if canon.count(value) > 1:
                raise ValueError(f"grid: parameter {name!r} lists the value {value!r} twice")
        checked[name] = values
    return checked


def make_plan(model, grid, *, replicates, mcs, measure, seed):
    """Check a sweep's inputs and list its runs; raises on the first offending item."""
    seed = _check_int("seed", seed, 0)
    replicates = _check_int("replicates", replicates, 1)
    times = _check_times(mcs)
    measures = _check_measures(measure)
    grid = _check_grid(model, grid)
    runs = []
    for values in itertools.product(*grid.values()):
        point = dict(zip(grid, values))
        try:
            model.with_parameters(point).check_contacts()
        except (KeyError, ValueError, TypeError) as error:
            raise type(error)(f"grid point {point}: {error}") from None
        for replicate in range(replicates):
            runs.append(Run(len(runs), point, replicate, run_seed(seed, point, replicate)))
    return Plan(model, grid, replicates, times, measures, seed, tuple(runs))
