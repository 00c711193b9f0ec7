"""The benchmark models B1 and B2 as morva_core worlds, for the Python benchmarks of morva._native."""

import morva_core


def b1(seed=1):
    """2-D cell sorting: 200 x 200, 256 cells of two types, order 2, T = 20; finalized."""
    w = morva_core.World((200, 200, 1), "periodic", 2, 20.0)
    for by in range(16):
        for bx in range(16):
            c = w.add_cell(1 + (bx + by) % 2, 100.0, 1.0, 0.0, 0.0)
            w.seed_block(c, 20 + 10 * bx, 20 + 10 * by, 0, 30 + 10 * bx, 30 + 10 * by, 1)
    for a, b, j in [(0, 1, 16.0), (0, 2, 16.0), (1, 1, 2.0), (2, 2, 14.0), (1, 2, 11.0)]:
        w.set_contact(a, b, j)
    w.finalize(seed)
    return w


def b2(seed=1):
    """3-D adhesion and volume: 100^3, 1,000 cells, order 3, T = 20; finalized."""
    w = morva_core.World((100, 100, 100), "periodic", 3, 20.0)
    for bz in range(10):
        for by in range(10):
            for bx in range(10):
                c = w.add_cell(1, 500.0, 1.0, 0.0, 0.0)
                w.seed_block(c, 10 + 8 * bx, 10 + 8 * by, 10 + 8 * bz, 18 + 8 * bx, 18 + 8 * by, 18 + 8 * bz)
    w.set_contact(0, 1, 20.0)
    w.set_contact(1, 1, 10.0)
    w.finalize(seed)
    return w
