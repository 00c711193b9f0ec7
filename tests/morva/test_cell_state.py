"""Cell state kept by the package: the user generator, per-cell variables, resumed bit for bit."""

import numpy as np
import pytest

import morva


def proliferating_model(side=48):
    """The proliferation tutorial's tissue, small: four cells that grow, divide and die."""
    model = morva.Model((side, side), temperature=4.0)
    for name in ("red", "blue"):
        model.add_type(name, volume=20, lambda_volume=1, connectivity=True)
    for a, b, j in [("medium", "red", 14), ("medium", "blue", 14), ("red", "red", 6), ("blue", "blue", 6),
                    ("red", "blue", 6)]:
        model.set_contact(a, b, j)
    return model.add_tiling(["red", "blue"], (20, 20), (28, 28), 4)


def life_rules(sim):
    """Grow, divide at 40 sites, retype daughters, remove cells drawn from the run's generator."""
    sim.grow("red", 2.0)
    sim.grow("blue", 2.0)
    for daughter in sim.divide(40, reset_target=20).tolist():
        sim.retype([daughter], "red" if sim.rng.random() < 0.5 else "blue")
    ids = sim.cell_ids()
    doomed = ids[sim.rng.random(ids.size) < 0.01]
    if doomed.size and doomed.size < ids.size:
        sim.remove(doomed)


def run_split(model, tmp_path, first, second, seed=2, rules=life_rules):
    sim = model.build(seed=seed)
    sim.record(tmp_path / "rec", every=100)
    sim.run(first, every=10, hooks=rules, progress=False)
    sim.recorder.close()
    resumed = morva.resume(tmp_path / "rec", hooks=rules, every=10)
    resumed.run(second, progress=False)
    resumed.recorder.close()
    return resumed


def test_rules_drawing_from_sim_rng_resume_bit_for_bit(tmp_path):
    model = proliferating_model()
    whole = model.build(seed=2)
    whole.run(1500, every=10, hooks=life_rules, progress=False)
    assert len(whole.lineage) > 5 and whole.world.n_cells() > whole.n_cells  # divided and removed
    resumed = run_split(model, tmp_path, 800, 700)
    assert (resumed.labels() == whole.labels()).all()
    assert resumed.lineage.equals(whole.lineage)
    assert resumed.rng.bit_generator.state == whole.rng.bit_generator.state


def test_user_generator_follows_the_seed_by_the_documented_rule():
    sim = morva.Model((8, 8)).build(seed=7)
    expected = np.random.default_rng(np.random.SeedSequence([7, 0x75736572])).random(3)
    assert sim.rng.random(3).tolist() == expected.tolist()
    assert morva.Model((8, 8)).build(seed=8).rng.random() != expected[0]


def test_a_corrupt_saved_generator_is_refused_with_the_checkpoint_named():
    sim = morva.Model((8, 8)).build()
    with pytest.raises(ValueError, match="ckpt: the saved generator cannot be restored"):
        sim.cell_state.restore({"rng": {"bit_generator": "NoSuch"}}, "ckpt")


def uneven_split(sim, values):
    """Division rule: the parent keeps a random share of the variable, the daughter the rest."""
    share = sim.rng.random(values.size)
    return values * share, values * (1 - share)


def clock_model():
    model = proliferating_model()
    model.add_cell_variable("clock", initial=0.0, on_divide="copy")
    return model.add_cell_variable("stuff", initial=1.0, on_divide=uneven_split)


def clock_rules(sim):
    """Clocks tick at random speeds; a cell whose clock passes 1 gets a bigger target and divides."""
    clock, stuff = sim.cell_variable("clock"), sim.cell_variable("stuff")
    ids = sim.cell_ids()
    clock[ids] += sim.rng.uniform(0.0, 0.2, ids.size)
    stuff[ids] += 0.1
    ready = ids[clock[ids] > 1.0]
    if ready.size:
        sim.set_target_volume(ready, 40)
    daughters = sim.divide(36, reset_target=20)
    clock = sim.cell_variable("clock")
    clock[daughters] = clock[sim.parent_of(daughters)] = 0.0


def test_cell_variables_follow_divisions_and_removals_and_resume_bit_for_bit(tmp_path):
    model = clock_model()
    whole = model.build(seed=5)
    whole.run(600, every=10, hooks=clock_rules, progress=False)
    table = whole.cells()
    assert len(whole.lineage) > 3 and list(whole.cell_variables.columns) == ["clock", "stuff"]
    assert table["stuff"].between(0, 1000).all() and table["stuff"].nunique() > 3  # uneven shares
    resumed = run_split(model, tmp_path, 300, 300, seed=5, rules=clock_rules)
    assert (resumed.labels() == whole.labels()).all()
    for name in ("clock", "stuff"):
        assert resumed.cell_variable(name).tobytes() == whole.cell_variable(name).tobytes()

    recorded = morva.open_recording(tmp_path / "rec").cells
    last = recorded[recorded["time"] == 600].set_index("id")
    assert last[["clock", "stuff"]].equals(whole.cells()[["clock", "stuff"]])

    whole.remove(table.index[:1])
    assert np.isnan(whole.cell_variable("clock")[table.index[0]]) and table.index[0] not in whole.cell_variables.index


def test_division_rules_copy_halve_and_initialisers():
    model = morva.Model((30, 30), default_contact=0).add_type("a", volume=16, lambda_volume=1)
    model.add_block("a", (0, 0), (4, 4)).add_block("a", (10, 10), (14, 14))
    model.add_cell_variable("kept", initial="test_cell_state:random_initial", on_divide="copy")
    model.add_cell_variable("shared", initial=8.0, on_divide="halve")
    model.add_cell_variable("ids", initial=initial_ids)
    sim = model.build()
    before = sim.cells()
    sim.divide(16)
    after = sim.cells()
    assert after.loc[[1, 3], "kept"].tolist() == [before.loc[1, "kept"]] * 2
    assert after["shared"].tolist() == [4.0] * 4
    assert after["ids"].tolist() == [1.0, 2.0, 1.0, 2.0]


def initial_ids(sim, ids):
    return ids.astype(float)


def random_initial(sim, ids):
    return sim.rng.normal(size=ids.size)


def test_cell_variables_in_model_files_and_their_errors(tmp_path):
    model = clock_model()
    path = tmp_path / "m.toml"
    model.save(path)
    assert morva.load_model(path) == model
    assert morva.load_model(path).cell_variables["stuff"].on_divide == "test_cell_state:uneven_split"
    with pytest.raises(ValueError, match="importable as 'module:name'"):
        morva.Model((8, 8)).add_cell_variable("x", on_divide=lambda sim, v: (v, v))
    with pytest.raises(ValueError, match="a column of the cell table"):
        morva.Model((8, 8)).add_cell_variable("volume")
    bad = path.read_text().replace('on_divide = "copy"', 'on_divide = "nomodule_xyz:f"')
    with pytest.raises(ValueError, match=r"\[cell_variables.clock\].*cannot find 'nomodule_xyz:f'"):
        morva.Model.from_toml(bad)
    with pytest.raises(ValueError, match=r"unknown key\(s\) 'rate' in \[cell_variables.clock\]"):
        morva.Model.from_toml(path.read_text().replace('on_divide = "copy"', "rate = 1"))
