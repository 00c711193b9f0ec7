"""Growth, division and removal, on the morva package (examples/models/proliferation.toml).

Every few MCS a hook grows every cell, divides the cells that reached the threshold (daughters take
alternate types, so the picture shows who divided) and removes a few cells at random, as apoptosis
would. The lineage table keeps every division.

    python examples/proliferation.py [--mcs 1000] [--seed 1] [--out DIR]
"""

import argparse
import pathlib

import morva
from morva.viz import plot_tissue, simulation_picture_args

HERE = pathlib.Path(__file__).resolve().parent
# Colours by type name, so the "red" and "blue" types look their names (the default palette would
# give them its first two colours, orange and sky blue).
COLOURS = {"red": "tab:red", "blue": "tab:blue"}


def life_rules(death_chance):
    """A hook: grow, divide at 80 sites, retype daughters, remove a random few.

    The chance draws come from ``sim.rng``, the run's generator for user code: its state is saved
    with every checkpoint, so a recorded run resumed with ``morva.resume`` ends exactly as one that
    never stopped.
    """

    def rules(sim):
        sim.grow("red", 2.0)
        sim.grow("blue", 2.0)
        for daughter in sim.divide(80, reset_target=40).tolist():
            sim.retype([daughter], "red" if daughter % 2 else "blue")
        ids = sim.cell_ids()
        doomed = ids[sim.rng.random(ids.size) < death_chance]
        if doomed.size and doomed.size < ids.size:
            sim.remove(doomed)

    return rules


def save_picture(sim, path):
    title = f"growth and division: {sim.n_cells} cells"
    plot_tissue(**simulation_picture_args(sim), colours=COLOURS, title=title).savefig(path, dpi=100)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mcs", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--every", type=int, default=10, help="MCS between two applications of the rules")
    parser.add_argument("--death", type=float, default=0.002, help="chance of removal per cell and application")
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "out")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    sim = morva.load_model(HERE / "models" / "proliferation.toml").build(seed=args.seed)
    save_picture(sim, args.out / "proliferation_start.png")
    sim.run(args.mcs, every=args.every, hooks=life_rules(args.death))
    lineage = sim.lineage
    print(f"MCS {sim.mcs}: {sim.n_cells} live cells, {len(lineage)} divisions, "
          f"{sim.world.n_cells() - sim.n_cells} removed or squeezed out")
    if len(lineage):
        print(lineage.tail().to_string(index=False))
    save_picture(sim, args.out / "proliferation_end.png")
    print(f"pictures: {args.out / 'proliferation_start.png'}, {args.out / 'proliferation_end.png'}")


if __name__ == "__main__":
    main()
