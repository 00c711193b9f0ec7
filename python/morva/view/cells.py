"""What the cells layer shows of one frame: a colour per cell id and the rows hovering shows."""

import numpy as np
import pandas as pd

from ..viz.palette import type_colours

COLOURINGS = ("type", "id")
_TRANSPARENT = (0.0, 0.0, 0.0, 0.0)


def check_colouring(colour_by):
    """`colour_by` if it is a known colouring, else ValueError.

    Examples
    --------
    >>> check_colouring("type")
    'type'
    """
    if colour_by not in COLOURINGS:
        raise ValueError(f"colour_by must be one of {', '.join(COLOURINGS)}, got {colour_by!r}")
    return colour_by


def type_colour_map(ids, types, type_names):
    """``{cell id: RGBA}`` in the colours of ``morva.viz``; the medium (0) and unknown ids are transparent.

    Parameters
    ----------
    ids, types : array_like
        Cell ids and their type ids.
    type_names : sequence of str
        Type names by type id.

    Returns
    -------
    dict
        Keys: None (any other label), 0 and every id.

    Examples
    --------
    >>> colours = type_colour_map([3], [1], ["medium", "a"])
    >>> colours[3], colours[0]
    ((0.902, 0.624, 0.0, 1.0), (0.0, 0.0, 0.0, 0.0))
    """
    rgb = type_colours(list(type_names))
    colours = {None: _TRANSPARENT, 0: _TRANSPARENT}
    for cell_id, type_id in zip(np.asarray(ids).tolist(), np.asarray(types).tolist()):
        colours[cell_id] = (*rgb[type_id].tolist(), 1.0)
    return colours


def features(rows):
    """The features of a labels layer from cell table rows: an ``index`` column (the label) first.

    Parameters
    ----------
    rows : pandas.DataFrame
        Rows of a cell table, with the ids in an ``id`` column or as the index; a ``time`` column
        is dropped (the slider shows it).

    Returns
    -------
    pandas.DataFrame

    Examples
    --------
    >>> rows = pd.DataFrame({"time": [5], "id": [2], "type_name": ["a"], "volume": [9]})
    >>> list(features(rows).columns)
    ['index', 'id', 'type_name', 'volume']
    """
    if "id" not in rows.columns:
        rows = rows.reset_index()
    table = rows.drop(columns=["time"], errors="ignore").reset_index(drop=True)
    table.insert(0, "index", table["id"].to_numpy(dtype=np.int64))
    return table


class FrameCells:
    """The rows of a recorded cell table by frame, found by a binary search on the time column.

    Examples
    --------
    >>> table = pd.DataFrame({"time": [0, 0, 5], "id": [1, 2, 1], "type": [1, 1, 2], "volume": [4, 4, 5]})
    >>> FrameCells(table).at(5)["volume"].tolist()
    [5]
    """

    def __init__(self, table):
        self.table = table.sort_values(["time", "id"], kind="stable").reset_index(drop=True)
        self._times = self.table["time"].to_numpy()

    def at(self, mcs):
        """The rows of the frame at MCS `mcs` (empty where there are none)."""
        first, last = np.searchsorted(self._times, [mcs, mcs + 1])
        return self.table.iloc[first:last]


def empty_features():
    """Features of a frame without cells.

    Examples
    --------
    >>> list(empty_features().columns)
    ['index']
    """
    return pd.DataFrame({"index": np.zeros(0, dtype=np.int64)})
