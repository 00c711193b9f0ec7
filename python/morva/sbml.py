"""SBML models in cells: one model per cell type, simulated with libRoadRunner (extra 'sbml').

Every floating species of the model is a per-cell variable (the cell's whole simulator state);
global parameters may be per-cell variables too (read, never written). When its writer acts, for
each cell of the type in id order the simulator is set to the cell's values and to the model time
of the start of the interval, advanced by libRoadRunner's classical fourth-order Runge-Kutta
integrator at the fixed step ``time_per_mcs / substeps``, and read back. The simulator keeps
nothing between cells or calls, so the state saved with a checkpoint (the variables) resumes the
run bit for bit. Models with events or rate rules would carry state outside the species and are
refused.
"""

import base64
import functools
import hashlib
import pathlib
import zlib

import numpy as np

from ._modelfile_errors import ModelFileError, unknown_keys
from .validate import integer, real
from .writers import Writer


@functools.lru_cache(maxsize=16)
def _runner(text):
    try:
        import roadrunner
    except ImportError:
        raise ValueError("SBML models need libRoadRunner: pip install morva[sbml]") from None
    try:
        runner = roadrunner.RoadRunner(text)
    except RuntimeError as err:
        raise ValueError(f"the SBML model cannot be read: {str(err).splitlines()[0]}") from None
    runner.setIntegrator("rk4")
    return runner


def encode_text(text):
    """SBML text compressed into ASCII, for embedding in a model file.

    Examples
    --------
    >>> decode_text(encode_text("<sbml/>"))
    '<sbml/>'
    """
    return base64.b64encode(zlib.compress(text.encode("utf-8"), 9)).decode("ascii")


def decode_text(data):
    """The text of :func:`encode_text`; corrupt data raises ValueError."""
    try:
        return zlib.decompress(base64.b64decode(data.encode("ascii"), validate=True)).decode("utf-8")
    except (ValueError, zlib.error, UnicodeError) as err:
        raise ValueError(f"embedded SBML model is corrupt: {err}") from None


class SBMLModel:
    """The SBML model of one cell type (see :meth:`morva.Model.add_sbml`).

    Attributes
    ----------
    cell_type : str
    text : str
        The SBML document.
    path : pathlib.Path or None
        The file it was read from (absolute), kept so that model files refer to it by path.
    variables : dict
        SBML id -> cell variable name; every floating species is one.
    every, substeps : int
    time_per_mcs : float
    """

    def __init__(self, cell_type, sbml, variables, *, every=1, time_per_mcs=1.0, substeps=10):
        self.cell_type = str(cell_type)
        where = f"SBML model of {self.cell_type!r}"
        text = str(sbml)
        if isinstance(sbml, pathlib.Path) or not text.lstrip().startswith("<"):
            self.path = pathlib.Path(sbml).resolve()
            try:
                text = self.path.read_text(encoding="utf-8")
            except OSError as err:
                raise ValueError(f"{where}: cannot read {str(self.path)!r}: {err.strerror}") from None
        else:
            self.path = None
        self.text = text
        self.variables = ({str(v): str(v) for v in variables} if not isinstance(variables, dict)
                          else {str(k): str(v) for k, v in variables.items()})
        self.every = integer(f"{where}: every", every, minimum=1)
        self.time_per_mcs = real(f"{where}: time_per_mcs", time_per_mcs, above=0)
        self.substeps = integer(f"{where}: substeps", substeps, minimum=1)
        runner = self.runner()
        model = runner.model
        if model.getNumEvents() or model.getNumRateRules():
            raise ValueError(f"{where}: events and rate rules are not supported (their state would not be "
                             f"per cell); write the dynamics as reactions")
        self.species = list(model.getFloatingSpeciesIds())
        self.parameters = [p for p in model.getGlobalParameterIds() if p in self.variables]
        unknown = sorted(set(self.variables) - set(self.species) - set(self.parameters))
        if unknown:
            raise ValueError(f"{where}: {unknown} are neither floating species nor global parameters of the model")
        unmapped = [s for s in self.species if s not in self.variables]
        if unmapped:
            raise ValueError(f"{where}: floating species {unmapped} must be cell variables too (the state of a cell)")

    def runner(self):
        """The simulator shared by every cell of the type (set to each cell's state before use)."""
        try:
            return _runner(self.text)
        except ValueError as err:
            raise ValueError(f"SBML model of {self.cell_type!r}: {err}") from None

    def check(self, model):
        """Refuse a type or variables the model does not declare."""
        where = f"SBML model of {self.cell_type!r}"
        if self.cell_type not in model.type_names or self.cell_type == "medium":
            raise ValueError(f"{where}: no cell type {self.cell_type!r}")
        missing = sorted(set(self.variables.values()) - set(model.cell_variables))
        if missing:
            raise ValueError(f"{where}: cell variables {missing} are not declared (add_cell_variable)")

    def initial_values(self):
        """The species' initial amounts and the parameters' values in the SBML file, by id."""
        runner = self.runner()
        runner.resetAll()
        model = runner.model
        values = dict(zip(self.species, model.getFloatingSpeciesAmounts().tolist()))
        values.update((p, v) for p, v in zip(model.getGlobalParameterIds(), model.getGlobalParameterValues().tolist())
                      if p in self.parameters)
        return values

    def advance(self, sim, ids, start):
        """Integrate cells `ids` from model time `start` over `every` MCS; their variables updated in place."""
        runner = self.runner()
        model = runner.model
        species = [sim.cell_variable(self.variables[s]) for s in self.species]
        parameters = [sim.cell_variable(self.variables[p]) for p in self.parameters]
        parameter_index = [list(model.getGlobalParameterIds()).index(p) for p in self.parameters]
        h = self.time_per_mcs / self.substeps
        n = self.every * self.substeps
        for cell in ids.tolist():
            model.setFloatingSpeciesAmounts(np.array([values[cell] for values in species]))
            if parameters:
                model.setGlobalParameterValues(parameter_index, np.array([values[cell] for values in parameters]))
            model.setTime(start)
            for i in range(n):
                runner.oneStep(start + i * h, h)
            for values, amount in zip(species, model.getFloatingSpeciesAmounts().tolist()):
                values[cell] = amount

    def to_dict(self, embed=False, base=None):
        entry = {}
        if self.path is not None and not embed:
            path = self.path
            if base is not None:
                try:
                    path = path.relative_to(pathlib.Path(base).resolve())
                except ValueError:
                    pass
            entry["path"] = str(path)
        else:
            entry["data"] = encode_text(self.text)
            entry["sha256"] = hashlib.sha256(self.text.encode("utf-8")).hexdigest()
        entry.update({"variables": dict(self.variables), "every": self.every, "time_per_mcs": self.time_per_mcs,
                      "substeps": self.substeps})
        return entry


class SBMLCells(Writer):
    """Advances the SBML models of a model's cell types at their periods.

    Examples
    --------
    >>> SBMLCells([]).next_due(3) is None
    True
    """

    def __init__(self, models):
        self.models = list(models)

    def next_due(self, mcs):
        return min(((mcs // m.every + 1) * m.every for m in self.models), default=None)

    def write(self, sim):
        for sbml in self.models:
            if sim.mcs % sbml.every == 0:
                sbml.advance(sim, sim.cell_ids(sbml.cell_type), (sim.mcs - sbml.every) * sbml.time_per_mcs)


SBML_KEYS = ("path", "data", "sha256", "variables", "every", "time_per_mcs", "substeps")


def sbml_to_dict(models, embed=False, base=None):
    """The [sbml] table of a model file: one entry per cell type."""
    return {name: m.to_dict(embed, base) for name, m in models.items()}


def add_sbml_from_file(model, table, base):
    """Declare the SBML models of a model file's [sbml] table on `model`; paths are relative to `base`."""
    for type_name, entry in table.items():
        where = f"[sbml.{type_name}]"
        if not isinstance(entry, dict):
            raise ModelFileError(f"model file: {where} must be a table", where)
        unknown_keys(where, entry, SBML_KEYS)
        entry = dict(entry)
        if ("path" in entry) == ("data" in entry) or "variables" not in entry:
            raise ModelFileError(f"model file: {where} needs variables and either path or data", where)
        try:
            if "path" in entry:
                path = pathlib.Path(entry.pop("path"))
                source = path if path.is_absolute() or base is None else pathlib.Path(base) / path
            else:
                source = decode_text(entry.pop("data"))
                digest = entry.pop("sha256", None)
                if digest is not None and digest != hashlib.sha256(source.encode("utf-8")).hexdigest():
                    raise ValueError("embedded SBML model does not match its sha256")
            model.add_sbml(type_name, source, **entry)
        except ValueError as err:
            raise ModelFileError(f"model file: {where}: {err}", where) from None
