"""World options through morva._native: set before finalize, read back, kept by checkpoints, and
visible in the cell queries."""

import numpy as np
import pytest

import morva_core
from morva import _native
from native_scenarios import replay, state, tissue, with_terms

ALL_OFF = {"periodic_shapes": False, "com_force": False, "face_connectivity": False}
ALL_ON = {"periodic_shapes": True, "com_force": True, "face_connectivity": True}


def seam_cell_world(**options):
    """A 10 x 10 cell across x = 0 of a 100 x 60 periodic box."""
    w = morva_core.World((100, 60, 1), "periodic", 2, 5.0)
    _native.set_options(w, **options)
    c = w.add_cell(1, 100.0, 1.0, 0.0, 0.0)
    w.seed_block(c, 95, 20, 0, 100, 30, 1)
    w.seed_block(c, 0, 20, 0, 5, 30, 1)
    w.set_contact(0, 1, 10.0)
    return w


def test_options_start_off_and_each_keyword_sets_only_its_own():
    w = tissue()
    assert _native.options(w) == ALL_OFF
    _native.set_options(w, com_force=True)
    assert _native.options(w) == {**ALL_OFF, "com_force": True}
    _native.set_options(w, periodic_shapes=np.bool_(True), com_force=None)
    _native.set_options(w, face_connectivity=True)
    assert _native.options(w) == ALL_ON
    _native.set_options(w, periodic_shapes=False)
    assert _native.options(w) == {**ALL_ON, "periodic_shapes": False}


def test_bad_calls_name_the_fault_and_change_nothing():
    w = tissue()
    _native.set_options(w, com_force=True)
    with pytest.raises(TypeError, match="'periodic_shapes' must be bool or None, not 'int'"):
        _native.set_options(w, periodic_shapes=1, face_connectivity=True)
    with pytest.raises(TypeError, match="must be morva_core.World, not 'dict'"):
        _native.set_options({}, com_force=True)
    with pytest.raises(TypeError):
        _native.set_options(w, True)  # options are keyword-only
    with pytest.raises(TypeError):
        _native.set_options(w, gravity=True)
    assert _native.options(w) == {**ALL_OFF, "com_force": True}
    w.finalize(1)
    with pytest.raises(RuntimeError, match="set_options after finalize"):
        _native.set_options(w, com_force=False)
    assert _native.options(w) == {**ALL_OFF, "com_force": True}


def test_all_options_off_changes_no_result():
    untouched, switched = with_terms(tissue()), with_terms(tissue())
    _native.set_options(switched, **ALL_OFF)
    for w in (untouched, switched):
        w.finalize(31)
        replay(w, False, 0)
    assert state(switched, 0) == state(untouched, 0)


def test_seam_cell_reports_the_centre_and_length_it_looks_like():
    on, off = seam_cell_world(periodic_shapes=True), seam_cell_world()
    for w in (on, off):
        w.finalize(3)
    assert on.cell_coms()[1] == (99.5, 24.5, 0.0)
    assert on.cell_length(1) == pytest.approx(np.sqrt(99.0))
    assert off.cell_coms()[1][0] == 49.5
    assert off.cell_length(1) > 150
    table = _native.cells(on)
    assert table["com"][1].tolist() == list(on.cell_coms()[1])


@pytest.mark.parametrize("parallel", [False, True])
def test_checkpoint_twins_keep_the_options_and_run_identically(parallel):
    w = with_terms(tissue(), length=not parallel)
    _native.set_options(w, **ALL_ON)
    set_up_twin = _native.loads(_native.dumps(w))
    assert _native.options(set_up_twin) == ALL_ON
    for world in (w, set_up_twin):
        world.finalize(5)
        world.step(4)
    twin = _native.loads(_native.dumps(w))
    assert _native.options(twin) == ALL_ON
    for world in (w, twin, set_up_twin):
        replay(world, parallel, 0)
    assert state(twin, 0) == state(w, 0)
    assert state(set_up_twin, 0) == state(w, 0)
