"""Settings of the optional terms and the population edits between steps."""

import numpy as np
import pytest

from morva_core import World

from conftest import fault_of, new_world, two_cell_world
from test_lifecycle import run_python

# -------------------------------------------------------------------------------------- switches


@pytest.mark.parametrize("value", [True, False, np.True_, np.False_])
def test_switches_take_booleans(value):
    w = new_world()
    w.set_connectivity(1, value)
    w.set_connectivity_medium(on=value)
    w.set_junction(2, value)
    w.set_membrane_anchored(cell_type=3, on=value)


@pytest.mark.parametrize("value", [1, 0, 1.0, "yes", None, np.int8(1)])
def test_switches_refuse_everything_else(value):
    w = new_world()
    name = type(value).__qualname__
    with pytest.raises(TypeError) as info:
        w.set_connectivity(1, value)
    assert str(info.value) == f"argument 'on': '{name}' object cannot be converted to 'PyBool'"
    for setter in (w.set_connectivity_medium, lambda v: w.set_junction(1, v), lambda v: w.set_membrane_anchored(1, v)):
        with pytest.raises(TypeError, match="^argument 'on': "):
            setter(value)


def test_settings_are_accepted_in_both_states():
    w = two_cell_world()
    w.set_junction_lambda(2.0)
    w.set_external_potential(1, 0.5, 0.0, 0.0)
    w.finalize(0)
    w.set_junction_lambda(**{"lambda": 3.0})
    w.set_external_potential(cell_type=2, fx=0.0, fy=-1.0, fz=0.0)
    w.step(2)
    with pytest.raises(TypeError, match="^argument 'lambda': must be real number, not str$"):
        w.set_junction_lambda("strong")


@pytest.mark.parametrize("fx,direction", [(0.5, 1), (-0.5, -1)])
def test_external_force_moves_a_cell_along_x(fx, direction):
    w = World((30, 5, 1), "noflux", 2, 4.0)
    c = w.add_cell(1, 16.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 12, 0, 0, 16, 4, 1)
    w.set_contact(0, 1, 2.0)
    w.set_external_potential(1, fx, 0.0, 0.0)  # a force along +x for fx > 0
    w.finalize(5)
    start = w.cell_coms()[c][0]
    w.step(100)
    assert (w.cell_coms()[c][0] - start) * direction > 3


# ------------------------------------------------------------------------------------------ edits


def test_remove_cells_turns_sites_to_medium_and_keeps_records():
    w = two_cell_world(seed=0)
    w.remove_cells([1, 99, 0])  # ids without a record and the medium are ignored
    assert w.n_cells() == 2
    assert w.cell_volumes() == [8, 0, 8]
    assert 1 not in w.snapshot()
    assert w.cell_coms()[1] == (0.0, 0.0, 0.0)
    with pytest.raises(TypeError, match="^argument 'ids': Can't extract `str` to `Vec`$"):
        w.remove_cells("12")


def test_divide_cells_returns_daughters_and_recomputes_trackers():
    w = new_world((8, 8, 1), "periodic", 2, 1.0)
    c = w.add_cell(1, 32.0, 1.0, 0.0, 0.0)
    small = w.add_cell(2, 4.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 0, 0, 0, 8, 4, 1)
    w.seed_block(small, 0, 6, 0, 2, 8, 1)
    w.finalize(0)
    daughters = w.divide_cells(threshold=20.0, reset_target=16.0)
    assert daughters == [3]
    assert w.n_cells() == 3
    volumes = w.cell_volumes()
    assert volumes[c] + volumes[3] == 32 and volumes[small] == 4
    assert w.cell_types()[3] == 1
    assert w.divide_cells(100.0, 1.0) == []


def face_connected_pieces(mask):
    seen, pieces = np.zeros_like(mask), 0
    for start in zip(*np.nonzero(mask)):
        if seen[start]:
            continue
        pieces += 1
        stack = [start]
        seen[start] = True
        while stack:
            y, x = stack.pop()
            for n in ((y + 1, x), (y - 1, x), (y, x + 1), (y, x - 1)):
                if 0 <= n[0] < mask.shape[0] and 0 <= n[1] < mask.shape[1] and mask[n] and not seen[n]:
                    seen[n] = True
                    stack.append(n)
    return pieces


@pytest.mark.parametrize("guarded", [True, False])
def test_a_guarded_c_shaped_cell_divides_into_two_connected_daughters(guarded):
    w = new_world((20, 20, 1), "noflux", 1, 1.0)
    c = w.add_cell(1, 100.0, 1.0, 0.0, 0.0)
    for box in [(2, 2, 15, 5), (2, 5, 5, 12), (2, 12, 15, 15)]:  # top bar, left bar, bottom bar: a C
        w.seed_block(c, box[0], box[1], 0, box[2], box[3], 1)
    w.set_connectivity(1, guarded)
    w.finalize(0)
    (daughter,) = w.divide_cells(10.0, 50.0)
    labels = np.array(w.snapshot()).reshape(20, 20)
    pieces = [face_connected_pieces(labels == cell) for cell in (c, daughter)]
    volumes = w.cell_volumes()
    assert volumes[c] + volumes[daughter] == 99
    if guarded:
        assert pieces == [1, 1] and min(volumes[c], volumes[daughter]) >= 33
    else:
        assert pieces == [1, 2] and volumes[daughter] == 36  # unguarded cells keep the plane cut at x = 8


def trajectory(edit, seed=2, mcs=25):
    """A 10x10 box with two cells of type 0 and 1; `edit` runs before finalize."""
    w = World((10, 10, 1), "periodic", 2, 5.0)
    a = w.add_cell(0, 10.0, 1.0, 0.0, 0.0)
    b = w.add_cell(1, 10.0, 1.0, 0.0, 0.0)
    w.seed_block(a, 1, 1, 0, 4, 4, 1)
    w.seed_block(b, 6, 6, 0, 9, 9, 1)
    w.set_contact(0, 1, 4.0)
    edit(w)
    w.finalize(seed)
    w.step(mcs)
    return w.snapshot()


def test_grow_adds_to_the_target_volume_of_every_cell_of_the_type():
    grown = trajectory(lambda w: w.grow(0, 15.0))
    assert grown == trajectory(lambda w: w.set_target_volume(1, 25.0))
    assert grown != trajectory(lambda w: None)
    assert trajectory(lambda w: w.grow(7, 15.0)) == trajectory(lambda w: None)


def test_set_target_volume_and_set_cell_type_write_one_record():
    w = two_cell_world(seed=0)
    w.set_cell_type(2, 9)
    assert w.cell_types() == [0, 1, 9]
    w.set_target_volume(cell_id=1, v=12.0)
    w.step(1)


@pytest.mark.parametrize(
    "call",
    [
        lambda w: w.set_cell_type(w.n_cells() + 1, 1),
        lambda w: w.set_target_volume(w.n_cells() + 1, 1.0),
    ],
)
def test_edits_of_unknown_cells_are_internal_faults(call):
    w = two_cell_world(seed=0)
    before = (w.cell_types(), w.snapshot())
    err = fault_of(lambda: call(w))
    assert err.args == ("index out of bounds: the len is 3 but the index is 3",)
    assert (w.cell_types(), w.snapshot()) == before


# ---------------------------------------------------------------------------------------- max_type


def test_no_call_naming_the_largest_type_makes_finalize_large():
    # A 65,536-wide matrix cannot be allocated under this limit. The contact table covers only the
    # types that have entries, so no call that names type 65,535 makes finalize ask for one.
    out = run_python(
        """
        import resource
        from morva_core import World
        resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        T = 65535
        calls = {
            "add_cell": lambda w: w.add_cell(T, 1.0, 1.0, 0.0, 0.0),
            "set_contact": lambda w: w.set_contact(0, T, 1.0),
            "seed_from_labels types": lambda w: w.seed_from_labels([0] * 16, {1: T}, 1, 1.0, 1.0),
            "seed_from_labels default": lambda w: w.seed_from_labels([0] * 16, {}, T, 1.0, 1.0),
            "set_connectivity": lambda w: w.set_connectivity(T, False),
            "set_external_potential": lambda w: w.set_external_potential(T, 0.0, 0.0, 0.0),
            "set_junction": lambda w: w.set_junction(T, False),
            "set_length_constraint": lambda w: w.set_length_constraint(T, 0.0, 0.0),
            "set_membrane_anchored": lambda w: w.set_membrane_anchored(T, False),
            "set_secretion": lambda w: w.set_secretion(0, T, 1.0),
            "set_chemotaxis": lambda w: w.set_chemotaxis(0, T, 1.0),
            "set_chemotaxis_occupancy": lambda w: w.set_chemotaxis_occupancy(0, T, 1.0, 1.0, 1.0, 1.0),
            "set_cell_type": lambda w: w.set_cell_type(1, T),
            "grow": lambda w: w.grow(T, 1.0),
        }
        for name, call in calls.items():
            w = World((4, 4, 1), "periodic", 1, 1.0)
            w.add_field("f", 0.0, 0.0)
            w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
            call(w)
            try:
                w.finalize(0)
                print(name, "small")
            except MemoryError:
                print(name, "large")
        """
    )
    assert dict(line.rsplit(" ", 1) for line in out.splitlines()) == {
        "add_cell": "small",
        "set_contact": "small",
        "seed_from_labels types": "small",
        "seed_from_labels default": "small",
        "set_connectivity": "small",
        "set_external_potential": "small",
        "set_junction": "small",
        "set_length_constraint": "small",
        "set_membrane_anchored": "small",
        "set_secretion": "small",
        "set_chemotaxis": "small",
        "set_chemotaxis_occupancy": "small",
        "set_cell_type": "small",
        "grow": "small",
    }
