"""What an ODE in cells reads from the tissue (inputs) and sets on it (outputs), named by text.

Models and model files name them as short texts, so that a declared ODE says what couples it to
the tissue. An input is a tissue quantity sampled once per integration and held during it:

- ``"volume"``, ``"surface"``, ``"target_volume"``, ``"medium_contact"``;
- ``"field_mean(<field>)"``: the field's mean over the cell's sites;
- ``"neighbour_mean(<variable>)"``, ``"neighbour_sum(<variable>)"``: the neighbours' values of a
  cell variable, weighted by the shared surface;
- ``"is_type(<type>)"``: 1.0 for the cells of the type, 0.0 for the others.

An output sets a tissue quantity from a variable after each integration:

- ``"target_volume"`` (values > 0);
- ``"secretion_scale(<field>)"``: the factor on the secretion rate of the cell's type in the
  field for that one cell (values >= 0; 0 silences the cell). The engine keeps it in its
  checkpoints; a daughter starts at 1 until the ODE next acts.
"""

import dataclasses
import re

import numpy as np

INPUTS = ("volume", "surface", "target_volume", "medium_contact")
INPUTS_OF = ("field_mean", "neighbour_mean", "neighbour_sum", "is_type")
OUTPUTS = ("target_volume",)
OUTPUTS_OF = ("secretion_scale",)
_FORM = re.compile(r"^\s*([a-z_]+)\s*(?:\(\s*([^()\s]+)\s*\))?\s*$")


@dataclasses.dataclass(frozen=True)
class Port:
    """One input or output: a quantity and, for those that need one, its field, variable or type.

    Examples
    --------
    >>> Port.parse("field_mean( c )", "input")
    Port(quantity='field_mean', of='c')
    >>> str(Port.parse("secretion_scale(c)", "output"))
    'secretion_scale(c)'
    >>> Port.parse("field_mean", "input")
    Traceback (most recent call last):
    ...
    ValueError: 'field_mean' needs what it is of: field_mean(<name>)
    """

    quantity: str
    of: object = None

    @classmethod
    def parse(cls, text, direction):
        """A port from its text; `direction` is "input" or "output"."""
        plain, with_argument = (INPUTS, INPUTS_OF) if direction == "input" else (OUTPUTS, OUTPUTS_OF)
        found = _FORM.match(text) if isinstance(text, str) else None
        known = ", ".join([*plain, *(f"{q}(<name>)" for q in with_argument)])
        if not found or found.group(1) not in plain + with_argument:
            raise ValueError(f"{text!r} is not an {direction}; known: {known}")
        quantity, of = found.groups()
        if (quantity in with_argument) != (of is not None):
            raise ValueError(f"{text!r} needs what it is of: {quantity}(<name>)" if of is None
                             else f"{text!r}: {quantity} takes no argument")
        return cls(quantity, of)

    def __str__(self):
        return self.quantity if self.of is None else f"{self.quantity}({self.of})"

    def check(self, model):
        """Refuse a field, variable or type the model does not declare."""
        if self.quantity in ("field_mean", "secretion_scale") and self.of not in model.fields:
            raise ValueError(f"{str(self)!r}: no field {self.of!r}")
        if self.quantity.startswith("neighbour_") and self.of not in model.cell_variables:
            raise ValueError(f"{str(self)!r}: no cell variable {self.of!r}")
        if self.quantity == "is_type" and (self.of not in model.type_names or self.of == "medium"):
            raise ValueError(f"{str(self)!r}: no cell type {self.of!r}")

    def sample(self, sim, tissue):
        """The input's values over ``tissue.ids`` (a :class:`morva.cell_ode.Tissue`), float64."""
        if self.of is None:
            return np.asarray(getattr(tissue, self.quantity), dtype=np.float64)
        if self.quantity == "field_mean":
            return tissue.field_mean(self.of)
        if self.quantity == "is_type":
            return tissue.is_type(self.of).astype(np.float64)
        values = sim.cell_variable(self.of)[tissue.ids]
        return tissue.neighbour_mean(values) if self.quantity == "neighbour_mean" else tissue.neighbour_sum(values)

    def apply(self, sim, ids, values):
        """Set the output on cells `ids` from `values` (one per cell)."""
        values = np.asarray(values, dtype=np.float64)
        if self.quantity == "target_volume":
            bad, bound = ~(np.isfinite(values) & (values > 0)), "> 0"
        else:
            bad, bound = ~(np.isfinite(values) & (values >= 0)), ">= 0"
        if bad.any():
            at = int(np.flatnonzero(bad)[0])
            raise ValueError(f"{self}: values must be finite and {bound}; cell {int(ids[at])} got {float(values[at])!r}")
        world = sim.world
        if self.quantity == "target_volume":
            for cell, value in zip(ids.tolist(), values.tolist()):
                world.set_target_volume(cell, value)
        else:
            field = list(sim.model.fields).index(self.of)
            for cell, value in zip(ids.tolist(), values.tolist()):
                world.set_cell_secretion_scale(field, cell, value)


def parse_ports(table, direction):
    """`{name: text}` as `{name: Port}`; a name is an identifier.

    Examples
    --------
    >>> parse_ports({"v": "volume"}, "input")
    {'v': Port(quantity='volume', of=None)}
    """
    if table is None:
        return {}
    if not isinstance(table, dict):
        raise ValueError(f"{direction}s must be a table of name = quantity, got {table!r}")
    ports = {}
    for key, text in table.items():
        if not isinstance(key, str) or not key.isidentifier():
            raise ValueError(f"{direction} names must be identifiers, got {key!r}")
        ports[key] = Port.parse(text, direction)
    return ports
