"""Two-type cell sorting in 3-D, on the morva package (examples/models/sorting_3d.toml).

Prints the share of cell-cell faces that join unlike cells as the 216 cubic cells sort, and writes
a picture of the middle layer at the end.

    python examples/sorting_3d.py [--mcs 300] [--seed 1] [--out DIR]
"""

import argparse
import pathlib

import numpy as np

import morva

from tissue_png import save_tissue_png

HERE = pathlib.Path(__file__).resolve().parent


def unlike_share(sim):
    """Share of the face contacts between two different cells that join cells of different types."""
    labels = sim.labels().astype(np.int64)
    cells = sim.cells(include_removed=True)
    types = np.zeros(max(labels.max(), cells.index.max()) + 1, dtype=np.int64)
    types[cells.index.to_numpy()] = cells["type"].to_numpy()
    kinds = types[labels]
    mixed = total = 0
    for axis in range(3):
        other, other_kind = np.roll(labels, -1, axis), np.roll(kinds, -1, axis)
        border = (labels != other) & (kinds != 0) & (other_kind != 0)
        total += border.sum()
        mixed += (border & (kinds != other_kind)).sum()
    return mixed / max(total, 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mcs", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--every", type=int, default=50)
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "out")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    sim = morva.load_model(HERE / "models" / "sorting_3d.toml").build(seed=args.seed)
    print(f"3-D sorting: {sim.n_cells} cells; unlike faces {unlike_share(sim):.3f}")
    sim.run(args.mcs, every=args.every,
            hooks=lambda s: print(f"MCS {s.mcs:>5}  unlike faces {unlike_share(s):.3f}", flush=True))
    middle = sim.model.dims[2] // 2
    save_tissue_png(sim, args.out / "sorting_3d_end.png", f"3-D sorting, layer z = {middle}, MCS {sim.mcs}", z=middle)
    print(f"picture: {args.out / 'sorting_3d_end.png'}")


if __name__ == "__main__":
    main()
