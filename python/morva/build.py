"""Turning a validated :class:`morva.Model` into a finalized ``morva_core.World``."""

import numpy as np
from morva_core import World

from . import _native
from . import placement as _placement
from . import terms
from ._memory import contact_bytes, lattice_bytes, require
from .reactions import reacting_fields

MAX_SEED = 2**64 - 1


def field_engine_settings(spec, ndim, reacting=False):
    """Engine settings of one field: (dt, substeps, per-type engine rate) for rates per MCS.

    The engine advances a field once per MCS by `substeps` steps of `dt` each and secretes
    rate * dt once; with dt = 1 / substeps the field diffuses for one MCS and the engine rate is
    the per-MCS rate times substeps. A reacting field is diffused by the package (morva.reactions):
    the engine only secretes into it, with one step of dt = 1.

    Examples
    --------
    >>> from morva.model import FieldSpec
    >>> field_engine_settings(FieldSpec("c", diffusion=0.5, secretion={"a": 1.0}), 2)
    (0.25, 4, {'a': 4.0})
    """
    substeps = 1 if reacting else spec.resolved_substeps(ndim)
    rates = {}
    for type_name in {**spec.secretion, **spec.uptake}:
        rates[type_name] = (spec.secretion.get(type_name, 0.0) - spec.uptake.get(type_name, 0.0)) * substeps
    return 1.0 / substeps, substeps, rates


def paint_labels(world, labels, dims):
    """Paint a flat label grid into a set-up world, one engine box per run of equal labels in a row.

    Examples
    --------
    >>> w = World((4, 1, 1), "periodic", 1, 1.0); c = w.add_cell(1, 2.0, 1.0, 0.0, 0.0)
    >>> paint_labels(w, np.array([0, 1, 1, 0], dtype=np.uint32), (4, 1, 1)); w.snapshot()
    [0, 1, 1, 0]
    """
    nx = dims[0]
    rows = labels.reshape(-1, nx)
    change = np.ones(rows.shape, dtype=bool)
    change[:, 1:] = rows[:, 1:] != rows[:, :-1]
    row, start = np.nonzero(change)
    flat_start = row * nx + start
    flat_end = np.append(flat_start[1:], labels.size)
    end = np.where(np.append(row[1:], -1) == row, flat_end - row * nx, nx)
    values = rows[row, start]
    ny = dims[1]
    for r, x0, x1, value in zip(row.tolist(), start.tolist(), end.tolist(), values.tolist()):
        if value:
            y, z = r % ny, r // ny
            world.seed_block(value, x0, y, z, x1, y + 1, z + 1)


def build_world(model, seed):
    """A finalized world for the model and seed, with the type of every cell.

    Returns
    -------
    world : morva_core.World
    cell_types : list of int
        Type id of cells 1..n (built from the placements, in order).

    Raises
    ------
    ValueError
        For a bad seed, a pair of types without a contact energy or overlapping placements.

    Examples
    --------
    >>> from morva.model import Model
    >>> m = Model((10, 10), default_contact=0).add_type("a", volume=9, lambda_volume=1).add_block("a", (0, 0), (3, 3))
    >>> build_world(m, 0)[0].cell_volumes()
    [91, 9]
    """
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)) or not 0 <= seed <= MAX_SEED:
        raise ValueError(f"seed must be an integer from 0 to 2**64 - 1, got {seed!r}")
    model.check_contacts()
    dims = model.dims
    n_sites = int(np.prod(dims))
    require(f"a {' x '.join(map(str, model.shape))} lattice with {len(model.fields)} field(s)",
            lattice_bytes(n_sites, len(model.fields)))
    require(f"the contact energies of {model.n_types} types", contact_bytes(model.n_types))
    periodic = model.boundary == "periodic"
    labels, type_names, volumes, activities = _placement.compose(model.placements, dims, periodic)
    world = World(dims, model.boundary, model.neighborhood, model.temperature)
    _native.set_options(world, **model.world_options)
    if model.uses_act:
        _native.set_act_mean(world, terms.checked_act_mean(model.act_mean))
    type_ids = []
    for type_name, volume in zip(type_names, volumes):
        t = model.types[type_name]
        world.add_cell(model.type_id(type_name), t.volume if volume is None else volume, t.lambda_volume, t.surface,
                       t.lambda_surface)
        type_ids.append(model.type_id(type_name))
    paint_labels(world, labels, dims)
    names = model.type_names
    # Every pair is set, so the engine's contact table covers every declared type, cells or not; the
    # energies are looked up by id, so the pairs cost constant time each.
    ids = {name: i for i, name in enumerate(names)}
    energies = {tuple(sorted((ids[a], ids[b]))): energy for (a, b), energy in model.contacts.items()}
    for a in range(len(names)):
        for b in range(a, len(names)):
            world.set_contact(a, b, energies.get((a, b), 0.0))
    for type_name, t in model.types.items():
        tid = model.type_id(type_name)
        if t.connectivity:
            world.set_connectivity(tid, True)
        if t.lambda_length:
            world.set_length_constraint(tid, t.length, t.lambda_length)
        if any(t.force):
            world.set_external_potential(tid, *t.force)
        if t.max_act:
            _native.set_act(world, tid, t.lambda_act, t.max_act)
        if t.lambda_dir:
            _native.set_persistence(world, tid, t.lambda_dir, t.persistence_interval, t.persistence)
    reacting = reacting_fields(model)
    for index, spec in enumerate(model.fields.values()):
        if spec.name in reacting:
            world.add_field(spec.name, 0.0, 0.0)
        else:
            world.add_field(spec.name, spec.diffusion, spec.decay)
        dt, substeps, rates = field_engine_settings(spec, model.ndim, spec.name in reacting)
        world.set_field_dynamics(index, dt, substeps)
        for type_name, rate in rates.items():
            world.set_secretion(index, model.type_id(type_name), rate)
        for type_name, chem in spec.chemotaxis.items():
            if chem.kd > 0:
                world.set_chemotaxis_occupancy(index, model.type_id(type_name), chem.strength, chem.kd, chem.hill,
                                               chem.scale)
            else:
                world.set_chemotaxis(index, model.type_id(type_name), chem.strength)
    world.finalize(int(seed))
    if any(activities):
        starts = [model.types[name].max_act if start == "max" else start for name, start in zip(type_names, activities)]
        _native.set_activity(world, np.array([0] + starts, dtype=np.uint16)[labels])
    return world, type_ids
