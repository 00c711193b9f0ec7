"""Cost of the cell-state machinery (contact table, ODEs in cells, SBML in cells) against a step.

Each figure is timed side by side with the step it is compared to, in alternation within each
repetition, so that a shared machine's drift hits both alike; the script prints medians.

- contacts: one ``morva._native.contacts`` call on B2 against one B2 MCS of the same world.
- ode: 1,024 cells (200 x 200, cells of 36 sites) with a 4-variable NumPy ODE system coupled to
  the neighbours (so the contact table is made at every call), one Runge-Kutta step per MCS,
  acting every MCS: the writer's time per call, and the time per MCS of a run with the ODE minus
  the same run without it, against one B1 MCS.
- sbml: the Brusselator (examples/sbml_brusselator.xml) in the same 1,024 cells, one
  Runge-Kutta step per MCS: the time per cell per step. Skipped without libroadrunner.

    python bench/cell_state_cost.py [--repeats 5] [--only contacts|ode|sbml]
"""

import argparse
import pathlib
import statistics
import sys
import time

import numpy as np

import morva
from morva import _native
from morva.sbml import SBMLCells

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from recording_cost import b1, b2  # noqa: E402

EXAMPLES = pathlib.Path(__file__).resolve().parents[1] / "examples"


def packed_cells():
    """1,024 cells of 6 x 6 sites filling most of a 200 x 200 box."""
    model = morva.Model((200, 200), temperature=10.0)
    model.add_type("cell", volume=36, lambda_volume=1).set_contact("medium", "cell", 16).set_contact("cell", "cell", 8)
    return model.add_tiling(["cell"], (4, 4), (196, 196), 6)


def four_variables(t, y, tissue):
    """Lateral inhibition with a clock and a size signal: four variables, one neighbour coupling."""
    signal = tissue.neighbour_mean(y["delta"])
    return {"notch": signal**2 / (0.01 + signal**2) - y["notch"],
            "delta": 1.0 / (1.0 + 100.0 * y["notch"] ** 2) - y["delta"],
            "clock": 0.1 + 0.0 * y["clock"],
            "size": (tissue.volume - y["size"]) / 5.0}


def timed(action):
    started = time.perf_counter()
    action()
    return time.perf_counter() - started


def ms(values):
    return f"{1e3 * statistics.median(values):.2f} ms (min {1e3 * min(values):.2f}, max {1e3 * max(values):.2f})"


def contacts(repeats):
    world = b2().build(seed=1).world
    _native.run(world, 5)
    table, step = [], []
    for _ in range(repeats):
        table.append(timed(lambda: _native.contacts(world)))
        step.append(timed(lambda: _native.run(world, 1)))
    print(f"B2 contact table: {ms(table)}; one B2 MCS: {ms(step)}; "
          f"median ratio {statistics.median(np.divide(table, step)):.2f}")


def ode(repeats, mcs=20):
    model = packed_cells()
    for name in ("notch", "delta", "clock", "size"):
        model.add_cell_variable(name, initial=0.5)
    plain, with_ode, sorting = model.build(seed=1), model.build(seed=1), b1().build(seed=1)
    writer = morva.CellODE(four_variables, ["notch", "delta", "clock", "size"], every=1, time_per_mcs=0.2,
                           substeps=1)
    with_ode.add_writer(writer)
    for sim in (plain, with_ode, sorting):
        sim.run(10, progress=False)
    writes, extra, step = [], [], []
    for _ in range(repeats):
        writes.append(statistics.median(timed(lambda: writer.write(with_ode)) for _ in range(mcs)))
        without = timed(lambda: plain.run(mcs, progress=False))
        extra.append((timed(lambda: with_ode.run(mcs, progress=False)) - without) / mcs)
        step.append(timed(lambda: sorting.run(mcs, progress=False)) / mcs)
    print(f"{with_ode.n_cells} cells, 4-variable ODE with the contact table, every MCS: writer {ms(writes)} "
          f"per call; run with it minus without {ms(extra)} per MCS; one B1 MCS {ms(step)}; "
          f"median writer / B1 MCS {statistics.median(np.divide(writes, step)):.2f}")


def sbml(repeats, mcs=5):
    try:
        import roadrunner  # noqa: F401
    except ImportError:
        print("sbml: skipped (libroadrunner is not installed: pip install morva[sbml])")
        return
    model = packed_cells().add_sbml("cell", EXAMPLES / "sbml_brusselator.xml", ["X", "Y", "B"], time_per_mcs=0.05,
                                    substeps=1)
    sim = model.build(seed=1)
    writer = SBMLCells(model.sbml.values())
    writer.write(sim)
    per_cell = []
    for _ in range(repeats):
        per_cell.append(statistics.median(timed(lambda: writer.write(sim)) for _ in range(mcs)) / sim.n_cells)
    print(f"SBML (Brusselator, one RK4 step per MCS) in {sim.n_cells} cells: "
          f"{1e6 * statistics.median(per_cell):.2f} us per cell per step "
          f"(min {1e6 * min(per_cell):.2f}, max {1e6 * max(per_cell):.2f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--only", choices=("contacts", "ode", "sbml"))
    args = parser.parse_args()
    for name, bench in (("contacts", contacts), ("ode", ode), ("sbml", sbml)):
        if args.only in (None, name):
            bench(args.repeats)


if __name__ == "__main__":
    main()
