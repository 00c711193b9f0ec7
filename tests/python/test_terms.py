"""The optional energy terms and the shape queries, driven from Python."""

import math

import pytest

from morva_core import World

from conftest import fault_of, new_world, sorting_world

def test_contact_area_of_a_single_site_and_of_unknown_ids():
    w = World((5, 5, 1), "noflux", 2, 1.0)
    c = w.add_cell(2, 1.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 2, 2, 0, 3, 3, 1)
    w.finalize(0)
    assert w.cell_contact_area_by_type(c) == {0: 8}
    assert w.cell_contact_area_by_type(99) == {}


def bar_world(length):
    w = World((12, 12, 1), "noflux", 2, 1.0)
    c = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 1, 5, 0, 1 + length, 6, 1)
    w.finalize(0)
    return w, c


@pytest.mark.parametrize("length", [1, 5])
def test_length_of_a_bar(length):
    w, c = bar_world(length)
    assert w.cell_length(c) == pytest.approx(math.sqrt(length * length - 1), abs=1e-12)
    lengths = w.cell_lengths()
    assert len(lengths) == w.n_cells() + 1
    assert lengths[c] == w.cell_length(cell_id=c)


def test_cell_length_of_an_unknown_id_is_an_internal_fault():
    w, _ = bar_world(3)
    err = fault_of(lambda: w.cell_length(2))
    assert err.args == ("index out of bounds: the len is 2 but the index is 2",)


def test_membrane_anchors_must_be_a_sequence_of_sizes():
    w = new_world()
    with pytest.raises(TypeError) as info:
        w.set_membrane("12", 1.0, 0.0)
    assert str(info.value) == "argument 'anchors': Can't extract `str` to `Vec`"
    with pytest.raises(OverflowError):
        w.set_membrane([-1], 1.0, 0.0)
    w.set_membrane(range(3), 1.0, 0.0)
    w.set_membrane([10**9], k=1.0, band=0.0)  # outside the box: ignored


def pieces(snapshot, nx, ny, label):
    """Number of 4-connected pieces of `label` in a periodic 2-D grid."""
    sites = {i for i, v in enumerate(snapshot) if v == label}
    count = 0
    while sites:
        count += 1
        stack = [sites.pop()]
        while stack:
            s = stack.pop()
            x, y = s % nx, s // nx
            for n in ((x + 1) % nx + nx * y, (x - 1) % nx + nx * y, x + nx * ((y + 1) % ny), x + nx * ((y - 1) % ny)):
                if n in sites:
                    sites.remove(n)
                    stack.append(n)
    return count


def four_cells(w, target_volume, lambda_volume, origin, spacing, size):
    """Four type-1 cells of size[0] x size[1] sites on a 2 x 2 grid; returns their ids."""
    cells = []
    for i in range(4):
        c = w.add_cell(1, target_volume, lambda_volume, 0.0, 0.0)
        x0, y0 = origin + spacing * (i % 2), origin + spacing * (i // 2)
        w.seed_block(c, x0, y0, 0, x0 + size[0], y0 + size[1], 1)
        cells.append(c)
    return cells


@pytest.mark.physics
def test_connectivity_keeps_hot_cells_in_one_piece():
    w = World((30, 30, 1), "periodic", 1, 1.0)
    cells = four_cells(w, 40.0, 0.5, origin=3, spacing=14, size=(7, 6))
    w.set_contact(0, 1, 1.0)
    w.set_contact(1, 1, 1.0)
    w.set_connectivity(1, True)
    w.finalize(11)
    w.set_connectivity_medium(False)
    for _ in range(10):
        w.step(20)
        snap = w.snapshot()
        for c in cells:
            if w.cell_volumes()[c] > 0:
                assert pieces(snap, 30, 30, c) == 1


@pytest.mark.physics
def test_length_constraint_stretches_cells_toward_the_target():
    w = World((40, 40, 1), "periodic", 2, 6.0)
    cells = four_cells(w, 36.0, 2.0, origin=4, spacing=20, size=(6, 6))
    w.set_contact(0, 1, 4.0)
    w.set_length_constraint(1, 14.0, 3.0)
    w.set_connectivity(1, True)
    w.finalize(4)
    before = sum(w.cell_length(c) for c in cells) / 4
    w.step(150)
    after = sum(w.cell_length(c) for c in cells) / 4
    assert abs(after - 14.0) < abs(before - 14.0) - 3.0


def test_junction_and_membrane_settings_run_in_a_sweep():
    w = sorting_world(seed=2)
    w.set_junction(1, True)
    w.set_junction(2, True)
    w.set_junction_lambda(3.0)
    w.set_membrane([0, 5, 10], 0.5, 2.0)
    w.set_membrane_anchored(1, True)
    w.step(5)
    counts = [0] * (w.n_cells() + 1)
    for label in w.snapshot():
        counts[label] += 1
    assert counts == w.cell_volumes()
