"""A Turing pattern in the medium shaping a tissue (examples/models/turing_tissue.toml).

Activator u and inhibitor v react with Schnakenberg kinetics (``kinetics`` below, the model's
reaction), u diffusing 20 times slower than v, so spots of activator grow out of the uniform state;
cells make a little more activator than the medium, and climb its gradient. The script prints the
activator's range and the mean activator under the cells against that of the medium, and writes
pictures of the tissue beside the activator at the start and the end.

    python examples/turing_tissue.py [--mcs 1500] [--seed 1] [--out DIR]
"""

import argparse
import pathlib

import numpy as np

import morva

HERE = pathlib.Path(__file__).resolve().parent
A_MEDIUM, A_CELL, B, GAMMA = 0.1, 0.12, 0.9, 0.05


def kinetics(u, v, cell_type):
    """Schnakenberg kinetics per MCS; sites of cells (type > 0) make more activator."""
    a = np.where(cell_type > 0, A_CELL, A_MEDIUM)
    u2v = u * u * v
    return GAMMA * (a - u + u2v), GAMMA * (B - u2v)


def activator_under_cells(sim):
    """Mean activator on the cells' sites and on the medium's."""
    u, inside = sim.field("u"), sim.labels() > 0
    return float(u[inside].mean()), float(u[~inside].mean())


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mcs", type=int, default=1500)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--every", type=int, default=300)
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "out")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    from morva.viz import plot_tissue, simulation_picture_args

    model = morva.load_model(HERE / "models" / "turing_tissue.toml")
    sim = model.build(seed=args.seed)
    picture = lambda title: plot_tissue(**simulation_picture_args(sim), field=sim.field("u"),  # noqa: E731
                                        field_name="activator u", field_mode="beside", title=title)
    picture("Turing tissue: the start").savefig(args.out / "turing_start.png")

    def report(sim):
        cells, medium = activator_under_cells(sim)
        u = sim.field("u")
        print(f"MCS {sim.mcs:>5}  activator {u.min():5.2f} .. {u.max():5.2f}  under cells {cells:5.2f}  "
              f"medium {medium:5.2f}", flush=True)

    sim.run(args.mcs, every=args.every, hooks=report, progress=False)
    print(f"{sim.reactions.substeps['schnakenberg']} sub-steps per MCS")
    picture(f"Turing tissue: MCS {sim.mcs}").savefig(args.out / "turing_end.png")


if __name__ == "__main__":
    main()
