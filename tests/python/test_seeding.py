"""Laying out the initial tissue: seed_block and seed_from_labels."""

import numpy as np
import pytest

from morva_core import World

from conftest import fault_of, new_world


def line_world(n=4):
    return World((n, 1, 1), "noflux", 1, 1.0)


def test_label_image_makes_one_cell_per_distinct_value():
    w = line_world()
    assert w.seed_from_labels([0, 7, 7, 3], {3: 2}, 1, 9.0, 2.0) == {7: 1, 3: 2}
    assert w.snapshot() == [0, 1, 1, 2]
    assert w.cell_types() == [0, 1, 2]
    assert w.n_cells() == 2


def test_ids_continue_after_add_cell_and_earlier_seedings():
    w = line_world()
    w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    assert w.seed_from_labels([0, 7, 7, 3], {}, 5, 1.0, 1.0) == {7: 3, 3: 4}
    # A value equal to an existing id still makes a new cell.
    assert w.seed_from_labels([1, 0, 0, 0], {}, 5, 1.0, 1.0) == {1: 5}
    assert w.cell_types() == [0, 1, 1, 5, 5, 5]


def test_zero_keeps_a_painted_label():
    w = line_world()
    c = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 0, 0, 0, 2, 1, 1)
    w.seed_from_labels([0, 0, 9, 0], {}, 1, 1.0, 1.0)
    assert w.snapshot() == [c, c, 2, 0]


def test_seeded_cells_have_no_surface_constraint():
    # With a surface constraint, a lone site would be pulled towards its target surface; the volume
    # term alone keeps a cell of target volume 1 exactly where it is at temperature ~0.
    w = World((5, 5, 1), "noflux", 1, 1e-9)
    w.seed_from_labels([0] * 12 + [4] + [0] * 12, {}, 1, 1.0, 100.0)
    w.finalize(0)
    w.step(20)
    assert w.snapshot()[12] == 1 and w.cell_volumes()[1] == 1


def test_volumes_after_finalize_count_the_image():
    rng = np.random.default_rng(5)
    image = rng.integers(0, 6, size=64).tolist()
    w = World((8, 8, 1), "periodic", 2, 1.0)
    made = w.seed_from_labels(image, {}, 1, 1.0, 1.0)
    w.finalize(0)
    volumes = w.cell_volumes()
    for value, cell in made.items():
        assert volumes[cell] == image.count(value)
    assert volumes[0] == image.count(0)


def test_wrong_image_length_is_an_internal_fault_and_changes_nothing():
    w = line_world()
    err = fault_of(lambda: w.seed_from_labels([1, 2, 3, 4, 5], {}, 1, 1.0, 1.0))
    assert err.args == ("labels length must equal n_sites: 5 != 4",)
    assert w.n_cells() == 0 and w.snapshot() == [0, 0, 0, 0]


def test_seed_from_labels_after_finalize_is_refused():
    w = line_world()
    w.finalize(0)
    with pytest.raises(RuntimeError, match="^seed after finalize$"):
        w.seed_from_labels([0, 1, 0, 0], {1: 300}, 200, 1.0, 1.0)
    assert w.n_cells() == 0


# ------------------------------------------------------------------------------------------ blocks


def test_block_paints_exactly_its_half_open_box():
    w = line_world()
    c = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 1, 0, 0, 3, 1, 1)
    assert w.snapshot() == [0, c, c, 0]


def test_block_in_three_dimensions_overwrites_earlier_labels():
    w = World((3, 3, 3), "noflux", 1, 1.0)
    a = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    b = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.seed_block(a, 0, 0, 0, 3, 3, 3)
    w.seed_block(b, 1, 1, 1, 3, 2, 3)
    expected = [b if (x >= 1 and y == 1 and z >= 1) else a for z in range(3) for y in range(3) for x in range(3)]
    assert w.snapshot() == expected
    w.seed_block(0, 0, 0, 0, 1, 1, 1)  # medium paints too
    assert w.snapshot()[0] == 0


@pytest.mark.parametrize("box", [(2, 0, 0, 2, 5, 5), (0, 3, 0, 9, 1, 9), (0, 0, 1, 9, 9, 0)])
def test_empty_box_paints_nothing(box):
    w = line_world()
    w.seed_block(1, *box)  # neither the id nor the far bounds matter when nothing is painted
    assert w.snapshot() == [0, 0, 0, 0]


@pytest.mark.parametrize(
    "box,message",
    [
        ((0, 0, 0, 5, 1, 1), "seed_block: x1 = 5 reaches beyond the lattice (nx = 4)"),
        ((3, 0, 0, 4, 2, 1), "seed_block: y1 = 2 reaches beyond the lattice (ny = 1)"),
        ((0, 0, 0, 1, 1, 2), "seed_block: z1 = 2 reaches beyond the lattice (nz = 1)"),
    ],
)
def test_block_beyond_the_lattice_is_refused_and_paints_nothing(box, message):
    w = line_world()
    c = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    with pytest.raises(ValueError) as info:
        w.seed_block(c, *box)
    assert str(info.value) == message
    assert w.snapshot() == [0, 0, 0, 0]


def test_block_with_an_unknown_cell_is_refused_and_finalize_still_works():
    w = new_world()
    w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    with pytest.raises(ValueError) as info:
        w.seed_block(5, 0, 0, 0, 1, 1, 1)
    assert str(info.value) == "seed_block: cell_id 5 has no record (the last id is 1)"
    assert w.snapshot() == [0] * 16
    w.finalize(1)
    assert w.cell_volumes() == [16, 0]


def test_seed_block_after_finalize_is_refused():
    w = line_world()
    c = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.finalize(0)
    with pytest.raises(RuntimeError, match="^seed after finalize$"):
        w.seed_block(c, 0, 0, 0, 1, 1, 1)
    assert w.snapshot() == [0, 0, 0, 0]
