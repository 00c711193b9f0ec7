"""Recording folders that other processes, stray links and early kills cannot damage."""

import pathlib
import subprocess
import sys

import pytest

import morva
from morva import cli

from package_models import two_type_model


def test_temporary_files_never_follow_links(tmp_path):
    victim = tmp_path / "victim"
    victim.write_bytes(b"precious")
    rec = tmp_path / "rec"
    sim = two_type_model().build()
    sim.record(rec, every=2)
    names = [".checkpoint.morva.tmp", ".run.json.tmp", ".lineage.parquet.tmp", "cells/.part-000000.parquet.tmp"]
    for name in names:
        (rec / name).symlink_to(victim)
    sim.run(4, progress=False)
    sim.recorder.close()
    assert victim.read_bytes() == b"precious"
    assert len(morva.open_recording(rec)) == 3
    leftovers = {p.relative_to(rec).as_posix() for p in rec.rglob("*.tmp")}
    assert leftovers == set(names)  # the planted links, and no temporary file of the run


HOLDER = """
import sys, morva
sys.path.insert(0, {tests!r})
from package_models import two_type_model
sim = two_type_model().build()
sim.record({folder!r}, every=2)
sim.run(4, progress=False)
print("ready", flush=True)
sys.stdin.read()
"""


def test_a_second_writer_is_refused_and_named(tmp_path, capsys):
    folder = tmp_path / "rec"
    code = HOLDER.format(tests=str(pathlib.Path(__file__).parent), folder=str(folder))
    holder = subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline().strip() == "ready"
        before = sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*"))
        named = f"pid {holder.pid}"
        with pytest.raises(OSError, match=f"being written by another process \\({named} on host"):
            morva.resume(folder)
        with pytest.raises(OSError, match=named):
            two_type_model().build().record(folder, overwrite=True)
        model = tmp_path / "model.toml"
        two_type_model().save(model)
        assert cli.main(["run", str(model), "--mcs", "8", "--out", str(folder), "--resume"]) == 2
        assert named in capsys.readouterr().err
        assert sorted(p.relative_to(folder).as_posix() for p in folder.rglob("*")) == before
    finally:
        holder.communicate("", timeout=60)
    # The lock went with its process: the folder can be resumed now.
    sim = morva.resume(folder)
    sim.run(2, progress=False)
    sim.recorder.close()
    assert morva.open_recording(folder).times.tolist() == [0, 2, 4, 6]


def test_one_process_recording_a_folder_again_closes_the_first_recorder(tmp_path):
    first = two_type_model().build()
    first.record(tmp_path / "rec")
    first.run(2, progress=False)
    resumed = morva.resume(tmp_path / "rec")
    assert first.recorder.closed and not resumed.recorder.closed
    resumed.recorder.close()


def test_a_run_killed_after_its_first_file_can_start_again(tmp_path, capsys):
    model = tmp_path / "model.toml"
    two_type_model().save(model)
    folder = tmp_path / "rec"
    folder.mkdir()
    (folder / "model.toml").write_text(model.read_text())  # all a run killed that early leaves
    assert cli.main(["run", str(model), "--mcs", "2", "--out", str(folder), "--resume"]) == 2
    assert "nothing to resume" in capsys.readouterr().err
    assert cli.main(["run", str(model), "--mcs", "2", "--out", str(folder), "--overwrite", "--quiet"]) == 0
    assert len(morva.open_recording(folder)) == 3
    # Killed after run.json, before the first checkpoint.
    (folder / "checkpoint.morva").unlink()
    with pytest.raises(ValueError, match="nothing to resume in .*start it again with overwrite"):
        morva.resume(folder)
