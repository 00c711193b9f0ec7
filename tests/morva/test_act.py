"""The Act model in the package: cell-type attributes, the model's mean, model files and the world builder."""

import numpy as np
import pytest

import morva
from morva.cli import main
from package_models import assert_type_attributes_refused


def crawler(lambda_act=200.0, max_act=20, act_mean="geometric"):
    model = morva.Model((40, 40), temperature=20, default_contact=0, act_mean=act_mean)
    model.add_type("t", volume=100, lambda_volume=5, surface=140, lambda_surface=0.5, lambda_act=lambda_act,
                   max_act=max_act)
    model.set_contact("medium", "t", 20)
    return model.add_block("t", (15, 15), (25, 25))


def test_model_file_round_trip_keeps_the_act_settings(tmp_path):
    model = crawler(150, 30, "arithmetic")
    model.save(tmp_path / "m.toml")
    text = (tmp_path / "m.toml").read_text()
    assert 'act_mean = "arithmetic"' in text and "max_act = 30" in text
    back = morva.load_model(tmp_path / "m.toml")
    assert (back.types["t"].lambda_act, back.types["t"].max_act, back.act_mean) == (150.0, 30, "arithmetic")
    assert "act_mean" not in crawler().to_toml()


@pytest.mark.parametrize("attrs, words", [
    ({"lambda_act": -1, "max_act": 20}, "cell type 't': lambda_act must be at least 0, got -1"),
    ({"lambda_act": 200, "max_act": 65536}, "cell type 't': max_act must be at most 65535, got 65536"),
    ({"lambda_act": 200, "max_act": 2.5}, "cell type 't': max_act must be an integer, got 2.5"),
    ({"lambda_act": 200, "max_act": 0}, "cell type 't': lambda_act and max_act must be both non-zero"),
    ({"lambda_act": 0, "max_act": 20}, "cell type 't': lambda_act and max_act must be both non-zero"),
])
def test_bad_act_attributes_are_refused_naming_type_key_file_and_line(tmp_path, attrs, words):
    assert_type_attributes_refused(tmp_path, attrs, words)


def test_a_bad_mean_is_refused_with_the_choices(tmp_path):
    with pytest.raises(ValueError, match=r'act_mean must be "geometric" or "arithmetic", got \'median\''):
        morva.Model((8, 8), act_mean="median")
    path = tmp_path / "bad.toml"
    path.write_text("default_contact = 0\nact_mean = 'median'\n[lattice]\nshape = [8, 8]\n")
    with pytest.raises(ValueError, match=rf"^{path}, line 2: .*act_mean must be"):
        morva.load_model(path)


def test_the_engine_gets_the_parameters_and_the_mean():
    plain = crawler(0, 0).build(seed=3)
    plain.run(20, progress=False)
    assert not plain.activity().any()
    runs = {}
    for mean in ("geometric", "arithmetic"):
        sim = crawler(act_mean=mean).build(seed=3)
        sim.run(1, progress=False)
        activity, labels = sim.activity(), sim.labels()
        assert activity.dtype == np.uint16 and activity.shape == labels.shape
        # the sites taken in the step hold max_act, less the decrement at its end
        assert activity.max() == 19 and not activity[labels == 0].any()
        sim.run(19, progress=False)
        runs[mean] = sim.labels()
    assert not np.array_equal(runs["geometric"], plain.labels())
    assert not np.array_equal(runs["geometric"], runs["arithmetic"])


def test_the_parallel_sweep_runs_the_act_model(tmp_path, capsys):
    sim = crawler().build(seed=1)
    sim.run(6, progress=False, parallel=True, block=8)
    still = crawler(0, 0).build(seed=1)
    still.run(6, progress=False, parallel=True, block=8)
    activity, labels = sim.activity(), sim.labels()
    assert activity.max() == 19 and not activity[labels == 0].any()
    assert not np.array_equal(labels, still.labels())
    crawler().save(tmp_path / "m.toml")
    assert main(["run", str(tmp_path / "m.toml"), "--mcs", "2", "--parallel", "--out", str(tmp_path / "r")]) == 0
    assert morva.resume(tmp_path / "r").activity().max() == 19
    lengthy = morva.Model((40, 40), temperature=20, default_contact=0)
    lengthy.add_type("t", volume=100, lambda_volume=5, length=10, lambda_length=1).add_block("t", (15, 15), (25, 25))
    lengthy.save(tmp_path / "l.toml")
    assert main(["run", str(tmp_path / "l.toml"), "--mcs", "1", "--parallel", "--out", str(tmp_path / "l")]) == 2
    assert "does not support the length term" in capsys.readouterr().err
    assert not (tmp_path / "l").exists()  # refused before the recording folder is made


def test_a_resumed_run_continues_the_activity_exactly(tmp_path):
    full = crawler(act_mean="arithmetic").build(seed=5)
    full.run(30, progress=False)
    sim = crawler(act_mean="arithmetic").build(seed=5)
    sim.record(tmp_path / "rec", every=10, checkpoint_every=10)
    sim.run(10, progress=False)
    back = morva.resume(tmp_path / "rec")
    assert back.model.act_mean == "arithmetic"
    back.run(20, progress=False)
    assert np.array_equal(back.labels(), full.labels()) and np.array_equal(back.activity(), full.activity())
