"""What a picture of one recorded frame needs, read from a recording.

A recording (``morva.open_recording``) holds label frames, fields and a per-cell table with the
type of every cell at every recorded step; types may change during a run, so each frame takes the
types recorded with it.
"""

import numpy as np


def cell_types_at(cells, time):
    """Type per cell id at one recorded step, from a per-cell table.

    Parameters
    ----------
    cells : pandas.DataFrame
        Per-cell table with columns ``time``, ``id`` and ``type``.
    time : int
        The step (MCS).

    Returns
    -------
    numpy.ndarray
        Type per cell id (index 0 = medium, 0 for ids absent at that step).

    Examples
    --------
    >>> import pandas as pd
    >>> from morva.viz import cell_types_at
    >>> table = pd.DataFrame({"time": [0, 0, 10], "id": [1, 2, 1], "type": [1, 2, 2]})
    >>> cell_types_at(table, 10).tolist()
    [0, 2]
    """
    rows = cells[cells["time"] == time]
    ids = rows["id"].to_numpy(dtype=np.int64)
    types = np.zeros(int(ids.max(initial=0)) + 1, dtype=np.int64)
    types[ids] = rows["type"].to_numpy()
    return types


def cell_values_at(cells, time, column):
    """A per-cell column at one recorded step as an array indexed by cell id (NaN where absent).

    Parameters
    ----------
    cells : pandas.DataFrame
        Per-cell table with columns ``time``, ``id`` and `column`.
    time : int
        The step (MCS).
    column : str
        Column to read, e.g. ``"volume"``.

    Returns
    -------
    numpy.ndarray
        Float array indexed by cell id.

    Examples
    --------
    >>> import pandas as pd
    >>> from morva.viz import cell_values_at
    >>> table = pd.DataFrame({"time": [0, 0], "id": [1, 3], "volume": [50, 70]})
    >>> cell_values_at(table, 0, "volume").tolist()
    [nan, 50.0, nan, 70.0]
    """
    if column not in cells.columns:
        raise KeyError(f"the per-cell table has no column {column!r}; it has {list(cells.columns)}")
    rows = cells[cells["time"] == time]
    ids = rows["id"].to_numpy(dtype=np.int64)
    values = np.full(int(ids.max(initial=0)) + 1, np.nan)
    values[ids] = rows[column].to_numpy(dtype=float)
    return values


def padded(array, size, fill):
    """`array` extended with `fill` to at least `size` entries (labels may outrun a table)."""
    if len(array) >= size:
        return array
    return np.concatenate([array, np.full(size - len(array), fill, dtype=array.dtype)])


def frame_picture_args(rec, index, *, color_by=None, field=None):
    """Arrays for :func:`plot_tissue` of frame `index` of recording `rec`.

    Parameters
    ----------
    rec : morva.Recording
        An open recording.
    index : int
        Frame number (0 .. len(rec) - 1).
    color_by : str, optional
        Per-cell column to colour by instead of the type.
    field : str, optional
        Name of a recorded field to show, or "activity" for the Act model's activity.

    Returns
    -------
    dict
        Keyword arguments ``labels``, ``cell_type``, ``type_names``, ``mcs``, ``model_colours``
        when the model declares type colours and, when asked, ``values``/``value_label`` and
        ``field``/``field_name``.

    Examples
    --------
    >>> import morva
    >>> from morva.viz import frame_picture_args, plot_tissue
    >>> rec = morva.open_recording("run")                      # doctest: +SKIP
    >>> fig = plot_tissue(**frame_picture_args(rec, -1))       # doctest: +SKIP
    """
    n = len(rec)
    if not -n <= index < n:
        raise IndexError(f"frame {index} is outside the recording's {n} frames")
    index %= n
    time = int(rec.times[index])
    labels = np.asarray(rec.labels(index))
    top = int(labels.max(initial=0)) + 1
    args = {
        "labels": labels,
        "cell_type": padded(cell_types_at(rec.cells, time), top, 0),
        "type_names": list(rec.type_names),
        "mcs": time,
    }
    declared = getattr(getattr(rec, "model", None), "type_colours", None)
    if declared:
        args["model_colours"] = dict(declared)
    if color_by is not None:
        args["values"] = padded(cell_values_at(rec.cells, time, color_by), top, np.nan)
        args["value_label"] = color_by
    if field is not None:
        name = frame_array_name(rec, field)
        args["field"] = np.asarray(rec.activity(index) if name == "activity" else rec.field(field, index))
        args["field_name"] = field
    return args


def frame_array_name(rec, field):
    """The frames array a picture's `field` names: the recorded field, or "activity" for the Act
    model's activity (when no field of that name was recorded).

    Examples
    --------
    >>> import types
    >>> rec = types.SimpleNamespace(frames={"labels": 0, "activity": 0})
    >>> frame_array_name(rec, "activity"), frame_array_name(rec, "signal")
    ('activity', 'field_signal')
    """
    if field == "activity" and "field_activity" not in rec.frames and "activity" in rec.frames:
        return "activity"
    return f"field_{field}"
