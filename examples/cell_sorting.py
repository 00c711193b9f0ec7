"""Two-type cell sorting in 2-D, on the morva package.

The model is examples/models/cell_sorting.toml: 256 square cells of two types start as a
checkerboard and sort by differential adhesion while a surface term keeps them compact. The script
shows a progress bar, prints how far the tissue has sorted (the share of cell-cell borders that
join unlike cells, 1 at the start, and the number of same-type clusters), and writes pictures of
the start and the end.

    python examples/cell_sorting.py [--mcs 4000] [--seed 1] [--out DIR] [--record DIR]
"""

import argparse
import pathlib

import morva
from morva.measures import sorting
from morva.viz import plot_tissue, simulation_picture_args

HERE = pathlib.Path(__file__).resolve().parent


def report(sim):
    measures = sorting(sim)
    print(f"MCS {sim.mcs:>6}  same-type clusters {measures['type_clusters']:>3}  "
          f"unlike borders {measures['sorting_index']:.3f}", flush=True)


def save_picture(sim, path):
    plot_tissue(**simulation_picture_args(sim), title="cell sorting").savefig(path, dpi=100)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mcs", type=int, default=4000, help="Monte Carlo steps to run")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--every", type=int, default=500, help="report interval in MCS")
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "out", help="folder for the pictures")
    parser.add_argument("--record", type=pathlib.Path, help="also record the run into this folder")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    sim = morva.load_model(HERE / "models" / "cell_sorting.toml").build(seed=args.seed)
    if args.record:
        sim.record(args.record, every=args.every, overwrite=True)
    print(f"cell sorting: {sim.n_cells} cells, seed {args.seed}")
    report(sim)
    save_picture(sim, args.out / "cell_sorting_start.png")
    sim.run(args.mcs, every=args.every, hooks=report)
    save_picture(sim, args.out / "cell_sorting_end.png")
    print(f"pictures: {args.out / 'cell_sorting_start.png'}, {args.out / 'cell_sorting_end.png'}")


if __name__ == "__main__":
    main()
