"""Small factories and hostile little objects shared by the contract tests."""

import pytest

from morva_core import World


def new_world(dims=(4, 4, 1), boundary="periodic", neighbor_order=1, temperature=1.0):
    return World(dims, boundary, neighbor_order, temperature)


def two_cell_world(seed=None):
    """A 4x4 box with cell 1 (type 1) on the left half and cell 2 (type 2) on the right half."""
    w = new_world(neighbor_order=2, temperature=5.0)
    a = w.add_cell(1, 8.0, 1.0, 0.0, 0.0)
    b = w.add_cell(2, 8.0, 1.0, 0.0, 0.0)
    w.seed_block(a, 0, 0, 0, 2, 4, 1)
    w.seed_block(b, 2, 0, 0, 4, 4, 1)
    w.set_contact(1, 2, 3.0)
    if seed is not None:
        w.finalize(seed)
    return w


def sorting_world(seed, side=40, cells_per_side=4, block=6):
    """A small two-type differential-adhesion tissue, finalized with `seed`."""
    w = new_world((side, side, 1), "periodic", 2, 10.0)
    margin = (side - cells_per_side * block) // 2
    for by in range(cells_per_side):
        for bx in range(cells_per_side):
            c = w.add_cell(1 + (bx + by) % 2, block * block, 1.0, 0.0, 0.0)
            x0, y0 = margin + block * bx, margin + block * by
            w.seed_block(c, x0, y0, 0, x0 + block, y0 + block, 1)
    for a, b, j in [(0, 1, 16.0), (0, 2, 16.0), (1, 1, 2.0), (2, 2, 14.0), (1, 2, 11.0)]:
        w.set_contact(a, b, j)
    w.finalize(seed)
    return w


class Hostile:
    """An integer and a real number whose conversion first runs `callback`."""

    def __init__(self, callback, value=1):
        self.callback = callback
        self.value = value

    def __index__(self):
        self.callback()
        return self.value

    def __float__(self):
        self.callback()
        return float(self.value)


def fault_of(call):
    """Runs `call`, which must raise the internal-fault exception, and returns that exception."""
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value).__name__ == "PanicException"
    return info.value


@pytest.fixture
def panic_type():
    w = new_world()
    return type(fault_of(lambda: w.seed_from_labels([1], {}, 1, 1.0, 1.0)))
