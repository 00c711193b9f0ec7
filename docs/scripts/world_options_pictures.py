"""Draw the pictures of docs/world-options.md: the same runs with each world option off and on.

Run from the repository root after ``make module``::

    .venv/bin/python docs/scripts/world_options_pictures.py
"""

from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
from matplotlib.colors import ListedColormap
from morva_core import World

from morva import _native

OUT = Path(__file__).resolve().parents[1] / "images" / "world-options"


def block_world(dims, temperature, options):
    """A periodic 2-D world under the 8-neighbourhood with the given options switched on."""
    world = World((*dims, 1), "periodic", 2, temperature)
    _native.set_options(world, **options)
    return world


def paint(world, cell, x0, y0, x1, y1, nx):
    """Paint [x0, x1) x [y0, y1), x taken modulo nx."""
    for x in range(x0, x1):
        world.seed_block(cell, x % nx, y0, 0, x % nx + 1, y1, 1)


def elongated_cell_frames(shapes_on):
    world = block_world((60, 40), 4.0, {"periodic_shapes": shapes_on, "com_force": True})
    cell = world.add_cell(1, 72.0, 2.0, 0.0, 0.0)
    paint(world, cell, 40, 17, 52, 23, 60)
    world.set_contact(0, 1, 6.0)
    world.set_length_constraint(1, 14.0, 3.0)
    world.set_external_potential(1, 200.0, 0.0, 0.0)
    world.finalize(21)
    return run_frames(world, 25)


def pushed_cell_frames(com_on):
    world = block_world((64, 32), 4.0, {"periodic_shapes": com_on, "com_force": com_on})
    cell = world.add_cell(1, 64.0, 1.0, 0.0, 0.0)
    paint(world, cell, 8, 12, 16, 20, 64)
    world.set_contact(0, 1, 8.0)
    world.set_external_potential(1, 250.0 if com_on else 5.0, 0.0, 0.0)
    world.finalize(3)
    return run_frames(world, 40)


def packed_tissue(faces_on):
    world = block_world((40, 40), 10.0, {"face_connectivity": faces_on})
    for by in range(4):
        for bx in range(4):
            cell = world.add_cell(1, 36.0, 1.0, 0.0, 0.0)
            paint(world, cell, 8 + 6 * bx, 8 + 6 * by, 14 + 6 * bx, 14 + 6 * by, 40)
    world.set_contact(0, 1, 12.0)
    world.set_contact(1, 1, 8.0)
    world.set_connectivity(1, True)
    world.finalize(1)
    world.step(200)
    return _native.labels(world)[0]


def run_frames(world, every, count=5):
    frames = []
    for _ in range(count):
        frames.append(_native.labels(world)[0].copy())
        world.step(every)
    return frames


def colours(n):
    rng = np.random.default_rng(7)
    table = rng.uniform(0.25, 0.9, size=(n + 1, 3))
    table[0] = 1.0
    return ListedColormap(table)


def show(ax, labels):
    ax.imshow(labels, cmap=colours(int(labels.max()) + 1), vmin=0, vmax=labels.max() + 1,
              interpolation="nearest", origin="lower")
    ax.set_xticks([])
    ax.set_yticks([])


def strip(rows, every, row_titles, path):
    fig, axes = plt.subplots(len(rows), len(rows[0]), figsize=(2.2 * len(rows[0]), 1.9 * len(rows)), squeeze=False)
    for r, frames in enumerate(rows):
        for k, labels in enumerate(frames):
            ax = axes[r][k]
            show(ax, labels)
            ax.axvline(-0.5, color="k", lw=2)
            ax.axvline(labels.shape[1] - 0.5, color="k", lw=2)
            ax.set_title(f"step {every * k}, {int((labels == 1).sum())} sites", fontsize=8)
            if k == 0:
                ax.set_ylabel(row_titles[r], fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def stranded(labels):
    """Cell sites sharing no face with their own cell (periodic box)."""
    joined = np.zeros(labels.shape, dtype=bool)
    for axis in (0, 1):
        for shift in (1, -1):
            joined |= np.roll(labels, shift, axis=axis) == labels
    return (labels != 0) & ~joined


def main():
    OUT.mkdir(parents=True, exist_ok=True)
    strip([elongated_cell_frames(False), elongated_cell_frames(True)], 25,
          ["option off", "periodic shapes on"], OUT / "periodic-shapes.png")
    strip([pushed_cell_frames(False), pushed_cell_frames(True)], 40,
          ["raw form, F = 5", "centre of mass, F = 250"], OUT / "com-force.png")
    fig, axes = plt.subplots(1, 2, figsize=(7, 3.6))
    for faces_on, ax in zip((False, True), axes):
        labels = packed_tissue(faces_on)
        show(ax, labels)
        ys, xs = np.nonzero(stranded(labels))
        ax.scatter(xs, ys, s=10, c="k", marker="x", linewidths=0.8)
        title = "face connectivity on" if faces_on else "option off"
        ax.set_title(f"{title}: {len(xs)} stranded sites", fontsize=9)
    fig.tight_layout()
    fig.savefig(OUT / "face-connectivity.png", dpi=110)
    plt.close(fig)


if __name__ == "__main__":
    main()
