"""Pictures of a 2-D tissue (layer z = 0): one colour per cell type, black borders between cells."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

# Medium first, then one colour per cell type (cycled for further types).
COLOURS = np.array(
    [[1.0, 1.0, 1.0], [0.85, 0.33, 0.10], [0.20, 0.45, 0.75], [0.33, 0.66, 0.35], [0.95, 0.68, 0.20]]
)


def grids(sim, z=0):
    """Label and type grids of one layer, indexed [y, x]."""
    labels = sim.labels()[z].astype(np.int64)
    cells = sim.cells(include_removed=True)
    types = np.zeros(max(labels.max(), cells.index.max() if len(cells) else 0) + 1, dtype=np.int64)
    types[cells.index.to_numpy()] = cells["type"].to_numpy()
    return labels, types[labels]


def save_tissue_png(sim, path, title, scale=4, z=0):
    """Each site becomes scale x scale pixels coloured by cell type; borders between cells are black."""
    labels, types = grids(sim, z)
    ny, nx = labels.shape
    colour = np.where(types == 0, 0, 1 + (types - 1) % (len(COLOURS) - 1))
    image = np.repeat(np.repeat(COLOURS[colour], scale, axis=0), scale, axis=1)
    right = labels != np.roll(labels, -1, axis=1)
    below = labels != np.roll(labels, -1, axis=0)
    last_column = (np.arange(nx * scale) % scale == scale - 1)[None, :]
    last_row = (np.arange(ny * scale) % scale == scale - 1)[:, None]
    image[np.repeat(np.repeat(right, scale, 0), scale, 1) & last_column] = 0
    image[np.repeat(np.repeat(below, scale, 0), scale, 1) & last_row] = 0
    fig, ax = plt.subplots(figsize=(6, 6.3), dpi=120)
    ax.imshow(image, origin="lower", interpolation="nearest")
    ax.set_title(title)
    ax.set_axis_off()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def mixed_fraction(sim, z=0):
    """Share of the cell-cell borders (axis neighbours) that join cells of different types."""
    labels, types = grids(sim, z)
    mixed = total = 0
    for axis in (0, 1):
        other_labels, other_types = np.roll(labels, -1, axis), np.roll(types, -1, axis)
        border = (labels != other_labels) & (types != 0) & (other_types != 0)
        total += border.sum()
        mixed += (border & (types != other_types)).sum()
    return mixed / max(total, 1)
