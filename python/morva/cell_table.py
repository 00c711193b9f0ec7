"""The per-cell table, built in one place from the arrays of ``morva._native.cells``.

A simulation shows it for its current state (:meth:`morva.Simulation.cells`); a recording stores it
for every frame (cells/part-*.parquet). Both come from :func:`cell_rows`.
"""

import numpy as np
import pandas as pd

# Columns of Simulation.cells(), indexed by cell id.
LIVE_COLUMNS = ("type", "type_name", "volume", "surface", "target_volume", "lambda_volume", "target_surface",
                "lambda_surface", "com_x", "com_y", "com_z", "length", "dir_x", "dir_y", "dir_z", "force_x", "force_y",
                "force_z", "parent")
# Columns of a recording's cell table, one row per live cell and frame.
RECORDED_COLUMNS = ("time", "id", "type", "type_name", "volume", "surface", "com_x", "com_y", "com_z", "length",
                    "parent")
_TARGETS = ("target_volume", "lambda_volume", "target_surface", "lambda_surface")
# Per-cell vectors of the live table, by column prefix: the key of their array in _native.cells.
VECTORS = {"dir": "direction", "force": "force"}


def vector_columns(prefixes):
    """The columns of the per-cell vectors with these prefixes ("dir", "force"), x y z each.

    Examples
    --------
    >>> vector_columns(["force"])
    ('force_x', 'force_y', 'force_z')
    """
    return tuple(f"{prefix}_{axis}" for prefix in prefixes for axis in "xyz")


def recorded_vectors(model, forces, record_forces=None):
    """The per-cell vectors a recording of `model` stores in its cell table, by column prefix.

    Directions when a type has persistent motion (lambda_dir). Forces when `record_forces` is True,
    or by default (None) when a type has a force or `forces` (the cells' current forces, shape
    (n, 3)) holds one. Other models keep the plain table.

    Examples
    --------
    >>> from morva import Model
    >>> m = Model((8, 8)).add_type("a", volume=9, lambda_volume=1, lambda_dir=5)
    >>> recorded_vectors(m, np.zeros((0, 3))), recorded_vectors(m, np.ones((1, 3)))
    (['dir'], ['dir', 'force'])
    >>> recorded_vectors(m, np.zeros((0, 3)), record_forces=True)
    ['dir', 'force']
    """
    if record_forces is None:
        record_forces = bool(any(any(t.force) for t in model.types.values()) or np.any(forces))
    elif not isinstance(record_forces, bool):
        raise ValueError(f"forces must be True, False or None, got {record_forces!r}")
    vectors = ["dir"] if any(t.lambda_dir for t in model.types.values()) else []
    return vectors + ["force"] if record_forces else vectors


def recorded_columns(info):
    """The columns of a recording's cell table, from its run.json (older recordings hold no vectors).

    Examples
    --------
    >>> recorded_columns({"cell_vectors": ["dir"], "cell_variables": ["u"]})[-4:]
    ('dir_x', 'dir_y', 'dir_z', 'u')
    """
    return RECORDED_COLUMNS + vector_columns(info.get("cell_vectors", ())) + tuple(info.get("cell_variables", ()))


def cell_rows(times, cells, parents, *, include_removed=False, targets=False, vectors=None):
    """Table rows (one per cell and frame) of several frames at once, but the type names.

    Parameters
    ----------
    times : sequence of int or None
        MCS of each frame (None: no time column).
    cells : list of dict
        The arrays of ``morva._native.cells`` of each frame (at least one frame), with the
        per-cell variables by id under the key "variables" (optional, the same names in every frame).
    parents : ndarray
        Parent id by cell id (0 for placed cells); ids past its end have none.
    include_removed : bool
        Also give rows for cells with no sites left.
    targets : bool
        Also give the target and lambda columns of the volume and surface terms.
    vectors : sequence of str, optional
        Prefixes of the per-cell vectors to give ("dir": preferred direction, dir_x ...; "force":
        external force, force_x ...); by default both with `targets`, none without.

    Returns
    -------
    dict of ndarray
        The columns, frame by frame and by id within a frame.

    Examples
    --------
    >>> cells = {"type": np.array([0, 1, 1], np.uint16), "volume": np.array([9, 4, 0]),
    ...          "surface": np.array([0, 8, 0]), "com": np.zeros((3, 3)), "length": np.zeros(3)}
    >>> rows = cell_rows([7], [cells], np.array([0, 0]))
    >>> rows["time"].tolist(), rows["id"].tolist(), rows["volume"].tolist()
    ([7], [1], [4])
    """
    sizes = np.array([len(c["volume"]) for c in cells], dtype=np.int64)
    ids = np.arange(int(sizes.sum()), dtype=np.int64) - np.repeat(np.cumsum(sizes) - sizes, sizes)
    volume = np.concatenate([c["volume"] for c in cells])
    keep = ids != 0
    if not include_removed:
        keep &= volume > 0
    ids = ids[keep]

    def column(key):
        return np.concatenate([c[key] for c in cells])[keep]

    com = column("com")
    if parents.size < sizes.max():
        parents = np.concatenate([parents, np.zeros(sizes.max() - parents.size, dtype=np.int64)])
    rows = {} if times is None else {"time": np.repeat(np.asarray(times, dtype=np.int64), sizes)[keep]}
    rows.update({
        "id": ids,
        "type": column("type").astype(np.int64),
        "volume": volume[keep].astype(np.int64),
        "surface": column("surface").astype(np.int64),
    })
    if targets:
        rows.update({key: column(key) for key in _TARGETS})
    rows.update({
        "com_x": com[:, 0], "com_y": com[:, 1], "com_z": com[:, 2],
        "length": column("length"),
        "parent": parents[ids].astype(np.int64),
    })
    for prefix in (VECTORS if vectors is None and targets else vectors or ()):
        values = column(VECTORS[prefix])
        rows.update({f"{prefix}_{axis}": values[:, i] for i, axis in enumerate("xyz")})
    for name in cells[0].get("variables", {}):
        rows[name] = column_of_variable(cells, name, sizes)[keep]
    return rows


def column_of_variable(cells, name, sizes):
    """A per-cell variable over several frames, NaN for ids a frame's variable does not reach yet."""
    parts = []
    for frame, size in zip(cells, sizes.tolist()):
        values = frame["variables"][name][:size]
        parts.append(np.concatenate([values, np.full(size - values.size, np.nan)]))
    return np.concatenate(parts)


LINEAGE_COLUMNS = ("parent", "daughter", "mcs", "rule")
FATE_COLUMNS = ("mcs", "cell", "action", "rule", "type_name")


def lineage_rows(rows):
    """Lineage rows as (parent, daughter, mcs, rule) tuples; rows saved before rules existed get rule "".

    Examples
    --------
    >>> lineage_rows([[1, 2, 5], [2, 3, 9, "ripe"]])
    [(1, 2, 5, ''), (2, 3, 9, 'ripe')]
    """
    return [(int(r[0]), int(r[1]), int(r[2]), str(r[3]) if len(r) > 3 else "") for r in rows]


def lineage_table(rows):
    """The lineage DataFrame: parent, daughter, mcs (int64) and the rule that divided ("" when called directly).

    Examples
    --------
    >>> lineage_table([(1, 2, 5)]).dtypes.tolist()
    [dtype('int64'), dtype('int64'), dtype('int64'), dtype('O')]
    """
    table = pd.DataFrame(lineage_rows(rows), columns=list(LINEAGE_COLUMNS))
    return table.astype({"parent": np.int64, "daughter": np.int64, "mcs": np.int64, "rule": object})


def fate_table(rows):
    """Removals and changes of type made by rules: mcs, cell, action ("remove" or "retype"), rule, new type_name.

    Examples
    --------
    >>> fate_table([(4, 2, "retype", "tired", "b")]).values.tolist()
    [[4, 2, 'retype', 'tired', 'b']]
    """
    table = pd.DataFrame([tuple(r) for r in rows], columns=list(FATE_COLUMNS))
    return table.astype({"mcs": np.int64, "cell": np.int64, "action": object, "rule": object, "type_name": object})


def parent_ids(lineage):
    """Parent id by cell id from lineage rows (parent, daughter, ...); 0 for cells that were placed.

    Examples
    --------
    >>> parent_ids([(1, 3, 10)]).tolist()
    [0, 0, 0, 1]
    """
    parents = np.zeros(max((row[1] for row in lineage), default=0) + 1, dtype=np.int64)
    for row in lineage:
        parents[row[1]] = row[0]
    return parents


def live_table(cells, type_names, parents, include_removed=False):
    """The DataFrame of :meth:`morva.Simulation.cells` from one frame's arrays.

    Examples
    --------
    >>> arrays = {"type": np.array([0, 1], np.uint16), "volume": np.array([5, 4]), "surface": np.array([0, 8]),
    ...           "target_volume": np.zeros(2), "lambda_volume": np.zeros(2), "target_surface": np.zeros(2),
    ...           "lambda_surface": np.zeros(2), "com": np.zeros((2, 3)), "length": np.zeros(2),
    ...           "direction": np.zeros((2, 3)), "force": np.zeros((2, 3))}
    >>> live_table(arrays, ["medium", "a"], np.zeros(0, np.int64)).index.tolist()
    [1]
    """
    rows = cell_rows(None, [cells], parents, include_removed=include_removed, targets=True)
    ids = rows.pop("id")
    names = np.asarray(type_names, dtype=object)
    types = rows["type"]
    rows["type_name"] = np.where(types < len(names), names[np.minimum(types, len(names) - 1)], None)
    columns = LIVE_COLUMNS + tuple(cells.get("variables", ()))
    return pd.DataFrame({c: rows[c] for c in columns}, index=pd.Index(ids, name="id"))
