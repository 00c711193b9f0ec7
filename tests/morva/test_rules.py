"""Rules declared in the model: cuts of chosen cells, conditions, what the lineage and fates record, model files, resume."""

import json
import zlib

import numpy as np
import pandas as pd
import pytest

import morva
from morva import _native


def block_model(lo, hi, dims=(20, 20)):
    model = morva.Model(dims, default_contact=0).add_type("a", volume=16, lambda_volume=1)
    model.add_type("b", volume=16, lambda_volume=1)
    return model.add_block("a", lo, hi)


def split_of(labels):
    """Sites of the parent (1) and the daughter (2) along each axis of the label grid (z, y, x)."""
    return [np.flatnonzero((labels == 2).any(axis=tuple(a for a in range(3) if a != axis))) for axis in range(3)]


def test_cuts_of_chosen_cells():
    # The longest-side cut of a chosen cell is exactly the engine's division of all cells at a threshold.
    for lo, hi in [((2, 2), (8, 6)), ((3, 1), (6, 10)), ((0, 0), (3, 3))]:
        mine, engine = block_model(lo, hi).build(), block_model(lo, hi).build()
        assert _native.divide(mine.world, [1], [0], [(0, 0, 0)], 8.0) == engine.world.divide_cells(1, 8.0)
        assert (mine.labels() == engine.labels()).all()
        assert mine.cells().equals(engine.cells())
    # 6 wide by 4 high: the shortest side is y; the longest is x.
    sim = block_model((2, 2), (8, 6)).build()
    sim.divide_cells([1], "shortest", 8)
    assert split_of(sim.labels())[1].tolist() == [4, 5] and sim.cells()["target_volume"].tolist() == [8, 8]
    # Through the centre of mass: a diagonal cut of a square leaves the diagonal with the parent.
    sim = block_model((2, 2), (6, 6)).build()
    sim.divide_cells([1], (1, 1))
    grid = sim.labels()[0, 2:6, 2:6]
    assert (grid == np.where(np.add.outer(np.arange(4), np.arange(4)) > 3, 2, 1)).all()
    assert sim.cells()["target_volume"].tolist() == [8, 8]  # half the parent's 16 each
    # In 3-D along z, and a random cut is drawn from sim.rng: same seed, same cut.
    sim = block_model((1, 1, 1), (5, 5, 5), dims=(8, 8, 8)).build()
    sim.divide_cells([1], (0, 0, -1))
    assert split_of(sim.labels())[0].tolist() == [1, 2]  # the daughter is on the negative side
    cuts = [block_model((2, 2), (12, 12)).build(seed=4) for _ in range(2)]
    for sim in cuts:
        sim.divide_cells([1], "random")
    assert (cuts[0].labels() == cuts[1].labels()).all() and 40 <= cuts[0].cells()["volume"][1] <= 60


def test_bad_divisions_are_refused():
    sim = block_model((2, 2), (6, 6)).build()
    with pytest.raises(ValueError, match="given twice"):
        _native.divide(sim.world, [1, 1], [0, 0], [(0, 0, 0)] * 2, 8.0)
    with pytest.raises(ValueError, match="no cell with id 3"):
        sim.divide_cells([3])
    with pytest.raises(ValueError, match="orientation vector"):
        sim.divide_cells([1], (0, 0))
    sim.remove([1])
    with pytest.raises(ValueError, match="cell 1 has been removed"):
        sim.divide_cells([1])
    assert sim.world.n_cells() == 1 and sim.lineage.empty


def restart_clock(sim, values):
    """Division rule of the clock: both cells start again."""
    return np.zeros_like(values), np.zeros_like(values)


def random_rate(sim, ids):
    return sim.rng.uniform(0.5, 1.5, len(ids))


def tick(t, y, tissue):
    return {"clock": y["rate"], "rate": np.zeros_like(y["rate"])}


def squeezed(sim, tissue):
    """Condition: cells far below their target volume."""
    return tissue.volume < 0.4 * tissue.target_volume


def cycling_model():
    model = morva.Model((48, 48), temperature=4.0)
    for name in ("red", "blue"):
        model.add_type(name, volume=20, lambda_volume=1, connectivity=True)
    for a, b, j in [("medium", "red", 14), ("medium", "blue", 14), ("red", "red", 6), ("blue", "blue", 6),
                    ("red", "blue", 6)]:
        model.set_contact(a, b, j)
    model.add_tiling(["red", "blue"], (16, 16), (32, 32), 4)
    model.add_cell_variable("clock", initial=0.0, on_divide=restart_clock)
    model.add_cell_variable("rate", initial=random_rate, on_divide="copy")
    model.add_cell_variable("stuff", initial=1.0, on_divide="halve")
    model.add_rule("mature", "retype", ["clock >= 12", "type == red"], every=5, to="blue")
    model.add_rule("ripe", "divide", ["clock >= 20", "volume >= 12"], every=5, orientation="random", reset_target=20)
    return model.add_rule("crushed", "remove", squeezed, every=10)


def run_cycling(sim, mcs):
    if not any(isinstance(w, morva.CellODE) for w in sim._writers):
        sim.add_writer(morva.CellODE(tick, ["clock", "rate"], every=5, substeps=1))
    sim.run(mcs, progress=False)
    return sim


def test_rules_act_on_the_cells_their_conditions_select_and_say_why():
    sim = run_cycling(cycling_model().build(seed=3), 300)
    lineage, fates = sim.lineage, sim.fates
    assert len(lineage) > 5 and set(lineage["rule"]) == {"ripe"} and (lineage["mcs"] % 5 == 0).all()
    assert set(fates["action"]) <= {"retype", "remove"} and (fates[fates.action == "retype"].rule == "mature").all()
    table = sim.cells()
    assert (table.loc[table["clock"] >= 12, "type_name"] == "blue").all()  # rules acted at this MCS
    # Halved at each division of the cell or its ancestors.
    divisions = np.zeros(sim.world.n_cells() + 1, int)
    for parent, daughter in zip(lineage["parent"], lineage["daughter"]):
        divisions[parent] += 1
        divisions[daughter] = divisions[parent]
    assert (table["stuff"] == 0.5 ** divisions[table.index]).all() and divisions[table.index].max() > 1
    removed = fates[fates.action == "remove"]["cell"]
    assert len(removed) and not table.index.isin(removed).any()


def test_one_rule_step_divides_only_the_ripe_with_inheritance_as_declared():
    sim = cycling_model().build(seed=1)
    clock, stuff = sim.cell_variable("clock"), sim.cell_variable("stuff")
    clock[[2, 5]] = 25.0
    stuff[2] = 0.5
    rates = sim.cell_variable("rate")[[2, 5]].copy()
    daughters = sim.model.rules["ripe"].apply(sim)
    assert daughters.tolist() == [2, 5] and sim.lineage.values.tolist() == [[2, 17, 0, "ripe"], [5, 18, 0, "ripe"]]
    table = sim.cells()
    assert table.loc[[2, 5, 17, 18], "clock"].tolist() == [0.0] * 4
    assert table.loc[[2, 17], "stuff"].tolist() == [0.25, 0.25] and table.loc[18, "stuff"] == 0.5
    assert table.loc[[17, 18], "rate"].tolist() == rates.tolist()
    assert table.loc[[2, 5, 17, 18], "target_volume"].tolist() == [20.0] * 4 and table["volume"].sum() == 16 * 16
    assert sim.model.rules["ripe"].apply(sim).size == 0  # clocks restarted


def test_rules_resume_bit_for_bit_and_recordings_keep_why(tmp_path):
    model = cycling_model()
    whole = run_cycling(model.build(seed=3), 300)
    sim = model.build(seed=3)
    sim.record(tmp_path / "rec", every=50)
    run_cycling(sim, 130)
    sim.recorder.close()
    resumed = run_cycling(morva.resume(tmp_path / "rec"), 170)
    resumed.recorder.close()
    assert (resumed.labels() == whole.labels()).all()
    assert resumed.lineage.equals(whole.lineage) and resumed.fates.equals(whole.fates)
    assert resumed.cells().equals(whole.cells())
    rec = morva.open_recording(tmp_path / "rec")
    assert rec.lineage.equals(whole.lineage) and rec.fates.equals(whole.fates) and len(rec.fates)
    assert morva.Model.from_toml(model.to_toml()) == model
    fates = tmp_path / "rec" / "fates.parquet"  # a piece of the recording like the lineage
    assert json.loads((tmp_path / "rec" / "run.json").read_text())["pieces"]["fates.parquet"]["size"] == fates.stat().st_size
    with open(fates, "ab") as out:
        out.write(b"x")
    with pytest.raises(ValueError, match="fates.parquet is damaged"):
        morva.open_recording(tmp_path / "rec")


def test_resuming_drops_fates_written_after_the_checkpoint(tmp_path):
    sim = block_model((2, 2), (10, 10)).build()
    sim.record(tmp_path / "rec")
    sim.run(2, progress=False)
    sim.recorder.close()
    pd.DataFrame({"mcs": [5], "cell": [1], "action": ["remove"], "rule": ["old"], "type_name": [""]}).to_parquet(
        tmp_path / "rec" / "fates.parquet")  # what a killed run wrote after its last checkpoint
    resumed = morva.resume(tmp_path / "rec")
    resumed.run(1, progress=False)
    resumed.recorder.close()
    assert morva.open_recording(tmp_path / "rec").fates.empty


def test_recordings_from_before_rules_read_with_empty_reasons(tmp_path):
    sim = block_model((2, 2), (10, 10)).build()
    sim.record(tmp_path / "rec")
    sim.divide(16)
    sim.run(2, progress=False)
    sim.recorder.close()
    lineage = tmp_path / "rec" / "lineage.parquet"
    pd.DataFrame({"parent": [1], "daughter": [2], "mcs": [0]}).to_parquet(lineage)
    info = json.loads((tmp_path / "rec" / "run.json").read_text())  # as the recorder of then listed it
    info["pieces"]["lineage.parquet"] = {"size": lineage.stat().st_size, "crc32": zlib.crc32(lineage.read_bytes())}
    (tmp_path / "rec" / "run.json").write_text(json.dumps(info))
    rec = morva.open_recording(tmp_path / "rec")
    assert rec.lineage.values.tolist() == [[1, 2, 0, ""]] and rec.fates.empty
    assert morva.Simulation(sim.model, sim.world, 0, lineage=[[1, 2, 0]]).lineage.equals(rec.lineage)


@pytest.mark.parametrize("entry, message", [
    ('action = "explode"\nwhen = "volume > 1"', r"\[rules.r\]: rule 'r': action must be one of"),
    ('action = "remove"\nwhen = "volume >> 1"', r"\[rules.r\]: rule 'r': when: 'volume >> 1' is neither"),
    ('action = "remove"\nwhen = "age > 1"', r"\[rules.r\]: rule 'r': 'age' is neither one of"),
    ('action = "remove"\nwhen = "type > a"', r"a type compares with == or != only"),
    ('action = "retype"\nwhen = "volume > 1"', r"'to' \(the new type\) goes with action 'retype'"),
    ('action = "retype"\nwhen = "volume > 1"\nto = "c"', r"'to' names no cell type: 'c'"),
    ('action = "divide"\nwhen = "volume > 1"\norientation = "up"', r"orientation must be one of"),
    ('action = "divide"\nwhen = "no_such_module:f"', r"cannot find 'no_such_module:f'"),
    ('action = "divide"\nwhen = "volume > 1"\nspeed = 2', r"unknown key 'speed' in \[rules.r\]"),
    ('when = "volume > 1"', r"\[rules.r\] needs 'action' and 'when'"),
])
def test_model_file_errors_name_file_and_key(tmp_path, entry, message):
    path = tmp_path / "m.toml"
    path.write_text(block_model((2, 2), (6, 6)).to_toml() + f"\n[rules.r]\n{entry}\n")
    with pytest.raises(ValueError, match=message) as err:
        morva.load_model(path)
    assert str(err.value).startswith(f"{path}, line ")
