"""Persistent motion and cells' own forces through morva._native: directions drawn at the first step,
set and read as arrays, all-or-none refusals, and kept by checkpoints."""

import numpy as np
import pytest

from morva import _native
from native_scenarios import tissue


def ids(*values):
    return np.array(values, np.uint32)


def test_directions_are_drawn_at_the_first_step_and_set_as_arrays():
    w = tissue((20, 18, 1), size=5)
    _native.set_persistence(w, 1, 30.0, 5, 0.8)
    assert not _native.cells(w)["direction"].any()
    w.finalize(3)
    w.step(1)
    table = _native.cells(w)
    drawn = table["direction"][table["type"] == 1]
    assert drawn.shape[0] > 0 and np.allclose(np.linalg.norm(drawn, axis=1), 1.0) and not drawn[:, 2].any()
    assert not table["direction"][table["type"] == 2].any()
    _native.set_directions(w, ids(1, 2), np.array([[3.0, 4.0, 0.0], [0.0, -2.0, 0.0]]))
    assert _native.cells(w)["direction"][1:3].tolist() == [[0.6, 0.8, 0.0], [0.0, -1.0, 0.0]]


def test_refusals_name_the_fault_and_change_nothing():
    w = tissue((12, 12, 1), size=4)
    with pytest.raises(ValueError, match="persistence = 1.5 is not between 0 and 1"):
        _native.set_persistence(w, 1, 5.0, 3, 1.5)
    with pytest.raises(ValueError, match="persistence_interval = 0"):
        _native.set_persistence(w, 1, 5.0, 0, 0.5)
    with pytest.raises(ValueError, match="a direction in a flat world has z = 0"):
        _native.set_directions(w, ids(1, 2), np.array([[1.0, 0.0, 0.0], [1.0, 0.0, 1.0]]))
    assert not _native.cells(w)["direction"].any()  # the first, valid, one was not kept either
    with pytest.raises(ValueError, match="cell_id 0 is not a cell"):
        _native.set_cell_forces(w, ids(1, 0), np.ones((2, 3)))
    assert not _native.own_forces(w).any()
    with pytest.raises(ValueError, match="must be a C-contiguous float64 array shaped"):
        _native.set_directions(w, ids(1), np.ones((1, 2)))
    with pytest.raises(ValueError, match="1 ids but 2 vectors"):
        _native.set_cell_forces(w, ids(1), np.ones((2, 3)))


@pytest.mark.parametrize("parallel", [False, True])
def test_a_checkpoint_resumes_persistent_motion_bit_for_bit(parallel):
    w = tissue((24, 24, 1), size=5)
    _native.set_persistence(w, 1, 40.0, 3, 0.7)
    _native.set_cell_forces(w, ids(3), np.array([[1.0, 0.0, 0.0]]))
    w.finalize(9)
    run = (lambda world, n: world.step_parallel(n, 6)) if parallel else (lambda world, n: world.step(n))
    run(w, 4)
    twin = _native.loads(_native.dumps(w))
    run(w, 5)
    run(twin, 5)
    assert twin.snapshot() == w.snapshot()
    assert np.array_equal(_native.cells(twin)["direction"], _native.cells(w)["direction"])
    assert _native.dumps(twin) == _native.dumps(w)
