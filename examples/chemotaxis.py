"""Chemotactic aggregation, on the morva package (examples/models/chemotaxis.toml).

Scattered cells secrete an attractant and climb its gradient. The script prints the mean distance
from each cell to its nearest neighbour (it falls as cells gather) and writes the tissue and the
attractant at the end.

    python examples/chemotaxis.py [--mcs 1500] [--seed 1] [--out DIR]
"""

import argparse
import pathlib

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import morva  # noqa: E402

from tissue_png import save_tissue_png  # noqa: E402

HERE = pathlib.Path(__file__).resolve().parent


def nearest_neighbour_distance(sim):
    """Mean distance between each cell's centre and the nearest other centre, in sites."""
    centres = sim.cells()[["com_x", "com_y"]].to_numpy()
    gaps = np.linalg.norm(centres[:, None, :] - centres[None, :, :], axis=-1)
    np.fill_diagonal(gaps, np.inf)
    return gaps.min(axis=1).mean()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mcs", type=int, default=1500)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--every", type=int, default=200)
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "out")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    model = morva.load_model(HERE / "models" / "chemotaxis.toml")
    sim = model.build(seed=args.seed)
    substeps = model.fields["attractant"].resolved_substeps(model.ndim)
    print(f"chemotaxis: {sim.n_cells} cells, attractant diffusion {model.fields['attractant'].diffusion:g} "
          f"sites^2/MCS in {substeps} sub-steps; nearest neighbour {nearest_neighbour_distance(sim):.1f} sites")
    sim.run(args.mcs, every=args.every, hooks=lambda s: print(
        f"MCS {s.mcs:>5}  nearest neighbour {nearest_neighbour_distance(s):5.1f} sites  "
        f"attractant max {s.field('attractant').max():.2f}", flush=True))
    save_tissue_png(sim, args.out / "chemotaxis_end.png", f"chemotaxis, MCS {sim.mcs}")
    fig, ax = plt.subplots(figsize=(5, 5), dpi=100)
    ax.imshow(sim.field("attractant")[0], origin="lower", cmap="viridis")
    ax.set_title(f"attractant, MCS {sim.mcs}")
    fig.savefig(args.out / "chemotaxis_field.png")
    plt.close(fig)
    print(f"pictures: {args.out / 'chemotaxis_end.png'}, {args.out / 'chemotaxis_field.png'}")


if __name__ == "__main__":
    main()
