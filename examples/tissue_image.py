"""A tissue started from a segmentation mask, on the morva package (examples/models/tissue_image.toml).

The model file places one cell per value of examples/models/tissue_mask.png (a 16-bit grey PNG);
the script relaxes the tissue and writes pictures of the start and the end.

    python examples/tissue_image.py [--mcs 500] [--seed 1] [--out DIR]
"""

import argparse
import pathlib

import morva
from morva.viz import plot_tissue, simulation_picture_args

HERE = pathlib.Path(__file__).resolve().parent


def save_picture(sim, path, title):
    plot_tissue(**simulation_picture_args(sim), title=title).savefig(path, dpi=100)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mcs", type=int, default=500)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "out")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    sim = morva.load_model(HERE / "models" / "tissue_image.toml").build(seed=args.seed)
    counts = sim.cells()["type_name"].value_counts()
    print("tissue from a mask: " + ", ".join(f"{n} {name}" for name, n in counts.items()))
    save_picture(sim, args.out / "tissue_image_start.png", "segmented tissue")
    sim.run(args.mcs)
    cells = sim.cells()
    ratio = float((cells["volume"] / cells["target_volume"]).mean())
    print(f"MCS {sim.mcs}: {sim.n_cells} cells, volume / target volume {ratio:.2f} on average")
    save_picture(sim, args.out / "tissue_image_end.png", "relaxed tissue")
    print(f"pictures: {args.out / 'tissue_image_start.png'}, {args.out / 'tissue_image_end.png'}")


if __name__ == "__main__":
    main()
