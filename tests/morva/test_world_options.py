"""The morva package switches the world options on by default; models can turn them off, keep them in
model files and hand them to the engine."""

import numpy as np
import pytest

import morva
from morva import _native
from morva.model import Model

ALL_ON = {"periodic_shapes": True, "com_force": True, "face_connectivity": True}
ALL_OFF = dict.fromkeys(ALL_ON, False)


def seam_model(**kwargs):
    """One 10 x 10 cell across x = 0 of a 60 x 40 periodic box."""
    model = Model((60, 40), temperature=5.0, default_contact=0, **kwargs)
    model.add_type("cell", volume=100, lambda_volume=1.0).set_contact("medium", "cell", 10.0)
    image = np.zeros((40, 60), dtype=np.uint16)
    image[10:20, 55:] = image[10:20, :5] = 1
    model.add_label_image(image, default_type="cell")
    return model


def test_options_are_on_by_default_and_reach_the_engine():
    model = seam_model()
    assert model.world_options == ALL_ON
    sim = model.build(seed=1)
    assert _native.options(sim.world) == ALL_ON


@pytest.mark.parametrize(
    "kwargs, want",
    [
        ({"world_options": False}, ALL_OFF),
        ({"world_options": {"com_force": False}}, {**ALL_ON, "com_force": False}),
        ({"world_options": True}, ALL_ON),
    ],
)
def test_models_turn_options_off(kwargs, want):
    model = seam_model(**kwargs)
    assert model.world_options == want
    assert _native.options(model.build(seed=2).world) == want


def test_set_world_options_refuses_unknown_names_and_non_bools():
    model = seam_model()
    with pytest.raises(ValueError, match="unknown world option 'gravity'"):
        model.set_world_options(gravity=True)
    with pytest.raises(ValueError, match="'com_force' must be True or False, got 1"):
        model.set_world_options(face_connectivity=False, com_force=1)
    assert model.world_options == ALL_ON  # a refused call changes nothing
    with pytest.raises(ValueError, match="world_options must be True, False or a dict"):
        Model((8, 8), world_options="on")
    assert model.set_world_options(periodic_shapes=np.bool_(False)) is model
    assert model.world_options["periodic_shapes"] is False


def test_model_files_keep_the_options_and_older_files_read_as_on(tmp_path):
    model = seam_model(world_options={"face_connectivity": False})
    model.save(tmp_path / "m.toml")
    loaded = morva.load_model(tmp_path / "m.toml")
    assert loaded.world_options == model.world_options
    assert loaded == model
    text = model.to_toml()
    older = text[: text.index("[options]")]
    assert Model.from_toml(older).world_options == ALL_ON
    with pytest.raises(ValueError, match=r"\[options\].*'com_force' must be True or False"):
        Model.from_toml(text.replace("com_force = true", 'com_force = "yes"'))
    with pytest.raises(ValueError, match="unknown key.*'gravity'.*options"):
        Model.from_toml(text + "gravity = true\n")


def test_the_default_measures_a_seam_cell_as_it_looks():
    on = seam_model().build(seed=3).cells()
    off = seam_model(world_options=False).build(seed=3).cells()
    assert on.loc[1, "com_x"] == pytest.approx(59.5)
    assert on.loc[1, "length"] == pytest.approx(np.sqrt(99.0))
    assert off.loc[1, "length"] > 40
