"""Models by name: validation before the engine, parameters by name, field sub-steps and units."""

import numpy as np
import pytest

import morva

from package_models import two_type_model


def base():
    return morva.Model((20, 20), default_contact=0).add_type("a", volume=9, lambda_volume=1).add_field("c", diffusion=0.1)


@pytest.mark.parametrize("make, error, words", [
    (lambda: morva.Model((20,)), ValueError, "shape must be"),
    (lambda: morva.Model((20, 0)), ValueError, "shape[1] must be at least 1"),
    (lambda: morva.Model((2**16, 2**16, 2)), ValueError, "has more than 2147483648 sites"),
    (lambda: morva.Model((20, 20), boundary="wrap"), ValueError, "boundary must be one of"),
    (lambda: morva.Model((20, 20), neighborhood="hex"), ValueError, "neighborhood must be one of"),
    (lambda: morva.Model((20, 20), neighborhood=0), ValueError, "neighborhood must be at least 1"),
    (lambda: morva.Model((20, 20), temperature=0), ValueError, "temperature must be greater than 0"),
    (lambda: morva.Model((20, 20), temperature=float("nan")), ValueError, "temperature must be finite"),
    (lambda: base().add_type("a", volume=9, lambda_volume=1), ValueError, "'a' is declared twice"),
    (lambda: base().add_type("medium", volume=9, lambda_volume=1), ValueError, "reserved for the medium"),
    (lambda: base().add_type("b:c", volume=9, lambda_volume=1), ValueError, "without ':'"),
    (lambda: base().add_type("b", volume=-1, lambda_volume=1), ValueError, "cell type 'b': volume"),
    (lambda: base().add_type("b", volume=9, lambda_volume="x"), ValueError, "cell type 'b': lambda_volume"),
    (lambda: base().add_type("b", volume=9, lambda_volume=1, connectivity=1), ValueError, "connectivity must be true"),
    (lambda: base().add_type("b", volume=9, lambda_volume=1, force=(0, 0, 1)), ValueError, "z component"),
    (lambda: base().set_contact("a", "ghost", 3), KeyError, "unknown cell type 'ghost'"),
    (lambda: base().set_contact("a", "medium", float("inf")), ValueError, "contact energy medium:a"),
    (lambda: base().add_field("c", diffusion=1), ValueError, "field 'c' is declared twice"),
    (lambda: base().add_field("d", diffusion=-0.1), ValueError, "field 'd': diffusion must be at least 0"),
    (lambda: base().add_field("d", diffusion=1, substeps=2), ValueError, "substeps = 2 is unstable"),
    (lambda: base().set_secretion("ghost", "a", 1), KeyError, "unknown field 'ghost'"),
    (lambda: base().set_secretion("c", "ghost", 1), KeyError, "unknown cell type 'ghost'"),
    (lambda: base().set_secretion("c", "a", -1), ValueError, "secretion of 'a' must be at least 0"),
    (lambda: base().set_chemotaxis("c", "a", 5, hill=0), ValueError, "hill must be greater than 0"),
    (lambda: base().add_block("ghost", (0, 0), (2, 2)), KeyError, "placement 0 (block) names unknown cell type"),
    (lambda: base().add_block("a", (0, 0), (21, 2)), ValueError, "block: box"),
    (lambda: base().add_disc("medium", (5, 5), 2), ValueError, "placements make cells; 'medium' is not"),
    (lambda: base().add_block("a", (0, 0, 0), (2, 2, 1)), ValueError, "block: lo must have 2 coordinates"),
    (lambda: base().add_tiling("a", (0, 0), (7, 10), 5), ValueError, "not a multiple of the tile size"),
    (lambda: base().add_sphere("a", (5, 5), 2), ValueError, "add_sphere is for 3-D"),
    (lambda: base().parameter("volume"), KeyError, "unknown parameter 'volume'"),
    (lambda: base().parameter("type:a:shade"), KeyError, "type attribute must be one of"),
    (lambda: base().parameter("field:ghost:decay"), KeyError, "no field 'ghost'"),
    (lambda: base().with_parameters({"type:a:volume": 0}), ValueError, "cell type 'a': volume"),
    (lambda: base().with_parameters({"field:c:diffusion": 5.0, "field:c:substeps": 1}), ValueError, "unstable"),
    (lambda: base().build(seed=-1), ValueError, "seed must be an integer"),
    (lambda: base().build(seed=1.5), ValueError, "seed must be an integer"),
])
def test_bad_descriptions_are_refused_with_the_item_named(make, error, words):
    with pytest.raises(error) as caught:
        make()
    assert words in str(caught.value)


def test_parameters_by_name_read_and_copy_without_touching_the_original():
    model = two_type_model().add_field("c", diffusion=0.2)
    model.set_chemotaxis("c", "dark", 5.0, kd=2.0)
    names = {"temperature": 12.0, "contact:light:dark": 9.0, "type:dark:volume": 30.0,
             "type:light:connectivity": True, "field:c:decay": 0.1, "secretion:c:light": 0.5,
             "uptake:c:dark": 0.25, "chemotaxis:c:dark": -3.0}
    changed = model.with_parameters(names)
    for name, value in names.items():
        assert changed.parameter(name) == value
    assert changed.fields["c"].chemotaxis["dark"].kd == 2.0  # the strength changes alone
    assert model.parameter("contact:dark:light") == 11.0
    assert model.parameter("type:dark:volume") == 25.0
    assert model.parameter("chemotaxis:c:dark") == 5.0


def test_neighbourhood_names_and_orders_agree():
    assert [morva.Model((5, 5), neighborhood=n).neighborhood for n in ("von_neumann", "moore", "full")] == [1, 2, 3]
    assert morva.Model((5, 5, 1)).ndim == 2 and morva.Model((5, 5, 2)).ndim == 3


@pytest.mark.parametrize("shape, diffusion, decay, expected", [((50, 50), 0.1, 0.0, 1), ((50, 50), 1.0, 0.0, 8),
                                                               ((20, 20, 20), 1.0, 0.5, 13), ((50, 50), 0.25, 0.01, 3)])
def test_substeps_are_the_fewest_stable_ones(shape, diffusion, decay, expected):
    model = morva.Model(shape).add_field("c", diffusion=diffusion, decay=decay)
    assert model.fields["c"].resolved_substeps(model.ndim) == expected


def test_fast_diffusion_stays_bounded_and_conserved():
    # Diffusion 1.0 per MCS in 2-D is four times the single explicit step's limit.
    sim = morva.Model((30, 30)).add_field("c", diffusion=1.0).build(seed=1)
    sim.world.field_add_source_at(0, 15, 15, 0, 100.0)
    sim.run(40, progress=False)
    c = sim.field("c")
    assert c.min() >= 0 and c.max() < 100.0
    assert c.sum() == pytest.approx(100.0, rel=1e-4)
    centre_profile = c[0, 15, 10:21]
    assert np.all(np.diff(centre_profile[:6]) > 0) and np.all(np.diff(centre_profile[5:]) < 0)


@pytest.mark.parametrize("diffusion", [0.05, 2.0])
def test_secretion_and_uptake_are_per_mcs_whatever_the_substeps(diffusion):
    model = morva.Model((30, 30), default_contact=0).add_type("a", volume=9, lambda_volume=1).add_type("b", volume=9, lambda_volume=1)
    model.add_block("a", (5, 5), (8, 8)).add_block("b", (20, 20), (23, 23))
    model.add_field("c", diffusion=diffusion).set_secretion("c", "a", 0.5).set_secretion("c", "b", 1.0)
    model.set_uptake("c", "b", 0.25)
    sim = model.build(seed=2)
    sim.world.advance_fields(1)  # one MCS worth of field dynamics, no copies
    assert sim.field("c").sum() == pytest.approx(9 * 0.5 + 9 * 0.75, rel=1e-5)


@pytest.mark.parametrize("strength", [30.0, -30.0])
def test_positive_chemotaxis_climbs_the_gradient(strength):
    model = morva.Model((60, 20), boundary="noflux", temperature=5, default_contact=0)
    model.add_type("a", volume=25, lambda_volume=2).set_contact("medium", "a", 5).add_block("a", (28, 8), (33, 13))
    model.add_field("c", diffusion=0.0).set_chemotaxis("c", "a", strength)
    sim = model.build(seed=3)
    for x in range(60):
        for y in range(20):
            sim.world.field_add_source_at(0, x, y, 0, x / 10)
    start = sim.cells()["com_x"].iloc[0]
    sim.run(200, progress=False)
    moved = sim.cells()["com_x"].iloc[0] - start
    assert moved * np.sign(strength) > 3
