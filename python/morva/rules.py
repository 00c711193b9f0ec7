"""Rules declared in the model: divide, remove or change type the cells for which a condition holds.

A rule acts every `every` MCS, after the hooks and writers the user attached (so after ODEs in
cells) and before the recorder. Its condition is a list of comparisons that must all hold, each a
string "quantity op value": quantity is volume, surface, target_volume, type or a declared cell
variable; op one of < <= > >= == !=; value a number (a type name for type, with == or !=). A
``"module:name"`` reference instead names ``condition(sim, tissue) -> mask`` over ``tissue.ids``.
What happened and why is kept: divisions in the lineage's rule column, removals and changes of
type in ``sim.fates``.
"""

import dataclasses
import math
import operator
import re

import numpy as np

from ._modelfile_errors import located, named_entries
from .cell_ode import Tissue
from .cell_state import function_reference, resolve_function
from .validate import integer, real
from .writers import Writer

COMPARISONS = {"<": operator.lt, "<=": operator.le, ">": operator.gt, ">=": operator.ge,
               "==": operator.eq, "!=": operator.ne}
TISSUE_QUANTITIES = ("volume", "surface", "target_volume", "type")
ACTIONS = ("divide", "remove", "retype")
ORIENTATIONS = ("longest", "shortest", "random")
_COMPARISON = re.compile(r"^\s*([A-Za-z_]\w*)\s*(<=|>=|==|!=|<|>)\s*(\S+)\s*$")

# Cut codes of morva._native.divide.
_LONGEST, _SHORTEST, _THROUGH_CENTRE = 0, 1, 2


def division_planes(orientation, n, dims, rng):
    """The cut codes and normals that ``morva._native.divide`` takes for `n` cells.

    Examples
    --------
    >>> division_planes("shortest", 2, (10, 10, 1), None)
    ([1, 1], [(0.0, 0.0, 0.0), (0.0, 0.0, 0.0)])
    >>> division_planes((3, 4), 1, (10, 10, 1), None)
    ([2], [(0.6, 0.8, 0.0)])
    >>> division_planes("sideways", 1, (10, 10, 1), None)
    Traceback (most recent call last):
    ...
    ValueError: orientation must be one of ('longest', 'shortest', 'random') or a vector (x, y[, z]), got 'sideways'
    """
    if isinstance(orientation, str):
        if orientation not in ORIENTATIONS:
            raise ValueError(f"orientation must be one of {ORIENTATIONS} or a vector (x, y[, z]), got {orientation!r}")
        if orientation != "random" or n == 0:
            return [_LONGEST if orientation == "longest" else _SHORTEST] * n, [(0.0, 0.0, 0.0)] * n
        if dims[2] > 1:
            draws = rng.standard_normal((n, 3))
        else:
            angle = rng.uniform(0.0, 2.0 * math.pi, n)
            draws = np.stack([np.cos(angle), np.sin(angle), np.zeros(n)], axis=1)
        return [_THROUGH_CENTRE] * n, [tuple(row) for row in draws.tolist()]
    vector = np.zeros(3)
    given = np.asarray(orientation, dtype=np.float64).ravel()
    if given.size not in (2, 3) or not np.isfinite(given).all() or not given.any():
        raise ValueError(f"an orientation vector needs 2 or 3 finite components, not all 0; got {orientation!r}")
    vector[:given.size] = given / np.linalg.norm(given)
    return [_THROUGH_CENTRE] * n, [tuple(vector.tolist())] * n


@dataclasses.dataclass(frozen=True)
class Comparison:
    """One "quantity op value" of a condition."""

    quantity: str
    op: str
    value: object

    @classmethod
    def parse(cls, text, where):
        """A comparison from its text; `where` names it in errors."""
        found = _COMPARISON.match(str(text))
        if not found:
            raise ValueError(f"{where}: {text!r} is neither 'quantity op value' (op one of "
                             f"{' '.join(COMPARISONS)}) nor a 'module:name' function")
        quantity, op, value = found.groups()
        if quantity == "type":
            if op not in ("==", "!="):
                raise ValueError(f"{where}: {text!r}: a type compares with == or != only")
            return cls(quantity, op, value)
        try:
            number = float(value)
        except ValueError:
            raise ValueError(f"{where}: {text!r}: {value!r} is not a number") from None
        return cls(quantity, op, number)

    def mask(self, sim, tissue):
        """Where the comparison holds, over ``tissue.ids``."""
        if self.quantity == "type":
            values, value = tissue.type, sim.model.type_id(self.value)
        elif self.quantity in TISSUE_QUANTITIES:
            values, value = getattr(tissue, self.quantity), self.value
        else:
            values, value = sim.cell_variable(self.quantity)[tissue.ids], self.value
        return COMPARISONS[self.op](values, value)

    def __str__(self):
        return f"{self.quantity} {self.op} {self.value if isinstance(self.value, str) else repr(self.value)}"


@dataclasses.dataclass
class Rule:
    """A rule of the model (see :meth:`morva.Model.add_rule`).

    Attributes
    ----------
    name : str
    action : str
        "divide", "remove" or "retype".
    when : list of str
        Comparisons that must all hold, or one ``"module:name"`` function reference.
    every : int
    orientation : str or tuple of float
        Of divisions (see :meth:`morva.Simulation.divide_cells`).
    reset_target : float or None
        Of divisions; None gives parent and daughter half the parent's target volume.
    to : str or None
        The new type of "retype".
    """

    name: str
    action: str
    when: list
    every: int = 1
    orientation: object = "longest"
    reset_target: object = None
    to: object = None

    def __post_init__(self):
        where = f"rule {self.name!r}"
        if not isinstance(self.name, str) or not self.name.isidentifier():
            raise ValueError(f"rule names must be identifiers, got {self.name!r}")
        if self.action not in ACTIONS:
            raise ValueError(f"{where}: action must be one of {ACTIONS}, got {self.action!r}")
        self.every = integer(f"{where}: every", self.every, minimum=1)
        when = [self.when] if isinstance(self.when, str) or callable(self.when) else list(self.when)
        if not when:
            raise ValueError(f"{where}: 'when' needs at least one condition")
        if len(when) == 1 and (callable(when[0]) or _is_reference(when[0])):
            self.when = [function_reference(when[0], f"{where}: when")]
            self._test = None
        else:
            self._test = [Comparison.parse(c, f"{where}: when") for c in when]
            self.when = [str(c) for c in self._test]
        if self.action == "divide":
            division_planes(self.orientation, 0, (2, 2, 2), None)
            if not isinstance(self.orientation, str):
                self.orientation = tuple(float(v) for v in self.orientation)
            if self.reset_target is not None:
                self.reset_target = real(f"{where}: reset_target", self.reset_target, above=0)
        if (self.action == "retype") != (self.to is not None):
            raise ValueError(f"{where}: 'to' (the new type) goes with action 'retype' and only with it")

    def check(self, model):
        """Refuse quantities and types the model does not declare."""
        where = f"rule {self.name!r}"
        for comparison in self._test or ():
            if comparison.quantity not in TISSUE_QUANTITIES and comparison.quantity not in model.cell_variables:
                raise ValueError(f"{where}: {comparison.quantity!r} is neither one of {TISSUE_QUANTITIES} "
                                 f"nor a declared cell variable")
            if comparison.quantity == "type" and comparison.value not in model.type_names:
                raise ValueError(f"{where}: {str(comparison)!r} names no type of the model")
        if self.to is not None and (self.to not in model.type_names or self.to == "medium"):
            raise ValueError(f"{where}: 'to' names no cell type: {self.to!r}")

    def selected(self, sim, tissue):
        """The ids of the cells for which the condition holds."""
        if self._test is None:
            where = f"rule {self.name!r}: when"
            mask = np.asarray(resolve_function(self.when[0], where)(sim, tissue), dtype=bool)
            if mask.shape != tissue.ids.shape:
                raise ValueError(f"{where} gave a mask of shape {mask.shape} for {tissue.ids.size} cells")
        else:
            mask = np.ones(tissue.ids.size, dtype=bool)
            for comparison in self._test:
                mask &= comparison.mask(sim, tissue)
        return tissue.ids[mask]

    def apply(self, sim):
        """Act on the cells for which the condition holds now; returns their ids."""
        tissue = Tissue(sim)
        ids = self.selected(sim, tissue)
        if self.action == "retype":
            ids = ids[tissue.type[np.searchsorted(tissue.ids, ids)] != sim.model.type_id(self.to)]
        if not ids.size:
            return ids
        if self.action == "divide":
            sim.divide_cells(ids, self.orientation, self.reset_target, rule=self.name)
        elif self.action == "remove":
            sim.remove(ids)
            sim.record_fate(ids, "remove", self.name)
        else:
            sim.retype(ids, self.to)
            sim.record_fate(ids, "retype", self.name, self.to)
        return ids

    def to_dict(self):
        entry = {"action": self.action, "when": list(self.when), "every": self.every}
        if self.action == "divide":
            entry["orientation"] = self.orientation if isinstance(self.orientation, str) else list(self.orientation)
            if self.reset_target is not None:
                entry["reset_target"] = self.reset_target
        if self.to is not None:
            entry["to"] = self.to
        return entry


def _is_reference(text):
    return isinstance(text, str) and ":" in text and not any(op in text for op in COMPARISONS)


class RulesWriter(Writer):
    """Applies a model's rules at their periods, in the order they were declared.

    Examples
    --------
    >>> writer = RulesWriter([Rule("old", "remove", "volume > 1", every=4)])
    >>> writer.next_due(5)
    8
    """

    def __init__(self, rules):
        self.rules = list(rules)

    def next_due(self, mcs):
        return min((mcs // rule.every + 1) * rule.every for rule in self.rules)

    def write(self, sim):
        for rule in self.rules:
            if sim.mcs % rule.every == 0:
                rule.apply(sim)


RULE_KEYS = ("action", "when", "every", "orientation", "reset_target", "to")


def rules_to_dict(rules):
    """The [rules] table of a model file.

    Examples
    --------
    >>> rules_to_dict({"old": Rule("old", "remove", ["volume > 50"])})
    {'old': {'action': 'remove', 'when': ['volume > 50.0'], 'every': 1}}
    """
    return {name: rule.to_dict() for name, rule in rules.items()}


def add_rules_from_file(model, table):
    """Declare the rules of a model file's [rules] table on `model`, errors naming the key."""
    for name, entry, where in named_entries("rules", table, RULE_KEYS, ["action", "when"]):
        with located(where):
            model.add_rule(name, **entry)
