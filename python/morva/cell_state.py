"""The package's own per-run state: the generator for user code and the per-cell variables.

The engine keeps the tissue; this module keeps what users' rules need besides it, so that a
checkpoint holds it and a resumed run continues bit for bit (docs/cell-state.md).

The user generator is ``numpy.random.default_rng(numpy.random.SeedSequence([seed, USER_STREAM]))``:
a stream of its own, apart from the engine's, fixed by the run's seed alone.
"""

import base64
import dataclasses
import functools
import importlib
import inspect

import numpy as np

from .cell_table import LIVE_COLUMNS, RECORDED_COLUMNS

# Tag of the user generator's stream within the run's seed (the ASCII bytes "user").
USER_STREAM = 0x75736572


def user_rng(seed):
    """The generator that ``sim.rng`` starts from for a run with `seed`.

    Examples
    --------
    >>> float(user_rng(1).random()) == float(user_rng(1).random())
    True
    >>> float(user_rng(1).random()) == float(user_rng(2).random())
    False
    """
    return np.random.default_rng(np.random.SeedSequence([int(seed), USER_STREAM]))


def rng_state(rng):
    """The state of a generator as plain JSON-able data (integers stay exact).

    Examples
    --------
    >>> g = user_rng(3); saved = rng_state(g); a = g.random(); restore_rng(saved).random() == a
    True
    """
    return rng.bit_generator.state


def restore_rng(state):
    """A generator in the state saved by :func:`rng_state`.

    Raises
    ------
    ValueError
        When the saved state is not that of a NumPy bit generator.
    """
    name = state.get("bit_generator") if isinstance(state, dict) else None
    bit_generator = getattr(np.random, str(name), None)
    if not (isinstance(bit_generator, type) and issubclass(bit_generator, np.random.BitGenerator)):
        raise ValueError(f"saved generator state names no NumPy bit generator: {name!r}")
    generator = bit_generator()
    generator.state = state
    return np.random.Generator(generator)


def encode_array(values):
    """Float64 values as base64 text of their little-endian bytes: exact, NaN payloads included.

    Examples
    --------
    >>> decode_array(encode_array(np.array([0.1, np.nan]))).tolist()[0]
    0.1
    """
    return base64.b64encode(np.ascontiguousarray(values, dtype="<f8").tobytes()).decode("ascii")


def decode_array(text):
    """The array written by :func:`encode_array`."""
    return np.frombuffer(base64.b64decode(text.encode("ascii")), dtype="<f8").astype(np.float64)


DIVISION_RULES = ("copy", "halve")


def resolve_function(reference, where):
    """The function a ``"module:name"`` reference names (name may be dotted: ``module:Class.method``).

    Raises
    ------
    ValueError
        Naming `where` when the reference is malformed, the module cannot be imported or has no
        such callable.

    Examples
    --------
    >>> resolve_function("numpy:sqrt", "x")(4.0)
    np.float64(2.0)
    >>> resolve_function("numpy", "[cell_variables.a] initial")
    Traceback (most recent call last):
    ...
    ValueError: [cell_variables.a] initial: 'numpy' is not a function reference of the form 'module:name'
    """
    module_name, _, name = str(reference).partition(":")
    if not module_name or not name:
        raise ValueError(f"{where}: {reference!r} is not a function reference of the form 'module:name'")
    try:
        target = importlib.import_module(module_name)
        for part in name.split("."):
            target = getattr(target, part)
    except (ImportError, AttributeError) as err:
        raise ValueError(f"{where}: cannot find {reference!r}: {err}") from None
    if not callable(target):
        raise ValueError(f"{where}: {reference!r} is not callable")
    return target


def constants(table, where):
    """Named constants of a model function: a dict of identifier to float.

    Examples
    --------
    >>> constants({"k": 2}, "x"), constants(None, "x")
    ({'k': 2.0}, {})
    >>> constants({"k": "fast"}, "reaction 'r'")
    Traceback (most recent call last):
    ...
    ValueError: reaction 'r': parameter 'k' must be a real number, got 'fast'
    """
    from .validate import real

    if table is None:
        return {}
    if not isinstance(table, dict):
        raise ValueError(f"{where}: parameters must be a table of name = number, got {table!r}")
    for key in table:
        if not isinstance(key, str) or not key.isidentifier():
            raise ValueError(f"{where}: parameter names must be identifiers, got {key!r}")
    return {key: real(f"{where}: parameter {key!r}", value) for key, value in table.items()}


def with_constants(function, n_arguments, parameters, where):
    """`function` with `parameters` bound as keyword arguments, checked against its signature where it has one.

    Examples
    --------
    >>> def decay(u, cell_type, k): return -k * u
    >>> with_constants(decay, 2, {"k": 0.5}, "x")(2.0, 0)
    -1.0
    >>> with_constants(decay, 2, {"rate": 0.5}, "reaction 'r'")
    Traceback (most recent call last):
    ...
    ValueError: reaction 'r': the function cannot take its arguments and the parameters ['rate']: missing a required argument: 'k'
    """
    try:
        signature = inspect.signature(function)
    except (TypeError, ValueError):  # some compiled functions do not tell
        signature = None
    if signature is not None:
        try:
            signature.bind(*[None] * n_arguments, **parameters)
        except TypeError as err:
            raise ValueError(f"{where}: the function cannot take its arguments and the parameters "
                             f"{sorted(parameters)}: {err}") from None
    return functools.partial(function, **parameters) if parameters else function


def function_reference(function, where):
    """The ``"module:name"`` reference of a function, checked to lead back to it.

    Functions are kept by reference so that a model file, a recording and a resumed run name the
    same code; lambdas and nested functions have none and are refused.

    Examples
    --------
    >>> import numpy
    >>> function_reference(numpy.sqrt, "x")
    'numpy:sqrt'
    >>> function_reference(lambda v: v, "on_divide")
    Traceback (most recent call last):
    ...
    ValueError: on_divide: a function must be importable as 'module:name' (a lambda or a nested function cannot be saved with the model); got <lambda> of morva.cell_state
    """
    if isinstance(function, str):
        resolve_function(function, where)
        return function
    reference = f"{getattr(function, '__module__', None)}:{getattr(function, '__qualname__', '')}"
    try:
        found = resolve_function(reference, where)
    except ValueError:
        found = None
    if found is not function:
        raise ValueError(f"{where}: a function must be importable as 'module:name' (a lambda or a nested function "
                         f"cannot be saved with the model); got {getattr(function, '__qualname__', function)} of "
                         f"{getattr(function, '__module__', None)}")
    return reference


@dataclasses.dataclass
class CellVariable:
    """A value every cell carries (see :meth:`morva.Model.add_cell_variable`).

    Attributes
    ----------
    name : str
    initial : float or str
        The value of a new cell, or the ``"module:name"`` reference of ``initial(sim, ids)``.
    on_divide : str
        "copy", "halve" or the reference of ``on_divide(sim, values)``.
    """

    name: str
    initial: object = 0.0
    on_divide: str = "copy"

    def __post_init__(self):
        where = f"cell variable {self.name!r}"
        if not isinstance(self.name, str) or not self.name.isidentifier():
            raise ValueError(f"cell variable names must be identifiers, got {self.name!r}")
        if self.name in LIVE_COLUMNS or self.name in RECORDED_COLUMNS:
            raise ValueError(f"{where}: the name is a column of the cell table already")
        if isinstance(self.initial, (bool, np.bool_)) or not isinstance(self.initial, (int, float, np.number)):
            self.initial = function_reference(self.initial, f"{where}: initial")
        else:
            self.initial = float(self.initial)
        if self.on_divide not in DIVISION_RULES:
            self.on_divide = function_reference(self.on_divide, f"{where}: on_divide (or one of {DIVISION_RULES})")

    def initial_values(self, sim, ids):
        """Values of the new cells `ids`."""
        if isinstance(self.initial, float):
            return np.full(len(ids), self.initial)
        values = np.asarray(resolve_function(self.initial, "initial")(sim, ids), dtype=np.float64)
        return _checked(values, len(ids), f"cell variable {self.name!r}: initial")

    def divide(self, sim, values):
        """Values of the parents and of the daughters after divisions of cells holding `values`."""
        if self.on_divide == "copy":
            return values, values.copy()
        if self.on_divide == "halve":
            return values / 2, values / 2
        where = f"cell variable {self.name!r}: on_divide"
        parents, daughters = resolve_function(self.on_divide, where)(sim, values.copy())
        return (_checked(np.asarray(parents, np.float64), len(values), where),
                _checked(np.asarray(daughters, np.float64), len(values), where))

    def to_dict(self):
        return {"initial": self.initial, "on_divide": self.on_divide}


def _checked(values, n, where):
    """`values` as n float64 values: one per cell, or one for all."""
    if values.ndim == 0:
        return np.full(n, float(values))
    if values.shape != (n,):
        raise ValueError(f"{where} gave shape {values.shape} for {n} cells")
    return np.array(values, dtype=np.float64)


def variables_to_dict(variables):
    """The [cell_variables] table of a model file.

    Examples
    --------
    >>> variables_to_dict({"x": CellVariable("x", 1, "halve")})
    {'x': {'initial': 1.0, 'on_divide': 'halve'}}
    """
    return {name: variable.to_dict() for name, variable in variables.items()}


def add_variables_from_file(model, table):
    """Declare the variables of a model file's [cell_variables] table on `model`, errors naming the key."""
    for name, entry in table.items():
        where = f"[cell_variables.{name}]"
        if not isinstance(entry, dict):
            raise ValueError(f"model file: {where} must be a table")
        extra = sorted(set(entry) - {"initial", "on_divide"})
        if extra:
            raise ValueError(f"model file: unknown key(s) {', '.join(map(repr, extra))} in {where}")
        try:
            model.add_cell_variable(name, **entry)
        except ValueError as err:
            raise ValueError(f"model file: {where}: {err}") from None


def with_variables(cells, sim):
    """The arrays of ``morva._native.cells`` with copies of the simulation's cell variables under "variables".

    Examples
    --------
    >>> import morva
    >>> from morva import _native
    >>> sim = morva.Model((8, 8)).add_cell_variable("x").build()
    >>> with_variables(_native.cells(sim.world), sim)["variables"]
    {'x': array([nan])}
    """
    cells["variables"] = {name: sim.cell_variable(name).copy() for name in sim.model.cell_variables}
    return cells


class CellState:
    """What a simulation keeps besides the engine world: ``sim.rng`` and the per-cell variables.

    Values are float64 arrays indexed by cell id (0, the medium, holds NaN), as long as the
    engine's cell records.

    Parameters
    ----------
    seed : int
        The run's seed; the user generator starts from it (see :func:`user_rng`).
    variables : dict of CellVariable
        The model's declared variables.

    Examples
    --------
    >>> state = CellState(5, {}); saved = state.saved(); a = state.rng.random()
    >>> state.restore(saved, "here"); state.rng.random() == a
    True
    """

    def __init__(self, seed, variables):
        self.rng = user_rng(seed)
        self.variables = dict(variables)
        self.values = {name: np.full(1, np.nan) for name in self.variables}

    def update(self, sim):
        """Give cells that the engine made since the last call (placed cells at first) their initial values."""
        n_records = sim.world.n_cells() + 1
        for name, variable in self.variables.items():
            old = self.values[name]
            if old.size < n_records:
                new_ids = np.arange(old.size, n_records)
                self.values[name] = np.concatenate([old, variable.initial_values(sim, new_ids)])

    def divided(self, sim, parents, daughters):
        """Set parents' and daughters' values by each variable's division rule (pairs in order, as the lineage)."""
        n = min(len(parents), len(daughters))
        parents = np.asarray(parents, dtype=np.int64)[:n]
        daughters = np.asarray(daughters, dtype=np.int64)[:n]
        n_records = sim.world.n_cells() + 1
        for name, variable in self.variables.items():
            values = self.values[name]
            if values.size < n_records:
                values = self.values[name] = np.concatenate([values, np.full(n_records - values.size, np.nan)])
            values[parents], values[daughters] = variable.divide(sim, values[parents])
        self.update(sim)

    def removed(self, ids):
        """Forget the values of removed cells."""
        for values in self.values.values():
            values[np.asarray(ids, dtype=np.int64)] = np.nan

    def saved(self):
        """The state as JSON-able data, for a checkpoint header."""
        return {"rng": rng_state(self.rng), "variables": {name: encode_array(v) for name, v in self.values.items()}}

    def restore(self, saved, where):
        """Take the state saved by :meth:`saved`; `where` names the checkpoint in errors."""
        if not isinstance(saved, dict) or "rng" not in saved:
            raise ValueError(f"{where}: the saved cell state is not a table with 'rng'")
        try:
            rng = restore_rng(saved["rng"])
        except (ValueError, TypeError, KeyError) as err:
            raise ValueError(f"{where}: the saved generator cannot be restored: {err}") from None
        stored = saved.get("variables", {})
        if set(stored) != set(self.variables):
            raise ValueError(f"{where}: holds cell variables {sorted(stored)}, the model declares "
                             f"{sorted(self.variables)}")
        self.values = {name: decode_array(stored[name]) for name in self.variables}
        self.rng = rng
