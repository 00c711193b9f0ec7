"""Preferred directions and per-cell forces in a recording's cell table, through a resume."""

import numpy as np
import pytest

import morva
from morva.cell_table import RECORDED_COLUMNS, vector_columns
from package_models import record_then_resume
from test_persistence import walkers

VECTORS = vector_columns(["dir", "force"])


def test_directions_and_forces_are_recorded_every_frame_and_across_a_resume(tmp_path):
    def start():
        sim = walkers().build(seed=6)
        sim.set_cell_forces([2], (0.5, -0.25))  # the model has no type force: only this cell's own
        return sim

    sim = start()
    seen = {}
    sim.add_hook(lambda s: seen.__setitem__(s.mcs, s.cells()[list(VECTORS)].to_numpy()), every=5)
    record_then_resume(sim, tmp_path / "rec", 10, 10, every=5, checkpoint_every=10)
    full = start()
    full.run(20, progress=False)

    rec = morva.open_recording(tmp_path / "rec")
    assert rec.info["cell_vectors"] == ["dir", "force"]
    assert tuple(rec.cells.columns) == RECORDED_COLUMNS + VECTORS
    by_time = {t: frame[list(VECTORS)].to_numpy() for t, frame in rec.cells.groupby("time")}
    assert sorted(by_time) == [0, 5, 10, 15, 20]
    for mcs in (5, 10):
        assert np.array_equal(by_time[mcs], seen[mcs])
    assert np.array_equal(by_time[20], full.cells()[list(VECTORS)].to_numpy())
    assert np.allclose(np.linalg.norm(by_time[20][:, :3], axis=1), 1.0)  # unit directions, resumed too
    assert by_time[20][:, 3:].tolist() == [[0, 0, 0], [0.5, -0.25, 0]]


def test_other_models_keep_the_plain_cell_table(tmp_path):
    model = walkers(lambda_dir=0.0)
    cases = {"plain": model, "pushed": walkers(lambda_dir=0.0).add_type("f", volume=9, lambda_volume=1, force=(1, 0, 0))}
    cases["pushed"].set_contact("medium", "f", 10).set_contact("w", "f", 10).add_block("f", (30, 30), (33, 33))
    columns = {}
    for name, m in cases.items():
        sim = m.build(seed=1)
        sim.record(tmp_path / name)
        sim.run(1, progress=False)
        sim.recorder.close()
        columns[name] = tuple(morva.open_recording(tmp_path / name).cells.columns)
    assert columns == {"plain": RECORDED_COLUMNS, "pushed": RECORDED_COLUMNS + vector_columns(["force"])}


def test_forces_set_after_the_recording_starts_are_stored_only_when_asked_for(tmp_path):
    for asked in (True, None):
        sim = walkers(lambda_dir=0.0).build(seed=1)
        sim.record(tmp_path / str(asked), forces=asked)
        sim.run(2, progress=False)
        if asked:
            sim.set_cell_forces([1], (0.0, 2.0))
        else:
            with pytest.warns(UserWarning, match="record\\(..., forces=True\\)"):
                sim.set_cell_forces([1], (0.0, 2.0))
        sim.run(2, progress=False)
        sim.recorder.close()
    cells = morva.open_recording(tmp_path / "True").cells
    assert cells.loc[cells.id == 1, ["time", "force_y"]].values.tolist() == [[0, 0], [1, 0], [2, 0], [3, 2], [4, 2]]
    assert "force_y" not in morva.open_recording(tmp_path / "None").cells
    with pytest.raises(ValueError, match="forces must be True, False or None"):
        walkers().build().record(tmp_path / "bad", forces="yes")
