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
