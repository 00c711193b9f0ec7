"""ODEs inside cells: a vectorised right-hand side over all live cells, integrated between steps.

The state variables are the model's per-cell variables. A :class:`CellODE` writer acts every
`every` MCS: it samples the tissue once (volumes, surfaces, types, field means, contacts), advances
the variables over the `every` MCS just run with the classical fourth-order Runge-Kutta scheme at
a fixed step (`substeps` steps per MCS, each `time_per_mcs / substeps` long) with the tissue held as
sampled, writes them back and lets an optional `act` function change the tissue. The ODE thus
trails the tissue by at most `every` MCS (operator splitting, first order in `every`); the
integration itself is fourth order in the step.
"""

import contextlib
import functools

import numpy as np

from . import _native
from ._modelfile_errors import ModelFileError, named_entries
from .cell_ode_ports import parse_ports
from .cell_state import constants, function_reference, resolve_function, with_constants
from .validate import integer, real
from .writers import Writer


class Tissue:
    """What a right-hand side may read: the live cells as sampled when the ODE writer acts.

    Every array has one entry per live cell, in the order of ``ids``.

    Parameters
    ----------
    sim : morva.Simulation
    contacts : bool, optional
        Sample the contacts (for the neighbour sums and the medium contact) at once, in the same pass
        over the world as the cells, rather than on first use.

    Attributes
    ----------
    ids : ndarray of int64
    volume, surface : ndarray of float64
        Sites, and unlike-neighbour pairs in the model's neighbourhood (the surface term's unit).
    target_volume : ndarray of float64
    type : ndarray of int64
        Type ids; :meth:`is_type` compares with a name.
    """

    def __init__(self, sim, *, contacts=False):
        self._sim = sim
        self._world = sim.world
        sample = _native.tissue(sim.world, contacts)
        self.ids = sample["ids"]
        self._n_records = sample["records"]
        # The live cells' entries in arrays by cell id: a slice, not a gather, while no cell has gone.
        self._rows = slice(1, self._n_records) if self.ids.size == self._n_records - 1 else self.ids
        self.volume, self.surface = sample["volume"], sample["surface"]
        self.target_volume, self.type = sample["target_volume"], sample["type"]
        # The contacts come in the same pass when asked for; else on first use: a right-hand side
        # without neighbours never pays for them.
        self._neighbours = sample if contacts else None
        self._contacts = None
        self._field_means = {}

    @property
    def _sample(self):
        """The native sample holding the contacts: pairs of cells as positions in ``ids``, areas, medium."""
        if self._neighbours is None:
            sample = _native.tissue(self._world, True)
            if not np.array_equal(sample["ids"], self.ids):
                raise RuntimeError("the tissue's cells changed since it was sampled: sample it again (Tissue(sim))")
            self._neighbours = sample
        return self._neighbours

    @property
    def contacts(self):
        """``morva._native.contacts`` of the sampled world: arrays a, b, area."""
        if self._contacts is None:
            self._contacts = _native.contacts(self._world)
        return self._contacts

    @property
    def medium_contact(self):
        """The part of each cell's surface shared with the medium."""
        return self._sample["medium"]

    def is_type(self, type_name):
        """Boolean mask of the cells of a type.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((10, 10), default_contact=0).add_type("x", volume=4, lambda_volume=1).add_block("x", (0, 0), (2, 2))
        >>> Tissue(m.build()).is_type("x").tolist()
        [True]
        """
        return self.type == self._sim.model.type_id(type_name)

    def field_mean(self, field_name):
        """Mean concentration of a field over each cell's sites.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((10, 10), default_contact=0).add_type("x", volume=4, lambda_volume=1).add_block("x", (0, 0), (2, 2))
        >>> Tissue(m.add_field("c", diffusion=0.1).build()).field_mean("c").tolist()
        [0.0]
        """
        if field_name not in self._field_means:
            labels = _native.labels(self._world).ravel()
            values = self._sim.field(field_name).ravel().astype(np.float64)
            sums = np.bincount(labels, weights=values, minlength=self._n_records)
            self._field_means[field_name] = sums[self._rows] / self.volume
        return self._field_means[field_name]

    def neighbour_sum(self, values):
        """For each cell, its cell neighbours' `values` summed with weights the shared surface.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((10, 10), default_contact=0).add_type("x", volume=4, lambda_volume=1)
        >>> m = m.add_block("x", (0, 0), (2, 2)).add_block("x", (2, 0), (4, 2))
        >>> Tissue(m.build()).neighbour_sum(np.array([1.0, 10.0])).tolist()
        [40.0, 4.0]
        """
        sample = self._sample
        values = np.ascontiguousarray(values, dtype=np.float64)
        if values.shape != self.ids.shape:
            raise ValueError(f"neighbour values must be one per cell: got shape {values.shape} for {self.ids.size} cells")
        return _native.pair_sums(sample["first"], sample["second"], sample["area"], values)

    def neighbour_mean(self, values):
        """For each cell, the mean of its cell neighbours' `values` weighted by shared surface (0 when alone).

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((10, 10), default_contact=0).add_type("x", volume=4, lambda_volume=1)
        >>> m = m.add_block("x", (0, 0), (2, 2)).add_block("x", (2, 0), (4, 2))
        >>> Tissue(m.build()).neighbour_mean(np.array([1.0, 10.0])).tolist()
        [10.0, 1.0]
        """
        return self.neighbour_sum(values) / self._cell_contact

    @functools.cached_property
    def _cell_contact(self):
        """The part of each cell's surface shared with other cells, 1 where it is 0: the sum there is 0."""
        cell_contact = self.surface - self.medium_contact
        return np.where(cell_contact > 0, cell_contact, 1.0)


def rk4(rhs, t, y, h, n):
    """`n` classical Runge-Kutta steps of length `h` of dy/dt = rhs(t, y) from (t, y); y a dict of arrays of one shape.

    Examples
    --------
    >>> y = rk4(lambda t, y: {"u": -y["u"]}, 0.0, {"u": np.array([1.0])}, 0.1, 10)
    >>> bool(abs(y["u"][0] - np.exp(-1.0)) < 1e-6)
    True
    """
    names = list(y)
    state = np.array([y[name] for name in names], dtype=np.float64)
    return dict(zip(names, rk4_rows(rhs, t, names, state, h, n)))


def rk4_rows(rhs, t, names, state, h, n, held=None):
    """:func:`rk4` on the variables as the rows of one array, `state`, stepped in place and returned.

    Each operation of the scheme acts on all variables at once, in one pass (``morva._native``),
    on buffers made once; every value goes through the same floating-point operations in the same
    order as in ``y + h / 2 * k1`` ... ``y + h / 6 * (k1 + 2 * k2 + 2 * k3 + k4)`` with NumPy.
    `rhs` gets the entries of `held` (a dict, optional) and then the rows as its dict of arrays:
    views that the next stage overwrites; each call gets a dict of its own.
    """
    k1, k2, k3, k4, stage = np.empty((5, *state.shape))
    # The dicts of views are made once: the arrays they show change in place.
    at_state, at_stage = ({**(held or {}), **dict(zip(names, rows))} for rows in (state, stage))
    rows1, rows2, rows3, rows4 = (list(zip(names, k)) for k in (k1, k2, k3, k4))  # each slope's rows by name

    def slopes(s, y, rows):
        found = rhs(s, dict(y))
        for name, row in rows:
            if name not in found:
                raise ValueError(f"cell ODE: rhs gave no derivative for {name!r}")
            try:
                row[...] = found[name]
            except ValueError:
                raise ValueError(f"cell ODE: rhs gave {name!r} a derivative of shape {np.shape(found[name])} "
                                 f"for values of shape {state.shape[1:]}") from None

    for i in range(n):
        s = t + i * h
        slopes(s, at_state, rows1)
        _native.rk4_stage(stage, state, k1, h / 2)
        slopes(s + h / 2, at_stage, rows2)
        _native.rk4_stage(stage, state, k2, h / 2)
        slopes(s + h / 2, at_stage, rows3)
        _native.rk4_stage(stage, state, k3, h)
        slopes(s + h, at_stage, rows4)
        _native.rk4_finish(state, k1, k2, k3, k4, h / 6)
    return state


class CellODE(Writer):
    """A system of ODEs in every cell, integrated between steps (see the module notes and docs/cell-state.md).

    Attach one to a simulation with :meth:`morva.Simulation.add_writer`, or declare it in the
    model with :meth:`morva.Model.add_cell_ode` (then model files, recordings and resumed runs
    carry it).

    Parameters
    ----------
    rhs : callable or str
        ``rhs(t, y, tissue) -> dict``: the time derivative of each variable, arrays over the live
        cells. `y` maps each variable name (and each input name) to its values, `tissue` is a
        :class:`Tissue` and `t` the model time (MCS times `time_per_mcs`). The arrays in `y` are
        read-only in spirit: the integrator reuses them for its next stage, so copy one to keep it
        past the call. A ``"module:name"`` reference is taken too.
    variables : list of str
        Declared per-cell variables (:meth:`morva.Model.add_cell_variable`) that are the state.
    every : int
        Act at every multiple of `every` MCS, integrating over the `every` MCS just run.
    time_per_mcs : float
        Model time one MCS stands for.
    substeps : int
        Runge-Kutta steps per MCS.
    act : callable or str, optional
        ``act(sim, tissue, y) -> dict`` run after each integration and the outputs: "target_volume"
        (array, > 0), "type" (array of type names; None keeps a cell's type) and "remove" (boolean
        mask), applied in that order to the cells of ``tissue.ids``.
    inputs : dict, optional
        ``{name: quantity}``: tissue quantities sampled when the writer acts, held during the
        integration and given to `rhs` in `y` under `name` ("volume", "field_mean(c)", ... see
        :mod:`morva.cell_ode_ports`).
    outputs : dict, optional
        ``{variable: quantity}``: after the integration, set "target_volume" or
        "secretion_scale(<field>)" of each cell to the variable's value.
    parameters : dict of str to float, optional
        Constants given to `rhs` as keyword arguments (``rhs(t, y, tissue, **parameters)``); a
        model's ODE has them varied by name as ``"cell_ode:<name>:<parameter>"``.
    name : str, optional
        Names the ODE in error messages (the model's name for it).

    Examples
    --------
    >>> import morva
    >>> m = morva.Model((10, 10), default_contact=0).add_type("x", volume=4, lambda_volume=1).add_block("x", (0, 0), (2, 2))
    >>> sim = m.add_cell_variable("u", initial=1.0).build()
    >>> ode = sim.add_writer(CellODE(lambda t, y, tissue: {"u": -y["u"]}, ["u"], time_per_mcs=0.1))
    >>> sim.run(10, progress=False); round(float(sim.cell_variable("u")[1]), 6) == round(float(np.exp(-1.0)), 6)
    True
    """

    def __init__(self, rhs, variables, *, every=1, time_per_mcs=1.0, substeps=10, act=None, inputs=None,
                 outputs=None, parameters=None, name=None):
        self.name = name
        self._neighbours_used = False
        with self._about("rhs"):
            self._rhs = self._callable(rhs, "rhs")
        with self._about("parameters"):
            self.parameters = constants(parameters, "rhs")
            with_constants(self._rhs, 3, self.parameters, "rhs")
        with self._about("act"):
            self._act = None if act is None else self._callable(act, "act")
        self.rhs, self.act = rhs, act
        with self._about("variables"):
            self.variables = [str(v) for v in ([variables] if isinstance(variables, str) else variables)]
            if not self.variables:
                raise ValueError("a cell ODE needs at least one variable")
        with self._about("every"):
            self.every = integer("every", every, minimum=1)
        with self._about("time_per_mcs"):
            self.time_per_mcs = real("time_per_mcs", time_per_mcs, above=0)
        with self._about("substeps"):
            self.substeps = integer("substeps", substeps, minimum=1)
        with self._about("inputs"):
            self.inputs = parse_ports(inputs, "input")
            clash = sorted(set(self.inputs) & set(self.variables))
            if clash:
                raise ValueError(f"input {clash[0]!r} has the name of a variable of the ODE")
        with self._about("outputs"):
            self.outputs = parse_ports(outputs, "output")
            targets = [str(port) for port in self.outputs.values()]
            if len(set(targets)) < len(targets):
                raise ValueError(f"two variables set the same output: {targets}")

    @contextlib.contextmanager
    def _about(self, key):
        """Errors raised inside name this ODE and carry `key`, the argument (model-file key) at fault."""
        try:
            yield
        except (ValueError, KeyError) as err:
            text = err.args[0] if isinstance(err, KeyError) and err.args else str(err)
            where = "cell ODE" if self.name is None else f"cell ODE {self.name!r}"
            raised = ValueError(f"{where}: {key}: {text}" if self.name is not None else text)
            raised.key = key
            raise raised from None

    @staticmethod
    def _callable(function, what):
        if isinstance(function, str):
            return resolve_function(function, what)
        if not callable(function):
            raise ValueError("rhs (and act, when given) must be callable")
        return function

    def check(self, model):
        """Refuse variables, fields and types the model does not declare."""
        with self._about("variables"):
            missing = [v for v in self.variables if v not in model.cell_variables]
            if missing:
                raise ValueError(f"no cell variable {missing[0]!r} (declare it with add_cell_variable)")
        with self._about("inputs"):
            for port in self.inputs.values():
                port.check(model)
        with self._about("outputs"):
            for variable, port in self.outputs.items():
                if variable not in model.cell_variables:
                    raise ValueError(f"no cell variable {variable!r}")
                port.check(model)

    def begin(self, sim, end):
        """Refuse variables the model does not declare before the run starts."""
        for name in self.variables:
            sim.cell_variable(name)
        self.check(sim.model)

    def next_due(self, mcs):
        return (mcs // self.every + 1) * self.every

    def write(self, sim):
        """Integrate over the last `every` MCS, store the variables, set the outputs, apply `act`."""
        # The contacts in the same pass as the cells when the last call's right-hand side used them.
        tissue = Tissue(sim, contacts=self._neighbours_used)
        ids = tissue.ids
        held = {name: port.sample(sim, tissue) for name, port in self.inputs.items()}
        columns = [sim.cell_variable(name) for name in self.variables]
        state = np.array([column[tissue._rows] for column in columns])
        h = self.time_per_mcs / self.substeps
        start = (sim.mcs - self.every) * self.time_per_mcs
        rhs = functools.partial(self._rhs, **self.parameters)  # the names were checked against rhs when declared
        rk4_rows(lambda t, y: rhs(t, y, tissue), start, self.variables, state, h, self.every * self.substeps, held)
        self._neighbours_used = tissue._neighbours is not None
        for column, values in zip(columns, state):
            column[tissue._rows] = values
        y = dict(zip(self.variables, state))
        with self._about("outputs"):
            for variable, port in self.outputs.items():
                port.apply(sim, ids, sim.cell_variable(variable)[ids])
        if self._act is not None:
            self._apply(sim, tissue, self._act(sim, tissue, y) or {})

    @staticmethod
    def _apply(sim, tissue, outputs):
        unknown = sorted(set(outputs) - {"target_volume", "type", "remove"})
        if unknown:
            raise ValueError(f"cell ODE: act gave unknown output(s) {unknown}; known: target_volume, type, remove")
        ids = tissue.ids
        if "target_volume" in outputs:
            for cell_id, volume in zip(ids.tolist(), np.broadcast_to(outputs["target_volume"], ids.shape).tolist()):
                sim.set_target_volume([cell_id], volume)
        if "type" in outputs:
            for cell_id, type_name in zip(ids.tolist(), np.broadcast_to(np.asarray(outputs["type"], object), ids.shape)):
                if type_name is not None:
                    sim.retype([cell_id], type_name)
        if "remove" in outputs:
            doomed = ids[np.broadcast_to(np.asarray(outputs["remove"], bool), ids.shape)]
            if doomed.size:
                sim.remove(doomed)

    def to_dict(self):
        """The entry of a model file's [cell_odes] table (functions by their references)."""
        entry = {"rhs": self.rhs, "variables": list(self.variables), "every": self.every,
                 "time_per_mcs": self.time_per_mcs, "substeps": self.substeps,
                 "inputs": {k: str(p) for k, p in self.inputs.items()},
                 "outputs": {k: str(p) for k, p in self.outputs.items()}}
        if self.act is not None:
            entry["act"] = self.act
        if self.parameters:
            entry["parameters"] = dict(self.parameters)
        return entry


def declared_cell_ode(model, ode_name, rhs, variables, **options):
    """A :class:`CellODE` for a model: functions kept by reference, checked against the model.

    Raises
    ------
    ValueError
        Naming the ODE and the argument at fault (its ``key`` attribute).
    """
    if not isinstance(ode_name, str) or not ode_name.isidentifier():
        raise ValueError(f"cell ODE names must be identifiers, got {ode_name!r}")
    if ode_name in model.cell_odes:
        raise ValueError(f"cell ODE {ode_name!r} is declared already")
    where = f"cell ODE {ode_name!r}"
    references = {}
    for key, function in (("rhs", rhs), ("act", options.pop("act", None))):
        if function is not None:
            try:
                references[key] = function_reference(function, f"{where}: {key}")
            except ValueError as err:
                err.key = key
                raise
    ode = CellODE(references["rhs"], variables, act=references.get("act"), name=ode_name, **options)
    ode.check(model)
    return ode


CELL_ODE_KEYS = ("rhs", "variables", "every", "time_per_mcs", "substeps", "inputs", "outputs", "act", "parameters")


def cell_odes_to_dict(odes):
    """The [cell_odes] table of a model file."""
    return {name: ode.to_dict() for name, ode in odes.items()}


def add_cell_odes_from_file(model, table):
    """Declare the ODEs of a model file's [cell_odes] table on `model`; errors name the entry and key."""
    for name, entry, where in named_entries("cell_odes", table, CELL_ODE_KEYS, ["rhs", "variables"]):
        for key in ("rhs", "act"):
            if key in entry and not isinstance(entry[key], str):
                raise ModelFileError(f"model file: {where}: {key} must be a 'module:name' string", where, key)
        if not isinstance(entry["variables"], list) or not all(isinstance(v, str) for v in entry["variables"]):
            raise ModelFileError(f"model file: {where}: variables must be an array of names", where, "variables")
        options = {k: v for k, v in entry.items() if k not in ("rhs", "variables")}
        try:
            model.add_cell_ode(name, entry["rhs"], entry["variables"], **options)
        except ValueError as err:
            raise ModelFileError(f"model file: {where}: {err}", where, getattr(err, "key", None)) from None
