"""Core methods: their signatures, the queries before and after finalize, and internal faults."""

import pytest

from conftest import fault_of, new_world, sorting_world, two_cell_world

def test_fresh_world_queries():
    w = new_world((3, 2, 1))
    assert w.dims() == (3, 2, 1)
    assert w.n_cells() == 0
    assert w.snapshot() == [0] * 6
    assert w.cell_types() == [0]
    assert w.cell_volumes() == [0]
    assert w.cell_surfaces() == [0]
    assert w.cell_coms() == [(0.0, 0.0, 0.0)]


def test_add_cell_hands_out_consecutive_ids_and_records_the_type():
    w = new_world()
    assert [w.add_cell(t, 1.0, 1.0, 0.0, 0.0) for t in (3, 1, 65535)] == [1, 2, 3]
    assert w.n_cells() == 3
    assert w.cell_types() == [0, 3, 1, 65535]


def test_trackers_are_zero_before_finalize_and_counted_after():
    w = two_cell_world()
    assert w.cell_volumes() == [0, 0, 0]
    assert w.cell_coms() == [(0.0, 0.0, 0.0)] * 3
    w.finalize(0)
    assert w.cell_volumes() == [0, 8, 8]
    # Order 2 on a periodic 4x4 box: every site of a half touches the other half through 3 of its
    # 8 neighbours on each of the two shared columns.
    assert w.cell_surfaces() == [0, 24, 24]


def test_per_record_lists_match_the_label_grid():
    w = sorting_world(seed=4)
    w.step(5)
    labels = w.snapshot()
    nx, ny, _ = w.dims()
    assert len(w.cell_volumes()) == len(w.cell_types()) == len(w.cell_coms()) == w.n_cells() + 1
    for cell, (volume, com) in enumerate(zip(w.cell_volumes(), w.cell_coms())):
        sites = [s for s, label in enumerate(labels) if label == cell]
        assert volume == len(sites)
        if sites:
            assert com[0] == pytest.approx(sum(s % nx for s in sites) / len(sites))
            assert com[1] == pytest.approx(sum(s // nx for s in sites) / len(sites))
            assert com[2] == 0.0


def test_centre_of_mass_uses_raw_coordinates_and_zero_for_empty_cells():
    w = new_world((6, 1, 1), "periodic", 1, 1.0)
    wrapped = w.add_cell(1, 2.0, 1.0, 0.0, 0.0)
    empty = w.add_cell(1, 2.0, 1.0, 0.0, 0.0)
    w.seed_block(wrapped, 0, 0, 0, 1, 1, 1)
    w.seed_block(wrapped, 5, 0, 0, 6, 1, 1)
    w.finalize(0)
    coms = w.cell_coms()
    assert coms[wrapped] == (2.5, 0.0, 0.0)  # not unwrapped across the periodic face
    assert coms[empty] == (0.0, 0.0, 0.0)


def test_snapshot_is_in_site_index_order():
    w = new_world((3, 2, 2), "noflux", 1, 1.0)
    c = w.add_cell(1, 1.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 2, 1, 1, 3, 2, 2)  # x=2, y=1, z=1: site 2 + 3 * (1 + 2 * 1) = 11
    assert w.snapshot() == [0] * 11 + [c]


def test_step_with_keyword_and_zero():
    w = two_cell_world(seed=1)
    before = w.snapshot()
    w.step(mcs=0)
    assert w.snapshot() == before
    w.step(mcs=10)
    assert w.snapshot() != before
    assert set(w.snapshot()) <= {0, 1, 2}
    assert sum(w.cell_volumes()) == 16


# ------------------------------------------------------------------------------------ internal faults


def test_internal_fault_is_a_base_exception_with_the_check_text(panic_type, capfd):
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)

    w = new_world()
    with pytest.raises(panic_type) as info:
        try:
            w.seed_from_labels([1, 2, 3], {}, 1, 1.0, 1.0)
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught as an Exception")
    assert info.value.args == ("labels length must equal n_sites: 3 != 16",)
    err = capfd.readouterr().err
    assert "src/engine/init.cpp:" in err
    assert "labels length must equal n_sites: 3 != 16" in err
    assert len(err.strip().splitlines()) == 1


def test_fault_class_is_made_once(panic_type):
    w = new_world()
    assert type(fault_of(lambda: w.seed_from_labels([], {}, 1, 1.0, 1.0))) is panic_type


def test_world_stays_usable_after_a_fault():
    w = two_cell_world()
    fault_of(lambda: w.seed_from_labels([7] * 3, {}, 1, 1.0, 1.0))
    assert w.n_cells() == 2  # nothing changed
    assert w.seed_from_labels([0] * 15 + [7], {}, 1, 1.0, 1.0) == {7: 3}
    w.finalize(0)
    w.step(2)
    assert w.cell_volumes()[3] >= 0
