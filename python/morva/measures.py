"""Frame-level measures of a tissue: how sorted it is, how many same-type groups it forms.

Plain functions over a label array ``(z, y, x)`` or ``(y, x)`` and a type table indexed by
label, so that they serve a live simulation, a recorded frame and a plot alike. The
``sorting``-style wrappers at the bottom take a simulation and return a dict of scalars: the
shape a sweep expects of a measure.

Cell motion is measured on tracks (morva.tracks, morva.motion, re-exported here): :func:`tracks` of a
recording or a :class:`Tracker`, :func:`track` of a run, then :func:`speeds`, :func:`msd`,
:func:`vacf` and :func:`persistence_time` of the track table.
"""

from __future__ import annotations

import numpy as np

from .motion import (cell_msd, fit_exponential, fit_furth, frame_spacing, furth_msd, mean_speed, msd,
                     persistence_time, speeds, vacf, velocities)
from .tracks import Tracker, TrackWarning, track, tracks, unwrap

__all__ = ["sorting_index", "type_clusters", "mean_by_type", "sorting", "cell_type_table",
           "Tracker", "TrackWarning", "track", "tracks", "unwrap",
           "speeds", "mean_speed", "msd", "cell_msd", "velocities", "vacf", "frame_spacing",
           "furth_msd", "fit_furth", "fit_exponential", "persistence_time"]


def _checked(labels, cell_type):
    labels = np.asarray(labels)
    cell_type = np.asarray(cell_type)
    if labels.ndim not in (2, 3):
        raise ValueError(f"labels: expected a (ny, nx) or (nz, ny, nx) array, got {labels.ndim} dimensions")
    if labels.dtype.kind not in "ui":
        raise TypeError(f"labels: expected an integer array, got dtype {labels.dtype}")
    if cell_type.ndim != 1:
        raise ValueError(f"cell_type: expected a 1-D array indexed by label, got shape {cell_type.shape}")
    if labels.size and labels.min() < 0:
        raise ValueError("labels: negative label found")
    if labels.size and labels.max() >= cell_type.size:
        raise ValueError(
            f"cell_type: has {cell_type.size} entries but labels reach {int(labels.max())}; "
            "it must be indexed by every label present"
        )
    return labels, cell_type


def _face_pairs(labels, periodic):
    """Label pairs of every face-neighbour site pair, each pair once (one per axis and site)."""
    firsts, seconds = [], []
    for axis in range(labels.ndim):
        if labels.shape[axis] < 2:
            continue
        if periodic:
            firsts.append(labels.ravel())
            seconds.append(np.roll(labels, -1, axis=axis).ravel())
        else:
            lead = [slice(None)] * labels.ndim
            trail = [slice(None)] * labels.ndim
            lead[axis], trail[axis] = slice(None, -1), slice(1, None)
            firsts.append(labels[tuple(lead)].ravel())
            seconds.append(labels[tuple(trail)].ravel())
    if not firsts:
        empty = np.empty(0, dtype=labels.dtype)
        return empty, empty
    return np.concatenate(firsts), np.concatenate(seconds)


def _cell_contacts(labels, periodic):
    """Pairs of different cells (medium excluded) that share a face, with multiplicity."""
    a, b = _face_pairs(labels, periodic)
    between_cells = (a != b) & (a != 0) & (b != 0)
    return a[between_cells], b[between_cells]


def sorting_index(labels, cell_type, *, periodic=True):
    """Share of heterotypic boundary between cells.

    Among face-neighbour site pairs whose labels differ and are both cells (label != 0), the
    fraction whose cell types differ: 0 for fully sorted tissue, about 0.5 for a random
    mixture of two equal populations, 1 for a checkerboard.

    Parameters
    ----------
    labels : ndarray of int, shape (nz, ny, nx) or (ny, nx)
        Cell label of each site, 0 for the medium.
    cell_type : 1-D ndarray
        Type of each label (``cell_type[label]``); must cover every label present.
    periodic : bool, default True
        Whether the box wraps around, so that opposite faces are neighbours.

    Returns
    -------
    float
        The heterotypic share, NaN when no two cells touch.

    Examples
    --------
    >>> import numpy as np
    >>> labels = np.array([[1, 2], [3, 4]], dtype=np.uint32)
    >>> sorting_index(labels, np.array([0, 1, 2, 2, 1]), periodic=False)
    1.0
    >>> sorting_index(labels, np.array([0, 1, 1, 2, 2]), periodic=False)
    0.5
    """
    labels, cell_type = _checked(labels, cell_type)
    a, b = _cell_contacts(labels, periodic)
    if a.size == 0:
        return float("nan")
    return float(np.count_nonzero(cell_type[a] != cell_type[b]) / a.size)


def _components(n, a, b):
    """Connected-component root of each of n nodes given undirected edges (a, b)."""
    root = np.arange(n)
    while True:
        # Each edge pulls both ends to the smaller root, then paths are halved until stable.
        low = np.minimum(root[a], root[b])
        new = root.copy()
        np.minimum.at(new, a, low)
        np.minimum.at(new, b, low)
        new = new[new]
        if np.array_equal(new, root):
            return root
        root = new


def type_clusters(labels, cell_type, *, periodic=True):
    """Number of connected groups of same-type cells.

    Two cells belong to one group when they share a face and have the same type; a cell with
    no same-type neighbour is a group of its own. The medium (label 0) is not counted.

    Parameters
    ----------
    labels : ndarray of int, shape (nz, ny, nx) or (ny, nx)
        Cell label of each site, 0 for the medium.
    cell_type : 1-D ndarray
        Type of each label (``cell_type[label]``); must cover every label present.
    periodic : bool, default True
        Whether the box wraps around, so that opposite faces are neighbours.

    Returns
    -------
    int
        The number of groups: the number of cell types present when the tissue is fully
        sorted, the number of cells when no two cells of one type touch.

    Examples
    --------
    >>> import numpy as np
    >>> labels = np.array([[1, 2, 3, 4]], dtype=np.uint32)
    >>> type_clusters(labels, np.array([0, 1, 1, 2, 1]), periodic=False)
    3
    >>> type_clusters(labels, np.array([0, 1, 1, 2, 1]), periodic=True)
    2
    """
    labels, cell_type = _checked(labels, cell_type)
    present = np.unique(labels)
    present = present[present != 0]
    if present.size == 0:
        return 0
    a, b = _cell_contacts(labels, periodic)
    same = cell_type[a] == cell_type[b]
    # Nodes are the present cells, numbered 0..n-1 in label order.
    root = _components(present.size, np.searchsorted(present, a[same]), np.searchsorted(present, b[same]))
    return int(np.unique(root).size)


def mean_by_type(cells, column):
    """Mean of one column of a cell table for each cell type.

    Parameters
    ----------
    cells : pandas.DataFrame
        One row per cell with a ``type`` column (and ``type_name`` when known), such as
        ``sim.cells()`` or one time of a recording's cell table. Rows of type 0 (the medium)
        are left out.
    column : str
        The column to average, e.g. ``"volume"``.

    Returns
    -------
    pandas.Series
        Indexed by type name when the table has ``type_name``, by type id otherwise.

    Examples
    --------
    >>> import pandas as pd
    >>> cells = pd.DataFrame({"type": [1, 1, 2], "type_name": ["light", "light", "dark"],
    ...                       "volume": [90, 110, 80]})
    >>> mean_by_type(cells, "volume")
    type_name
    dark      80.0
    light    100.0
    Name: volume, dtype: float64
    """
    if "type" not in cells.columns:
        raise KeyError("cells: the table has no 'type' column")
    if column not in cells.columns:
        raise KeyError(f"cells: no column {column!r}; columns are {list(cells.columns)}")
    rows = cells[cells["type"] != 0]
    key = "type_name" if "type_name" in rows.columns else "type"
    return rows.groupby(key)[column].mean().astype(float)


def cell_type_table(cells):
    """Type of each label as a 1-D array indexed by cell id (0 for the medium and unused ids).

    Parameters
    ----------
    cells : pandas.DataFrame
        One row per cell with a ``type`` column, indexed by cell id (or with an ``id`` column).

    Returns
    -------
    ndarray of int64

    Examples
    --------
    >>> import pandas as pd
    >>> cell_type_table(pd.DataFrame({"type": [2, 1]}, index=[1, 3]))
    array([0, 2, 0, 1])
    """
    ids = cells["id"].to_numpy() if "id" in cells.columns else cells.index.to_numpy()
    ids = ids.astype(np.int64)
    table = np.zeros(int(ids.max()) + 1 if ids.size else 1, dtype=np.int64)
    table[ids] = cells["type"].to_numpy()
    return table


def _simulation_types(sim, labels):
    table = cell_type_table(sim.cells())
    if labels.size and labels.max() >= table.size:
        # Labels may name cells the table no longer lists (removed ids): they count as medium.
        table = np.concatenate([table, np.zeros(int(labels.max()) + 1 - table.size, dtype=table.dtype)])
    return table


def sorting(sim):
    """Sorting measures of a simulation's current state, for sweeps and recordings.

    Parameters
    ----------
    sim : morva.Simulation

    Returns
    -------
    dict
        ``sorting_index`` (share of heterotypic boundary) and ``type_clusters`` (number of
        connected same-type groups), both computed with the model's boundary.

    Examples
    --------
    >>> import morva
    >>> model = morva.Model((20, 20)).add_type("a", volume=25, lambda_volume=1)
    >>> model = model.add_type("b", volume=25, lambda_volume=1)
    >>> sim = model.add_tiling(["a", "b"], (0, 0), (20, 20), 5).build(seed=1)
    >>> sorting(sim)
    {'sorting_index': 1.0, 'type_clusters': 16}
    """
    labels = np.asarray(sim.labels())
    types = _simulation_types(sim, labels)
    periodic = sim.model.boundary == "periodic"
    return {
        "sorting_index": sorting_index(labels, types, periodic=periodic),
        "type_clusters": type_clusters(labels, types, periodic=periodic),
    }
