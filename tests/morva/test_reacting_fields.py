"""Reacting fields: the splitting of diffusion and reaction, the stability guard, model files and resume."""

import numpy as np
import pytest

import morva
from package_models import record_then_resume


def decay(u, cell_type):
    """du/dt = -0.3 u."""
    return -0.3 * u


def decay_at(u, cell_type, k):
    """du/dt = -k u."""
    return -k * u


def made_in_cells(u, v, cell_type):
    """u is made inside cells of type 1 only; v follows u."""
    return np.where(cell_type == 1, 1.0, 0.0), u - v


def wrong_count(u, v, cell_type):
    return (u,)


def wrong_shape(u, v, cell_type):
    return u[0], np.ones(2)


def blows_up(u, cell_type):
    return np.where(u > 0.5, np.inf, 1.0)


def stiffening(u, cell_type):
    """Harmless at u = 0, stiff once u grows: -(1 + 200 u) u."""
    return 0.5 - (1.0 + 200.0 * u) * u


def mild(w, cell_type):
    """Stiffness 1 at w = 0, about 6.4 at its steady state 0.135: the sub-steps fixed at the start differ."""
    return 0.5 - (1.0 + 20.0 * w) * w


CALLS = {"count": 0, "interrupt_at": 0}


def interrupted_once(u, v, cell_type):
    """made_in_cells, raising KeyboardInterrupt (a Ctrl-C) at one chosen call."""
    CALLS["count"] += 1
    if CALLS["count"] == CALLS["interrupt_at"]:
        raise KeyboardInterrupt
    return made_in_cells(u, v, cell_type)


def tissue(shape=(24, 24)):
    model = morva.Model(shape, default_contact=2).add_type("a", volume=16, lambda_volume=1)
    return model.set_contact("medium", "a", 8).add_block("a", (4, 4), (8, 8)).add_block("a", (12, 12), (16, 16))


def test_each_mcs_is_n_euler_substeps_of_diffusion_then_reaction():
    model = morva.Model((12, 10)).add_field("u", diffusion=0.0).add_reaction("r", decay, ["u"], substeps=4)
    sim = model.build()
    sim.set_field("u", 2.0)
    sim.run(3, progress=False)
    expected = np.float32(2.0)
    for _ in range(12):  # explicit Euler, dt = 1/4: the rate as the function computes it, the sum in float64
        expected = np.float32(np.float64(expected) + 0.25 * np.float64(np.float32(-0.3) * expected))
    assert np.all(sim.field("u") == expected) and sim.reactions.substeps == {"r": 4}

    # with diffusion, each sub-step diffuses by the engine's step first: a point spreads and decays
    model = morva.Model((12, 10)).add_field("u", diffusion=0.1).add_reaction("r", decay, ["u"])
    sim = model.build()
    point = np.zeros((1, 10, 12), np.float32)
    point[0, 5, 6] = 1.0
    sim.set_field("u", point)
    sim.run(1, progress=False)
    n = sim.reactions.substeps["r"]
    assert n == 2  # ceil(2 * (0.8 + 0.3))
    a = point.copy()
    for _ in range(n):
        b = np.empty_like(a)
        morva._native.diffuse(sim.world, a, b, 0.1, 0.0, 1 / n)
        a = (b + (1 / n) * (-0.3 * b).astype(np.float64)).astype(np.float32)
    assert np.array_equal(sim.field("u"), a)


def test_reaction_parameters_reach_the_function_and_vary_by_name(tmp_path):
    fixed = morva.Model((6, 6)).add_field("u", diffusion=0.0).add_reaction("r", decay, ["u"], substeps=4)
    model = morva.Model((6, 6)).add_field("u", diffusion=0.0)
    model.add_reaction("r", decay_at, ["u"], substeps=4, parameters={"k": 0.3})
    model.save(tmp_path / "m.toml")
    runs = {}
    for name, m in [("fixed", fixed), ("file", morva.load_model(tmp_path / "m.toml")),
                    ("faster", model.with_parameters({"reaction:r:k": 0.6}))]:
        sim = m.build()
        sim.set_field("u", 1.0)
        sim.run(2, progress=False)
        runs[name] = sim.field("u")
    assert runs["file"].tobytes() == runs["fixed"].tobytes()
    assert np.allclose(runs["faster"], (1 - 0.6 / 4) ** 8, rtol=1e-5)  # 8 Euler sub-steps of dt = 1/4
    assert model.parameter("reaction:r:k") == 0.3  # with_parameters left the model alone
    with pytest.raises(KeyError, match="reaction 'r' has the parameters k"):
        model.with_parameters({"reaction:r:kk": 1})
    with pytest.raises(ValueError, match="function test_reacting_fields:decay: the function cannot take .* \\['k'\\]"):
        fixed.with_parameters({}).add_field("v", diffusion=0).add_reaction("s", decay, ["v"], parameters={"k": 1}).build()
    with pytest.raises(ValueError, match=r"\[reactions.r\]: reaction 'r': parameter 'k' must be a real number"):
        morva.Model.from_toml((tmp_path / "m.toml").read_text().replace("k = 0.3", 'k = "fast"'))


def test_reactions_see_the_cell_types_and_secretion_still_acts():
    model = tissue().add_field("u", diffusion=0.0).add_field("v", diffusion=0.0)
    model.set_secretion("v", "a", 0.5).add_reaction("r", made_in_cells, ["u", "v"])
    sim = model.build(seed=1)
    sim.run(1, progress=False)
    inside = sim.labels() > 0
    u, v = sim.field("u"), sim.field("v")
    assert np.allclose(u[inside], 1.0) and not u[~inside].any()
    assert 0.4 < v[inside].min() == v[inside].max() < 0.6 and not v[~inside].any()  # secreted 0.5, then follows u


def test_bad_reactions_are_refused_naming_what_is_wrong():
    model = morva.Model((8, 8)).add_field("u", diffusion=1.0).add_field("v", diffusion=0.1)
    with pytest.raises(KeyError, match="reaction 'r' names unknown field 'w' \\(known: u, v\\)"):
        model.add_reaction("r", made_in_cells, ["u", "w"])
    with pytest.raises(ValueError, match="field 'v' has its own substeps; .* set substeps on the reaction instead"):
        morva.Model((8, 8)).add_field("u", diffusion=1).add_field("v", diffusion=1, substeps=9).add_reaction(
            "r", made_in_cells, ["u", "v"])
    with pytest.raises(ValueError, match="importable as 'module:name'"):
        model.add_reaction("r", lambda u, t: u, ["u"])
    with pytest.raises(ValueError, match="substeps = 8 is unstable .* \\(needs at least 28\\)"):
        model.add_reaction("r", made_in_cells, ["u", "v"], rate=10, substeps=8)
    assert not model.reactions
    model.add_reaction("r", made_in_cells, ["u", "v"])
    with pytest.raises(ValueError, match="field 'u' is in reaction 'r' already"):
        model.add_reaction("s", decay, ["u"])

    for function, message in [(wrong_count, "must return a tuple of 2 rate arrays .* got tuple of length 1"),
                              (wrong_shape, "gave a rate of shape \\(2,\\) for field 'v'")]:
        sim = morva.Model((8, 8)).add_field("u", diffusion=1.0).add_field("v", diffusion=0.1).add_reaction(
            "r", function, ["u", "v"]).build()
        with pytest.raises(ValueError, match=message):
            sim.run(1, progress=False)
    sim = morva.Model((8, 8)).add_field("u", diffusion=0.0).add_reaction("r", blows_up, ["u"]).build()
    with pytest.raises(ValueError, match="field 'u' became non-finite at MCS 2 \\(sub-step 1 of 1\\): the function "
                                         "gave NaN or infinite rates"):
        sim.run(5, progress=False)


def test_the_guard_stops_a_reaction_grown_too_stiff_and_says_what_to_declare():
    model = morva.Model((8, 8)).add_field("u", diffusion=0.0).add_reaction("r", stiffening, ["u"])
    sim = model.build()
    with pytest.raises(ValueError, match="reaction 'r' at MCS 10: its stiffness is now .* Declare rate >= "):
        sim.run(30, progress=False)
    declared = morva.Model((8, 8)).add_field("u", diffusion=0.0).add_reaction("r", stiffening, ["u"], rate=40)
    sim = declared.build()
    sim.run(30, progress=False)
    assert sim.reactions.substeps == {"r": 80}
    assert np.allclose(sim.field("u"), 0.0475, atol=1e-3)  # the steady state 200 u^2 + u = 0.5


def test_reactions_in_model_files_and_resume_bit_for_bit(tmp_path):
    model = tissue().add_field("u", diffusion=0.2).add_field("v", diffusion=0.05, decay=0.01)
    model.set_chemotaxis("u", "a", 50).add_reaction("r", made_in_cells, ["u", "v"])
    model.add_field("w", diffusion=2.0).add_reaction("s", mild, ["w"])
    path = tmp_path / "m.toml"
    model.save(path)
    assert morva.load_model(path) == model
    assert morva.load_model(path).reactions["r"].function == "test_reacting_fields:made_in_cells"
    text = path.read_text()
    with pytest.raises(ValueError, match=r"unknown key 'rates' \(did you mean 'rate'\?\) in \[reactions.r\]"):
        morva.Model.from_toml(text.replace("[reactions.r]\n", "[reactions.r]\nrates = 3\n"))
    with pytest.raises(ValueError, match=r"\[reactions.r\]: reaction 'r' names unknown field 'x'"):
        morva.Model.from_toml(text.replace('"v",', '"x",'))
    with pytest.raises(ValueError, match=r"\[reactions.r\].*cannot find 'nomodule_xyz:f'"):
        morva.Model.from_toml(text.replace("test_reacting_fields:made_in_cells", "nomodule_xyz:f"))

    whole = model.build(seed=3)
    whole.run(40, progress=False)
    resumed = record_then_resume(model.build(seed=3), tmp_path / "rec", 20, 20, every=10)
    assert np.array_equal(resumed.labels(), whole.labels())
    assert resumed.reactions.substeps == whole.reactions.substeps == {"r": 6, "s": 19}  # from the checkpoint
    for name in ("u", "v", "w"):
        assert resumed.field(name).tobytes() == whole.field(name).tobytes()
    recorded = morva.open_recording(tmp_path / "rec")
    assert np.array_equal(recorded.field("u", -1), whole.field("u"))


def test_a_ctrl_c_during_the_sub_steps_still_ends_the_mcs_whole():
    model = tissue().add_field("u", diffusion=0.2).add_field("v", diffusion=0.05)
    model.set_chemotaxis("u", "a", 50).add_reaction("r", interrupted_once, ["u", "v"])
    whole = model.build(seed=3)
    whole.run(8, progress=False)
    CALLS.update(count=0, interrupt_at=20)  # within the sub-steps of MCS 3
    stopped = model.build(seed=3)
    with pytest.raises(KeyboardInterrupt):
        stopped.run(8, progress=False)
    assert stopped.mcs == 3
    stopped.run(5, progress=False)
    assert np.array_equal(stopped.labels(), whole.labels())
    assert stopped.field("u").tobytes() == whole.field("u").tobytes()
