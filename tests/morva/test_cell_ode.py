"""ODEs inside cells: the integrator against analytic solutions, tissue inputs and outputs, resume."""

import numpy as np
import pytest
from package_models import two_type_model

import morva
from morva import _native


def decay_and_drive(t, y, tissue):
    """u decays at rate 0.7 (u = u0 exp(-0.7 t)); s follows cos t (s = s0 + sin t)."""
    return {"u": -0.7 * y["u"], "s": np.cos(t) + 0 * y["s"]}


def ode_model():
    return two_type_model().add_cell_variable("u", initial=2.0).add_cell_variable("s", initial=0.5)


def run_ode(substeps, mcs=50, every=5):
    sim = ode_model().build(seed=1)
    sim.add_writer(morva.CellODE(decay_and_drive, ["u", "s"], every=every, time_per_mcs=0.2, substeps=substeps))
    sim.run(mcs, progress=False)
    return sim


def test_rk4_matches_the_analytic_solutions_with_fourth_order_error():
    errors = []
    for substeps in (1, 2):
        sim = run_ode(substeps)
        t = 50 * 0.2
        u, s = sim.cells()["u"], sim.cells()["s"]
        errors.append(np.abs(u - 2.0 * np.exp(-0.7 * t)).max())
        assert np.allclose(s, 0.5 + np.sin(t), atol=1e-6)  # time runs on across writer calls
    assert errors[1] < 1e-6
    assert 12 < errors[0] / errors[1] < 20  # halving the step divides the error by about 2**4
    # Acting every 5 or every MCS integrates the same way: only the call pattern differs.
    assert np.allclose(run_ode(2, every=1).cells()["u"], run_ode(2, every=5).cells()["u"], rtol=1e-12)


def grow_to_volume(t, y, tissue):
    return {"v": tissue.volume - y["v"], "n": tissue.neighbour_mean(tissue.volume) - y["n"]}


def act_on_tissue(sim, tissue, y):
    return {"target_volume": y["v"] + 5,
            "type": np.where(tissue.is_type("dark"), "light", None),
            "remove": tissue.ids == tissue.ids.max()}


def test_tissue_inputs_and_outputs_act_on_the_cells():
    model = two_type_model().add_cell_variable("v").add_cell_variable("n")
    sim = model.build(seed=2)
    last = sim.cell_ids().max()
    sim.add_writer(morva.CellODE(grow_to_volume, ["v", "n"], time_per_mcs=1.0, substeps=4, act=act_on_tissue))
    sim.run(1, progress=False)
    cells = sim.cells()
    expected_v = cells["volume"] * (1 - np.exp(-1.0))  # v' = V - v from 0 over one time unit, V held
    assert np.allclose(cells["v"], expected_v, rtol=1e-3)
    assert np.allclose(cells["target_volume"], cells["v"] + 5)
    assert (cells["type_name"] == "light").all() and last not in cells.index
    assert cells["n"].between(1, 40).all()


def test_neighbour_sums_and_means_follow_the_contact_table_before_and_after_a_removal():
    sim = two_type_model().add_block("dark", (34, 34), (37, 37)).build(seed=3)  # the block touches no cell
    sim.run(5, progress=False)
    for removed, contacts in (([], False), ([13], False), ([], True)):  # contacts: sampled with the cells
        sim.remove(removed)
        tissue = morva.Tissue(sim, contacts=contacts)
        a, b, area = (column.astype(np.int64) for column in _native.contacts(sim.world))
        cells = _native.cells(sim.world, ("volume", "surface", "target_volume", "type"))
        assert (tissue.ids == np.flatnonzero(cells["volume"][1:]) + 1).all()
        assert all((getattr(tissue, column) == values[tissue.ids]).all() for column, values in cells.items())
        pairs = tissue._sample  # the cell rows of the table, in its order, by position in ids
        assert (tissue.ids[pairs["first"]] == a[a > 0]).all() and (tissue.ids[pairs["second"]] == b[a > 0]).all()
        assert (pairs["area"] == area[a > 0]).all()
        dense = np.zeros((sim.world.n_cells() + 1,) * 2)
        dense[a, b] = dense[b, a] = area
        values = tissue.ids * 3.0 - 40  # small integers: every sum is exact in any order
        touching = dense[np.ix_(tissue.ids, tissue.ids)]
        assert removed not in tissue.ids.tolist() and (tissue.medium_contact == dense[0, tissue.ids]).all()
        assert (tissue.neighbour_sum(values) == touching @ values).all()
        means = tissue.neighbour_mean(values)
        assert means[-1] == 0 and (means[:-1] == (touching @ values / touching.sum(axis=1))[:-1]).all()
    with pytest.raises(ValueError, match="one per cell"):
        tissue.neighbour_mean(values[1:])
    stale = morva.Tissue(sim)  # contacts sampled on first use: the cells must still be the ones sampled
    sim.remove([14])
    with pytest.raises(RuntimeError, match="changed since it was sampled"):
        stale.medium_contact
    with pytest.raises(ValueError, match="pair 1 joins positions 0 and 2 of 2 values"):
        _native.pair_sums(np.array([0, 0], np.uint32), np.array([1, 2], np.uint32), np.ones(2), np.ones(2))


def test_native_passes_give_the_numpy_expressions_bit_for_bit():
    rng = np.random.default_rng(5)
    y, k1, k2, k3, k4 = rng.standard_normal((5, 3, 50)) * 10.0 ** rng.integers(-8, 8, (5, 3, 50))
    stage = np.empty_like(y)
    _native.rk4_stage(stage, y, k2, 0.1 / 2)
    assert stage.tobytes() == (y + 0.1 / 2 * k2).tobytes()
    expected = y + 0.1 / 6 * (k1 + 2 * k2 + 2 * k3 + k4)
    _native.rk4_finish(y, k1, k2, k3, k4, 0.1 / 6)
    assert y.tobytes() == expected.tobytes()
    first, second = rng.integers(0, 40, (2, 500)).astype(np.uint32)  # unsorted, repeated: runs of all lengths
    first.sort(kind="stable")
    first[::7] = rng.integers(0, 40, first[::7].size)
    weights, values = rng.random(500) * 17, rng.standard_normal(40)
    sums = np.bincount(first, weights * values[second], 40) + np.bincount(second, weights * values[first], 40)
    assert _native.pair_sums(first, second, weights, values).tobytes() == sums.tobytes()
    with pytest.raises(ValueError, match="'k4' holds 147 values, 'state' 150"):
        _native.rk4_finish(y, k1, k2, k3, k4[:, 1:].copy(), 1.0)
    with pytest.raises(TypeError, match="float64"):
        _native.rk4_stage(stage, y.astype(np.float32), k1, 1.0)


def test_a_resumed_run_with_its_ode_writer_re_attached_is_bit_for_bit(tmp_path):
    def attach(sim):
        return sim.add_writer(morva.CellODE(decay_and_drive, ["u", "s"], every=3, time_per_mcs=0.1))

    whole = ode_model().build(seed=4)
    attach(whole)
    whole.run(40, progress=False)
    first = ode_model().build(seed=4)
    attach(first)
    first.record(tmp_path / "r", every=10)
    first.run(20, progress=False)
    first.recorder.close()
    resumed = morva.resume(tmp_path / "r")
    attach(resumed)
    resumed.run(20, progress=False)
    assert resumed.cell_variable("u").tobytes() == whole.cell_variable("u").tobytes()


def test_bad_ode_declarations_are_refused():
    sim = ode_model().build()
    sim.add_writer(morva.CellODE(decay_and_drive, ["u", "nope"]))
    with pytest.raises(KeyError, match="no cell variable 'nope'"):
        sim.run(1, progress=False)
    with pytest.raises(ValueError, match="substeps"):
        morva.CellODE(decay_and_drive, ["u"], substeps=0)
    bad = ode_model().build()
    bad.add_writer(morva.CellODE(decay_and_drive, ["u", "s"], act=lambda sim, tissue, y: {"divide": True}))
    with pytest.raises(ValueError, match="unknown output"):
        bad.run(1, progress=False)
    partial = ode_model().build()
    partial.add_writer(morva.CellODE(lambda t, y, tissue: {"u": -y["u"]}, ["u", "s"]))
    with pytest.raises(ValueError, match="rhs gave no derivative for 's'"):
        partial.run(1, progress=False)
    wide = ode_model().build()
    wide.add_writer(morva.CellODE(lambda t, y, tissue: {"u": y["u"][:, None]}, ["u"]))
    with pytest.raises(ValueError, match=r"rhs gave 'u' a derivative of shape \(\d+, 1\)"):
        wide.run(1, progress=False)
