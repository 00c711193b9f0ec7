"""A long run with every term switched on, checked against a recomputation from the label grid.

Usage: python tools/long_run_check.py [side] [steps] [every]

Builds a side x side x 2 tissue of two cell types with surface, connectivity, junction, membrane,
external-potential and chemotaxis terms and a secreted field, then runs `steps` Monte Carlo steps,
alternating sequential and parallel sweeps in chunks of `every`. After each chunk the volumes,
surfaces and centres of mass must equal a recomputation from snapshot(), every label must have a
record and the field must hold one finite, non-negative value per site. Prints steps x sites checked.
"""

import math
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests" / "python"))

from morva_core import World  # noqa: E402
from test_fuzz_programs import expected_trackers  # noqa: E402


def build(side):
    dims = (side, side, 2)
    w = World(dims, "periodic", 2, 8.0)
    block = 6
    for by in range(side // block):
        for bx in range(side // block):
            t = 1 + (bx + by) % 2
            c = w.add_cell(t, block * block * 2.0, 1.0, 4.0 * block * 2, 0.05)
            w.seed_block(c, bx * block, by * block, 0, bx * block + block - 1, by * block + block - 1, 2)
    for a, b, j in [(0, 1, 12.0), (0, 2, 12.0), (1, 1, 3.0), (2, 2, 9.0), (1, 2, 7.0)]:
        w.set_contact(a, b, j)
    w.set_connectivity(1, True)
    w.set_junction(2, True)
    w.set_junction_lambda(0.5)
    w.set_membrane([0, side - 1, side * side // 2], 0.2, 3.0)
    w.set_membrane_anchored(1, True)
    w.set_external_potential(2, 0.01, -0.02, 0.0)
    f = w.add_field("signal", 0.1, 0.01)
    w.set_secretion(f, 1, 0.5)
    w.set_chemotaxis(f, 2, -2.0)
    w.finalize(7)
    return w, dims


def check(w, dims):
    labels = w.snapshot()
    n_records = w.n_cells() + 1
    assert all(0 <= l < n_records for l in labels)
    got = (w.cell_volumes(), w.cell_surfaces(), w.cell_coms())
    assert got == expected_trackers(labels, dims, True, 2, n_records), "trackers differ from the grid"
    conc = w.field_conc(0)
    assert len(conc) == len(labels) and all(math.isfinite(c) and c >= 0 for c in conc)


def main():
    side, steps, every = (int(a) for a in (sys.argv[1:] + ["48", "4000", "250"][len(sys.argv) - 1:])[:3])
    w, dims = build(side)
    sites = dims[0] * dims[1] * dims[2]
    check(w, dims)
    start = time.perf_counter()
    for done in range(every, steps + 1, every):
        if (done // every) % 2:
            w.step(every)
        else:
            w.step_parallel(every, 8)
        check(w, dims)
    print(f"{steps} steps x {sites} sites = {steps * sites:.3e} site-steps checked every {every} steps "
          f"in {time.perf_counter() - start:.0f} s; {w.n_cells()} cells")


if __name__ == "__main__":
    main()
