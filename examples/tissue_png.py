"""Pictures of a 2-D tissue: one colour per cell type, cell borders drawn in dark grey."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

# Medium first, then one colour per cell type.
TYPE_COLOURS = np.array(
    [
        [1.00, 1.00, 1.00],
        [0.84, 0.26, 0.20],
        [0.22, 0.47, 0.78],
        [0.33, 0.66, 0.35],
        [0.95, 0.68, 0.20],
        [0.55, 0.35, 0.70],
    ]
)
BORDER = np.array([0.15, 0.15, 0.15])


def tissue_image(snapshot, cell_types, dims):
    """RGB image (ny, nx, 3) of layer z = 0: cells coloured by type, borders where labels change."""
    nx, ny = dims[0], dims[1]
    labels = np.asarray(snapshot, dtype=np.int64)[: nx * ny].reshape(ny, nx)
    types = np.asarray(cell_types, dtype=np.int64)[labels]
    image = TYPE_COLOURS[types % len(TYPE_COLOURS)]
    border = np.zeros((ny, nx), dtype=bool)
    border[:, 1:] |= labels[:, 1:] != labels[:, :-1]
    border[1:, :] |= labels[1:, :] != labels[:-1, :]
    image[border] = BORDER
    return image


def save_tissue_png(world, path, title):
    """Writes a picture of the world's first layer to `path`."""
    image = tissue_image(world.snapshot(), world.cell_types(), world.dims())
    fig, ax = plt.subplots(figsize=(6, 6), dpi=100)
    ax.imshow(image, origin="lower", interpolation="nearest")
    ax.set_title(title)
    ax.set_xticks([])
    ax.set_yticks([])
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)
