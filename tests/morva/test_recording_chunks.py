"""Frames travel to the store a Zarr chunk at a time: boundaries, stops and flushes lose nothing."""

import threading

import numpy as np
import pandas as pd
import pytest
import zarr

import morva
import morva.recording
from morva._frame_writer import FrameWriter

from package_models import two_type_model

TABLE = ["type", "type_name", "volume", "surface", "com_x", "com_y", "com_z", "length", "parent"]


@pytest.fixture
def chunk_of(monkeypatch):
    """Make recordings use Zarr chunks of `frames` frames."""

    def set_chunk(frames):
        monkeypatch.setattr(morva.recording, "MAX_CHUNK_FRAMES", frames)

    return set_chunk


def watch(seen, every=1):
    """A hook that keeps what the simulation holds at each frame."""

    def remember(sim):
        if sim.mcs % every == 0:
            seen[sim.mcs] = (sim.labels(), sim.field("c"), sim.cells())

    return remember


def grow_and_divide(sim):
    sim.grow("dark", 2.0)
    sim.divide(20, reset_target=12)


def model_with_field():
    return two_type_model().add_field("c", diffusion=0.5, decay=0.02).set_secretion("c", "dark", 0.3)


def assert_recording_holds(directory, seen, times):
    rec = morva.open_recording(directory)
    assert rec.times.tolist() == times
    for i, t in enumerate(times):
        labels, field, cells = seen[t]
        assert (rec.labels(i) == labels).all() and (rec.field("c", i) == field).all()
        table = rec.cells[rec.cells["time"] == t].set_index("id").drop(columns="time")
        pd.testing.assert_frame_equal(table, cells[TABLE], check_names=False)
    assert rec.cells["time"].is_monotonic_increasing
    return rec


@pytest.mark.parametrize("chunk, mcs", [(3, 10), (4, 11), (1, 5), (7, 6)])
def test_frame_counts_off_the_chunk_boundaries_read_back_whole(tmp_path, chunk_of, chunk, mcs):
    chunk_of(chunk)
    sim = model_with_field().build(seed=2)
    sim.divide(25, reset_target=13)  # daughters from the first frame on
    seen = {}
    sim.add_hook(grow_and_divide, every=1)
    sim.add_hook(watch(seen), every=1)
    watch(seen)(sim)
    sim.record(tmp_path / "rec")
    sim.run(mcs, progress=False)
    sim.recorder.close()
    rec = assert_recording_holds(tmp_path / "rec", seen, list(range(mcs + 1)))
    assert rec.frames["labels"].encoding["chunks"][0] == chunk
    assert zarr.open_array(tmp_path / "rec" / "frames.zarr" / "labels", mode="r").shape[0] == mcs + 1
    assert rec.lineage.equals(sim.lineage) and (rec.cells["parent"] > 0).any()


def test_runs_end_with_every_frame_on_disk_before_close(tmp_path, chunk_of):
    chunk_of(4)
    sim = model_with_field().build(seed=3)
    seen = {}
    sim.add_hook(watch(seen), every=1)
    watch(seen)(sim)
    sim.record(tmp_path / "rec")
    sim.run(5, progress=False)
    assert_recording_holds(tmp_path / "rec", seen, list(range(6)))
    sim.run(2, progress=False)
    assert_recording_holds(tmp_path / "rec", seen, list(range(8)))
    sim.recorder.close()


def test_close_flushes_frames_recorded_by_hand(tmp_path, chunk_of):
    chunk_of(5)
    sim = model_with_field().build(seed=4)
    rec = sim.record(tmp_path / "rec", every=1)
    seen = {}
    for _ in range(3):
        sim.world.step(1)
        sim.mcs += 1
        watch(seen)(sim)
        rec.record(sim)
    assert rec.frames == 3 and len(morva.open_recording(tmp_path / "rec")) == 0
    stores = []
    real_store = rec._writer.store
    rec._writer.store = lambda chunk, *args, **kw: stores.append(chunk.count) or real_store(chunk, *args, **kw)
    rec.flush()
    assert_recording_holds(tmp_path / "rec", seen, [1, 2, 3])
    rec.close()  # nothing new: the unfinished chunk is not written again
    assert stores == [3]
    assert_recording_holds(tmp_path / "rec", seen, [1, 2, 3])
    assert rec.closed
    with pytest.raises(RuntimeError, match="was closed"):
        rec.record(sim)


def stop_engine_after(monkeypatch, steps):
    """Make the engine stop like Ctrl-C after `steps` more whole steps."""
    real_run = morva.simulation._native.run
    left = [steps]

    def interrupted(world, mcs, **options):
        done = min(mcs, left[0])
        real_run(world, done, **options)
        left[0] -= done
        if left[0] == 0:
            stop = KeyboardInterrupt()
            stop.mcs_done = done
            raise stop

    monkeypatch.setattr(morva.simulation._native, "run", interrupted)


@pytest.mark.parametrize("checkpoint_every", [None, 2])
def test_a_stop_mid_chunk_keeps_every_recorded_frame_and_resumes_exactly(tmp_path, chunk_of, monkeypatch,
                                                                         checkpoint_every):
    chunk_of(4)
    whole = model_with_field().build(seed=6)
    seen = {}
    whole.add_hook(watch(seen), every=1)  # hooks change nothing in the dynamics
    watch(seen)(whole)
    whole.record(tmp_path / "whole", every=1, checkpoint_every=checkpoint_every)
    whole.run(14, progress=False)
    whole.recorder.close()

    sim = model_with_field().build(seed=6)
    sim.record(tmp_path / "rec", every=1, checkpoint_every=checkpoint_every)
    stop_engine_after(monkeypatch, 9)
    with pytest.raises(KeyboardInterrupt):
        sim.run(14, progress=False)
    monkeypatch.undo()
    assert sim.mcs == 9
    # The frames of the unfinished chunk are on disk; the one of MCS 9 was not due yet (the stop
    # came inside the engine), a resumed run takes it.
    assert_recording_holds(tmp_path / "rec", seen, list(range(9)))
    sim.recorder.close()

    resumed = morva.resume(tmp_path / "rec")
    assert resumed.mcs == 9
    resumed.run(5, progress=False)
    resumed.recorder.close()
    a, b = morva.open_recording(tmp_path / "whole"), morva.open_recording(tmp_path / "rec")
    assert a.times.tolist() == b.times.tolist() == list(range(15))
    assert a.frames["labels"].equals(b.frames["labels"]) and a.frames["field_c"].equals(b.frames["field_c"])
    assert a.cells.equals(b.cells)


def test_checkpoints_taken_while_a_run_goes_on_resume_exactly(tmp_path, chunk_of):
    chunk_of(3)
    whole = model_with_field().build(seed=7)
    whole.record(tmp_path / "whole", every=2, checkpoint_every=6)
    whole.run(20, progress=False, every=1, hooks=grow_and_divide)
    whole.recorder.close()
    run = morva.recording.read_run_info(tmp_path / "whole")
    assert (run["checkpoint_mcs"], run["frames"], run["mcs"]) == (20, 11, 20)

    broken = model_with_field().build(seed=7)
    broken.record(tmp_path / "broken", every=2, checkpoint_every=6)

    def stop_at_15(sim):
        if sim.mcs == 15:
            raise KeyboardInterrupt  # in Python code: no checkpoint here, the one of MCS 12 stays

    with pytest.raises(KeyboardInterrupt):
        broken.run(20, progress=False, every=1, hooks=[grow_and_divide, stop_at_15])
    broken.recorder.close()
    assert morva.recording.read_run_info(tmp_path / "broken")["checkpoint_mcs"] == 12
    resumed = morva.resume(tmp_path / "broken", hooks=grow_and_divide)
    assert resumed.mcs == 12
    resumed.run(8, progress=False)
    resumed.recorder.close()
    a, b = morva.open_recording(tmp_path / "whole"), morva.open_recording(tmp_path / "broken")
    assert a.times.tolist() == b.times.tolist()
    assert a.frames["labels"].equals(b.frames["labels"]) and a.frames["field_c"].equals(b.frames["field_c"])
    assert a.cells.equals(b.cells) and a.lineage.equals(b.lineage) and len(a.lineage) > 0


def test_the_engine_waits_for_the_writer_beyond_two_chunks(tmp_path, chunk_of, monkeypatch):
    chunk_of(2)
    sim = two_type_model().build(seed=1)
    rec = sim.record(tmp_path / "rec", every=1)
    release = threading.Event()
    real_store = FrameWriter._store

    def held_store(writer, *message):
        release.wait()
        real_store(writer, *message)

    monkeypatch.setattr(FrameWriter, "_store", held_store)
    done = []

    def record_five():
        for _ in range(5):
            rec.record(sim)
            done.append(rec.frames)

    recording = threading.Thread(target=record_five)
    recording.start()
    recording.join(timeout=1.0)
    # Two chunks of two frames are with the writer; the fifth frame needs a chunk back.
    assert recording.is_alive() and rec.frames == 4
    release.set()
    recording.join()
    assert done == [1, 2, 3, 4, 5]
    rec.close()
    assert len(morva.open_recording(tmp_path / "rec")) == 5


@pytest.mark.parametrize("failing", ["morva._frame_writer.cell_rows", "morva._frame_writer.FrameWriter._stack",
                                     "morva._frame_writer.write_checkpoint"])
def test_a_failing_writer_is_reported_and_the_run_does_not_hang(tmp_path, chunk_of, monkeypatch, failing):
    chunk_of(2)
    sim = two_type_model().build(seed=1)
    sim.record(tmp_path / "rec", every=1)

    def broken(*args, **kwargs):
        raise OSError("disk full")

    monkeypatch.setattr(failing, broken)
    with pytest.raises(RuntimeError, match="failed: disk full"):
        sim.run(12, progress=False)
    assert sim.mcs < 12
    monkeypatch.undo()
    sim.recorder.close()


def test_cell_rows_of_frames_with_new_cells():
    first = {"type": np.array([0, 1, 2], np.uint16), "volume": np.array([50, 9, 0]), "surface": np.array([0, 12, 0]),
             "com": np.arange(9, dtype=float).reshape(3, 3), "length": np.array([np.nan, 3.0, np.nan])}
    second = {"type": np.array([0, 1, 2, 1], np.uint16), "volume": np.array([50, 5, 4, 4]),
              "surface": np.array([0, 8, 8, 8]), "com": np.ones((4, 3)), "length": np.array([np.nan, 2.0, 1.5, 1.5])}
    rows = morva.cell_table.cell_rows([10, 20], [first, second], np.array([0, 0, 0, 1]))
    assert rows["time"].tolist() == [10, 20, 20, 20]
    assert rows["id"].tolist() == [1, 1, 2, 3]
    assert rows["type"].tolist() == [1, 1, 2, 1] and rows["volume"].tolist() == [9, 5, 4, 4]
    assert rows["parent"].tolist() == [0, 0, 0, 1] and rows["com_x"].tolist() == [3.0, 1.0, 1.0, 1.0]
    assert rows["length"].tolist() == [3.0, 2.0, 1.5, 1.5]
    assert all(rows[c].dtype == np.int64 for c in ["time", "id", "type", "volume", "surface", "parent"])


def test_cell_table_parts_of_many_row_groups_read_back_as_one_table(tmp_path, chunk_of, monkeypatch):
    chunk_of(3)
    monkeypatch.setattr("morva._cell_parts.ROWS_PER_GROUP", 40)
    monkeypatch.setattr("morva._cell_parts.ROWS_PER_PART", 100)
    sim = model_with_field().build(seed=9)
    sim.divide(25, reset_target=13)
    seen = {}
    sim.add_hook(watch(seen), every=1)
    watch(seen)(sim)
    sim.record(tmp_path / "rec")
    sim.run(20, progress=False)
    sim.recorder.close()
    rec = assert_recording_holds(tmp_path / "rec", seen, list(range(21)))
    parts = sorted((tmp_path / "rec" / "cells").iterdir())
    assert len(parts) == sim.recorder.parts > 3 and all(p.name.startswith("part-") for p in parts)
    sizes = [len(pd.read_parquet(p)) for p in parts]
    assert sum(sizes) == len(rec.cells) and max(sizes) < 100 + 40 + 3 * 32
    whole = pd.read_parquet(tmp_path / "rec" / "cells")
    assert whole["type_name"].dtype == "category"
    pd.testing.assert_frame_equal(whole.astype({"type_name": str}), rec.cells)


def test_resume_drops_a_part_that_was_being_written(tmp_path, chunk_of):
    chunk_of(2)
    sim = two_type_model().build(seed=1)
    sim.record(tmp_path / "rec", every=1)
    sim.run(3, progress=False)
    sim.recorder.close()
    stale = tmp_path / "rec" / "cells" / ".part-000001.parquet.tmp"
    stale.write_bytes(b"half a part")
    resumed = morva.resume(tmp_path / "rec")
    assert not stale.exists()
    resumed.run(2, progress=False)
    resumed.recorder.close()
    assert len(morva.open_recording(tmp_path / "rec").cells) == 6 * 16


def test_a_run_stopped_before_its_first_periodic_checkpoint_resumes_from_the_start(tmp_path, chunk_of):
    chunk_of(4)
    whole = model_with_field().build(seed=5)
    whole.record(tmp_path / "whole", every=1)
    whole.run(6, progress=False)
    whole.recorder.close()

    broken = model_with_field().build(seed=5)
    broken.record(tmp_path / "broken", every=1)

    def stop_at_3(sim):
        if sim.mcs == 3:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        broken.run(6, progress=False, hooks=stop_at_3)
    broken.recorder.close()
    header, _ = morva.checkpoint.read_checkpoint(tmp_path / "broken" / "checkpoint.morva")
    assert (header["mcs"], header["frames"], header["parts"]) == (0, 0, 0)  # taken before the first frame
    assert len(morva.open_recording(tmp_path / "broken")) == 3
    resumed = morva.resume(tmp_path / "broken")
    assert resumed.mcs == 0 and len(morva.open_recording(tmp_path / "broken")) == 0
    resumed.run(6, progress=False)
    resumed.recorder.close()
    a, b = morva.open_recording(tmp_path / "whole"), morva.open_recording(tmp_path / "broken")
    assert a.times.tolist() == b.times.tolist() == list(range(7))
    assert a.frames["labels"].equals(b.frames["labels"]) and a.cells.equals(b.cells)


@pytest.mark.parametrize("every, warmup, mcs", [(1, 0, 10), (3, 2, 17), (5, 5, 20)])
def test_arrays_are_sized_once_for_the_frames_a_run_will_record(tmp_path, chunk_of, monkeypatch, every, warmup, mcs):
    chunk_of(4)
    sim = two_type_model().build(seed=1)
    sim.run(warmup, progress=False)
    rec = sim.record(tmp_path / "rec", every=every)
    sizes = []
    real_resize = FrameWriter._resize
    monkeypatch.setattr(FrameWriter, "_resize", lambda writer, frames: sizes.append(frames) or real_resize(writer, frames))
    for _ in range(2):  # the second run continues where the first stopped
        sizes.clear()
        sim.run(mcs, progress=False)
        frames = len(range(0, sim.mcs + 1, every)) - len(range(0, warmup, every))
        assert rec.frames == frames and sizes == [frames]  # grown once, nothing to cut at the end
    rec.close()
    assert zarr.open_array(tmp_path / "rec" / "frames.zarr" / "labels", mode="r").shape[0] == rec.frames
