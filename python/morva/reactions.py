"""Reactions between fields: du/dt = diffusion - decay + f(u, cell type), stepped by operator splitting.

A reaction names fields u_1 .. u_k and a vectorised NumPy function ``f(u_1, ..., u_k, cell_type)``
returning the k rates du_i/dt per MCS at every site (``cell_type`` is the type id of each site's
cell, 0 for the medium). The fields a reaction names are stepped by the package instead of the
engine: after each MCS the engine only secretes into them (their engine diffusion and decay are 0),
then each of the MCS's n sub-steps of dt = 1/n diffuses and decays every one of them by the engine's
explicit step and adds dt * f to them: Lie splitting with explicit Euler, first order in dt.

The number of sub-steps keeps dt * (load_i + stiffness) <= 1/2 for every field i of the reaction,
load_i being the field's 2 * ndim * diffusion + decay and the stiffness the largest row sum of
|df_i/du_j| over the sites (a bound of the reaction's fastest rate), estimated by finite differences
on the fields at the start of the first run, or declared (``rate``), whichever is larger. The count
is then fixed for the simulation (checkpoints keep it, so a resumed run is the same). Every
`CHECK_EVERY` MCS the stiffness is estimated again and a run whose sub-steps no longer keep
dt * (load_i + stiffness) <= 1 stops with a ValueError saying what to declare.
"""

import dataclasses
import math

import numpy as np

from . import _native
from ._modelfile_errors import located, named_entries
from .cell_state import constants, function_reference, resolve_function, with_constants
from .validate import integer, real

REACTION_KEYS = ("function", "fields", "rate", "substeps", "parameters")
CHECK_EVERY = 10  # MCS between two stiffness checks during a run


@dataclasses.dataclass
class Reaction:
    """A reaction between fields (see :meth:`morva.Model.add_reaction`).

    Attributes
    ----------
    name : str
    function : str
        ``"module:name"`` of ``f(u_1, ..., u_k, cell_type) -> (rate_1, ..., rate_k)``.
    fields : list of str
    rate : float or None
        Declared stiffness (per MCS): a bound of |df/du| the sub-steps must allow.
    substeps : int or None
        Fixed sub-steps per MCS; None chooses them.
    parameters : dict of str to float
        Constants given to the function as keyword arguments (sweepable as
        ``"reaction:<name>:<parameter>"``).

    Examples
    --------
    >>> Reaction("r", "numpy:add", ["u", "v"], rate=2).to_dict()
    {'function': 'numpy:add', 'fields': ['u', 'v'], 'rate': 2.0}
    >>> Reaction("r", "numpy:add", ["u"], parameters={"k": 1}).parameters
    {'k': 1.0}
    """

    name: str
    function: object
    fields: list
    rate: float | None = None
    substeps: int | None = None
    parameters: dict = dataclasses.field(default_factory=dict)

    def __post_init__(self):
        where = f"reaction {self.name!r}"
        if not isinstance(self.name, str) or not self.name.isidentifier():
            raise ValueError(f"reaction names must be identifiers, got {self.name!r}")
        self.function = function_reference(self.function, f"{where}: function")
        if isinstance(self.fields, str) or not isinstance(self.fields, (list, tuple)) or not self.fields:
            raise ValueError(f"{where}: fields must be a non-empty list of field names, got {self.fields!r}")
        self.fields = [str(f) for f in self.fields]
        if len(set(self.fields)) != len(self.fields):
            raise ValueError(f"{where}: a field is named twice in {self.fields}")
        if self.rate is not None:
            self.rate = real(f"{where}: rate", self.rate, minimum=0)
        if self.substeps is not None:
            self.substeps = integer(f"{where}: substeps", self.substeps, minimum=1)
        self.parameters = constants(self.parameters, where)

    def to_dict(self):
        entry = {"function": self.function, "fields": list(self.fields)}
        if self.rate is not None:
            entry["rate"] = self.rate
        if self.substeps is not None:
            entry["substeps"] = self.substeps
        if self.parameters:
            entry["parameters"] = dict(self.parameters)
        return entry


def with_parameters(reaction):
    """The reaction's function with its parameters bound as keyword arguments (ValueError when it cannot take them)."""
    where = f"reaction {reaction.name!r}: function {reaction.function}"
    return with_constants(resolve_function(reaction.function, where), len(reaction.fields) + 1, reaction.parameters, where)


def reacting_fields(model):
    """Names of the fields that reactions step (their engine diffusion is off).

    Examples
    --------
    >>> import morva
    >>> m = morva.Model((8, 8)).add_field("u", diffusion=0.1).add_field("v", diffusion=1).add_field("w", diffusion=1)
    >>> sorted(reacting_fields(m.add_reaction("r", "numpy:add", ["v", "u"])))
    ['u', 'v']
    """
    return {f for reaction in model.reactions.values() for f in reaction.fields}


def needed_substeps(loads, stiffness, limit):
    """The fewest sub-steps with dt * (load + stiffness) <= 1/2 for every load, or None above `limit`.

    Examples
    --------
    >>> needed_substeps([4.0, 0.2], 1.5, 100)
    11
    """
    worst = max(loads) + stiffness
    if not 2 * worst <= limit:  # also infinite and NaN
        return None
    return max(1, math.ceil(2 * worst))


def estimate_stiffness(function, arrays, cell_type, where="reaction", field_names=None):
    """The largest row sum of |df_i/du_j| over the sites, by forward differences in float64.

    Reactions are local, so raising field j at every site at once gives column j of every site's
    Jacobian: k + 1 calls of `function` for k fields.

    Examples
    --------
    >>> def linear(u, v, cell_type): return -2 * u + v, u - 3 * v
    >>> float(round(estimate_stiffness(linear, [np.ones(4), np.ones(4)], np.zeros(4, np.uint16)), 4))
    4.0
    """
    base = [np.asarray(a, dtype=np.float64) for a in arrays]
    f0 = rates_of(function, base, cell_type, where, field_names)
    rows = [np.zeros(base[0].shape) for _ in base]
    for j, u in enumerate(base):
        h = 1e-6 * (1.0 + np.abs(u))
        shifted = list(base)
        shifted[j] = u + h
        fj = rates_of(function, shifted, cell_type, where, field_names)
        for i in range(len(base)):
            rows[i] += np.abs((fj[i] - f0[i]) / h)
    worst = max(float(row.max(initial=0.0)) for row in rows)
    if not math.isfinite(worst):
        raise ValueError(f"{where}: its derivatives are not finite at the current fields")
    return worst


def rates_of(function, arrays, cell_type, where="reaction", field_names=None):
    """The k rate arrays `function` gives, each broadcast (a view, no copy) to the fields' shape.

    Raises
    ------
    ValueError
        When the function gives not k values or one of a shape that does not fit the fields.
    """
    shape = arrays[0].shape
    out = function(*arrays, cell_type)
    if len(arrays) == 1 and isinstance(out, np.ndarray):
        out = (out,)
    if not isinstance(out, (tuple, list)) or len(out) != len(arrays):
        raise ValueError(f"{where} must return a tuple of {len(arrays)} rate arrays (one per field), got "
                         f"{type(out).__name__}" + (f" of length {len(out)}" if isinstance(out, (tuple, list)) else ""))
    rates = []
    names = field_names or [f"rate {i + 1}" for i in range(len(arrays))]
    for value, field_name in zip(out, names):
        rate = np.asarray(value)
        if rate.dtype.kind not in "biuf":
            raise ValueError(f"{where} gave a rate of dtype {rate.dtype} for field {field_name!r}; rates are numbers")
        try:
            rates.append(np.broadcast_to(rate, shape))
        except ValueError:
            raise ValueError(f"{where} gave a rate of shape {rate.shape} for field {field_name!r}; the fields "
                             f"have shape {shape}") from None
    return rates


class ReactingFields:
    """Steps the fields of a simulation's reactions after each MCS (see the module's description).

    Parameters
    ----------
    model : morva.Model
    """

    def __init__(self, model):
        self.model = model
        self.functions = {name: with_parameters(r) for name, r in model.reactions.items()}
        self.substeps = dict.fromkeys(model.reactions)  # None until the first run fixes it

    def saved(self):
        """The sub-step counts, for a checkpoint header.

        Examples
        --------
        >>> import morva
        >>> m = morva.Model((8, 8)).add_field("u", diffusion=0.1).add_field("v", diffusion=0.1)
        >>> ReactingFields(m.add_reaction("r", schnakenberg, ["u", "v"])).saved()
        {'substeps': {'r': None}}
        """
        return {"substeps": dict(self.substeps)}

    def restore(self, saved, where):
        """Take the counts saved by :meth:`saved`; `where` names the checkpoint in errors."""
        counts = saved.get("substeps") if isinstance(saved, dict) else None
        if not isinstance(counts, dict) or set(counts) != set(self.substeps):
            raise ValueError(f"{where}: holds sub-steps of reactions {sorted(counts or {})}, the model declares "
                             f"{sorted(self.substeps)}")
        self.substeps = {name: None if n is None else int(n) for name, n in counts.items()}

    def _inputs(self, sim, reaction):
        return [sim.field(f) for f in reaction.fields]

    def _cell_types(self, sim):
        types = _native.cells(sim.world)["type"][_native.labels(sim.world)]
        types.flags.writeable = False
        return types

    def check(self, sim):
        """Fix the sub-steps at the first call; afterwards refuse a reaction grown too stiff for them."""
        types = self._cell_types(sim)
        for name, reaction in self.model.reactions.items():
            where = f"reaction {name!r} (function {reaction.function})"
            stiffness = estimate_stiffness(self.functions[name], self._inputs(sim, reaction), types, where,
                                           reaction.fields)
            if self.substeps[name] is None:
                self.substeps[name] = self.model.reaction_substeps(name, stiffness)
                continue
            n = self.substeps[name]
            loads = {f: self.model.fields[f].stability_load(self.model.ndim) for f in reaction.fields}
            field_name = max(loads, key=loads.get)
            if (loads[field_name] + stiffness) / n > 1:
                need = needed_substeps(list(loads.values()), stiffness, math.inf)
                raise ValueError(
                    f"reaction {name!r} at MCS {sim.mcs}: its stiffness is now {stiffness:.4g} per MCS (largest row "
                    f"sum of |df/du|); with the load {loads[field_name]:g} of field {field_name!r}, {n} sub-steps per "
                    f"MCS are unstable. Declare rate >= {stiffness:.4g} on the reaction (or substeps >= {need}) so "
                    "that the sub-steps are chosen for it from the start")

    def advance(self, sim, n, engine_step):
        """Run n MCS: each an engine step (``engine_step(1)``, counted in sim.mcs), then the sub-steps."""
        if any(count is None for count in self.substeps.values()):
            self.check(sim)
        for _ in range(n):
            try:
                engine_step(1)
            except KeyboardInterrupt as stop:
                if getattr(stop, "mcs_done", 0):
                    self.step(sim)  # the engine finished the step: finish its fields too
                raise
            self.step(sim)
            if sim.mcs % CHECK_EVERY == 0:
                self.check(sim)

    def step(self, sim):
        """The sub-steps of one MCS for every reaction, the engine having done its copy attempts and secretion.

        The fields are stepped on copies and written back at the end, so a Ctrl-C during the
        sub-steps starts them over from the engine's fields and the MCS still ends whole.
        """
        try:
            stepped = self._stepped(sim)
        except KeyboardInterrupt:
            self._write(sim, self._stepped(sim))
            raise
        self._write(sim, stepped)

    def _stepped(self, sim):
        types = self._cell_types(sim)
        return {f: v for name, reaction in self.model.reactions.items()
                for f, v in zip(reaction.fields, self._step_reaction(sim, name, reaction, types))}

    def _write(self, sim, stepped):
        for field_name, values in stepped.items():
            _native.set_field(sim.world, self.model.field_id(field_name), values)

    def _step_reaction(self, sim, name, reaction, types):
        n = self.substeps[name]
        dt = 1.0 / n
        specs = [self.model.fields[f] for f in reaction.fields]
        values = self._inputs(sim, reaction)
        scratch = [np.empty_like(v) for v in values]
        views = [v.view() for v in values]
        for view in views:
            view.flags.writeable = False
        function = self.functions[name]
        where = f"reaction {name!r} (function {reaction.function})"
        for k in range(n):
            for i, spec in enumerate(specs):
                _native.diffuse(sim.world, values[i], scratch[i], spec.diffusion, spec.decay, dt)
                values[i], scratch[i] = scratch[i], values[i]
                views[i] = values[i].view()
                views[i].flags.writeable = False
            rates = rates_of(function, views, types, where, reaction.fields)
            for i, rate in enumerate(rates):
                # dt * rate and the sum in float64, rounded once to the field's float32
                np.add(values[i], np.multiply(rate, dt, dtype=np.float64), out=values[i], casting="same_kind")
                # a float64 sum of float32 values cannot overflow: it is finite exactly when they all are
                if not math.isfinite(values[i].sum(dtype=np.float64)):
                    cause = ("gave NaN or infinite rates" if not np.isfinite(rate).all()
                             else f"drove it beyond float32; the {n} sub-steps may be too few for its stiffness "
                             "(declare rate or substeps)")
                    raise ValueError(f"{where}: field {reaction.fields[i]!r} became non-finite at MCS {sim.mcs} "
                                     f"(sub-step {k + 1} of {n}): the function {cause}")
        return values


def schnakenberg(u, v, cell_type, a=0.1, b=0.9):
    """The Schnakenberg kinetics f = a - u + u**2 v, g = b - u**2 v (per MCS), by default a = 0.1, b = 0.9.

    Its steady state is u = a + b, v = b / (a + b)**2 (1 and 0.9 by default); with v diffusing fast
    enough (d_v / d_u above about 10 for the defaults) it is unstable to patterns (a Turing
    system). `cell_type` is not used.

    Examples
    --------
    >>> [float(r) for r in schnakenberg(np.float32(1.0), np.float32(0.9), 0)]
    [0.0, 0.0]
    """
    u2v = u * u * v
    return a - u + u2v, b - u2v


def reactions_to_dict(reactions):
    """The [reactions] table of a model file.

    Examples
    --------
    >>> reactions_to_dict({"r": Reaction("r", "numpy:add", ["u"], substeps=3)})
    {'r': {'function': 'numpy:add', 'fields': ['u'], 'substeps': 3}}
    """
    return {name: reaction.to_dict() for name, reaction in reactions.items()}


def add_reactions_from_file(model, table):
    """Declare the reactions of a model file's [reactions] table on `model`, errors naming the key."""
    for name, entry, where in named_entries("reactions", table, REACTION_KEYS, ["function", "fields"]):
        with located(where):
            model.add_reaction(name, **entry)
