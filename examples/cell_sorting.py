"""Differential-adhesion cell sorting (benchmark model B1).

256 square cells of two types start as a checkerboard in a 200 x 200 periodic box. Type 1 sticks
to itself strongly (J = 2), type 2 weakly (J = 14), and the mixed contact lies between (J = 11), so
the tissue sorts: type 1 gathers into clusters and type 2 moves to the outside. The script prints
progress with the speed in Monte Carlo steps (MCS) per second and writes pictures of the tissue at
the start and the end into examples/out/.

    python examples/cell_sorting.py [--mcs 2000] [--seed 1]
"""

import argparse
import pathlib
import time

import numpy as np

from morva_core import World

from tissue_png import grids, save_tissue_png

SIDE = 200
CONTACTS = [(0, 1, 16.0), (0, 2, 16.0), (1, 1, 2.0), (2, 2, 14.0), (1, 2, 11.0)]
OUT = pathlib.Path(__file__).resolve().parent / "out"


def build(seed):
    w = World((SIDE, SIDE, 1), "periodic", 2, 20.0)
    for by in range(16):
        for bx in range(16):
            cell = w.add_cell(1 + (bx + by) % 2, 100.0, 1.0, 0.0, 0.0)
            w.seed_block(cell, 20 + 10 * bx, 20 + 10 * by, 0, 30 + 10 * bx, 30 + 10 * by, 1)
    for a, b, j in CONTACTS:
        w.set_contact(a, b, j)
    w.finalize(seed)
    return w


def mixed_fraction(w):
    """Share of the cell-cell borders (axis neighbours) that join a type-1 and a type-2 cell."""
    labels, types = grids(w)
    mixed = total = 0
    for axis in (0, 1):
        other_labels, other_types = np.roll(labels, -1, axis), np.roll(types, -1, axis)
        border = (labels != other_labels) & (types != 0) & (other_types != 0)
        total += border.sum()
        mixed += (border & (types != other_types)).sum()
    return mixed / max(total, 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mcs", type=int, default=2000, help="Monte Carlo steps to run")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--every", type=int, default=200, help="progress report interval in MCS")
    parser.add_argument("--out", type=pathlib.Path, default=OUT, help="folder for the pictures")
    args = parser.parse_args()

    out = args.out
    out.mkdir(parents=True, exist_ok=True)
    w = build(args.seed)
    save_tissue_png(w, out / "cell_sorting_start.png", "cell sorting, MCS 0")
    print(f"B1 cell sorting: {SIDE}x{SIDE} sites, {w.n_cells()} cells, seed {args.seed}")
    print(f"MCS {0:>6}  mixed borders {mixed_fraction(w):.3f}")

    done, started = 0, time.perf_counter()
    while done < args.mcs:
        chunk = min(args.every, args.mcs - done)
        t = time.perf_counter()
        w.step(chunk)
        done += chunk
        rate = chunk / (time.perf_counter() - t)
        print(f"MCS {done:>6}  mixed borders {mixed_fraction(w):.3f}  {rate:7.0f} MCS/s")
    elapsed = time.perf_counter() - started
    print(f"{done} MCS in {elapsed:.2f} s: {done / elapsed:.0f} MCS/s, {done * SIDE * SIDE / elapsed:.3g} copy attempts/s")

    save_tissue_png(w, out / "cell_sorting_end.png", f"cell sorting, MCS {done}")
    print(f"pictures: {out / 'cell_sorting_start.png'}, {out / 'cell_sorting_end.png'}")


if __name__ == "__main__":
    main()
