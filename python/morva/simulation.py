"""A running model: the engine world plus its step count, lineage and the writers that act on it.

Time is counted in Monte Carlo steps (MCS); hooks and recordings are scheduled at absolute MCS
(every N steps means at MCS N, 2N, ...), so a resumed run meets them at the same steps. The run
loop itself lives in morva.writers.
"""

import warnings

import numpy as np
import pandas as pd

from . import _native
from ._one_thread import one_thread_at_a_time
from .build import build_world
from .cell_state import CellState, with_variables
from .cell_table import fate_table, lineage_rows, lineage_table, live_table, parent_ids
from .hooks import Hook, hooks_of, refuse_repeats
from .progress import ProgressBar
from .reactions import ReactingFields
from .rules import RulesWriter, division_planes
from .sbml import SBMLCells
from .validate import integer, real
from .writers import check_writer, drive

# Draws a simulation as PNG bytes for notebooks. The pictures live in morva.viz, a layer above this
# one, which hands its function over when it is imported (as ``import morva`` does).
_picture = None


def show_as(picture):
    """Make ``picture(sim)``, PNG bytes, what notebooks show for a simulation (morva.viz gives tissue_png).

    Examples
    --------
    >>> import morva
    >>> show_as(lambda sim: b"png of " + str(sim.mcs).encode()); morva.Model((8, 8)).build()._repr_png_()
    b'png of 0'
    >>> from morva.viz import tissue_png; show_as(tissue_png)
    """
    global _picture
    _picture = picture


# Makes the writer behind Simulation.view: morva.view.LiveView, handed over by morva.view, a layer
# above this one, when it is imported (as ``import morva`` does).
_live_view = None


def view_with(make_view):
    """Make ``make_view(every, **options)`` the live view that :meth:`Simulation.view` attaches.

    Examples
    --------
    >>> import morva
    >>> from morva.view import LiveView; view_with(LiveView)
    """
    global _live_view
    _live_view = make_view


def check_parallel(model):
    """Refuse a model the parallel sweep cannot run, before a run or a recording starts.

    Raises
    ------
    ValueError
        Naming the term the parallel sweep does not support.

    Examples
    --------
    >>> import morva
    >>> check_parallel(morva.Model((8, 8)).add_type("t", volume=9, lambda_volume=1, length=4, lambda_length=1))
    Traceback (most recent call last):
    ...
    ValueError: the parallel sweep does not support the length term; run with parallel=False
    """
    if any(t.lambda_length for t in model.types.values()):
        raise ValueError("the parallel sweep does not support the length term; run with parallel=False")


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
    stop_requested : bool
        Set by :meth:`request_stop` during a run; each run clears it as it starts.

    Examples
    --------
    >>> import morva
    >>> m = morva.Model((30, 30), default_contact=4).add_type("a", volume=25, lambda_volume=1).set_contact("medium", "a", 10)
    >>> sim = m.add_block("a", (10, 10), (15, 15)).build(seed=1)
    >>> sim.run(5, progress=False); sim.mcs
    5
    """

    def __init__(self, model, world, seed, *, mcs=0, lineage=None, fates=None):
        self.model = model
        self.world = world
        self.seed = seed
        self.mcs = mcs
        self.type_names = model.type_names
        self._lineage = lineage_rows(lineage or [])
        self._fates = [tuple(row) for row in (fates or [])]
        self._writers = []  # hooks and writers attached for every run, in order
        self.recorder = None
        self.cell_state = CellState(seed, model.cell_variables)
        self.reactions = ReactingFields(model) if model.reactions else None

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
        sim = cls(model.copy(), world, int(seed))
        sim.cell_state.update(sim)
        return sim

    def __repr__(self):
        return f"Simulation(mcs={self.mcs}, n_cells={self.n_cells}, seed={self.seed}, model={self.model!r})"

    def _repr_png_(self):
        """The tissue as a PNG picture, shown by Jupyter when a simulation is displayed (see :func:`show_as`)."""
        return None if _picture is None else _picture(self)

    @property
    def rng(self):
        """A NumPy ``Generator`` for user code (hooks, initialisers, division rules).

        It is seeded from the run's seed alone (``numpy.random.SeedSequence([seed, 0x75736572])``,
        a stream apart from the engine's) and its state is saved with every checkpoint, so rules
        that draw from it resume bit for bit.

        Examples
        --------
        >>> import morva
        >>> a, b = morva.Model((8, 8)).build(seed=4), morva.Model((8, 8)).build(seed=4)
        >>> float(a.rng.random()) == float(b.rng.random())
        True
        """
        return self.cell_state.rng

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
        return _native.field(self.world, self.model.field_id(field_name))

    def set_field(self, field_name, values):
        """Set the concentration of a field on every site (e.g. an initial pattern or noise).

        Parameters
        ----------
        field_name : str
        values : array_like
            Shape (nz, ny, nx) as :meth:`field` gives, or a scalar; stored as float32.

        Examples
        --------
        >>> import morva
        >>> sim = morva.Model((6, 4)).add_field("c", diffusion=0.1).build(); sim.set_field("c", 2.5)
        >>> float(sim.field("c").mean())
        2.5
        """
        shape = tuple(reversed(self.model.dims))
        try:
            values = np.ascontiguousarray(np.broadcast_to(np.asarray(values, dtype=np.float32), shape))
        except ValueError:
            raise ValueError(f"field {field_name!r}: values of shape {np.shape(values)} do not fit the lattice's "
                             f"{shape} (nz, ny, nx)") from None
        _native.set_field(self.world, self.model.field_id(field_name), values)

    def activity(self):
        """Act model activity of every site, shape (nz, ny, nx), uint16 (0 off the Act model's cells).

        A site a cell takes gets its type's max_act, less 1 at the end of every MCS.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((8, 8), default_contact=0).add_type("t", volume=9, lambda_volume=1, lambda_act=200,
        ...                                                    max_act=20).add_block("t", (2, 2), (5, 5))
        >>> sim = m.build(seed=1); sim.run(1, progress=False); int(sim.activity().max())
        19
        """
        return _native.activity(self.world)

    def set_activity(self, values, cells=None):
        """Set the Act model's activity of sites: a whole grid, or the sites of some cells.

        A site's activity may lie from 0 to its cell's type's max_act (0 on the medium and on cells
        of types without the Act model). The new values act from the next copy attempt on.

        Parameters
        ----------
        values : array_like of int, int or "max"
            With `cells` None and an array: the activity of every site, shape (nz, ny, nx) as
            :meth:`activity`. Otherwise the value of every site of `cells`: an integer, or "max"
            for each cell's type's max_act (its sites as fresh as newly taken ones).
        cells : array_like of int, optional
            Cell ids whose sites get `values` (a scalar); default with a scalar: every cell of a
            type with the Act model.

        Raises
        ------
        ValueError
            For a model without the Act model, a grid of the wrong shape or a value out of its
            site's range (naming the site).

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((8, 8), default_contact=0).add_type("t", volume=9, lambda_volume=1, lambda_act=200,
        ...                                                    max_act=20).add_block("t", (2, 2), (5, 5))
        >>> sim = m.build(seed=1); sim.set_activity("max"); int(sim.activity().sum())
        180
        >>> sim.set_activity(3, cells=[1]); sorted(set(sim.activity().ravel().tolist()))
        [0, 3]
        """
        if not self.model.uses_act:
            raise ValueError("set_activity needs the Act model: no cell type has lambda_act and max_act")
        shape = self.labels().shape
        if cells is None and not (np.isscalar(values) or isinstance(values, str)):
            grid = np.asarray(values)
            if grid.shape != shape:
                raise ValueError(f"activity grid must have the lattice's shape {shape}, got {grid.shape}")
        else:
            types = _native.cells(self.world)["type"]
            max_act = np.array([0] + [self.model.types[name].max_act for name in self.type_names[1:]])
            ids = self._ids(self.cell_ids()[max_act[types[self.cell_ids()]] > 0] if cells is None else cells)
            if isinstance(values, str):
                if values != "max":
                    raise ValueError(f'activity must be an integer or "max", got {values!r}')
                per_cell = max_act[types[ids]]
            else:
                per_cell = np.full(ids.size, integer("activity", values, minimum=0))
            grid = self.activity().astype(np.int64)
            lookup = np.full(types.size, -1, dtype=np.int64)
            lookup[ids] = per_cell
            chosen = lookup[self.labels()]
            grid = np.where(chosen >= 0, chosen, grid)
        if not np.issubdtype(grid.dtype, np.integer) and not (grid == np.round(grid)).all():
            raise ValueError("activity values must be integers")
        if grid.size and (grid.min() < 0 or grid.max() > 65535):
            raise ValueError(f"activity values must lie from 0 to 65535, got {grid.min()} to {grid.max()}")
        _native.set_activity(self.world, np.ascontiguousarray(grid, dtype=np.uint16))

    def _volumes(self):
        return _native.cells(self.world)["volume"]

    def cells(self, *, include_removed=False):
        """Per-cell table, one row per cell id (the medium left out).

        Columns: type, type_name, volume, surface (unlike-neighbour pairs in the model's
        neighbourhood, the unit of target_surface), target_volume, lambda_volume, target_surface,
        lambda_surface, com_x, com_y, com_z (centre of mass; with the periodic_shapes option, that of the
        cell as it looks across periodic seams, wrapped into the box), length
        (major axis, NaN where undefined), dir_x, dir_y, dir_z (preferred direction of persistent
        motion, 0 until drawn), force_x, force_y, force_z (the external force the cell feels), parent
        (0 for cells that were placed, not born).

        Parameters
        ----------
        include_removed : bool
            Also list cells with no sites left (removed or squeezed out).

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1).add_block("a", (0, 0), (3, 3))
        >>> m.build().cells()["volume"].tolist()
        [9]
        """
        cells = with_variables(_native.cells(self.world), self)
        return live_table(cells, self.type_names, parent_ids(self._lineage), include_removed)

    @property
    def cell_variables(self):
        """The declared per-cell variables of the live cells, one column each, indexed by cell id.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1).add_block("a", (0, 0), (3, 3))
        >>> m.add_cell_variable("clock", initial=2.5).build().cell_variables
            clock
        id       
        1     2.5
        """
        return self.cells()[list(self.cell_state.variables)]

    def cell_variable(self, variable_name):
        """The values of a per-cell variable by cell id (entry 0 is the medium's), to read and write in place.

        Removed cells hold NaN. The array stays valid until cells are added (a division or a new cell).

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1).add_block("a", (0, 0), (3, 3))
        >>> sim = m.add_cell_variable("clock").build(); sim.cell_variable("clock")[1] += 3; sim.cell_variable("clock")
        array([nan,  3.])
        """
        if variable_name not in self.cell_state.variables:
            known = ", ".join(self.cell_state.variables) or "none"
            raise KeyError(f"no cell variable {variable_name!r} (declared: {known})")
        self.cell_state.update(self)
        return self.cell_state.values[variable_name]

    def contacts(self, *, sparse=False):
        """Who touches whom, with the shared surface in the surface term's unit (see morva.contacts).

        Parameters
        ----------
        sparse : bool
            Give a symmetric ``scipy.sparse`` matrix of areas indexed by label instead of the table.

        Returns
        -------
        pandas.DataFrame or scipy.sparse.csr_array
            Columns a, b (labels, a < b, 0 = the medium) and area: the number of (site, neighbour)
            pairs in the model's neighbourhood that join a and b.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((10, 10), default_contact=0).add_type("x", volume=4, lambda_volume=1)
        >>> sim = m.add_block("x", (0, 0), (2, 2)).add_block("x", (2, 0), (4, 2)).build()
        >>> sim.contacts().values.tolist()
        [[0, 1, 16], [0, 2, 16], [1, 2, 4]]
        """
        from .contacts import contact_matrix, contact_table

        return contact_matrix(self.world) if sparse else contact_table(self.world)

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
        """One row per division: parent, daughter, the MCS at which it happened and the rule that made it
        ("" for a direct call of :meth:`divide` or :meth:`divide_cells` without a rule name).

        Examples
        --------
        >>> import morva
        >>> list(morva.Model((8, 8)).build().lineage.columns)
        ['parent', 'daughter', 'mcs', 'rule']
        """
        return lineage_table(self._lineage)

    @property
    def fates(self):
        """One row per removal or change of type made by a rule: mcs, cell, action, rule, type_name.

        `action` is "remove" or "retype"; `type_name` is the new type ("" for a removal).

        Examples
        --------
        >>> import morva
        >>> list(morva.Model((8, 8)).build().fates.columns)
        ['mcs', 'cell', 'action', 'rule', 'type_name']
        """
        return fate_table(self._fates)

    def fate_rows(self, start=0):
        """The rows of :attr:`fates` from number `start` on, as tuples."""
        return self._fates[start:]

    def record_fate(self, ids, action, rule, type_name=""):
        """Add rows to :attr:`fates` for cells `ids` at the current MCS (used by rules)."""
        self._fates.extend((self.mcs, int(c), action, rule, type_name) for c in np.atleast_1d(ids).tolist())

    def divisions(self, start=0):
        """The divisions from number `start` on, as (parent, daughter, mcs, rule) tuples in the order they happened.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=16, lambda_volume=1)
        >>> sim = m.add_block("a", (0, 0), (4, 4)).build(); sim.divide(16).tolist(), sim.divisions()
        ([2], [(1, 2, 0, '')])
        """
        return self._lineage[start:]

    def parent_of(self, cell_ids):
        """Parent id of each cell (0 for placed cells).

        Examples
        --------
        >>> import morva
        >>> morva.Model((8, 8)).build().parent_of([1, 2]).tolist()
        [0, 0]
        """
        parents = parent_ids(self._lineage)
        ids = [int(c) for c in np.atleast_1d(cell_ids).tolist()]
        return np.array([parents[c] if 0 <= c < parents.size else 0 for c in ids], dtype=np.int64)

    # --- rules applied by hooks ------------------------------------------------------------------

    def cell_ids(self, type_name=None):
        """Ids of the live cells, optionally of one type.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1).add_block("a", (0, 0), (3, 3))
        >>> m.build().cell_ids("a").tolist()
        [1]
        """
        cells = _native.cells(self.world)
        live = cells["volume"] > 0
        live[0] = False
        if type_name is not None:
            live &= cells["type"] == self.model.type_id(type_name)
        return np.flatnonzero(live)

    def _cell_vectors(self, ids, vectors, what):
        """Ids as uint32 and vectors as float64 rows (x, y, z); 2-D models take (x, y) rows and no z."""
        ids = self._ids(ids)
        vectors = np.asarray(vectors, dtype=np.float64)
        width = 2 if self.model.ndim == 2 and vectors.shape[-1:] == (2,) else 3
        try:
            vectors = np.broadcast_to(vectors, (ids.size, width))
        except ValueError:
            raise ValueError(f"{what} must be one vector or one per id, each of {width} numbers, "
                             f"got shape {vectors.shape} for {ids.size} ids") from None
        if not np.isfinite(vectors).all():
            raise ValueError(f"{what} must be finite")
        if width == 2:
            vectors = np.column_stack([vectors, np.zeros(ids.size)])
        elif self.model.ndim == 2 and vectors[:, 2].any():
            raise ValueError(f"{what} has a z component in a 2-D model")
        return ids.astype(np.uint32), np.ascontiguousarray(vectors)

    def directions(self, ids=None):
        """Preferred directions of persistent motion (CellType lambda_dir), shape (n, 3), unit vectors.

        A cell's direction is drawn at random before its first MCS, so it reads (0, 0, 0) until then.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1, lambda_dir=5)
        >>> sim = m.add_block("a", (0, 0), (3, 3)).build(); sim.set_directions([1], (0, 2)); sim.directions().tolist()
        [[0.0, 1.0, 0.0]]
        """
        ids = self.cell_ids() if ids is None else self._ids(ids)
        return _native.cells(self.world)["direction"][ids]

    def set_directions(self, ids, vectors):
        """Set cells' preferred directions (any non-zero vectors, kept as unit vectors; one for all or one per id).

        They guide cells of a type with lambda_dir until the next turn after persistence_interval MCS.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1, lambda_dir=5)
        >>> sim = m.add_block("a", (0, 0), (3, 3)).build(); sim.set_directions([1], (3, 4)); sim.directions()[0, :2].tolist()
        [0.6, 0.8]
        """
        ids, vectors = self._cell_vectors(ids, vectors, "directions")
        _native.set_directions(self.world, ids, vectors)

    def cell_forces(self, ids=None):
        """The external force each cell feels, shape (n, 3): its own (set_cell_forces) or its type's `force`.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1, force=(1, 0, 0))
        >>> m.add_block("a", (0, 0), (3, 3)).build().cell_forces().tolist()
        [[1.0, 0.0, 0.0]]
        """
        ids = self.cell_ids() if ids is None else self._ids(ids)
        return _native.cells(self.world)["force"][ids]

    def set_cell_forces(self, ids, forces):
        """Give cells their own constant force (one for all or one per id), in place of their type's; None: the type's again.

        The force acts as the type's `force` does (on the centre of mass with the com_force option).

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1)
        >>> sim = m.add_block("a", (0, 0), (3, 3)).build(); sim.set_cell_forces([1], (0.5, 0)); sim.cell_forces().tolist()
        [[0.5, 0.0, 0.0]]
        """
        if forces is None:
            _native.set_cell_forces(self.world, self._ids(ids).astype(np.uint32))
            return
        ids, forces = self._cell_vectors(ids, forces, "forces")
        _native.set_cell_forces(self.world, ids, forces)
        recorder = self.recorder
        unrecorded = recorder is not None and not recorder.closed and "force" not in recorder.info.get("cell_vectors", ())
        if unrecorded and forces.any():
            warnings.warn(f"the recording in {recorder.directory} does not store cell forces (it started "
                          "without any): start it with record(..., forces=True) to keep them", stacklevel=2)

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
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1).add_type("b", volume=9, lambda_volume=1)
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
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1).add_block("a", (0, 0), (3, 3))
        >>> sim = m.build(); sim.remove([1]); sim.n_cells
        0
        """
        ids = self._ids(ids)
        self.world.remove_cells(ids.tolist())
        self.cell_state.removed(ids)

    def grow(self, type_name, amount):
        """Add `amount` sites to the target volume of every cell of a type.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1).add_block("a", (0, 0), (3, 3))
        >>> sim = m.build(); sim.grow("a", 2); sim.cells()["target_volume"].tolist()
        [11.0]
        """
        self.world.grow(self._cell_type_id(type_name), real("grow amount", amount))

    def set_target_volume(self, ids, volume):
        """Set the target volume of cells (sites, > 0).

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1).add_block("a", (0, 0), (3, 3))
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

        A cell of a type kept connected (``connectivity=True``) whose cut would leave either half in
        pieces (a C-shaped cell) is split along its own shape instead: the daughter is a branch of
        a breadth-first spanning tree of the cell, as close to half of it as the tree allows, so
        both halves stay connected (through the lattice's neighbourhood).

        Returns
        -------
        ndarray
            The daughters' ids.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=16, lambda_volume=1).add_block("a", (0, 0), (4, 4))
        >>> sim = m.build(); sim.divide(16).tolist(), sim.lineage.values.tolist()
        ([2], [[1, 2, 0, '']])
        """
        threshold = real("division threshold", threshold, above=0)
        reset_target = threshold / 2 if reset_target is None else real("reset_target", reset_target, above=0)
        volumes = self._volumes()
        parents = np.flatnonzero(volumes >= threshold)
        parents = parents[parents != 0]
        daughters = self.world.divide_cells(threshold, reset_target)
        for parent, daughter in zip(parents.tolist(), daughters):
            self._lineage.append((parent, daughter, self.mcs, ""))
        self.cell_state.divided(self, parents, daughters)
        return np.asarray(daughters, dtype=np.int64)

    def divide_cells(self, ids, orientation="longest", reset_target=None, *, rule=""):
        """Split the cells `ids` in two, each by the cut `orientation` names.

        Parameters
        ----------
        ids : array of int
            Live cells, each at most once.
        orientation : str or sequence of float
            "longest": across the longest side of the cell's bounding box, through its middle (the
            cut of :meth:`divide`); "shortest": across the shortest side the lattice spans;
            "random": through the centre of mass, perpendicular to a direction drawn from
            :attr:`rng` (uniform on the circle in 2-D, the sphere in 3-D); a vector (x, y[, z]):
            through the centre of mass, perpendicular to it. Sites on the positive side go to the
            daughter.
        reset_target : float, optional
            Target volume of parent and daughter; by default each gets half its parent's.
        rule : str
            Recorded in the lineage's rule column.

        Returns
        -------
        ndarray
            The daughters' ids, in the order of `ids`.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((20, 20), default_contact=0).add_type("a", volume=16, lambda_volume=1).add_block("a", (0, 0), (4, 4))
        >>> sim = m.build(); sim.divide_cells([1], (0, 1)).tolist(), sim.cells()["volume"].tolist()
        ([2], [8, 8])
        """
        ids = self._ids(ids)
        live = self._volumes()[ids] > 0
        if not live.all():
            raise ValueError(f"cell {int(ids[~live][0])} has been removed and cannot divide")
        rules, normals = division_planes(orientation, ids.size, self.model.dims, self.rng)
        targets = _native.cells(self.world)["target_volume"][ids] / 2
        reset = 1.0 if reset_target is None else real("reset_target", reset_target, above=0)
        daughters = np.asarray(_native.divide(self.world, ids.tolist(), rules, normals, reset), dtype=np.int64)
        if reset_target is None:
            for parent, daughter, target in zip(ids.tolist(), daughters.tolist(), targets.tolist()):
                self.world.set_target_volume(parent, target)
                self.world.set_target_volume(daughter, target)
        self._lineage.extend((p, d, self.mcs, str(rule)) for p, d in zip(ids.tolist(), daughters.tolist()))
        self.cell_state.divided(self, ids, daughters)
        return daughters

    # --- running -----------------------------------------------------------------------------

    def add_hook(self, hook, every=1):
        """Call ``hook(sim)`` after every `every` MCS (at MCS every, 2 every, ...) of later runs.

        Raises
        ------
        ValueError
            When `hook` is not callable or is already registered with the same period.

        Examples
        --------
        >>> import morva
        >>> sim = morva.Model((8, 8)).build(); seen = []
        >>> sim.add_hook(lambda s: seen.append(s.mcs), every=2); sim.run(5, progress=False); seen
        [2, 4]
        """
        hook = Hook(hook, every)
        refuse_repeats(self._writers, [hook])
        self._writers.append(hook)

    def add_writer(self, writer):
        """Attach a writer: an object that acts on the simulation at steps of its choosing in later runs.

        A writer has a method ``next_due(mcs)`` giving the MCS after `mcs` at which it wants to act
        (None: not in this run) and a method ``write(sim)`` that acts then; it may also have
        ``begin(sim, end)`` and ``end(sim, exact)``, called when a run starts and ends, and a
        ``read_only`` flag (see :class:`morva.Writer`, which gives the defaults). A run steps the
        engine to the earliest step any writer asks for, calls the writers due there and asks
        them again; how a run is cut into engine calls never changes its result.

        Parameters
        ----------
        writer : morva.Writer or object with next_due and write
            Acts in every later run, after the writers attached before it (those that change the
            simulation act before those that only read it).

        Returns
        -------
        The writer.

        Examples
        --------
        >>> import morva
        >>> class Sizes(morva.Writer):
        ...     read_only = True
        ...     def __init__(self): self.seen = []
        ...     def next_due(self, mcs): return mcs + 4
        ...     def write(self, sim): self.seen.append(sim.mcs)
        >>> sim = morva.Model((8, 8)).build(); sizes = sim.add_writer(Sizes())
        >>> sim.run(10, progress=False); sizes.seen
        [4, 8]
        """
        self._writers.append(check_writer(writer))
        return writer

    def remove_writer(self, writer):
        """Detach a writer attached with :meth:`add_writer`, or a hook given to :meth:`add_hook`.

        Examples
        --------
        >>> import morva
        >>> sim = morva.Model((8, 8)).build(); seen = []
        >>> hook = seen.append; sim.add_hook(hook); sim.remove_writer(hook)
        >>> sim.run(2, progress=False); seen
        []
        """
        for i, attached in enumerate(self._writers):
            if attached is writer or (isinstance(attached, Hook) and attached.function == writer):
                del self._writers[i]
                return
        raise ValueError(f"{writer!r} is not attached to this simulation")

    stop_requested = False  # set by request_stop(); each run clears it as it starts (morva.writers.drive)

    def request_stop(self):
        """Stop the current run once the writers due at this step have acted, as Ctrl-C between steps would.

        For writers and hooks, such as a viewer whose window was closed: the run ends at this
        whole step, the recorder writes a checkpoint from which the run continues exactly, and
        :class:`morva.StopRequested` (a KeyboardInterrupt) is raised. Outside a run it does nothing.

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
        self.stop_requested = True

    def view(self, every=None, **options):
        """Show the tissue in a napari window while it runs, refreshed every `every` MCS.

        The window opens at once on the tissue as it is and is attached as a writer
        (:class:`morva.view.LiveView`) for every later run. Needs the ``view`` extra
        (``pip install 'morva[view]'``) and a display. Closing the window stops the run at that
        step, like Ctrl-C (:class:`morva.StopRequested`); later runs go on without the view.

        Parameters
        ----------
        every : int, optional
            Refresh period in MCS (default 10).
        **options
            ``colour_by`` ("type", the colours of ``morva.viz``, or "id") and ``budget``, the
            largest share of the run's time spent on the view (default 5%; None: refresh every
            `every` MCS whatever it costs), as for :class:`morva.view.LiveView`.

        Returns
        -------
        morva.view.LiveView
            The view (its napari viewer is ``view.viewer``).

        Examples
        --------
        >>> import morva
        >>> sim = morva.Model((8, 8)).build()
        >>> view = sim.view(every=2, budget=None)                       # doctest: +SKIP
        >>> sim.run(4, progress=False); view.refreshes                  # doctest: +SKIP
        3
        >>> view.close()                                                # doctest: +SKIP
        """
        view = _live_view(every, **options)
        view.show(self)
        return self.add_writer(view)

    def record(self, directory, every=1, *, checkpoint_every=None, overwrite=False, fields=None, activity=None,
               forces=None):
        """Start recording into a new folder (see docs/recording-format.md).

        Parameters
        ----------
        directory : path
            The recording folder; an existing one is refused unless `overwrite`.
        every : int
            Record a frame every `every` MCS (at multiples of it).
        checkpoint_every : int, optional
            Write a checkpoint every so many MCS (a multiple of `every`); default: at the first frame
            recorded after every 5 s of running (a kill loses at most that much work), and always
            when a run ends or is stopped.
        fields : list of str, optional
            Fields to record (default all).
        activity : bool, optional
            Record the Act model's activity of every site with each frame (the frame array
            "activity"); by default when a cell type has the Act model.
        forces : bool, optional
            Store each cell's external force in the cell table (columns force_x, force_y,
            force_z); by default when a cell type or a cell has a force as the recording starts.
            Pass True when forces will be set later (:meth:`set_cell_forces`): the columns of a
            recording are fixed when it starts.

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
                                        overwrite=overwrite, fields=fields, activity=activity, forces=forces)
        return self.recorder

    @one_thread_at_a_time
    def run(self, mcs, progress=True, every=None, hooks=None, *, parallel=False, block=16):
        """Run `mcs` Monte Carlo steps.

        Writers act at their steps: hooks, the recorder, the progress bar and those attached with
        :meth:`add_writer`. Ctrl-C stops at a whole step: the simulation keeps the steps done
        (``sim.mcs``), the recorder writes a checkpoint, and KeyboardInterrupt is raised again.

        Parameters
        ----------
        mcs : int
            Steps to run.
        progress : bool
            Show a progress bar with the speed in MCS/s (terminal or notebook).
        every : int, optional
            Period in MCS of `hooks` (default 1).
        hooks : callable or list of callables, optional
            Called as ``hook(sim)`` at every multiple of `every` during this run. A hook already
            registered with the same period (by :meth:`add_hook` or :func:`morva.resume`) is
            refused: it would run twice per period.
        parallel : bool
            Use the parallel sweep (not for models with a length term or the Act model: see
            :func:`check_parallel`).
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
        if parallel:
            check_parallel(self.model)
        hooks = hooks_of(hooks, every)
        refuse_repeats(self._writers, hooks)
        if self.recorder is not None and self.recorder.closed:
            self.recorder = None
        # The model's own writers act after the user's: ODEs in cells, cells' SBML models, then the rules.
        own = list(self.model.cell_odes.values())
        own += [SBMLCells(self.model.sbml.values())] if self.model.sbml else []
        own += [RulesWriter(self.model.rules.values())] if self.model.rules else []
        writers = self._writers + hooks + own + ([self.recorder] if self.recorder is not None else [])
        if progress:
            writers.append(ProgressBar())
        step = lambda n: self._advance(n, parallel, block)  # noqa: E731
        if self.reactions is not None:
            drive(self, self.mcs + mcs, writers, lambda n: self.reactions.advance(self, n, step))
        else:
            drive(self, self.mcs + mcs, writers, step)

    def _advance(self, n, parallel, block):
        try:
            _native.run(self.world, n, parallel=parallel, block=block)
        except KeyboardInterrupt as stop:
            self.mcs += int(getattr(stop, "mcs_done", 0))
            raise
        self.mcs += n
