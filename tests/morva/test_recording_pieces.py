"""A recording knows what it holds: a missing or damaged piece is named when reading, resuming and checking."""

import json
import shutil

import pytest

import morva
from morva import cli

from package_models import two_type_model


@pytest.fixture
def recorded(tmp_path):
    sim = two_type_model().add_field("c", diffusion=0.2).set_secretion("c", "dark", 0.3).build(seed=2)
    sim.record(tmp_path / "rec", every=1)
    sim.grow("dark", 1.0)
    sim.run(6, progress=False, hooks=lambda s: s.divide(30, reset_target=20))
    sim.recorder.close()
    return tmp_path / "rec"


def chunk(folder, array):
    return next(p for p in (folder / "frames.zarr" / array / "c").rglob("0") if p.is_file())


@pytest.mark.parametrize("damage, piece", [
    (lambda f: chunk(f, "time").unlink(), "frames.zarr/time/c/0 is missing"),
    (lambda f: chunk(f, "labels").unlink(), "frames.zarr/labels/c/0/0/0/0 is missing"),
    (lambda f: chunk(f, "field_c").write_bytes(chunk(f, "field_c").read_bytes()[:-7]),
     "frames.zarr/field_c/c/0/0/0/0 is damaged"),
    (lambda f: (f / "cells" / "part-000000.parquet").unlink(), "cells/part-000000.parquet is missing"),
    (lambda f: (f / "lineage.parquet").write_bytes(b"x"), "lineage.parquet is damaged: 1 bytes"),
])
def test_missing_and_damaged_pieces_are_named(recorded, damage, piece, capsys):
    assert cli.main(["info", "--check", str(recorded)]) == 0
    assert "all whole" in capsys.readouterr().out
    damage(recorded)
    with pytest.raises(ValueError, match=piece):
        morva.open_recording(recorded)
    assert cli.main(["info", "--check", str(recorded)]) == 1
    assert piece in capsys.readouterr().err
    if not piece.startswith("lineage"):  # a resumed run writes the lineage again
        with pytest.raises(ValueError, match=piece):
            morva.resume(recorded)


def test_changed_bytes_of_the_same_size_are_found_by_the_check(recorded, capsys):
    part = recorded / "cells" / "part-000000.parquet"
    data = bytearray(part.read_bytes())
    data[len(data) // 2] ^= 0xFF
    part.write_bytes(bytes(data))
    assert cli.main(["info", "--check", str(recorded)]) == 1
    assert "cells/part-000000.parquet is damaged: its checksum differs" in capsys.readouterr().err


def test_an_edited_run_json_is_refused_on_resume(recorded):
    path = recorded / "run.json"
    info = json.loads(path.read_text())
    info["every"] = 2
    path.write_text(json.dumps(info))
    with pytest.raises(ValueError, match="run.json in .* was edited: 'every' is 2, the recording was made with 1"):
        morva.resume(recorded)


def test_a_run_killed_between_flushes_still_resumes(recorded, tmp_path):
    # What a kill leaves: the last chunk and the lineage rewritten after run.json was last written.
    sim = morva.resume(recorded)
    sim.run(3, progress=False)
    sim.recorder.flush()
    stale = (recorded / "run.json").read_text()
    sim.run(2, progress=False)
    sim.recorder.close()
    (recorded / "run.json").write_text(stale.replace('"closed": true', '"closed": false'))
    assert len(morva.open_recording(recorded)) >= 10
    morva.resume(recorded).recorder.close()
