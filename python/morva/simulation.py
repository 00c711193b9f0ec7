"""A running model: the engine world plus its step count, lineage, hooks and recorder.

Time is counted in Monte Carlo steps (MCS); hooks and recordings are scheduled at absolute MCS
(every N steps means at MCS N, 2N, ...), so a resumed run meets them at the same steps.
"""

import numpy as np
import pandas as pd

from . import _native
from .build import build_world
from .progress import ProgressBar
from .validate import integer, real

CELL_COLUMNS = ("type", "type_name", "volume", "surface", "target_volume", "lambda_volume", "target_surface",
                "lambda_surface", "com_x", "com_y", "com_z", "length", "parent")


class StopRequested(KeyboardInterrupt):
    """Raised by :meth:`Simulation.run` when asked to stop (:meth:`Simulation.request_stop`).

    A KeyboardInterrupt, so whatever handles Ctrl-C handles it; the run stopped after a whole step,
    its hooks and its frame, with a checkpoint.
    """


class Simulation:
    """A model being run on the engine.

    Build one with :meth:`morva.Model.build` or :func:`morva.resume`. The engine world stays
    reachable as ``sim.world`` (a ``morva_core.World``).

    Attributes
    ----------
    model : morva.Model
    world : morva_core.World
    seed : int
    mcs : int
        Monte Carlo steps done so far.
    type_names : list of str
        Type names by type id ("medium" is 0).
    recorder : morva.recording.Recorder or None

    Examples
    --------
    >>> import morva
    >>> m = morva.Model((30, 30)).add_type("a", volume=25, lambda_volume=1).set_contact("medium", "a", 10)
    >>> sim = m.add_block("a", (10, 10), (15, 15)).build(seed=1)
    >>> sim.run(5, progress=False); sim.mcs
    5
    """

    def __init__(self, model, world, seed, *, mcs=0, lineage=None):
        self.model = model
        self.world = world
        self.seed = seed
        self.mcs = mcs
        self.type_names = model.type_names
        self._lineage = [tuple(row) for row in (lineage or [])]
        self._parent = {daughter: parent for parent, daughter, _ in self._lineage}
        self._hooks = []
        self.recorder = None

    @classmethod
    def from_model(cls, model, seed):
        """A simulation at MCS 0 (see :meth:`morva.Model.build`).

        Examples
        --------
        >>> import morva
        >>> Simulation.from_model(morva.Model((8, 8)), 3).seed
        3
        """
        world, _ = build_world(model, seed)
        return cls(model.copy(), world, int(seed))

    def __repr__(self):
        return f"Simulation(mcs={self.mcs}, n_cells={self.n_cells}, seed={self.seed}, model={self.model!r})"

    def _repr_png_(self):
        """The tissue as a PNG picture, shown by Jupyter when a simulation is displayed."""
        from .viz import tissue_png

        return tissue_png(self)

    # --- reading the state -------------------------------------------------------------------

    def labels(self):
        """Cell id of every site, shape (nz, ny, nx), uint32 (0 = medium).

        Examples
        --------
        >>> import morva
        >>> morva.Model((6, 4)).build().labels().shape
        (1, 4, 6)
        """
        return _native.labels(self.world)

    def field(self, field_name):
        """Concentration of a field on every site, shape (nz, ny, nx), float32.

        Examples
        --------
        >>> import morva
        >>> morva.Model((6, 4)).add_field("c", diffusion=0.1).build().field("c").dtype
        dtype('float32')
        """
        return _native.field(self.world, self._field_index(field_name))

    def _field_index(self, field_name):
        try:
            return list(self.model.fields).index(field_name)
        except ValueError:
            known = ", ".join(self.model.fields) or "none"
            raise KeyError(f"unknown field {field_name!r} (known: {known})") from None

    def _volumes(self):
        return _native.cells(self.world)["volume"]

    def cells(self, *, include_removed=False):
        """Per-cell table, one row per cell id (the medium left out).

        Columns: type, type_name, volume, surface, target_volume, lambda_volume, target_surface,
        lambda_surface, com_x, com_y, com_z (centre of mass; with the periodic_shapes option, that of the
        cell as it looks across periodic seams, wrapped into the box), length
        (major axis, NaN where undefined), parent (0 for cells that were placed, not born).

        Parameters
        ----------
        include_removed : bool
            Also list cells with no sites left (removed or squeezed out).

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20)).add_type("a", volume=9, lambda_volume=1).add_block("a", (0, 0), (3, 3))
        >>> m.build().cells()["volume"].tolist()
        [9]
        """
        return cell_table(_native.cells(self.world), self.type_names, self._parent, include_removed)

    @property
    def n_cells(self):
        """Number of live cells: cells with at least one site (removed ids are not counted).

        Examples
        --------
        >>> import morva
        >>> morva.Model((8, 8)).build().n_cells
        0
        """
        return int(np.count_nonzero(self._volumes()[1:]))

    @property
    def lineage(self):
        """One row per division: parent, daughter and the MCS at which it happened.

        Examples
        --------
        >>> import morva
        >>> list(morva.Model((8, 8)).build().lineage.columns)
        ['parent', 'daughter', 'mcs']
        """
        return pd.DataFrame(self._lineage, columns=["parent", "daughter", "mcs"], dtype=np.int64)

    def parent_of(self, cell_ids):
        """Parent id of each cell (0 for placed cells).

        Examples
        --------
        >>> import morva
        >>> morva.Model((8, 8)).build().parent_of([1, 2]).tolist()
        [0, 0]
        """
        return np.array([self._parent.get(int(c), 0) for c in np.atleast_1d(cell_ids)], dtype=np.int64)

    # --- rules applied by hooks ------------------------------------------------------------------

    def cell_ids(self, type_name=None):
        """Ids of the live cells, optionally of one type.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20)).add_type("a", volume=9, lambda_volume=1).add_block("a", (0, 0), (3, 3))
        >>> m.build().cell_ids("a").tolist()
        [1]
        """
        cells = _native.cells(self.world)
        live = cells["volume"] > 0
        live[0] = False
        if type_name is not None:
            live &= cells["type"] == self.model.type_id(type_name)
        return np.flatnonzero(live)

    def _ids(self, ids):
        ids = np.atleast_1d(np.asarray(ids))
        if ids.size and not np.issubdtype(ids.dtype, np.integer):
            raise ValueError(f"cell ids must be integers, got {ids.dtype}")
        n_records = self.world.n_cells() + 1
        bad = ids[(ids < 1) | (ids >= n_records)]
        if bad.size:
            raise ValueError(f"no cell with id {int(bad[0])} (ids run from 1 to {n_records - 1})")
        return ids.astype(np.int64)

    def _cell_type_id(self, type_name):
        tid = self.model.type_id(type_name)
        if tid == 0:
            raise ValueError("cells cannot take the medium's type; use remove() to turn cells into medium")
        return tid

    def retype(self, ids, type_name):
        """Give cells a new type; it acts from the next copy attempt on.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20)).add_type("a", volume=9, lambda_volume=1).add_type("b", volume=9, lambda_volume=1)
        >>> sim = m.add_block("a", (0, 0), (3, 3)).build(); sim.retype([1], "b"); sim.cells()["type_name"].tolist()
        ['b']
        """
        tid = self._cell_type_id(type_name)
        for cell_id in self._ids(ids).tolist():
            self.world.set_cell_type(cell_id, tid)

    def remove(self, ids):
        """Turn cells into medium; their ids are never reused.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20)).add_type("a", volume=9, lambda_volume=1).add_block("a", (0, 0), (3, 3))
        >>> sim = m.build(); sim.remove([1]); sim.n_cells
        0
        """
        self.world.remove_cells(self._ids(ids).tolist())

    def grow(self, type_name, amount):
        """Add `amount` sites to the target volume of every cell of a type.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20)).add_type("a", volume=9, lambda_volume=1).add_block("a", (0, 0), (3, 3))
        >>> sim = m.build(); sim.grow("a", 2); sim.cells()["target_volume"].tolist()
        [11.0]
        """
        self.world.grow(self._cell_type_id(type_name), real("grow amount", amount))

    def set_target_volume(self, ids, volume):
        """Set the target volume of cells (sites, > 0).

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20)).add_type("a", volume=9, lambda_volume=1).add_block("a", (0, 0), (3, 3))
        >>> sim = m.build(); sim.set_target_volume([1], 20); sim.cells()["target_volume"].tolist()
        [20.0]
        """
        volume = real("target volume", volume, above=0)
        for cell_id in self._ids(ids).tolist():
            self.world.set_target_volume(cell_id, volume)

    def divide(self, threshold, reset_target=None):
        """Split every cell of at least `threshold` sites in two across its longest side.

        Parent and daughter get the target volume `reset_target` (default threshold / 2); the
        division is added to :attr:`lineage` at the current MCS.

        Returns
        -------
        ndarray
            The daughters' ids.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20)).add_type("a", volume=16, lambda_volume=1).add_block("a", (0, 0), (4, 4))
        >>> sim = m.build(); sim.divide(16).tolist(), sim.lineage.values.tolist()
        ([2], [[1, 2, 0]])
        """
        threshold = real("division threshold", threshold, above=0)
        reset_target = threshold / 2 if reset_target is None else real("reset_target", reset_target, above=0)
        volumes = self._volumes()
        parents = np.flatnonzero(volumes >= threshold)
        parents = parents[parents != 0]
        daughters = self.world.divide_cells(threshold, reset_target)
        for parent, daughter in zip(parents.tolist(), daughters):
            self._lineage.append((parent, daughter, self.mcs))
            self._parent[daughter] = parent
        return np.asarray(daughters, dtype=np.int64)

    # --- running -----------------------------------------------------------------------------

    def add_hook(self, hook, every=1):
        """Call ``hook(sim)`` after every `every` MCS (at MCS every, 2 every, ...) of later runs.

        Examples
        --------
        >>> import morva
        >>> sim = morva.Model((8, 8)).build(); seen = []
        >>> sim.add_hook(lambda s: seen.append(s.mcs), every=2); sim.run(5, progress=False); seen
        [2, 4]
        """
        if not callable(hook):
            raise ValueError(f"a hook must be callable, got {hook!r}")
        self._hooks.append((integer("hook period", every, minimum=1), hook))

    def request_stop(self):
        """Stop the current run after this step's hooks and frame, as if Ctrl-C were pressed then.

        For hooks, such as a viewer whose window was closed; :meth:`run` checkpoints the recording
        and raises :class:`StopRequested`.

        Examples
        --------
        >>> import morva
        >>> sim = morva.Model((8, 8)).build()
        >>> try:
        ...     sim.run(9, progress=False, every=3, hooks=lambda s: s.request_stop())
        ... except morva.StopRequested:
        ...     sim.mcs
        3
        """
        self._stop_requested = True

    def view(self, every=None, *, colour_by="type", budget=0.05):
        """Show the tissue in a napari window while it runs, refreshed every `every` MCS.

        Needs the ``view`` extra (``pip install 'morva[view]'``) and a display. Closing the window
        stops the run at the next refresh, like Ctrl-C (:class:`StopRequested`); later runs go on
        without the view.

        Parameters
        ----------
        every : int, optional
            Refresh period in MCS (default 10).
        colour_by : {"type", "id"}
            Colour cells by type, in the colours of ``morva.viz``, or each cell its own colour.
        budget : float or None
            Largest share of the run's time spent on the view (default 5%): refreshes due
            sooner are skipped. None refreshes every `every` MCS whatever it costs.

        Returns
        -------
        morva.view.LiveView
            The view; the window opens at once on the tissue as it is (``view.viewer``).

        Examples
        --------
        >>> import morva
        >>> sim = morva.Model((8, 8)).build(); view = sim.view(every=2, budget=None)
        >>> sim.run(4, progress=False); view.refreshes, view.viewer.layers[-1].data.shape
        (3, (8, 8))
        >>> view.close()
        """
        from .view import live

        every = integer("view period", live.DEFAULT_EVERY if every is None else every, minimum=1)
        view = live.LiveView(colour_by, budget=budget)
        view.show(self)
        self.add_hook(live.as_hook(view), every=every)
        return view

    def record(self, directory, every=1, *, checkpoint_every=None, overwrite=False, fields=None):
        """Start recording into a new folder (see docs/recording-format.md).

        Parameters
        ----------
        directory : path
            The recording folder; an existing one is refused unless `overwrite`.
        every : int
            Record a frame every `every` MCS (at multiples of it).
        checkpoint_every : int, optional
            Write a checkpoint every so many MCS (a multiple of `every`); default: at most once a
            minute, and always when a run ends or is stopped.
        fields : list of str, optional
            Fields to record (default all).

        Examples
        --------
        >>> import morva, tempfile, pathlib
        >>> sim = morva.Model((8, 8)).build(); rec = sim.record(pathlib.Path(tempfile.mkdtemp()) / "r")
        >>> sim.run(2, progress=False); len(morva.open_recording(rec.directory))
        3
        """
        from .recording import Recorder

        if self.recorder is not None:
            self.recorder.close()
        self.recorder = Recorder.create(self, directory, every, checkpoint_every=checkpoint_every,
                                        overwrite=overwrite, fields=fields)
        return self.recorder

    def run(self, mcs, progress=True, every=None, hooks=None, *, parallel=False, block=16):
        """Run `mcs` Monte Carlo steps.

        Hooks and the recorder act at their steps; Ctrl-C stops at a whole step: the simulation
        keeps the steps done (``sim.mcs``), the recorder writes a checkpoint, and KeyboardInterrupt
        is raised again.

        Parameters
        ----------
        mcs : int
            Steps to run.
        progress : bool
            Show a progress bar with the speed in MCS/s (terminal or notebook).
        every : int, optional
            Period in MCS of `hooks` (default 1).
        hooks : callable or list of callables, optional
            Called as ``hook(sim)`` at every multiple of `every` during this run.
        parallel : bool
            Use the parallel sweep (not for models with a length term).
        block : int
            Tile side of the parallel sweep (>= 2).

        Examples
        --------
        >>> import morva
        >>> sim = morva.Model((8, 8)).build(); sim.run(3, progress=False, every=1, hooks=lambda s: None); sim.mcs
        3
        """
        mcs = integer("mcs", mcs, minimum=0)
        block = integer("block", block, minimum=2)
        if not isinstance(parallel, bool):
            raise ValueError(f"parallel must be True or False, got {parallel!r}")
        if parallel and any(t.lambda_length for t in self.model.types.values()):
            raise ValueError("the parallel sweep does not support the length term; run with parallel=False")
        schedule = list(self._hooks)
        if hooks is not None:
            hooks = [hooks] if callable(hooks) else list(hooks)
            for hook in hooks:
                if not callable(hook):
                    raise ValueError(f"a hook must be callable, got {hook!r}")
            period = integer("every", 1 if every is None else every, minimum=1)
            schedule += [(period, hook) for hook in hooks]
        elif every is not None:
            raise ValueError("every is the period of hooks; pass hooks as well")
        if self.recorder is not None and self.recorder.closed:
            self.recorder = None
        recorder = self.recorder
        end = self.mcs + mcs
        self._stop_requested = False
        if recorder is not None:
            recorder.expect(self, end)
            recorder.record_due(self)
        with ProgressBar(mcs, enabled=progress) as bar:
            try:
                while self.mcs < end:
                    stop = min([end] + [_next_multiple(self.mcs, p) for p, _ in schedule]
                               + ([recorder.next_due(self.mcs)] if recorder is not None else []))
                    stop = min(stop, self.mcs + bar.chunk())
                    self._advance(stop - self.mcs, parallel, block, bar)
                    for period, hook in schedule:
                        if self.mcs % period == 0:
                            hook(self)
                    if recorder is not None:
                        recorder.record_due(self)
                    if self._stop_requested:
                        raise StopRequested(f"stopped at MCS {self.mcs} on request")
            except KeyboardInterrupt as stop:
                # A stop inside the engine leaves the world exactly after whole steps, so it can be
                # resumed from, unless hooks were due at that step (a resumed run would not call
                # them); a stop inside Python code (a hook) may leave a half-done edit. Otherwise
                # only the data is kept and a resumed run starts from the last checkpoint. A
                # requested stop comes after the step's hooks and frame, so it is exact.
                hooks_due = any(self.mcs % period == 0 for period, _ in schedule)
                if recorder is not None:
                    exact = isinstance(stop, StopRequested) or (self._stopped_in_engine and not hooks_due)
                    recorder.checkpoint(self) if exact else recorder.flush()
                raise
            except Exception:
                if recorder is not None:
                    recorder.flush()
                raise
        if recorder is not None:
            recorder.checkpoint(self)

    _stopped_in_engine = False
    _stop_requested = False

    def _advance(self, n, parallel, block, bar):
        self._stopped_in_engine = False
        try:
            _native.run(self.world, n, parallel=parallel, block=block)
        except KeyboardInterrupt as stop:
            done = int(getattr(stop, "mcs_done", 0))
            self.mcs += done
            bar.advance(done)
            self._stopped_in_engine = True
            raise
        self.mcs += n
        bar.advance(n)


def _next_multiple(mcs, period):
    return (mcs // period + 1) * period


def cell_table(cells, type_names, parents, include_removed=False):
    """The per-cell DataFrame from the arrays of ``morva._native.cells``.

    Examples
    --------
    >>> arrays = {"type": np.array([0, 1], np.uint16), "volume": np.array([5, 4]), "surface": np.array([0, 8]),
    ...           "target_volume": np.zeros(2), "lambda_volume": np.zeros(2), "target_surface": np.zeros(2),
    ...           "lambda_surface": np.zeros(2), "com": np.zeros((2, 3)), "length": np.zeros(2)}
    >>> cell_table(arrays, ["medium", "a"], {}).index.tolist()
    [1]
    """
    ids = np.arange(len(cells["volume"]), dtype=np.int64)
    keep = ids > 0
    if not include_removed:
        keep &= cells["volume"] > 0
    types = cells["type"][keep].astype(np.int64)
    names = np.asarray(type_names, dtype=object)
    known = types < len(names)
    type_name = np.where(known, names[np.minimum(types, len(names) - 1)], None)
    com = cells["com"][keep]
    table = pd.DataFrame({
        "type": types,
        "type_name": type_name,
        "volume": cells["volume"][keep].astype(np.int64),
        "surface": cells["surface"][keep].astype(np.int64),
        "target_volume": cells["target_volume"][keep],
        "lambda_volume": cells["lambda_volume"][keep],
        "target_surface": cells["target_surface"][keep],
        "lambda_surface": cells["lambda_surface"][keep],
        "com_x": com[:, 0], "com_y": com[:, 1], "com_z": com[:, 2],
        "length": cells["length"][keep],
        "parent": np.array([parents.get(int(i), 0) for i in ids[keep]], dtype=np.int64),
    }, index=pd.Index(ids[keep], name="id"))
    return table
