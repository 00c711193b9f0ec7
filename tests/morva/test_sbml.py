"""SBML models in cells (libRoadRunner): against known solutions, in model files and recordings, resumed bit for bit."""

import pathlib

import numpy as np
import pytest

import morva
from morva.cell_ode import rk4

pytest.importorskip("roadrunner")
EXAMPLES = pathlib.Path(__file__).parent.parent.parent / "examples"


def tissue(side=30, cell=3):
    model = morva.Model((side, side), temperature=2.0, default_contact=0).add_type("a", volume=cell * cell, lambda_volume=1)
    model.add_type("b", volume=cell * cell, lambda_volume=1).set_contact("medium", "a", 4).set_contact("a", "a", 2)
    return model.add_tiling(["a"], (0, 0), (side, side), cell)


def test_decay_per_cell_is_classical_rk4_at_the_declared_step():
    def run(substeps):
        model = tissue().add_sbml("a", EXAMPLES / "sbml_decay.xml", ["u", "k"], time_per_mcs=0.1, substeps=substeps)
        sim = model.build()
        ids = sim.cell_ids()
        sim.cell_variable("k")[ids] = np.linspace(0.5, 2.0, ids.size)  # a parameter per cell
        sim.run(10, progress=False)
        return sim.cell_variable("u")[ids], sim.cell_variable("k")[ids]

    u, k = run(2)
    mine = rk4(lambda t, y: {"u": -k * y["u"]}, 0.0, {"u": np.ones_like(k)}, 0.05, 20)["u"]
    assert np.abs(u - mine).max() < 1e-14
    errors = [np.abs(run(n)[0] - np.exp(-k)).max() for n in (1, 2)]
    assert 14 < errors[0] / errors[1] < 18  # fourth order (2**4 as the step goes to 0)
    assert errors[1] < 1e-6


def brusselator_period():
    """Period of the Brusselator's limit cycle (A = 1, B = 3), from SciPy at tight tolerances."""
    from scipy.integrate import solve_ivp

    def rhs(t, v):
        x, y = v
        return [1 - 4 * x + x * x * y, 3 * x - x * x * y]

    def upward(t, v):
        return v[0] - 1.0
    upward.direction = 1
    solution = solve_ivp(rhs, (0, 200), [1.0, 1.0], method="DOP853", rtol=1e-12, atol=1e-12, events=upward)
    return float(np.diff(solution.t_events[0][-6:]).mean())


def test_brusselator_in_cells_keeps_the_limit_cycle_period():
    model = morva.Model((12, 12), temperature=1.0, default_contact=0).add_type("a", volume=9, lambda_volume=5)
    model.set_contact("medium", "a", 2).add_block("a", (2, 2), (5, 5))
    model.add_sbml("a", EXAMPLES / "sbml_brusselator.xml", ["X", "Y"], time_per_mcs=0.05, substeps=5)
    sim = model.build()
    x = []
    sim.add_hook(lambda s: x.append(s.cell_variable("X")[1]))
    sim.run(1600, progress=False)  # 80 time units: about 11 periods
    x = np.array(x)
    t = 0.05 * np.arange(1, x.size + 1)
    up = np.flatnonzero((x[:-1] < 1.0) & (x[1:] >= 1.0))
    crossings = t[up] + 0.05 * (1.0 - x[up]) / (x[up + 1] - x[up])
    period = np.diff(crossings[-6:]).mean()
    assert sim.n_cells == 1 and crossings.size > 8
    assert abs(period - brusselator_period()) < 1e-4 * period  # the crossings are interpolated linearly


def test_model_files_refer_to_sbml_by_relative_path_and_recordings_embed_it(tmp_path):
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "net.xml").write_text((EXAMPLES / "sbml_decay.xml").read_text())
    model = tissue().add_sbml("a", tmp_path / "sub" / "net.xml", {"u": "level"}, every=2, time_per_mcs=0.1)
    model.save(tmp_path / "m.toml")
    text = (tmp_path / "m.toml").read_text()
    assert 'path = "sub/net.xml"' in text and 'level = 0.0' not in text
    assert morva.load_model(tmp_path / "m.toml") == model
    whole = model.build(seed=1)
    whole.run(40, progress=False)
    sim = model.build(seed=1)
    sim.record(tmp_path / "rec", every=10)
    sim.run(17, progress=False)
    sim.recorder.close()
    (tmp_path / "sub" / "net.xml").unlink()  # the recording holds the model itself
    assert "data = " in (tmp_path / "rec" / "model.toml").read_text()
    resumed = morva.resume(tmp_path / "rec")
    resumed.run(23, progress=False)
    resumed.recorder.close()
    assert resumed.cells().equals(whole.cells()) and (resumed.labels() == whole.labels()).all()
    assert whole.cells()["level"].between(0.01, 0.03).all()  # exp(-0.1 * 40)


@pytest.mark.parametrize("entry, message", [
    ('path = "missing.xml"\nvariables = ["u"]', r"\[sbml.a\]: SBML model of 'a': cannot read"),
    ('path = "net.xml"\nvariables = ["k"]', r"floating species \['u'\] must be cell variables"),
    ('path = "net.xml"\nvariables = ["u", "q"]', r"\['q'\] are neither floating species nor global parameters"),
    ('data = "bm90IHpsaWI="\nvariables = ["u"]', r"embedded SBML model is corrupt"),
    ('variables = ["u"]', r"\[sbml.a\] needs variables and either path or data"),
    ('path = "net.xml"\nvariables = ["u"]\nevery = 0', r"every must be at least 1"),
])
def test_model_file_errors_name_file_and_key(tmp_path, entry, message):
    (tmp_path / "net.xml").write_text((EXAMPLES / "sbml_decay.xml").read_text())
    path = tmp_path / "m.toml"
    path.write_text(tissue().to_toml() + f"\n[sbml.a]\n{entry}\n")
    with pytest.raises(ValueError, match=message) as err:
        morva.load_model(path)
    assert str(err.value).startswith(f"{path}, line ")


def test_models_with_events_are_refused(tmp_path):
    text = (EXAMPLES / "sbml_decay.xml").read_text().replace("</listOfReactions>", """</listOfReactions>
    <listOfEvents><event id="refill" useValuesFromTriggerTime="true"><trigger initialValue="false" persistent="true">
      <math xmlns="http://www.w3.org/1998/Math/MathML"><apply><lt/><ci>u</ci><cn>0.5</cn></apply></math></trigger>
      <listOfEventAssignments><eventAssignment variable="u">
      <math xmlns="http://www.w3.org/1998/Math/MathML"><cn>1</cn></math></eventAssignment></listOfEventAssignments>
    </event></listOfEvents>""")
    with pytest.raises(ValueError, match="events and rate rules are not supported"):
        tissue().add_sbml("a", text, ["u"])
