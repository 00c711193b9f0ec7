"""ODEs in cells declared in the model: model files, recordings and resumed runs, errors, outputs."""

import numpy as np
import pytest

import morva
from package_models import record_then_resume


def growth(t, y, tissue):
    """u relaxes to the neighbours' mean of u plus the local field; target follows the volume."""
    return {"u": y["nb"] + y["c"] - y["u"] + 0.01 * np.sin(t),
            "target": 0.1 * (y["vol"] + 4.0 * y["light"] - y["target"])}


def shrink_rich(sim, tissue, y):
    return {"remove": (y["u"] > 1e9)}


def tissue_model():
    model = morva.Model((40, 40), temperature=8.0, default_contact=8.0)
    model.add_type("dark", volume=25, lambda_volume=1).add_type("light", volume=25, lambda_volume=1)
    model.add_tiling(["dark", "light"], (5, 5), (35, 35), 5)
    model.add_field("c", diffusion=0.1, decay=0.05).set_secretion("c", "dark", 0.5)
    model.add_cell_variable("u", initial=0.0).add_cell_variable("target", initial=25.0, on_divide="halve")
    model.add_cell_variable("s", initial=1.0)
    return model.add_cell_ode(
        "growth", "test_cell_ode_files:growth", ["u", "target"], every=3, time_per_mcs=0.5, substeps=2,
        inputs={"vol": "volume", "c": "field_mean(c)", "nb": "neighbour_mean(u)", "light": "is_type(light)"},
        outputs={"target": "target_volume", "u": "secretion_scale(c)"}, act=shrink_rich)


def same_state(a, b):
    return (a.labels() == b.labels()).all() and a.cells().equals(b.cells()) and \
        a.field("c").tobytes() == b.field("c").tobytes()


def test_a_saved_model_runs_and_resumes_bit_for_bit(tmp_path):
    model = tissue_model()
    model.save(tmp_path / "m.toml")
    text = (tmp_path / "m.toml").read_text()
    assert 'rhs = "test_cell_ode_files:growth"' in text and 'nb = "neighbour_mean(u)"' in text
    loaded = morva.load_model(tmp_path / "m.toml")
    assert loaded == model
    whole = model.build(seed=5)
    whole.run(31, progress=False)
    assert not np.allclose(whole.cells()["u"], 0.0)  # the ODE acted, from the tissue's inputs
    assert np.allclose(whole.cells()["target_volume"], whole.cells()["target"])
    # no writer to attach again after the resume: the ODE is the model's
    resumed = record_then_resume(loaded.build(seed=5), tmp_path / "rec", 16, 15, every=10)
    assert same_state(resumed, whole)


def entry(**changes):
    table = {"rhs": '"test_cell_ode_files:growth"', "variables": '["u", "target"]',
             "inputs": '{vol = "volume", c = "field_mean(c)", nb = "neighbour_mean(u)", light = "is_type(light)"}'}
    table.update(changes)
    return "\n".join(f"{k} = {v}" for k, v in table.items() if v is not None)


@pytest.mark.parametrize("changes, key, message", [
    ({"rhs": '"test_cell_ode_files:nothing"'}, "rhs", "cannot find 'test_cell_ode_files:nothing'"),
    ({"variables": '["u", "age"]'}, "variables", "no cell variable 'age'"),
    ({"inputs": '{vol = "volum"}'}, "inputs", r"'volum' is not an input; known: volume"),
    ({"inputs": '{vol = "field_mean(d)"}'}, "inputs", "no field 'd'"),
    ({"inputs": '{u = "volume"}'}, "inputs", "input 'u' has the name of a variable"),
    ({"outputs": '{u = "type"}'}, "outputs", r"'type' is not an output; known: target_volume, secretion_scale"),
    ({"substeps": "0"}, "substeps", "substeps must be at least 1"),
    ({"act": "3"}, "act", "act must be a 'module:name' string"),
    ({"speed": "2"}, "speed", "unknown key 'speed'"),
    ({"parameters": '{k = "fast"}'}, "parameters", "parameter 'k' must be a real number"),
    ({"parameters": "{k = 2}"}, "parameters", r"cannot take its arguments and the parameters \['k'\]"),
])
def test_model_file_errors_name_file_line_and_key(tmp_path, changes, key, message):
    base = tissue_model()
    base.cell_odes.clear()
    text = base.to_toml() + f"\n[cell_odes.growth]\n{entry(**changes)}\n"
    path = tmp_path / "m.toml"
    path.write_text(text)
    with pytest.raises(ValueError, match=message) as err:
        morva.load_model(path)
    line = next(n for n, row in enumerate(text.splitlines(), 1) if row.startswith(f"{key} ="))
    assert str(err.value).startswith(f"{path}, line {line}: ")
    assert "[cell_odes.growth]" in str(err.value)


def test_declaring_an_ode_checks_it_against_the_model():
    with pytest.raises(ValueError, match="importable as 'module:name'"):
        tissue_model().add_cell_ode("x", lambda t, y, tissue: y, ["u"])
    with pytest.raises(ValueError, match="cell ODE 'growth' is declared already"):
        tissue_model().add_cell_ode("growth", growth, ["u"])
    with pytest.raises(ValueError, match=r"outputs: no cell variable 'v'"):
        tissue_model().add_cell_ode("x", growth, ["u"], outputs={"v": "target_volume"})


def relax(t, y, tissue, rate):
    return {"s": -rate * y["s"]}


def test_ode_parameters_reach_rhs_from_model_files_and_vary_by_name(tmp_path):
    model = secreting_pair().add_cell_ode("relax", relax, ["s"], time_per_mcs=0.1, parameters={"rate": 1.0})
    model.save(tmp_path / "m.toml")
    faster = morva.load_model(tmp_path / "m.toml").with_parameters({"cell_ode:relax:rate": 2.0})
    for m, rate in [(model, 1.0), (faster, 2.0)]:
        sim = m.build(seed=1)
        sim.run(10, progress=False)
        assert np.allclose(sim.cell_variable("s")[1:], np.exp(-rate), rtol=1e-6)
    assert model.parameter("cell_ode:relax:rate") == 1.0 and faster.parameter("cell_ode:relax:rate") == 2.0
    with pytest.raises(KeyError, match="cell ODE 'relax' has the parameters rate"):
        model.parameter("cell_ode:relax:k")


def hold(t, y, tissue):
    return {"s": np.zeros_like(y["s"])}


def secreting_pair():
    model = morva.Model((30, 10), boundary="noflux", temperature=10, default_contact=10)
    model.add_type("a", volume=16, lambda_volume=2).add_block("a", (3, 3), (7, 7)).add_block("a", (23, 3), (27, 7))
    return model.add_field("c", diffusion=0.1).set_secretion("c", "a", 1.0).add_cell_variable("s", initial=1.0)


def test_secretion_scale_output_sets_each_cells_secretion():
    sim = secreting_pair().add_cell_ode("relay", hold, ["s"], outputs={"s": "secretion_scale(c)"}).build(seed=1)
    sim.cell_variable("s")[2] = 0.0
    sim.run(10, progress=False)
    by_hand = secreting_pair().build(seed=1)
    by_hand.run(1, progress=False)  # the ODE first acts after step 1
    by_hand.world.set_cell_secretion_scale(0, 2, 0.0)
    by_hand.run(9, progress=False)
    assert sim.field("c").tobytes() == by_hand.field("c").tobytes()
    c = sim.field("c")[0]
    assert c[3:7, 3:7].mean() > 5 * c[3:7, 23:27].mean()  # cell 2 has stopped secreting
    bad = secreting_pair().add_cell_ode("relay", hold, ["s"], outputs={"s": "secretion_scale(c)"}).build()
    bad.cell_variable("s")[1] = -1.0
    with pytest.raises(ValueError, match=r"secretion_scale\(c\): values must be finite and >= 0; cell 1 got -1.0"):
        bad.run(1, progress=False)
