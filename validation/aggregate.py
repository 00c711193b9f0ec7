"""A mixed two-type aggregate in the medium, and the boundaries between its types.

Shared by the differential-adhesion and sorting-kinetics validations. Dark cells are type 1,
light cells type 2, the medium type 0; the neighbourhood is the 8-site one.
"""

import numpy as np

from morva_core import World

DARK, LIGHT = 1, 2
OFFSETS = [(dx, dy) for dy in (-1, 0, 1) for dx in (-1, 0, 1) if (dx, dy) != (0, 0)]


def mixed_aggregate(*, cells_per_side, cell_side, margin, j_dd, j_ll, j_dl, j_medium, temperature,
                    lambda_volume=1.0, seed=1, connectivity=True, dark_fraction=0.5, halves=False):
    """A square block of square cells of random types in a periodic box, finalized.

    With `halves` the types are not mixed: dark cells fill the left half of the block, light
    cells the right half (for envelopment from a sorted start).
    """
    side = cells_per_side * cell_side + 2 * margin
    world = World((side, side, 1), "periodic", 2, temperature)
    rng = np.random.default_rng(seed)
    n_dark = round(dark_fraction * cells_per_side**2)
    types = rng.permutation([DARK] * n_dark + [LIGHT] * (cells_per_side**2 - n_dark))
    if halves:
        types = [DARK if k % cells_per_side < cells_per_side // 2 else LIGHT for k in range(cells_per_side**2)]
    volume = float(cell_side**2)
    for k, cell_type in enumerate(types):
        cell = world.add_cell(int(cell_type), volume, lambda_volume, 0.0, 0.0)
        x0 = margin + (k % cells_per_side) * cell_side
        y0 = margin + (k // cells_per_side) * cell_side
        world.seed_block(cell, x0, y0, 0, x0 + cell_side, y0 + cell_side, 1)
    for (a, b), j in {(DARK, DARK): j_dd, (LIGHT, LIGHT): j_ll, (DARK, LIGHT): j_dl,
                      (DARK, 0): j_medium, (LIGHT, 0): j_medium}.items():
        world.set_contact(a, b, j)
    if connectivity:
        world.set_connectivity(DARK, True)
        world.set_connectivity(LIGHT, True)
    world.finalize(seed)
    return world, side


def contact_pairs(world, side):
    """Label pairs (a, b) of every pair of neighbouring sites with different labels, each once."""
    labels = np.asarray(world.snapshot()).reshape(side, side)
    firsts, seconds = [], []
    for dx, dy in OFFSETS[4:]:          # one offset of each +/- pair: each unordered pair once
        other = np.roll(labels, (-dy, -dx), axis=(0, 1))
        differ = labels != other
        firsts.append(labels[differ])
        seconds.append(other[differ])
    return np.concatenate(firsts), np.concatenate(seconds)


def boundaries(world, side, cell_types=None):
    """Boundary lengths (neighbour pairs between different cells) by pair of types, and cells alone.

    Returns a dict with keys "dark-light", "dark-dark", "light-light", "dark-medium",
    "light-medium" (each unordered pair counted once), "alone", the share of living cells that
    touch no other cell, and "medium", the share of the cells' boundary that faces the medium.
    `cell_types` replaces the world's types (to compare with shuffled types).
    """
    a, b = contact_pairs(world, side)
    types = np.asarray(world.cell_types() if cell_types is None else cell_types)
    ta, tb = types[a], types[b]
    lo, hi = np.minimum(ta, tb), np.maximum(ta, tb)
    counts = {name: int(((lo == x) & (hi == y)).sum())
              for name, x, y in (("dark-light", DARK, LIGHT), ("dark-dark", DARK, DARK),
                                 ("light-light", LIGHT, LIGHT), ("dark-medium", 0, DARK),
                                 ("light-medium", 0, LIGHT))}
    cell_cell = (a > 0) & (b > 0)
    touching = np.union1d(a[cell_cell], b[cell_cell])
    alive = int(np.count_nonzero(np.asarray(world.cell_volumes())[1:]))
    counts["alone"] = 1.0 - len(touching) / max(alive, 1)
    medium = counts["dark-medium"] + counts["light-medium"]
    counts["medium"] = medium / max(medium + 2 * int(cell_cell.sum()), 1)
    return counts


def shuffled_heterotypic_share(world, side, rng, repeats=50):
    """The heterotypic share the same cells would have with their types dealt at random."""
    types = np.asarray(world.cell_types())
    shares = []
    for _ in range(repeats):
        shuffled = types.copy()
        shuffled[1:] = rng.permutation(types[1:])
        shares.append(heterotypic_share(boundaries(world, side, shuffled)))
    return float(np.mean(shares))


def heterotypic_share(b):
    """Share of the cell-cell boundary that lies between dark and light cells."""
    cell_cell = b["dark-light"] + b["dark-dark"] + b["light-light"]
    return b["dark-light"] / cell_cell if cell_cell else float("nan")


def dark_medium_share(b):
    """Share of the aggregate's boundary with the medium that belongs to dark cells."""
    medium = b["dark-medium"] + b["light-medium"]
    return b["dark-medium"] / medium if medium else float("nan")
