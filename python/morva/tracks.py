"""Cell tracks: the centre of every cell frame by frame, unwrapped across periodic seams.

A track table has one row per cell and frame in the layout of the particle-tracking library
trackpy: columns ``frame`` (frame number), ``particle`` (cell id), ``x``, ``y`` (and ``z`` in 3-D),
plus ``mcs`` (the Monte Carlo step of the frame) and ``type_name``. Its ``attrs`` keep the box
(``"box"``, sites along x, y[, z]) and whether it wraps (``"periodic"``), which the pictures use to
draw tracks over the tissue.

Centres come wrapped into the box; a track follows a cell through the seams by assuming that
between two frames it moves less than half a box along each periodic axis. Frames must therefore be
close enough in time: :func:`unwrap` warns when a cell moved more than `max_step` of the box between
two frames, a sign that some seam crossings may be mistaken for moves the other way.
"""

import warnings

import numpy as np
import pandas as pd

from . import _native
from .validate import integer
from .writers import Writer

AXES = ("x", "y", "z")


class TrackWarning(UserWarning):
    """Frames too far apart to follow cells across periodic seams with confidence."""


def unwrap(tracks, box, *, max_step=0.25):
    """Follow each cell across periodic seams: undo the jumps of its wrapped centre.

    Between two frames of one cell, a move along a periodic axis longer than half the box is taken
    for a crossing of the seam, and the cell's later positions are shifted by the box.

    Parameters
    ----------
    tracks : pandas.DataFrame
        Track table with wrapped positions (columns frame, particle and the axes).
    box : sequence of float
        Box length along each axis of the table (x, y[, z]); None or 0 for an axis that does not wrap.
    max_step : float
        Warn (:class:`TrackWarning`) when a cell moved more than this share of the box between
        two of its frames (after unwrapping): at half a box, a move and a seam crossing look alike.

    Returns
    -------
    pandas.DataFrame
        A copy with unwrapped positions, sorted by frame and particle.

    Examples
    --------
    >>> t = pd.DataFrame({"frame": [0, 1, 2], "particle": 1, "x": [8.0, 9.5, 1.0], "y": [2.0, 2.0, 2.0]})
    >>> unwrap(t, (10, 10))["x"].tolist()
    [8.0, 9.5, 11.0]
    """
    axes = _axes(tracks)
    if len(box) != len(axes):
        raise ValueError(f"box: expected {len(axes)} lengths (one per axis {', '.join(axes)}), got {len(box)}")
    out = tracks.sort_values(["particle", "frame"], kind="stable").reset_index(drop=True)
    if out.empty:
        return out
    same_cell = out["particle"].to_numpy()[1:] == out["particle"].to_numpy()[:-1]
    for axis, length in zip(axes, box):
        if not length:
            continue
        position = out[axis].to_numpy(dtype=float)
        step = np.diff(position)
        crossings = np.where(same_cell, np.round(step / length), 0.0)
        # A crossing shifts every later position of the same cell: cumulate, then restart per cell.
        shift = np.concatenate([[0.0], np.cumsum(crossings)])
        first = np.concatenate([[True], ~same_cell])
        shift -= shift[np.maximum.accumulate(np.where(first, np.arange(shift.size), 0))]
        out[axis] = position - length * shift
        moved = np.abs(np.diff(out[axis].to_numpy())[same_cell])
        far = int(np.count_nonzero(moved > max_step * length))
        if far:
            warnings.warn(
                f"{far} moves along {axis} exceed {max_step:g} of the box ({length:g} sites) between frames: "
                "frames may be too far apart to tell seam crossings from moves; track more often",
                TrackWarning, stacklevel=2)
    return out.sort_values(["frame", "particle"], kind="stable").reset_index(drop=True)


def track_table(mcs, ids, centres, types, type_names, box, periodic, *, times=None, max_step=0.25):
    """The unwrapped track table from per-row arrays (one row per cell and frame).

    Parameters
    ----------
    mcs : ndarray of int
        The MCS of each row.
    ids : ndarray of int
        Cell id of each row.
    centres : ndarray, shape (rows, 3)
        Wrapped centre (x, y, z) of each row.
    types : ndarray of int
        Type id of each row.
    type_names : sequence of str
    box : tuple of int
        The model's (nx, ny[, nz]).
    periodic : bool
        Whether every axis wraps.
    times : ndarray of int, optional
        The MCS of every frame, increasing; a row's frame is the index of its MCS here. Default:
        the MCS found among the rows.
    max_step : float
        See :func:`unwrap`.

    Examples
    --------
    >>> t = track_table(np.array([0, 5]), np.array([1, 1]), np.array([[9.0, 1, 0], [0.5, 1, 0]]),
    ...                 np.array([1, 1]), ["medium", "a"], (10, 4), True)
    >>> t[["frame", "particle", "x", "mcs"]].values.tolist()
    [[0.0, 1.0, 9.0, 0.0], [1.0, 1.0, 10.5, 5.0]]
    """
    mcs = np.asarray(mcs, dtype=np.int64)
    centres = np.asarray(centres, dtype=float)
    axes = AXES[:len(box)]
    types = np.asarray(types, dtype=np.int64)
    times = np.unique(mcs) if times is None else np.asarray(times, dtype=np.int64)
    frame = np.searchsorted(times, mcs)
    if np.any(times[np.minimum(frame, times.size - 1)] != mcs):
        raise ValueError("times: some rows have an MCS that is not the time of a frame")
    table = pd.DataFrame({"frame": frame.astype(np.int64),
                          "particle": np.asarray(ids, dtype=np.int64)})
    for i, axis in enumerate(axes):
        table[axis] = centres[:, i]
    table["mcs"] = mcs
    table["type_name"] = pd.Series(types).map(dict(enumerate(type_names))).to_numpy(dtype=object)
    table = unwrap(table, [length if periodic else None for length in box], max_step=max_step)
    table.attrs.update(box=tuple(int(n) for n in box), periodic=bool(periodic))
    return table


class Tracker(Writer):
    """Collects the centre of every live cell every `every` MCS of a run (a read-only writer).

    Attach it with :meth:`morva.Simulation.add_writer`; :meth:`tracks` gives the track table. A run
    starting at a multiple of `every` also records the state it starts from.

    Parameters
    ----------
    every : int
        MCS between frames. Keep it short enough that no cell moves a quarter of the box in
        that time (see :func:`unwrap`).

    Examples
    --------
    >>> import morva
    >>> sim = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1).add_block("a", (5, 5), (8, 8)).build()
    >>> tracker = sim.add_writer(Tracker(every=2))
    >>> sim.run(6, progress=False); tracker.tracks()["mcs"].tolist()
    [0, 2, 4, 6]
    """

    read_only = True

    def __init__(self, every=1):
        self.every = integer("every", every, minimum=1)
        self._rows = []  # (mcs, ids, centres, types) per frame
        self._model = None

    def __repr__(self):
        return f"Tracker(every={self.every}, frames={len(self._rows)})"

    def next_due(self, mcs):
        return (mcs // self.every + 1) * self.every

    def begin(self, sim, end):
        if sim.mcs % self.every == 0 and (not self._rows or self._rows[-1][0] != sim.mcs):
            self.write(sim)

    def write(self, sim):
        cells = _native.cells(sim.world)
        ids = np.flatnonzero(np.asarray(cells["volume"]) > 0)
        ids = ids[ids != 0]
        self._model = sim.model
        self._rows.append((sim.mcs, ids, np.asarray(cells["com"])[ids], np.asarray(cells["type"])[ids]))

    def tracks(self, *, max_step=0.25):
        """The track table of the frames collected so far (see :func:`tracks`)."""
        if self._model is None:
            raise ValueError("the tracker has no frames yet: attach it and run the simulation first")
        mcs = np.concatenate([np.full(ids.size, m, dtype=np.int64) for m, ids, _, _ in self._rows])
        ids, centres, types = (np.concatenate([row[k] for row in self._rows]) for k in (1, 2, 3))
        return track_table(mcs, ids, centres, types, self._model.type_names, self._model.shape,
                           self._model.boundary == "periodic", times=[row[0] for row in self._rows],
                           max_step=max_step)


def tracks(source, *, max_step=0.25):
    """Cell tracks of a recording or of a run followed by a :class:`Tracker`.

    Parameters
    ----------
    source : morva.Recording or Tracker
        A recording (``morva.open_recording(folder)``; frame i is the recording's frame i) or a
        tracker attached to a simulation that has run.
    max_step : float
        Warn when a cell moves more than this share of the box between frames (see :func:`unwrap`).

    Returns
    -------
    pandas.DataFrame
        One row per live cell and frame: frame, particle (cell id), x, y[, z] (centre of mass,
        unwrapped across periodic seams), mcs, type_name; sorted by frame and particle. In a
        2-D model there is no z column. Centres follow cells across seams with the model's
        ``periodic_shapes`` world option (the default). A cell that divides keeps its track, with
        a jump of about half its size; its daughter starts a track of its own.

    Examples
    --------
    >>> import morva, tempfile, pathlib
    >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1).add_block("a", (5, 5), (8, 8))
    >>> sim = m.build(seed=1); rec = sim.record(pathlib.Path(tempfile.mkdtemp()) / "r", every=5)
    >>> sim.run(10, progress=False)
    >>> tracks(morva.open_recording(rec.directory)).columns.tolist()
    ['frame', 'particle', 'x', 'y', 'mcs', 'type_name']
    """
    if isinstance(source, Tracker):
        return source.tracks(max_step=max_step)
    if hasattr(source, "world") and hasattr(source, "run"):
        raise TypeError("tracks: a simulation holds only its current state; run it with measures.track(sim, mcs, "
                        "every) or attach a measures.Tracker before running, or record it and pass the recording")
    if not all(hasattr(source, name) for name in ("cells", "model", "type_names", "times")):
        raise TypeError(f"tracks: expected a morva.Recording or a Tracker, got {type(source).__name__}")
    cells = source.cells
    cells = cells[cells["volume"] > 0]
    model = source.model
    types = cells["type"].to_numpy()
    return track_table(cells["time"].to_numpy(), cells["id"].to_numpy(),
                       cells[["com_x", "com_y", "com_z"]].to_numpy(), types, source.type_names, model.shape,
                       model.boundary == "periodic", times=source.times, max_step=max_step)


def track(sim, mcs, every=1, *, max_step=0.25, **run_options):
    """Run a simulation for `mcs` steps and return the tracks of its cells every `every` MCS.

    Parameters
    ----------
    sim : morva.Simulation
    mcs : int
        Steps to run.
    every : int
        MCS between frames (see :class:`Tracker`).
    max_step : float
        See :func:`unwrap`.
    **run_options
        Passed to :meth:`morva.Simulation.run` (e.g. ``progress=False``, ``parallel=True``).

    Returns
    -------
    pandas.DataFrame
        The track table (see :func:`tracks`), from the state the run starts from when it is at a
        multiple of `every`.

    Examples
    --------
    >>> import morva
    >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1).add_block("a", (5, 5), (8, 8))
    >>> len(track(m.build(seed=1), 10, every=5, progress=False))
    3
    """
    tracker = sim.add_writer(Tracker(every))
    try:
        sim.run(mcs, **run_options)
    finally:
        sim.remove_writer(tracker)
    return tracker.tracks(max_step=max_step)


def _axes(tracks):
    missing = [c for c in ("frame", "particle", "x", "y") if c not in tracks.columns]
    if missing:
        raise KeyError(f"tracks: no column {missing[0]!r}; a track table has frame, particle, x, y[, z]")
    return AXES[:3 if "z" in tracks.columns else 2]
