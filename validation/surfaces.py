"""Surfaces in the units users set: discs, squares, spheres and cubes under every neighbourhood.

The engine's surface of a cell is the number of (site, neighbour) pairs with the site in the
cell and the neighbour outside it, over the configured neighbourhood: 4, 8 neighbours in 2-D
(``neighbor_order`` 1, 2), 6, 18, 26 in 3-D (orders 1, 2, 3). That is several times the
geometric perimeter or area. This script places one cell of each shape and size, reads the
surface the engine reports, counts the same pairs independently with NumPy (shifting the shape
mask by every offset), and for squares and cubes also checks the closed forms
4a, 12a - 4 (squares); 6a², 30a² - 12a, 54a² - 36a + 8 (cubes).
The table it writes (``surfaces.csv``) is the one to read target surfaces from.

    python -m validation.surfaces [--quick] [--out DIR]
"""

import itertools
import pathlib
import sys

import numpy as np

from morva_core import World

from validation import report

ORDERS = {2: (1, 2), 3: (1, 2, 3)}
CLOSED_FORMS = {
    ("square", 1): lambda a: 4 * a,
    ("square", 2): lambda a: 12 * a - 4,
    ("cube", 1): lambda a: 6 * a**2,
    ("cube", 2): lambda a: 30 * a**2 - 12 * a,
    ("cube", 3): lambda a: 54 * a**2 - 36 * a + 8,
}
GEOMETRIC = {
    "disc": lambda r: 2 * np.pi * r,
    "square": lambda a: 4 * a,
    "sphere": lambda r: 4 * np.pi * r**2,
    "cube": lambda a: 6 * a**2,
}


def shape_mask(shape, size):
    """Boolean mask (z, y, x) of a shape with one empty site of margin on every side."""
    ndim = 2 if shape in ("disc", "square") else 3
    if shape in ("square", "cube"):
        mask = np.ones((size,) * ndim, dtype=bool)
    else:
        span = np.arange(-size, size + 1)
        grids = np.meshgrid(*([span] * ndim), indexing="ij")
        mask = sum(g.astype(float) ** 2 for g in grids) <= size**2
    mask = np.pad(mask, 2)
    return mask[None] if ndim == 2 else mask


def numpy_surface(mask, order):
    """Pairs (site in the shape, neighbour outside it) over the offsets of L1 norm <= order."""
    ndim = 2 if mask.shape[0] == 1 else 3
    offsets = [o for o in itertools.product((-1, 0, 1), repeat=ndim) if any(o) and sum(map(abs, o)) <= order]
    axes = (1, 2) if ndim == 2 else (0, 1, 2)
    return sum(int((mask & ~np.roll(mask, o, axis=axes)).sum()) for o in offsets)


def engine_surface(mask, order):
    nz, ny, nx = mask.shape
    world = World((nx, ny, nz), "noflux", order, 1.0)
    world.seed_from_labels(mask.ravel().astype(np.uint32).tolist(), {}, 1, float(mask.sum()), 0.0)
    world.finalize(0)
    return world.cell_volumes()[1], world.cell_surfaces()[1]


def measure(sizes):
    rows = []
    for shape, shape_sizes in sizes.items():
        ndim = 2 if shape in ("disc", "square") else 3
        for size in shape_sizes:
            mask = shape_mask(shape, size)
            for order in ORDERS[ndim]:
                volume, surface = engine_surface(mask, order)
                closed = CLOSED_FORMS.get((shape, order))
                rows.append(dict(shape=shape, size=size, dimensions=ndim, neighbours=len(
                    [o for o in itertools.product((-1, 0, 1), repeat=ndim) if any(o) and sum(map(abs, o)) <= order]),
                    volume=int(volume), engine_surface=int(surface), numpy_surface=numpy_surface(mask, order),
                    closed_form=None if closed is None else int(closed(size)),
                    per_geometric=float(surface / GEOMETRIC[shape](size))))
    return rows


def write_csv(rows, path):
    import csv

    with open(path, "w", newline="") as handle:
        writer = csv.DictWriter(handle, fieldnames=list(rows[0]))
        writer.writeheader()
        writer.writerows(rows)


def draw(rows):
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(1, 2, figsize=(11, 4.5))
    markers = {"disc": "o", "square": "s", "sphere": "o", "cube": "s"}
    for ax, ndim in zip(axes, (2, 3)):
        for (shape, neighbours), group in itertools.groupby(
                sorted((r for r in rows if r["dimensions"] == ndim), key=lambda r: (r["shape"], r["neighbours"], r["size"])),
                key=lambda r: (r["shape"], r["neighbours"])):
            group = list(group)
            ax.plot([r["volume"] for r in group], [r["engine_surface"] for r in group], marker=markers[shape],
                    ls="-" if shape in ("disc", "sphere") else "--", label=f"{shape}, {neighbours} neighbours")
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set(xlabel="volume (sites)", ylabel="engine surface (site-neighbour pairs)",
               title=f"{ndim}-D: reported surface against volume")
        ax.legend(fontsize=7)
    figure.tight_layout()
    return figure


def run(quick=False, out=None):
    if quick:
        sizes = dict(disc=[2, 5], square=[2, 4], sphere=[2, 3], cube=[2, 3])
    else:
        sizes = dict(disc=[2, 3, 4, 5, 6, 8, 10, 12], square=[2, 3, 4, 5, 6, 8, 10, 12],
                     sphere=[2, 3, 4, 5, 6, 8], cube=[2, 3, 4, 5, 6, 8])
    rows = measure(sizes)
    if out is not None:
        pathlib.Path(out).mkdir(parents=True, exist_ok=True)
        write_csv(rows, pathlib.Path(out) / "surfaces.csv")
    closed = [r for r in rows if r["closed_form"] is not None]
    checks = [
        report.at_most("largest difference of engine and NumPy surfaces", max(abs(r["engine_surface"] - r["numpy_surface"]) for r in rows), 0),
        report.at_most("largest difference of engine surface and closed form (squares, cubes)",
                       max(abs(r["engine_surface"] - r["closed_form"]) for r in closed), 0),
        report.at_most("largest difference of engine volume and shape volume",
                       max(abs(r["volume"] - int(shape_mask(r["shape"], r["size"]).sum())) for r in rows), 0),
    ]
    return report.Result("surfaces", checks, dict(rows=rows), draw(rows))


if __name__ == "__main__":
    sys.exit(report.main(sys.modules[__name__]))
