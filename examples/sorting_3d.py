"""Two-type cell sorting in 3-D, on the morva package (examples/models/sorting_3d.toml).

Prints the share of cell-cell faces that join unlike cells as the 216 cubic cells sort, and writes
pictures of three orthogonal slices through the centre at the start and the end.

    python examples/sorting_3d.py [--mcs 300] [--seed 1] [--out DIR]
"""

import argparse
import pathlib

import morva
from morva.measures import sorting
from morva.viz import plot_tissue, simulation_picture_args

HERE = pathlib.Path(__file__).resolve().parent


def report(sim):
    measures = sorting(sim)
    print(f"MCS {sim.mcs:>5}  same-type clusters {measures['type_clusters']:>3}  "
          f"unlike faces {measures['sorting_index']:.3f}", flush=True)


def save_picture(sim, path):
    plot_tissue(**simulation_picture_args(sim), title="3-D cell sorting").savefig(path, dpi=100)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mcs", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--every", type=int, default=50)
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "out")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    sim = morva.load_model(HERE / "models" / "sorting_3d.toml").build(seed=args.seed)
    print(f"3-D sorting: {sim.n_cells} cells")
    report(sim)
    save_picture(sim, args.out / "sorting_3d_start.png")
    sim.run(args.mcs, every=args.every, hooks=report)
    save_picture(sim, args.out / "sorting_3d_end.png")
    print(f"pictures: {args.out / 'sorting_3d_start.png'}, {args.out / 'sorting_3d_end.png'}")


if __name__ == "__main__":
    main()
