"""Persistent motion and cells' own forces in the package: type attributes, model files, the
Simulation's direction and force methods and the cell-table columns."""

import numpy as np
import pytest

import morva
from morva import _native
from package_models import assert_type_attributes_refused


def walkers(lambda_dir=40.0, interval=5, persistence=0.9, shape=(40, 40)):
    model = morva.Model(shape, temperature=10, default_contact=0)
    model.add_type("w", volume=25, lambda_volume=2, lambda_dir=lambda_dir, persistence_interval=interval,
                   persistence=persistence)
    model.set_contact("medium", "w", 10)
    model.add_block("w", (5, 5), (10, 10))
    if len(shape) == 2:
        model.add_block("w", (20, 20), (25, 25))
    return model


def test_model_file_round_trip_keeps_the_settings(tmp_path):
    model = walkers(30.0, 7, 0.5)
    model.save(tmp_path / "m.toml")
    back = morva.load_model(tmp_path / "m.toml").types["w"]
    assert (back.lambda_dir, back.persistence_interval, back.persistence) == (30.0, 7, 0.5)


@pytest.mark.parametrize("attrs, words", [
    ({"lambda_dir": -1}, "cell type 't': lambda_dir must be at least 0, got -1"),
    ({"lambda_dir": 5, "persistence": 1.5}, "cell type 't': persistence must be at most 1, got 1.5"),
    ({"lambda_dir": 5, "persistence_interval": 0}, "cell type 't': persistence_interval must be at least 1, got 0"),
    ({"lambda_dir": 5, "persistence_interval": 2.5}, "cell type 't': persistence_interval must be an integer"),
])
def test_bad_attributes_are_refused_naming_type_key_file_and_line(tmp_path, attrs, words):
    assert_type_attributes_refused(tmp_path, attrs, words)


def test_directions_are_read_set_and_shown_in_the_cell_table():
    sim = walkers().build(seed=4)
    assert not sim.directions().any()
    sim.run(1, progress=False)
    assert np.allclose(np.linalg.norm(sim.directions(), axis=1), 1)
    sim.set_directions([1, 2], [[0, -3], [2, 0]])
    assert sim.directions().tolist() == [[0.0, -1.0, 0.0], [1.0, 0.0, 0.0]]
    table = sim.cells()
    assert table[["dir_x", "dir_y", "dir_z"]].values.tolist() == [[0.0, -1.0, 0.0], [1.0, 0.0, 0.0]]
    with pytest.raises(ValueError, match="directions has a z component in a 2-D model"):
        sim.set_directions([1], (0, 1, 1))
    with pytest.raises(ValueError, match="no cell with id 9"):
        sim.set_directions([9], (0, 1))
    with pytest.raises(ValueError, match="each of 2 numbers, got shape"):
        sim.set_directions([1, 2], [[1, 0]] * 3)


def test_a_cells_own_force_acts_as_its_types_force_would():
    def run(type_force, own):
        model = walkers(lambda_dir=0.0, shape=(40, 30))
        model.types["w"].force = type_force
        sim = model.build(seed=2)
        for cell_id, force in own.items():
            sim.set_cell_forces([cell_id], force)
        sim.run(30, progress=False)
        return sim

    pushed = run((40.0, 0.0, 0.0), {2: (0, 0)})
    own = run((0.0, 0.0, 0.0), {1: (40, 0)})
    assert own.cells()[["force_x", "force_y"]].values.tolist() == [[40.0, 0.0], [0.0, 0.0]]
    assert np.array_equal(own.labels(), pushed.labels())
    assert not np.array_equal(own.labels(), run((0.0, 0.0, 0.0), {}).labels())
    assert _native.own_forces(own.world).tolist() == [False, True, False]
    own.set_cell_forces([1], None)
    assert not own.cell_forces().any() and not _native.own_forces(own.world).any()
