"""Recordings read back through Zarr, xarray (with Dask) and pandas; checkpoints; exact resume."""

import json
import os
import shutil
import warnings

import numpy as np
import pandas as pd
import pytest
import xarray as xr
import zarr

import morva

from package_models import two_type_model


def grow_and_divide(sim):
    sim.grow("dark", 1.0)
    sim.divide(40, reset_target=22)


def model_with_field():
    model = two_type_model().add_field("c", diffusion=0.5, decay=0.02)
    return model.set_secretion("c", "dark", 0.3).set_chemotaxis("c", "light", 2.0)


def test_frames_cells_and_lineage_read_back(tmp_path):
    sim = model_with_field().build(seed=3)
    sim.record(tmp_path / "rec", every=4)
    seen = {}

    def remember(s):
        if s.mcs % 4 == 0:
            seen[s.mcs] = (s.labels(), s.field("c"), s.cells())

    sim.run(42, progress=False, every=1, hooks=[grow_and_divide, remember])
    rec = morva.open_recording(tmp_path / "rec")
    assert rec.times.tolist() == list(range(0, 41, 4)) and len(rec) == 11
    assert rec.type_names == ["medium", "dark", "light"] and rec.model == sim.model
    for i, t in enumerate(rec.times[1:], start=1):
        labels, field, cells = seen[t]
        assert (rec.labels(i) == labels).all() and (rec.field("c", i) == field).all()
        table = rec.cells[rec.cells["time"] == t].set_index("id")
        expected = cells[["type", "type_name", "volume", "surface", "com_x", "com_y", "com_z", "length", "parent"]]
        pd.testing.assert_frame_equal(table.drop(columns="time"), expected, check_names=False)
    assert rec.lineage.equals(sim.lineage) and len(sim.lineage) > 0
    assert (rec.cells["parent"] > 0).any()
    # The store is plain Zarr and xarray opens it lazily with Dask.
    ds = xr.open_zarr(tmp_path / "rec" / "frames.zarr", consolidated=False)
    assert ds["labels"].dims == ("time", "z", "y", "x") and ds["labels"].dtype == np.uint32
    assert ds["field_c"].dtype == np.float32 and ds["time"].values.tolist() == rec.times.tolist()
    assert ds["labels"].chunks is not None
    assert int(ds["labels"].isel(time=-1).max().compute()) == int(seen[40][0].max())
    assert zarr.open_group(tmp_path / "rec" / "frames.zarr", mode="r").attrs["type_names"] == rec.type_names
    assert pd.read_parquet(tmp_path / "rec" / "cells").shape == rec.cells.shape
    info = json.loads((tmp_path / "rec" / "run.json").read_text())
    assert (info["format"], info["seed"], info["every"], info["mcs"], info["frames"]) == (1, 3, 4, 40, 11)


def test_a_closed_recording_stops_and_the_run_goes_on(tmp_path):
    sim = two_type_model().build()
    sim.record(tmp_path / "rec", every=2)
    sim.run(4, progress=False)
    sim.recorder.close()
    sim.run(4, progress=False)
    assert sim.mcs == 8 and sim.recorder is None
    assert morva.open_recording(tmp_path / "rec").times.tolist() == [0, 2, 4]


def test_an_existing_recording_is_never_overwritten_unless_asked(tmp_path):
    sim = two_type_model().build()
    sim.record(tmp_path / "rec").close()
    with pytest.raises(FileExistsError, match="already exists; pass overwrite=True"):
        two_type_model().build().record(tmp_path / "rec")
    two_type_model().build().record(tmp_path / "rec", overwrite=True).close()
    (tmp_path / "notes").mkdir()
    (tmp_path / "notes" / "thesis.txt").write_text("precious")
    with pytest.raises(ValueError, match="not a morva recording; refusing to delete it"):
        two_type_model().build().record(tmp_path / "notes", overwrite=True)
    assert (tmp_path / "notes" / "thesis.txt").read_text() == "precious"


def test_resume_after_a_stop_gives_the_undisturbed_run(tmp_path):
    whole = model_with_field().build(seed=8)
    whole.record(tmp_path / "whole", every=5, checkpoint_every=20)
    whole.run(70, progress=False, every=1, hooks=grow_and_divide)
    whole.recorder.close()

    broken = model_with_field().build(seed=8)
    broken.record(tmp_path / "broken", every=5, checkpoint_every=20)

    def stop_at_53(s):
        if s.mcs == 53:
            raise KeyboardInterrupt  # inside Python code: only the data is kept, no checkpoint here

    with pytest.raises(KeyboardInterrupt):
        broken.run(70, progress=False, every=1, hooks=[grow_and_divide, stop_at_53])
    broken.recorder.close()
    assert len(morva.open_recording(tmp_path / "broken")) == 11  # frames up to MCS 50 were written

    resumed = morva.resume(tmp_path / "broken", hooks=grow_and_divide)
    assert resumed.mcs == 40
    resumed.run(30, progress=False)
    resumed.recorder.close()
    assert (resumed.labels() == whole.labels()).all()
    a, b = morva.open_recording(tmp_path / "whole"), morva.open_recording(tmp_path / "broken")
    assert a.times.tolist() == b.times.tolist()
    assert a.frames["labels"].equals(b.frames["labels"]) and a.frames["field_c"].equals(b.frames["field_c"])
    assert a.cells.equals(b.cells) and a.lineage.equals(b.lineage)
    # Closed recordings, the resumed one too, open with plain xarray: consolidated, up to date, no warning.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        plain = xr.open_zarr(tmp_path / "broken" / "frames.zarr")
    assert plain["time"].values.tolist() == b.times.tolist() and plain["labels"].equals(b.frames["labels"])


@pytest.mark.parametrize("hook_every, checkpoint_at", [(5, 23), (23, 20)])
def test_ctrl_c_in_the_engine_writes_a_checkpoint_at_that_step(tmp_path, monkeypatch, hook_every, checkpoint_at):
    # Where a hook was due at the stop, a resumed run would skip it: the older checkpoint stays.
    sim = two_type_model().build(seed=4)
    sim.add_hook(lambda s: None, every=hook_every)
    sim.record(tmp_path / "rec", every=10, checkpoint_every=100)
    real_run = morva.simulation._native.run

    def interrupted(world, mcs, **options):
        real_run(world, min(mcs, 3), **options)
        stop = KeyboardInterrupt()
        stop.mcs_done = min(mcs, 3)
        raise stop

    sim.run(20, progress=False)
    monkeypatch.setattr(morva.simulation._native, "run", interrupted)
    with pytest.raises(KeyboardInterrupt):
        sim.run(20, progress=False)
    monkeypatch.undo()
    assert sim.mcs == 23
    resumed = morva.resume(tmp_path / "rec")
    assert resumed.mcs == checkpoint_at
    resumed.run(23 - checkpoint_at, progress=False)
    assert (resumed.labels() == sim.labels()).all()
    sim.recorder.close()
    resumed.recorder.close()


@pytest.fixture
def recorded(tmp_path):
    sim = two_type_model().build(seed=1)
    sim.record(tmp_path / "rec", every=5)
    sim.run(10, progress=False)
    sim.recorder.close()
    return tmp_path / "rec"


@pytest.mark.parametrize("damage, words", [
    (lambda data: data[: len(data) // 2], "is truncated"),
    (lambda data: data[:-1] + bytes([data[-1] ^ 1]), "is corrupt (checksum mismatch)"),
    (lambda data: b"PK\x03\x04" + data[4:], "is not a morva checkpoint"),
    (lambda data: b"", "is not a morva checkpoint"),
])
def test_damaged_checkpoints_are_refused(recorded, damage, words):
    path = recorded / "checkpoint.morva"
    path.write_bytes(damage(path.read_bytes()))
    with pytest.raises(ValueError) as caught:
        morva.resume(recorded)
    assert words in str(caught.value)


def test_foreign_folders_are_refused(recorded, tmp_path):
    with pytest.raises(ValueError, match="is not a morva recording"):
        morva.open_recording(tmp_path)
    with pytest.raises(ValueError, match="is not a morva recording"):
        morva.resume(tmp_path)
    (recorded / "run.json").write_text('{"format": 99}')
    with pytest.raises(ValueError, match="unknown recording format 99"):
        morva.open_recording(recorded)
    (recorded / "run.json").write_text("{")
    with pytest.raises(ValueError, match="run.json' is corrupt"):
        morva.resume(recorded)


def test_damaged_stores_are_refused(recorded):
    shutil.rmtree(recorded / "frames.zarr" / "time")
    with pytest.raises(ValueError, match="frames.zarr/time/c/0 is missing"):
        morva.open_recording(recorded)
    # A recording that lists no pieces (an older morva's) still fails when it is read.
    info = json.loads((recorded / "run.json").read_text())
    del info["pieces"]
    (recorded / "run.json").write_text(json.dumps(info))
    with pytest.raises(ValueError, match="frames.zarr cannot be read"):
        morva.open_recording(recorded)
    with pytest.raises(ValueError, match="frames.zarr does not hold the 3 frames"):
        morva.resume(recorded)
    shutil.rmtree(recorded / "frames.zarr")
    with pytest.raises(ValueError, match="frames.zarr cannot be opened"):
        morva.resume(recorded)


def test_checkpoints_are_replaced_atomically(recorded):
    names = sorted(os.listdir(recorded))
    assert "checkpoint.morva" in names and not [n for n in names if n.endswith(".tmp")]
