"""A cell cycle driving division: a clock ODE in every cell, a division rule, and the lineage it leaves.

Each cell carries a cycle phase that runs from 0 to 1 at the cell's own rate, slowed when the cell
is squeezed below its target volume (contact inhibition). Its target volume grows with the
phase towards twice the newborn size; when the phase reaches 1 a rule divides the cell in a
random direction. Both cells restart the clock; the daughter's rate is the parent's with a
little noise drawn from ``sim.rng``, so sister lines drift apart and the run still resumes bit for
bit. The model is declared entirely in the model (variables, ODE, rule), so it saves to a model
file and its recordings resume with nothing attached by hand.

The functions below are referenced as ``cell_cycle:<name>``: run from the ``examples`` folder, or
put it on ``sys.path``.

    python examples/cell_cycle.py [--mcs 1200] [--out cycle.toml]
"""

import argparse

import numpy as np

import morva

NEWBORN_VOLUME = 30.0


def cycle(t, y, tissue):
    """The phase advances at the cell's rate times how much room it has; the target follows the phase."""
    room = np.minimum(1.0, y["volume"] / y["target"])
    goal = NEWBORN_VOLUME * (1.0 + y["phase"])
    return {"phase": y["rate"] * room**2, "target": (goal - y["target"]) / 0.5, "rate": np.zeros_like(y["rate"])}


def restart(sim, values):
    """Parent and daughter start a new cycle."""
    return np.zeros_like(values), np.zeros_like(values)


def inherit_rate(sim, values):
    """The parent keeps its rate; the daughter's differs from it by about 10%."""
    return values, values * sim.rng.lognormal(0.0, 0.1, values.size)


def next_generation(sim, values):
    """Both cells are one generation further than the parent was."""
    return values + 1, values + 1


def initial_rate(sim, ids):
    """Cycle rates of the first cells: about one cycle per 2.5 units of model time."""
    return sim.rng.uniform(0.35, 0.45, len(ids))


def model(side=100):
    """Four cells in the middle of a box, each with a clock that drives its growth and division."""
    m = morva.Model((side, side), temperature=6.0)
    m.add_type("cell", volume=NEWBORN_VOLUME, lambda_volume=2, connectivity=True)
    m.set_contact("medium", "cell", 12).set_contact("cell", "cell", 6)
    middle = side // 2
    m.add_tiling(["cell"], (middle - 6, middle - 6), (middle + 6, middle + 6), 6)
    m.add_cell_variable("phase", initial=0.0, on_divide="cell_cycle:restart")
    m.add_cell_variable("rate", initial="cell_cycle:initial_rate", on_divide="cell_cycle:inherit_rate")
    m.add_cell_variable("target", initial=NEWBORN_VOLUME, on_divide="halve")
    m.add_cell_variable("generation", initial=0.0, on_divide="cell_cycle:next_generation")
    m.add_cell_ode("cycle", "cell_cycle:cycle", ["phase", "target", "rate"], every=5, time_per_mcs=0.01,
                   substeps=1, inputs={"volume": "volume"}, outputs={"target": "target_volume"})
    m.add_rule("mitosis", "divide", ["phase >= 1"], every=5, orientation="random")
    return m


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mcs", type=int, default=1200)
    parser.add_argument("--out", help="also write the model file here")
    args = parser.parse_args()
    m = model()
    if args.out:
        m.save(args.out)
    sim = m.build(seed=1)
    sim.run(args.mcs, progress=False)
    cells = sim.cells()
    print(f"{sim.n_cells} cells after {args.mcs} MCS, {len(sim.lineage)} divisions; generations "
          f"{int(cells['generation'].min())}-{int(cells['generation'].max())}")


if __name__ == "__main__":
    main()
