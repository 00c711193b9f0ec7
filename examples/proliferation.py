"""A small growing tissue: cells grow a little every few Monte Carlo steps and divide at a threshold.

Run from the repository root: python examples/proliferation.py [--rounds N] [--out DIR]
"""

import argparse
import pathlib
import time

from morva_core import World

from tissue_png import save_tissue_png


def build(side, seed):
    world = World((side, side, 1), "periodic", 2, 4.0)
    centre = side // 2
    for i in range(4):
        cell = world.add_cell(1 + i % 2, 40.0, 1.0, 0.0, 0.0)
        x0 = centre - 7 + 7 * (i % 2)
        y0 = centre - 7 + 7 * (i // 2)
        world.seed_block(cell, x0, y0, 0, x0 + 6, y0 + 6, 1)
    for a, b, j in [(0, 1, 14.0), (0, 2, 14.0), (1, 1, 6.0), (2, 2, 6.0), (1, 2, 6.0)]:
        world.set_contact(a, b, j)
    for cell_type in (1, 2):
        world.set_connectivity(cell_type, True)
    world.finalize(seed)
    return world


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--side", type=int, default=100, help="lattice side (sites)")
    parser.add_argument("--rounds", type=int, default=100, help="grow-and-divide rounds")
    parser.add_argument("--mcs-per-round", type=int, default=10)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--out", type=pathlib.Path, default=pathlib.Path(__file__).parent / "out")
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)

    world = build(args.side, args.seed)
    save_tissue_png(world, args.out / "proliferation_start.png", "start: 4 cells")
    started = time.perf_counter()
    for round_ in range(1, args.rounds + 1):
        world.step(args.mcs_per_round)
        world.grow(1, 2.0)
        world.grow(2, 2.0)
        for daughter in world.divide_cells(80.0, 40.0):
            world.set_cell_type(daughter, 1 + daughter % 2)  # alternate the colours of new cells
        if round_ % 20 == 0 or round_ == args.rounds:
            alive = sum(1 for v in world.cell_volumes()[1:] if v > 0)
            rate = round_ * args.mcs_per_round / (time.perf_counter() - started)
            print(f"round {round_:4d}: {alive} cells, {rate:.0f} MCS/s")
    alive = sum(1 for v in world.cell_volumes()[1:] if v > 0)
    save_tissue_png(world, args.out / "proliferation_end.png", f"after {args.rounds} rounds: {alive} cells")
    print(f"pictures written to {args.out}")


if __name__ == "__main__":
    main()
