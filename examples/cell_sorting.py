"""Two-type cell sorting in 2-D, on the morva package.

The model is examples/models/cell_sorting.toml: 256 square cells of two types start as a
checkerboard and sort by differential adhesion while a surface term keeps them compact. The script
shows a progress bar, prints how far the tissue has sorted (the share of cell-cell borders that
join unlike cells; 1 at the start), and writes pictures of the start and the end.

    python examples/cell_sorting.py [--mcs 3000] [--seed 1] [--out DIR] [--record DIR]
"""

import argparse
import pathlib

import morva

from tissue_png import mixed_fraction, save_tissue_png

HERE = pathlib.Path(__file__).resolve().parent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mcs", type=int, default=3000, help="Monte Carlo steps to run")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--every", type=int, default=500, help="report interval in MCS")
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "out", help="folder for the pictures")
    parser.add_argument("--record", type=pathlib.Path, help="also record the run into this folder")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    sim = morva.load_model(HERE / "models" / "cell_sorting.toml").build(seed=args.seed)
    if args.record:
        sim.record(args.record, every=args.every, overwrite=True)
    save_tissue_png(sim, args.out / "cell_sorting_start.png", "cell sorting, MCS 0")
    print(f"cell sorting: {sim.n_cells} cells, seed {args.seed}; unlike borders {mixed_fraction(sim):.3f}")
    sim.run(args.mcs, every=args.every,
            hooks=lambda s: print(f"MCS {s.mcs:>6}  unlike borders {mixed_fraction(s):.3f}", flush=True))
    save_tissue_png(sim, args.out / "cell_sorting_end.png", f"cell sorting, MCS {sim.mcs}")
    print(f"pictures: {args.out / 'cell_sorting_start.png'}, {args.out / 'cell_sorting_end.png'}")


if __name__ == "__main__":
    main()
