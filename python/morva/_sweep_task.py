"""One run of a sweep, as executed on a worker: build, run to each measured time, measure.

A failure is caught here and becomes a row with an ``error`` text, so that one bad run never
stops the sweep and a rerun of the task always gives the same rows.
"""

from __future__ import annotations

import numbers
import time
from collections.abc import Mapping


class MeasureFailed(Exception):
    """A measure raised or returned something that is not a table cell."""


def _scalar(value):
    """A measured value as a plain Python scalar, or None when it is not one."""
    item = getattr(value, "item", None)  # NumPy scalars and 0-d arrays become Python scalars
    if item is not None and getattr(value, "ndim", 1) == 0:
        return item()
    if isinstance(value, (bool, numbers.Number, str)) or value is None:
        return value
    return None


def _columns(measure, result):
    """The columns one measure contributes: a dict of scalars, or one scalar under its name."""
    if isinstance(result, Mapping) or hasattr(result, "to_dict"):
        items = dict(result).items()
    else:
        items = [(measure.column, result)]
    columns = {}
    for key, value in items:
        scalar = _scalar(value)
        if scalar is None and value is not None:
            raise TypeError(f"value for {key!r} is a {type(value).__name__}, not a scalar")
        columns[str(key)] = scalar
    return columns


def describe(error):
    """An exception as "Type: message"."""
    text = str(error)
    return f"{type(error).__name__}: {text}" if text else type(error).__name__


def _measure_row(sim, measures, reserved):
    row = {}
    for measure in measures:
        try:
            columns = _columns(measure, measure.function(sim))
        except Exception as error:  # noqa: BLE001 - any failure of user code is reported, not raised
            raise MeasureFailed(f"measure {measure.name!r} at MCS {sim.mcs} failed: {describe(error)}") from None
        for key in columns:
            if key in reserved:
                raise MeasureFailed(f"measure {measure.name!r}: column {key!r} is taken by the sweep's own columns")
            if key in row:
                raise MeasureFailed(f"measure {measure.name!r} at MCS {sim.mcs}: column {key!r} is given twice")
        row.update(columns)
    return row


def run_one(model, run, times, measures):
    """Rows of one run and the seconds it took (the seconds are not part of the table).

    Parameters
    ----------
    model : morva.Model
        The sweep's base model; the run's grid point is applied to a copy.
    run : morva._sweep_plan.Run
    times : tuple of int
        MCS at which to measure, increasing.
    measures : tuple of morva._sweep_plan.Measure

    Returns
    -------
    (list of dict, float)
        One row per measured time. On failure, the rows measured so far and one last row
        holding the error text (measures left empty).

    Examples
    --------
    >>> rows, seconds = run_one(model, plan.runs[0], (100,), plan.measures)  # doctest: +SKIP
    """
    start = time.perf_counter()
    base = {**run.point, "replicate": run.replicate, "seed": run.seed}
    reserved = {*base, "mcs", "error"}
    rows = []
    try:
        sim = model.with_parameters(run.point).build(run.seed)
    except Exception as error:  # noqa: BLE001 - reported in the table, the sweep goes on
        return [{**base, "mcs": 0, "error": f"building the model failed: {describe(error)}"}], time.perf_counter() - start
    try:
        for target in times:
            if target > sim.mcs:
                sim.run(target - sim.mcs, progress=False)
            rows.append({**base, "mcs": target, **_measure_row(sim, measures, reserved), "error": None})
    except MeasureFailed as error:
        rows.append({**base, "mcs": sim.mcs, "error": str(error)})
    except Exception as error:  # noqa: BLE001 - reported in the table, the sweep goes on
        rows.append({**base, "mcs": sim.mcs, "error": f"run at MCS {sim.mcs} failed: {describe(error)}"})
    return rows, time.perf_counter() - start
