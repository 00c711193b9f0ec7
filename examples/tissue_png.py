"""Pictures of a 2-D tissue (layer z = 0): one colour per cell type, black borders between cells."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

# Medium first, then one colour per cell type (cycled for further types).
COLOURS = np.array(
    [[1.0, 1.0, 1.0], [0.85, 0.33, 0.10], [0.20, 0.45, 0.75], [0.33, 0.66, 0.35], [0.95, 0.68, 0.20]]
)


def grids(world):
    """Label and type grids of the first layer, indexed [y, x]."""
    nx, ny, _ = world.dims()
    labels = np.array(world.snapshot()[: nx * ny], dtype=np.int64).reshape(ny, nx)
    types = np.array(world.cell_types(), dtype=np.int64)[labels]
    return labels, types


def save_tissue_png(world, path, title, scale=4):
    """Each site becomes scale x scale pixels coloured by cell type; borders between cells are black."""
    labels, types = grids(world)
    ny, nx = labels.shape
    colour = np.where(types == 0, 0, 1 + (types - 1) % (len(COLOURS) - 1))
    image = np.repeat(np.repeat(COLOURS[colour], scale, axis=0), scale, axis=1)
    right = labels != np.roll(labels, -1, axis=1)
    below = labels != np.roll(labels, -1, axis=0)
    last_column = (np.arange(nx * scale) % scale == scale - 1)[None, :]
    last_row = (np.arange(ny * scale) % scale == scale - 1)[:, None]
    image[np.repeat(np.repeat(right, scale, 0), scale, 1) & last_column] = 0
    image[np.repeat(np.repeat(below, scale, 0), scale, 1) & last_row] = 0
    fig, ax = plt.subplots(figsize=(6, 6.3), dpi=150)
    ax.imshow(image, origin="lower", interpolation="nearest")
    ax.set_title(title)
    ax.set_axis_off()
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
