"""ODEs inside cells: a vectorised right-hand side over all live cells, integrated between steps.

The state variables are the model's per-cell variables. A :class:`CellODE` writer acts every
`every` MCS: it samples the tissue once (volumes, surfaces, types, field means, contacts), advances
the variables over the `every` MCS just run with the classical fourth-order Runge-Kutta scheme at
a fixed step (`substeps` steps per MCS, each `time_per_mcs / substeps` long) with the tissue held as
sampled, writes them back and lets an optional `act` function change the tissue. The ODE thus
trails the tissue by at most `every` MCS (operator splitting, first order in `every`); the
integration itself is fourth order in the step.
"""

import functools

import numpy as np

from . import _native
from .contacts import neighbour_sums
from .writers import Writer


class Tissue:
    """What a right-hand side may read: the live cells as sampled when the ODE writer acts.

    Every array has one entry per live cell, in the order of ``ids``.

    Attributes
    ----------
    ids : ndarray of int64
    volume, surface : ndarray of float64
        Sites, and unlike-neighbour pairs in the model's neighbourhood (the surface term's unit).
    target_volume : ndarray of float64
    type : ndarray of int64
        Type ids; :meth:`is_type` compares with a name.
    """

    def __init__(self, sim):
        self._sim = sim
        self._world = sim.world
        cells = _native.cells(sim.world)
        volume = cells["volume"]
        live = volume > 0
        live[0] = False
        self.ids = np.flatnonzero(live).astype(np.int64)
        self.volume = volume[self.ids].astype(np.float64)
        self.surface = cells["surface"][self.ids].astype(np.float64)
        self.target_volume = cells["target_volume"][self.ids]
        self.type = cells["type"][self.ids].astype(np.int64)
        self._n_records = volume.size
        self._contacts = None  # made on first use: a right-hand side without neighbours never pays for it
        self._field_means = {}

    @property
    def contacts(self):
        """``morva._native.contacts`` of the sampled world: arrays a, b, area."""
        if self._contacts is None:
            self._contacts = _native.contacts(self._world)
        return self._contacts

    @functools.cached_property
    def medium_contact(self):
        """The part of each cell's surface shared with the medium."""
        a, b, area = self.contacts
        medium = np.zeros(self._n_records)
        medium[b[a == 0]] = area[a == 0]
        return medium[self.ids]

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
            self._field_means[field_name] = sums[self.ids] / self.volume
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
        by_label = np.zeros(self._n_records)
        by_label[self.ids] = values
        return neighbour_sums(self._world, by_label, contacts=self.contacts)[self.ids]

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
        cell_contact = self.surface - self.medium_contact
        sums = self.neighbour_sum(values)
        return np.divide(sums, cell_contact, out=np.zeros_like(sums), where=cell_contact > 0)


def rk4(rhs, t, y, h, n):
    """`n` classical Runge-Kutta steps of length `h` of dy/dt = rhs(t, y) from (t, y); y a dict of arrays.

    Examples
    --------
    >>> y = rk4(lambda t, y: {"u": -y["u"]}, 0.0, {"u": np.array([1.0])}, 0.1, 10)
    >>> bool(abs(y["u"][0] - np.exp(-1.0)) < 1e-6)
    True
    """
    names = list(y)

    def f(t, state):
        slopes = rhs(t, state)
        missing = [name for name in names if name not in slopes]
        if missing:
            raise ValueError(f"cell ODE: rhs gave no derivative for {missing[0]!r}")
        return {name: np.asarray(slopes[name], dtype=np.float64) for name in names}

    for i in range(n):
        s = t + i * h
        k1 = f(s, y)
        k2 = f(s + h / 2, {v: y[v] + h / 2 * k1[v] for v in names})
        k3 = f(s + h / 2, {v: y[v] + h / 2 * k2[v] for v in names})
        k4 = f(s + h, {v: y[v] + h * k3[v] for v in names})
        y = {v: y[v] + h / 6 * (k1[v] + 2 * k2[v] + 2 * k3[v] + k4[v]) for v in names}
    return y


class CellODE(Writer):
    """A system of ODEs in every cell, integrated between steps (see the module notes and docs/cell-state.md).

    Parameters
    ----------
    rhs : callable
        ``rhs(t, y, tissue) -> dict``: the time derivative of each variable, arrays over the live
        cells. `y` maps each variable name to its values, `tissue` is a :class:`Tissue` and `t` the
        model time (MCS times `time_per_mcs`).
    variables : list of str
        Declared per-cell variables (:meth:`morva.Model.add_cell_variable`) that are the state.
    every : int
        Act at every multiple of `every` MCS, integrating over the `every` MCS just run.
    time_per_mcs : float
        Model time one MCS stands for.
    substeps : int
        Runge-Kutta steps per MCS.
    act : callable, optional
        ``act(sim, tissue, y) -> dict`` run after each integration: "target_volume" (array, > 0),
        "type" (array of type names; None keeps a cell's type) and "remove" (boolean mask), applied
        in that order to the cells of ``tissue.ids``.

    Examples
    --------
    >>> import morva
    >>> m = morva.Model((10, 10), default_contact=0).add_type("x", volume=4, lambda_volume=1).add_block("x", (0, 0), (2, 2))
    >>> sim = m.add_cell_variable("u", initial=1.0).build()
    >>> ode = sim.add_writer(CellODE(lambda t, y, tissue: {"u": -y["u"]}, ["u"], time_per_mcs=0.1))
    >>> sim.run(10, progress=False); round(float(sim.cell_variable("u")[1]), 6) == round(float(np.exp(-1.0)), 6)
    True
    """

    def __init__(self, rhs, variables, *, every=1, time_per_mcs=1.0, substeps=10, act=None):
        from .validate import integer, real

        if not callable(rhs) or (act is not None and not callable(act)):
            raise ValueError("rhs (and act, when given) must be callable")
        self.rhs = rhs
        self.variables = [str(v) for v in ([variables] if isinstance(variables, str) else variables)]
        if not self.variables:
            raise ValueError("a cell ODE needs at least one variable")
        self.every = integer("every", every, minimum=1)
        self.time_per_mcs = real("time_per_mcs", time_per_mcs, above=0)
        self.substeps = integer("substeps", substeps, minimum=1)
        self.act = act

    def begin(self, sim, end):
        """Refuse variables the model does not declare before the run starts."""
        for name in self.variables:
            sim.cell_variable(name)

    def next_due(self, mcs):
        return (mcs // self.every + 1) * self.every

    def write(self, sim):
        """Integrate over the last `every` MCS, store the variables, apply `act`."""
        tissue = Tissue(sim)
        ids = tissue.ids
        y = {name: sim.cell_variable(name)[ids] for name in self.variables}
        h = self.time_per_mcs / self.substeps
        start = (sim.mcs - self.every) * self.time_per_mcs
        y = rk4(lambda t, state: self.rhs(t, state, tissue), start, y, h, self.every * self.substeps)
        for name in self.variables:
            values = y[name]
            if values.shape != ids.shape:
                raise ValueError(f"cell ODE: rhs gave variable {name!r} the shape {values.shape} for {ids.size} cells")
            sim.cell_variable(name)[ids] = values
        if self.act is not None:
            self._apply(sim, tissue, self.act(sim, tissue, y) or {})

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
