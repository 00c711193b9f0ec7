"""Field methods: creation, parameters, the advance loop, and the clamped point accessors."""

import pytest

from morva_core import World

from conftest import Hostile, fault_of, new_world, two_cell_world

def test_add_field_hands_out_indices_in_the_setup_state_only():
    w = new_world()
    assert w.add_field("a", 0.1, 0.0) == 0
    assert w.add_field(name="b", d=0.2, decay=0.01) == 1
    w.finalize(0)
    with pytest.raises(RuntimeError, match="^add_field after finalize$"):
        w.add_field("c", 0.1, 0.0)
    assert len(w.field_conc(1)) == 16
    fault_of(lambda: w.field_conc(2))


def test_field_conc_has_one_float_per_site():
    w = new_world((3, 2, 2))
    w.add_field("a", 0.1, 0.0)
    conc = w.field_conc(0)
    assert conc == [0.0] * 12 and all(type(c) is float for c in conc)


def test_point_accessors_clamp_coordinates_to_the_box():
    w = new_world((4, 3, 2))
    w.add_field("a", 0.0, 0.0)
    w.field_add_source_at(0, 10**6, 0, 0, 2.0)
    w.field_add_source_at(0, 1, 2**64 - 1, 5, 3.0)
    assert w.field_value_at(0, 3, 0, 0) == 2.0
    assert w.field_value_at(0, 10**6, 0, 0) == 2.0
    assert w.field_value_at(0, 1, 2, 1) == 3.0
    conc = w.field_conc(0)
    assert conc[3] == 2.0 and conc[1 + 4 * (2 + 3 * 1)] == 3.0
    assert sum(conc) == 5.0


def test_bad_field_index_is_an_internal_fault_and_changes_nothing():
    w = new_world()
    w.add_field("a", 0.0, 0.0)
    err = fault_of(lambda: w.field_value_at(1, 0, 0, 0))
    assert err.args == ("index out of bounds: the len is 1 but the index is 1",)
    for call in (
        lambda: w.field_add_source_at(1, 0, 0, 0, 1.0),
        lambda: w.set_field_dynamics(3, 1.0, 1),
        lambda: w.set_secretion(1, 1, 1.0),
        lambda: w.set_cell_secretion_scale(1, 0, 1.0),
        lambda: w.set_chemotaxis(1, 1, 1.0),
        lambda: w.set_chemotaxis_occupancy(1, 1, 1.0, 1.0, 1.0, 1.0),
    ):
        fault_of(call)
    assert w.field_conc(0) == [0.0] * 16
    # A record of volume 0 (here every record: trackers wait for finalize) reads 0.0 before the
    # field index is looked at.
    assert w.field_mean_at_cell(7, 0) == 0.0
    w.finalize(0)
    fault_of(lambda: w.field_mean_at_cell(1, 0))


def test_advance_fields_repeats_the_field_advance():
    def world():
        w = new_world((6, 6, 1))
        w.add_field("a", 0.1, 0.01)
        w.field_add_source_at(0, 2, 3, 0, 10.0)
        return w

    a, b = world(), world()
    a.advance_fields(3)
    for _ in range(3):
        b.advance_fields(1)
    assert a.field_conc(0) == b.field_conc(0)
    assert a.field_conc(0) != world().field_conc(0)
    c = world()
    assert c.advance_fields(0) is None
    assert c.field_conc(0) == world().field_conc(0)


def test_field_methods_run_in_both_states():
    w = two_cell_world()
    w.add_field("a", 0.05, 0.0)
    w.set_field_dynamics(0, 0.5, 2)
    w.set_secretion(0, 1, 1.0)
    w.set_cell_secretion_scale(field_idx=0, cell_id=2, scale=0.5)
    w.set_chemotaxis(0, 2, lambda_val=1.0)
    w.finalize(3)
    w.set_chemotaxis_occupancy(0, 1, 1.0, 0.5, 2.0, 1.0)
    w.advance_fields(2)
    w.step(2)
    assert sum(w.field_conc(0)) > 0.0


def test_field_mean_at_cell_averages_the_cells_sites():
    s = two_cell_world()
    s.add_field("a", 0.0, 0.0)
    for x in range(4):
        s.field_add_source_at(0, x, 0, 0, float(x + 1))
    s.finalize(0)
    labels, conc = s.snapshot(), s.field_conc(0)
    for cell in (1, 2):
        values = [c for c, l in zip(conc, labels) if l == cell]
        assert s.field_mean_at_cell(0, cell) == pytest.approx(sum(values) / len(values))
    fault_of(lambda: s.field_mean_at_cell(0, 3))


def test_shared_queries_may_nest_but_not_inside_exclusive_calls():
    w = new_world()
    w.add_field("a", 0.0, 0.0)
    assert w.field_value_at(Hostile(w.n_cells, 0), 0, 0, 0) == 0.0
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        w.field_value_at(0, Hostile(lambda: w.advance_fields(1)), 0, 0)
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        w.field_add_source_at(0, 0, 0, 0, Hostile(lambda: w.field_conc(0)))
    assert w.field_conc(0) == [0.0] * 16


@pytest.mark.parametrize(
    "call,message",
    [
        (lambda w: w.add_field(1, 0.1, 0.0), "argument 'name': 'int' object cannot be converted to 'PyString'"),
        (lambda w: w.set_field_dynamics(0, 1.0, 2.0), "argument 'substeps': 'float' object cannot be interpreted as an integer"),
        (lambda w: w.field_value_at(0, 0, 0, "z"), "argument 'z': 'str' object cannot be interpreted as an integer"),
        (lambda w: w.set_chemotaxis(0, 1, None), "argument 'lambda_val': must be real number, not NoneType"),
        (lambda w: w.field_conc(), "World.field_conc() missing 1 required positional argument: 'field_idx'"),
        (
            lambda w: w.field_add_source_at(0, 0, 0, 0),
            "World.field_add_source_at() missing 1 required positional argument: 'amount'",
        ),
    ],
)
def test_field_argument_errors(call, message):
    w = new_world()
    w.add_field("a", 0.0, 0.0)
    with pytest.raises(TypeError) as info:
        call(w)
    assert str(info.value) == message


def test_narrow_field_arguments_overflow():
    w = new_world()
    w.add_field("a", 0.0, 0.0)
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        w.advance_fields(2**32)
    with pytest.raises(OverflowError):
        w.field_value_at(-1, 0, 0, 0)
