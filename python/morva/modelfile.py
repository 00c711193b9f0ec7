"""Model files: a model as TOML (schema in docs/model-file.md), read with tomllib, written with tomli-w.

The file format sits below the model: it builds whatever model class it is given (``model_class``,
which names its type attributes and world options), so morva.model can offer ``Model.from_toml``
and ``Model.save`` without the two modules importing each other.
"""

import dataclasses
import math
import pathlib
import re
import tomllib
import warnings

import tomli_w

from . import cell_ode as _cell_ode
from . import cell_state as _cell_state
from . import reactions as _reactions
from . import rules as _rules
from . import sbml as _sbml
from . import placement as _placement
from . import terms
from ._modelfile_errors import ModelFileError, line_of, located, unknown_keys
from .validate import real

SCHEMA_VERSION = 1
_LATTICE_KEYS = {"shape", "boundary", "neighborhood", "temperature"}
_FIELD_KEYS = set(terms.FIELD_KEYS)
_CHEMOTAXIS_KEYS = set(terms.CHEMOTAXIS_KEYS)


def model_to_dict(model, *, embed_images=False, base=None):
    """The model as plain dicts and lists, in the layout of the TOML file.

    Parameters
    ----------
    embed_images : bool
        Store label images inside the file (compressed) instead of by path.
    base : path, optional
        Folder that image paths are written relative to.

    Examples
    --------
    >>> from morva import Model
    >>> model_to_dict(Model((8, 8)))["lattice"]["shape"]
    [8, 8]
    """
    out = {
        "morva_model": SCHEMA_VERSION,
        "lattice": {"shape": list(model.shape), "boundary": model.boundary, "neighborhood": model.neighborhood,
                    "temperature": model.temperature},
        "types": {},
        "contacts": [{"types": [a, b], "energy": j} for (a, b), j in model.contacts.items()],
        **({} if model.default_contact is None else {"default_contact": model.default_contact}),
        **({} if model.act_mean == "geometric" else {"act_mean": model.act_mean}),
        "fields": {},
        "placements": [_placement_entry(p, embed_images, base) for p in model.placements],
        "options": dict(model.world_options),
        "cell_variables": _cell_state.variables_to_dict(model.cell_variables),
        "cell_odes": _cell_ode.cell_odes_to_dict(model.cell_odes),
        "sbml": _sbml.sbml_to_dict(model.sbml, embed_images, base),
        "rules": _rules.rules_to_dict(model.rules),
        "reactions": _reactions.reactions_to_dict(model.reactions),
    }
    for type_name, cell_type in model.types.items():
        entry = dataclasses.asdict(cell_type)
        del entry["name"]
        entry["force"] = list(entry["force"])
        if entry["colour"] is None:
            del entry["colour"]
        out["types"][type_name] = entry
    for field_name, spec in model.fields.items():
        entry = {"diffusion": spec.diffusion, "decay": spec.decay}
        if spec.substeps is not None:
            entry["substeps"] = spec.substeps
        entry["secretion"] = dict(spec.secretion)
        entry["uptake"] = dict(spec.uptake)
        entry["chemotaxis"] = {t: dataclasses.asdict(c) for t, c in spec.chemotaxis.items()}
        out["fields"][field_name] = entry
    return out


def to_toml(model, *, embed_images=False, base=None):
    """TOML text of a model.

    Examples
    --------
    >>> from morva import Model
    >>> "temperature" in to_toml(Model((8, 8)))
    True
    """
    data = _without_empty(model_to_dict(model, embed_images=embed_images, base=base))
    data.pop("morva_model")
    text = tomli_w.dumps(data)
    return text + f"\n# schema: morva model file, version {SCHEMA_VERSION}\n"


def _without_empty(value):
    """Drop empty tables and arrays: the file then shows only what is set."""
    if isinstance(value, dict):
        kept = {k: _without_empty(v) for k, v in value.items()}
        return {k: v for k, v in kept.items() if v != {} and v != []}
    if isinstance(value, list):
        return [_without_empty(v) for v in value]
    return value


_unknown = unknown_keys


def _table(where, value):
    if not isinstance(value, dict):
        raise ModelFileError(f"model file: {where} must be a table", where)
    return value


def model_from_dict(data, base=None, *, model_class):
    """A model of class `model_class` from the dict layout of :func:`model_to_dict`, with every entry validated.

    Examples
    --------
    >>> from morva import Model
    >>> model_from_dict(model_to_dict(Model((8, 8))), model_class=Model).shape
    (8, 8)
    """
    data = _table("the file", data)
    _unknown("the file", data, {"morva_model", "lattice", "types", "contacts", "default_contact", "act_mean",
                                 "fields", "placements", "options", "cell_variables", "cell_odes", "sbml",
                                 "rules", "reactions"})
    version = data.get("morva_model", SCHEMA_VERSION)
    if version != SCHEMA_VERSION:
        raise ValueError(f"model file: schema version {version!r} is not supported (this morva reads {SCHEMA_VERSION})")
    if "lattice" not in data:
        raise ValueError("model file: the [lattice] table is missing")
    lattice = _table("[lattice]", data["lattice"])
    _unknown("[lattice]", lattice, _LATTICE_KEYS)
    if "shape" not in lattice:
        raise ModelFileError("model file: [lattice] needs shape", "[lattice]")
    with located("[lattice]"):
        model = model_class(lattice["shape"], lattice.get("boundary", "periodic"), lattice.get("neighborhood", "moore"),
                      lattice.get("temperature", 10.0))
    with located("default_contact"):
        model.default_contact = None if "default_contact" not in data else real("default_contact",
                                                                                data["default_contact"])
    if "act_mean" in data:
        with located("act_mean"):
            model.act_mean = terms.checked_act_mean(data["act_mean"])
    options = _table("[options]", data.get("options", {}))
    _unknown("[options]", options, set(model_class.WORLD_OPTIONS))
    try:
        model.set_world_options(**options)
    except ValueError as e:
        raise ModelFileError(f"model file: [options]: {e}", "[options]") from None
    for type_name, entry in _table("[types]", data.get("types", {})).items():
        entry = _table(f"[types.{type_name}]", entry)
        _unknown(f"[types.{type_name}]", entry, model_class.TYPE_ATTRS)
        for key in ("volume", "lambda_volume"):
            if key not in entry:
                raise ModelFileError(f"model file: [types.{type_name}] needs {key}", f"[types.{type_name}]")
        with located(f"[types.{type_name}]"):
            model.add_type(type_name, **entry)
    contacts = data.get("contacts", [])
    if not isinstance(contacts, list):
        raise ValueError("model file: contacts must be an array of tables [[contacts]]")
    for i, entry in enumerate(contacts):
        entry = _table(f"contacts[{i}]", entry)
        _unknown(f"contacts[{i}]", entry, {"types", "energy"})
        pair = entry.get("types")
        if not isinstance(pair, list) or len(pair) != 2 or "energy" not in entry:
            raise ModelFileError(f"model file: contacts[{i}] needs types = [a, b] and energy", f"contacts[{i}]")
        with located(f"contacts[{i}]"):
            model.set_contact(pair[0], pair[1], entry["energy"])
    for field_name, entry in _table("[fields]", data.get("fields", {})).items():
        where = f"[fields.{field_name}]"
        entry = _table(where, entry)
        _unknown(where, entry, _FIELD_KEYS)
        if "diffusion" not in entry:
            raise ModelFileError(f"model file: {where} needs diffusion", where)
        with located(where):
            model.add_field(field_name, diffusion=entry["diffusion"], decay=entry.get("decay", 0.0),
                            substeps=entry.get("substeps"))
        for type_name, rate in _table(f"{where}.secretion", entry.get("secretion", {})).items():
            with located(f"{where}.secretion"):
                model.set_secretion(field_name, type_name, rate)
        for type_name, rate in _table(f"{where}.uptake", entry.get("uptake", {})).items():
            with located(f"{where}.uptake"):
                model.set_uptake(field_name, type_name, rate)
        for type_name, chem in _table(f"{where}.chemotaxis", entry.get("chemotaxis", {})).items():
            chem = _table(f"{where}.chemotaxis.{type_name}", chem)
            _unknown(f"{where}.chemotaxis.{type_name}", chem, _CHEMOTAXIS_KEYS)
            if "strength" not in chem:
                raise ModelFileError(f"model file: {where}.chemotaxis.{type_name} needs strength",
                                     f"{where}.chemotaxis.{type_name}")
            with located(f"{where}.chemotaxis.{type_name}"):
                model.set_chemotaxis(field_name, type_name, chem["strength"], kd=chem.get("kd", 0.0),
                                     hill=chem.get("hill", 1.0), scale=chem.get("scale", 1.0))
    placements = data.get("placements", [])
    if not isinstance(placements, list):
        raise ValueError("model file: placements must be an array of tables [[placements]]")
    for i, entry in enumerate(placements):
        with located(f"placements[{i}]"):
            _add_placement(model, i, _table(f"placements[{i}]", dict(entry)), base)
    with located("[cell_variables]"):
        _cell_state.add_variables_from_file(model, _table("[cell_variables]", data.get("cell_variables", {})))
    _cell_ode.add_cell_odes_from_file(model, _table("[cell_odes]", data.get("cell_odes", {})))
    _sbml.add_sbml_from_file(model, _table("[sbml]", data.get("sbml", {})), base)
    _rules.add_rules_from_file(model, _table("[rules]", data.get("rules", {})))
    _reactions.add_reactions_from_file(model, _table("[reactions]", data.get("reactions", {})))
    return model


def _placement_entry(item, embed_images, base):
    """A placement's model-file table; its starting activity only when it has one."""
    entry = item.to_dict(embed_images, base)
    if item.activity:
        entry["activity"] = item.activity
    return entry


def _add_placement(model, i, entry, base):
    kind = entry.pop("kind", None)
    activity = entry.pop("activity", 0)
    if kind not in _placement.KINDS:
        raise ValueError(f"model file: placements[{i}] kind must be one of {', '.join(_placement.KINDS)}, got {kind!r}")
    cls = _placement.KINDS[kind]
    where = f"placements[{i}] ({kind})"
    _unknown(where, entry, cls.FILE_KEYS)
    for key in cls.required_keys():
        if key not in entry:
            raise ValueError(f"model file: {where} needs {key}")
    model.add_placement(cls.from_entry(entry, base, f"model file: {where}", max_sites=math.prod(model.dims)),
                        activity=activity)


def from_toml(text, base=None, *, model_class):
    """A model of class `model_class` from TOML text.

    Raises
    ------
    ValueError
        For a TOML syntax error or an invalid entry, naming it.

    Examples
    --------
    >>> from morva import Model
    >>> from_toml('[lattice]\\nshape = [10, 10]\\n', model_class=Model).dims
    (10, 10, 1)
    """
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as err:
        raise ValueError(f"model file is not valid TOML: {err}") from None
    return model_from_dict(data, base, model_class=model_class)


def load_model(path, *, model_class):
    """Read a model file into a model of class `model_class`; label image paths in it are relative to
    the file's folder (:func:`morva.load_model` reads a :class:`morva.Model`).

    Examples
    --------
    >>> import tempfile
    >>> from morva import Model
    >>> p = pathlib.Path(tempfile.mkdtemp()) / "m.toml"; Model((6, 6)).save(p)
    >>> load_model(p, model_class=Model).shape
    (6, 6)
    """
    path = pathlib.Path(path)
    try:
        text = path.read_text(encoding="utf-8")
    except OSError as err:
        raise ValueError(f"cannot read model file {str(path)!r}: {err.strerror}") from None
    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            model = from_toml(text, base=path.parent, model_class=model_class)
    except ValueError as err:
        line = line_of(text, err.where, err.key) if isinstance(err, ModelFileError) else None
        place = f"{path}, line {line}" if line else str(path)
        message = str(err).removeprefix("model file: ")
        raise ModelFileError(f"{place}: {message}", getattr(err, "where", None), getattr(err, "key", None)) from None
    for warning in caught:  # said again with the file and, for a type, the line of its table
        text_of = str(warning.message)
        named = re.match(r"cell type '([^']+)'", text_of)
        line = line_of(text, f"[types.{named.group(1)}]") if named else None
        warnings.warn(f"{path}, line {line}: {text_of}" if line else f"{path}: {text_of}", warning.category,
                      stacklevel=2)
    return model


def save_model(model, path, *, embed_images=False):
    """Write a model file; image paths are written relative to its folder.

    Examples
    --------
    >>> import tempfile
    >>> from morva import Model
    >>> p = pathlib.Path(tempfile.mkdtemp()) / "m.toml"; save_model(Model((6, 6)), p); p.read_text()[:9]
    '[lattice]'
    """
    path = pathlib.Path(path)
    path.write_text(to_toml(model, embed_images=embed_images, base=path.parent.resolve()), encoding="utf-8")
