"""A tissue started from a segmentation mask, on the morva package (examples/models/tissue_image.toml).

The model file places one cell per value of examples/models/tissue_mask.png (a 16-bit grey PNG);
the script relaxes the tissue and writes pictures of the start and the end.

    python examples/tissue_image.py [--mcs 500] [--seed 1] [--out DIR]
"""

import argparse
import pathlib

import morva

from tissue_png import save_tissue_png

HERE = pathlib.Path(__file__).resolve().parent


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
    save_tissue_png(sim, args.out / "tissue_image_start.png", "segmented tissue, MCS 0", scale=5)
    sim.run(args.mcs)
    cells = sim.cells()
    ratio = float((cells["volume"] / cells["target_volume"]).mean())
    print(f"MCS {sim.mcs}: {sim.n_cells} cells, volume / target volume {ratio:.2f} on average")
    save_tissue_png(sim, args.out / "tissue_image_end.png", f"MCS {sim.mcs}", scale=5)
    print(f"pictures written to {args.out}")


if __name__ == "__main__":
    main()
