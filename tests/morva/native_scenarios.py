"""Worlds with every optional term, and the call sequences that the checkpoint tests replay on twins."""

import morva_core
from morva import _native


def tissue(dims=(24, 20, 1), order=2, boundary="periodic", temperature=8.0, surface=0.0, types=2, size=5):
    """A set-up world: a grid of square (or cubic) cells of alternating types, with contact energies."""
    w = morva_core.World(dims, boundary, order, temperature)
    nx, ny, nz = dims
    depth = size if nz > 1 else 1
    z_range = range(1, nz - depth, depth + 1) if nz > 1 else [0]
    k = 0
    for z0 in z_range:
        for y0 in range(1, ny - size, size + 1):
            for x0 in range(1, nx - size, size + 1):
                cell_type = 1 + k % types
                c = w.add_cell(cell_type, size * size * depth + 3.0, 1.0, 4.0 * size * depth, surface)
                w.seed_block(c, x0, y0, z0, x0 + size, y0 + size, z0 + depth)
                k += 1
    for a in range(types + 1):
        for b in range(a, types + 1):
            w.set_contact(a, b, 0.0 if a == b == 0 else 4.0 + 3.0 * a + 2.0 * b)
    return w


def with_fields(w):
    """Two fields: plain chemotaxis with per-cell secretion scales, and the occupancy form."""
    f = w.add_field("attractant", 0.1, 0.01)
    g = w.add_field("repellent", 0.05, 0.02)
    w.set_field_dynamics(f, 0.5, 3)
    w.set_secretion(f, 1, 2.0)
    w.set_secretion(g, 2, 1.5)
    w.set_cell_secretion_scale(f, 1, 0.25)
    w.set_cell_secretion_scale(f, 3, 4.0)
    w.set_chemotaxis(f, 2, 30.0)
    w.set_chemotaxis_occupancy(g, 1, -20.0, 0.5, 2.0, 3.0)
    w.field_add_source_at(f, 3, 4, 0, 10.0)
    return w


def with_terms(w, length=True):
    """Connectivity, junction, membrane, external potential and (sequential sweeps only) length."""
    nx, ny, nz = w.dims()
    w.set_connectivity(1, True)
    w.set_connectivity_medium(False)
    w.set_junction_lambda(2.0)
    w.set_junction(2, True)
    w.set_membrane([0, 1, 2, nx * ny - 1], 0.3, 2.0)
    w.set_membrane_anchored(1, True)
    w.set_external_potential(2, 0.5, -0.25, 0.0)
    if length:
        w.set_length_constraint(1, 7.0, 0.5)
    return w


# name -> (builder of a set-up world, whether the parallel sweep takes it, number of fields)
SCENARIOS = {
    "plain_2d": (lambda: tissue(), True, 0),
    "surface_noflux": (lambda: tissue(boundary="noflux", surface=0.2), True, 0),
    "fields": (lambda: with_fields(tissue()), True, 2),
    "terms": (lambda: with_terms(tissue(surface=0.1)), False, 0),
    "terms_parallel": (lambda: with_terms(with_fields(tissue()), length=False), True, 2),
    "cubes_3d": (lambda: with_fields(tissue((14, 14, 14), order=3, size=4, surface=0.05)), True, 2),
}


def replay(w, parallel, n_fields):
    """Every kind of call that changes a finalized world, in one fixed sequence."""
    w.step(3)
    if parallel:
        w.step_parallel(2, 4)
    w.divide_cells(10.0, 12.0)
    w.step(2)
    w.remove_cells([2, 5])
    w.set_target_volume(1, 40.0)
    w.set_cell_type(3, 2)
    w.grow(2, 1.5)
    w.set_contact(1, 2, 1.0)
    if n_fields:
        w.field_add_source_at(0, 2, 2, 0, 5.0)
        w.advance_fields(2)
    if parallel:
        w.step_parallel(1, 3)
    w.step(2)


def state(w, n_fields):
    """Everything the queries show, plus the checkpoint bytes, for comparing twins."""
    return {
        "labels": w.snapshot(),
        "types": w.cell_types(),
        "volumes": w.cell_volumes(),
        "surfaces": w.cell_surfaces(),
        "coms": w.cell_coms(),
        "lengths": w.cell_lengths(),
        "fields": [w.field_conc(i) for i in range(n_fields)],
        "bytes": _native.dumps(w),
    }
