"""The engine's terms and options under the package's names.

The engine declares its energy terms, world options and their parameters itself
(``morva._native.describe()``). This module joins that declaration with the one table of what the
package calls each parameter and where it keeps it, so the cell-type attributes, the field and
chemotaxis keys, the world options, their checks and the docs' tables all come from here.
:func:`unmapped` lists every disagreement between the engine and the table; the tests require none.

Examples
--------
>>> TYPE_ATTRS[:2]
('volume', 'lambda_volume')
>>> WORLD_OPTIONS
('periodic_shapes', 'com_force', 'face_connectivity')
"""

import dataclasses

from . import _native
from .validate import flag, integer, real, vector

# Where the package keeps each parameter the engine declares: (engine unit, engine parameter,
# place, package name, the package's own limits), place being "type" (a CellType attribute),
# "contact", "field" (a FieldSpec entry), "chemotaxis" (a Chemotaxis attribute), "option" (a world
# option) or "model" (a Model setting in its own form: the Act model's mean is "geometric" or
# "arithmetic" where the engine holds a flag). The engine takes any value; the limits keep models
# physical. A place of None marks a
# parameter the package does not offer by name: set on a world through morva._native, or derived
# from other settings (a field's dt from its sub-steps; a cell's secretion scale in the engine only).
TABLE = (
    ("volume", "target_volume", "type", "volume", {"above": 0}),
    ("volume", "lambda_volume", "type", "lambda_volume", {"minimum": 0}),
    ("surface", "target_surface", "type", "surface", {"minimum": 0}),
    ("surface", "lambda_surface", "type", "lambda_surface", {"minimum": 0}),
    ("contact", "contact", "contact", "energy", {}),
    ("connectivity", "connectivity", "type", "connectivity", {}),
    ("connectivity", "medium_connectivity", None, None, None),
    ("membrane", "anchors", None, None, None),
    ("membrane", "k", None, None, None),
    ("membrane", "band", None, None, None),
    ("membrane", "anchored", None, None, None),
    ("junction", "lambda_junction", None, None, None),
    ("junction", "junction", None, None, None),
    ("length", "length", "type", "length", {"minimum": 0}),
    ("length", "lambda_length", "type", "lambda_length", {"minimum": 0}),
    ("external potential", "force", "type", "force", {}),
    ("external potential", "cell_force", None, None, None),
    ("act", "lambda_act", "type", "lambda_act", {"minimum": 0}),
    ("act", "max_act", "type", "max_act", {"minimum": 0, "maximum": 65535}),
    ("act", "act_arithmetic", "model", "act_mean", {}),
    ("persistence", "lambda_dir", "type", "lambda_dir", {"minimum": 0}),
    ("persistence", "persistence_interval", "type", "persistence_interval", {"minimum": 1, "maximum": 2**32 - 2}),
    ("persistence", "persistence", "type", "persistence", {"minimum": 0, "maximum": 1}),
    ("persistence", "direction", None, None, None),
    ("fields", "diffusion", "field", "diffusion", {"minimum": 0}),
    ("fields", "decay", "field", "decay", {"minimum": 0}),
    ("fields", "dt", None, None, None),
    ("fields", "substeps", "field", "substeps", {"minimum": 1}),
    ("fields", "secretion", "field", "secretion", {"minimum": 0}),
    ("fields", "secretion_scale", None, None, None),
    ("fields", "chemotaxis", "chemotaxis", "strength", {}),
    ("fields", "kd", "chemotaxis", "kd", {"minimum": 0}),
    ("fields", "hill", "chemotaxis", "hill", {"above": 0}),
    ("fields", "scale", "chemotaxis", "scale", {"above": 0}),
    ("periodic_shapes", "periodic_shapes", "option", "periodic_shapes", {}),
    ("com_force", "com_force", "option", "com_force", {}),
    ("face_connectivity", "face_connectivity", "option", "face_connectivity", {}),
)

# How the Act model averages a site's activity with its cell neighbours' (place "model" above).
ACT_MEANS = ("geometric", "arithmetic")

# Settings of the package with no engine parameter of their own, by place: a type's colour (for
# pictures), a field's uptake (engine secretion with the sign turned) and its chemotaxis table.
PACKAGE_ONLY = {"type": ("colour",), "field": ("uptake", "chemotaxis")}


@dataclasses.dataclass(frozen=True)
class Parameter:
    """One engine parameter as the package offers it.

    Attributes
    ----------
    unit, engine_name : str
        The engine's term or option and its name for the parameter.
    place, name : str
        Where the package keeps it ("type", "contact", "field", "chemotaxis", "option") and its name there.
    kind, scope, range : str
        The engine's declaration: "float", "int", "bool" or "vector"; "per type" and so on; the values
        the engine takes.
    limits : dict
        The package's own bounds (``minimum``, ``above``) for :mod:`morva.validate`.
    """

    unit: str
    engine_name: str
    place: str
    name: str
    kind: str
    scope: str
    range: str
    limits: dict

    def checked(self, where, value):
        """The value checked by its kind and the package's limits; a ValueError names `where` and the parameter.

        Examples
        --------
        >>> parameter("type", "lambda_volume").checked("cell type 'a'", 2)
        2.0
        """
        what = f"{where}: {self.name}"
        if self.kind == "bool":
            return flag(what, value)
        if self.kind == "vector":
            return vector(what, value, 3)
        if self.kind == "int":
            return integer(what, value, **self.limits)
        return real(what, value, **self.limits)


def _declared():
    return {(unit["name"], p["name"]): (unit, p) for unit in _native.describe() for p in unit["parameters"]}


def _joined():
    declared = _declared()
    out = []
    for unit, engine_name, place, name, limits in TABLE:
        if place is None or (unit, engine_name) not in declared:
            continue
        _, p = declared[unit, engine_name]
        out.append(Parameter(unit, engine_name, place, name, p["kind"], p["scope"], p["range"], limits))
    return tuple(out)


PARAMETERS = _joined()


def parameters(place):
    """The parameters the package keeps at `place`, in the engine's order.

    Examples
    --------
    >>> [p.name for p in parameters("chemotaxis")]
    ['strength', 'kd', 'hill', 'scale']
    """
    return tuple(p for p in PARAMETERS if p.place == place)


def parameter(place, name):
    """The parameter the package calls `name` at `place`.

    Examples
    --------
    >>> parameter("type", "force").kind
    'vector'
    """
    (found,) = (p for p in PARAMETERS if p.place == place and p.name == name)
    return found


def unmapped():
    """Disagreements between the engine's declaration and :data:`TABLE`, as readable lines.

    Lists each parameter the engine declares that the table does not place, each one the table
    places that the engine does not declare, and each option the package would keep under another
    name. Empty when the two agree.

    Examples
    --------
    >>> unmapped()
    []
    """
    declared = _declared()
    listed = {(unit, engine_name) for unit, engine_name, *_ in TABLE}
    problems = [f"the engine declares {unit!r} parameter {p!r}, which the package does not map"
                for unit, p in declared if (unit, p) not in listed]
    problems += [f"the package maps {unit!r} parameter {p!r}, which the engine does not declare"
                 for unit, p in sorted(listed - set(declared))]
    options = {u["name"] for u in _native.describe() if u["what"] == "option"}
    problems += [f"world option {p.unit!r} is kept as {p.name!r}" for p in PARAMETERS
                 if p.place == "option" and (p.unit not in options or p.name != p.unit)]
    return problems


TYPE_ATTRS = tuple(p.name for p in parameters("type")) + PACKAGE_ONLY["type"]
WORLD_OPTIONS = tuple(p.name for p in parameters("option"))
FIELD_KEYS = tuple(p.name for p in parameters("field")) + PACKAGE_ONLY["field"]
FIELD_ATTRS = tuple(p.name for p in parameters("field") if p.scope == "per field")
CHEMOTAXIS_KEYS = tuple(p.name for p in parameters("chemotaxis"))


def checked_act_mean(value):
    """The Act model's mean by name; a ValueError names the choices.

    Examples
    --------
    >>> checked_act_mean("arithmetic")
    'arithmetic'
    """
    if value not in ACT_MEANS:
        raise ValueError(f"act_mean must be \"geometric\" or \"arithmetic\", got {value!r}")
    return value
