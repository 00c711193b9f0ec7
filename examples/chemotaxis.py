"""Chemotactic aggregation, on the morva package (examples/models/chemotaxis.toml).

Scattered cells secrete an attractant and climb its gradient. The script prints the number of
clumps (groups of touching cells; 40 lone cells at the start) and the mean distance from each cell
to its nearest neighbour, both falling as cells gather, and writes the scattered start and the
clumps at the end beside the attractant.

    python examples/chemotaxis.py [--mcs 3000] [--seed 1] [--out DIR]
"""

import argparse
import pathlib

import numpy as np

import morva
from morva.measures import sorting
from morva.viz import plot_tissue, simulation_picture_args

HERE = pathlib.Path(__file__).resolve().parent


def nearest_neighbour_distance(sim):
    """Mean distance between each cell's centre and the nearest other centre, in sites."""
    centres = sim.cells()[["com_x", "com_y"]].to_numpy()
    gaps = np.linalg.norm(centres[:, None, :] - centres[None, :, :], axis=-1)
    np.fill_diagonal(gaps, np.inf)
    return gaps.min(axis=1).mean()


def report(sim):
    # One cell type: the same-type groups of touching cells are the clumps.
    print(f"MCS {sim.mcs:>5}  clumps {sorting(sim)['type_clusters']:>3}  "
          f"nearest neighbour {nearest_neighbour_distance(sim):5.1f} sites  "
          f"attractant max {sim.field('attractant').max():6.1f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mcs", type=int, default=3000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--every", type=int, default=500)
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "out")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    model = morva.load_model(HERE / "models" / "chemotaxis.toml")
    sim = model.build(seed=args.seed)
    attractant = model.fields["attractant"]
    print(f"chemotaxis: {sim.n_cells} cells, attractant diffusion {attractant.diffusion:g} sites^2/MCS "
          f"in {attractant.resolved_substeps(model.ndim)} sub-steps, decay {attractant.decay:g}/MCS")
    report(sim)
    plot_tissue(**simulation_picture_args(sim), title="chemotaxis: scattered cells").savefig(
        args.out / "chemotaxis_start.png", dpi=100)
    sim.run(args.mcs, every=args.every, hooks=report)
    plot_tissue(**simulation_picture_args(sim), field=sim.field("attractant"), field_name="attractant",
                field_mode="beside", title="chemotaxis: cells and attractant").savefig(
        args.out / "chemotaxis_end.png", dpi=100)
    print(f"pictures: {args.out / 'chemotaxis_start.png'}, {args.out / 'chemotaxis_end.png'}")


if __name__ == "__main__":
    main()
